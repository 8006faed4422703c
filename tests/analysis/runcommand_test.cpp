// The Run sequence shared by batch mode and the window: listing names, a listing that
// cannot be created, and a whole run in-process from start to the listing in place.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "analysis/driver.h"
#include "analysis/runcommand.h"
#include "exec/interpreter.h"
#include "lang/linesource.h"
#include "support/listing.h"
#include "testutil.h"

namespace {

void quiet(const char*) {}

std::string lastScreenLine()
{
    std::string last;
    for (ListingLine* line = listingHead(); line; line = line->next)
        last = line->text;
    return last;
}

class RunCommand : public ::testing::Test {
protected:
    TextLines lines;
    LineSource source = {0, nullptr, nullptr};

    void SetUp() override { listingSetSink(quiet); }
    void TearDown() override
    {
        runCommandRelease();
        listingSetSink(nullptr);
    }
    const LineSource* program(const char* text)
    {
        source = lineSourceFromText(lines, text, strlen(text));
        return &source;
    }
};

TEST_F(RunCommand, ListingNames)
{
    char folder[4096];
    ASSERT_TRUE(getcwd(folder, sizeof folder));
    const struct {
        const char* program;
        std::string listing;
    } cases[] = {
        {"fit.mxl", "fit.lst"},
        {"/a/b/fit.mxl.mxl", "/a/b/fit.mxl.lst"},
        {"v1.2/model", "v1.2/model.lst"},
        {"", std::string(folder) + "/Untitled.lst"},   // untitled: the current folder, by full name
    };
    for (const auto& c : cases)
        EXPECT_EQ(runCommandListingPath(c.program), c.listing) << c.program;
}

TEST_F(RunCommand, RequiredListingThatCannotBeCreatedStopsBeforeTheCompile)
{
    const std::string missing = testTempDir() + "/no/such/folder/fit.mxl";
    const RunStart start = runCommandStart(missing, program("PARAMETERS a;\nFUNCTION a*a;\n"), true);
    EXPECT_EQ(start.status, RUN_NO_LISTING);
    EXPECT_EQ(start.listingMessage,
              "Unable to create listing file: " + runCommandListingPath(missing) + " (No such file or directory)");
    EXPECT_EQ(listingCount(), 0) << "nothing was compiled";
    EXPECT_FALSE(analysisRunning.load());

    // Batch mode goes on without the listing.
    const RunStart batch = runCommandStart(missing, program("PARAMETERS a;\nFUNCTION a*a;\n"), false);
    ASSERT_EQ(batch.status, RUN_STARTED);
    driverWait();
    analysisRunning.store(false);
    EXPECT_FALSE(runCommandFinish().listingLost);
}

TEST_F(RunCommand, CompileFailureAndFewObservationsDoNotStart)
{
    const std::string path = testTempDir() + "/fit.mxl";
    EXPECT_EQ(runCommandStart(path, program("PARAMETERS a;\nFUNCTION a*;\n"), true).status, RUN_NOT_COMPILED);
    EXPECT_EQ(runCommandStart(path, program("VARIABLES x, y;\nPARAMETERS a, b, c;\nFUNCTION y = a + b*x + c*x*x;\n"
                                            "DATA;\n1 2\n2 3\n"), true).status, RUN_NOT_COMPILED);
    EXPECT_EQ(lastScreenLine(), "Error: Fewer data observations than parameters");
    EXPECT_FALSE(analysisRunning.load());
    runCommandFinish();
}

TEST_F(RunCommand, WholeRunPutsTheListingInPlace)
{
    const std::string folder = testTempDir();
    const RunStart start = runCommandStart(folder + "/fit.mxl",
                                           program("VARIABLES x, y;\nPARAMETERS a = 1;\nFUNCTION y = a * x;\n"
                                                   "DATA;\n1 2.1\n2 3.9\n3 6.2\n"), true);
    ASSERT_EQ(start.status, RUN_STARTED);
    EXPECT_EQ(start.listingPath, folder + "/fit.lst");
    driverWait();
    analysisRunning.store(false);
    struct stat info;
    EXPECT_NE(stat((folder + "/fit.lst").c_str(), &info), 0) << "written under a temporary name until the end";
    const RunEnd end = runCommandFinish();
    EXPECT_FALSE(end.listingLost);
    EXPECT_EQ(end.listingMessage, "");
    const std::string listing = readTextFile(folder + "/fit.lst");
    EXPECT_EQ(listing.rfind("   1: VARIABLES x, y;\n", 0), 0u);
    EXPECT_NE(listing.find("   ----  Final Results  ----"), std::string::npos);
}

// The random numbers restart with each Run, on whichever thread draws them: the worker's
// fit and an evaluation on the calling thread afterwards (as the plots make) give a
// second Run the numbers of the first.
TEST_F(RunCommand, SecondRunDrawsTheSameRandomNumbers)
{
    const std::string folder = testTempDir();
    const char* text = "VARIABLES x, y;\nPARAMETERS a = 1;\nDOUBLE r;\nr = RANDOM();\n"
                       "FUNCTION y = a * x + r;\nDATA;\n1 2.1\n2 3.9\n3 6.2\n";
    double drawn[2] = {0.0, 0.0};
    std::string results[2];
    for (int run = 0; run < 2; run++) {
        const RunStart start = runCommandStart(folder + "/random.mxl", program(text), true);
        ASSERT_EQ(start.status, RUN_STARTED);
        driverWait();
        analysisRunning.store(false);
        ASSERT_FALSE(runCommandFinish().listingLost);
        RunFrame frame{};
        runFrameFit(&frame);
        runReset(&frame);
        double predicted = 0.0;
        ASSERT_TRUE(runObservation(&frame, 0, nullptr, &predicted, nullptr));
        runFrameRelease(&frame);
        drawn[run] = predicted;
        const std::string listing = readTextFile(folder + "/random.lst");
        results[run] = listing.substr(listing.find("   ----  Final Results  ----"));
        results[run] = results[run].substr(0, results[run].find("Analysis completed"));
        runCommandRelease();
    }
    EXPECT_EQ(drawn[0], drawn[1]);
    EXPECT_EQ(results[0], results[1]);
}

}  // namespace
