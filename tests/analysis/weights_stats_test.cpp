// The weighted sums of the listing against values worked by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "analysis/statistics.h"
#include "analysis/weights.h"

namespace {

// With equal weights, whatever their size, weighted R^2 is the ordinary R^2; unequal
// weights move the weighted mean and the sums by hand-checked amounts.
TEST(WeightedStatistics, SumsAndRSquared)
{
    const std::vector<double> y = {1, 2, 4, 7};
    const std::vector<double> fit = {1.5, 2, 3.5, 7};   // residuals -0.5, 0, 0.5, 0
    const ResidualStats plain = statisticsResiduals(y.data(), fit.data(), 4, 2);
    for (double w : {1.0, 0.25, 1e6}) {
        const std::vector<double> weights(4, w);
        const WeightedStats ws = weightsStatistics(y.data(), fit.data(), weights.data(), 4, 2);
        EXPECT_NEAR(ws.rSquared, plain.rSquared, 1e-14) << w;
        EXPECT_NEAR(ws.adjRSquared, plain.adjRSquared, 1e-14) << w;
        EXPECT_NEAR(ws.residualSS, w * 0.5, 1e-15 * w) << w;
        EXPECT_NEAR(ws.plainResidualSS, 0.5, 1e-15) << w;
    }
    // Weights 1, 1, 2, 4: weighted mean (1 + 2 + 8 + 28) / 8 = 4.875; total
    // 15.015625 + 8.265625 + 2 * 0.765625 + 4 * 4.515625 = 42.875; residual 0.25 + 2 * 0.25.
    const std::vector<double> weights = {1, 1, 2, 4};
    const WeightedStats ws = weightsStatistics(y.data(), fit.data(), weights.data(), 4, 2);
    EXPECT_DOUBLE_EQ(ws.sumWeights, 8);
    EXPECT_DOUBLE_EQ(ws.weightedMean, 4.875);
    EXPECT_DOUBLE_EQ(ws.totalSS, 42.875);
    EXPECT_DOUBLE_EQ(ws.residualSS, 0.75);
    EXPECT_DOUBLE_EQ(ws.rSquared, 1 - 0.75 / 42.875);
    EXPECT_DOUBLE_EQ(ws.adjRSquared, 1 - (0.75 / 42.875) * 3 / 2);
    EXPECT_EQ(ws.df, 2);
}

// Prob(chi-square_df > x) against closed forms: exp(-x/2) for 2 degrees of freedom,
// erfc(sqrt(x/2)) for 1, (1 + x/2) exp(-x/2) for 4; never below the listing's floor.
// The incomplete gamma function behind it is good to about 1e-8, far beyond the five
// decimals the listing shows.
TEST(WeightedStatistics, ChiSquareProbability)
{
    const struct {
        int df;
        double x;
        double expected;
    } cases[] = {
        {2, 2.0, std::exp(-1.0)},
        {2, 0.1, std::exp(-0.05)},
        {1, 3.0, std::erfc(std::sqrt(1.5))},
        {4, 5.0, 3.5 * std::exp(-2.5)},
        {4, 80.0, STAT_PROB_FLOOR},
    };
    for (const auto& c : cases) {
        // n - p = df residuals of size 0 and one of size sqrt(x), all weights 1.
        std::vector<double> y(c.df + 1, 0.0), fit(c.df + 1, 0.0), weights(c.df + 1, 1.0);
        y[0] = std::sqrt(c.x);
        const WeightedStats ws = weightsStatistics(y.data(), fit.data(), weights.data(), c.df + 1, 1);
        EXPECT_NEAR(ws.probChiSquare, c.expected, 1e-7) << c.df << " " << c.x;
    }
}

}  // namespace
