// Batch preview end to end: moxel -run PROGRAM.mxl -preview evaluates the model at the
// start values only. It reports what it could compute, exits 0 only when it could compute
// every observation, and never writes the listing, OUTPUT or POUTPUT files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

namespace fs = std::filesystem;

struct PreviewCase {
    const char* name;                   // test name
    const char* program;                // whole program, data inline
    int status;                         // exit status
    std::vector<std::string> lines;     // lines standard output must hold, in order
};

const PreviewCase previews[] = {
    {"DecayAtItsStart",
     "VARIABLES t, y;\nPARAMETERS a = 100, k = 0.1, b = 0;\nFUNCTION y = a * exp(-k * t) + b;\n"
     "DATA;\n0 127.69\n2 97.51\n4 73.59\n6 56.41\n",
     0,
     {"Preview at the starting values (no fit)", "Starting sum of squared deviations =  1.0565942E+03",
      "Model computed at 4 of 4 observations"}},
    {"LogOfNegativeAtTwoObservations",
     "VARIABLES x, y;\nPARAMETERS a = 1, b = 2;\nFUNCTION y = a + log(x - b);\n"
     "DATA;\n1 1\n2 1.7\n3 2.1\n4 2.4\n",
     1,
     {"Model computed at 2 of 4 observations", "The sum covers only the 2 observations the model could compute.",
      "Observation 1, line 3: Attempt to take log of zero or negative: -1",
      "Observation 2, line 3: Attempt to take log of zero or negative: 0"}},
    {"OnlyTheFirstTenFailuresAreNamed",
     "VARIABLES x, y;\nPARAMETERS a = -1;\nFUNCTION y = sqrt(a * x);\n"
     "DATA;\n1 1\n2 1\n3 1\n4 1\n5 1\n6 1\n7 1\n8 1\n9 1\n10 1\n11 1\n12 1\n",
     1,
     {"Model computed at 0 of 12 observations", "Observation 10, line 3: Attempt to take square root",
      "... and 2 more observations"}},
    // The minus applies to the base: the preview says so, and how to write what was meant.
    {"NegatedBaseOfAPower",
     "VARIABLES t, y;\nPARAMETERS a = 5, tau = 2, beta = 0.8;\nFUNCTION y = a * exp(-(t / tau) ^ beta);\n"
     "DATA;\n1 3.4\n2 2.3\n3 1.6\n",
     1,
     {"Model computed at 0 of 3 observations", "Observation 1, line 3: Raising negative value (-0.5) to power (0.8)",
      "Line 3 negates the base of a power: -a^b means (-a)^b, the minus applies first.",
      "For the negative of a power write -(a^b)."}},
    {"MinimisationShowsItsValue",
     "PARAMETERS x1 = -1.2, x2 = 1;\nFUNCTION 100 * (x2 - x1 ^ 2) ^ 2 + (1 - x1) ^ 2;\n",
     0,
     {"Starting function value =  2.4200000E+01", "Model computed at"}},
    {"ProgramThatDoesNotCompile",
     "VARIABLES x, y;\nPARAMETERS a = 1;\nFUNCTION y = a * ;\nDATA;\n1 1\n",
     1,
     {"Error:"}},
};

class Preview : public ::testing::TestWithParam<PreviewCase> {};

TEST_P(Preview, ReportsTheStartAndWritesNoFiles)
{
    const PreviewCase& c = GetParam();
    const MoxelRun run = runMoxel(c.program, "preview", "", {"-preview"});
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    size_t from = 0;
    for (const std::string& line : c.lines) {
        const size_t at = run.out.find(line, from);
        EXPECT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << run.out;
        if (at != std::string::npos)
            from = at + line.size();
    }
    EXPECT_FALSE(fs::exists(run.folder + "/preview.lst"));
    EXPECT_EQ(run.out.find("Beginning computation"), std::string::npos) << "no fit runs";
}

INSTANTIATE_TEST_SUITE_P(Batch, Preview, ::testing::ValuesIn(previews),
                         [](const ::testing::TestParamInfo<PreviewCase>& info) { return info.param.name; });

// The output files and the fitted plots of an earlier run stay as they were; the preview's
// plots take their own names.
TEST(PreviewFiles, KeepsEarlierResultsAndNamesItsPlotsApart)
{
    const char program[] =
        "VARIABLES t, y;\nPARAMETERS a = 100, k = 0.1;\nFUNCTION y = a * exp(-k * t);\nPLOT RESIDUAL;\n"
        "OUTPUT \"values\" t, y;\nPOUTPUT \"estimates\";\nDATA;\n0 127.69\n2 97.51\n4 73.59\n6 56.41\n";
    const MoxelRun fit = runMoxel(program, "fit", "", {"-plots"});
    ASSERT_EQ(fit.status, 0) << fit.out << fit.err;
    const std::vector<std::string> files = {"fit.lst", "values.out", "estimates.par", "fit_plot1.jpg"};
    std::vector<std::string> before;
    for (const std::string& f : files) {
        ASSERT_TRUE(fs::exists(fit.folder + "/" + f)) << f;
        before.push_back(readTextFile(fit.folder + "/" + f));
    }
    const MoxelRun preview = runMoxel(program, "fit", fit.folder, {"-preview", "-plots"});
    EXPECT_EQ(preview.status, 0) << preview.out << preview.err;
    for (size_t k = 0; k < files.size(); ++k)
        EXPECT_EQ(readTextFile(fit.folder + "/" + files[k]), before[k]) << files[k];
    EXPECT_TRUE(fs::exists(fit.folder + "/fit_preview1.jpg"));
    EXPECT_NE(preview.out.find("fit_preview1.jpg"), std::string::npos) << preview.out;
}

}  // namespace
