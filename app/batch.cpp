// Batch mode: the program file is read into memory and served to the compiler through a
// line source; every screen-listing line is printed on standard output as it is made.
#include "app/batch.h"

#include "app/commandline.h"

#include "analysis/compare.h"
#include "analysis/driver.h"
#include "analysis/jsonresults.h"
#include "analysis/output.h"
#include "analysis/results.h"
#include "analysis/resultstable.h"
#include "analysis/runcommand.h"
#include "exec/interpreter.h"
#include "lang/data.h"
#include "lang/linesource.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/listing.h"
#include "support/safefile.h"

#include <algorithm>
#include <atomic>
#include <poll.h>
#include <sys/wait.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr long PROGRAM_FILE_MAX = 256L * 1024 * 1024;   // bytes of a program file

const char MSG_CANNOT_OPEN[] = "Unable to open program file: %s (%s)\n";
const char MSG_CANNOT_READ[] = "Unable to read program file: %s (%s)\n";
const char MSG_TOO_LARGE[] = "Program file is too large: %s\n";

constexpr int PROGRESS_FIRST_MS = 5;        // the progress line's first showing
constexpr int PROGRESS_REFRESH_MS = 500;    // how often the progress line is redrawn
constexpr int PROGRESS_LOG_SECONDS = 10;    // a progress line this often when stderr is no terminal
// A SIGINT this soon after the one that cancelled is the same Ctrl+C delivered again
// (timeout(1), for one, signals the process and then its whole process group).
constexpr long long INTERRUPT_REPEAT_NS = 100000000;

// The signals that cancel a batch run.
constexpr int BATCH_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int BATCH_SIGNAL_COUNT = sizeof BATCH_SIGNALS / sizeof BATCH_SIGNALS[0];

struct BatchState {
    char* text = nullptr;                       // the program file's bytes ("filebuf" block), or null
    size_t length = 0;                          // bytes in text
    TextLines lines = {nullptr, {}, {}};        // the lines of text
    LineSource source = {0, nullptr, nullptr};  // line source over lines
    // Set by the analysis thread as its last act, which wakes the waiting main thread at once.
    std::atomic<bool> analysisFinished{false};
    std::atomic<bool> interruptSeen{false};     // a cancelling signal came during this run, at any moment
    std::atomic<long long> interruptTime{0};    // monotonic clock (ns) of the first such signal
    std::mutex finishLock;
    std::condition_variable finishSignal;
    bool quiet = false;                         // screen lines are not printed (a comparison's runs)
};

BatchState batch;

void printScreenLine(const char* text)
{
    if (batch.quiet)
        return;
    fputs(text, stdout);
    fputc('\n', stdout);
}

// The error box of batch mode: its text without surrounding line breaks, on stderr.
void printErrorBox(const char* text)
{
    while (*text == '\n')
        text++;
    size_t length = strlen(text);
    while (length > 0 && text[length - 1] == '\n')
        length--;
    fprintf(stderr, "Error: %.*s\n", static_cast<int>(length), text);
    fflush(stderr);
}

