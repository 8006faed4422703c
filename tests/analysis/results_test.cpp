// End-to-end checks of single lines of the Final Results and of the output files,
// through build/moxel -run: each row is a program and lines its listing must (or must
// not) contain.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

struct ResultsCase {
    const char* name;                       // test row
    const char* program;                    // program text
    int status;                             // expected exit status
    std::vector<std::string> present;       // listing file lines (or line pieces) expected
    std::vector<std::string> absent;        // texts the listing file must not hold
};

// Values near 1e8 that change in the units: the corrected total and the standard
// deviation must not lose their digits to cancellation. Reference values from R 4.2:
//   d <- read.table(...); sum((d$y - mean(d$y))^2); sd(d$y); cor(d$x, d$y)
// giving 26.38689581, 1.71227257, 0.9784383085; the constant column c has sd 0.
const char OFFSET_PROGRAM[] =
    "VARIABLES x, y, c;\nPARAMETERS a = 0, b = 1;\nFUNCTION y = 100000000 + a + b * x;\n"
    "CORRELATE x, y;\nDATA;\n"
    "0 99999999.6463 0.1\n1 100000000.1556 0.1\n2 100000001.2008 0.1\n3 100000000.8118 0.1\n"
    "4 100000001.9570 0.1\n5 100000001.8232 0.1\n6 100000003.3303 0.1\n7 100000003.5609 0.1\n"
    "8 100000004.4069 0.1\n9 100000004.3487 0.1\n";

// As many parameters as observations: no statistics, the narrow analysis of variance,
// and the confidence intervals refused.
const char SQUARE_PROGRAM[] =
    "VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a + b * x;\nCONFIDENCE 95;\n"
    "DATA;\n1 2.1\n2 3.9\n";

// One parameter (a = sum xy / sum x^2 = 1.99, s = sqrt(0.097 / 3 / 30)): statistics but
// no analysis of variance.
const char SLOPE_PROGRAM[] =
    "VARIABLES x, y;\nPARAMETERS a = 1;\nFUNCTION y = a * x;\nCONFIDENCE 90;\n"
    "DATA;\n1 2.1\n2 3.9\n3 6.2\n4 7.8\n";

// A single observation.
const char SINGLE_PROGRAM[] =
    "VARIABLES x, y;\nPARAMETERS a = 1;\nFUNCTION y = a * x;\nCONFIDENCE 95;\nDATA;\n2 4.2\n";

const ResultsCase cases[] = {
    {"ParametersEqualObservations", SQUARE_PROGRAM, 0,
     {"\n\n----  Analysis of Variance  ----\n\n  Source     DF   Sum of Squares\n"
      "----------  ----  --------------\nRegression     1            1.62\nError          0  ",
      "\nTotal          1            1.62\n\nUnable to compute confidence interval with this few observations.\n",
      "\n\n  ----  Calculated Parameter Values  ----\n\n Parameter  Initial guess   Final estimate \n"},
     {"Standard error of estimate", "Prob(t)", "Confidence Intervals  ----"}},
    {"OneParameter", SLOPE_PROGRAM, 0,
     {"\n         a              1              1.99      0.03282953      60.62  0.00001\n",
      "\n         a        1.91273989              1.99        2.06726011\n"},
     {"Analysis of Variance"}},
    {"OneObservation", SINGLE_PROGRAM, 0,
     {"\nNumber of observations = 1\n",
      "\n         a              1               2.1\n\nUnable to compute confidence interval with this few observations.\n"},
     {"Analysis of Variance", "Standard error of estimate", "Prob(t)"}},
    {"LargeOffsetKeepsItsDigits", OFFSET_PROGRAM, -1,
     {"\nTotal          9         26.3869\n",
      "\n         y           1E+08           1E+08           1E+08        1.712273\n",
      "\n         c             0.1             0.1             0.1               0\n",
      "\n         x:     1.000       0.978  \n"},
     {"NAN"}},
};

void PrintTo(const ResultsCase& c, std::ostream* os)
{
    *os << c.name;
}

class ResultsLines : public ::testing::TestWithParam<ResultsCase> {};

TEST_P(ResultsLines, ListingHoldsTheLines)
{
    const ResultsCase& c = GetParam();
    const MoxelRun run = runMoxel(c.program);
    if (c.status >= 0)
        EXPECT_EQ(run.status, c.status) << run.out << run.err;
    for (const std::string& text : c.present)
        EXPECT_NE(run.listing.find(text), std::string::npos) << "missing: " << text << "\n" << run.listing;
    for (const std::string& text : c.absent)
        EXPECT_EQ(run.listing.find(text), std::string::npos) << "unexpected: " << text << "\n" << run.listing;
}

INSTANTIATE_TEST_SUITE_P(Runs, ResultsLines, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<ResultsCase>& info) { return std::string(info.param.name); });

}  // namespace
