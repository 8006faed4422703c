// Fit statistics: residual sums, standard errors with t and Prob(t), descriptive
// statistics of the input variables and Pearson correlations.
#include "analysis/statistics.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "analysis/results.h"
#include "exec/specfun.h"
#include "lang/data.h"
#include "lang/options.h"
#include "lang/symbols.h"

namespace {

constexpr double NEAR_ZERO_RESIDUAL = 1e-9;   // counts as lying on both sides of the curve

// Sums of one variable's differences from its first value, kept in units of a power of
// two that grows with the largest magnitude seen: no square can overflow, values deep in
// the subnormals keep their digits, and powers of two scale without rounding.
constexpr int SCALE_UNSET = -1100;      // below the exponent of the smallest double

struct ScaledSums {
    int exponent;       // the values are divided by 2^exponent
    double origin;      // the first value
    double sum;         // sum of the scaled differences
    double sum2;        // sum of their squares
};

// Raises the unit of the sums when value would not stay below 1 in it; returns the
// shift applied to sums of first powers (0 or negative), for the caller's cross sums.
int scaledSumsAdmit(ScaledSums* sums, double value)
{
    if (!std::isfinite(value) || value == 0)
        return 0;
    int exponent = 0;
    std::frexp(value, &exponent);
    if (exponent <= sums->exponent)
        return 0;
    const int shift = sums->exponent - exponent;
    sums->sum = std::ldexp(sums->sum, shift);
    sums->sum2 = std::ldexp(sums->sum2, 2 * shift);
    sums->exponent = exponent;
    return shift;
}

}  // namespace

ResidualStats statisticsResiduals(const double* observed, const double* predicted, int n, int p)
{
    ResidualStats st = {};
    st.count = n;
    int above = 0;
    int below = 0;
    double previous = 0.0;
    // The corrected total is formed from sums about the first observation: the same
    // quantity as sumY2 - sumY^2 / n, without the cancellation that wrecks it when the
    // values sit far from zero (1e8 plus small changes, or a constant column).
    const double origin = n > 0 ? observed[0] : 0.0;
    double shiftedSum = 0.0;
    double shiftedSum2 = 0.0;
    // Every sum runs in observation order in its own variable; the side counts are
    // added without branches, as the residuals' signs follow no pattern. The largest
    // |d_i| is a plain maximum; a residual that is not a number is noted aside and makes
    // the maximum not a number too (the last such |d_i|), rather than being passed over.
    bool sawNaN = false;
    double lastNaN = 0.0;
    for (int i = 0; i < n; ++i) {
        const double y = observed[i];
        const double d = observed[i] - predicted[i];
        st.sumY += y;
        st.sumY2 += y * y;
        shiftedSum += y - origin;
        shiftedSum2 += (y - origin) * (y - origin);
        st.residualSS += d * d;
        st.sumDev += d;
        const double size = std::fabs(d);
        st.absDev += size;
        st.maxDev = size > st.maxDev ? size : st.maxDev;
        if (std::isnan(d)) {
            sawNaN = true;
            lastNaN = size;
        }
        if (i >= 1)
            st.dwNumerator += (d - previous) * (d - previous);
        previous = d;
        const bool nearZero = std::fabs(d) < NEAR_ZERO_RESIDUAL;
        above += (int)(nearZero | (d > 0));
        below += (int)(nearZero | (d < 0));
    }
    if (sawNaN)
        st.maxDev = lastNaN;
    if (n > 0) {
        st.absDev /= st.count;
        st.totalSS = shiftedSum2 - shiftedSum * shiftedSum / st.count;
    }
    st.regressionSS = st.totalSS - st.residualSS;
    if (st.regressionSS < 0)
        st.regressionSS = 0;
    if (st.totalSS != 0 && st.residualSS < st.totalSS)
        st.rSquared = 1.0 - st.residualSS / st.totalSS;
    // any positive total: a fixed floor would drop Ra^2 for observations near 1e-11
    if (n - p > 0 && st.totalSS > 0)
        st.adjRSquared = 1.0 - (st.residualSS / st.totalSS) * (n - 1) / (double)(n - p);
    if (st.residualSS > 0)
        st.durbinWatson = st.dwNumerator / st.residualSS;
    st.oneSided = (above == 0) != (below == 0);
    return st;
}

