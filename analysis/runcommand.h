// The Run command's own steps, shared by batch mode and the window: before the worker,
// the release of the previous run, fresh settings, the listing file, the compile with
// its data, the allocator's guard check, the observation check and the start of the
// analysis; after the worker, the listing file put in place.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct LineSource;

enum RunStartStatus {
    RUN_STARTED = 0,        // the analysis runs on its worker thread
    RUN_NO_LISTING = 1,     // the listing file was required and could not be created
    RUN_NOT_COMPILED = 2,   // compile or data errors, too few observations, or no memory
    RUN_NOT_STARTED = 3     // the worker thread could not be created
};

struct RunStart {
    int status;                 // RunStartStatus
    std::string listingPath;    // name of the listing file
    std::string listingMessage; // "Unable to create listing file: ..." line, empty when it was made
};

struct RunEnd {
    bool listingLost;           // the listing could not be written in full or put in place
    std::string listingMessage; // why the listing is missing or incomplete (lines), empty when it is fine
};

// The program path with its extension replaced by "lst"; an untitled program (empty
// path) is "Untitled.mxl" in the current folder.
std::string runCommandListingPath(const std::string& programPath);

// Everything up to the start of the worker. The end handler of the driver must be set
// before. With listingRequired, a listing file that cannot be created stops the Run
// before the compile; otherwise the Run goes on without one.
// A batch over many data sets names each listing itself (listingPath), or writes none
// (an empty listingPath), and may start each fit from given values (startValues, one
// per parameter, or null for the program's initial guesses).
RunStart runCommandStart(const std::string& programPath, const LineSource* source, bool listingRequired,
                         const char* listingPath = nullptr, const std::vector<double>* startValues = nullptr);

// The release, fresh settings and the compile with its data, and nothing after: for a
// batch to learn the program's parameters and its data's groups. True when it compiled.
bool runCommandCompile(const std::string& programPath, const LineSource* source);

// The preview: the release, fresh settings and the compile with its data as for a Run, but
// no listing file and no worker; the model is evaluated once at the initial values (see
// previewRun). RUN_STARTED in status means it was evaluated; computable says whether
// every observation could be.
struct RunPreview {
    int status;                 // RunStartStatus
    bool computable;            // the model could be computed at every observation
};
RunPreview runCommandPreview(const std::string& programPath, const LineSource* source);

// After the worker has ended (driverWait): flushes and closes the listing file.
RunEnd runCommandFinish();

// Further files a Run will write besides the listing, OUTPUT and POUTPUT (the images and
// tables of batch mode's plots): adds (what writes it, its name) pairs to uses. The
// compile refuses any two files of one name. Null for none.
using RunOutputNames = void (*)(const std::string& programPath,
                                std::vector<std::pair<std::string, std::string>>* uses);
void runCommandSetOutputNames(RunOutputNames names);

// The files the command line names for a Run's results (-json): (what writes it, its
// name) pairs the compile compares with the listing, the program, the data file and the
// outputs. Empty for none.
void runCommandSetResultFiles(const std::vector<std::pair<std::string, std::string>>& files);
// True when the last compile refused one of them: nothing may be written there.
bool runCommandResultFileRefused();

// The message for the first of uses from ownFiles on that names the file of an earlier
// one ("X and Y name one file: PATH..."), or empty when all differ.
std::string runCommandNameClash(const std::vector<std::pair<std::string, std::string>>& uses, size_t ownFiles);

// Frees everything the last Run built: results, code, symbols, data, screen listing.
void runCommandRelease();
