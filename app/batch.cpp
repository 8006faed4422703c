// Batch mode: the program file is read into memory and served to the compiler through a
// line source; every screen-listing line is printed on standard output as it is made.
#include "app/batch.h"

#include "analysis/driver.h"
#include "analysis/output.h"
#include "analysis/results.h"
#include "analysis/runcommand.h"
#include "exec/interpreter.h"
#include "lang/data.h"
#include "lang/linesource.h"
#include "lang/options.h"
#include "support/allocator.h"
#include "support/listing.h"
#include "support/safefile.h"

#include <atomic>
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
};

BatchState batch;

void printScreenLine(const char* text)
{
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
        fprintf(stderr, "Running for %d s: Sweep step: %d  Iteration: %d  %s %13.5le\n", seconds,
                progressSweepStep.load(std::memory_order_relaxed), iteration, label, value);
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
        fprintf(stderr, "\rSweep step: %d  Iteration: %d  %s %13.5le ",
                progressSweepStep.load(std::memory_order_relaxed), iteration, label, value);
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

int batchRun(const char* programPath, BatchPlotSaver savePlots)
{
    // Ctrl+C, SIGTERM and SIGHUP are answered from the first moment of the run to its
    // last: the run ends with its listing, as an interrupted one, instead of dying
    // half-way with its files in pieces.
    struct sigaction interrupt = {};
    struct sigaction previous[BATCH_SIGNAL_COUNT] = {};
    interrupt.sa_handler = onInterrupt;
    sigemptyset(&interrupt.sa_mask);
    resetBatch();
    for (int k = 0; k < BATCH_SIGNAL_COUNT; ++k)
        sigaction(BATCH_SIGNALS[k], &interrupt, &previous[k]);
    // A file larger than the process may write fails with a message like a full disk,
    // and a reader of standard output that has gone (moxel -run ... | head) loses only
    // the screen lines: neither kills the process with its files half written.
    struct sigaction ignore = {};
    struct sigaction previousFileSize = {};
    struct sigaction previousPipe = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previousFileSize);
    sigaction(SIGPIPE, &ignore, &previousPipe);
    beginBatchRun();

    const auto restoreSignals = [&previous, &previousFileSize, &previousPipe] {
        for (int k = 0; k < BATCH_SIGNAL_COUNT; ++k)
            sigaction(BATCH_SIGNALS[k], &previous[k], nullptr);
        sigaction(SIGXFSZ, &previousFileSize, nullptr);
        sigaction(SIGPIPE, &previousPipe, nullptr);
    };
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
    releaseRun();
    fflush(stdout);
    restoreSignals();
    return status;
}
