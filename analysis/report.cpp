// Final Results section of the run listing: summary figures, descriptive statistics,
// correlation matrix, parameter table, analysis of variance, confidence intervals and
// the variance-covariance matrix, in that order. Every figure comes from the results
// record; this file only formats.
#include "analysis/report.h"

#include <cmath>
#include <cstdarg>
#include <cstring>
#include <string>

#include "analysis/covariance.h"
#include "analysis/bands.h"
#include "analysis/derived.h"
#include "analysis/profile.h"
#include "analysis/results.h"
#include "analysis/statistics.h"
#include "exec/timestamp.h"
#include "lang/data.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "support/listing.h"

namespace {

const char MSG_NOT_COMPUTED[] = "not computed (the analysis was cancelled first)";
const char MSG_NOT_BOUNDED[] = "not bounded";   // a profile side that never reaches the level
const char MSG_NO_START[] = "not computed (the model could not be computed at the start values)";

constexpr int REPORT_BUFFER = 4096;            // one write; rows are far shorter
constexpr double DW_AUTOCORRELATION = 0.8;     // Durbin-Watson below this earns a warning
constexpr int CORRELATION_GROUP = 5;           // correlation columns per block
constexpr int COVARIANCE_GROUP = 4;            // covariance columns per block

// "  %9.1lE" above these limits, "  %9.2lf" between them (the limits differ on purpose).
constexpr double FIXED_UPPER = 1000000.0;
constexpr double FIXED_LOWER = -100000.0;

// ORDER STOP: reason texts by stop code.
struct StopReason {
    int code;
    const char* text;
};

constexpr StopReason stopReasons[] = {
    {STOP_FALSE_CONVERGENCE, "False convergence. (Answers may not be correct.)"},
    {STOP_SINGULAR, "Singular convergence.  Mutually dependent parameters?"},
    {STOP_ABSOLUTE, "Absolute function convergence."},
    {STOP_RELATIVE, "Relative function convergence."},
    {STOP_PARAMETER, "Parameter convergence."},
    {STOP_BOTH, "Both parameter and relative function convergence."},
    {STOP_ITERATION_LIMIT, "Function did not converge before iteration limit reached."},
    {STOP_NO_START, "Function cannot be computed at starting parameter values."},
    {STOP_BAD_VALUES, "Bad parameter values."},
    {STOP_NO_JACOBIAN, "Jacobian could not be computed."},
    {STOP_CALL_LIMIT, "Function did not converge before max allowed function calls."},
    {STOP_ABORTED, "Analysis was aborted"},
};

void appendf(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));

void appendf(std::string& text, const char* format, ...)
{
    char buffer[REPORT_BUFFER];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    text += buffer;
}

void appendRatio(std::string& text, double value)
{
    char buffer[64];
    reportFormatTValue(buffer, sizeof buffer, value);
    text += "  ";
    text += buffer;
}

// The sums of a weighted fit, and the line that says which covariance convention holds.
void writeWeightedSums(const AnalysisResults& results)
{
    const WeightedStats& ws = results.weighted;
    reportText("Final sum of squared deviations = %14.7lE\n", ws.plainResidualSS);
    reportText("Weighted sum of squared deviations = %14.7lE\n", ws.residualSS);
    reportText("Final sum of deviations = %14.7lE\n", results.residuals.sumDev);
    if (results.weightAbsolute) {
        reportText("Weights are absolute (1/sigma^2): covariance = (J'WJ)^-1, not scaled\n");
        if (ws.df > 0)
            reportText("Chi-square = %lG with %d degrees of freedom, Prob(chi-square) = %.5lf\n", ws.residualSS,
                       ws.df, ws.probChiSquare);
    } else {
        reportText("Weights are relative: covariance = s^2 (J'WJ)^-1, s^2 = weighted SS / (n - p)\n");
    }
}

void writeCriteria(const InformationCriteria& c, int n)
{
    if (!c.defined) {
        reportText("Log-likelihood, AIC, AICc and BIC: not defined (the residual sum of squares is 0)\n");
        return;
    }
    char aicc[32];
    if (c.aiccDefined)
        snprintf(aicc, sizeof aicc, "%.9lG", c.aicc);
    else
        snprintf(aicc, sizeof aicc, "%s (n - k - 1 = %d)", REPORT_NOT_AVAILABLE, n - c.k - 1);
    reportText("Log-likelihood = %.9lG, AIC = %.9lG, AICc = %s, BIC = %.9lG (normal errors, k = %d)\n",
               c.logLikelihood, c.aic, aicc, c.bic, c.k);
}

