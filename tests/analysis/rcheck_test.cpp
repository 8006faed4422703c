// Cross-check of the Final Results statistics against R's nls on generated data sets.
// The reference values were computed once with R 4.2 (Debian 12):
//
//   m <- nls(y ~ a*exp(-b*x)+c, data=d, start=list(a=4,b=0.5,c=1),
//            control=nls.control(tol=1e-8, maxiter=500)); s <- summary(m)
//   coef(s); s$sigma; r <- residuals(m); rss <- sum(r^2); tss <- sum((y-mean(y))^2)
//   1-rss/tss; 1-(rss/tss)*(n-1)/(n-p); sum(diff(r)^2)/rss
//   F <- ((tss-rss)/(p-1))/(rss/(n-p)); pf(F, p-1, n-p, lower.tail=FALSE)
//   coef(m) -/+ qt((1+level)/2, n-p) * coef(s)[,2]; vcov(m)
//
// and likewise for y ~ K/(1+exp(-r*(t-m))) from K=40, r=0.3, m=10 at level 0.90.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

struct ParameterReference {
    const char* name;
    double estimate;
    double stdError;
    double t;
    double lower;       // confidence limits
    double upper;
};

struct RReference {
    const char* program;
    ParameterReference parameters[3];
    double rss;
    double sigma;
    double rSquared;
    double adjRSquared;
    double durbinWatson;
    double F;
    double covariance01;    // vcov[0][1]
};

const RReference references[] = {
    {"TITLE \"Exponential with offset\";\n"
     "VARIABLES x, y;\nPARAMETERS a = 4, b = 0.5, c = 1;\n"
     "FUNCTION y = a * exp(-b * x) + c;\nCONFIDENCE 95;\nCOVARIANCE;\nDATA;\n"
     "0.0 6.1731\n0.4 5.1658\n0.8 4.1860\n1.2 3.6993\n1.6 2.8904\n2.0 2.6430\n2.4 2.2407\n"
     "2.8 2.0508\n3.2 1.8286\n3.6 1.5515\n4.0 1.4070\n4.4 1.4903\n4.8 1.4198\n5.2 1.2807\n"
     "5.6 1.2251\n6.0 1.1258\n6.4 1.1549\n6.8 0.8540\n7.2 1.1919\n7.6 1.2720\n8.0 1.0104\n"
     "8.4 1.1509\n8.8 1.1518\n9.2 1.0831\n9.6 1.1315\n",
     {{"a", 5.160061153984, 0.0802112880584, 64.3308601431, 4.993713123938, 5.326409184030},
      {"b", 0.605946959163, 0.0201539010117, 30.0659886546, 0.564150326642, 0.647743591684},
      {"c", 1.058439842735, 0.0334895384567, 31.6050889773, 0.988986790873, 1.127892894597}},
     0.22088688934, 0.100201363024, 0.995265044204, 0.994834593677, 2.45032916374,
     2312.14734771, 0.000523981981725},
    {"VARIABLES t, y;\nPARAMETERS K = 40, r = 0.3, m = 10;\n"
     "FUNCTION y = K / (1 + exp(-r * (t - m)));\nCONFIDENCE 90;\nCOVARIANCE;\nDATA;\n"
     "0.0 -0.040\n1.5 1.454\n3.0 2.245\n4.5 4.133\n6.0 5.983\n7.5 9.166\n9.0 14.660\n"
     "10.5 24.464\n12.0 28.736\n13.5 37.645\n15.0 42.403\n16.5 47.142\n18.0 48.628\n"
     "19.5 49.951\n21.0 52.021\n22.5 50.923\n24.0 50.478\n25.5 52.941\n",
     {{"K", 52.09280519778, 0.4615018209541, 112.8767056435, 51.28376926641, 52.90184112916},
      {"r", 0.39640167852, 0.0141928407071, 27.9296926316, 0.37152091407, 0.42128244297},
      {"m", 11.18243604930, 0.1079603701864, 103.5790821205, 10.99317608394, 11.37169601465}},
     12.9239863354, 0.928223620161, 0.998285596762, 0.998057009663, 2.84468616422,
     4367.20008994, -0.003654499073894},
};

double valueAfter(const std::string& text, const std::string& label)
{
    const size_t at = text.find(label);
    if (at == std::string::npos)
        return NAN;
    return std::atof(text.c_str() + at + label.size());
}

// Line of the listing that starts with the given text, after the given heading.
std::string lineAfter(const std::string& text, const std::string& heading, const std::string& start)
{
    size_t at = text.find(heading);
    if (at == std::string::npos)
        return "";
    for (const std::string& line : splitLines(text.substr(at)))
        if (line.compare(0, start.size(), start) == 0)
            return line;
    return "";
}

