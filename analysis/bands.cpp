// Bands around a fitted curve. At each curve point x the model f(x; b) is differenced in
// the parameters (central differences with the relative step of the derived quantities,
// or its exact derivatives with DERIVATIVES EXACT),
// and se_fit(x)^2 = g' C g with the full covariance C of the listing, so the band and
// the parameter table never disagree. The half-widths are
//   confidence:   t(1 - a/2; n - p) se_fit
//   prediction:   t(1 - a/2; n - p) sqrt(se_fit^2 + v(x)),  v the variance of a new observation
//   simultaneous: sqrt(p F(1 - a; p, n - p)) se_fit        (Working-Hotelling)
// Unweighted, v = s^2. With relative weights v = s_w^2 / w(x), with absolute weights
// 1 / w(x), when the WEIGHT expression can be evaluated at x; otherwise a new
// observation is given the mean variance of the observations, and the listing says so.
#include "analysis/bands.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "analysis/derived.h"
#include "analysis/report.h"
#include "analysis/results.h"
#include "analysis/weights.h"
#include "exec/interpreter.h"
#include "exec/specfun.h"
#include "exec/tangent.h"
#include "lang/data.h"
#include "lang/options.h"
#include "lang/parser.h"
#include "lang/symbols.h"
#include "lang/uncertainty.h"
#include "support/allocator.h"
#include "support/safefile.h"

namespace {

constexpr const char* TAG_BAND = "band";

const char REASON_NO_LEVEL[] = "the confidence level cannot be used";
const char NOTE_MEAN_VARIANCE[] =
    "the weight cannot be evaluated at a new x; a new observation is given the mean variance of the observations";

// A bare CONFIDENCE statement's level, also taken when a program asks for a band
// without one; the listing line and the legend then name it.
constexpr double LEVEL_WITHOUT_STATEMENT = 0.9;

constexpr const char TABLE_HEADER[] =
    "x,fit,se_fit,conf_lower,conf_upper,pred_lower,pred_upper,simconf_lower,simconf_upper\n";

// One evaluation of the model at curve point x with parameters b, from a fresh frame so
// that every difference sees the same program state.
struct CurvePoint {
    RunFrame* frame;
    double* values;             // one per input variable
    int index;                  // point number, as the observation number
    bool weightAtX;             // the weight is evaluated too
    double weight;              // out: the weight there (when weightAtX)
    bool weightComputed;        // out: it was positive and finite
};

bool modelAt(void* context, const double* b, double* value)
{
    CurvePoint& c = *static_cast<CurvePoint*>(context);
    runReset(c.frame);
    if (!c.frame->values)
        return false;
    for (int j = 0; j < parameterCount; ++j)
        c.frame->values[parameters[j]->slot] = b[j];
    double predicted = NAN;
    if (!runObservation(c.frame, c.index, c.values, &predicted, nullptr) || !std::isfinite(predicted))
        return false;
    *value = predicted;
    return true;
}

// The exact gradient of the model at a curve point (DERIVATIVES EXACT).
bool exactModelGradient(const CurvePoint& c, const double* b, TangentFrame& tangent, double* gradient)
{
    runReset(c.frame);
    if (!c.frame->values)
        return false;
    for (int j = 0; j < parameterCount; ++j)
        c.frame->values[parameters[j]->slot] = b[j];
    tangentReset(&tangent);
    if (!runObservationTangent(c.frame, &tangent, c.index, nullptr, nullptr, c.values))
        return false;
    bool ok = true;
    for (int j = 0; j < parameterCount; ++j) {
        gradient[j] = tangent.predicted[j];
        ok = ok && std::isfinite(gradient[j]);
    }
    return ok;
}

// The weight can be evaluated at a curve point when its expression reads no input
// variable but the plot's x: the others stand at their first observation there, and
// the dependent variable has no value at a new x.
bool readsOnly(const ExprNode* node, const Symbol* xVar)
{
    for (; node; node = node->nextArg) {
        if (node->symbol && node->symbol->kind == SYM_INPUT && node->symbol != xVar)
            return false;
        if (!readsOnly(node->left, xVar) || !readsOnly(node->right, xVar) ||
            !readsOnly(node->condition, xVar) || !readsOnly(node->firstArg, xVar))
            return false;
    }
    return true;
}

bool asksForBand(const PlotSpec* spec)
{
    return spec->completed && (spec->plotFlags & (PLOTF_CBAND | PLOTF_PBAND | PLOTF_SBAND));
}

// Function plots with a band option; a PLOT that completion turned into a scatter or
// residual plot (the model has no input variable to draw against) has no curve for them.
int functionPlotsWithBand()
{
    int count = 0;
    for (const PlotSpec* spec = plotList; spec; spec = spec->next)
        count += asksForBand(spec) && spec->plotKind == PLOT_FUNCTION ? 1 : 0;
    return count;
}

// Bisection for the boundary of a predicate that holds below some point and fails above
// it (a distribution function below its target probability): lo must satisfy below, hi
// not. It halves until the two are adjacent doubles; from a bracket [0, 2^k] that takes
// at most about 1100 halvings (the exponent range and the mantissa), so the bound only
// guards against a predicate that is not monotone in its last bits.
template <typename Below>
double bisect(double lo, double hi, Below below)
{
    for (int k = 0; k < 2200; ++k) {
        const double mid = 0.5 * (lo + hi);
        if (!(mid > lo && mid < hi))
            break;
        if (below(mid))
            lo = mid;
        else
            hi = mid;
    }
    return 0.5 * (lo + hi);
}

void appendNumber(std::string& line, double value, bool last)
{
    char buffer[40];
    if (std::isfinite(value)) {
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 17);
        line.append(buffer, result.ptr);
    }
    line += last ? '\n' : ',';
}

}  // namespace