// Reads the whole program file; false after a message on standard error.
bool loadProgram(const char* path)
{
    // Opened without waiting: a pipe in the program's place is refused below instead of
    // holding the run until some program writes to it.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    FILE* file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (!file) {
        fprintf(stderr, MSG_CANNOT_OPEN, path, strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    struct stat info;
    if (fstat(fileno(file), &info) != 0) {
        fprintf(stderr, MSG_CANNOT_READ, path, strerror(errno));
        fclose(file);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        fprintf(stderr, MSG_CANNOT_READ, path, S_ISDIR(info.st_mode) ? strerror(EISDIR) : "not a regular file");
        fclose(file);
        return false;
    }
    if (info.st_size > PROGRAM_FILE_MAX) {
        fprintf(stderr, MSG_TOO_LARGE, path);
        fclose(file);
        return false;
    }
    const size_t size = static_cast<size_t>(info.st_size);
    batch.text = static_cast<char*>(memalloc(size + 5, "filebuf"));
    if (!batch.text) {
        fclose(file);
        return false;
    }
    batch.length = fread(batch.text, 1, size, file);
    const bool failed = ferror(file) != 0;
    const int readError = errno;
    fclose(file);
    if (failed) {
        fprintf(stderr, MSG_CANNOT_READ, path, strerror(readError));
        return false;
    }
    batch.text[batch.length] = '\0';
    batch.source = lineSourceFromText(batch.lines, batch.text, batch.length);
    return true;
}

void onAnalysisEnd(int)
{
    std::lock_guard<std::mutex> guard(batch.finishLock);
    batch.analysisFinished.store(true);
    batch.finishSignal.notify_one();
}

long long monotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

// Ctrl+C, SIGTERM and SIGHUP ask the analysis to stop; the run still ends with its
// listing written. A later Ctrl+C also stops the pass at the best point before that
// listing; a later SIGTERM or SIGHUP ends the process at once, after removing the
// temporary files it was writing (the old files of their names stay).
void onInterrupt(int signalNumber)
{
    const long long time = monotonicNanoseconds();
    if (batch.interruptSeen.load(std::memory_order_relaxed)) {
        if (time - batch.interruptTime.load(std::memory_order_relaxed) < INTERRUPT_REPEAT_NS)
            return;
        if (signalNumber != SIGINT) {
            safeFileRemoveTemporaries();
            safeFileEndBySignal(signalNumber);
        }
    }
    if (!batch.interruptSeen.load(std::memory_order_relaxed))
        batch.interruptTime.store(time, std::memory_order_relaxed);
    batch.interruptSeen.store(true, std::memory_order_relaxed);
    abortRequested.store(true, std::memory_order_relaxed);
}

// A Ctrl+C, SIGTERM or SIGHUP while the data are read stops the reading.
bool continueReading(int, bool)
{
    return !batch.interruptSeen.load(std::memory_order_relaxed);
}

// Where standard error is no terminal (a log file, a pipe), a long fit still shows that
// it is alive: one whole line every PROGRESS_LOG_SECONDS.
void logProgress(int seconds)
{
    const int iteration = progressIteration.load(std::memory_order_relaxed);
    const double value = progressSumSquares.load(std::memory_order_relaxed);
    const char* label = settings.functionMinimization ? "Absolute value:" : "Residual SS:";
    if (settings.sweepCount > 0)
        fprintf(stderr, "Running for %d s: Sweep step: %d of %ld  Iteration: %d  %s %13.5le\n", seconds,
                progressSweepStep.load(std::memory_order_relaxed), driverSweepPoints(), iteration, label, value);
    else if (iteration > 0)
        fprintf(stderr, "Running for %d s: Iteration: %d  %s %13.5le\n", seconds, iteration, label, value);
    else
        fprintf(stderr, "Running for %d s: first iteration\n", seconds);
    fflush(stderr);
}

void showProgress(bool* shown)
{
    if (!progressChanged.exchange(false, std::memory_order_relaxed))
        return;
    const int iteration = progressIteration.load(std::memory_order_relaxed);
    const double value = progressSumSquares.load(std::memory_order_relaxed);
    const char* label = settings.functionMinimization ? "Absolute value:" : "Residual SS:";
    if (settings.sweepCount > 0)
        fprintf(stderr, "\rSweep step: %d of %ld  Iteration: %d  %s %13.5le ",
                progressSweepStep.load(std::memory_order_relaxed), driverSweepPoints(), iteration, label, value);
    else
        fprintf(stderr, "\rIteration: %d  %s %13.5le ", iteration, label, value);
    fflush(stderr);
    *shown = true;
}

// Waits for the analysis started by the Run sequence; a one-line progress display is
// kept on standard error while that is a terminal. Returns the stop code.
int waitForAnalysis()
{
    // A Ctrl+C before the analysis started (which clears the flag) stops it at once.
    if (batch.interruptSeen.load(std::memory_order_relaxed))
        abortRequested.store(true, std::memory_order_relaxed);
    const bool terminal = isatty(STDERR_FILENO) != 0;
    bool shown = false;
    int wait = PROGRESS_FIRST_MS;
    const long long start = monotonicNanoseconds();
    long long nextLog = start + PROGRESS_LOG_SECONDS * 1000000000LL;
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(batch.finishLock);
            if (batch.finishSignal.wait_for(guard, std::chrono::milliseconds(wait),
                                            [] { return batch.analysisFinished.load(); }))
                break;
        }
        if (terminal) {
            showProgress(&shown);
        } else if (monotonicNanoseconds() >= nextLog) {
            logProgress(static_cast<int>((monotonicNanoseconds() - start) / 1000000000LL));
            nextLog += PROGRESS_LOG_SECONDS * 1000000000LL;
        }
        wait = PROGRESS_REFRESH_MS;
    }
    driverWait();
    analysisRunning.store(false);
    if (shown) {
        fputs("\n", stderr);
        fflush(stderr);
    }
    return analysis.stopCode;
}

