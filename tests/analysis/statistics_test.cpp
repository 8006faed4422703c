// Residual sums, per-parameter statistics and the small formatting helpers of the
// Final Results, on hand-made values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/report.h"
#include "analysis/statistics.h"
#include "testutil.h"

namespace {

TEST(ResidualStatistics, SumsOfAKnownFit)
{
    // d = 1, -1, 2, -2 around y = 1, 2, 3, 4.
    const double observed[] = {1, 2, 3, 4};
    const double predicted[] = {0, 3, 1, 6};
    const ResidualStats st = statisticsResiduals(observed, predicted, 4, 2);
    EXPECT_DOUBLE_EQ(st.count, 4);
    EXPECT_DOUBLE_EQ(st.sumY, 10);
    EXPECT_DOUBLE_EQ(st.sumY2, 30);
    EXPECT_DOUBLE_EQ(st.totalSS, 5);
    EXPECT_DOUBLE_EQ(st.residualSS, 10);
    EXPECT_DOUBLE_EQ(st.regressionSS, 0);          // negative difference is clamped
    EXPECT_DOUBLE_EQ(st.sumDev, 0);
    EXPECT_DOUBLE_EQ(st.absDev, 1.5);
    EXPECT_DOUBLE_EQ(st.maxDev, 2);
    EXPECT_DOUBLE_EQ(st.dwNumerator, 4 + 9 + 16);
    EXPECT_DOUBLE_EQ(st.rSquared, 0);              // worse than the mean
    EXPECT_DOUBLE_EQ(st.durbinWatson, 2.9);
    EXPECT_FALSE(st.oneSided);
}

TEST(ResidualStatistics, RSquaredAndAdjusted)
{
    const double observed[] = {1, 2, 3, 4, 5};
    const double predicted[] = {1.1, 1.9, 3.0, 4.2, 4.9};
    const ResidualStats st = statisticsResiduals(observed, predicted, 5, 2);
    EXPECT_NEAR(st.residualSS, 0.07, 1e-12);
    EXPECT_NEAR(st.totalSS, 10, 1e-12);
    EXPECT_NEAR(st.rSquared, 1 - 0.007, 1e-12);
    EXPECT_NEAR(st.adjRSquared, 1 - 0.007 * 4 / 3, 1e-12);
}

struct OneSideCase {
    double d[3];     // residuals observed - predicted
    bool oneSided;
};

TEST(ResidualStatistics, OneSidedCountsNearZeroOnBothSides)
{
    const OneSideCase cases[] = {
        {{1, 2, 3}, true},
        {{-1, -2, -3}, true},
        {{1, 2, 5e-10}, false},      // near zero counts on both sides
        {{1, 2, -5e-10}, false},
        {{1, 2, 2e-9}, true},
        {{1, -2, 3}, false},
        {{0, 0, 0}, false},          // all on both sides: neither count is zero
    };
    for (const OneSideCase& c : cases) {
        const double predicted[] = {0, 0, 0};
        const ResidualStats st = statisticsResiduals(c.d, predicted, 3, 1);
        EXPECT_EQ(st.oneSided, c.oneSided) << c.d[0] << " " << c.d[1] << " " << c.d[2];
    }
}

TEST(ParameterStatistics, TAndProbability)
{
    ParameterStatistics ps = {};
    statisticsForEstimate(2.0, 0.25, 10, &ps);
    EXPECT_TRUE(ps.hasStatistics);
    EXPECT_DOUBLE_EQ(ps.stdError, 0.5);
    EXPECT_DOUBLE_EQ(ps.tValue, 4.0);
    // R: 2 * pt(-4, 10) = 0.00251833262474
    EXPECT_NEAR(ps.probT, 0.00251833262474, 1e-10);

    statisticsForEstimate(5.0, 1e-50, 10, &ps);     // standard error 1e-25: t = 5e25
    EXPECT_TRUE(ps.tAvailable);
    EXPECT_DOUBLE_EQ(ps.tValue, 5e25);
    EXPECT_EQ(ps.probT, 0.00001);                    // never shown as zero
}

// t is estimate / standard error in any units; only a standard error that is not
// positive and finite leaves it undefined, never a stand-in number.
TEST(ParameterStatistics, TFollowsTheRatioAtAnyScale)
{
    struct TCase {
        double estimate;
        double variance;
        bool available;
        double t;           // expected t when available
        double prob;        // expected Prob(t), 10 degrees of freedom
    };
    const TCase cases[] = {
        // 2 * P(T > 3.2 / 6.6), 10 degrees of freedom = 0.63822895 (Simpson, 2e5 panels)
        {3.2e-21, 6.6e-21 * 6.6e-21, true, 3.2 / 6.6, 0.63822895},
        {3.2e21, 6.6e21 * 6.6e21, true, 3.2 / 6.6, 0.63822895},
        {-2.0, 0.25, true, -4.0, 0.00251833262474},
        {1.0, 1e-300 * 1e-300, false, 0, 0},       // variance underflows to 0
        {1.0, 0.0, false, 0, 0},
        {0.0, 0.0, false, 0, 0},
    };
    for (const TCase& c : cases) {
        ParameterStatistics ps = {};
        statisticsForEstimate(c.estimate, c.variance, 10, &ps);
        EXPECT_EQ(ps.tAvailable, c.available) << c.estimate << " " << c.variance;
        if (!c.available)
            continue;
        EXPECT_NEAR(ps.tValue, c.t, 1e-12 * std::fabs(c.t)) << c.estimate;
        EXPECT_NEAR(ps.probT, c.prob, 1e-6) << c.estimate;
    }
}

TEST(VariableStatistics, ColumnOfAMatrix)
{
    const double rows[] = {1, 10, 2, 20, 4, 40};    // two columns
    const VariableStatistics vs = statisticsVariable(rows + 1, 2, 3);
    EXPECT_DOUBLE_EQ(vs.minimum, 10);
    EXPECT_DOUBLE_EQ(vs.maximum, 40);
    EXPECT_NEAR(vs.mean, 70.0 / 3, 1e-12);
    EXPECT_NEAR(vs.standardDeviation, std::sqrt(233.3333333333333), 1e-9);
    EXPECT_EQ(statisticsVariable(rows, 2, 1).standardDeviation, 0);
    // A constant column has no spread, whatever rounding of its sums would say.
    const double constant[] = {0.1, 0.1, 0.1};
    EXPECT_EQ(statisticsVariable(constant, 1, 3).standardDeviation, 0);
    // An infinite value leaves no meaningful spread, and must not show as 0.
    const double withInfinity[] = {1, HUGE_VAL, 2};
    EXPECT_FALSE(std::isfinite(statisticsVariable(withInfinity, 1, 3).standardDeviation));
}

TEST(VariableStatistics, ValuesNearTheEndsOfTheDoubleRange)
{
    // Squares of 1e308 overflow and those of 1e-320 vanish; neither may reach the result.
    const struct {
        double values[3];
        double mean;
        double standardDeviation;
    } cases[] = {
        {{1e308, -1e308, 0.0}, 0, 1e308},
        {{1.5e308, 1.5e308, 1.5e308}, 1.5e308, 0},
        {{1e308, 1e308, -4.37}, 1e308 / 3 * 2, 1e308 / std::sqrt(3.0)},
        {{1e-320, 3e-320, 2e-320}, 2e-320, 1e-320},
    };
    for (const auto& c : cases) {
        const VariableStatistics vs = statisticsVariable(c.values, 1, 3);
        EXPECT_NEAR(vs.mean, c.mean, std::fabs(c.mean) * 1e-12 + 1e-323) << c.values[0];
        EXPECT_NEAR(vs.standardDeviation, c.standardDeviation, c.standardDeviation * 1e-3 + 1e-323)
            << c.values[0];
    }
}

TEST(ResidualStatistics, ResidualThatIsNotANumberShowsInTheMaximum)
{
    const double observed[] = {1, 2, 3};
    const double predicted[] = {1.5, std::nan(""), 3.25};
    EXPECT_TRUE(std::isnan(statisticsResiduals(observed, predicted, 3, 1).maxDev));
}

TEST(Correlation, FromSums)
{
    // x = 1,2,3; y = 2,4,7
    EXPECT_NEAR(statisticsCorrelationOfSums(3, 6, 13, 14, 69, 31), 0.9933992677987828, 1e-12);
    EXPECT_FALSE(std::isfinite(statisticsCorrelationOfSums(3, 6, 3, 14, 3, 6)));   // constant column
}

TEST(Correlation, ValuesNearTheEndsOfTheDoubleRange)
{
    // Squares of 1e200 overflow and those of 1e-310 vanish; the coefficients are those
    // of x = 1, 2, 3, 4 and t = 1, 3, 2, 5.
    const MoxelRun run = runMoxel("VARIABLES x, t, y;\nPARAMETERS a = 1;\nFUNCTION y = a * x * 1e-200;\n"
                                  "CORRELATE x, t, y;\nDATA;\n1e200 1e-310 1\n2e200 3e-310 2\n"
                                  "3e200 2e-310 4\n4e200 5e-310 3.9\n");
    EXPECT_NE(run.listing.find("         x:     1.000       0.832       0.938  \n"
                               "         t:     0.832       1.000       0.600  \n"
                               "         y:     0.938       0.600       1.000  \n"),
              std::string::npos) << run.listing;
}

// The correlation matrix mirrors its upper triangle: the coefficient must not depend on
// the order of its two columns, to the last bit, whatever their scales and strides.
TEST(Correlation, SymmetricToTheLastBit)
{
    const int n = 257;
    std::vector<double> table((size_t)n * 3);
    for (int i = 0; i < n; ++i) {
        table[(size_t)i * 3] = 1e200 * std::sin(0.37 * i) + 3e199;
        table[(size_t)i * 3 + 1] = 1e-310 * (i % 11) - 4e-311;
        table[(size_t)i * 3 + 2] = 1e8 + 0.001 * std::cos(1.3 * i) + 1e-3 * i;
    }
    std::vector<double> plain(n);
    for (int i = 0; i < n; ++i)
        plain[i] = (i * 7919 % 263) * 0.25 - 30.0;
    const struct {
        const double* a;
        int strideA;
    } columns[] = {{table.data(), 3}, {table.data() + 1, 3}, {table.data() + 2, 3}, {plain.data(), 1}};
    for (const auto& x : columns)
        for (const auto& y : columns) {
            const double xy = statisticsCorrelation(x.a, x.strideA, y.a, y.strideA, n);
            const double yx = statisticsCorrelation(y.a, y.strideA, x.a, x.strideA, n);
            EXPECT_EQ(std::memcmp(&xy, &yx, sizeof xy), 0) << xy << " " << yx;
            EXPECT_TRUE(std::isfinite(xy));
        }
}

TEST(CenterName, Table)
{
    const struct {
        const char* name;
        const char* heading;
    } cases[] = {
        {"abcd", "   abcd   "},
        {"x", "     x    "},
        {"abcdefghi", " abcdefghi"},
        {"abcdefghij", "abcdefghij"},
        {"abcdefghijkl", "abcdefghijkl"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(statisticsCenterName(c.name), c.heading) << c.name;
}

TEST(FormatTValue, AsymmetricLimits)
{
    const struct {
        double t;
        const char* text;
    } cases[] = {
        {123456.78, "123456.78"},
        {-123456.78, " -1.2E+05"},
        {999999.99, "999999.99"},
        {1000000, "  1.0E+06"},
        {-99999.5, "-99999.50"},
        {-100000, " -1.0E+05"},
        {2.5, "     2.50"},
    };
    char buffer[32];
    for (const auto& c : cases) {
        reportFormatTValue(buffer, sizeof buffer, c.t);
        EXPECT_STREQ(buffer, c.text) << c.t;
    }
}

}  // namespace
