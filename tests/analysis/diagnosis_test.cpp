// The Diagnosis section end to end: small programs, each a mistake people make when they
// fit, run through build/moxel -run. Each must list its finding and exit with the status
// a script relies on; a program that fits cleanly lists no Diagnosis at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

const char DIAGNOSIS_HEADING[] = "----  Diagnosis  ----";

struct MistakeCase {
    const char* name;                   // test name
    int status;                         // exit status of the batch run
    const char* program;                // the whole program, data inline
    std::vector<std::string> findings;  // lines the Diagnosis section must hold, in order
};

const MistakeCase mistakes[] = {
    {"RedundantRates", 3,
     "VARIABLES t, y;\n"
     "PARAMETERS a = 10, k1 = 0.2, k2 = 0.1, b = 1;\n"
     "FUNCTION y = a * exp(-(k1 + k2) * t) + b;\n"
     "DATA;\n"
     "0 11.1\n"
     "1 8.3\n"
     "2 6.5\n"
     "3 5.0\n"
     "4 4.1\n"
     "5 3.2\n"
     "6 2.7\n"
     "7 2.4\n"
     "8 2.0\n",
     {"k1 and k2 are not determined separately by the data: only about k1 + k2 is."}},
    {"ProductOfParameters", 3,
     "VARIABLES x, y;\n"
     "PARAMETERS a = 1, b = 2;\n"
     "FUNCTION y = a * b * x;\n"
     "DATA;\n"
     "1 3.03\n"
     "2 5.98\n"
     "3 9.05\n"
     "4 11.96\n"
     "5 15.01\n"
     "6 17.97\n",
     {"a and b are not determined separately by the data: only about a * b is."}},
    {"RatioOfParameters", 3,
     "VARIABLES x, y;\n"
     "PARAMETERS a = 1, b = 2;\n"
     "FUNCTION y = (a / b) * x;\n"
     "DATA;\n"
     "1 3.03\n"
     "2 5.98\n"
     "3 9.05\n"
     "4 11.96\n"
     "5 15.01\n"
     "6 17.97\n",
     {"a and b are not determined separately by the data: only about a / b is."}},
    {"AllXEqual", 3,
     "VARIABLES x, y;\n"
     "PARAMETERS a = 1, b = 1;\n"
     "FUNCTION y = a + b * x;\n"
     "DATA;\n"
     "3 1\n"
     "3 2\n"
     "3 1.5\n"
     "3 1.7\n"
     "3 1.2\n",
     {"a and b are not determined separately by the data: only about a + 3 * b is.", "Deal with the findings above first, then fit again."}},
    {"TwoOffsets", 3,
     "VARIABLES x, y;\n"
     "PARAMETERS a = 1, b = 1, c = 1;\n"
     "FUNCTION y = a + b + c * x;\n"
     "DATA;\n"
     "1 5.03\n"
     "2 7.98\n"
     "3 11.05\n"
     "4 13.96\n"
     "5 17.01\n"
     "6 19.97\n",
     {"a and b are not determined separately by the data: only about a + b is."}},
    {"SameTermTwice", 3,
     "VARIABLES x, y;\n"
     "PARAMETERS a = 1, b = 1;\n"
     "FUNCTION y = a * x + b * 2 * x;\n"
     "DATA;\n"
     "1 3.03\n"
     "2 5.98\n"
     "3 9.05\n"
     "4 11.96\n"
     "5 15.01\n"
     "6 17.97\n",
     {"only about a + 2 * b is."}},
    {"ThreeInOneSum", 3,
     "VARIABLES x, y;\n"
     "PARAMETERS a = 1, b = 1, c = 1;\n"
     "FUNCTION y = (a + b + c) * x;\n"
     "DATA;\n"
     "1 3.03\n"
     "2 5.98\n"
     "3 9.05\n"
     "4 11.96\n"
     "5 15.01\n"
     "6 17.97\n",
     {"a, b and c are not determined separately by the data: only a combination of them is."}},
    {"AmplitudeAndShift", 3,
     "VARIABLES x, y;\n"
     "PARAMETERS a = 1, b = 0.5, k = 0.2;\n"
     "FUNCTION y = a * exp(b - k * x);\n"
     "DATA;\n"
     "1 3.7341\n"
     "2 2.7241\n"
     "3 2.0828\n"
     "4 1.466\n"
     "5 1.1257\n"
     "6 0.79649\n"
     "7 0.63228\n"
     "8 0.49359\n",
     {"a and b are not determined separately by the data"}},
    {"ParameterOnlyInWorkVariable", 3,
     "VARIABLES t, y;\n"
     "PARAMETERS a = 5, k = 0.2, c = 1;\n"
     "DOUBLE w;\n"
     "w = c * 2;\n"
     "FUNCTION y = a * exp(-k * t);\n"
     "DATA;\n"
     "0 10.03\n"
     "1 7.3882\n"
     "2 5.5381\n"
     "3 4.0257\n"
     "4 3.0219\n"
     "5 2.2013\n"
     "6 1.673\n"
     "7 1.2646\n"
     "8 0.85718\n"
     "9 0.67206\n"
     "10 0.52787\n",
     {"Parameter c does not change the predicted values: check that the FUNCTION uses it, or"}},
    {"ParameterInBranchNeverTaken", 3,
     "VARIABLES x, y;\n"
     "PARAMETERS a = 1, b = 1, c = 1;\n"
     "DOUBLE s;\n"
     "IF (x > 100) s = c; ELSE s = 0;\n"
     "FUNCTION y = a + b * x + s;\n"
     "DATA;\n"
     "1 5.03\n"
     "2 7.98\n"
     "3 11.05\n"
     "4 13.96\n"
     "5 17.01\n"
     "6 19.97\n",
     {"Parameter c does not change the predicted values"}},
    {"InputColumnAllZero", 3,
     "VARIABLES x, z, y;\n"
     "PARAMETERS a = 1, b = 1;\n"
     "FUNCTION y = a * x + b * z;\n"
     "DATA;\n"
     "1 0 2.98\n"
     "2 0 6.05\n"
     "3 0 8.96\n"
     "4 0 12.01\n"
     "5 0 14.97\n"
     "6 0 18.02\n"
     "7 0 21.04\n",
     {"Parameter b does not change the predicted values"}},
    {"RateRunsAwayOnFlatData", 3,
     "VARIABLES t, y;\n"
     "PARAMETERS a = 1, k = 1, b = 4;\n"
     "FUNCTION y = a * exp(-k * t) + b;\n"
     "DATA;\n"
     "0 6.03\n"
     "1 4.98\n"
     "2 5.05\n"
     "3 4.96\n"
     "4 5.01\n"
     "5 4.97\n"
     "6 5.02\n"
     "7 5.04\n"
     "8 4.95\n"
     "9 5\n"
     "10 5.03\n",
     {"k ran away to 3.36E+01 (from 1), where the model no longer depends on it: bound it with"}},
    // -(t/tau)^beta is (-t/tau)^beta: fine while beta is exactly 1, an error at 1 + h
    // when the Jacobian is formed. The exponent shows its digits, and the hint follows.
    {"NegatedBaseOfAPower", 3,
     "VARIABLES t, y;\n"
     "PARAMETERS A = 5, tau = 2, beta = 1;\n"
     "FUNCTION y = A * exp(-(t / tau) ^ beta);\n"
     "DATA;\n"
     "0.5 4.1\n1 3.4\n1.5 2.8\n2 2.3\n3 1.6\n4 1.1\n5 0.8\n6 0.55\n",
     {"During the fit, line 3 failed: Raising negative value (-0.25) to power\n(0.99999999",
      "Line 3 negates the base of a power: -a^b means (-a)^b, the minus\napplies first. For the negative of a "
      "power write -(a^b)."}},
    {"RateRunsAwayDownward", 3,
     "VARIABLES t, y;\n"
     "PARAMETERS a = 1, k = -1, b = 4;\n"
     "FUNCTION y = a * exp(k * t) + b;\n"
     "DATA;\n"
     "0 6.03\n1 4.98\n2 5.05\n3 4.96\n4 5.01\n5 4.97\n6 5.02\n7 5.04\n8 4.95\n9 5\n10 5.03\n",
     {"k ran away to -3.36E+01 (from -1), where the model no longer depends on it: bound it"}},
    // The bound is there already: no CONSTRAIN is suggested again.
    {"ConstrainedRateRunsAway", 3,
     "VARIABLES t, y;\n"
     "PARAMETERS a = 1, k = 1, b = 4;\n"
     "CONSTRAIN k = 0, 1000;\n"
     "FUNCTION y = a * exp(-k * t) + b;\n"
     "DATA;\n"
     "0 6.03\n1 4.98\n2 5.05\n3 4.96\n4 5.01\n5 4.97\n6 5.02\n7 5.04\n8 4.95\n9 5\n10 5.03\n",
     {"k ran away to 3.36E+01 (from 1), where the model no longer depends on it: check its",
      "CONSTRAIN bounds, try other start values or use a different form of the model."}},
    {"StartFarFromData", 3,
     "VARIABLES t, y;\n"
     "PARAMETERS a = 1, k = 50;\n"
     "FUNCTION y = a * exp(-k * t);\n"
     "DATA;\n"
     "0 10.03\n"
     "1 7.38818\n"
     "2 5.53812\n"
     "3 4.0257\n"
     "4 3.02194\n"
     "5 2.2013\n"
     "6 1.67299\n"
     "7 1.26456\n"
     "8 0.85718\n"
     "9 0.672055\n"
     "10 0.527871\n",
     {"Parameter k is not determined by the data: changing it hardly changes the predicted", "The model fits worse than a horizontal line at the mean"}},
    {"LogOfNegativeAtSomeObservations", 3,
     "VARIABLES x, y;\n"
     "PARAMETERS a = 1, b = 2;\n"
     "FUNCTION y = a + log(x - b);\n"
     "DATA;\n"
     "1 1.03\n"
     "2 1.67315\n"
     "3 2.14861\n"
     "4 2.34629\n"
     "5 2.61944\n"
     "6 2.76176\n"
     "7 2.96591\n"
     "8 3.11944\n",
     {"The model cannot be computed at the starting values at 2 of 8 observations. The first", "  observation 1, line 3: Attempt to take log of zero or negative: -1", "  observation 2, line 3: Attempt to take log of zero or negative: 0"}},
    {"DivisionByZeroAtOneObservation", 3,
     "VARIABLES x, y;\n"
     "PARAMETERS a = 1, b = 3;\n"
     "FUNCTION y = a / (x - b);\n"
     "DATA;\n"
     "1 1.03\n"
     "2 0.64667\n"
     "3 0.55\n"
     "4 0.36\n"
     "5 0.34333\n"
     "6 0.25571\n",
     {"The model cannot be computed at the starting values at 1 of 6 observations. It fails at:", "  observation 3, line 3: Attempted division of 1 by zero"}},
    {"SquareRootOfNegative", 3,
     "VARIABLES x, y;\n"
     "PARAMETERS a = 1, b = 4;\n"
     "FUNCTION y = a * sqrt(x - b);\n"
     "DATA;\n"
     "1 2.03\n"
     "2 2.8084\n"
     "3 3.5141\n"
     "4 3.96\n"
     "5 4.4821\n"
     "6 4.869\n",
     {"  observation 3, line 3: Attempt to take square root of negative number: -1"}},
    {"ExponentialOverflowAtStart", 3,
     "VARIABLES x, y;\n"
     "PARAMETERS a = 1, k = 1000;\n"
     "FUNCTION y = a * exp(k * x);\n"
     "DATA;\n"
     "1 2.2403\n"
     "2 2.4228\n"
     "3 2.7497\n"
     "4 2.9436\n"
     "5 3.3074\n"
     "6 3.6142\n",
     {"at 6 of 6 observations", "  observation 5, line 3: Argument to exp function is too large (5000)"}},
    {"LogOfNegativeStartEverywhere", 3,
     "VARIABLES x, y;\n"
     "PARAMETERS a = -1, b = 1;\n"
     "FUNCTION y = log(a) + b * x;\n"
     "DATA;\n"
     "1 3.03\n"
     "2 5.98\n"
     "3 9.05\n"
     "4 11.96\n"
     "5 15.01\n"
     "6 17.97\n",
     {"The model cannot be computed at the starting values at 6 of 6 observations."}},
    {"TooFewIterations", 3,
     "VARIABLES t, y;\n"
     "PARAMETERS a = 1, k = 1, b = 0;\n"
     "ITERATIONS 2;\n"
     "FUNCTION y = a * exp(-k * t) + b;\n"
     "DATA;\n"
     "0 11.03\n"
     "1 8.38818\n"
     "2 6.53812\n"
     "3 5.0257\n"
     "4 4.02194\n"
     "5 3.2013\n"
     "6 2.67299\n"
     "7 2.26456\n"
     "8 1.85718\n"
     "9 1.67206\n"
     "10 1.52787\n",
     {"The fit stopped at the iteration limit (2 iterations) while the sum of squares was still", "falling by 20 % per iteration: raise ITERATIONS."}},
    {"MinimisationIterationLimit", 3,
     "PARAMETERS x1 = -1.2, x2 = 1;\n"
     "ITERATIONS 3;\n"
     "FUNCTION 100 * (x2 - x1 ^ 2) ^ 2 + (1 - x1) ^ 2;\n"
     "\n",
     {"The fit stopped at the iteration limit (3 iterations) while the sum of squares was still"}},
    {"PushedToLowerBound", 0,
     "VARIABLES t, y;\n"
     "PARAMETERS a = 5, k = 0.5, b = 1;\n"
     "CONSTRAIN b = 2, 10;\n"
     "FUNCTION y = a * exp(-k * t) + b;\n"
     "DATA;\n"
     "0 11.03\n"
     "1 8.38818\n"
     "2 6.53812\n"
     "3 5.0257\n"
     "4 4.02194\n"
     "5 3.2013\n"
     "6 2.67299\n"
     "7 2.26456\n"
     "8 1.85718\n"
     "9 1.67206\n"
     "10 1.52787\n",
     {"b stopped at its lower bound 2: the data pull it further. Check the bound and the"}},
    {"PushedToUpperBound", 0,
     "VARIABLES t, y;\n"
     "PARAMETERS a = 5, k = 0.1;\n"
     "CONSTRAIN k = 0, 0.2;\n"
     "FUNCTION y = a * exp(-k * t);\n"
     "DATA;\n"
     "0 10.03\n"
     "1 7.3882\n"
     "2 5.5381\n"
     "3 4.0257\n"
     "4 3.0219\n"
     "5 2.2013\n"
     "6 1.673\n"
     "7 1.2646\n"
     "8 0.85718\n"
     "9 0.67206\n"
     "10 0.52787\n",
     {"k stopped at its upper bound 0.2: the data pull it further."}},
    {"RateHeldAtLowerBound", 0,
     "VARIABLES t, y;\n"
     "PARAMETERS a = 5, k = 0.5, b = 1;\n"
     "CONSTRAIN b = 2, 10;\n"
     "CONSTRAIN k = 0.5, 3;\n"
     "FUNCTION y = a * exp(-k * t) + b;\n"
     "DATA;\n"
     "0 11.03\n"
     "1 8.3882\n"
     "2 6.5381\n"
     "3 5.0257\n"
     "4 4.0219\n"
     "5 3.2013\n"
     "6 2.673\n"
     "7 2.2646\n"
     "8 1.8572\n"
     "9 1.6721\n"
     "10 1.5279\n",
     {"k stopped at its lower bound 0.5: the data pull it further."}},
    {"ModelIgnoresItsParameter", 3,
     "VARIABLES x, y;\n"
     "PARAMETERS a = 1;\n"
     "FUNCTION y = a * 0 + 100;\n"
     "DATA;\n"
     "1 3.03\n"
     "2 5.98\n"
     "3 9.05\n"
     "4 11.96\n"
     "5 15.01\n"
     "6 17.97\n",
     {"Parameter a does not change the predicted values", "The model fits worse than a horizontal line at the mean (sum of squares 4.822E+04"}},
    {"NegationSquaredInsidePeak", 3,
     "VARIABLES x, y;\n"
     "PARAMETERS h = 1, c = 5, w = 1, base = 0;\n"
     "FUNCTION y = base + h * exp(-((x - c) / w) ^ 2);\n"
     "DATA;\n"
     "0 2.03\n"
     "1 1.98\n"
     "2 2.05\n"
     "3 1.96\n"
     "4 2.01\n"
     "5 1.97\n"
     "6 2.02\n"
     "7 2.04\n"
     "8 1.95\n"
     "9 2\n"
     "10 2.03\n",
     {"h and w are not determined separately by the data: only a combination of them is.",
      "Deal with the findings above first, then fit again."}},
    {"SaturationCurveOnLinearData", 3,
     "VARIABLES s, v;\nPARAMETERS vmax = 1, km = 1;\nFUNCTION v = vmax * s / (km + s);\nDATA;\n"
     "0.1 0.21\n0.2 0.39\n0.4 0.81\n0.8 1.62\n1.6 3.18\n3.2 6.41\n",
     {"vmax and km are not determined separately by the data: only about vmax / km is."}},
    // A program that prints is not evaluated again (its text would repeat in the
    // listing): what needs no evaluation is still found.
    {"PrintingProgramAtIterationLimit", 3,
     "VARIABLES x, y;\nPARAMETERS a = 1, k = 1;\nITERATIONS 2;\nDOUBLE q;\n"
     "IF (x == 1) q = PRINTF(\"start of pass\\n\");\nFUNCTION y = a * exp(-k * x);\n"
     "DATA;\n1 7.41\n2 5.49\n3 4.07\n4 3.01\n5 2.23\n",
     {"The fit stopped at the iteration limit (2 iterations)"}},
};

