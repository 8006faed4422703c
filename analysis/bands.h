// Bands around a fitted curve: the pointwise confidence band of the curve, the pointwise
// prediction band of one new observation, and the simultaneous (Working-Hotelling)
// confidence band, all from se_fit(x)^2 = g(x)' C g(x) with g the gradient of the model
// in the parameters at the estimates and C the covariance behind the listing's standard
// errors.
#pragma once

#include <string>

struct AnalysisResults;
struct Symbol;

// Which bands a plot asks for.
enum BandKind { BAND_CONFIDENCE = 0x1, BAND_PREDICTION = 0x2, BAND_SIMULTANEOUS = 0x4 };

// What every band of one analysis shares.
struct BandSummary {
    const char* reason;         // why no band can be given, or null
    const char* weightNote;     // the assumption behind the prediction band of a weighted fit, or null
    bool levelStated;           // the level comes from a CONFIDENCE statement with or without a number
    double level;               // 1 - alpha
    int df;                     // n - p
    int p;                      // parameters
    double s;                   // residual standard deviation (weighted: s_w)
    double newVariance;         // variance of a new observation of weight 1: s^2, or 1 for absolute weights
    double t;                   // t(1 - alpha/2; n - p)
    double F;                   // F(1 - alpha; p, n - p)
    double simultaneous;        // sqrt(p F)
};

// One curve with its bands: count points, NaN where the model cannot be computed.
struct BandTable {
    int count;                  // points
    double* x;                  // [count] abscissae ("band")
    double* fit;                // [count] the model at the estimates
    double* seFit;              // [count] sqrt(g' C g); NaN where the gradient failed
    double* newVariance;        // [count] variance of one new observation there
    BandSummary summary;        // quantiles and level
};

// The level, quantiles and failure reason of results' bands.
BandSummary bandsSummary(const AnalysisResults& results);

// The curve of xVar (an input variable) from xLow to xHigh in count even steps, every
// other input variable at its first observation, with se_fit and the variance of a new
// observation. False (table empty) when memory ran out.
bool bandsCompute(const AnalysisResults& results, const Symbol* xVar, double xLow, double xHigh, int count,
                  BandTable* table);
void bandsRelease(BandTable* table);

// Half-widths at point i of a table; NaN where there is none.
double bandsConfidenceHalf(const BandTable& table, int i);
double bandsPredictionHalf(const BandTable& table, int i);
double bandsSimultaneousHalf(const BandTable& table, int i);

// "95% pointwise confidence band" and the like, for a legend line.
std::string bandsCaption(const BandSummary& summary, int kind);

// Writes the table as CSV (header, one row a point, 17 significant digits, C locale)
// through a temporary file. False with *message set when it could not be written.
bool bandsWriteTable(const BandTable& table, const std::string& path, std::string* message);

// The Final Results line of a program with a band option: the level, n - p, s and the
// quantiles, or why there are no bands.
void bandsReport(const AnalysisResults& results);

// Quantiles by bisection on the distribution functions of the special functions, to the
// last bit the bracket can resolve. p in (0.5, 1) for t; upper-tail q in (0, 1) for F.
double bandsStudentQuantile(double p, double df);
double bandsFQuantile(double upperTail, double df1, double df2);
