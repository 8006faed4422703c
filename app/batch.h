// Batch mode: compile and run one program without a window, printing the screen
// listing on standard output and writing the listing file beside the program.
#pragma once

// Exit statuses of batch mode.
enum BatchStatus {
    BATCH_OK = 0,             // the run ended with a usable result
    BATCH_FAILED = 1,         // the program did not compile, its data could not be read, the run could not
                              // start, or the listing, OUTPUT or POUTPUT file could not be written
    BATCH_BAD_COMMAND = 2,    // bad command line
    BATCH_NOT_CONVERGED = 3   // the analysis ended without proper convergence
};

// Saves the plots of a finished run as image files; true when every plot was written.
using BatchPlotSaver = bool (*)(const char* programPath);

// Runs the program file; returns a BatchStatus. With savePlots, the plots of a run that
// produced results are saved as image files (a plot not written makes the status 1).
// Batch mode itself needs no graphical library: only savePlots does. With a jsonPath,
// the Final Results are also written there as JSON (a file not written makes the status 1).
int batchRun(const char* programPath, BatchPlotSaver savePlots = nullptr, const char* jsonPath = nullptr);

// -preview: compiles the program and reads its data as a run does, evaluates the model
// once per observation at the initial values and prints what it found; writes no listing,
// OUTPUT or POUTPUT file. 0 when the model can be computed at every observation, 1
// otherwise (or when the program does not compile); savePlots as for batchRun.
int batchPreview(const char* programPath, BatchPlotSaver savePlots = nullptr);

