// Weighted fits end to end: the listing against an independent reference (SciPy's
// curve_fit with sigma = 1/sqrt(w), relative and absolute) kept in tests/data/weights,
// and the weight checks a user meets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

const std::string DATA_DIR = sourceDir() + "/tests/data/weights/";

std::map<std::string, std::vector<double>> loadReference()
{
    return loadReferenceTable(DATA_DIR + "reference.txt");
}

// One unit of the last digit a printed number shows ("209.596813" -> 1e-6,
// "7.0424E-05" -> 1e-9): a value matches to the printed digits when it lies within
// one such unit (half a unit of rounding, plus the last bit of two different solvers).
double lastDigitUnit(const std::string& text)
{
    const size_t e = text.find_first_of("eE");
    const std::string mantissa = text.substr(0, e);
    const int exponent = e == std::string::npos ? 0 : std::atoi(text.c_str() + e + 1);
    const size_t point = mantissa.find('.');
    const int decimals = point == std::string::npos ? 0 : (int)(mantissa.size() - point - 1);
    return std::pow(10.0, exponent - decimals);
}

void expectPrinted(const std::string& text, double reference, const std::string& what, double relative = 0)
{
    const double printed = std::strtod(text.c_str(), nullptr);
    EXPECT_LE(std::fabs(printed - reference), std::fmax(lastDigitUnit(text), relative * std::fabs(reference)))
        << what << ": printed " << text << ", reference " << reference;
}

// Both solvers stop within about 1e-8 of the exact optimum, relative: the forward-difference
// Jacobian here, the default tolerances there (for Puromycin with weights 1/rate the exact
// Vm = 209.5968154, from the profiled one-dimensional problem in extended precision, lies
// between MOXEL's 209.596813 and the reference's 209.5968157). The estimates are therefore
// held to 8 digits. The plain sum of squares is not the minimised one: it moves to first
// order with the estimates, and is held to 7 digits.
constexpr double SOLVER_AGREEMENT = 1e-7;
constexpr double PLAIN_SUM_AGREEMENT = 1e-6;

// The lines after the first one that contains heading, skipping the rule and blanks.
std::vector<std::string> rowsAfter(const std::string& listing, const std::string& heading, size_t count)
{
    const std::vector<std::string> lines = splitLines(listing);
    std::vector<std::string> rows;
    size_t k = 0;
    while (k < lines.size() && lines[k].find(heading) == std::string::npos)
        ++k;
    for (++k; k < lines.size() && rows.size() < count; ++k)
        if (!lines[k].empty() && lines[k].find("----") == std::string::npos &&
            lines[k].find("Parameter") == std::string::npos && lines[k].find("Quantity") == std::string::npos)
            rows.push_back(lines[k]);
    return rows;
}

// The number after "label = " on its line.
std::string valueAfter(const std::string& listing, const std::string& label)
{
    const size_t at = listing.find(label + " = ");
    if (at == std::string::npos)
        return "";
    return splitWords(listing.substr(at + label.size() + 3, 40))[0];
}

MoxelRun runCase(const std::string& name)
{
    const std::string folder = testTempDir();
    for (const char* data : {"puromycin.dat", "dnase1.dat", "decay.dat"})
        writeTextFile(folder + "/" + data, readTextFile(DATA_DIR + data));
    return runMoxel(readTextFile(DATA_DIR + name + ".mxl"), name, folder);
}

