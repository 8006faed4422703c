// DERIVATIVES EXACT end to end through build/moxel -run: the fit takes the exact
// Jacobian (fits that differences leave at a few digits reach many more), weighted and
// two-core fits agree with the serial ones, a program that cannot be differentiated says
// so in one line and fits as before, and DERIVATIVES stays a name elsewhere.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "nist_models.h"
#include "testutil.h"

namespace {

std::string number(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// Estimates and standard errors of the listing's parameter table.
struct Table {
    std::vector<double> estimate;
    std::vector<double> stdError;
};

Table parameterTable(const std::string& listing, int p)
{
    Table table;
    const std::vector<std::string> lines = splitLines(listing);
    for (size_t k = 0; k < lines.size(); ++k) {
        if (lines[k].find("----  Calculated Parameter Values  ----") == std::string::npos)
            continue;
        for (int j = 0; j < p && k + 4 + j < lines.size(); ++j) {
            char name[40];
            double initial = 0, estimate = NAN, error = NAN;
            std::sscanf(lines[k + 4 + j].c_str(), "%39s %lf %lf %lf", name, &initial, &estimate, &error);
            table.estimate.push_back(estimate);
            table.stdError.push_back(error);
        }
    }
    return table;
}

std::string stopLine(const std::string& listing)
{
    const size_t at = listing.find("Stopped due to:");
    return at == std::string::npos ? "" : listing.substr(at, listing.find('\n', at) - at);
}

// NIST problems where forward differences leave digits behind: with the exact Jacobian
// every estimate and standard error reaches 6 digits of the certified values, from both
// starts.
TEST(ExactDerivatives, NistProblemsReachTheCertifiedDigits)
{
    struct Case {
        const char* name;
        const char* function;
    };
    const Case cases[] = {
        {"Bennett5", "y = b1 * (b2 + x) ^ (-1 / b3)"},
        {"Lanczos3", "y = b1 * exp(-b2 * x) + b3 * exp(-b4 * x) + b5 * exp(-b6 * x)"},
        {"Nelson", "logy = b1 - b2 * x * exp(-b3 * x2)"},
    };
    for (const Case& c : cases) {
        NistProblem problem;
        ASSERT_TRUE(nistLoad(sourceDir() + "/tests/data/nist", c.name, problem)) << c.name;
        const bool nelson = problem.logResponse;
        for (int start = 0; start < 2; ++start) {
            std::ostringstream text;
            text << (nelson ? "VARIABLES y, x, x2;\nDOUBLE logy;\nlogy = log(y);\n" : "VARIABLES y, x;\n");
            text << "PARAMETERS ";
            for (int j = 0; j < problem.p; ++j)
                text << (j ? ", " : "") << "b" << j + 1 << " = "
                     << number((start == 0 ? problem.start1 : problem.start2)[j]);
            text << ";\nITERATIONS 1000;\nDERIVATIVES EXACT;\nFUNCTION " << c.function << ";\nDATA;\n";
            for (size_t i = 0; i < problem.y.size(); ++i) {
                text << number(problem.y[i]) << " " << number(problem.x1[i]);
                if (nelson)
                    text << " " << number(problem.x2[i]);
                text << "\n";
            }
            const MoxelRun run = runMoxel(text.str(), c.name);
            SCOPED_TRACE(std::string(c.name) + " from start " + std::to_string(start + 1));
            ASSERT_EQ(run.status, 0) << run.listing;
            EXPECT_EQ(run.listing.find("Exact derivatives not used"), std::string::npos);
            const Table table = parameterTable(run.listing, problem.p);
            ASSERT_EQ((int)table.estimate.size(), problem.p) << run.listing;
            for (int j = 0; j < problem.p; ++j) {
                EXPECT_GE(nistDigits(table.estimate[j], problem.certified[j]), 6.0) << "b" << j + 1;
                EXPECT_GE(nistDigits(table.stdError[j], problem.certifiedSe[j]), 6.0) << "b" << j + 1;
            }
        }
    }
}

// The same decay, weighted or not, per observation (a loop keeps it off the block path)
// and by blocks on both cores: the same estimates; exact against differenced to the
// printed digits.
TEST(ExactDerivatives, FitsAgreeOnEveryPath)
{
    std::string data = "DATA;\n";
    for (int i = 0; i < 1500; ++i) {
        const double x = 0.01 * i;
        data += number(x) + " " + number(3.0 * std::exp(-0.7 * x) * (1.0 + 0.02 * std::sin(7.0 * i))) + "\n";
    }
    const std::string blocks = "FUNCTION y = a * exp(-k * x);\n";
    const std::string serial = "DOUBLE u, j;\nu = 0;\nFOR (j = 0; j < 1; j++) u = u + a * exp(-k * x);\nFUNCTION y = u;\n";
    for (const char* weight : {"WEIGHT 1 / (1 + x);\n", ""}) {
        const std::string head = std::string("VARIABLES x, y;\nPARAMETERS a = 1, k = 0.1;\n") + weight;
        std::vector<Table> tables;
        for (const std::string& body : {blocks, serial})
            for (const char* derivatives : {"DERIVATIVES EXACT;\n", ""}) {
                const MoxelRun run = runMoxel(head + derivatives + body + data, "paths");
                ASSERT_EQ(run.status, 0) << run.listing;
                tables.push_back(parameterTable(run.listing, 2));
            }
        for (size_t t = 1; t < tables.size(); ++t)
            for (int j = 0; j < 2; ++j) {
                SCOPED_TRACE(std::string(weight) + "run " + std::to_string(t));
                EXPECT_NEAR(tables[t].estimate[j], tables[0].estimate[j], 1e-8 * std::fabs(tables[0].estimate[j]));
                EXPECT_NEAR(tables[t].stdError[j], tables[0].stdError[j], 1e-5 * tables[0].stdError[j]);
            }
    }
}

// A program the compiler cannot follow with exact derivatives fits by differences as
// before, after one line that names the line and the reason.
TEST(ExactDerivatives, FallbackNamesTheLineAndTheReason)
{
    struct Case {
        const char* program;
        const char* line;
    };
    const Case cases[] = {
        {"VARIABLES x, y;\nPARAMETERS a = 1, k = 0.1;\nDERIVATIVES EXACT;\nWEIGHT 1 / Predicted;\n"
         "FUNCTION y = a * exp(-k * x);\nDATA;\n0 3\n1 2.1\n2 1.4\n3 1.0\n4 0.7\n",
         "Exact derivatives not used (line 4): the weights depend on the parameters; the Jacobian is formed by "
         "differences."},
        {"PARAMETERS a = 1, b = 2;\nDERIVATIVES EXACT;\nFUNCTION (a - 3) ^ 2 + (b + 1) ^ 2;\n",
         "Exact derivatives not used (line 2): a function minimization has no observations to differentiate; the "
         "Jacobian is formed by differences."},
    };
    for (const Case& c : cases) {
        const MoxelRun exact = runMoxel(c.program, "fallback");
        std::string plain = c.program;
        plain.erase(plain.find("DERIVATIVES EXACT;\n"), 19);
        const MoxelRun differences = runMoxel(plain, "fallback");
        EXPECT_NE(exact.out.find(c.line), std::string::npos) << exact.out;
        EXPECT_NE(exact.listing.find(c.line), std::string::npos) << exact.listing;
        EXPECT_EQ(exact.status, differences.status);
        EXPECT_EQ(stopLine(exact.listing), stopLine(differences.listing));
        const Table a = parameterTable(exact.listing, 2), b = parameterTable(differences.listing, 2);
        EXPECT_EQ(a.estimate, b.estimate);
    }
}

// DERIVATIVES is a statement only before EXACT or DIFFERENCES; elsewhere it is a name.
// DERIVATIVES DIFFERENCES lists exactly as no statement does.
TEST(ExactDerivatives, TheWordStaysANameAndDifferencesChangeNothing)
{
    const std::string data = "DATA;\n0 3\n1 2.1\n2 1.4\n3 1.0\n4 0.7\n";
    const MoxelRun named = runMoxel("VARIABLES x, y;\nPARAMETERS a = 1, derivatives = 0.1;\nDOUBLE exact;\n"
                                    "exact = derivatives;\nFUNCTION y = a * exp(-exact * x);\n" + data, "named");
    EXPECT_EQ(named.status, 0) << named.out;
    const std::string body = "VARIABLES x, y;\nPARAMETERS a = 1, k = 0.1;\nFUNCTION y = a * exp(-k * x);\n" + data;
    const MoxelRun plain = runMoxel(body, "plain");
    const MoxelRun differences = runMoxel("DERIVATIVES DIFFERENCES; " + body, "plain");
    const std::vector<std::string> a = splitLines(plain.listing), b = splitLines(differences.listing);
    ASSERT_EQ(a.size(), b.size());
    for (size_t k = 0; k < a.size(); ++k)
        if (a[k].find("Analysis completed") == std::string::npos && b[k].find("DERIVATIVES") == std::string::npos)
            EXPECT_EQ(a[k], b[k]);
}

}  // namespace
