// Take-over of the solver's packed covariance matrix, the dropped request when there
// is none, and the warnings written in its place.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "analysis/covariance.h"
#include "analysis/results.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "support/listing.h"

namespace {

class CovarianceTest : public ::testing::Test {
protected:
    Symbol symbols[3] = {};
    CovarianceState state = {};
    AnalysisResults record = {};

    void SetUp() override
    {
        settingsReset();
        for (int j = 0; j < 3; ++j) {
            snprintf(symbols[j].name, sizeof symbols[j].name, "b%d", j + 1);
            symbols[j].kind = SYM_PARAMETER;
            parameters[j] = &symbols[j];
        }
        parameterCount = 3;
        listingClear();
    }

    void TearDown() override
    {
        parameterCount = 0;
        listingClear();
        settingsReset();
    }

    std::string screen()
    {
        std::string text;
        for (ListingLine* line = listingHead(); line; line = line->next)
            text += std::string(line->text) + "|";
        return text;
    }
};

TEST_F(CovarianceTest, PackedLowerTriangleIsUnpackedAndMirrored)
{
    const double packed[] = {1, 2, 3, 4, 5, 6};   // [0][0] [1][0] [1][1] [2][0] [2][1] [2][2]
    double matrix[9];
    std::memset(matrix, 0xff, sizeof matrix);
    state.code = -3;
    covarianceTakeOver(7, packed, matrix, 3, &state);
    const double expected[9] = {1, 2, 4, 2, 3, 5, 4, 5, 6};
    for (int k = 0; k < 9; ++k)
        EXPECT_EQ(matrix[k], expected[k]) << k;
    EXPECT_EQ(state.status, 7);
    EXPECT_EQ(state.code, -3);
}

TEST_F(CovarianceTest, NoMatrixDropsTheRequestAndClears)
{
    double matrix[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
    settings.covarianceCode = -3;
    settings.printCovariance = true;
    state.code = -3;
    state.print = true;
    covarianceTakeOver(0, nullptr, matrix, 3, &state);
    for (double v : matrix)
        EXPECT_EQ(v, 0.0);
    EXPECT_EQ(state.code, 0);
    EXPECT_FALSE(state.print);
    // The program's own settings are read-only during a run.
    EXPECT_EQ(settings.covarianceCode, -3);
    EXPECT_TRUE(settings.printCovariance);
    EXPECT_EQ(state.status, 0);
}

TEST_F(CovarianceTest, ConstrainedWithCovarianceRequestBecomesMinusThree)
{
    double matrix[9];
    symbols[1].constrained = 1;
    state.print = true;
    covarianceTakeOver(0, nullptr, matrix, 3, &state);
    EXPECT_EQ(state.status, COV_CONSTRAINED);

    // Without COVARIANCE a constrained model gets no warning at all.
    state.print = false;
    covarianceTakeOver(0, nullptr, matrix, 3, &state);
    EXPECT_EQ(state.status, 0);
}

TEST_F(CovarianceTest, Warnings)
{
    const struct {
        int status;
        int constrainCount;
        const char* screen;
    } cases[] = {
        {0, 1, ""},
        {-3, 1,
         "Warning: Covariance matrix could not be computed because|constraints were specified for "
         "parameters.|Try removing constraints on parameters.|"},
        {-2, 0,
         "Warning: Covariance matrix could not be computed because a|successful finite-differencing step "
         "could not be found.|"},
        {-1, 0, "Warning: Covariance matrix could not be computed because|the finite-difference Hessian was indefinite.|"},
        {-7, 2, "Warning: Covariance matrix could not be computed.|Try removing constraints on parameters.|"},
    };
    for (const auto& c : cases) {
        listingClear();
        record.covarianceState.status = c.status;
        settings.constrainCount = c.constrainCount;
        covarianceWriteWarning(record);
        EXPECT_EQ(screen(), c.screen) << c.status;
    }
}

}  // namespace
