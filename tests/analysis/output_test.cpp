// Column formats of the OUTPUT table and the lines of the POUTPUT file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "analysis/output.h"
#include "testutil.h"

namespace {

std::string formatFor(const std::vector<double>& values)
{
    char format[COLUMN_FORMAT_SIZE];
    outputColumnFormat(values.data(), (int)values.size(), format);
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

// The OUTPUT file's own number formatting gives the characters of snprintf with the
// column's format, at rounding ties, signs of zero, both ends of each format's range and
// values that are not finite.
TEST(FormatColumnValue, SameTextAsPrintf)
{
    const char* formats[] = {"%5.2lf", "%9.0lf", "%12.5lE", "%13.5lE", "%1.0lf", "%3.1lf", "%8.6lf",
                             "%9.2lf", "%10.0lf", "%7.3lf"};
    const double values[] = {0.0, -0.0, 1.0, -1.0, 0.5, 1.5, 2.5, -2.5, 0.125, 0.375, 1.005, 2.675,
                             0.045, -0.0049, 123456789.5, 999999999.5, 1e9, 1e10, -1e-7, 3e-7,
                             1.0 / 3, 2.0 / 3, 9.9999995, 0.00000049999, 1e-300, 5e-324, 1.7976931348623157e308,
                             -1.7976931348623157e308, std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(), std::nan(""), -std::nan("")};
    for (const char* format : formats)
        for (double value : values) {
            char expected[400];
            char got[400];
            const int length = snprintf(expected, sizeof expected, format, value);
            EXPECT_EQ(outputFormatValue(got, format, value), length) << format << " " << value;
            EXPECT_STREQ(got, expected) << format;
        }
    // Many more values of every magnitude the fixed and exponent forms take.
    unsigned long long state = 88172645463325252ull;
    for (int k = 0; k < 20000; ++k) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        const double mantissa = (double)(state >> 11) / 9007199254740992.0 - 0.5;
        const double value = std::ldexp(mantissa, (int)(state % 80) - 40);
        const char* format = formats[k % (sizeof formats / sizeof formats[0])];
        char expected[400];
        char got[400];
        snprintf(expected, sizeof expected, format, value);
        outputFormatValue(got, format, value);
        ASSERT_STREQ(got, expected) << format << " " << value;
    }
}

TEST(ParameterFile, LinesAreLeftAlignedWithEighteenDigits)
{
    const std::string path = testTempDir() + "/p.par";
    FILE* file = fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    outputParameterLine(file, 2.0);
    outputParameterLine(file, -0.1);
    outputParameterLine(file, 1.5e-30);
    fclose(file);
    EXPECT_EQ(readTextFile(path), "2\n-0.100000000000000006\n1.49999999999999995E-30\n");
}

// OUTPUT and POUTPUT names that would replace the program, its data file or the listing
// being written are refused before the run, each naming both uses; those files stay as
// they were.
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
    EXPECT_NE(run.listing.find("Error: The program and OUTPUT name one file: " + folder + "/run.mxl."),
              std::string::npos) << run.listing;
    EXPECT_NE(run.listing.find("Error: The data file and POUTPUT name one file: " + folder + "/points.dat."),
              std::string::npos);
    EXPECT_EQ(run.listing.find("Final Results"), std::string::npos);
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

// Numbers of each line of a text.
std::vector<std::vector<double>> numberRows(const std::string& text)
{
    std::vector<std::vector<double>> rows;
    for (const std::string& line : splitLines(text)) {
        std::istringstream in(line);
        std::vector<double> row;
        double value = 0;
        while (in >> value)
            row.push_back(value);
        if (!row.empty())
            rows.push_back(row);
    }
    return rows;
}

// OUTPUT and CORRELATE of variables the program computes take their values from the run
// over the observations at the final parameters, in observation order: a running sum
// (which keeps the program off the block form) and a product (which does not).
TEST(OutputFiles, ComputedVariablesFollowTheObservations)
{
    const std::vector<double> x = {1, 2, 3, 4, 5, 6};
    const std::vector<double> y = {2.1, 3.9, 6.2, 7.8, 10.1, 12.2};
    std::string data = "DATA;\n";
    for (size_t i = 0; i < x.size(); ++i)
        data += std::to_string(x[i]) + " " + std::to_string(y[i]) + "\n";
    const struct {
        const char* statements;     // defines v
        bool runningSum;            // v is the sum of y so far, else x * y
    } cases[] = {
        {"DOUBLE v;\nv = v + y;\n", true},
        {"DOUBLE v;\nv = x * y;\n", false},
    };
    for (const auto& c : cases) {
        const std::string program = std::string("VARIABLES x, y;\nPARAMETERS a = 1, b = 0;\n") + c.statements +
                                    "FUNCTION y = a * x + b;\nOUTPUT \"cols\" $OBS, v, x, $RESIDUAL;\n"
                                    "CORRELATE x, v;\n" + data;
        const MoxelRun run = runMoxel(program);
        ASSERT_EQ(run.status, 0) << run.listing;
        const std::vector<std::vector<double>> rows = numberRows(readTextFile(run.folder + "/cols.out"));
        ASSERT_EQ(rows.size(), x.size()) << c.statements;
        std::vector<double> v;
        double sum = 0;
        for (size_t i = 0; i < x.size(); ++i) {
            sum += y[i];
            v.push_back(c.runningSum ? sum : x[i] * y[i]);
            ASSERT_EQ(rows[i].size(), 4u);
            EXPECT_EQ(rows[i][0], (double)(i + 1));
            EXPECT_NEAR(rows[i][1], v[i], 1e-5) << c.statements << " row " << i;
            EXPECT_EQ(rows[i][2], x[i]);
        }
        // The listing's correlation of x and v, against the textbook formula.
        double mx = 0, mv = 0;
        for (size_t i = 0; i < x.size(); ++i) {
            mx += x[i] / x.size();
            mv += v[i] / v.size();
        }
        double sxv = 0, sxx = 0, svv = 0;
        for (size_t i = 0; i < x.size(); ++i) {
            sxv += (x[i] - mx) * (v[i] - mv);
            sxx += (x[i] - mx) * (x[i] - mx);
            svv += (v[i] - mv) * (v[i] - mv);
        }
        const size_t at = run.listing.find("Correlation Matrix");
        ASSERT_NE(at, std::string::npos);
        const size_t row = run.listing.find("\n         x:", at);
        ASSERT_NE(row, std::string::npos);
        double self = 0, r = 0;
        ASSERT_EQ(std::sscanf(run.listing.c_str() + row, " x: %lf %lf", &self, &r), 2);
        EXPECT_EQ(self, 1.0);
        EXPECT_NEAR(r, sxv / std::sqrt(sxx * svv), 0.0005) << c.statements;
    }
}

// A runtime error of the program at the final parameters is reported by the final pass
// and not once more for each OUTPUT column or CORRELATE pair.
TEST(OutputFiles, RuntimeErrorsAreReportedOnce)
{
    const std::string head = "VARIABLES x, y;\nPARAMETERS a = 1, b = 0.1;\nDOUBLE q;\nq = log(x - 2);\n"
                             "FUNCTION y = a * exp(b * x);\n";
    const std::string data = "DATA;\n0 1.1\n1 2.6\n2 7.5\n3 19.8\n4 55.1\n";
    const auto count = [](const std::string& text) {
        int found = 0;
        for (size_t at = text.find("Error executing line 4"); at != std::string::npos;
             at = text.find("Error executing line 4", at + 1))
            ++found;
        return found;
    };
    const MoxelRun plain = runMoxel(head + data);
    const MoxelRun asked = runMoxel(head + "OUTPUT \"q\" $OBS, q, y;\nOUTPUT x, q;\nCORRELATE x, q, y;\n" + data);
    EXPECT_GT(count(plain.listing), 0);
    EXPECT_EQ(count(asked.listing), count(plain.listing)) << asked.listing;
    const std::vector<std::vector<double>> rows = numberRows(readTextFile(asked.folder + "/q.out"));
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_NEAR(rows[4][1], std::log(2.0), 1e-6);
}

}  // namespace
