// Derived quantities: the central-difference gradient, the delta-method standard error
// with the full covariance, the honest refusals, and the statement's compile checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/derived.h"
#include "testutil.h"

namespace {

struct Function {
    const char* name;
    double (*f)(const double* b);
    void (*gradient)(const double* b, double* g);
    std::vector<double> at;
    std::vector<double> scale;   // typical sizes of the parameters
};

bool evaluate(void* context, const double* b, double* value)
{
    *value = static_cast<const Function*>(context)->f(b);
    return std::isfinite(*value);
}

// Central differences agree with the analytic gradient to about 1e-10 relative, where
// forward differences of the same step lose half the digits (about 1e-6): the table holds
// curvature in every direction, and parameters at zero and of very different sizes, where
// a step relative to |b| alone would be zero or useless.
TEST(DerivedGradient, CentralDifferencesMatchTheAnalyticGradient)
{
    const Function cases[] = {
        {"ln(2)/k", [](const double* b) { return std::log(2.0) / b[0]; },
         [](const double* b, double* g) { g[0] = -std::log(2.0) / (b[0] * b[0]); }, {0.3102}, {0.01}},
        {"a*exp(-k*t)", [](const double* b) { return b[0] * std::exp(-b[1] * 7.0); },
         [](const double* b, double* g) {
             g[0] = std::exp(-b[1] * 7.0);
             g[1] = -7.0 * b[0] * std::exp(-b[1] * 7.0);
         },
         {10.0, 0.31}, {0.5, 0.02}},
        {"exp(b) at 0", [](const double* b) { return std::exp(b[0]) + b[1] * b[1]; },
         [](const double* b, double* g) {
             g[0] = std::exp(b[0]);
             g[1] = 2 * b[1];
         },
         {0.0, 3.0}, {0.1, 0.1}},
        {"a/b tiny b", [](const double* b) { return b[0] / b[1]; },
         [](const double* b, double* g) {
             g[0] = 1 / b[1];
             g[1] = -b[0] / (b[1] * b[1]);
         },
         {2.0e5, 3.0e-7}, {1e3, 1e-8}},
    };
    for (const Function& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<double> b = c.at;
        const std::vector<double>& scale = c.scale;
        std::vector<double> g(b.size()), exact(b.size());
        ASSERT_TRUE(derivedGradient(evaluate, (void*)&c, b.data(), scale.data(), (int)b.size(), g.data()));
        c.gradient(c.at.data(), exact.data());
        EXPECT_EQ(b, c.at);   // restored bit for bit
        for (size_t j = 0; j < b.size(); ++j)
            EXPECT_NEAR(g[j], exact[j], 1e-9 * std::fabs(exact[j]) + 1e-12) << j;
    }
}

TEST(DerivedGradient, AStepOutsideTheDomainFailsAndRestoresTheParameters)
{
    Function logOf = {"ln(b)", [](const double* b) { return std::log(b[0]); }, nullptr, {1e-7}, {1.0}};
    std::vector<double> b = {1e-7};
    const std::vector<double> scale = {1.0};   // the step (6e-6) crosses zero
    double g = 0;
    EXPECT_FALSE(derivedGradient(evaluate, &logOf, b.data(), scale.data(), 1, &g));
    EXPECT_EQ(b[0], 1e-7);
}

// The row of the listing whose first word is name, after the heading.
std::vector<std::string> rowOf(const std::string& listing, const std::string& heading, const std::string& name)
{
    const size_t from = listing.find(heading);
    if (from == std::string::npos)
        return {};
    for (const std::string& line : splitLines(listing.substr(from))) {
        const std::vector<std::string> w = splitWords(line);
        if (!w.empty() && (w[0] == name || w[0] == name + ":"))
            return w;
    }
    return {};
}

double number(const std::vector<std::string>& row, size_t k)
{
    return k < row.size() ? std::strtod(row[k].c_str(), nullptr) : NAN;
}

const char LINE_DATA[] = "DATA;\n1 2.1\n2 3.9\n3 6.2\n4 7.8\n5 10.1\n";

// For a straight line the intercept and slope are strongly correlated, so a derived sum
// or ratio needs the off-diagonal covariance: var(a + b) = Caa + 2 Cab + Cbb, and
// var(a / b) = (1/b)^2 Caa - 2 a/b^3 Cab + (a/b^2)^2 Cbb. Both are computed here by hand
// from the listing's own covariance matrix. With differences and with exact derivatives.
TEST(DerivedQuantity, DeltaMethodUsesTheFullCovariance)
{
    for (const char* derivatives : {"", "DERIVATIVES EXACT;\n"}) {
        SCOPED_TRACE(derivatives);
        const MoxelRun run = runMoxel(std::string("VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a + b * x;\n") +
                                      derivatives +
                                      "DERIVED total = a + b;\nDERIVED ratio = a / b;\nCONFIDENCE 95;\n"
                                      "COVARIANCE;\nPOUTPUT \"fit.par\";\n" + LINE_DATA);
        const std::string& listing = run.listing;
        const double a = number(rowOf(listing, "Calculated Parameter Values", "a"), 2);
        const double b = number(rowOf(listing, "Calculated Parameter Values", "b"), 2);
        const double caa = number(rowOf(listing, "Variance-Covariance Matrix", "a"), 1);
        const double cab = number(rowOf(listing, "Variance-Covariance Matrix", "a"), 2);
        const double cbb = number(rowOf(listing, "Variance-Covariance Matrix", "b"), 2);
        ASSERT_TRUE(std::isfinite(a + b + caa + cab + cbb)) << listing;
        ASSERT_LT(cab, -0.5 * std::sqrt(caa * cbb));   // the case is one where the diagonal alone fails
        const struct {
            const char* name;
            double value;
            double variance;
        } cases[] = {
            {"total", a + b, caa + 2 * cab + cbb},
            {"ratio", a / b, caa / (b * b) - 2 * a / (b * b * b) * cab + (a / (b * b)) * (a / (b * b)) * cbb},
        };
        const double t975 = 3.182446305284263;   // t quantile, 0.975, 3 degrees of freedom
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            const std::vector<std::string> row = rowOf(listing, "Derived Quantities", c.name);
            ASSERT_EQ(row.size(), 7u) << listing;
            const double se = std::sqrt(c.variance);
            EXPECT_NEAR(number(row, 1), c.value, 1e-6 * std::fabs(c.value) + 1e-8);
            EXPECT_NEAR(number(row, 2), se, 2e-4 * se);   // the printed covariance has 5 digits
            EXPECT_NEAR(number(row, 3), c.value / se, 2e-4 * std::fabs(c.value / se) + 0.01);
            EXPECT_NEAR(number(row, 5), c.value - t975 * se, 2e-4 * se + 1e-6);
            EXPECT_NEAR(number(row, 6), c.value + t975 * se, 2e-4 * se + 1e-6);
        }
        EXPECT_NE(listing.find("Derived Quantities (95.000% limits)"), std::string::npos);
        // Each heading word stands over its column's rule, none over the gap between two.
        const std::vector<std::string> lines = splitLines(listing);
        for (size_t k = 0; k + 1 < lines.size(); ++k) {
            if (lines[k].find("Quantity") == std::string::npos)
                continue;
            const std::string& heading = lines[k];
            const std::string& rule = lines[k + 1];
            for (size_t c = 0; c < heading.size(); ++c)
                if (heading[c] != ' ')
                    EXPECT_TRUE(c < rule.size() && rule[c] == '-') << "column " << c << "\n" << heading << "\n" << rule;
        }
        // The parameter file: the estimates, then the derived values in statement order.
        const std::vector<std::string> par = splitLines(readTextFile(run.folder + "/fit.par"));
        ASSERT_EQ(par.size(), 4u);
        double values[4];
        for (int k = 0; k < 4; ++k)
            values[k] = std::strtod(par[k].c_str(), nullptr);
        EXPECT_NEAR(values[2], values[0] + values[1], 1e-12);
        EXPECT_NEAR(values[3], values[0] / values[1], 1e-12);
    }
}