// Why the fit statistics are missing, or null when they were computed. Figures at start
// values the model fails at would read as a fit that never took place.
const char* missingStatistics(const AnalysisResults& results)
{
    if (!results.residualsComputed)
        return MSG_NOT_COMPUTED;
    if (results.stopCode == STOP_NO_START)
        return MSG_NO_START;
    return nullptr;
}

void writeSummary(const AnalysisResults& results)
{
    const ResidualStats& rs = results.residuals;
    const int n = observationCount;
    const int p = parameterCount;
    const bool minimise = settings.functionMinimization;
    reportText("\n\n   ----  Final Results  ----\n\n");
    reportText("MOXEL version %3.1lf\n", MOXEL_LISTING_VERSION);
    reportText("\n");
    if (settings.title[0])
        reportText("%s\n", settings.title);
    if (!minimise)
        reportText("Number of observations = %ld\n", (long)n);
    reportText("Maximum allowed number of iterations = %ld\n", (long)settings.iterationLimit);
    reportText("Convergence tolerance factor = %12.6lE\n", settings.tolerance);
    reportStopReason(results.stopCode);
    const char* missing = missingStatistics(results);
    if (rs.oneSided && !minimise && !missing) {
        reportText("Warning: All data points are on one side of the curve.\n");
        reportText("This indicates the model does not fit the data well.\n");
    }
    reportText("Number of iterations performed = %ld\n", (long)results.iterationCount);
    // Cancelled before any point was evaluated in full: a 0 would read as a perfect fit.
    if (missing) {
        reportText(minimise ? "Final function value = %s\n" : "Final sum of squared deviations = %s\n", missing);
        if (!minimise)
            reportText("Final sum of deviations = %s\n", missing);
    } else if (minimise) {
        reportText("Final function value = %14.7lE\n", results.predicted ? results.predicted[0] : 0.0);
    } else if (results.weights) {
        writeWeightedSums(results);
    } else {
        reportText("Final sum of squared deviations = %14.7lE\n", results.finalSumSquares);
        reportText("Final sum of deviations = %14.7lE\n", rs.sumDev);
    }
    if (missing && !minimise) {
        reportText("Standard error of estimate = %s\n", missing);
        reportText("Average deviation = %s\n", missing);
        reportText("Maximum deviation for any observation = %s\n", missing);
        if (missing == MSG_NO_START) {
            reportText("Proportion of variance explained (R^2) = %s\n", missing);
            reportText("Durbin-Watson test for autocorrelation = %s\n", missing);
        }
    } else if (!minimise) {
        if (n - p > 0)
            reportText(results.weights ? "Weighted standard error of estimate = %lG\n"
                                       : "Standard error of estimate = %lG\n",
                       std::sqrt(rs.residualSS / (n - p)));
        reportText("Average deviation = %lG\n", rs.absDev);
        reportText("Maximum deviation for any observation = %lG\n", rs.maxDev);
        if (rs.rSquared > 0 && results.weights) {
            reportText("Proportion of weighted variance explained (weighted R^2) = %.4lf  (%.2lf%%)\n",
                       rs.rSquared, 100 * rs.rSquared);
            reportText("Adjusted weighted coefficient of determination (weighted Ra^2) = %.4lf  (%.2lf%%)\n",
                       rs.adjRSquared, 100 * rs.adjRSquared);
        } else if (rs.rSquared > 0) {
            reportText("Proportion of variance explained (R^2) = %.4lf  (%.2lf%%)\n",
                       rs.rSquared, 100 * rs.rSquared);
            reportText("Adjusted coefficient of multiple determination (Ra^2) = %.4lf  (%.2lf%%)\n",
                       rs.adjRSquared, 100 * rs.adjRSquared);
        }
        if (rs.rSquared > 0) {
            reportText("Durbin-Watson test for autocorrelation = %.3lf\n", rs.durbinWatson);
            if (!(rs.durbinWatson >= DW_AUTOCORRELATION))
                reportText("This Durbin-Watson value indicates autocorrelation or inappropriate function.\n");
        }
        if (results.boundsInactive)
            reportText("No bound is active at the solution: the statistics are those of the fit without bounds.\n");
        if (results.criteria.k > 0)
            writeCriteria(results.criteria, observationCount);
        covarianceWriteWarning(results);
    }
    if (settings.outputMode > 0)
        reportText("Output values will be written to %s\n", settings.outputFile.c_str());
    if (!settings.parameterOutputFile.empty())
        reportText("Parameter values will be written to %s\n", settings.parameterOutputFile.c_str());
    char stamp[STAMP_BUFFER_SIZE];
    formatStamp(results.finishTime, stamp);
    reportText("Analysis completed %s.  Runtime = %.2lf seconds.\n", stamp,
               results.finishTime - results.startTime);
}

}  // namespace

