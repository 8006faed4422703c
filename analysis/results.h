// The results of a finished analysis, computed once on the worker after the final
// pass: the listing only formats them, and the views read them after the run.
#pragma once

#include <string>

#include "analysis/statistics.h"

// The analysis of variance; shown when the total sum of squares is positive and p >= 2.
struct VarianceTable {
    bool shown;                     // the table is written
    bool wide;                      // mean squares, F and Prob(F) exist (error mean square > 0, df > 0)
    int regressionDF;               // p - 1
    int errorDF;                    // n - p
    double regressionMeanSquare;    // regressionSS / (p - 1)
    double meanSquareError;         // residualSS / (n - p)
    double F;                       // regressionMeanSquare / meanSquareError
    double probF;                   // upper-tail probability of F, at least STAT_PROB_FLOOR
};

struct AnalysisResults {
    bool computed;                      // the record holds the last analysis's results
    ResidualStats residuals;            // residual sums; all zero in function minimisation
    VarianceTable variance;             // analysis of variance
    bool withStatistics;                // standard errors, t and Prob(t) exist
    ParameterStatistics* parameters;    // one row per parameter, in list order ("rslt")
    int parameterCount;                 // rows in parameters
    VariableStatistics* variables;      // one row per input variable, in list order ("rslt")
    int variableCount;                  // rows in variables
    double* correlations;               // [r * correlationCount + c] of the CORRELATE list ("rslt")
    int correlationCount;               // variables of the matrix; 0 when none is computed
    bool intervals;                     // the confidence limits of parameters are computed
    double intervalLevel;               // confidence level used for them, at least 0.50001
    double finishTime;                  // local moment at which the analysis completed
    std::string parameterFileMessage;   // error lines of the POUTPUT file, empty when it was written
};

extern AnalysisResults results;

constexpr double RESULTS_LEVEL_FLOOR = 0.50001;   // smallest usable confidence level

// Fills results from the analysis state, the observations and the parameters. Runs the
// program once per observation for correlations of computed variables.
void resultsCompute();
void resultsRelease();