// The signal dispositions a batch run replaces, to be put back when it ends.
struct BatchSignals {
    struct sigaction previous[BATCH_SIGNAL_COUNT];   // of BATCH_SIGNALS
    struct sigaction fileSize;                       // of SIGXFSZ
    struct sigaction brokenPipe;                     // of SIGPIPE
};

// Ctrl+C, SIGTERM and SIGHUP are answered from the first moment of the run to its last:
// the run ends with its listing, as an interrupted one, instead of dying half-way with
// its files in pieces. A file larger than the process may write fails with a message
// like a full disk, and a reader of standard output that has gone (moxel -run ... |
// head) loses only the screen lines: neither kills the process with its files half
// written.
void installSignals(BatchSignals* saved)
{
    struct sigaction interrupt = {};
    interrupt.sa_handler = onInterrupt;
    sigemptyset(&interrupt.sa_mask);
    for (int k = 0; k < BATCH_SIGNAL_COUNT; ++k)
        sigaction(BATCH_SIGNALS[k], &interrupt, &saved->previous[k]);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &saved->fileSize);
    sigaction(SIGPIPE, &ignore, &saved->brokenPipe);
}

void restoreBatchSignals(const BatchSignals& saved)
{
    for (int k = 0; k < BATCH_SIGNAL_COUNT; ++k)
        sigaction(BATCH_SIGNALS[k], &saved.previous[k], nullptr);
    sigaction(SIGXFSZ, &saved.fileSize, nullptr);
    sigaction(SIGPIPE, &saved.brokenPipe, nullptr);
}

// Empties the module's record: the program text goes, and signals and the end of an
// earlier run are forgotten.
void resetBatch()
{
    if (batch.text)
        memfree(batch.text);
    batch.text = nullptr;
    batch.length = 0;
    batch.lines = TextLines{nullptr, {}, {}};
    batch.source = LineSource{0, nullptr, nullptr};
    batch.analysisFinished.store(false);
    batch.interruptSeen.store(false);
    batch.interruptTime.store(0);
}

// Releases everything the run built.
void releaseRun()
{
    runCommandRelease();
    resetBatch();
}

// Screen lines and error boxes to standard output and standard error, a line at a time,
// and nothing left of an earlier run.
void beginBatchRun()
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    errorBoxSetHandler(printErrorBox);
    listingSetSink(printScreenLine);
    memResetFailure();
    runCommandRelease();
}

// What a comparison needs of the finished run, before its arrays are released.
void takeModel(CompareModel* model, bool converged)
{
    const int n = observationCount;
    model->fitted = !settings.functionMinimization && results.residualsComputed && results.observed;
    model->converged = converged;
    model->n = n;
    model->p = parameterCount;
    model->weighted = results.weights != nullptr;
    model->ss = results.residuals.residualSS;
    model->criteria = results.criteria;
    if (model->fitted)
        model->observed.assign(results.observed, results.observed + n);
    if (model->fitted && results.weights)
        model->weights.assign(results.weights, results.weights + n);
}

} // namespace

int batchPreview(const char* programPath, BatchPlotSaver savePlots)
{
    struct sigaction ignore = {};
    struct sigaction previousPipe = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previousPipe);
    beginBatchRun();
    int status = BATCH_FAILED;
    if (loadProgram(programPath)) {
        const RunPreview preview = runCommandPreview(programPath, &batch.source);
        if (preview.status == RUN_STARTED && preview.computable && !memOutOfMemory())
            status = BATCH_OK;
        if (preview.status == RUN_STARTED && savePlots && !savePlots(programPath))
            status = BATCH_FAILED;
    }
    releaseRun();
    fflush(stdout);
    sigaction(SIGPIPE, &previousPipe, nullptr);
    return status;
}

