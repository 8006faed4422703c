// Peak fits end to end: three Lorentzian peaks on a sloping baseline, 2000 points
// (tests/data/peaks, made by peaks.py there), fitted through build/moxel -run from good
// and bad starts. A SWEEP keeps the statistics of its final fit, and the Diagnosis gives
// the advice a spectroscopist can act on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "testutil.h"

namespace {

const char PEAKS_MODEL[] =
    "FUNCTION y = b0 + b1 * x + A1 / (1 + ((x - c1) / w1) ^ 2) + A2 / (1 + ((x - c2) / w2) ^ 2)\n"
    "             + A3 / (1 + ((x - c3) / w3) ^ 2);\n";

// The peak program with the given PARAMETERS list and statements before DATA.
std::string peaksProgram(const std::string& parameters, const std::string& statements)
{
    return "VARIABLES x, y;\nPARAMETERS " + parameters + ";\n" + PEAKS_MODEL + statements + "DATA \"" +
           sourceDir() + "/tests/data/peaks/peaks.dat\";\n";
}

// From this start the fit needs 12 iterations with c2 = 38, 11 with c2 = 40 and 9 with
// c2 = 42.
const char SWEEP_START[] = "b0 = 1, b1 = 0, A1 = 5, c1 = 27, w1 = 1, A2 = 5, c2 = 40, w2 = 1, A3 = 5, c3 = 58, w3 = 1";

// The final solve of a SWEEP starts from the best grid point and asks for its own
// covariance, whatever became of the other points: a grid point stopped by ITERATIONS
// must not cost the final fit its standard errors.
TEST(PeakSweep, FinalFitKeepsItsStatistics)
{
    for (const char* grid : {"38, 40, 2", "40, 42, 2"}) {
        SCOPED_TRACE(grid);
        const MoxelRun run =
            runMoxel(peaksProgram(SWEEP_START, std::string("ITERATIONS 11;\nSWEEP c2 = ") + grid + ";\n"));
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_NE(run.listing.find("Final sum of squared deviations =  1.8898143E+01"), std::string::npos);
        const size_t row = run.listing.find("\n        c2             40        40.00483");
        ASSERT_NE(row, std::string::npos) << run.listing;
        const std::vector<std::string> words = splitWords(run.listing.substr(row + 1, run.listing.find('\n', row + 1) - row - 1));
        ASSERT_EQ(words.size(), 6u) << "estimate, standard error, t and Prob(t)";
        EXPECT_NEAR(std::atof(words[3].c_str()), 0.00718386, 1e-7);
    }
}

// On a terminal the batch progress line counts the grid points as "k of N" (a grid long
// enough to outlast the first redraw).
TEST(PeakSweep, BatchProgressGivesTheGridSize)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/sweep.mxl", peaksProgram(SWEEP_START, "SWEEP c2 = 20, 60, 0.5;\n"));
    const std::string command = "cd '" + folder + "' && XDG_CONFIG_HOME='" + folder +
                                "/config' script -qec \"'" MOXEL_BINARY "' -run sweep.mxl\" /dev/null >terminal.txt 2>&1";
    const int raw = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 0);
    const std::string shown = readTextFile(folder + "/terminal.txt");
    // Under load the first line may show a later point.
    EXPECT_NE(shown.find("Sweep step: "), std::string::npos) << shown;
    EXPECT_NE(shown.find(" of 81  Iteration: "), std::string::npos) << shown;
}

}  // namespace
