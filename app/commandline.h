// The command line and the start-up trace.
#pragma once

#include <string>

struct CommandLine {
    bool run;                   // -run given: batch mode, no window
    bool plots;                 // -plots given: save every plot after a batch run
    bool invalidOption;         // some argument was not a known option (a document name included)
    std::string programPath;    // the value after -run; empty if none
    std::string documentPath;   // the first document name; empty if none
};

// Large blocks (the data store, the solver's arrays, the result columns) always come
// straight from the system (mallopt): a fresh block costs no memory until it is written,
// growth remaps instead of copying, and a freed block goes back at once. Without this the
// threshold rises after the first large free and later blocks are zeroed on the heap.
constexpr int COMMAND_MMAP_THRESHOLD = 256 * 1024;

constexpr const char* COMMAND_LINE_USAGE = "Usage: moxel -run PROGRAM.mxl [-plots]";

// Parses the arguments, printing "Invalid command option: %s" for each unknown one.
// Options may stand before or after the program name.
CommandLine commandLineParse(int argc, char** argv);

// Writes the usage line on standard error.
void commandLinePrintUsage();

// The folder holding the settings and the start-up trace; created when missing.
// Empty when it cannot be made.
std::string commandLineSettingsFolder();

// Writes "trace.dat" into the settings folder; silent when that fails.
void commandLineWriteTrace(int argc, char** argv, const CommandLine& commandLine);