std::vector<double> numbers(const std::string& line)
{
    std::vector<double> values;
    const char* c = line.c_str();
    while (*c) {
        char* end = nullptr;
        const double v = std::strtod(c, &end);
        if (end != c) {
            values.push_back(v);
            c = end;
        } else {
            ++c;
        }
    }
    return values;
}

void expectRelative(double value, double reference, double tolerance, const char* what)
{
    EXPECT_NEAR(value, reference, std::fabs(reference) * tolerance) << what;
}

class RCrossCheck : public ::testing::TestWithParam<int> {};

TEST_P(RCrossCheck, StatisticsMatchNls)
{
    const RReference& ref = references[GetParam()];
    const MoxelRun run = runMoxel(ref.program);
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string& text = run.listing;
    expectRelative(valueAfter(text, "Final sum of squared deviations ="), ref.rss, 1e-6, "RSS");
    expectRelative(valueAfter(text, "Standard error of estimate ="), ref.sigma, 1e-5, "sigma");
    EXPECT_NEAR(valueAfter(text, "(R^2) ="), ref.rSquared, 0.00006);
    EXPECT_NEAR(valueAfter(text, "(Ra^2) ="), ref.adjRSquared, 0.00006);
    EXPECT_NEAR(valueAfter(text, "autocorrelation ="), ref.durbinWatson, 0.0006);

    for (const ParameterReference& p : ref.parameters) {
        // name, initial guess, estimate, standard error, t, Prob(t)
        const std::vector<double> row =
            numbers(lineAfter(text, "Calculated Parameter Values", std::string(10 - std::strlen(p.name), ' ') + p.name));
        ASSERT_EQ(row.size(), 5u) << p.name;
        expectRelative(row[1], p.estimate, 1e-6, p.name);
        expectRelative(row[2], p.stdError, 1e-4, p.name);
        EXPECT_NEAR(row[3], p.t, std::fabs(p.t) * 1e-4 + 0.006) << p.name;
        EXPECT_EQ(row[4], 0.00001) << p.name;     // all far below the floor
        const std::vector<double> limits =
            numbers(lineAfter(text, "Confidence Intervals", std::string(10 - std::strlen(p.name), ' ') + p.name));
        ASSERT_EQ(limits.size(), 3u) << p.name;
        // The t quantile comes from bisection to 1e-4: the limits agree to that times s.
        EXPECT_NEAR(limits[0], p.lower, p.stdError * 2e-4 + std::fabs(p.lower) * 1e-7) << p.name;
        EXPECT_NEAR(limits[2], p.upper, p.stdError * 2e-4 + std::fabs(p.upper) * 1e-7) << p.name;
    }

    const std::vector<double> regression = numbers(lineAfter(text, "Analysis of Variance", "Regression"));
    ASSERT_EQ(regression.size(), 5u);
    EXPECT_EQ(regression[0], 2);
    expectRelative(regression[3], ref.F, 1e-4, "F");
    EXPECT_EQ(regression[4], 0.00001);

    const std::vector<double> covarianceRow =
        numbers(lineAfter(text, "Variance-Covariance Matrix", std::string(9, ' ') + ref.parameters[0].name + ":"));
    ASSERT_EQ(covarianceRow.size(), 3u);
    expectRelative(covarianceRow[1], ref.covariance01, 1e-3, "covariance");
}

INSTANTIATE_TEST_SUITE_P(Nls, RCrossCheck, ::testing::Range(0, 2));

}  // namespace

