// A whole batch run for the fuzz targets: the input holds a program and, after a line
// "@@DATA", the bytes of the data file "fuzz.dat" beside it. The run is limited to 20
// iterations per solve and is cancelled after one second (as a user would press Cancel),
// so that a model with an endless loop ends too.
#pragma once

#include "fuzz_common.h"

#include "app/batch.h"
#include "app/batchplots.h"
#include "exec/interpreter.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <thread>

constexpr auto FUZZ_CANCEL_AFTER = std::chrono::milliseconds(1000);
constexpr char FUZZ_DATA_SEPARATOR[] = "\n@@DATA\n";

inline bool fuzzWriteFile(const std::string& path, const char* bytes, size_t size)
{
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return false;
    fwrite(bytes, 1, size, file);
    return fclose(file) == 0;
}

// Words that would make a run long however small the program: a sweep multiplies the
// solves, and an ITERATIONS statement would lift the limit set below.
inline bool fuzzMentions(const std::string& text, const char* word)
{
    const size_t length = strlen(word);
    for (size_t i = 0; i + length <= text.size(); ++i)
        if (strncasecmp(text.c_str() + i, word, length) == 0) return true;
    return false;
}

// Silences the screen listing on standard output.
inline void fuzzSilenceStdout()
{
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
}

// One batch run of the program and data in input (see above); savePlots as -plots.
inline void fuzzBatchRun(std::string input, bool savePlots)
{
    if (input.find('\0') != std::string::npos) return;
    const size_t split = input.find(FUZZ_DATA_SEPARATOR);
    std::string program = input.substr(0, split);
    const std::string dataBytes = split == std::string::npos ? "" : input.substr(split + strlen(FUZZ_DATA_SEPARATOR));
    if (fuzzNamesLeaveFolder(program) || fuzzMentions(program, "sweep") || fuzzMentions(program, "iterations")) return;
    program = "ITERATIONS 20;\n" + program;
    const std::string folder = fuzzFolder();
    if (!fuzzWriteFile(folder + "/fuzz.mxl", program.data(), program.size())) return;
    if (!fuzzWriteFile(folder + "/fuzz.dat", dataBytes.data(), dataBytes.size())) return;

    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> guard(lock);
        if (!finished.wait_for(guard, FUZZ_CANCEL_AFTER, [&] { return done; }))
            abortRequested.store(true, std::memory_order_relaxed);
    });
    batchRun((folder + "/fuzz.mxl").c_str(), savePlots ? batchSavePlots : nullptr);
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    finished.notify_one();
    watchdog.join();
    abortRequested.store(false, std::memory_order_relaxed);
}