class Mistake : public ::testing::TestWithParam<MistakeCase> {};

// The Diagnosis section of a listing, from its heading to the end.
std::string diagnosisSection(const std::string& listing)
{
    const size_t at = listing.find(DIAGNOSIS_HEADING);
    return at == std::string::npos ? "" : listing.substr(at);
}

TEST_P(Mistake, ListsItsFindingAndExitStatus)
{
    const MistakeCase& c = GetParam();
    const MoxelRun run = runMoxel(c.program, "mistake");
    EXPECT_EQ(run.status, c.status) << run.out;
    const std::string section = diagnosisSection(run.listing);
    ASSERT_FALSE(section.empty()) << run.listing;
    size_t from = 0;
    for (const std::string& line : c.findings) {
        const size_t at = section.find(line, from);
        EXPECT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << section;
        if (at != std::string::npos)
            from = at + line.size();
    }
    // The screen listing carries the same section.
    EXPECT_NE(run.out.find(DIAGNOSIS_HEADING), std::string::npos);
    // Plain words only: neither solver codes nor jargon reach the reader.
    for (const char* jargon : {"Jacobian", "singular value", "gradient", "IV_", "code "})
        EXPECT_EQ(section.find(jargon), std::string::npos) << jargon;
}

INSTANTIATE_TEST_SUITE_P(Diagnosis, Mistake, ::testing::ValuesIn(mistakes),
                         [](const ::testing::TestParamInfo<MistakeCase>& info) { return info.param.name; });

