// Peak fits end to end: three Lorentzian peaks on a sloping baseline, 2000 points
// (tests/data/peaks, made by peaks.py there), fitted through build/moxel -run from good
// and bad starts. A SWEEP keeps the statistics of its final fit, and the Diagnosis gives
// the advice a spectroscopist can act on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
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

// The Diagnosis section of a listing, empty when there is none.
std::string diagnosisOf(const std::string& listing)
{
    const size_t at = listing.find("----  Diagnosis  ----");
    return at == std::string::npos ? std::string() : listing.substr(at);
}

// Bad starts of the peak fit, each with what the Diagnosis must and must not say.
struct PeakCase {
    const char* name;
    const char* parameters;     // PARAMETERS list
    const char* statements;     // before DATA
    int status;                 // exit status
    std::vector<std::string> said;
    std::vector<std::string> unsaid;
};

const PeakCase peakCases[] = {
    // Stopped at the limit while two peaks slide into one another: more iterations lead
    // nowhere better.
    {"Wandering",
     "b0 = 1, b1 = 0, A1 = 1.609, c1 = 55.169, w1 = 5.908, A2 = 9.305, c2 = 39.680, w2 = 1.437, A3 = 8.031, "
     "c3 = 69.104, w3 = 4.738",
     "ITERATIONS 200;\n", 3,
     {"The fit stopped at the iteration limit (200 iterations) while it wandered:",
      "ITERATIONS will probably not help: try other start values, and look at the start with\n-preview."},
     {"probably close", "raise ITERATIONS"}},
    // Stopped at the limit on the way in: the sum of squares falls fast and evenly.
    {"OnItsWay", SWEEP_START, "ITERATIONS 9;\n", 3,
     {"The fit stopped at the iteration limit (9 iterations) while the sum of squares was still\nfalling by "},
     {"wandered"}},
    // Two peaks collapsed onto one (A2 = -A3, c2 = c3): keep both, start them apart.
    {"CollapsedPeaks",
     "b0 = 1, b1 = 0, A1 = 4.104, c1 = 41.894, w1 = 3.227, A2 = 4.263, c2 = 31.543, w2 = 1.703, A3 = 7.434, "
     "c3 = 34.489, w3 = 0.618",
     "", 3,
     {"A2 and A3 are not determined separately by the data: only about A2 + A3 is.",
      "A2 and A3 belong to terms of the model that have become\nalike (c2 = 34.79 and c3 = 34.79)",
      "example c2 = 29.71 and c3 = 36.32, and look at the start with -preview."},
     {}},
    // A local minimum with two peaks in one place: a proper convergence, so the exit
    // status stays 0, but the residuals run in long waves.
    {"LocalMinimum",
     "b0 = 1, b1 = 0, A1 = 2.881, c1 = 62.372, w1 = 4.701, A2 = 4.571, c2 = 44.772, w2 = 2.972, A3 = 10.122, "
     "c3 = 59.436, w3 = 1.016",
     "", 0,
     {"The residuals fall in long runs of one sign (465 runs where random scatter gives about\n1000): the model "
      "misses systematic structure in the data"},
     {}},
    // The best fit has nothing to diagnose.
    {"BestFit", SWEEP_START, "", 0, {}, {"Diagnosis"}},
};

class PeakDiagnosis : public ::testing::TestWithParam<PeakCase> {};

TEST_P(PeakDiagnosis, GivesAdviceThatFitsTheFailure)
{
    const PeakCase& c = GetParam();
    const MoxelRun run = runMoxel(peaksProgram(c.parameters, c.statements));
    EXPECT_EQ(run.status, c.status) << run.listing;
    const std::string diagnosis = diagnosisOf(run.listing);
    for (const std::string& text : c.said)
        EXPECT_NE(diagnosis.find(text), std::string::npos) << text << "\n" << diagnosis;
    for (const std::string& text : c.unsaid)
        EXPECT_EQ((text == "Diagnosis" ? run.listing : diagnosis).find(text), std::string::npos) << diagnosis;
}

INSTANTIATE_TEST_SUITE_P(Peaks, PeakDiagnosis, ::testing::ValuesIn(peakCases),
                         [](const ::testing::TestParamInfo<PeakCase>& info) { return std::string(info.param.name); });

// The runs test stays quiet on every example that converges: their residuals scatter,
// or run in waves no longer than chance allows.
TEST(LongRuns, QuietOnTheExamples)
{
    const std::string folder = testTempDir();
    std::vector<std::string> programs;
    for (const auto& entry : std::filesystem::directory_iterator(sourceDir() + "/examples")) {
        std::filesystem::copy(entry.path(), folder + "/" + entry.path().filename().string());
        if (entry.path().extension() == ".mxl")
            programs.push_back(entry.path().stem().string());
    }
    ASSERT_GE(programs.size(), 10u);
    for (const std::string& name : programs) {
        const MoxelRun run = runMoxel(readTextFile(folder + "/" + name + ".mxl"), name, folder);
        EXPECT_EQ(run.listing.find("long runs of one sign"), std::string::npos) << name;
    }
}

}  // namespace
