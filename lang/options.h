// Option statements: the analysis settings of one program, parameter sweeps, and one
// plot description per plot statement.
#pragma once

#include <string>

struct Symbol;
struct SourceLine;

constexpr int MAX_CORRELATION_VARIABLES = 500;
constexpr int MAX_OUTPUT_VARIABLES = 505;
constexpr int MAX_SWEEPS = 500;
constexpr int TITLE_MAX = 199;

struct SweepEntry {
    Symbol* parameter;          // the swept parameter
    double low;                 // first value
    double high;                // last value
    double step;                // increment
    double bestValue;           // start of the final solve when no grid point converges (low)
    int stepCount;              // trunc((high - low + 0.0001*step) / step)
};

struct AnalysisSettings {
    char title[TITLE_MAX + 1];                              // TITLE text
    double confidenceLevel;                                 // fraction; 0 = no CONFIDENCE statement
    int iterationLimit;                                     // ITERATIONS, default 500
    double tolerance;                                       // TOLERANCE, default 1e-10
    int covarianceCode;                                     // -3, or 0 once dropped
    bool printCovariance;                                   // COVARIANCE given
    Symbol* correlationVariables[MAX_CORRELATION_VARIABLES];   // CORRELATE list
    int correlationCount;                                   // entries in correlationVariables
    int outputMode;                                         // 0 none, 1 to a file, -1 to the listing
    std::string outputFile;                                 // resolved OUTPUT file path
    Symbol* outputVariables[MAX_OUTPUT_VARIABLES];          // OUTPUT list
    int outputCount;                                        // entries in outputVariables
    std::string parameterOutputFile;                        // resolved POUTPUT file path, or empty
    int dataSkip;                                           // records ignored before the first observation
    int dataCount;                                          // expected observation count (first store size)
    bool anglesInDegrees;                                   // ANGLETYPE DEGREES in force
    bool exactDerivatives;                                  // DERIVATIVES EXACT given
    const SourceLine* derivativesLine;                      // line of the last DERIVATIVES statement
    int printResolution;                                    // 1 for 150, 2 for 300
    double width;                                           // WIDTH, default 8
    SweepEntry sweeps[MAX_SWEEPS];                          // SWEEP table
    int sweepCount;                                         // entries in sweeps
    int constrainCount;                                     // CONSTRAIN statements compiled
    bool functionMinimization;                              // no input variables declared
    int iterationPlotCount;                                 // plots with the ITERATIONS bit
    int valuesPlotCount;                                    // plots with the VALUES bit
};

extern AnalysisSettings settings;

// Path of the program file, against which OUTPUT, POUTPUT and DATA names are resolved.
extern std::string programPath;

enum PlotKind { PLOT_FUNCTION = 1, PLOT_RESIDUAL = 2, PLOT_NORMAL = 3, PLOT_SCATTER = 4 };

enum PlotFlags {
    PLOTF_GRID = 0x01, PLOTF_RESIDUAL = 0x02, PLOTF_ITERATIONS = 0x04, PLOTF_PRINT = 0x08,
    PLOTF_NOPAUSE = 0x10, PLOTF_DOMAIN = 0x20, PLOTF_NOTITLE = 0x40, PLOTF_VALUES = 0x80,
    PLOTF_NOXLABEL = 0x100, PLOTF_NOYLABEL = 0x200, PLOTF_CONNECT = 0x400,
    PLOTF_CONNECT2 = 0x800, PLOTF_NOMARK = 0x1000, PLOTF_NOMARK2 = 0x2000,
    PLOTF_CBAND = 0x4000, PLOTF_PBAND = 0x8000, PLOTF_SBAND = 0x10000,
    PLOTF_LOGX = 0x20000, PLOTF_LOGY = 0x40000
};

struct PlotSpec {
    PlotSpec* next;             // next plot description
    Symbol* xVar;               // XVAR, or filled in by completion
    Symbol* yVar;               // YVAR, or filled in by completion
    Symbol* x2Var;              // XVAR2
    Symbol* y2Var;              // YVAR2
    Symbol* errorVar;           // ERRORBARS: the half length of each observation's bar
    double domainLow;           // DOMAIN low
    double domainHigh;          // DOMAIN high
    int plotKind;               // PlotKind
    char title[TITLE_MAX + 1];  // plot title
    char xLabel[TITLE_MAX + 1]; // x axis label
    char yLabel[TITLE_MAX + 1]; // y axis label
    unsigned plotFlags;         // PlotFlags
    bool completed;             // completion succeeded: the plot can be drawn
    const SourceLine* line;     // line of the plot statement, for completion messages
};

extern PlotSpec* plotList;      // in statement order

void settingsReset();
void freePlots();
// Removes the sweep entries of a parameter (used when unused parameters are eliminated).
void settingsDropSweep(const Symbol* parameter);

// OUTPUT items "$OBS", "$PREDICTED" and "$RESIDUAL" are Symbol records of kind 0 kept
// outside the symbol table; the output writer knows them by name.

// Statement compilers, called after their keyword has been read.
void compileConfidence();
void compileIterations();
void compileTolerance();
void compileCovariance();
void compileCorrelate();
void compileOutput();
void compilePoutput();
void compileTitle();
void compileAngletype();
// DERIVATIVES EXACT; or DERIVATIVES DIFFERENCES; when token (an identifier) begins one:
// compiles it and returns true. Otherwise token is left for the expression statement.
struct Token;
bool compileDerivatives(Token* token);
void compileDataskip();
void compileDatacount();
void compilePresolution();
void compileWidth();
void compileNoecho();
void compileConstrain();
void compileSweep();
void compilePlot(int keyword);
void completePlots();

// The path rule for OUTPUT, POUTPUT and DATA names.
std::string resolveProgramFile(const std::string& name, const char* defaultExtension);
