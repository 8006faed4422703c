// The NIST StRD nonlinear regression problems, each from both of its starting points,
// run end to end as MOXEL programs through build/moxel -run. The listing's parameter
// table must reproduce the certified estimates and standard errors, and "Final sum of
// squared deviations" the certified residual sum of squares.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

struct NistModel {
    const char* name;           // file name without ".dat"
    const char* variables;      // VARIABLES list, in the order of the data columns
    const char* prelude;        // statements before FUNCTION (may be "")
    const char* function;       // FUNCTION statement body
};

// The certified models written in the statement language.
const NistModel nistModels[] = {
    {"Misra1a", "y, x", "", "y = b1 * (1 - exp(-b2 * x))"},
    {"Chwirut2", "y, x", "", "y = exp(-b1 * x) / (b2 + b3 * x)"},
    {"Chwirut1", "y, x", "", "y = exp(-b1 * x) / (b2 + b3 * x)"},
    {"Lanczos3", "y, x", "", "y = b1 * exp(-b2 * x) + b3 * exp(-b4 * x) + b5 * exp(-b6 * x)"},
    {"Gauss1", "y, x", "",
     "y = b1 * exp(-b2 * x) + b3 * exp(-(x - b4) * (x - b4) / (b5 * b5)) + "
     "b6 * exp(-(x - b7) * (x - b7) / (b8 * b8))"},
    {"Gauss2", "y, x", "",
     "y = b1 * exp(-b2 * x) + b3 * exp(-(x - b4) * (x - b4) / (b5 * b5)) + "
     "b6 * exp(-(x - b7) * (x - b7) / (b8 * b8))"},
    {"DanWood", "y, x", "", "y = b1 * x ^ b2"},
    {"Misra1b", "y, x", "", "y = b1 * (1 - (1 + b2 * x / 2) ^ (-2))"},
    {"Kirby2", "y, x", "", "y = (b1 + b2 * x + b3 * x * x) / (1 + b4 * x + b5 * x * x)"},
    {"Hahn1", "y, x", "",
     "y = (b1 + b2 * x + b3 * x * x + b4 * x * x * x) / (1 + b5 * x + b6 * x * x + b7 * x * x * x)"},
    {"Nelson", "y, x1, x2", "DOUBLE logy; logy = log(y);", "logy = b1 - b2 * x1 * exp(-b3 * x2)"},
    {"MGH17", "y, x", "", "y = b1 + b2 * exp(-x * b4) + b3 * exp(-x * b5)"},
    {"Lanczos1", "y, x", "", "y = b1 * exp(-b2 * x) + b3 * exp(-b4 * x) + b5 * exp(-b6 * x)"},
    {"Lanczos2", "y, x", "", "y = b1 * exp(-b2 * x) + b3 * exp(-b4 * x) + b5 * exp(-b6 * x)"},
    {"Gauss3", "y, x", "",
     "y = b1 * exp(-b2 * x) + b3 * exp(-(x - b4) * (x - b4) / (b5 * b5)) + "
     "b6 * exp(-(x - b7) * (x - b7) / (b8 * b8))"},
    {"Misra1c", "y, x", "", "y = b1 * (1 - (1 + 2 * b2 * x) ^ (-0.5))"},
    {"Misra1d", "y, x", "", "y = b1 * b2 * x * ((1 + b2 * x) ^ (-1))"},
    {"Roszman1", "y, x", "", "y = b1 - b2 * x - atan(b3 / (x - b4)) / pi"},
    {"ENSO", "y, x", "",
     "y = b1 + b2 * cos(2 * pi * x / 12) + b3 * sin(2 * pi * x / 12) + b5 * cos(2 * pi * x / b4) + "
     "b6 * sin(2 * pi * x / b4) + b8 * cos(2 * pi * x / b7) + b9 * sin(2 * pi * x / b7)"},
    {"MGH09", "y, x", "", "y = b1 * (x * x + x * b2) / (x * x + x * b3 + b4)"},
    {"Thurber", "y, x", "",
     "y = (b1 + b2 * x + b3 * x * x + b4 * x * x * x) / (1 + b5 * x + b6 * x * x + b7 * x * x * x)"},
    {"BoxBOD", "y, x", "", "y = b1 * (1 - exp(-b2 * x))"},
    {"Rat42", "y, x", "", "y = b1 / (1 + exp(b2 - b3 * x))"},
    {"MGH10", "y, x", "", "y = b1 * exp(b2 / (x + b3))"},
    {"Eckerle4", "y, x", "", "y = (b1 / b2) * exp(-0.5 * ((x - b3) / b2) * ((x - b3) / b2))"},
    {"Rat43", "y, x", "", "y = b1 / ((1 + exp(b2 - b3 * x)) ^ (1 / b4))"},
    {"Bennett5", "y, x", "", "y = b1 * (b2 + x) ^ (-1 / b3)"},
};

