// The results record: every figure the Final Results section and the views show,
// computed once from the analysis state.
#include "analysis/results.h"

#include <cmath>

#include "analysis/driver.h"
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
    results.withStatistics = statisticsAvailable();
    for (int i = 0; i < p; ++i)
        results.parameters[i] = parameterStatistics(i);
    results.intervals = analysis.covarianceCode != 0 && settings.confidenceLevel != 0 && analysis.covariance &&
                        p < n;
    if (!results.intervals)
        return;
    results.intervalLevel =
        settings.confidenceLevel < RESULTS_LEVEL_FLOOR ? RESULTS_LEVEL_FLOOR : settings.confidenceLevel;
    const double q = inverseStudentT((results.intervalLevel + 1) * 0.5, n - p);
    for (int i = 0; i < p; ++i) {
        ParameterStatistics& row = results.parameters[i];
        const double half = q * std::sqrt(analysis.covariance[(size_t)i * p + i]);
        row.lowerLimit = row.estimate - half;
        row.upperLimit = row.estimate + half;
    }
}

void computeVariables(int n)
{
    results.variables = allocateRows<VariableStatistics>(inputVariableCount);
    if (!results.variables)
        return;
    results.variableCount = inputVariableCount;
    for (int j = 0; j < inputVariableCount; ++j)
        results.variables[j] = variableStatistics(observations + j, inputVariableCount, n);
}

void computeCorrelations()
{
    const int count = settings.correlationCount;
    if (count <= 1 || settings.functionMinimization)
        return;
    results.correlations = allocateRows<double>(count * count);
    if (!results.correlations)
        return;
    results.correlationCount = count;
    Symbol* const* list = settings.correlationVariables;
    for (int r = 0; r < count; ++r)
        for (int c = 0; c < count; ++c)
            results.correlations[(size_t)r * count + c] = correlation(list[r], list[c]);
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

}  // namespace

void resultsCompute()
{
    resultsRelease();
    const int n = observationCount;
    const int p = parameterCount;
    if (!settings.functionMinimization && analysis.observed && analysis.predicted)
        results.residuals = residualStatistics(analysis.observed, analysis.predicted, n, p);
    results.finishTime = localMoment();
    computeVarianceTable(n, p);
    computeParameters(n, p);
    if (!settings.functionMinimization)
        computeVariables(n);
    computeCorrelations();
    results.computed = true;
}

void resultsRelease()
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
    results.parameterFileMessage.clear();
}