void reportText(const char* format, ...)
{
    char buffer[REPORT_BUFFER];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (FILE* file = listingFile())
        fputs(buffer, file);
    // The screen shows whole lines: outer line ends are dropped, inner ones split lines.
    const char* start = buffer;
    const char* end = buffer + std::strlen(buffer);
    while (start < end && *start == '\n')
        ++start;
    while (end > start && end[-1] == '\n')
        --end;
    std::string line;
    for (const char* c = start; c < end; ++c) {
        if (*c == '\n') {
            listingAppendLine(line.c_str());
            line.clear();
        } else {
            line += *c;
        }
    }
    listingAppendLine(line.c_str());
}

void reportFormatTValue(char* buffer, size_t size, double t)
{
    if (t >= FIXED_UPPER || t <= FIXED_LOWER)
        snprintf(buffer, size, "%9.1lE", t);
    else
        snprintf(buffer, size, "%9.2lf", t);
}

void reportFormatTColumns(const ParameterStatistics& ps, char* t, size_t tSize, char* prob, size_t probSize)
{
    if (!ps.tAvailable) {
        snprintf(t, tSize, "%9s", REPORT_NOT_AVAILABLE);
        snprintf(prob, probSize, "%7s", REPORT_NOT_AVAILABLE);
        return;
    }
    reportFormatTValue(t, tSize, ps.tValue);
    snprintf(prob, probSize, "%7.5lf", ps.probT);
}

void reportDescriptiveStatistics(const AnalysisResults& results)
{
    reportText("\n\n             ----  Descriptive Statistics for Variables  ----\n\n");
    reportText(" Variable    Minimum value   Maximum value    Mean value     Standard dev.\n");
    reportText("----------  --------------  --------------  --------------  --------------\n");
    for (int j = 0; j < results.variableCount; ++j) {
        const VariableStatistics& vs = results.variables[j];
        reportText("%10s  %14.7lG  %14.7lG  %14.7lG  %14.7lG\n", inputVariables[j]->name,
                   vs.minimum, vs.maximum, vs.mean, vs.standardDeviation);
    }
}

void reportCorrelationMatrix(const AnalysisResults& results)
{
    const int count = results.correlationCount;
    Symbol* const* list = settings.correlationVariables;
    for (int first = 0; first < count; first += CORRELATION_GROUP) {
        const int last = first + CORRELATION_GROUP < count ? first + CORRELATION_GROUP : count;
        reportText(first == 0 ? "\n\n           ----  Correlation Matrix  ----\n\n"
                              : "\n\n           ----  Correlation Matrix (continued)  ----\n\n");
        std::string heading = " Variable    ";
        std::string rule = "---------- ";
        for (int c = first; c < last; ++c) {
            appendf(heading, "%10s  ", statisticsCenterName(list[c]->name).c_str());
            rule += "  ----------";
        }
        reportText("%s\n", heading.c_str());
        reportText("%s\n", rule.c_str());
        for (int r = 0; r < count; ++r) {
            std::string row;
            appendf(row, "%10s:", list[r]->name);
            for (int c = first; c < last; ++c)
                appendf(row, "    %6.3lf  ", results.correlations[(size_t)r * count + c]);
            reportText("%s\n", row.c_str());
        }
    }
}

void reportParameterTable(const AnalysisResults& results)
{
    const bool withStats = results.withStatistics;
    if (withStats) {
        reportText("\n\n                   ----  Calculated Parameter Values  ----\n\n");
        reportText(" Parameter  Initial guess   Final estimate   Standard error      t      Prob(t)\n");
        reportText("----------  -------------  ----------------  --------------  ---------  -------\n");
    } else {
        reportText("\n\n  ----  Calculated Parameter Values  ----\n\n");
        reportText(" Parameter  Initial guess   Final estimate \n");
        reportText("----------  -------------  ----------------\n");
    }
    for (int i = 0; i < results.parameterCount; ++i) {
        const ParameterStatistics& ps = results.parameters[i];
        std::string row;
        appendf(row, "%10s  %13.6lG  %16.9lG", ps.name, ps.initialGuess, ps.estimate);
        if (ps.hasStatistics) {
            char t[32];
            char prob[32];
            reportFormatTColumns(ps, t, sizeof t, prob, sizeof prob);
            appendf(row, "  %14.7lG  %s  %s", ps.stdError, t, prob);
        }
        reportText("%s\n", row.c_str());
    }
}

