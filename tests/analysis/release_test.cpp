// A whole analysis run in-process, then releasing everything: no block may stay live.
#include <gtest/gtest.h>

#include <string>

#include "analysis/driver.h"
#include "exec/interpreter.h"
#include "lang/compiler.h"
#include "lang/linesource.h"
#include "lang/options.h"
#include "support/allocator.h"
#include "support/listing.h"
#include "testutil.h"

namespace {

void quiet(const char*) {}

// Compiles and analyses text as the program folder/name.mxl; returns the stop code,
// or 99 when the compile failed.
int analyse(const std::string& folder, const std::string& text)
{
    driverRelease();
    compilerReleaseAll();
    settingsReset();
    listingClear();
    programPath = folder + "/prog.mxl";
    listingOpenFile((folder + "/prog.lst").c_str());
    TextLines lines;
    const LineSource source = lineSourceFromText(lines, text.c_str(), text.size());
    if (!compileProgram(&source)) {
        listingCloseFile();
        return 99;
    }
    driverStart();
    driverWait();
    analysisRunning.store(false);
    listingCloseFile();
    return analysis.stopCode;
}

void releaseAll()
{
    driverRelease();
    compilerReleaseAll();
    listingClear();
}

TEST(Release, NothingLiveAfterRuns)
{
    listingSetSink(quiet);
    const long before = memLiveBlockCount();
    const std::string folder = testTempDir();
    const char* const programs[] = {
        "VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a * exp(b * x);\n"
        "CONFIDENCE 90;\nCOVARIANCE;\nCORRELATE x, y;\nOUTPUT x, $PREDICTED, $RESIDUAL;\n"
        "POUTPUT \"p\";\nDATA;\n0 1.1\n1 2.6\n2 7.5\n3 19.8\n4 55.1\n",
        "VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a * exp(b * x);\n"
        "SWEEP a = 1, 3, 1;\nCONSTRAIN b = 0, 2;\nDATA;\n0 1.1\n1 2.6\n2 7.5\n3 19.8\n4 55.1\n",
        "PARAMETERS x1 = -1.2, x2 = 1;\nFUNCTION 100 * (x2 - x1 * x1) ^ 2 + (1 - x1) ^ 2;\n",
    };
    for (const char* program : programs) {
        const int code = analyse(folder, program);
        EXPECT_TRUE(code >= 1 && code <= 6) << code << "\n" << program;
        releaseAll();
        EXPECT_EQ(memLiveBlockCount(), before) << program;
        for (const std::string& group : memFormatGroups())
            ADD_FAILURE() << "live: " << group;
    }
    listingSetSink(nullptr);
}

}  // namespace