int batchRun(const char* programPath, BatchPlotSaver savePlots, const char* jsonPath, CompareModel* model)
{
    resetBatch();
    BatchSignals signals;
    installSignals(&signals);
    beginBatchRun();
    const auto restoreSignals = [&signals] { restoreBatchSignals(signals); };
    if (!loadProgram(programPath)) {
        releaseRun();
        restoreSignals();
        return BATCH_FAILED;
    }
    driverSetEndHandler(onAnalysisEnd);
    outputReset();
    dataSetProgressHook(continueReading);
    const RunStart start = runCommandStart(programPath, &batch.source, false);
    dataSetProgressHook(nullptr);
    if (!start.listingMessage.empty())
        fprintf(stderr, "%s\n", start.listingMessage.c_str());
    int status = BATCH_FAILED;
    if (start.status == RUN_STARTED) {
        const int stopCode = waitForAnalysis();
        // Ctrl+C while the listing or the output file was being written left them
        // incomplete: such a run does not count as a usable result either.
        status = driverStopCodeUsable(stopCode) && !abortRequested.load() ? BATCH_OK : BATCH_NOT_CONVERGED;
        // Converged, but to estimates the data do not determine: not a usable result.
        if (status == BATCH_OK && results.diagnosis.doubtful)
            status = BATCH_NOT_CONVERGED;
        // A script must not take a missing or cut output file for success.
        if (outputFailureCount() > 0)
            status = BATCH_FAILED;
    }
    driverSetEndHandler(nullptr);
    if (model && start.status == RUN_STARTED && results.computed)
        takeModel(model, status == BATCH_OK);

    const RunEnd end = runCommandFinish();
    if (!end.listingMessage.empty())
        fprintf(stderr, "%s\n", end.listingMessage.c_str());
    // No listing is no result, whatever the analysis did.
    if (end.listingLost || !start.listingMessage.empty())
        status = BATCH_FAILED;
    // A run that ran out of memory ended early, whatever its stop code says.
    if (memOutOfMemory())
        status = BATCH_FAILED;
    if (savePlots && !savePlots(programPath))
        status = BATCH_FAILED;
    // An interrupted run is never a usable result, whenever the signal came.
    if (status == BATCH_OK && batch.interruptSeen.load(std::memory_order_relaxed))
        status = BATCH_NOT_CONVERGED;
    if (jsonPath && *jsonPath && !runCommandResultFileRefused()) {
        const std::string message = jsonResultsWrite(jsonPath, results, status);
        if (!message.empty()) {
            fprintf(stderr, "%s\n", message.c_str());
            status = BATCH_FAILED;
        }
    }
    releaseRun();
    fflush(stdout);
    restoreSignals();
    return status;
}