bool statisticsAvailable(const AnalysisResults& results)
{
    return results.covarianceState.code != 0 && !settings.functionMinimization &&
           parameterCount < observationCount;
}

void statisticsForEstimate(double estimate, double variance, int df, ParameterStatistics* out)
{
    out->hasStatistics = true;
    out->stdError = std::sqrt(variance);
    // t is the ratio whatever the units: a standard error of 6.6e-21 beside an estimate
    // of 3.2e-21 is t = 0.48, not a huge t. Only a zero (or unusable) standard error
    // leaves t undefined, and the table shows that rather than a number.
    out->tAvailable = out->stdError > 0 && std::isfinite(out->stdError) && std::isfinite(estimate);
    if (!out->tAvailable) {
        out->tValue = 0.0;
        out->probT = 1.0;
        return;
    }
    out->tValue = estimate / out->stdError;
    out->probT = 2.0 * (1.0 - studentTProbability(out->tValue, df));
    if (!(out->probT >= STAT_PROB_FLOOR))
        out->probT = STAT_PROB_FLOOR;
}

ParameterStatistics statisticsParameter(const AnalysisResults& results, int i)
{
    ParameterStatistics ps = {};
    const Symbol* s = parameters[i];
    ps.name = s->name;
    ps.initialGuess = results.initialGuess ? results.initialGuess[i] : s->initialValue;
    ps.estimate = s->value;
    if (statisticsAvailable(results) && results.covariance) {
        const int p = parameterCount;
        statisticsForEstimate(s->value, results.covariance[(size_t)i * p + i],
                              observationCount - p, &ps);
    }
    return ps;
}

VariableStatistics statisticsVariable(const double* column, int stride, int n)
{
    VariableStatistics vs = {};
    if (n <= 0)
        return vs;
    vs.minimum = column[0];
    vs.maximum = column[0];
    // The largest magnitude is a plain maximum; a value that is not a number is noted
    // aside and makes it not a number (the last such value).
    double largest = 0.0;
    double lastNaN = 0.0;
    bool sawNaN = false;
    for (int i = 0; i < n; ++i) {
        const double x = column[(size_t)i * stride];
        if (x < vs.minimum)
            vs.minimum = x;
        if (x > vs.maximum)
            vs.maximum = x;
        const double size = std::fabs(x);
        largest = size > largest ? size : largest;
        if (std::isnan(x)) {
            sawNaN = true;
            lastNaN = size;
        }
    }
    if (sawNaN)
        largest = lastNaN;
    // The sums are formed from the values divided by the power of two just above the
    // largest magnitude: a division that loses nothing, and that keeps the sum and the
    // squares finite however close the values come to the largest double (or however
    // deep into the subnormals they sit). The scale is applied again at the end, so
    // only a mean or spread beyond the largest double shows as infinite.
    int exponent = 0;
    if (std::isfinite(largest) && largest > 0)
        std::frexp(largest, &exponent);
    // Sums about the first value for the variance (see statisticsResiduals); a constant
    // column gives exactly 0, and rounding never makes the variance negative.
    // Within the normal range the power of two is a double, and multiplying by it is the
    // same exact scaling as ldexp, without a call per value.
    const bool multiply = exponent >= DBL_MIN_EXP && exponent <= DBL_MAX_EXP - 1;
    const double scale = multiply ? std::ldexp(1.0, -exponent) : 0.0;
    const double origin = std::ldexp(column[0], -exponent);
    double sum = 0.0;
    double shiftedSum = 0.0;
    double shiftedSum2 = 0.0;
    for (int i = 0; i < n; ++i) {
        const double value = column[(size_t)i * stride];
        const double x = multiply ? value * scale : std::ldexp(value, -exponent);
        sum += x;
        shiftedSum += x - origin;
        shiftedSum2 += (x - origin) * (x - origin);
    }
    vs.mean = std::ldexp(sum / n, exponent);
    if (n > 1) {
        const double variance = (shiftedSum2 - shiftedSum * shiftedSum / n) / (n - 1);
        // Rounding can leave a tiny negative variance; a non-finite one stays visible.
        vs.standardDeviation = variance < 0 ? 0.0 : std::ldexp(std::sqrt(variance), exponent);
    }
    return vs;
}