// Slow but steady at the iteration limit (a certified problem from its far start, which
// converges after 544 iterations): more iterations are the right advice, not other starts.
TEST(Diagnosis, SlowSteadyFitIsToldToGoOn)
{
    const MoxelRun run = runMoxel("VARIABLES y, x;\nPARAMETERS b1 = 50, b2 = 150, b3 = -100, b4 = 1, b5 = 2;\n"
                                  "ITERATIONS 500;\nDATASKIP 60;\n"
                                  "FUNCTION y = b1 + b2 * exp(-x * b4) + b3 * exp(-x * b5);\n"
                                  "DATA \"" + sourceDir() + "/tests/data/nist/MGH17.dat\";\n");
    EXPECT_EQ(run.status, 3);
    EXPECT_NE(diagnosisSection(run.listing).find("The fit stopped at the iteration limit (500 iterations) while the "
                                                 "sum of squares was\nstill falling by 0.56 % per iteration: raise "
                                                 "ITERATIONS."),
              std::string::npos)
        << run.listing;
}

// A fit that is fine lists exactly as before: no section, and the usual exit status.
TEST(Diagnosis, CleanFitsListNoSection)
{
    const struct {
        const char* program;
        int status;
    } clean[] = {
        {"VARIABLES x, y;\nPARAMETERS a = 1;\nFUNCTION y = a;\nDATA;\n1 3.03\n2 2.98\n3 3.05\n4 2.96\n", 0},
        {"VARIABLES t, y;\nPARAMETERS a = 100, k = 0.1, b = 0;\nFUNCTION y = a * exp(-k * t) + b;\nDATA;\n"
         "0 127.69\n2 97.51\n4 73.59\n6 56.41\n8 43.03\n10 34.52\n12 29.17\n14 23.20\n16 20.13\n", 0},
    };
    for (const auto& c : clean) {
        const MoxelRun run = runMoxel(c.program, "clean");
        EXPECT_EQ(run.status, c.status) << run.out;
        EXPECT_EQ(run.listing.find(DIAGNOSIS_HEADING), std::string::npos) << run.listing;
    }
}

// Every shipped example fits cleanly, so none of them lists a Diagnosis.
TEST(Diagnosis, ExamplesListNoSection)
{
    namespace fs = std::filesystem;
    const std::string folder = testTempDir();
    fs::copy(sourceDir() + "/examples", folder, fs::copy_options::recursive);
    int programs = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() != ".mxl")
            continue;
        const std::string name = entry.path().stem().string();
        const MoxelRun run = runMoxel(readTextFile(entry.path().string()), name, folder);
        EXPECT_EQ(run.status, 0) << name << "\n" << run.out;
        EXPECT_EQ(run.listing.find(DIAGNOSIS_HEADING), std::string::npos) << name << "\n" << run.listing;
        ++programs;
    }
    EXPECT_GE(programs, 5);
}

}  // namespace