namespace {

const char MSG_INLINE_DATA[] = "The program reads inline data: -data needs a DATA \"file\" statement to replace\n";
const char MSG_CHAIN_JOBS[] = "-chain fits the data sets one after another: it cannot be used with -jobs above 1\n";
const char MSG_OUTPUT_FILES[] =
    "OUTPUT and POUTPUT files are not named per data set: each would replace the previous one's. "
    "Leave them out of a program run with -by or -data (the table holds the estimates)\n";
const char MSG_TABLE_FAILED[] = "Unable to write results table: %s (%s)\n";
constexpr size_t SET_NAME_MAX = 80;      // bytes of a group text kept in a file name

// What a batch over data sets knows while it runs.
struct SetBatch {
    const BatchSets* sets;
    std::string program;                 // the program file
    std::vector<std::string> names;      // each data set's name in the table
    std::vector<std::string> listingNames;  // each data set's listing name, also with -quiet
    std::vector<std::string> listings;   // each data set's listing file, empty with -quiet
    std::vector<std::string> dataFiles;  // each data set's data file: a group's records cut into a file of its own
    std::vector<std::string> groupContents;  // each group's records as a data file (-by)
    ResultsTableColumns columns;         // parameter and derived names of the program
    std::vector<double> chainValues;     // the previous fit's estimates (-chain)
};

// A group text as part of a file name: letters, digits, '-', '.' and bytes above 127
// (UTF-8 letters) stay; anything else becomes '_'.
std::string safeNamePart(const std::string& text)
{
    std::string part;
    for (char c : text.substr(0, SET_NAME_MAX)) {
        const unsigned char u = static_cast<unsigned char>(c);
        part += (isalnum(u) || u >= 128 || c == '-' || c == '.') ? c : '_';
    }
    return part.empty() ? "_" : part;
}

void nameListings(SetBatch& run)
{
    run.listingNames = batchListingNames(run.program, run.names, !run.sets->files.empty());
    for (const std::string& name : run.listingNames)
        run.listings.push_back(run.sets->quiet ? "" : name);
}

// The first error of the run, for the table's message column.
std::string firstError()
{
    for (const ListingMessage& m : listingMessages())
        if (strcmp(m.kind, "error") == 0)
            return m.line > 0 ? "line " + std::to_string(m.line) + ": " + m.text : m.text;
    return "";
}

// Fits data set i as a single run of it would, and returns its table row; *status is its
// SetStatus. A run stopped by a signal is not run.
std::string runSet(SetBatch& run, size_t i, int* status)
{
    DataSelection selection;
    selection.file = run.dataFiles[i];
    selection.contents = run.groupContents.empty() ? nullptr : &run.groupContents[i];
    dataSetSelection(&selection);
    batch.source = lineSourceFromText(batch.lines, batch.text, batch.length);
    batch.analysisFinished.store(false);
    outputReset();
    memResetFailure();
    const RunStart start = runCommandStart(run.program, &batch.source, false, run.listings[i].c_str(),
                                           run.sets->chain && !run.chainValues.empty() ? &run.chainValues : nullptr);
    std::string message = start.listingMessage;
    *status = SET_FAILED;
    if (start.status == RUN_STARTED) {
        waitForAnalysis();
        *status = resultsTableStatus(results);
        if (outputFailureCount() > 0)
            *status = SET_FAILED;
    } else if (message.empty()) {
        message = firstError();
    }
    const RunEnd end = runCommandFinish();
    if (end.listingLost) {
        *status = SET_FAILED;
        message = end.listingMessage;
    }
    if (memOutOfMemory())
        *status = SET_FAILED;
    if (batch.interruptSeen.load(std::memory_order_relaxed))
        *status = SET_NOT_RUN;
    if (start.status == RUN_STARTED && *status <= SET_DOUBTFUL && run.sets->chain) {
        run.chainValues.clear();
        for (int j = 0; j < results.parameterCount; ++j)
            run.chainValues.push_back(results.parameters[j].estimate);
    }
    std::string row = resultsTableRow(run.names[i], *status, run.columns, results, message);
    dataSetSelection(nullptr);
    runCommandRelease();
    return row;
}

}  // namespace

std::vector<std::string> batchListingNames(const std::string& programPath, const std::vector<std::string>& names,
                                           bool perFile)
{
    const std::string stem = runCommandListingPath(programPath);
    const std::string programStem = stem.substr(0, stem.size() - 4);
    std::vector<std::string> listings;
    for (const std::string& setName : names) {
        std::string name;
        if (perFile) {
            name = runCommandListingPath(setName);
        } else {
            const std::string base = programStem + "_" + safeNamePart(setName);
            name = base + ".lst";
            for (int k = 2; std::find(listings.begin(), listings.end(), name) != listings.end(); ++k)
                name = base + "_" + std::to_string(k) + ".lst";
        }
        listings.push_back(name);
    }
    return listings;
}

std::vector<std::string> batchReadNameList()
{
    std::vector<std::string> names;
    std::string line;
    int c;
    while ((c = getchar()) != EOF) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty())
                names.push_back(line);
            line.clear();
        } else {
            line += static_cast<char>(c);
        }
    }
    if (!line.empty())
        names.push_back(line);
    return names;
}

