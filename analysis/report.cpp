// Final Results section of the run listing: summary figures, descriptive statistics,
// correlation matrix, parameter table, analysis of variance, confidence intervals and
// the variance-covariance matrix, in that order.
#include "analysis/report.h"

#include <cmath>
#include <cstdarg>
#include <cstring>
#include <string>

#include "analysis/covariance.h"
#include "analysis/driver.h"
#include "analysis/output.h"
#include "analysis/statistics.h"
#include "exec/specfun.h"
#include "exec/timestamp.h"
#include "lang/data.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "support/listing.h"

namespace {

constexpr int REPORT_BUFFER = 4096;            // one write; rows are far shorter
constexpr double DW_AUTOCORRELATION = 0.8;     // Durbin-Watson below this earns a warning
constexpr double LEVEL_FLOOR = 0.50001;        // smallest usable confidence level
constexpr int CORRELATION_GROUP = 5;           // correlation columns per block
constexpr int COVARIANCE_GROUP = 4;            // covariance columns per block

// "  %9.1lE" above these limits, "  %9.2lf" between them (the limits differ on purpose).
constexpr double FIXED_UPPER = 1000000.0;
constexpr double FIXED_LOWER = -100000.0;

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
    formatTValue(buffer, sizeof buffer, value);
    text += "  ";
    text += buffer;
}

