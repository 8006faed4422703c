// The analysis on its worker thread as the interface thread sees it: the progress values
// read while the solver runs, Cancel from the interface thread, and the end-of-run signal.
// These tests also run in the ThreadSanitizer build of scripts/test.sh.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "analysis/driver.h"
#include "exec/interpreter.h"
#include "lang/compiler.h"
#include "lang/linesource.h"
#include "lang/options.h"
#include "support/listing.h"
#include "testutil.h"

namespace {

// A model slow enough to watch: every evaluation counts to 20000 first.
const char SLOW_MODEL[] =
    "VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nDOUBLE i;\n"
    "i = 0;\nWHILE (i < 20000) i = i + 1;\n"
    "FUNCTION y = a * exp(b * x);\n"
    "DATA;\n0 1.1\n1 2.6\n2 7.5\n3 19.8\n4 55.1\n";

const char QUICK_MODEL[] =
    "VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a * exp(b * x);\n"
    "DATA;\n0 1.1\n1 2.6\n2 7.5\n3 19.8\n4 55.1\n";

std::atomic<int> endSignals{0};
std::atomic<int> endCode{0};

void onEnd(int code)
{
    endCode.store(code);
    endSignals.fetch_add(1);
}

void quiet(const char*) {}

class WorkerThread : public ::testing::Test {
protected:
    TextLines lines;
    std::string text;
    void SetUp() override
    {
        listingSetSink(quiet);
        driverSetEndHandler(onEnd);
        endSignals.store(0);
        endCode.store(0);
    }
    void TearDown() override
    {
        driverWait();
        analysisRunning.store(false);
        abortRequested.store(false);
        driverSetEndHandler(nullptr);
        driverRelease();
        compilerReleaseAll();
        listingClear();
        listingSetSink(nullptr);
    }
    bool start(const char* program)
    {
        driverRelease();
        compilerReleaseAll();
        settingsReset();
        listingClear();
        programPath = testTempDir() + "/prog.mxl";
        text = program;
        const LineSource source = lineSourceFromText(lines, text.c_str(), text.size());
        return compileProgram(&source) != nullptr && driverStart() != 0;
    }
    // Waits, as the window's timer does, until the end-of-run signal has come.
    bool waitForEnd()
    {
        for (int waited = 0; waited < 120000 && endSignals.load() == 0; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return endSignals.load() > 0;
    }
};

}  // namespace

TEST_F(WorkerThread, ProgressIsReadWhileTheSolverRunsAndCancelEndsTheRun)
{
    ASSERT_TRUE(start(SLOW_MODEL));
    EXPECT_TRUE(analysisRunning.load());
    // the interface thread polls the progress values until the solver has reported an
    // iteration, then presses Cancel
    bool seen = false;
    for (int waited = 0; waited < 120000 && !seen && endSignals.load() == 0; ++waited) {
        if (progressChanged.exchange(false, std::memory_order_relaxed))
            seen = progressIteration.load(std::memory_order_relaxed) >= 1 &&
                   progressSumSquares.load(std::memory_order_relaxed) > 0.0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(seen);
    abortRequested.store(true, std::memory_order_relaxed);
    ASSERT_TRUE(waitForEnd());
    driverWait();
    analysisRunning.store(false);
    EXPECT_EQ(endSignals.load(), 1);
    EXPECT_EQ(endCode.load(), STOP_ABORTED);
    EXPECT_EQ(analysis.stopCode, STOP_ABORTED);
    EXPECT_FALSE(analysis.analysisCompleted);
}

TEST_F(WorkerThread, EndOfRunSignalComesOnceAfterTheResults)
{
    ASSERT_TRUE(start(QUICK_MODEL));
    ASSERT_TRUE(waitForEnd());
    driverWait();
    analysisRunning.store(false);
    EXPECT_EQ(endSignals.load(), 1);
    EXPECT_EQ(endCode.load(), analysis.stopCode);
    EXPECT_TRUE(analysis.analysisCompleted);
    EXPECT_NEAR(analysis.predicted[4], analysis.observed[4], 2.0);
    // a second run on the same thread objects starts clean
    ASSERT_TRUE(start(QUICK_MODEL));
    ASSERT_TRUE(waitForEnd());
    driverWait();
    EXPECT_EQ(endSignals.load(), 2);
}
