// The results of a finished analysis, computed once on the worker after the final
// pass: the listing only formats them, and the views read them after the run.
#pragma once

#include <string>

#include "analysis/covariance.h"
#include "analysis/diagnosis.h"
#include "analysis/statistics.h"
#include "analysis/weights.h"

struct Symbol;
struct DerivedStatistics;
struct ProfileLimits;

// ORDER STOP: the analysis's stop codes; reason texts in report.cpp.
enum StopCode {
    STOP_FALSE_CONVERGENCE = 1,     // solver: false convergence
    STOP_SINGULAR = 2,              // solver: singular convergence
    STOP_ABSOLUTE = 3,              // absolute function convergence
    STOP_RELATIVE = 4,              // relative function convergence
    STOP_PARAMETER = 5,             // parameter (X) convergence
    STOP_BOTH = 6,                  // parameter and relative function convergence
    STOP_ITERATION_LIMIT = -1,      // iteration limit reached
    STOP_NO_START = -2,             // model cannot be computed at the initial guesses
    STOP_BAD_VALUES = -3,           // bad settings, stop request or any other solver code
    STOP_NO_JACOBIAN = -4,          // Jacobian could not be formed
    STOP_CALL_LIMIT = -6,           // function-evaluation limit reached
    STOP_ABORTED = -10              // Cancel
};

// Values of variables that are not input variables, collected by the final pass for the
// OUTPUT and CORRELATE lists: column c holds the value symbols[c] had after the program
// ran for each observation, in observation order.
struct CollectedColumns {
    const Symbol** symbols;     // count distinct variables ("comp")
    double* values;             // [c * rows + i] ("comp"); rows the pass did not reach hold 0
    int count;                  // columns
    int rows;                   // n
};

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
    // Taken over from the analysis when it ended; the arrays stay the analysis's own and
    // live until the next Run releases them.
    int stopCode;                       // StopCode of the analysis
    int iterationCount;                 // iterations of the last solve
    double finalSumSquares;             // sum of squared residuals at the end
    bool residualsComputed;             // the final pass computed every row of predicted and observed
    double startTime;                   // local moment at the start, seconds
    CovarianceState covarianceState;    // the covariance request and its outcome
    const double* predicted;            // n predicted values at the final parameters
    const double* observed;             // n observed values at the final parameters
    const double* covariance;           // p x p, row-major; all zero when not available
    const double* initialGuess;         // p starting values of the final solve
    CollectedColumns collected;         // the OUTPUT and CORRELATE variables the program computes
    const double* weights;              // n weights of a weighted fit at the final parameters, else null
    bool weightAbsolute;                // the weights are 1/sigma^2: the covariance is not scaled
    bool boundsInactive;                // a CONSTRAIN fit with no bound active: statistics of the unbounded fit
    const ProfileLimits* profile;       // p profile limits (PROFILE after a proper convergence), else null
    double profileLevel;                // their confidence level
    // Computed from the above:
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
    WeightedStats weighted;             // weighted sums; meaningful when weights is not null
    InformationCriteria criteria;       // log-likelihood, AIC, AICc and BIC of a regression
    DerivedStatistics* derived;         // one row per DERIVED quantity ("rslt"), or null
    int derivedCount;                   // rows in derived
    const char* derivedReason;          // why derived quantities have no standard errors, or null
    std::string parameterFileMessage;   // error lines of the POUTPUT file, empty when it was written
    Diagnosis diagnosis;                // what is wrong or doubtful; no finding for a clean fit
};

extern AnalysisResults results;

constexpr double RESULTS_LEVEL_FLOOR = 0.50001;   // smallest usable confidence level

// Fills the computed part of results from its taken-over part, the observations and the
// parameters.
void resultsCompute();
void resultsRelease();

// The values of variable s over the observations: *stride apart from the returned one.
// Null when s is neither an input variable nor collected.
const double* resultsColumn(const AnalysisResults& r, const Symbol* s, int* stride);

// Why the fit gives no uncertainty beyond the parameter table (curve bands, derived
// quantities), as a phrase for "No band: ..."; null when it does. One rule for both:
// a singular convergence, any other stop short of proper convergence, n - p <= 0, and
// no covariance (a singular or indefinite matrix, or a CONSTRAIN fit with a bound active).
const char* resultsUncertaintyRefusal(const AnalysisResults& r, int n, int p);