void writeSummary(int stopCode, const ResidualStats& rs)
{
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
    reportStopReason(stopCode, false);
    if (rs.oneSided && !minimise) {
        reportText("Warning: All data points are on one side of the curve.\n");
        reportText("This indicates the model does not fit the data well.\n");
    }
    reportText("Number of iterations performed = %ld\n", (long)analysis.iterationCount);
    if (minimise) {
        reportText("Final function value = %14.7lE\n", analysis.predicted ? analysis.predicted[0] : 0.0);
    } else {
        reportText("Final sum of squared deviations = %14.7lE\n", analysis.finalSumSquares);
        reportText("Final sum of deviations = %14.7lE\n", rs.sumDev);
    }
    if (n - p > 0 && !minimise)
        reportText("Standard error of estimate = %lG\n", std::sqrt(rs.residualSS / (n - p)));
    if (!minimise) {
        reportText("Average deviation = %lG\n", rs.absDev);
        reportText("Maximum deviation for any observation = %lG\n", rs.maxDev);
        if (rs.rSquared > 0) {
            reportText("Proportion of variance explained (R^2) = %.4lf  (%.2lf%%)\n",
                       rs.rSquared, 100 * rs.rSquared);
            reportText("Adjusted coefficient of multiple determination (Ra^2) = %.4lf  (%.2lf%%)\n",
                       rs.adjRSquared, 100 * rs.adjRSquared);
            reportText("Durbin-Watson test for autocorrelation = %.3lf\n", rs.durbinWatson);
            if (!(rs.durbinWatson >= DW_AUTOCORRELATION))
                reportText("This Durbin-Watson value indicates autocorrelation or inappropriate function.\n");
        }
        covarianceWriteWarning();
    }
    if (settings.outputMode > 0)
        reportText("Output values will be written to %s\n", settings.outputFile.c_str());
    if (!settings.parameterOutputFile.empty())
        reportText("Parameter values will be written to %s\n", settings.parameterOutputFile.c_str());
    const double now = localMoment();
    char stamp[STAMP_BUFFER_SIZE];
    formatStamp(now, stamp);
    reportText("Analysis completed %s.  Runtime = %.2lf seconds.\n", stamp, now - analysis.startTime);
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

void formatTValue(char* buffer, size_t size, double t)
{
    if (t >= FIXED_UPPER || t <= FIXED_LOWER)
        snprintf(buffer, size, "%9.1lE", t);
    else
        snprintf(buffer, size, "%9.2lf", t);
}

void writeDescriptiveStatistics()
{
    reportText("\n\n             ----  Descriptive Statistics for Variables  ----\n\n");
    reportText(" Variable    Minimum value   Maximum value    Mean value     Standard dev.\n");
    reportText("----------  --------------  --------------  --------------  --------------\n");
    for (int j = 0; j < inputVariableCount; ++j) {
        const VariableStatistics vs =
            variableStatistics(observations + j, inputVariableCount, observationCount);
        reportText("%10s  %14.7lG  %14.7lG  %14.7lG  %14.7lG\n", inputVariables[j]->name,
                   vs.minimum, vs.maximum, vs.mean, vs.standardDeviation);
    }
}

void writeCorrelationMatrix()
{
    const int count = settings.correlationCount;
    Symbol* const* list = settings.correlationVariables;
    for (int first = 0; first < count; first += CORRELATION_GROUP) {
        const int last = first + CORRELATION_GROUP < count ? first + CORRELATION_GROUP : count;
        reportText(first == 0 ? "\n\n           ----  Correlation Matrix  ----\n\n"
                              : "\n\n           ----  Correlation Matrix (continued)  ----\n\n");
        std::string heading = " Variable    ";
        std::string rule = "---------- ";
        for (int c = first; c < last; ++c) {
            appendf(heading, "%10s  ", centerName(list[c]->name).c_str());
            rule += "  ----------";
        }
        reportText("%s\n", heading.c_str());
        reportText("%s\n", rule.c_str());
        for (int r = 0; r < count; ++r) {
            std::string row;
            appendf(row, "%10s:", list[r]->name);
            for (int c = first; c < last; ++c)
                appendf(row, "    %6.3lf  ", correlation(list[r], list[c]));
            reportText("%s\n", row.c_str());
        }
    }
}

void writeParameterTable()
{
    const bool withStats = statisticsAvailable();
    if (withStats) {
        reportText("\n\n                   ----  Calculated Parameter Values  ----\n\n");
        reportText(" Parameter  Initial guess   Final estimate   Standard error      t      Prob(t)\n");
        reportText("----------  -------------  ----------------  --------------  ---------  -------\n");
    } else {
        reportText("\n\n  ----  Calculated Parameter Values  ----\n\n");
        reportText(" Parameter  Initial guess   Final estimate \n");
        reportText("----------  -------------  ----------------\n");
    }
    for (int i = 0; i < parameterCount; ++i) {
        const ParameterStatistics ps = parameterStatistics(i);
        Symbol* s = parameters[i];
        std::string row;
        appendf(row, "%10s  %13.6lG  %16.9lG", ps.name, ps.initialGuess, ps.estimate);
        if (ps.hasStatistics) {
            s->stdError = ps.stdError;
            s->tValue = ps.tValue;
            s->probT = ps.probT;
            appendf(row, "  %14.7lG", ps.stdError);
            appendRatio(row, ps.tValue);
            appendf(row, "  %7.5lf", ps.probT);
        }
        reportText("%s\n", row.c_str());
    }
}

void writeAnalysisOfVariance(double regressionSS, double residualSS, double totalSS)
{
    const int n = observationCount;
    const int p = parameterCount;
    if (!(totalSS > 0) || p < 2)
        return;
    const int df = n - p;
    const double meanSquareError = residualSS / df;
    const double regMeanSquare = regressionSS / (p - 1);
    const double F = regMeanSquare / meanSquareError;
    const bool wide = meanSquareError > 0 && df > 0;
    reportText("\n\n%s----  Analysis of Variance  ----\n\n", wide ? "                  " : "");
    reportText("  Source     DF   Sum of Squares%s\n", wide ? "    Mean Square    F value   Prob(F)" : "");
    reportText("----------  ----  --------------%s\n", wide ? "  --------------  ---------  -------" : "");
    std::string row;
    appendf(row, "Regression  %4d  %14.7lG", p - 1, regressionSS);
    if (wide) {
        double probF = fProbability(F, p - 1, n - p);
        if (!(probF >= STAT_PROB_FLOOR))
            probF = STAT_PROB_FLOOR;
        appendf(row, "  %14.7lG", regMeanSquare);
        appendRatio(row, F);
        appendf(row, "  %7.5lf", probF);
    }
    reportText("%s\n", row.c_str());
    if (wide)
        reportText("Error       %4ld  %14.7lG  %14.7lG\n", (long)df, residualSS, meanSquareError);
    else
        reportText("Error       %4ld  %14.7lG\n", (long)df, residualSS);
    reportText("Total       %4ld  %14.7lG\n", (long)(n - 1), totalSS);
}

void writeConfidenceIntervals()
{
    const int n = observationCount;
    const int p = parameterCount;
    if (p >= n) {
        reportText("\nUnable to compute confidence interval with this few observations.\n");
        return;
    }
    reportText("\n\n         ---- %7.3lf%% Confidence Intervals  ----\n\n", 100 * settings.confidenceLevel);
    reportText(" Parameter     Lower limit      Best estimate      Upper limit\n");
    reportText("----------  ----------------  ----------------  ----------------\n");
    const double level = settings.confidenceLevel < LEVEL_FLOOR ? LEVEL_FLOOR : settings.confidenceLevel;
    const double q = inverseStudentT((level + 1) * 0.5, n - p);
    for (int i = 0; i < p; ++i) {
        Symbol* s = parameters[i];
        const double half = q * std::sqrt(analysis.covariance[(size_t)i * p + i]);
        s->lowerLimit = s->value - half;
        s->upperLimit = s->value + half;
        reportText("%10s  %16.9lG  %16.9lG  %16.9lG\n", s->name, s->lowerLimit, s->value, s->upperLimit);
    }
}

void writeCovarianceMatrix()
{
    const int p = parameterCount;
    for (int first = 0; first < p; first += COVARIANCE_GROUP) {
        const int last = first + COVARIANCE_GROUP < p ? first + COVARIANCE_GROUP : p;
        reportText(first == 0 ? "\n\n           ----  Variance-Covariance Matrix  ----\n\n"
                              : "\n\n           ----  Variance-Covariance Matrix (continued)  ----\n\n");
        std::string heading = " Parameter ";
        std::string rule = "---------- ";
        for (int j = first; j < last; ++j) {
            appendf(heading, "    %10s ", centerName(parameters[j]->name).c_str());
            rule += "  -------------";
        }
        reportText("%s\n", heading.c_str());
        reportText("%s\n", rule.c_str());
        for (int i = 0; i < p; ++i) {
            std::string row;
            appendf(row, "%10s:", parameters[i]->name);
            for (int j = first; j < last; ++j)
                appendf(row, "  %13.5lG", analysis.covariance ? analysis.covariance[(size_t)i * p + j] : 0.0);
            reportText("%s\n", row.c_str());
        }
    }
}

void writeListing(int stopCode)
{
    const int n = observationCount;
    const int p = parameterCount;
    ResidualStats rs = {};
    if (!settings.functionMinimization && analysis.observed && analysis.predicted)
        rs = residualStatistics(analysis.observed, analysis.predicted, n, p);
    writeSummary(stopCode, rs);
    if (!settings.functionMinimization)
        writeDescriptiveStatistics();
    if (settings.correlationCount > 1 && !settings.functionMinimization)
        writeCorrelationMatrix();
    writeParameterTable();
    if (!settings.parameterOutputFile.empty())
        writeParameterFile();
    if (!settings.functionMinimization)
        writeAnalysisOfVariance(rs.regressionSS, rs.residualSS, rs.totalSS);
    if (analysis.covarianceCode != 0 && settings.confidenceLevel != 0 && analysis.covariance)
        writeConfidenceIntervals();
    if (analysis.printCovariance)
        writeCovarianceMatrix();
    reportText("\n");
}
