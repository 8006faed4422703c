// Batch mode: the program file is read into memory and served to the compiler through a
// line source; every screen-listing line is printed on standard output as it is made.
#include "app/batch.h"

#include "analysis/driver.h"
#include "analysis/output.h"
#include "analysis/runcommand.h"
#include "exec/interpreter.h"
#include "lang/linesource.h"
#include "lang/options.h"
#include "support/allocator.h"
#include "support/listing.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
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
// A SIGINT this soon after the one that cancelled is the same Ctrl+C delivered again
// (timeout(1), for one, signals the process and then its whole process group).
constexpr long long INTERRUPT_REPEAT_NS = 100000000;

// Set by the analysis thread as its last act, which wakes the waiting main thread at once.
std::atomic<bool> analysisFinished{false};
std::atomic<bool> interruptSeen{false};     // Ctrl+C came during this run, at any moment
std::atomic<long long> interruptTime{0};    // monotonic clock (ns) of the first Ctrl+C
std::mutex finishLock;
std::condition_variable finishSignal;

struct BatchState {
    char* text;             // the program file's bytes ("filebuf" block), or null
    size_t length;          // bytes in text
    TextLines lines;        // the lines of text
    LineSource source;      // line source over lines
};

BatchState batch = {nullptr, 0, {nullptr, {}, {}}, {0, nullptr, nullptr}};

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
    FILE* file = fopen(path, "rb");
    if (!file) {
        fprintf(stderr, MSG_CANNOT_OPEN, path, strerror(errno));
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
    std::lock_guard<std::mutex> guard(finishLock);
    analysisFinished.store(true);
    finishSignal.notify_one();
}

// Ctrl+C asks the analysis to stop; the run still ends with its listing written. A later
// one also stops the pass at the best point before that listing.
void onInterrupt(int)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long time = (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
    if (interruptSeen.load(std::memory_order_relaxed) &&
        time - interruptTime.load(std::memory_order_relaxed) < INTERRUPT_REPEAT_NS)
        return;
    if (!interruptSeen.load(std::memory_order_relaxed))
        interruptTime.store(time, std::memory_order_relaxed);
    interruptSeen.store(true, std::memory_order_relaxed);
    abortRequested.store(true, std::memory_order_relaxed);
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
    if (interruptSeen.load(std::memory_order_relaxed))
        abortRequested.store(true, std::memory_order_relaxed);
    const bool terminal = isatty(STDERR_FILENO) != 0;
    bool shown = false;
    int wait = PROGRESS_FIRST_MS;
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(finishLock);
            if (finishSignal.wait_for(guard, std::chrono::milliseconds(wait), [] { return analysisFinished.load(); }))
                break;
        }
        if (terminal)
            showProgress(&shown);
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

// Releases everything the run built.
void releaseRun()
{
    runCommandRelease();
    if (batch.text)
        memfree(batch.text);
    batch.text = nullptr;
    batch.length = 0;
    batch.lines = TextLines{nullptr, {}, {}};
    batch.source = LineSource{0, nullptr, nullptr};
}

} // namespace

int batchRun(const char* programPath, BatchPlotSaver savePlots)
{
    // Ctrl+C is answered from the first moment of the run to its last: the run ends with
    // its listing, as an interrupted one, instead of dying half-way.
    struct sigaction interrupt = {};
    struct sigaction previous = {};
    interrupt.sa_handler = onInterrupt;
    sigemptyset(&interrupt.sa_mask);
    interruptSeen.store(false);
    sigaction(SIGINT, &interrupt, &previous);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    errorBoxSetHandler(printErrorBox);
    listingSetSink(printScreenLine);
    memResetFailure();
    runCommandRelease();

    if (!loadProgram(programPath)) {
        releaseRun();
        sigaction(SIGINT, &previous, nullptr);
        return BATCH_FAILED;
    }
    analysisFinished.store(false);
    driverSetEndHandler(onAnalysisEnd);
    outputReset();
    const RunStart start = runCommandStart(programPath, &batch.source, false);
    if (!start.listingMessage.empty())
        fprintf(stderr, "%s\n", start.listingMessage.c_str());
    int status = BATCH_FAILED;
    if (start.status == RUN_STARTED) {
        const int stopCode = waitForAnalysis();
        // Ctrl+C while the listing or the output file was being written left them
        // incomplete: such a run does not count as a usable result either.
        status = driverStopCodeUsable(stopCode) && !abortRequested.load() ? BATCH_OK : BATCH_NOT_CONVERGED;
        // A script must not take a missing or cut output file for success.
        if (outputFailureCount() > 0)
            status = BATCH_FAILED;
    }
    driverSetEndHandler(nullptr);

    const RunEnd end = runCommandFinish();
    if (!end.listingMessage.empty())
        fprintf(stderr, "%s\n", end.listingMessage.c_str());
    if (end.listingLost)
        status = BATCH_FAILED;
    if (savePlots && !savePlots(programPath))
        status = BATCH_FAILED;
    // An interrupted run is never a usable result, whenever Ctrl+C came.
    if (status == BATCH_OK && interruptSeen.load(std::memory_order_relaxed))
        status = BATCH_NOT_CONVERGED;
    releaseRun();
    fflush(stdout);
    sigaction(SIGINT, &previous, nullptr);
    return status;
}
