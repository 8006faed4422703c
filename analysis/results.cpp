// The results record: every figure the Final Results section and the views show,
// computed once from the analysis state.
#include "analysis/results.h"

#include <cmath>

#include "analysis/derived.h"
#include "analysis/helper.h"
#include "exec/specfun.h"
#include "exec/timestamp.h"
#include "lang/data.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "support/allocator.h"

AnalysisResults results;

namespace {

constexpr const char* TAG_RESULTS = "rslt";

template <typename T>
T* allocateRows(int count)
{
    return static_cast<T*>(memalloc_zero(sizeof(T) * (size_t)(count > 0 ? count : 1), TAG_RESULTS));
}

template <typename T>
void freeRows(T*& rows)
{
    if (rows)
        memfree(rows);
    rows = nullptr;
}

// Standard errors and t values of every parameter, and their confidence limits when a
// level was asked for and the covariance matrix exists.
void computeParameters(int n, int p)
{
    results.parameters = allocateRows<ParameterStatistics>(p);
    if (!results.parameters)
        return;
    results.parameterCount = p;
    results.withStatistics = statisticsAvailable(results);
    for (int i = 0; i < p; ++i)
        results.parameters[i] = statisticsParameter(results, i);
    results.intervals = results.covarianceState.code != 0 && settings.confidenceLevel != 0 && results.covariance &&
                        p < n;
    if (!results.intervals)
        return;
    results.intervalLevel =
        settings.confidenceLevel < RESULTS_LEVEL_FLOOR ? RESULTS_LEVEL_FLOOR : settings.confidenceLevel;
    const double q = inverseStudentT((results.intervalLevel + 1) * 0.5, n - p);
    for (int i = 0; i < p; ++i) {
        ParameterStatistics& row = results.parameters[i];
        const double half = q * std::sqrt(results.covariance[(size_t)i * p + i]);
        row.lowerLimit = row.estimate - half;
        row.upperLimit = row.estimate + half;
    }
}

// The descriptive statistics of the input variables: rows of the observation table.
struct VariableJob {
    int n;                          // observations
    VariableStatistics* out;        // inputVariableCount rows
};

void variableJobRun(void* job)
{
    const VariableJob& j = *static_cast<VariableJob*>(job);
    for (int k = 0; k < inputVariableCount; ++k)
        j.out[k] = statisticsVariable(observations + k, inputVariableCount, j.n);
}

// With this many observations the input variables' statistics run on the helper thread
// while the residual sums run on this one: two independent sweeps over large tables,
// each with its sums in observation order, so the figures do not depend on the timing.
constexpr int PARALLEL_STATISTICS_ROWS = 100000;

// Allocates the variables' rows and starts their statistics, on the helper thread when
// that pays (*started true); finishVariables completes them.
void startVariables(int n, VariableJob* job, bool* started)
{
    *started = false;
    results.variables = allocateRows<VariableStatistics>(inputVariableCount);
    if (!results.variables)
        return;
    results.variableCount = inputVariableCount;
    *job = VariableJob{n, results.variables};
    if (n >= PARALLEL_STATISTICS_ROWS)
        *started = helperPost(variableJobRun, job);
}

void finishVariables(VariableJob* job, bool started)
{
    const bool done = started && helperCollect();
    if (!done && results.variables)
        variableJobRun(job);
}

void computeCorrelations(int n)
{
    const int count = settings.correlationCount;
    if (count <= 1 || settings.functionMinimization)
        return;
    results.correlations = allocateRows<double>(count * count);
    if (!results.correlations)
        return;
    results.correlationCount = count;
    Symbol* const* list = settings.correlationVariables;
    // The coefficient is symmetric to the last bit (every sum and product in it is formed
    // the same way with the variables exchanged), so the upper triangle is mirrored.
    for (int r = 0; r < count; ++r)
        for (int c = 0; c < count; ++c) {
            if (c < r) {
                results.correlations[(size_t)r * count + c] = results.correlations[(size_t)c * count + r];
                continue;
            }
            int strideR = 0;
            int strideC = 0;
            const double* a = resultsColumn(results, list[r], &strideR);
            const double* b = resultsColumn(results, list[c], &strideC);
            double value = NAN;
            if (list[r] == list[c])
                value = 1.0;
            else if (a && b)
                value = statisticsCorrelation(a, strideR, b, strideC, n);
            results.correlations[(size_t)r * count + c] = value;
        }
}

// The arrays of the computed part; the taken-over part stays.
void releaseComputed()
{
    freeRows(results.parameters);
    freeRows(results.variables);
    freeRows(results.correlations);
    results.computed = false;
    results.residuals = ResidualStats{};
    results.variance = VarianceTable{};
    results.withStatistics = false;
    results.parameterCount = 0;
    results.variableCount = 0;
    results.correlationCount = 0;
    results.intervals = false;
    results.intervalLevel = 0.0;
    results.finishTime = 0.0;
    results.weighted = WeightedStats{};
    results.criteria = InformationCriteria{};
    derivedRelease(results);
    results.parameterFileMessage.clear();
}

void computeVarianceTable(int n, int p)
{
    VarianceTable& table = results.variance;
    const ResidualStats& rs = results.residuals;
    table.shown = !settings.functionMinimization && rs.totalSS > 0 && p >= 2;
    if (!table.shown)
        return;
    table.regressionDF = p - 1;
    table.errorDF = n - p;
    table.meanSquareError = rs.residualSS / table.errorDF;
    table.regressionMeanSquare = rs.regressionSS / table.regressionDF;
    table.F = table.regressionMeanSquare / table.meanSquareError;
    table.wide = table.meanSquareError > 0 && table.errorDF > 0;
    if (!table.wide)
        return;
    table.probF = fProbability(table.F, table.regressionDF, table.errorDF);
    if (!(table.probF >= STAT_PROB_FLOOR))
        table.probF = STAT_PROB_FLOOR;
}

// A weighted fit states its figures in weighted terms: the sums of squares of the
// analysis of variance, the standard error of estimate and R^2 become the weighted ones,
// consistent with the covariance. The deviations (sum, average, largest) and the
// Durbin-Watson figure stay those of the plain residuals observed - predicted.
void applyWeights(int n, int p)
{
    results.weighted = weightsStatistics(results.observed, results.predicted, results.weights, n, p);
    ResidualStats& rs = results.residuals;
    rs.totalSS = results.weighted.totalSS;
    rs.residualSS = results.weighted.residualSS;
    rs.regressionSS = rs.totalSS - rs.residualSS;
    if (rs.regressionSS < 0)
        rs.regressionSS = 0;
    rs.rSquared = results.weighted.rSquared;
    rs.adjRSquared = results.weighted.adjRSquared;
}

// A likelihood belongs to a fit: a proper convergence, every weight usable.
bool likelihoodDefined(int n)
{
    if (results.stopCode < STOP_ABSOLUTE || results.stopCode > STOP_BOTH)
        return false;
    for (int i = 0; results.weights && i < n; ++i)
        if (!(results.weights[i] > 0.0))
            return false;
    return true;
}

}  // namespace