double bandsStudentQuantile(double p, double df)
{
    if (!(p > 0.5 && p < 1.0) || !(df > 0))
        return NAN;
    double hi = 2.0;
    while (studentTProbability(hi, df) < p && hi < 1e300)
        hi *= 2.0;
    return bisect(0.0, hi, [&](double t) { return studentTProbability(t, df) < p; });
}

double bandsFQuantile(double upperTail, double df1, double df2)
{
    if (!(upperTail > 0.0 && upperTail < 1.0) || !(df1 > 0) || !(df2 > 0))
        return NAN;
    double hi = 2.0;
    while (fProbability(hi, df1, df2) > upperTail && hi < 1e300)
        hi *= 2.0;
    return bisect(0.0, hi, [&](double f) { return fProbability(f, df1, df2) > upperTail; });
}

BandSummary bandsSummary(const AnalysisResults& results)
{
    BandSummary summary = {};
    const int n = observationCount;
    const int p = parameterCount;
    summary.p = p;
    summary.df = n - p;
    summary.levelStated = settings.confidenceLevel != 0;
    summary.level = summary.levelStated ? settings.confidenceLevel : LEVEL_WITHOUT_STATEMENT;
    if (summary.level < RESULTS_LEVEL_FLOOR)
        summary.level = RESULTS_LEVEL_FLOOR;
    summary.reason = resultsUncertaintyRefusal(results, n, p);
    if (summary.reason)
        return summary;
    const double ss = results.weights ? results.weighted.residualSS : results.finalSumSquares;
    summary.s = std::sqrt(ss / summary.df);
    summary.newVariance = results.weights && results.weightAbsolute ? 1.0 : ss / summary.df;
    summary.t = bandsStudentQuantile(0.5 * (1.0 + summary.level), summary.df);
    summary.F = bandsFQuantile(1.0 - summary.level, p, summary.df);
    summary.simultaneous = std::sqrt(p * summary.F);
    if (!std::isfinite(summary.t) || !std::isfinite(summary.simultaneous) || !std::isfinite(summary.s))
        summary.reason = REASON_NO_LEVEL;
    return summary;
}

