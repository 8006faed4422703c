// The analysis driver: the SWEEP odometer, the solver's return codes as stop codes, the
// stop-reason line, the residual routine's handling of points that cannot be computed,
// and batch-mode outcomes.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "analysis/driver.h"
#include "analysis/report.h"
#include "analysis/results.h"
#include "analysis/statistics.h"
#include "exec/interpreter.h"
#include "lang/compiler.h"
#include "lang/linesource.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "solver/solver.h"
#include "support/listing.h"
#include "testutil.h"

namespace {

std::vector<std::vector<int>> odometerPoints(std::vector<int> stepCounts)
{
    std::vector<SweepEntry> sweeps(stepCounts.size());
    for (size_t e = 0; e < sweeps.size(); ++e) {
        sweeps[e] = SweepEntry{};
        sweeps[e].stepCount = stepCounts[e];
    }
    std::vector<int> current(sweeps.size(), 0);
    std::vector<std::vector<int>> points;
    do {
        points.push_back(current);
    } while (driverSweepAdvance(current.data(), sweeps.data(), (int)sweeps.size()) && points.size() < 100);
    return points;
}

TEST(SweepOdometer, OneEntryVisitsEveryValueInclusive)
{
    // SWEEP a = 1, 5, 1 has stepCount 4: a = 1, 2, 3, 4, 5.
    EXPECT_EQ(odometerPoints({4}), (std::vector<std::vector<int>>{{0}, {1}, {2}, {3}, {4}}));
}

TEST(SweepOdometer, LastEntryTurnsFastest)
{
    EXPECT_EQ(odometerPoints({2, 1}),
              (std::vector<std::vector<int>>{{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}}));
}

std::vector<std::string> screenLines()
{
    std::vector<std::string> lines;
    for (ListingLine* line = listingHead(); line; line = line->next)
        lines.push_back(line->text);
    return lines;
}

TEST(StopCodes, EverySolverReturnHasItsStopCode)
{
    const struct { int code; int stop; } rows[] = {
        {3, 5}, {4, 4}, {5, 6}, {6, 3}, {7, 2}, {8, 1}, {9, -6}, {10, -1}, {13, -2}, {15, -4},
        {11, -3}, {12, -3}, {14, -3}, {16, -3}, {17, -3}, {32, -3}, {67, -3}, {0, -3},
    };
    for (const auto& row : rows) EXPECT_EQ(driverStopCode(row.code), row.stop) << "IV(1) = " << row.code;
}

TEST(StopReason, EachCallWritesOneScreenLine)
{
    listingClear();
    reportStopReason(STOP_ITERATION_LIMIT);
    reportStopReason(-5);
    EXPECT_EQ(screenLines(), (std::vector<std::string>{
                                 "Stopped due to: Function did not converge before iteration limit reached.",
                                 "Stopped due to: ",
                             }));
    listingClear();
}

// Compiles and analyses a program in-process; returns the stop code (99: no compile).
int analyse(const std::string& text)
{
    driverRelease();
    compilerReleaseAll();
    settingsReset();
    listingClear();
    programPath = testTempDir() + "/prog.mxl";
    TextLines lines;
    const LineSource source = lineSourceFromText(lines, text.c_str(), text.size());
    if (!compileProgram(&source))
        return 99;
    driverStart();
    driverWait();
    analysisRunning.store(false);
    return analysis.stopCode;
}

void quiet(const char*) {}

class DriverRun : public ::testing::Test {
protected:
    void SetUp() override { listingSetSink(quiet); }
    void TearDown() override
    {
        driverRelease();
        compilerReleaseAll();
        listingClear();
        listingSetSink(nullptr);
    }
};

const char EXP_DATA[] = "DATA;\n0 1.1\n1 2.6\n2 7.5\n3 19.8\n4 55.1\n";

TEST_F(DriverRun, InfiniteModelAtTheStartCannotBeComputed)
{
    // exp(1000 x) overflows for x >= 1: the residual is not finite, so the point fails.
    const int code = analyse(std::string("VARIABLES x, y;\nPARAMETERS a = 1, b = 1000;\n"
                                         "FUNCTION y = a * exp(b * x);\n") + EXP_DATA);
    EXPECT_EQ(code, STOP_NO_START);
    EXPECT_FALSE(analysis.analysisCompleted);
    // The solver formed no sum of squares: the final pass gives it (the failed
    // evaluations count as 0), not a perfect 0.
    EXPECT_NEAR(analysis.finalSumSquares, 0.1 * 0.1 + 2.6 * 2.6 + 7.5 * 7.5 + 19.8 * 19.8 + 55.1 * 55.1, 1e-9);
}

TEST_F(DriverRun, IterationLimitStillCountsAsResults)
{
    const int code = analyse(std::string("VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nITERATIONS 2;\n"
                                         "FUNCTION y = a * exp(b * x);\n") + EXP_DATA);
    EXPECT_EQ(code, STOP_ITERATION_LIMIT);
    EXPECT_TRUE(analysis.analysisCompleted);
    EXPECT_EQ(analysis.iterationCount, 2);
    // The final pass holds the model at the final parameters, and the observations.
    EXPECT_NEAR(analysis.predicted[4], parameters[0]->value * std::exp(4 * parameters[1]->value), 1e-12);
    EXPECT_EQ(analysis.observed[4], 55.1);
}

TEST_F(DriverRun, FunctionMinimisationSeesEqualResidualsOfAbsoluteValue)
{
    // |F| with F = (a - 2)^2 + (b + 1)^2 + (c - 3)^2 - 5 is minimised at |F| = 0, on a sphere.
    const int code = analyse("PARAMETERS a = 0, b = 0, c = 0;\n"
                             "FUNCTION (a - 2) ^ 2 + (b + 1) ^ 2 + (c - 3) ^ 2 - 5;\n");
    EXPECT_GE(code, STOP_ABSOLUTE);
    EXPECT_LT(std::fabs(analysis.predicted[0]), 1e-8);
    EXPECT_LT(analysis.finalSumSquares, 1e-8);
}

TEST_F(DriverRun, SweepKeepsTheBestConvergedStart)
{
    // From w = 1 the fit of sin(w t) falls into a side minimum; the sweep finds w near 2.
    const int code = analyse("VARIABLES t, y;\nPARAMETERS A = 1, w = 1;\nFUNCTION y = A * sin(w * t);\n"
                             "SWEEP w = 0.5, 3, 0.5;\nDATA;\n0.0 0.02\n0.5 1.62\n1.0 1.82\n1.5 0.28\n"
                             "2.0 -1.53\n2.5 -1.87\n3.0 -0.55\n3.5 1.31\n4.0 1.97\n4.5 0.83\n");
    EXPECT_GE(code, STOP_ABSOLUTE);
    EXPECT_NEAR(parameters[1]->value, 2.0, 0.01);
    // The best grid start is shown as the guess; the compiled initial guess stays.
    EXPECT_EQ(analysis.initialGuess[1], 1.5);
    EXPECT_EQ(statisticsParameter(results, 1).initialGuess, 1.5);
    EXPECT_EQ(parameters[1]->initialValue, 1.0);
    EXPECT_EQ(progressSweepStep.load(), 6);
    EXPECT_FALSE(quietErrors);
}

TEST_F(DriverRun, RunLeavesTheCompiledSettingsAsTheyWere)
{
    // No bound is active at the solution, so the final fit of the sweep has the covariance
    // of the fit without bounds; the confidence level of 50 % is raised for the intervals;
    // the sweep picks a new start.
    const int code = analyse("VARIABLES t, y;\nPARAMETERS A = 1, w = 1;\nFUNCTION y = A * sin(w * t);\n"
                             "CONSTRAIN w = 0, 5;\nSWEEP w = 0.5, 3, 0.5;\nCONFIDENCE 50;\nCOVARIANCE;\n"
                             "DATA;\n0.0 0.02\n0.5 1.62\n1.0 1.82\n1.5 0.28\n2.0 -1.53\n2.5 -1.87\n"
                             "3.0 -0.55\n3.5 1.31\n4.0 1.97\n4.5 0.83\n");
    EXPECT_GE(code, STOP_ABSOLUTE);
    EXPECT_EQ(analysis.covarianceState.code, -3);
    EXPECT_TRUE(analysis.covarianceState.print);
    EXPECT_GT(analysis.covarianceState.status, 0);
    EXPECT_EQ(settings.covarianceCode, -3);
    EXPECT_TRUE(settings.printCovariance);
    EXPECT_EQ(settings.confidenceLevel, 0.5);
    EXPECT_EQ(settings.sweeps[0].bestValue, 0.5);
    EXPECT_EQ(parameters[1]->initialValue, 1.0);
    EXPECT_NE(analysis.initialGuess[1], 1.0);
}

TEST_F(DriverRun, ResultsRecordHoldsWhatTheListingShows)
{
    // y = a x through four points: a = 1.99, s = 0.03282953, 90 % limits 1.91273989 and
    // 2.06726011 (the figures of the one-parameter listing case).
    ASSERT_GE(analyse("VARIABLES x, y;\nPARAMETERS a = 1;\nFUNCTION y = a * x;\nCONFIDENCE 90;\n"
                      "CORRELATE x, y, Residual;\nDATA;\n1 2.1\n2 3.9\n3 6.2\n4 7.8\n"), STOP_ABSOLUTE);
    ASSERT_TRUE(results.computed);
    ASSERT_EQ(results.parameterCount, 1);
    const ParameterStatistics& a = results.parameters[0];
    EXPECT_TRUE(results.withStatistics);
    EXPECT_NEAR(a.estimate, 1.99, 1e-9);
    EXPECT_NEAR(a.stdError, 0.03282953, 1e-8);
    EXPECT_TRUE(results.intervals);
    EXPECT_EQ(results.intervalLevel, 0.9);
    EXPECT_NEAR(a.lowerLimit, 1.91273989, 1e-6);
    EXPECT_NEAR(a.upperLimit, 2.06726011, 1e-6);
    ASSERT_EQ(results.variableCount, 2);
    EXPECT_EQ(results.variables[0].mean, 2.5);
    EXPECT_EQ(results.variables[1].maximum, 7.8);
    // The correlation with a computed variable (the residual) was formed by runs of the
    // program, once, before the listing.
    ASSERT_EQ(results.correlationCount, 3);
    EXPECT_EQ(results.correlations[0 * 3 + 0], 1.0);
    EXPECT_GT(results.correlations[0 * 3 + 1], 0.99);
    EXPECT_EQ(results.correlations[1 * 3 + 2], results.correlations[2 * 3 + 1]);
    EXPECT_FALSE(results.variance.shown) << "no analysis of variance with one parameter";
}

TEST_F(DriverRun, AbortBeforeTheFirstSolveShowsNoEarlierSumOfSquares)
{
    ASSERT_GE(analyse(std::string("VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\n"
                                  "FUNCTION y = a * exp(b * x);\n") + EXP_DATA), STOP_ABSOLUTE);
    ASSERT_GT(analysis.finalSumSquares, 0.1);
    // A second analysis cancelled before its first residual evaluation.
    compilerReleaseAll();
    settingsReset();
    const std::string text = std::string("VARIABLES x, y;\nPARAMETERS a = 2, b = 1;\n"
                                         "FUNCTION y = a * exp(b * x);\n") + EXP_DATA;
    TextLines lines;
    const LineSource source = lineSourceFromText(lines, text.c_str(), text.size());
    ASSERT_TRUE(compileProgram(&source));
    abortRequested.store(true);
    EXPECT_EQ(driverRun(), STOP_ABORTED);
    abortRequested.store(false);
    EXPECT_EQ(analysis.finalSumSquares, 0.0);
}

// Sets Cancel at the second runtime error: the first comes from the solver's start, the
// second from the final pass over the observations.
int errorLinesSeen = 0;
void cancelAtSecondError(const char* text)
{
    if (std::string(text).compare(0, 20, "Error executing line") == 0 && ++errorLinesSeen == 2)
        abortRequested.store(true);
}

TEST_F(DriverRun, CancelDuringTheFinalPassIsReportedAsAborted)
{
    errorLinesSeen = 0;
    listingSetSink(cancelAtSecondError);
    const int code = analyse("VARIABLES x, y;\nPARAMETERS a = 1, b = 0;\nFUNCTION y = a / b + x;\n"
                             "DATA;\n1 2\n2 3\n3 4\n");
    abortRequested.store(false);
    EXPECT_GE(errorLinesSeen, 2);
    EXPECT_EQ(code, STOP_ABORTED);
    EXPECT_FALSE(analysis.analysisCompleted);
}

TEST(Batch, ModelNotANumberAtTheStartShowsNoPerfectFit)
{
    // NPD with a zero spread gives no number: neither the sum of squares nor the largest
    // deviation may then read as 0.
    const MoxelRun run = runMoxel("VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a * NPD(x, 0, 0) + b;\n"
                                  "DATA;\n1 2\n2 3\n3 5\n4 4\n");
    EXPECT_EQ(run.status, 3);
    EXPECT_NE(run.listing.find("Stopped due to: Function cannot be computed at starting parameter values."),
              std::string::npos);
    EXPECT_NE(run.listing.find("Final sum of squared deviations = "), std::string::npos);
    EXPECT_EQ(run.listing.find("Final sum of squared deviations =  0.0000000E+00"), std::string::npos);
    EXPECT_NE(run.listing.find("Maximum deviation for any observation = "), std::string::npos);
    EXPECT_EQ(run.listing.find("Maximum deviation for any observation = 0\n"), std::string::npos);
}

TEST(Batch, FewerObservationsThanParameters)
{
    const MoxelRun run = runMoxel("VARIABLES x, y;\nPARAMETERS a, b, c;\nFUNCTION y = a + b * x + c * x * x;\n"
                                  "DATA;\n1 2\n2 3\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("Error: Fewer data observations than parameters\n"), std::string::npos);
    EXPECT_EQ(run.listing.find("Final Results"), std::string::npos);
}

TEST(Batch, OutputIntoTheListingAndParameterFile)
{
    const MoxelRun run = runMoxel("VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a + b * x;\n"
                                  "OUTPUT $OBS, x, $PREDICTED, $RESIDUAL;\nPOUTPUT \"params\";\n"
                                  "DATA;\n1 3\n2 5\n3 7.5\n");
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string heading = "\n\n   ---   Output Data   ---\n";
    const size_t at = run.listing.find(heading);
    ASSERT_NE(at, std::string::npos);
    // y = 2/3 + 2.25 x; each column gets its own format (%1.0lf, %1.0lf, %8.6lf, %9.6lf).
    EXPECT_EQ(run.listing.substr(at + heading.size()),
              "1  1  2.916667   0.083333\n"
              "2  2  5.166667  -0.166667\n"
              "3  3  7.416667   0.083333\n");
    EXPECT_EQ(run.out.find("Output Data"), std::string::npos);   // never on the screen
    EXPECT_NE(run.listing.find("Parameter values will be written to " + run.folder + "/params.par\n"),
              std::string::npos);
    EXPECT_EQ(readTextFile(run.folder + "/params.par"), "0.666666666666666408\n2.25\n");
}

TEST(Batch, OutputFileWithWorkVariableAndParameterFileThatCannotBeOpened)
{
    // w holds x / 3 after the program has run for each observation; y = 0.1086 + 1.9828 x.
    const MoxelRun run = runMoxel("VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nDOUBLE w;\nw = x / 3;\n"
                                  "FUNCTION y = a + b * x;\nOUTPUT \"res\" $OBS, x, y, $PREDICTED, $RESIDUAL, w;\n"
                                  "POUTPUT \"nosuchfolder/p\";\nDATA;\n1 2.1\n2 3.9\n3 6.2\n-4 -7.8\n");
    // The fit converged, but a file it should have written is missing.
    ASSERT_EQ(run.status, 1) << run.out;
    EXPECT_EQ(readTextFile(run.folder + "/res.out"),
              "1   1   2.1   2.091379   0.008621   0.333333\n"
              "2   2   3.9   4.074138  -0.174138   0.666667\n"
              "3   3   6.2   6.056897   0.143103   1.000000\n"
              "4  -4  -7.8  -7.822414   0.022414  -1.333333\n");
    EXPECT_NE(run.listing.find("Output values will be written to " + run.folder + "/res.out\n"), std::string::npos);
    // The parameter file's error lands right after the parameter table.
    EXPECT_NE(run.listing.find("  0.00023\nError: unable to open parameter output file: " + run.folder +
                               "/nosuchfolder/p.par (No such file or directory)\n\n\n"),
              std::string::npos) << run.listing;
}

TEST(Batch, OutputFileThatCannotBeOpened)
{
    const MoxelRun run = runMoxel("VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a + b * x;\n"
                                  "OUTPUT \"nosuchfolder/out\" x, y;\nDATA;\n1 3\n2 5\n3 7.5\n");
    ASSERT_EQ(run.status, 1) << run.out;
    const std::string message = "Error: unable to open output file: " + run.folder + "/nosuchfolder/out.out (No such file or directory)\n";
    EXPECT_NE(run.listing.find(message), std::string::npos) << run.listing;
    EXPECT_NE(run.out.find(message), std::string::npos);
}

}  // namespace
