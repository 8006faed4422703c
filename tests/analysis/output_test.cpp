// Column formats of the OUTPUT table and the lines of the POUTPUT file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "analysis/output.h"
#include "testutil.h"

namespace {

std::string formatFor(const std::vector<double>& values)
{
    char format[COLUMN_FORMAT_SIZE];
    chooseColumnFormat(values.data(), (int)values.size(), format);
    return format;
}

TEST(ChooseColumnFormat, Table)
{
    std::vector<double> counting;
    for (int i = 1; i <= 100; ++i)
        counting.push_back(i);
    const struct {
        std::vector<double> values;
        const char* format;
    } cases[] = {
        {{1, 2.5, -3.25}, "%5.2lf"},
        {{12345678.125}, "%9.0lf"},
        {{1e10}, "%12.5lE"},
        {{3e-7}, "%12.5lE"},
        {{3e-7, -1}, "%9.6lf"},          // the largest magnitude decides
        {{-3e-7}, "%13.5lE"},
        {{0, 0, 0}, "%1.0lf"},
        {counting, "%3.0lf"},
        {{0.1}, "%3.1lf"},
        {{1.0 / 3}, "%8.6lf"},           // at most six decimals
        {{-12345.678901}, "%9.2lf"},     // width 5 + sign + point leaves 2 decimals
        {{999999999.5}, "%10.0lf"},    // the width itself may exceed the limit
        {{}, "%1.0lf"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatFor(c.values), c.format) << c.format;
}

TEST(ParameterFile, LinesAreLeftAlignedWithEighteenDigits)
{
    const std::string path = testTempDir() + "/p.par";
    FILE* file = fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    writeParameterLine(file, 2.0);
    writeParameterLine(file, -0.1);
    writeParameterLine(file, 1.5e-30);
    fclose(file);
    EXPECT_EQ(readTextFile(path), "2\n-0.100000000000000006\n1.49999999999999995E-30\n");
}

// OUTPUT and POUTPUT names that would replace the program, its data file or the listing
// being written are refused with the usual message; those files stay as they were.
TEST(OutputFiles, NeverReplaceTheRunsOwnFiles)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/points.dat", "1 2\n2 4.1\n3 5.9\n");
    const std::string program = "VARIABLES x, y;\nPARAMETERS a = 1;\nFUNCTION y = a * x;\n"
                                "OUTPUT TO \"run.mxl\" x, y;\nPOUTPUT \"points.dat\";\n"
                                "DATA \"points\";\n";
    const MoxelRun run = runMoxel(program, "run", folder);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(readTextFile(folder + "/run.mxl"), program);
    EXPECT_EQ(readTextFile(folder + "/points.dat"), "1 2\n2 4.1\n3 5.9\n");
    EXPECT_NE(run.listing.find("Error: unable to open output file: " + folder + "/run.mxl (it is a file this run reads or writes)\n"),
              std::string::npos);
    EXPECT_NE(run.listing.find("Error: unable to open parameter output file: " + folder +
                               "/points.dat (it is a file this run reads or writes)\n"), std::string::npos);
    EXPECT_NE(run.listing.find("Final Results"), std::string::npos);
}

TEST(OutputFiles, WriteFailureIsReported)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no full device to write to";
    // Both files lead to a device that is always full: every write fails.
    const std::string folder = testTempDir();
    ASSERT_EQ(symlink("/dev/full", (folder + "/full.out").c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", (folder + "/full.par").c_str()), 0);
    const MoxelRun run = runMoxel("VARIABLES x, y;\nPARAMETERS a = 1;\nFUNCTION y = a * x;\n"
                                  "OUTPUT \"full\" x, y;\nPOUTPUT \"full\";\nDATA;\n1 2\n2 4.1\n3 5.9\n",
                                  "prog", folder);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.listing.find("Error: unable to write output file: " + folder + "/full.out (No space left on device)\n"),
              std::string::npos) << run.listing;
    EXPECT_NE(run.listing.find("Error: unable to write parameter output file: " + folder + "/full.par (No space left on device)\n"),
              std::string::npos);
}

}  // namespace