bool bandsCompute(const AnalysisResults& results, const Symbol* xVar, double xLow, double xHigh, int count,
                  BandTable* table)
{
    *table = BandTable{};
    table->summary = bandsSummary(results);
    const int p = parameterCount;
    const int n = observationCount;
    if (count < 2 || !xVar || xVar->kind != SYM_INPUT)
        return false;
    double* block = memalloc_doubles(4 * (size_t)count, TAG_BAND);
    double* work = memalloc_doubles((size_t)(3 * p + inputVariableCount + 1), TAG_BAND);
    if (!block || !work) {
        if (block)
            memfree(block);
        if (work)
            memfree(work);
        return false;
    }
    table->count = count;
    table->x = block;
    table->fit = block + count;
    table->seFit = block + 2 * count;
    table->newVariance = block + 3 * count;
    double* b = work;
    double* scale = work + p;
    double* gradient = work + 2 * p;
    double* values = work + 3 * p;
    for (int j = 0; j < inputVariableCount; ++j)
        values[j] = n > 0 ? observations[j] : 0.0;

    BandSummary& summary = table->summary;
    const bool bands = summary.reason == nullptr;
    const bool weighted = results.weights != nullptr;
    const bool weightAtX = weighted && readsOnly(uncertainty.weightTree, xVar);
    double meanVariance = summary.newVariance;
    if (bands && weighted && !weightAtX) {
        summary.weightNote = NOTE_MEAN_VARIANCE;
        double sum = 0.0;
        for (int i = 0; i < n; ++i)
            sum += 1.0 / results.weights[i];
        meanVariance = summary.newVariance * sum / n;
    }
    for (int j = 0; j < p; ++j) {
        b[j] = parameters[j]->value;
        // A typical scale for a parameter near zero: its own standard error.
        scale[j] = bands ? std::sqrt(std::fabs(results.covariance[(size_t)j * p + j])) : 0.0;
    }

    RunFrame frame = {};
    frame.quiet = true;
    TangentFrame tangent = {};
    if (settings.exactDerivatives && bands)
        tangentFrameFit(&tangent, p);
    const bool quiet = quietErrors;
    quietErrors = true;
    for (int i = 0; i < count; ++i) {
        const double x = xLow + (xHigh - xLow) / (count - 1) * i;
        values[xVar->index] = x;
        table->x[i] = x;
        table->fit[i] = table->seFit[i] = table->newVariance[i] = NAN;
        CurvePoint point = {&frame, values, i, false, 0.0, false};
        double fit = NAN;
        if (!modelAt(&point, b, &fit))
            continue;
        table->fit[i] = fit;
        if (!bands)
            continue;
        // The weight at x, read from the frame the centre evaluation left behind.
        double variance = meanVariance;
        if (weightAtX) {
            double w = 0.0;
            variance = weightsEvaluate(&frame, i, &w) ? summary.newVariance / w : NAN;
        }
        if (!(tangent.slots ? exactModelGradient(point, b, tangent, gradient)
                            : derivedGradient(modelAt, &point, b, scale, p, gradient)))
            continue;
        double gcg = 0.0;
        for (int r = 0; r < p; ++r) {
            double row = 0.0;
            for (int c = 0; c < p; ++c)
                row += results.covariance[(size_t)r * p + c] * gradient[c];
            gcg += gradient[r] * row;
        }
        // Rounding can leave a tiny negative g' C g where the curve is pinned (se_fit 0).
        if (gcg < 0 && gcg > -1e-12 * std::fabs(fit * fit))
            gcg = 0.0;
        table->seFit[i] = gcg >= 0 ? std::sqrt(gcg) : NAN;
        table->newVariance[i] = variance;
    }
    quietErrors = quiet;
    runFrameRelease(&frame);
    tangentFrameRelease(&tangent);
    memfree(work);
    return true;
}

