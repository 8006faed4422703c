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
// Batch mode itself needs no graphical library: only savePlots does. With a jsonPath,
// the Final Results are also written there as JSON (a file not written makes the status 1).
// With model, what a comparison needs of the fit is taken before the run is released.
int batchRun(const char* programPath, BatchPlotSaver savePlots = nullptr, const char* jsonPath = nullptr,
             CompareModel* model = nullptr);

// A batch that fits the program once per data set: per data file (-data) or per group
// of its data's records (-by).
struct BatchSets {
    std::vector<std::string> files;  // -data: the data files, in order; empty with -by
    std::string byColumn;            // -by: a column name of the data's name line, or a field number
    std::string tablePath;           // -table: the results table; empty: rows on standard output only
    int jobs;                        // data sets fitted at once, in worker processes
    bool chain;                      // each fit starts from the previous data set's estimates
    bool quiet;                      // no listing file per data set
};

// Runs the batch; rows of the results table stream to standard output as they are
// ready, in data set order. Returns 0 when every fit converged, 3 when some did not or
// are doubtful, 1 when some failed or the table could not be written, 2 for a program
// whose data cannot be replaced (inline data with -data) or -chain with jobs above 1.
int batchRunSets(const char* programPath, const BatchSets& sets);
// The listing file of each data set of a batch: beside each data file under its name
// (perFile), or PROGRAM_GROUP.lst beside the program, the group text made safe for a
// file name and numbered where two groups would share one.
std::vector<std::string> batchListingNames(const std::string& programPath, const std::vector<std::string>& names,
                                           bool perFile);
// The data file names of "-data -": the lines of standard input, blank ones skipped.
std::vector<std::string> batchReadNameList();

// Batch mode itself needs no graphical library: only savePlots does.

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