void reportDerivedQuantities(const AnalysisResults& results)
{
    if (results.derivedReason) {
        reportText("\n\nDerived quantities have no standard errors: %s.\n", results.derivedReason);
        return;
    }
    // Limits only where the parameters get them too: with a CONFIDENCE level.
    const bool limits = results.intervals;
    if (limits) {
        reportText("\n\n                   ----  Derived Quantities (%.3lf%% limits)  ----\n\n", 100 * results.intervalLevel);
        reportText(" Quantity        Value        Standard error      t      Prob(t)    Lower limit       Upper limit\n");
        reportText("----------  ----------------  --------------  ---------  -------  ----------------  ----------------\n");
    } else {
        reportText("\n\n                   ----  Derived Quantities  ----\n\n");
        reportText(" Quantity        Value        Standard error      t      Prob(t)\n");
        reportText("----------  ----------------  --------------  ---------  -------\n");
    }
    for (int k = 0; k < results.derivedCount; ++k) {
        const DerivedStatistics& d = results.derived[k];
        std::string row;
        appendf(row, "%10s", d.name);
        if (!d.valueComputed) {
            reportText("%s  not computed (the expression cannot be evaluated at the estimates)\n", row.c_str());
            continue;
        }
        appendf(row, "  %16.9lG", d.value);
        if (!d.hasStatistics) {
            appendf(row, "  %14s  %9s  %7s", REPORT_NOT_AVAILABLE, REPORT_NOT_AVAILABLE, REPORT_NOT_AVAILABLE);
            if (limits)
                appendf(row, "  %16s  %16s", REPORT_NOT_AVAILABLE, REPORT_NOT_AVAILABLE);
        } else {
            ParameterStatistics ps = {};
            ps.tAvailable = d.tAvailable;
            ps.tValue = d.tValue;
            ps.probT = d.probT;
            char t[32];
            char prob[32];
            reportFormatTColumns(ps, t, sizeof t, prob, sizeof prob);
            appendf(row, "  %14.7lG  %s  %s", d.stdError, t, prob);
            if (limits)
                appendf(row, "  %16.9lG  %16.9lG", d.lowerLimit, d.upperLimit);
        }
        reportText("%s\n", row.c_str());
    }
    for (int k = 0; k < results.derivedCount; ++k)
        if (results.derived[k].valueComputed && results.derived[k].missing)
            reportText("%s: no standard error, %s.\n", results.derived[k].name, results.derived[k].missing);
}

void reportAnalysisOfVariance(const AnalysisResults& results)
{
    const VarianceTable& table = results.variance;
    const ResidualStats& rs = results.residuals;
    if (!table.shown)
        return;
    const bool wide = table.wide;
    if (results.weights)
        reportText("\n\n%s----  Weighted Analysis of Variance  ----\n\n", wide ? "               " : "");
    else
        reportText("\n\n%s----  Analysis of Variance  ----\n\n", wide ? "                  " : "");
    reportText("  Source     DF   Sum of Squares%s\n", wide ? "    Mean Square    F value   Prob(F)" : "");
    reportText("----------  ----  --------------%s\n", wide ? "  --------------  ---------  -------" : "");
    std::string row;
    appendf(row, "Regression  %4d  %14.7lG", table.regressionDF, rs.regressionSS);
    if (wide) {
        appendf(row, "  %14.7lG", table.regressionMeanSquare);
        appendRatio(row, table.F);
        appendf(row, "  %7.5lf", table.probF);
    }
    reportText("%s\n", row.c_str());
    if (wide)
        reportText("Error       %4ld  %14.7lG  %14.7lG\n", (long)table.errorDF, rs.residualSS, table.meanSquareError);
    else
        reportText("Error       %4ld  %14.7lG\n", (long)table.errorDF, rs.residualSS);
    reportText("Total       %4ld  %14.7lG\n", (long)(table.errorDF + table.regressionDF), rs.totalSS);
}