TEST(WeightedFit, MatchesTheReferenceToThePrintedDigits)
{
    const auto reference = loadReference();
    const struct {
        const char* name;
        int p;
        bool absolute;
        bool halflife;
    } cases[] = {
        {"puromycin_relative", 2, false, false}, {"puromycin_absolute", 2, true, false},
        {"dnase_relative", 3, false, false},     {"dnase_absolute", 3, true, false},
        {"decay_relative", 3, false, true},      {"decay_absolute", 3, true, true},
        {"puromycin_predicted", 2, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string key = std::string(c.name) + " ";
        ASSERT_EQ(reference.count(key + "estimate"), 1u);
        const MoxelRun run = runCase(c.name);
        const std::string& listing = run.listing;
        ASSERT_NE(listing.find("Relative function convergence"), std::string::npos) << listing;
        EXPECT_NE(listing.find(c.absolute ? "Weights are absolute" : "Weights are relative"), std::string::npos);

        const std::vector<std::string> rows = rowsAfter(listing, "Calculated Parameter Values", c.p);
        ASSERT_EQ(rows.size(), (size_t)c.p);
        for (int j = 0; j < c.p; ++j) {
            const std::vector<std::string> w = splitWords(rows[j]);
            ASSERT_GE(w.size(), 6u) << rows[j];
            expectPrinted(w[2], reference.at(key + "estimate")[j], "estimate " + w[0], SOLVER_AGREEMENT);
            expectPrinted(w[3], reference.at(key + "stderr")[j], "standard error " + w[0]);
            expectPrinted(w[4], reference.at(key + "t")[j], "t " + w[0]);
        }
        expectPrinted(valueAfter(listing, "Weighted sum of squared deviations"), reference.at(key + "wss")[0],
                      "weighted sum of squares");
        expectPrinted(valueAfter(listing, "Final sum of squared deviations"), reference.at(key + "ss")[0],
                      "plain sum of squares", PLAIN_SUM_AGREEMENT);

        const std::vector<std::string> cov = rowsAfter(listing, "Variance-Covariance Matrix", c.p);
        ASSERT_EQ(cov.size(), (size_t)c.p);
        for (int i = 0; i < c.p; ++i) {
            const std::vector<std::string> w = splitWords(cov[i]);
            ASSERT_EQ(w.size(), (size_t)c.p + 1) << cov[i];
            for (int j = 0; j < c.p; ++j)
                expectPrinted(w[j + 1], reference.at(key + "covariance")[i * c.p + j], "covariance " + w[0]);
        }

        const size_t chi = listing.find("Chi-square = ");
        EXPECT_EQ(chi != std::string::npos, c.absolute);
        if (c.absolute && chi != std::string::npos) {
            expectPrinted(valueAfter(listing, "Chi-square"), reference.at(key + "chisquare")[0], "chi-square");
            const double prob = std::fmax(reference.at(key + "chisquare")[1], 0.00001);
            expectPrinted(valueAfter(listing, "Prob(chi-square)"), prob, "Prob(chi-square)");
        }
        if (c.halflife) {
            const std::vector<std::string> d = rowsAfter(listing, "Derived Quantities", 1);
            ASSERT_EQ(d.size(), 1u);
            const std::vector<std::string> w = splitWords(d[0]);
            ASSERT_EQ(w.size(), 7u) << d[0];
            EXPECT_EQ(w[0], "halflife");
            expectPrinted(w[1], reference.at(key + "halflife")[0], "half-life", SOLVER_AGREEMENT);
            expectPrinted(w[2], reference.at(key + "halflife")[1], "half-life standard error");
        }
    }
}

// A program of two parameters fitted to four points, with the given extra statements.
std::string smallProgram(const std::string& statements, const std::string& data = "1 2.1\n2 3.9\n3 6.2\n4 7.8\n")
{
    return "VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a + b * x;\n" + statements + "DATA;\n" + data;
}

TEST(WeightedFit, AnInvalidWeightIsAnErrorNamingTheObservationAndTheLine)
{
    const struct {
        const char* statement;
        const char* message;
    } cases[] = {
        {"WEIGHT x - 3;\n", "Weight of observation 1 is -2; weights must be positive and finite"},
        {"WEIGHT 2 - x;\n", "Weight of observation 2 is 0; weights must be positive and finite"},
        {"WEIGHT 1 - x;\n", "Weight of observation 1 is 0; weights must be positive and finite"},
        {"WEIGHT ABSOLUTE -y;\n", "Weight of observation 1 is -2.1; weights must be positive and finite"},
        {"WEIGHT 1e308 * 1e308 * x;\n", "Weight of observation 1 is INF; weights must be positive and finite"},
        {"WEIGHT 1 / (x - 1);\n", "Weight of observation 1 cannot be computed: Attempted division of 1 by zero"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.statement);
        const MoxelRun run = runMoxel(smallProgram(c.statement));
        EXPECT_NE(run.listing.find(std::string("Error executing line 4: ") + c.statement), std::string::npos)
            << run.listing;
        const std::string error = std::string("Error: ") + c.message + "\n";
        EXPECT_NE(run.listing.find(error), std::string::npos) << run.listing;
        EXPECT_NE(run.listing.find("Stopped due to: Function cannot be computed at starting parameter values."),
                  std::string::npos);
        EXPECT_EQ(run.status, 3);
        // Said once, and the Diagnosis names the weight, not the fit.
        EXPECT_EQ(run.out.find(error), run.out.rfind(error)) << run.out;
        EXPECT_NE(run.listing.find("The WEIGHT at line 4 gives no usable weight for observation"), std::string::npos);
        EXPECT_EQ(run.listing.find("horizontal line"), std::string::npos);
        // The preview evaluates the weights as the fit would.
        const MoxelRun preview = runMoxel(smallProgram(c.statement), "prog", "", {"-preview"});
        EXPECT_EQ(preview.status, 1) << preview.out;
        EXPECT_NE(preview.out.find(std::string(", line 4: ") + c.message + "\n"), std::string::npos) << preview.out;
    }
}

// Equal weights change nothing but the stated convention: the estimates, standard errors
// and sums are those of the unweighted fit. Constant weights c scale the weighted sum by
// c and, being relative, leave the standard errors alone; as absolute weights they are
// 1/sigma^2 and the standard errors become sigma sqrt((J'J)^-1).
TEST(WeightedFit, ConstantWeightsFollowTheirConvention)
{
    const MoxelRun plain = runMoxel(smallProgram("COVARIANCE;\n"));
    const MoxelRun four = runMoxel(smallProgram("WEIGHT 4;\nCOVARIANCE;\n"));
    const MoxelRun absolute = runMoxel(smallProgram("WEIGHT ABSOLUTE 4;\nCOVARIANCE;\n"));
    const auto table = [](const MoxelRun& run) { return rowsAfter(run.listing, "Calculated Parameter Values", 2); };
    // Equal weights: the same estimates and standard errors to 6 digits (the solver takes
    // a slightly different path, and its forward-difference Jacobian differs in the last
    // digits).
    const std::vector<std::string> tp = table(plain);
    const std::vector<std::string> tf = table(four);
    ASSERT_EQ(tf.size(), 2u);
    for (int j = 0; j < 2; ++j)
        for (int col : {2, 3}) {
            const double x = std::strtod(splitWords(tp[j])[col].c_str(), nullptr);
            EXPECT_NEAR(std::strtod(splitWords(tf[j])[col].c_str(), nullptr), x, 1e-6 * std::fabs(x)) << tf[j];
        }
    const double ss = std::strtod(valueAfter(plain.listing, "Final sum of squared deviations").c_str(), nullptr);
    EXPECT_NEAR(std::strtod(valueAfter(four.listing, "Weighted sum of squared deviations").c_str(), nullptr),
                4 * ss, 1e-6 * ss);
    // Absolute: var = (J'WJ)^-1 = (J'J)^-1 / 4, against s^2 (J'J)^-1 unweighted.
    const double s2 = ss / 2;
    const std::vector<std::string> p = table(plain);
    const std::vector<std::string> a = table(absolute);
    ASSERT_EQ(a.size(), 2u);
    for (int j = 0; j < 2; ++j) {
        const double sePlain = std::strtod(splitWords(p[j])[3].c_str(), nullptr);
        const double seAbsolute = std::strtod(splitWords(a[j])[3].c_str(), nullptr);
        EXPECT_NEAR(seAbsolute, sePlain / std::sqrt(4 * s2), 1e-6 * seAbsolute) << a[j];
    }
}

// The words stay names: a program that uses them as variables runs as it did.
TEST(WeightedFit, WeightAndDerivedRemainNames)
{
    const char* programs[] = {
        "VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nDOUBLE weight, derived;\n"
        "weight = 2 * x; derived = weight + 1; weight++; derived += weight;\n"
        "FUNCTION y = a + b * x + 0 * derived;\nDATA;\n1 2.1\n2 3.9\n3 6.2\n4 7.8\n",
        "VARIABLES weight, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a + b * weight;\nDATA;\n"
        "1 2.1\n2 3.9\n3 6.2\n4 7.8\n",
        "VARIABLES derived, y;\nPARAMETERS a = 1, b = 1;\nDOUBLE weight[3];\nweight[1] = derived;\n"
        "FUNCTION y = a + b * weight[1];\nDATA;\n1 2.1\n2 3.9\n3 6.2\n4 7.8\n",
    };
    const MoxelRun reference = runMoxel(smallProgram(""));
    const std::vector<std::string> expected = rowsAfter(reference.listing, "Calculated Parameter Values", 2);
    for (const char* program : programs) {
        SCOPED_TRACE(program);
        const MoxelRun run = runMoxel(program);
        EXPECT_EQ(run.listing.find("Error:"), std::string::npos) << run.listing;
        EXPECT_EQ(run.listing.find("Weights are"), std::string::npos);
        EXPECT_EQ(run.listing.find("Derived Quantities"), std::string::npos);
        EXPECT_EQ(rowsAfter(run.listing, "Calculated Parameter Values", 2), expected);
    }
}

TEST(WeightedFit, OutputKeepsPlainResidualsBesideWeightedOnes)
{
    const MoxelRun run = runMoxel(smallProgram("WEIGHT 1 / x;\nOUTPUT \"fit.out\" x, $RESIDUAL, $WRESIDUAL;\n"));
    const std::vector<std::string> lines = splitLines(readTextFile(run.folder + "/fit.out"));
    ASSERT_EQ(lines.size(), 4u) << run.listing;
    for (const std::string& line : lines) {
        const std::vector<std::string> w = splitWords(line);
        ASSERT_EQ(w.size(), 3u);
        const double x = std::strtod(w[0].c_str(), nullptr);
        const double r = std::strtod(w[1].c_str(), nullptr);
        const double wr = std::strtod(w[2].c_str(), nullptr);
        EXPECT_NEAR(wr, r / std::sqrt(x), lastDigitUnit(w[2]) + lastDigitUnit(w[1])) << line;
    }
}

}  // namespace
