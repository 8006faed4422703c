// Derived quantities. After a properly converged fit with a covariance matrix and n > p,
// each DERIVED expression is evaluated at the estimates, differentiated in the parameters
// by central differences (exactly with DERIVATIVES EXACT), and given the standard error sqrt(g' C g), t, Prob(t) and
// limits at the program's confidence level, exactly as the parameter table treats its
// estimates. C is the full matrix: the off-diagonal terms matter whenever the parameters
// are correlated, which is the rule in nonlinear fits.
#include "analysis/derived.h"

#include <cmath>

#include "analysis/results.h"
#include "analysis/statistics.h"
#include "exec/interpreter.h"
#include "exec/operators.h"
#include "exec/specfun.h"
#include "exec/tangent.h"
#include "lang/options.h"
#include "lang/data.h"
#include "lang/symbols.h"
#include "lang/uncertainty.h"
#include "support/allocator.h"

namespace {

constexpr const char* TAG_DERIVED = "rslt";

const char MISSING_DOMAIN[] = "the expression cannot be evaluated near the estimates";
const char MISSING_SINGULAR[] = "the covariance matrix is too near singular for it";

// One evaluation of a DERIVED expression in its own frame, at the parameters b.
struct Evaluation {
    RunFrame* frame;
    const DerivedQuantity* quantity;
};

bool evaluateAt(void* context, const double* b, double* value)
{
    const Evaluation& e = *static_cast<Evaluation*>(context);
    RunFrame* frame = e.frame;
    runReset(frame);
    if (!frame->values)
        return false;
    for (int j = 0; j < parameterCount; ++j)
        frame->values[parameters[j]->slot] = b[j];
    frame->currentLine = e.quantity->line;
    *value = operatorsEvaluate(frame, e.quantity->tree);
    frame->currentLine = nullptr;
    return !frame->runFailed && std::isfinite(*value);
}

// The exact gradient of the expression at b (DERIVATIVES EXACT): false where it cannot
// be evaluated or a derivative is not finite.
bool exactGradient(const Evaluation& e, const double* b, int p, double* gradient)
{
    TangentFrame tangent{};
    RunFrame* frame = e.frame;
    runReset(frame);
    if (!frame->values || !tangentFrameFit(&tangent, p))
        return false;
    for (int j = 0; j < p; ++j)
        frame->values[parameters[j]->slot] = b[j];
    tangentReset(&tangent);
    frame->currentLine = e.quantity->line;
    const double value = tangentEvaluate(frame, &tangent, e.quantity->tree, gradient);
    frame->currentLine = nullptr;
    tangentFrameRelease(&tangent);
    bool ok = !frame->runFailed && std::isfinite(value);
    for (int j = 0; j < p; ++j)
        ok = ok && std::isfinite(gradient[j]);
    return ok;
}

}  // namespace

bool derivedGradient(bool (*f)(void* context, const double* b, double* value), void* context, double* b,
                     const double* scale, int p, double* gradient)
{
    bool ok = true;
    for (int j = 0; j < p; ++j) {
        const double bj = b[j];
        const double size = std::fmax(std::fabs(bj), scale[j]);
        double h = DERIVED_RELATIVE_STEP * (size > 0 ? size : 1.0);
        // The step actually taken, so that the quotient divides by the true difference.
        h = (bj + h) - bj;
        double up = 0.0;
        double down = 0.0;
        b[j] = bj + h;
        const bool okUp = f(context, b, &up);
        b[j] = bj - h;
        const bool okDown = f(context, b, &down);
        b[j] = bj;
        if (!okUp || !okDown || !(h > 0)) {
            gradient[j] = NAN;
            ok = false;
            continue;
        }
        gradient[j] = (up - down) / (2.0 * h);
    }
    return ok;
}

void derivedCompute(AnalysisResults& results)
{
    derivedRelease(results);
    const int count = uncertainty.derivedCount;
    if (count == 0)
        return;
    const int n = observationCount;
    const int p = parameterCount;
    results.derived =
        static_cast<DerivedStatistics*>(memalloc_zero(sizeof(DerivedStatistics) * (size_t)count, TAG_DERIVED));
    double* b = memalloc_doubles((size_t)(p > 0 ? 3 * p : 1), TAG_DERIVED);
    if (!results.derived || !b) {
        if (b)
            memfree(b);
        derivedRelease(results);
        return;
    }
    results.derivedCount = count;
    double* scale = b + p;
    double* gradient = b + 2 * p;
    const char* reason = resultsUncertaintyRefusal(results, n, p);
    results.derivedReason = reason;
    RunFrame frame = {};
    for (int k = 0; k < count; ++k) {
        const DerivedQuantity& q = uncertainty.derived[k];
        DerivedStatistics& d = results.derived[k];
        d.name = q.name;
        for (int j = 0; j < p; ++j)
            b[j] = parameters[j]->value;
        Evaluation e = {&frame, &q};
        d.valueComputed = evaluateAt(&e, b, &d.value);
        if (!d.valueComputed || reason)
            continue;
        // A typical scale for a parameter near zero: its own standard error.
        for (int j = 0; j < p; ++j)
            scale[j] = std::sqrt(std::fabs(results.covariance[(size_t)j * p + j]));
        // The differences run quietly: a step outside the domain is reported below as a
        // missing standard error, once, rather than as an error of each trial.
        frame.quiet = true;
        const bool ok = settings.exactDerivatives ? exactGradient(e, b, p, gradient)
                                                  : derivedGradient(evaluateAt, &e, b, scale, p, gradient);
        frame.quiet = false;
        if (!ok) {
            d.missing = MISSING_DOMAIN;
            continue;
        }
        double variance = 0.0;
        double magnitude = 0.0;
        for (int i = 0; i < p; ++i)
            for (int j = 0; j < p; ++j) {
                const double term = gradient[i] * results.covariance[(size_t)i * p + j] * gradient[j];
                variance += term;
                magnitude += std::fabs(term);
            }
        // A nearly redundant model has a covariance of huge, almost cancelling entries:
        // its g' C g is rounding, not a variance.
        if (!(variance >= 0) || variance < DERIVED_CANCELLATION_LIMIT * magnitude) {
            d.missing = MISSING_SINGULAR;
            continue;
        }
        ParameterStatistics ps = {};
        statisticsForEstimate(d.value, variance, n - p, &ps);
        d.hasStatistics = true;
        d.stdError = ps.stdError;
        d.tAvailable = ps.tAvailable;
        d.tValue = ps.tValue;
        d.probT = ps.probT;
        // The limits use the level and quantile of the parameters' confidence intervals.
        if (!results.intervals)
            continue;
        const double t = inverseStudentT((results.intervalLevel + 1) * 0.5, n - p);
        d.lowerLimit = d.value - t * d.stdError;
        d.upperLimit = d.value + t * d.stdError;
    }
    runFrameRelease(&frame);
    memfree(b);
}

void derivedRelease(AnalysisResults& results)
{
    if (results.derived)
        memfree(results.derived);
    results.derived = nullptr;
    results.derivedCount = 0;
    results.derivedReason = nullptr;
}