// With S = sum w_i r_i^2 the likelihood is maximised at sigma^2 = S / n, where
//   ln L = -n/2 (ln(2 pi) + 1 - ln n + ln S) + 1/2 sum ln w_i.
InformationCriteria statisticsCriteria(double residualSS, const double* weights, int n, int p)
{
    InformationCriteria c = {};
    c.k = p + 1;
    if (n <= 0 || !(residualSS > 0.0) || !std::isfinite(residualSS))
        return c;
    double sumLogWeights = 0.0;
    for (int i = 0; weights && i < n; ++i)
        sumLogWeights += std::log(weights[i]);
    const double dn = n;
    c.logLikelihood = -0.5 * dn * (std::log(2.0 * M_PI) + 1.0 - std::log(dn) + std::log(residualSS)) +
                      0.5 * sumLogWeights;
    if (!std::isfinite(c.logLikelihood))
        return c;
    c.defined = true;
    c.aic = -2.0 * c.logLikelihood + 2.0 * c.k;
    c.bic = -2.0 * c.logLikelihood + c.k * std::log(dn);
    c.aiccDefined = n - c.k - 1 > 0;
    if (c.aiccDefined)
        c.aicc = c.aic + 2.0 * c.k * (c.k + 1.0) / (n - c.k - 1.0);
    return c;
}

double statisticsCorrelationOfSums(double n, double sx, double sy, double sxx, double syy, double sxy)
{
    // A constant column gives 0/0 or x/0; the result is then printed as a non-finite number.
    return (sxy - sx * sy / n) / std::sqrt((syy - sy * sy / n) * (sxx - sx * sx / n));
}

double statisticsCorrelation(const double* a, int strideA, const double* b, int strideB, int n)
{
    ScaledSums x = {SCALE_UNSET, 0.0, 0.0, 0.0};
    ScaledSums y = {SCALE_UNSET, 0.0, 0.0, 0.0};
    double sxy = 0.0;
    for (int i = 0; i < n; ++i) {
        const double valueX = a[(size_t)i * strideA];
        const double valueY = b[(size_t)i * strideB];
        if (i == 0) {
            x.origin = valueX;
            y.origin = valueY;
        }
        sxy = std::ldexp(sxy, scaledSumsAdmit(&x, valueX) + scaledSumsAdmit(&y, valueY));
        const double dx = std::ldexp(valueX, -x.exponent) - std::ldexp(x.origin, -x.exponent);
        const double dy = std::ldexp(valueY, -y.exponent) - std::ldexp(y.origin, -y.exponent);
        x.sum += dx;
        x.sum2 += dx * dx;
        y.sum += dy;
        y.sum2 += dy * dy;
        sxy += dx * dy;
    }
    // The coefficient does not change when either variable is scaled.
    return statisticsCorrelationOfSums(n, x.sum, y.sum, x.sum2, y.sum2, sxy);
}

std::string statisticsCenterName(const char* name)
{
    const int length = (int)std::strlen(name);
    std::string text;
    const int lead = (11 - length) / 2;
    if (lead > 0)
        text.append(lead, ' ');
    text += name;
    if ((int)text.size() < CENTER_NAME_WIDTH)
        text.append(CENTER_NAME_WIDTH - text.size(), ' ');
    return text;
}