// No standard error is better than a wrong one: a fit that did not converge properly, one
// without a covariance matrix, and one without spare observations get one line instead.
TEST(DerivedQuantity, RefusesWithAReasonWhenThereIsNoBasis)
{
    const struct {
        const char* program;
        const char* reason;
    } cases[] = {
        {"VARIABLES x, y;\nPARAMETERS a = 1, k = 0.1;\nITERATIONS 2;\nFUNCTION y = a * exp(k * x);\n"
         "DERIVED d = 2 * k;\nDATA;\n1 2.1\n2 3.9\n3 6.2\n4 7.8\n5 10.1\n",
         "the fit did not converge properly"},
        {"VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nCONSTRAIN b = 0, 1.5;\nFUNCTION y = a + b * x;\n"
         "DERIVED d = a / b;\nDATA;\n1 2.1\n2 3.9\n3 6.2\n4 7.8\n5 10.1\n",
         "there is no covariance matrix"},
        {"VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a + b * x;\nDERIVED d = a / b;\n"
         "DATA;\n1 2.1\n2 3.9\n",
         "there are not more observations than parameters"},
        // Redundant: only k1 + k2 is determined, and the solver's covariance is huge entries
        // that cancel in g' C g.
        {"VARIABLES t, y;\nPARAMETERS a = 5, k1 = 0.1, k2 = 0.2, b = 0;\nFUNCTION y = a * exp(-(k1 + k2) * t) + b;\n"
         "DERIVED h = ln(2) / (k1 + k2);\nDATA;\n0 6.1\n1 4.6\n2 3.6\n3 2.9\n4 2.4\n5 2.1\n6 1.8\n8 1.5\n",
         "h: no standard error, the covariance matrix is too near singular for it.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        const MoxelRun run = runMoxel(c.program);
        if (c.reason[0] == 'h') {
            EXPECT_NE(run.listing.find(c.reason), std::string::npos) << run.listing;
            const std::vector<std::string> row = rowOf(run.listing, "Derived Quantities", "h");
            ASSERT_EQ(row.size(), 5u) << run.listing;
            EXPECT_NEAR(number(row, 1), 1.93, 0.01);   // ln(2) / (k1 + k2) itself is well determined
            EXPECT_EQ(row[2], "n/a");
            continue;
        }
        EXPECT_NE(run.listing.find(std::string("Derived quantities have no standard errors: ") + c.reason + ".\n"),
                  std::string::npos) << run.listing;
        EXPECT_EQ(run.listing.find("Derived Quantities"), std::string::npos);
    }
}

TEST(DerivedQuantity, CompileChecks)
{
    const char* const MSG_NESTED = "Error: WEIGHT and DERIVED statements must stand outside blocks and control statements";
    const std::string head = "VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a + b * x;\n";
    const struct {
        const char* statements;
        const char* message;
    } cases[] = {
        {"DERIVED d = a * x;\n", "Error: A DERIVED expression may use only parameters and constants: x"},
        {"DOUBLE w;\nDERIVED d = a * w;\n", "Error: A DERIVED expression may use only parameters and constants: w"},
        {"DERIVED d = a * Predicted;\n",
         "Error: A DERIVED expression may use only parameters and constants: Predicted"},
        {"DERIVED a = 2 * b;\n", "Error: DERIVED name is already used: a"},
        {"DERIVED d = a;\nDERIVED D = b;\n", "Error: DERIVED name is already used: D"},
        {"WEIGHT 1;\nWEIGHT ABSOLUTE 2;\n", "Error: Only one WEIGHT statement is allowed"},
        {"WEIGHT 1 / x\nDERIVED d = a;\n", "Error: Invalid WEIGHT expression syntax"},
        {"WEIGHT 1 / x\nCONFIDENCE 95;\n", "Error: Missing semicolon at end of statement"},
        {"IF (1) WEIGHT 2;\n", MSG_NESTED},
        {"{ DERIVED d = a; }\n", MSG_NESTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.statements);
        const MoxelRun run = runMoxel(head + c.statements + LINE_DATA);
        EXPECT_NE(run.listing.find(c.message), std::string::npos) << run.listing;
        EXPECT_EQ(run.listing.find("Final Results"), std::string::npos);
        // Only a data variable earns the hint towards a CONSTANT.
        EXPECT_EQ(run.listing.find("Note: x is a data variable, with a value for each observation; for a value "
                                   "that is the same for the whole data set (a dose, a volume), declare it a "
                                   "CONSTANT\n") != std::string::npos,
                  std::string(c.statements) == "DERIVED d = a * x;\n")
            << run.listing;
    }
    const MoxelRun minimisation = runMoxel("PARAMETERS a = 1;\nWEIGHT 2;\nFUNCTION (a - 1)^2;\n");
    EXPECT_NE(minimisation.listing.find("Error: WEIGHT needs observations; a program without VARIABLES has none"),
              std::string::npos)
        << minimisation.listing;
}

}  // namespace
