// Observation weights. The solver minimises sum w_i r_i^2 by seeing sqrt(w_i) r_i as the
// residual, so its covariance s_w^2 (J'WJ)^-1 with s_w^2 = sum w_i r_i^2 / (n - p) is the
// relative-weight convention; absolute weights (1/sigma_i^2 of known errors) take the
// same matrix divided by s_w^2.
#include "analysis/weights.h"

#include <cmath>
#include <cstdio>

#include "analysis/statistics.h"
#include "exec/interpreter.h"
#include "exec/operators.h"
#include "exec/specfun.h"
#include "lang/options.h"
#include "lang/uncertainty.h"

namespace {

const char MSG_BAD_WEIGHT[] = "Weight of observation %d is %lG; weights must be positive and finite";
const char MSG_WEIGHT_NOT_COMPUTED[] = "Weight of observation %d cannot be computed: %s";

}  // namespace

bool weightsActive()
{
    return uncertainty.weightTree && !settings.functionMinimization;
}

bool weightsEvaluate(RunFrame* frame, int i, double* w)
{
    const SourceLine* previous = frame->currentLine;
    frame->currentLine = uncertainty.weightLine;
    // The expression's own error is held back, so that one message names both the
    // observation and the reason.
    const bool quiet = frame->quiet;
    frame->quiet = true;
    const double value = operatorsEvaluate(frame, uncertainty.weightTree);
    frame->quiet = quiet;
    if (frame->runFailed) {
        char reason[sizeof frame->errorText];
        snprintf(reason, sizeof reason, "%s", frame->errorText);
        runtimeError(frame, MSG_WEIGHT_NOT_COMPUTED, i + 1, reason);
        frame->currentLine = previous;
        *w = 0.0;
        return false;
    }
    if (!(value > 0.0) || !std::isfinite(value)) {
        runtimeError(frame, MSG_BAD_WEIGHT, i + 1, value);
        frame->currentLine = previous;
        *w = 0.0;
        return false;
    }
    frame->currentLine = previous;
    *w = value;
    return true;
}

WeightedStats weightsStatistics(const double* observed, const double* predicted, const double* weights,
                                int n, int p)
{
    WeightedStats ws = {};
    ws.df = n - p;
    double sumWY = 0.0;
    for (int i = 0; i < n; ++i) {
        ws.sumWeights += weights[i];
        sumWY += weights[i] * observed[i];
        const double r = observed[i] - predicted[i];
        ws.residualSS += weights[i] * r * r;
        ws.plainResidualSS += r * r;
    }
    if (!(ws.sumWeights > 0))
        return ws;
    ws.weightedMean = sumWY / ws.sumWeights;
    // Deviations from the weighted mean, summed directly: the shortcut sum w y^2 -
    // (sum w y)^2 / sum w cancels when the mean is large against the spread.
    for (int i = 0; i < n; ++i) {
        const double d = observed[i] - ws.weightedMean;
        ws.totalSS += weights[i] * d * d;
    }
    if (ws.totalSS > 0 && ws.residualSS < ws.totalSS)
        ws.rSquared = 1.0 - ws.residualSS / ws.totalSS;
    if (ws.df > 0 && ws.totalSS > 1e-20)
        ws.adjRSquared = 1.0 - (ws.residualSS / ws.totalSS) * (n - 1) / ws.df;
    // Upper tail of chi-square with df degrees of freedom: Q(df/2, x/2) = 1 - P(df/2, x/2).
    ws.probChiSquare = ws.df > 0 ? 1.0 - incompleteGammaP(0.5 * ws.df, 0.5 * ws.residualSS) : 0.0;
    // Like every probability of the listing, never shown as zero.
    if (!(ws.probChiSquare >= STAT_PROB_FLOOR))
        ws.probChiSquare = STAT_PROB_FLOOR;
    return ws;
}
