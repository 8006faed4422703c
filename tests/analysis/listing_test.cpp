// The Final Results section end to end, through build/moxel -run: golden text for
// regression, function minimisation, constrained, swept, aborted, failed and
// iteration-limited runs, in the listing file and on standard output.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <regex>
#include <string>
#include <sys/wait.h>

#include "testutil.h"

namespace {

// The Final Results section of a listing, with the completion stamp's clock and
// runtime replaced so the text can be compared.
std::string finalResults(const std::string& listing)
{
    const size_t at = listing.find("\n\n   ----  Final Results  ----");
    if (at == std::string::npos)
        return "";
    const std::regex stamp("Analysis completed [ 0-9]{2}-[A-Z][a-z]{2}-[0-9]{4} [0-9]{2}:[0-9]{2}\\.  "
                           "Runtime = [0-9]+\\.[0-9]{2} seconds\\.");
    return std::regex_replace(listing.substr(at), stamp, "Analysis completed STAMP.  Runtime = T seconds.");
}

bool stampIsWellFormed(const std::string& listing)
{
    const std::regex stamp("\nAnalysis completed [ 1-3][0-9]-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-"
                           "20[0-9]{2} [0-2][0-9]:[0-5][0-9]\\.  Runtime = [0-9]+\\.[0-9]{2} seconds\\.\n");
    return std::regex_search(listing, stamp);
}

// Standard output, from the heading on, with the same stamp replacement.
std::string screenResults(const std::string& out)
{
    const size_t at = out.find("   ----  Final Results  ----");
    if (at == std::string::npos)
        return "";
    const std::regex stamp("Analysis completed .*seconds\\.");
    return std::regex_replace(out.substr(at), stamp, "Analysis completed STAMP.  Runtime = T seconds.");
}

const char* const decayProgram =
    "TITLE \"Decay\";\n"
    "VARIABLES t, y;\n"
    "PARAMETERS a = 10, k = 0.1;\n"
    "FUNCTION y = a * exp(-k * t);\n"
    "CONFIDENCE 95;\n"
    "COVARIANCE;\n"
    "CORRELATE t, y;\n"
    "DATA;\n"
    "0 10.1\n1 8.9\n2 8.2\n3 7.4\n4 6.7\n5 6.1\n6 5.4\n7 5.0\n";

TEST(FinalResults, RegressionGolden)
{
    const MoxelRun run = runMoxel(decayProgram);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(stampIsWellFormed(run.listing));
    EXPECT_EQ(finalResults(run.listing), GOLDEN_REGRESSION);
    EXPECT_EQ(screenResults(run.out), GOLDEN_REGRESSION_SCREEN);
}

}  // namespace
