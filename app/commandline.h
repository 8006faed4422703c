// The command line and the start-up trace.
#pragma once

#include <string>
#include <vector>

struct CommandLine {
    bool run = false;           // -run given: batch mode, no window
    bool plots = false;         // -plots given: save every plot after a batch run
    bool invalidOption = false; // some argument was not a known option, or a second name
    bool help = false;          // -h, -help or --help: the usage on standard output
    bool version = false;       // -version or --version: the version on standard output
    std::string programPath;    // the value after -run; empty if none
    std::string documentPath;   // the first document name; empty if none
    bool preview = false;       // -preview given: with -run, the model at the start values only
    int plotFormat = -1;        // -plot-format: the plot file type (0 jpg, 1 bmp, 2 png, 3 svg, 4 pdf), -1 none
    int plotWidth = 0;          // -plot-size WxH: pixels, 0 none
    int plotHeight = 0;
    bool compare = false;       // -compare given: fit every named program and compare the fits
    std::vector<std::string> comparePaths;   // the programs of -compare, in order
    std::string jsonPath;       // -json FILE: the Final Results as JSON; empty if none
    std::vector<std::string> dataFiles;  // -data FILE...: one fit per data file ("-": names on standard input)
    std::string byColumn;       // -by COLUMN: one fit per group of the data's records; empty if none
    std::string tablePath;      // -table FILE: the results table of -data or -by; empty if none
    int jobs = 0;               // -jobs N: data sets fitted at once; 0 when not given
    bool chain = false;         // -chain: each fit starts from the previous data set's estimates
    bool quiet = false;         // -quiet: no listing per data set, only the table
};

// Large blocks (the data store, the solver's arrays, the result columns) always come
// straight from the system (mallopt): a fresh block costs no memory until it is written,
// growth remaps instead of copying, and a freed block goes back at once. Without this the
// threshold rises after the first large free and later blocks are zeroed on the heap.
constexpr int COMMAND_MMAP_THRESHOLD = 256 * 1024;

constexpr int COMMAND_JOBS_MAX = 1024;   // largest -jobs

// The first line is what a bad batch command line is told; --help prints it all.
constexpr const char* COMMAND_LINE_USAGE =
    "Usage: moxel -run PROGRAM.mxl [-plots] [-json FILE]\n"
    "       moxel [PROGRAM.mxl]\n"
    "       moxel -run PROGRAM.mxl (-by COLUMN | -data FILE... | -data -) [-table RESULTS.csv]\n"
    "             [-jobs N] [-chain] [-quiet]\n"
    "       moxel -compare A.mxl B.mxl [C.mxl ...]\n"
    "       moxel --help | --version\n"
    "\n"
    "  -run PROGRAM.mxl  run the analysis without a window; the listing goes to standard\n"
    "                    output and to PROGRAM.lst\n"
    "  -plots            with -run: also save every plot as PROGRAM_plotK.jpg (or the type\n"
    "                    of the settings)\n"
    "  -plot-format TYPE with -plots: png, svg, pdf, jpg or bmp instead of the settings' type\n"
    "  -plot-size WxH    with -plots: the size in pixels instead of the settings' size\n"
    "  -json FILE        with -run: also write every figure of the Final Results to FILE\n"
    "                    as one JSON document\n"
    "  -by COLUMN        fit the program once per group of its data's records: those with\n"
    "                    the same text in COLUMN (a name of the data's name line, or a\n"
    "                    field number from 1)\n"
    "  -data FILE...     fit the program once per data file, each in place of its DATA file;\n"
    "                    -data - reads the file names from standard input, one per line\n"
    "  -table FILE       with -by or -data: write the results table (CSV), one row per\n"
    "                    data set; the rows also go to standard output\n"
    "  -jobs N           fit N data sets at once (default: the number of processors)\n"
    "  -chain            start each fit from the previous data set's estimates (one job)\n"
    "  -quiet            no listing file per data set\n"
    "  -preview          with -run: evaluate the model at the start values, without fitting;\n"
    "                    no files are written except, with -plots, PROGRAM_previewK.jpg\n"
    "                    (exit status 0 when it can be computed everywhere, else 1)\n"
    "  -compare A.mxl B.mxl ...  fit each program (listings to their .lst files) and print\n"
    "                    a table comparing the fits of the same observations: sums of\n"
    "                    squares, AIC, AICc, BIC, Akaike weights and F tests\n"
    "  -h, --help        print this text and exit\n"
    "  --version         print the version and exit\n"
    "\n"
    "Exit status: 0 usable result, 1 failure (compile, data, files), 2 bad command line,\n"
    "3 no proper convergence (with -by or -data: 0 every fit converged, 3 some did not or\n"
    "are doubtful, 1 some failed or the table was not written). See moxel(1).\n";

// Parses the arguments, printing "Invalid command option: %s" for each unknown one.
// Options may stand before or after the program name. Without -run the first name is
// the document to open; a second name is an invalid option.
CommandLine commandLineParse(int argc, char** argv);

// Writes the usage on standard error.
void commandLinePrintUsage();

// What --help, --version and a bad command line without -run end with before any
// window or run: the exit status, or -1 when the program goes on.
int commandLineEarlyExit(const CommandLine& commandLine);

// The start of both programs: the allocation threshold above, the command line parsed
// into *commandLine, and commandLineEarlyExit's answer (-1: the program goes on).
int commandLineStart(int argc, char** argv, CommandLine* commandLine);

// The status to exit with once everything is written: a standard output that could not
// be written in full (a full disk, a closed pipe) turns it into 1, with a message on
// standard error, so that a script never takes a cut listing for success.
int commandLineFinish(int status);

// The folder holding the settings and the start-up trace; created when missing.
// Empty when it cannot be made.
std::string commandLineSettingsFolder();

// Writes "trace.dat" into the settings folder; silent when that fails.
void commandLineWriteTrace(int argc, char** argv, const CommandLine& commandLine);