void reportConfidenceIntervals(const AnalysisResults& results)
{
    if (!results.intervals) {
        reportText("\nUnable to compute confidence interval with this few observations.\n");
        return;
    }
    reportText("\n\n         ---- %7.3lf%% Confidence Intervals  ----\n\n", 100 * settings.confidenceLevel);
    reportText(" Parameter     Lower limit      Best estimate      Upper limit\n");
    reportText("----------  ----------------  ----------------  ----------------\n");
    for (int i = 0; i < results.parameterCount; ++i) {
        const ParameterStatistics& ps = results.parameters[i];
        reportText("%10s  %16.9lG  %16.9lG  %16.9lG\n", ps.name, ps.lowerLimit, ps.estimate, ps.upperLimit);
    }
}

void reportProfileIntervals(const AnalysisResults& results)
{
    reportText("\n\n     ---- %7.3lf%% Profile Confidence Intervals  ----\n\n", 100 * results.profileLevel);
    reportText(" Parameter     Lower limit      Best estimate      Upper limit\n");
    reportText("----------  ----------------  ----------------  ----------------\n");
    for (int i = 0; i < results.parameterCount; ++i) {
        const ProfileLimits& limits = results.profile[i];
        const ParameterStatistics& ps = results.parameters[i];
        char lower[32];
        char upper[32];
        if (limits.lowerFound)
            snprintf(lower, sizeof lower, "%16.9lG", limits.lower);
        else
            snprintf(lower, sizeof lower, "%16s", MSG_NOT_BOUNDED);
        if (limits.upperFound)
            snprintf(upper, sizeof upper, "%16.9lG", limits.upper);
        else
            snprintf(upper, sizeof upper, "%16s", MSG_NOT_BOUNDED);
        reportText("%10s  %s  %16.9lG  %s\n", ps.name, lower, ps.estimate, upper);
    }
}

void reportCovarianceMatrix(const AnalysisResults& results)
{
    const int p = parameterCount;
    for (int first = 0; first < p; first += COVARIANCE_GROUP) {
        const int last = first + COVARIANCE_GROUP < p ? first + COVARIANCE_GROUP : p;
        reportText(first == 0 ? "\n\n           ----  Variance-Covariance Matrix  ----\n\n"
                              : "\n\n           ----  Variance-Covariance Matrix (continued)  ----\n\n");
        std::string heading = " Parameter ";
        std::string rule = "---------- ";
        for (int j = first; j < last; ++j) {
            appendf(heading, "    %10s ", statisticsCenterName(parameters[j]->name).c_str());
            rule += "  -------------";
        }
        reportText("%s\n", heading.c_str());
        reportText("%s\n", rule.c_str());
        for (int i = 0; i < p; ++i) {
            std::string row;
            appendf(row, "%10s:", parameters[i]->name);
            for (int j = first; j < last; ++j)
                appendf(row, "  %13.5lG", results.covariance ? results.covariance[(size_t)i * p + j] : 0.0);
            reportText("%s\n", row.c_str());
        }
    }
}

void reportListing(const AnalysisResults& results)
{
    writeSummary(results);
    if (!settings.functionMinimization)
        reportDescriptiveStatistics(results);
    if (results.correlationCount > 1)
        reportCorrelationMatrix(results);
    reportParameterTable(results);
    if (!results.parameterFileMessage.empty())
        reportText("%s", results.parameterFileMessage.c_str());
    if (results.derivedCount > 0)
        reportDerivedQuantities(results);
    bandsReport(results);
    if (!settings.functionMinimization && missingStatistics(results) == MSG_NO_START) {
        reportText(results.weights ? "\n\n               ----  Weighted Analysis of Variance  ----\n\n"
                                   : "\n\n                  ----  Analysis of Variance  ----\n\n");
        reportText("%s\n", MSG_NO_START);
    } else if (!settings.functionMinimization && results.residualsComputed) {
        reportAnalysisOfVariance(results);
    }
    if (results.covarianceState.code != 0 && settings.confidenceLevel != 0 && results.covariance)
        reportConfidenceIntervals(results);
    if (results.profile && results.parameters)
        reportProfileIntervals(results);
    if (results.covarianceState.print)
        reportCovarianceMatrix(results);
    diagnosisWrite(results.diagnosis);
    reportText("\n");
}

const char* reportStopReasonText(int code)
{
    for (const StopReason& reason : stopReasons)
        if (reason.code == code)
            return reason.text;
    return "";
}

void reportStopReason(int code)
{
    reportText("Stopped due to: %s\n", reportStopReasonText(code));
}