void resultsCompute()
{
    releaseComputed();
    const int n = observationCount;
    const int p = parameterCount;
    VariableJob job = {};
    bool started = false;
    if (!settings.functionMinimization)
        startVariables(n, &job, &started);
    if (!settings.functionMinimization && results.observed && results.predicted)
        results.residuals = statisticsResiduals(results.observed, results.predicted, n, p);
    if (results.weights && results.observed && results.predicted)
        applyWeights(n, p);
    if (!settings.functionMinimization && results.residualsComputed && likelihoodDefined(n))
        results.criteria = statisticsCriteria(results.residuals.residualSS, results.weights, n, p);
    results.finishTime = localMoment();
    computeVarianceTable(n, p);
    computeParameters(n, p);
    if (!settings.functionMinimization)
        finishVariables(&job, started);
    computeCorrelations(n);
    derivedCompute(results);
    results.computed = true;
}

void resultsRelease()
{
    releaseComputed();
    results.stopCode = 0;
    results.iterationCount = 0;
    results.finalSumSquares = 0.0;
    results.startTime = 0.0;
    results.covarianceState = CovarianceState{};
    results.predicted = nullptr;
    results.observed = nullptr;
    results.covariance = nullptr;
    results.initialGuess = nullptr;
    results.collected = CollectedColumns{};
    results.weights = nullptr;
    results.weightAbsolute = false;
    results.profile = nullptr;
    results.profileLevel = 0.0;
    results.boundsInactive = false;
    results.diagnosis.count = 0;
    results.diagnosis.doubtful = false;
}

const double* resultsColumn(const AnalysisResults& r, const Symbol* s, int* stride)
{
    *stride = 1;
    if (s->kind == SYM_INPUT) {
        *stride = inputVariableCount;
        return observations + s->index;
    }
    for (int c = 0; c < r.collected.count; ++c)
        if (r.collected.symbols[c] == s)
            return r.collected.values + (size_t)c * r.collected.rows;
    return nullptr;
}

const char* resultsUncertaintyRefusal(const AnalysisResults& r, int n, int p)
{
    if (r.stopCode == STOP_SINGULAR)
        return "the parameters are mutually dependent (singular convergence)";
    if (r.stopCode < STOP_ABSOLUTE || r.stopCode > STOP_BOTH)
        return "the fit did not converge properly";
    if (n - p <= 0)
        return "there are not more observations than parameters";
    if ((settings.constrainCount > 0 && !r.boundsInactive) || !r.withStatistics || !r.covariance || r.covarianceState.status <= 0)
        return "there is no covariance matrix";
    return nullptr;
}