void bandsRelease(BandTable* table)
{
    if (table->x)
        memfree(table->x);
    *table = BandTable{};
}

double bandsConfidenceHalf(const BandTable& table, int i)
{
    return table.summary.t * table.seFit[i];
}

double bandsPredictionHalf(const BandTable& table, int i)
{
    const double se = table.seFit[i];
    return table.summary.t * std::sqrt(se * se + table.newVariance[i]);
}

double bandsSimultaneousHalf(const BandTable& table, int i)
{
    return table.summary.simultaneous * table.seFit[i];
}

std::string bandsCaption(const BandSummary& summary, int kind)
{
    const char* what = kind == BAND_PREDICTION   ? "pointwise prediction band"
                       : kind == BAND_SIMULTANEOUS ? "simultaneous confidence band"
                                                   : "pointwise confidence band";
    char text[80];
    snprintf(text, sizeof text, "%.6g%% %s", 100.0 * summary.level, what);
    return text;
}

bool bandsWriteTable(const BandTable& table, const std::string& path, std::string* message)
{
    SafeFile file;
    if (!safeFileOpen(&file, path)) {
        *message = "Cannot open band table file: " + safeFileFullPath(path) + " (" + safeFileReason(&file) + ")";
        return false;
    }
    bool ok = fputs(TABLE_HEADER, file.stream) >= 0;
    std::string line;
    for (int i = 0; i < table.count && ok; ++i) {
        const double fit = table.fit[i];
        const double c = bandsConfidenceHalf(table, i);
        const double q = bandsPredictionHalf(table, i);
        const double m = bandsSimultaneousHalf(table, i);
        line.clear();
        appendNumber(line, table.x[i], false);
        appendNumber(line, fit, false);
        appendNumber(line, table.seFit[i], false);
        appendNumber(line, fit - c, false);
        appendNumber(line, fit + c, false);
        appendNumber(line, fit - q, false);
        appendNumber(line, fit + q, false);
        appendNumber(line, fit - m, false);
        appendNumber(line, fit + m, true);
        ok = fputs(line.c_str(), file.stream) >= 0;
    }
    // A failed write leaves the stream's error flag: the commit then fails and finds the
    // reason (a full disk, say).
    if (!safeFileCommit(&file) || !ok) {
        *message = "Error writing band table file: " + safeFileFullPath(path) + " (" + safeFileReason(&file) + ")";
        return false;
    }
    return true;
}

void bandsReport(const AnalysisResults& results)
{
    if (settings.functionMinimization)
        return;
    int number = 0;
    for (const PlotSpec* spec = plotList; spec; spec = spec->next) {
        ++number;
        if (asksForBand(spec) && spec->plotKind != PLOT_FUNCTION)
            reportText("\nPlot %d has no bands: it does not show the fitted curve.\n", number);
    }
    if (functionPlotsWithBand() == 0)
        return;
    const BandSummary summary = bandsSummary(results);
    if (summary.reason) {
        reportText("\nNo bands are drawn: %s.\n", summary.reason);
        return;
    }
    reportText("\nBands at %.6g%%%s: n - p = %d, %s = %.7lG, t = %.7lG, F = %.7lG (simultaneous factor sqrt(p F) = %.7lG)\n",
               100.0 * summary.level, summary.levelStated ? "" : " (no CONFIDENCE statement: its default level)", summary.df,
               results.weights ? "s_w" : "s", summary.s, summary.t, summary.F, summary.simultaneous);
    if (results.weights && uncertainty.weightTree) {
        bool everyX = true;
        for (const PlotSpec* spec = plotList; spec; spec = spec->next)
            if (asksForBand(spec) && spec->plotKind == PLOT_FUNCTION && (spec->plotFlags & PLOTF_PBAND) && spec->xVar &&
                !readsOnly(uncertainty.weightTree, spec->xVar))
                everyX = false;
        if (!everyX)
            reportText("Prediction band: %s.\n", NOTE_MEAN_VARIANCE);
    }
}
