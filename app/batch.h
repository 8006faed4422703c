// Batch mode: compile and run one program without a window, printing the screen
// listing on standard output and writing the listing file beside the program.
#pragma once

#include <string>
#include <vector>

struct CompareModel;

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
// Batch mode itself needs no graphical library: only savePlots does.
// With model, what a comparison needs of the fit is taken before the run is released.
int batchRun(const char* programPath, BatchPlotSaver savePlots = nullptr, CompareModel* model = nullptr);

// -compare: runs each program as batchRun does, writing its listing file but printing no
// screen lines, then prints the comparison of the fits. 0 when every fit converged, 3
// when some did not, 1 when some program did not run or the observations differ.
int batchCompare(const std::vector<std::string>& programPaths);

// -preview: compiles the program and reads its data as a run does, evaluates the model
// once per observation at the initial values and prints what it found; writes no listing,
// OUTPUT or POUTPUT file. 0 when the model can be computed at every observation, 1
// otherwise (or when the program does not compile); savePlots as for batchRun.
int batchPreview(const char* programPath, BatchPlotSaver savePlots = nullptr);

// The -run command line, for both programs: "RUN option specified", the usage for a bad
// command line, then the preview or the run; returns the exit status once standard
// output is written. With -plots the savers save the plots (moxel-window has them; moxel
// passes null).
struct CommandLine;
int batchCommand(const CommandLine& commandLine, BatchPlotSaver savePlots, BatchPlotSaver savePreviewPlots);
