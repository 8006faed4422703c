// The command line and the start-up trace.
#pragma once

#include <string>

struct CommandLine {
    bool run;                   // -run given: batch mode, no window
    bool plots;                 // -plots given: save every plot after a batch run
    bool invalidOption;         // some argument was not a known option, or a second name
    bool help;                  // -h, -help or --help: the usage on standard output
    bool version;               // -version or --version: the version on standard output
    std::string programPath;    // the value after -run; empty if none
    std::string documentPath;   // the first document name; empty if none
    bool preview;               // -preview given: with -run, the model at the start values only
    std::string jsonPath;       // -json FILE: the Final Results as JSON; empty if none
};

// Large blocks (the data store, the solver's arrays, the result columns) always come
// straight from the system (mallopt): a fresh block costs no memory until it is written,
// growth remaps instead of copying, and a freed block goes back at once. Without this the
// threshold rises after the first large free and later blocks are zeroed on the heap.
constexpr int COMMAND_MMAP_THRESHOLD = 256 * 1024;

// The first line is what a bad batch command line is told; --help prints it all.
constexpr const char* COMMAND_LINE_USAGE =
    "Usage: moxel -run PROGRAM.mxl [-plots] [-json FILE]\n"
    "       moxel [PROGRAM.mxl]\n"
    "       moxel --help | --version\n"
    "\n"
    "  -run PROGRAM.mxl  run the analysis without a window; the listing goes to standard\n"
    "                    output and to PROGRAM.lst\n"
    "  -plots            with -run: also save every plot as PROGRAM_plotK.jpg (or .bmp)\n"
    "  -json FILE        with -run: also write every figure of the Final Results to FILE\n"
    "                    as one JSON document\n"
    "  -preview          with -run: evaluate the model at the start values, without fitting;\n"
    "                    no files are written except, with -plots, PROGRAM_previewK.jpg\n"
    "                    (exit status 0 when it can be computed everywhere, else 1)\n"
    "  -h, --help        print this text and exit\n"
    "  --version         print the version and exit\n"
    "\n"
    "Exit status: 0 usable result, 1 failure (compile, data, files), 2 bad command line,\n"
    "3 no proper convergence. See moxel(1).\n";

// Parses the arguments, printing "Invalid command option: %s" for each unknown one.
// Options may stand before or after the program name. Without -run the first name is
// the document to open; a second name is an invalid option.
CommandLine commandLineParse(int argc, char** argv);

// Writes the usage on standard error.
void commandLinePrintUsage();

// What --help, --version and a bad command line without -run end with before any
// window or run: the exit status, or -1 when the program goes on.
int commandLineEarlyExit(const CommandLine& commandLine);

// The status to exit with once everything is written: a standard output that could not
// be written in full (a full disk, a closed pipe) turns it into 1, with a message on
// standard error, so that a script never takes a cut listing for success.
int commandLineFinish(int status);

// The folder holding the settings and the start-up trace; created when missing.
// Empty when it cannot be made.
std::string commandLineSettingsFolder();

// Writes "trace.dat" into the settings folder; silent when that fails.
void commandLineWriteTrace(int argc, char** argv, const CommandLine& commandLine);