namespace {

// Probabilities away from the floor, four parameters, and Prob(F) of a poor fit.
// Reference values from R 4.2 (Debian 12) with nls from the same starting values (for
// the first, poorly determined fit, nls stops early at its default tolerance, so its
// minimum was found by 100 plain Gauss-Newton steps with the analytic Jacobian), then
// summary(m)$coefficients (estimate, standard error, t, Pr(>|t|)),
// coef(m) -/+ qt((1+level)/2, n-p) * se, and pf(F, p-1, n-p, lower.tail=FALSE) with
// F = ((tss-rss)/(p-1))/(rss/(n-p)).
struct ProbabilityParameter {
    const char* name;
    double estimate;
    double stdError;
    double t;
    double probT;       // two-sided Prob(|T| > t)
    double lower;       // confidence limits
    double upper;
};

struct ProbabilityReference {
    const char* program;
    std::vector<ProbabilityParameter> parameters;
    double rSquared;
    double adjRSquared;
    double durbinWatson;
    double F;
    double probF;
};

const ProbabilityReference probabilityReferences[] = {
    {"VARIABLES x, y;\nPARAMETERS a = 1, b = 0.1;\nFUNCTION y = a * exp(b * x);\nCONFIDENCE 90;\n"
     "DATA;\n1 1.30\n2 0.95\n3 1.62\n4 1.21\n5 1.85\n6 1.40\n7 2.10\n8 1.55\n",
     {{"a", 1.14456082900971, 0.21239286161916, 5.388885578754, 0.001681456454741, 0.731843208589140, 1.5572784494303},
      {"b", 0.05784289366131, 0.03331479767952, 1.736252286979, 0.133198742810741, -0.006893764238896, 0.1225795515615}},
     0.3464571231109, 0.237533310296, 3.532859863223, 3.180728934818, 0.1247775985476},
    {"VARIABLES x, y;\nPARAMETERS asym = 10, mid = 5, scal = 1, base = 0;\n"
     "FUNCTION y = base + asym / (1 + exp((mid - x) / scal));\nCONFIDENCE 95;\nDATA;\n"
     "0 0.973908\n0.5 1.204093\n1 1.237415\n1.5 1.129781\n2 2.023906\n2.5 2.118614\n3 3.020660\n"
     "3.5 3.538144\n4 4.704763\n4.5 5.458953\n5 6.541595\n5.5 7.958914\n6 7.967983\n6.5 8.691475\n"
     "7 8.677414\n7.5 9.195700\n8 9.611133\n8.5 9.620237\n9 9.825121\n9.5 9.849797\n",
     {{"asym", 9.07472857082, 0.255740810453, 35.4840846666, 1.21362675684e-16, 8.53258227151, 9.61687487013},
      {"mid", 4.34951078537, 0.0759035987552, 57.3030904555, 6.01533222567e-20, 4.18860234414, 4.5104192266},
      {"scal", 1.13045125789, 0.076128175186, 14.8493150549, 8.88900822342e-11, 0.969066735897, 1.29183577989},
      {"base", 0.775406685086, 0.169592844832, 4.57216627183, 0.000313217525246, 0.415885914616, 1.13492745556}},
     0.996657764099, 0.996031094867, 2.63101696908, 1590.40481643, 5.19036923031e-20},
};

class RProbabilities : public ::testing::TestWithParam<int> {};

TEST_P(RProbabilities, ProbabilitiesAndLimitsMatchNls)
{
    const ProbabilityReference& ref = probabilityReferences[GetParam()];
    const MoxelRun run = runMoxel(ref.program);
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string& text = run.listing;
    EXPECT_NEAR(valueAfter(text, "(R^2) ="), ref.rSquared, 0.00006);
    EXPECT_NEAR(valueAfter(text, "(Ra^2) ="), ref.adjRSquared, 0.00006);
    EXPECT_NEAR(valueAfter(text, "autocorrelation ="), ref.durbinWatson, 0.0006);
    for (const ProbabilityParameter& p : ref.parameters) {
        const std::string lead = std::string(10 - std::strlen(p.name), ' ') + p.name;
        const std::vector<double> row = numbers(lineAfter(text, "Calculated Parameter Values", lead));
        ASSERT_EQ(row.size(), 5u) << p.name;
        expectRelative(row[1], p.estimate, 1e-6, p.name);
        expectRelative(row[2], p.stdError, 1e-4, p.name);
        EXPECT_NEAR(row[3], p.t, std::fabs(p.t) * 1e-4 + 0.006) << p.name;
        // Printed with five decimals and never below the floor.
        EXPECT_NEAR(row[4], std::max(p.probT, 0.00001), 0.0000051) << p.name;
        const std::vector<double> limits = numbers(lineAfter(text, "Confidence Intervals", lead));
        ASSERT_EQ(limits.size(), 3u) << p.name;
        EXPECT_NEAR(limits[0], p.lower, p.stdError * 2e-4 + std::fabs(p.lower) * 1e-7) << p.name;
        EXPECT_NEAR(limits[2], p.upper, p.stdError * 2e-4 + std::fabs(p.upper) * 1e-7) << p.name;
    }
    const std::vector<double> regression = numbers(lineAfter(text, "Analysis of Variance", "Regression"));
    ASSERT_EQ(regression.size(), 5u);
    EXPECT_EQ(regression[0], (double)ref.parameters.size() - 1);
    EXPECT_NEAR(regression[3], ref.F, ref.F * 1e-4 + 0.006);     // printed with two decimals
    EXPECT_NEAR(regression[4], std::max(ref.probF, 0.00001), 0.0000051);
}

INSTANTIATE_TEST_SUITE_P(Nls, RProbabilities, ::testing::Range(0, 2));

}  // namespace