namespace {

// Cuts the data into one data set per group, held in memory: each group's fit then
// reads its own records only, exactly as a single run of them as a file would. Each is
// named as its listing, with the data file's extension.
void cutGroups(SetBatch& run, const std::string& extension)
{
    for (size_t k = 0; k < run.names.size(); ++k) {
        const std::string& listing = run.listingNames[k];
        const size_t slash = listing.find_last_of('/');
        const size_t start = slash == std::string::npos ? 0 : slash + 1;
        run.dataFiles.push_back(listing.substr(start, listing.size() - start - 4) + extension);
    }
    run.groupContents = dataTakeGroupFiles();
}

// The rows of data sets first..count-1 fitted by one worker process every jobs-th, sent
// to the parent on fd as "index status length\n" and the row's bytes.
void runWorker(SetBatch& run, size_t first, size_t jobs, int fd)
{
    for (size_t i = first; i < run.names.size(); i += jobs) {
        if (batch.interruptSeen.load(std::memory_order_relaxed))
            break;
        int status = SET_FAILED;
        const std::string row = runSet(run, i, &status);
        if (status == SET_NOT_RUN)
            break;
        char head[64];
        const int length = snprintf(head, sizeof head, "%zu %d %zu\n", i, status, row.size());
        std::string message = std::string(head, static_cast<size_t>(length)) + row;
        for (size_t written = 0; written < message.size();) {
            const ssize_t n = write(fd, message.data() + written, message.size() - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            written += static_cast<size_t>(n);
        }
    }
}

// Collects rows from the workers' pipes into rows and statuses as they come; calls
// emit for each row once every row before it has come.
struct WorkerPipe {
    int fd;
    std::string buffer;
};

void takeWorkerRows(WorkerPipe& pipe, std::vector<std::string>& rows, std::vector<int>& statuses,
                    std::vector<bool>& done)
{
    for (;;) {
        const size_t end = pipe.buffer.find('\n');
        if (end == std::string::npos)
            return;
        size_t index = 0;
        int status = 0;
        size_t length = 0;
        if (sscanf(pipe.buffer.c_str(), "%zu %d %zu", &index, &status, &length) != 3 || index >= rows.size()) {
            pipe.buffer.clear();
            return;
        }
        if (pipe.buffer.size() < end + 1 + length)
            return;
        rows[index] = pipe.buffer.substr(end + 1, length);
        statuses[index] = status;
        done[index] = true;
        pipe.buffer.erase(0, end + 1 + length);
    }
}

}  // namespace

int batchRunSets(const char* programPath, const BatchSets& sets)
{
    resetBatch();
    BatchSignals signals;
    installSignals(&signals);
    const auto restoreSignals = [&signals] { restoreBatchSignals(signals); };
    beginBatchRun();
    // Standard output carries the table's rows; the listings go to their files.
    listingSetSink(nullptr);
    if (!loadProgram(programPath)) {
        releaseRun();
        restoreSignals();
        return BATCH_FAILED;
    }
    SetBatch run;
    run.sets = &sets;
    run.program = programPath;
    driverSetEndHandler(onAnalysisEnd);

    // The data sets, and the program's names from one compile.
    DataSelection selection;
    selection.groupColumn = sets.byColumn;
    selection.listGroups = !sets.byColumn.empty();
    if (!sets.files.empty())
        selection.file = sets.files.front();
    dataSetSelection(&selection);
    batch.source = lineSourceFromText(batch.lines, batch.text, batch.length);
    const bool compiled = runCommandCompile(run.program, &batch.source);
    run.columns = resultsTableColumnsOfProgram();
    const bool inlineData = dataWasInline();
    const bool outputFiles = settings.outputMode > 0 || !settings.parameterOutputFile.empty();
    if (!sets.byColumn.empty())
        run.names = dataGroups();
    else
        run.names = sets.files;
    const std::string compileError = firstError();
    const std::string dataPath = dataFilePath;
    nameListings(run);
    if (!sets.byColumn.empty() && compiled) {
        const size_t slash = dataPath.find_last_of('/');
        const size_t dot = dataPath.find_last_of('.');
        cutGroups(run, dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dataPath.substr(dot)
                                                                                              : std::string(".dat"));
    } else {
        run.dataFiles = run.names;
    }
    dataSetSelection(nullptr);
    runCommandRelease();
    // The table is written last, over whatever has its name: never over the program, a
    // data set or a listing.
    std::string tableClash;
    if (!sets.tablePath.empty()) {
        std::vector<std::pair<std::string, std::string>> uses = {{"the program", run.program}};
        if (!dataPath.empty())
            uses.push_back({"the data file", dataPath});
        for (const std::string& file : sets.files)
            uses.push_back({"the data file", file});
        for (const std::string& listing : run.listings)
            if (!listing.empty())
                uses.push_back({"the listing", listing});
        const size_t ownFiles = uses.size();
        uses.push_back({"the -table file", sets.tablePath});
        tableClash = runCommandNameClash(uses, ownFiles);
    }
    int refusal = 0;
    if (!sets.files.empty() && inlineData) {
        fputs(MSG_INLINE_DATA, stderr);
        refusal = BATCH_BAD_COMMAND;
    } else if (outputFiles) {
        fputs(MSG_OUTPUT_FILES, stderr);
        refusal = BATCH_BAD_COMMAND;
    } else if (sets.chain && sets.jobs > 1) {
        fputs(MSG_CHAIN_JOBS, stderr);
        refusal = BATCH_BAD_COMMAND;
    } else if (!tableClash.empty()) {
        fprintf(stderr, "Error: %s\n", tableClash.c_str());
        refusal = BATCH_BAD_COMMAND;
    } else if (!sets.byColumn.empty() && !compiled) {
        // Without its data the groups are unknown: the batch has nothing to fit.
        fprintf(stderr, "Error: %s\n", compileError.c_str());
        refusal = BATCH_FAILED;
    }
    if (refusal) {
        driverSetEndHandler(nullptr);
        releaseRun();
        restoreSignals();
        return refusal;
    }

    // The count first, for a progress display that reads standard error ("k of N").
    fprintf(stderr, "Data sets: %zu\n", run.names.size());
    fflush(stderr);
    const std::string setColumn = sets.byColumn.empty() ? "file" : sets.byColumn;
    const std::string header = resultsTableHeader(setColumn, run.columns);
    SafeFile table;
    bool tableOk = true;
    if (!sets.tablePath.empty() && !safeFileOpen(&table, sets.tablePath)) {
        fprintf(stderr, MSG_TABLE_FAILED, safeFileFullPath(sets.tablePath).c_str(), safeFileReason(&table));
        tableOk = false;
    }
    const auto emit = [&](const std::string& row) {
        fputs(row.c_str(), stdout);
        fflush(stdout);
        if (table.stream)
            fputs(row.c_str(), table.stream);
    };
    emit(header);

    const size_t count = run.names.size();
    std::vector<std::string> rows(count);
    std::vector<int> statuses(count, SET_NOT_RUN);
    std::vector<bool> done(count, false);
    size_t next = 0;   // the first row not yet emitted
    const size_t jobs = std::max<size_t>(1, std::min<size_t>(sets.jobs > 0 ? sets.jobs : 1, count));
    if (jobs == 1) {
        for (size_t i = 0; i < count && !batch.interruptSeen.load(std::memory_order_relaxed); ++i) {
            int status = SET_FAILED;
            const std::string row = runSet(run, i, &status);
            if (status == SET_NOT_RUN)
                break;
            statuses[i] = status;
            done[i] = true;
            emit(row);
            next = i + 1;
            // A group's records are read once: their memory goes back.
            if (!run.groupContents.empty())
                std::string().swap(run.groupContents[i]);
        }
    } else {
        // Worker processes fit every jobs-th data set each, one after another, the core
        // reset between fits as for any run; rows come back through pipes.
        fflush(stdout);
        std::vector<WorkerPipe> pipes;
        std::vector<pid_t> children;
        for (size_t w = 0; w < jobs; ++w) {
            int fds[2];
            if (pipe(fds) != 0)
                break;
            const pid_t child = fork();
            if (child == 0) {
                close(fds[0]);
                for (const WorkerPipe& other : pipes)
                    close(other.fd);
                if (table.stream)
                    table.stream = nullptr;   // the parent's; the child writes nothing to it
                runWorker(run, w, jobs, fds[1]);
                close(fds[1]);
                _exit(0);
            }
            close(fds[1]);
            if (child < 0) {
                close(fds[0]);
                break;
            }
            children.push_back(child);
            pipes.push_back(WorkerPipe{fds[0], ""});
        }
        size_t open = pipes.size();
        std::vector<pollfd> polls;
        while (open > 0) {
            polls.clear();
            for (const WorkerPipe& p : pipes)
                polls.push_back(pollfd{p.fd, POLLIN, 0});
            if (poll(polls.data(), polls.size(), -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            for (size_t k = 0; k < pipes.size(); ++k) {
                if (pipes[k].fd < 0 || !(polls[k].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                char buffer[65536];
                const ssize_t n = read(pipes[k].fd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    close(pipes[k].fd);
                    pipes[k].fd = -1;
                    --open;
                    continue;
                }
                pipes[k].buffer.append(buffer, static_cast<size_t>(n));
                takeWorkerRows(pipes[k], rows, statuses, done);
            }
            while (next < count && done[next])
                emit(rows[next++]);
        }
        for (const pid_t child : children) {
            int childStatus = 0;
            while (waitpid(child, &childStatus, 0) < 0 && errno == EINTR) {
            }
        }
        while (next < count && done[next])
            emit(rows[next++]);
    }
    // Data sets the batch did not reach, or whose fit a signal stopped.
    for (size_t i = next; i < count; ++i) {
        if (done[i]) {
            emit(rows[i]);
            continue;
        }
        statuses[i] = SET_NOT_RUN;
        emit(resultsTableRow(run.names[i], SET_NOT_RUN, run.columns, results, ""));
    }
    driverSetEndHandler(nullptr);
    if (table.stream && !safeFileCommit(&table)) {
        fprintf(stderr, MSG_TABLE_FAILED, safeFileFullPath(sets.tablePath).c_str(), safeFileReason(&table));
        tableOk = false;
    }
    int status = BATCH_OK;
    for (const int s : statuses)
        if (s == SET_DOUBTFUL || s == SET_NOT_CONVERGED || s == SET_NOT_RUN)
            status = BATCH_NOT_CONVERGED;
    for (const int s : statuses)
        if (s == SET_FAILED)
            status = BATCH_FAILED;
    if (!tableOk)
        status = BATCH_FAILED;
    releaseRun();
    fflush(stdout);
    restoreSignals();
    return status;
}

int batchCommand(const CommandLine& commandLine, BatchPlotSaver savePlots, BatchPlotSaver savePreviewPlots)
{
    printf("RUN option specified\n");
    fflush(stdout);
    if (commandLine.invalidOption || commandLine.programPath.empty()) {
        commandLinePrintUsage();
        return BATCH_BAD_COMMAND;
    }
    const char* program = commandLine.programPath.c_str();
    if (commandLine.preview)
        return commandLineFinish(batchPreview(program, commandLine.plots ? savePreviewPlots : nullptr));
    if (!commandLine.byColumn.empty() || !commandLine.dataFiles.empty()) {
        BatchSets sets;
        sets.files = commandLine.dataFiles;
        if (sets.files.size() == 1 && sets.files[0] == "-")
            sets.files = batchReadNameList();
        sets.byColumn = commandLine.byColumn;
        sets.tablePath = commandLine.tablePath;
        const long processors = sysconf(_SC_NPROCESSORS_ONLN);
        sets.jobs = commandLine.jobs > 0 ? commandLine.jobs : processors > 0 ? static_cast<int>(processors) : 1;
        // -chain fits in order, one after another: it sets one job unless -jobs says more.
        if (commandLine.chain && commandLine.jobs == 0)
            sets.jobs = 1;
        sets.chain = commandLine.chain;
        sets.quiet = commandLine.quiet;
        if (!commandLine.dataFiles.empty() && sets.files.empty()) {
            fprintf(stderr, "No data file names on standard input\n");
            return BATCH_BAD_COMMAND;
        }
        return commandLineFinish(batchRunSets(program, sets));
    }
    // The compile refuses a -json file that names the listing, the program, the data or
    // an output file.
    if (!commandLine.jsonPath.empty())
        runCommandSetResultFiles({{"the -json file", commandLine.jsonPath}});
    const int status = batchRun(program, commandLine.plots ? savePlots : nullptr, commandLine.jsonPath.c_str());
    runCommandSetResultFiles({});
    return commandLineFinish(status);
}

int batchCompare(const std::vector<std::string>& programPaths)
{
    std::vector<CompareModel> models;
    bool converged = true;
    for (const std::string& path : programPaths) {
        CompareModel model = {};
        model.name = path;
        batch.quiet = true;
        const int status = batchRun(path.c_str(), nullptr, nullptr, &model);
        batch.quiet = false;
        if (!model.fitted) {
            fprintf(stderr, "%s: %s\n", path.c_str(),
                    status == BATCH_FAILED ? "the program did not run; its listing says why"
                                           : "the fit gave no sums of squares to compare");
            return BATCH_FAILED;
        }
        if (!model.converged) {
            printf("%s did not converge properly: its row is shown, but is not a usable result.\n", path.c_str());
            converged = false;
        }
        models.push_back(std::move(model));
        if (batch.interruptSeen.load(std::memory_order_relaxed))
            return BATCH_NOT_CONVERGED;
    }
    const std::string why = compareSameObservations(models);
    if (!why.empty()) {
        fprintf(stderr, "The models cannot be compared: they were not fitted to the same observations (%s).\n",
                why.c_str());
        return BATCH_FAILED;
    }
    fputs(compareReport(models).c_str(), stdout);
    fflush(stdout);
    return converged ? BATCH_OK : BATCH_NOT_CONVERGED;
}