struct NistProblem {
    std::vector<std::string> names;         // b1, b2, ...
    std::vector<std::string> start[2];      // starting values as written in the file
    std::vector<double> certified;          // certified estimates
    std::vector<double> certifiedError;     // certified standard deviations
    double certifiedRss = 0;                // certified residual sum of squares
    std::vector<std::string> data;          // data lines as written
};

NistProblem readProblem(const std::string& path)
{
    NistProblem problem;
    const std::vector<std::string> lines = splitLines(readTextFile(path));
    int dataFirst = 0;
    int dataLast = 0;
    for (const std::string& line : lines)
        if (std::sscanf(line.c_str(), " Data (lines %d to %d)", &dataFirst, &dataLast) == 2)
            break;
    for (const std::string& line : lines) {
        char name[16];
        char s1[40];
        char s2[40];
        double value = 0;
        double error = 0;
        if (std::sscanf(line.c_str(), " %15s = %39s %39s %lf %lf", name, s1, s2, &value, &error) == 5 &&
            name[0] == 'b') {
            problem.names.push_back(name);
            problem.start[0].push_back(s1);
            problem.start[1].push_back(s2);
            problem.certified.push_back(value);
            problem.certifiedError.push_back(error);
        }
        std::sscanf(line.c_str(), " Residual Sum of Squares: %lf", &problem.certifiedRss);
    }
    for (int k = dataFirst; k <= dataLast && k <= (int)lines.size(); ++k)
        problem.data.push_back(lines[k - 1]);
    return problem;
}

std::string programText(const NistModel& model, const NistProblem& problem, int start)
{
    std::ostringstream text;
    text << "// NIST StRD " << model.name << ", start " << start + 1 << "\n";
    text << "VARIABLES " << model.variables << ";\nPARAMETERS ";
    for (size_t j = 0; j < problem.names.size(); ++j)
        text << (j ? ", " : "") << problem.names[j] << " = " << problem.start[start][j];
    text << ";\n" << model.prelude << "\nFUNCTION " << model.function << ";\nDATA;\n";
    for (const std::string& line : problem.data)
        text << line << "\n";
    return text.str();
}

// Parameter rows of the listing: name, initial, estimate, standard error, t, Prob(t).
struct ListedParameter {
    double estimate = NAN;
    double stdError = NAN;
};

std::vector<ListedParameter> listedParameters(const std::string& listing, size_t count)
{
    std::vector<ListedParameter> rows;
    const std::vector<std::string> lines = splitLines(listing);
    size_t k = 0;
    while (k < lines.size() && lines[k].find("----  Calculated Parameter Values  ----") == std::string::npos)
        ++k;
    k += 4;
    for (; k < lines.size() && rows.size() < count; ++k) {
        char name[40];
        double initial = 0;
        ListedParameter row;
        if (std::sscanf(lines[k].c_str(), "%39s %lf %lf %lf", name, &initial, &row.estimate,
                        &row.stdError) >= 3)
            rows.push_back(row);
    }
    return rows;
}

double listedValue(const std::string& listing, const char* label)
{
    const size_t at = listing.find(label);
    if (at == std::string::npos)
        return NAN;
    return std::atof(listing.c_str() + at + std::strlen(label));
}

// Agreement in significant digits: -log10 of the relative error (LRE).
double digitsOfAgreement(double value, double certified)
{
    if (value == certified)
        return 15;
    const double relative = std::fabs(value - certified) / std::fabs(certified);
    return -std::log10(relative);
}

class NistRun : public ::testing::TestWithParam<int> {};

TEST_P(NistRun, CertifiedValuesFromBothStarts)
{
    const NistModel& model = nistModels[GetParam()];
    const NistProblem problem =
        readProblem(sourceDir() + "/tests/data/nist/" + std::string(model.name) + ".dat");
    ASSERT_FALSE(problem.names.empty());
    ASSERT_FALSE(problem.data.empty());
    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(std::string(model.name) + " start " + std::to_string(start + 1));
        const MoxelRun run = runMoxel(programText(model, problem, start), model.name);
        EXPECT_EQ(run.status, 0) << run.out;
        const double rss = listedValue(run.listing, "Final sum of squared deviations =");
        EXPECT_GE(digitsOfAgreement(rss, problem.certifiedRss), 6.0) << rss;
        const std::vector<ListedParameter> rows = listedParameters(run.listing, problem.names.size());
        ASSERT_EQ(rows.size(), problem.names.size()) << run.listing;
        for (size_t j = 0; j < rows.size(); ++j) {
            EXPECT_GE(digitsOfAgreement(rows[j].estimate, problem.certified[j]), 6.0)
                << problem.names[j] << " " << rows[j].estimate;
            EXPECT_GE(digitsOfAgreement(rows[j].stdError, problem.certifiedError[j]), 4.0)
                << problem.names[j] << " " << rows[j].stdError;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Strd, NistRun,
                         ::testing::Range(0, (int)(sizeof nistModels / sizeof nistModels[0])),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(nistModels[info.param].name);
                         });

}  // namespace
