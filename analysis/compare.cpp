// Comparison of models fitted to the same observations. The F test is the one of nested
// least-squares fits (Bates and Watts, Nonlinear Regression Analysis, 3.5): under the
// smaller model the drop in the sum of squares per extra parameter, over the larger
// model's residual mean square, follows F(pLarge - pSmall, n - pLarge) approximately.
#include "analysis/compare.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include "analysis/report.h"
#include "exec/specfun.h"

namespace {

constexpr int COMPARE_NAME_MIN = 5;    // the model column is at least "Model" wide
constexpr int COMPARE_NAME_MAX = 40;   // longer file names keep their end

void appendf(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));

void appendf(std::string& text, const char* format, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    text += buffer;
}

// A file name in at most COMPARE_NAME_MAX characters: the end tells models apart.
std::string shortName(const std::string& name)
{
    if (name.size() <= (size_t)COMPARE_NAME_MAX)
        return name;
    return "..." + name.substr(name.size() - (COMPARE_NAME_MAX - 3));
}

void appendNumber(std::string& text, bool defined, double value)
{
    if (defined)
        appendf(text, "  %12.7lG", value);
    else
        appendf(text, "  %12s", REPORT_NOT_AVAILABLE);
}

}  // namespace

CompareFTest compareFTest(const CompareModel& small, const CompareModel& large)
{
    CompareFTest test = {};
    test.df1 = large.p - small.p;
    test.df2 = large.n - large.p;
    if (test.df1 <= 0 || test.df2 <= 0 || !(large.ss > 0.0))
        return test;
    test.defined = true;
    test.F = ((small.ss - large.ss) / test.df1) / (large.ss / test.df2);
    test.probF = test.F > 0.0 ? fProbability(test.F, test.df1, test.df2) : 1.0;
    return test;
}

std::vector<double> compareAkaikeWeights(const std::vector<CompareModel>& models)
{
    std::vector<double> weights(models.size(), std::numeric_limits<double>::quiet_NaN());
    double best = std::numeric_limits<double>::infinity();
    for (const CompareModel& m : models) {
        if (!m.fitted || !m.criteria.defined)
            return weights;
        best = std::fmin(best, m.criteria.aic);
    }
    double sum = 0.0;
    for (size_t k = 0; k < models.size(); ++k) {
        weights[k] = std::exp(-0.5 * (models[k].criteria.aic - best));
        sum += weights[k];
    }
    for (double& w : weights)
        w /= sum;
    return weights;
}

std::string compareSameObservations(const std::vector<CompareModel>& models)
{
    std::string why;
    if (models.empty())
        return why;
    const CompareModel& first = models[0];
    for (size_t k = 1; k < models.size() && why.empty(); ++k) {
        const CompareModel& m = models[k];
        if (m.n != first.n || m.observed.size() != first.observed.size()) {
            appendf(why, "%s has %d observations, %s has %d", m.name.c_str(), m.n, first.name.c_str(), first.n);
            break;
        }
        for (size_t i = 0; i < m.observed.size(); ++i) {
            // Bit for bit: a value read as 0.1 in one file and 0.10000000000000001 in
            // another is the same double, a rounded copy of the data is not.
            if (std::memcmp(&m.observed[i], &first.observed[i], sizeof(double)) != 0) {
                appendf(why, "observation %zu differs: %.17lG in %s, %.17lG in %s", i + 1, first.observed[i],
                        first.name.c_str(), m.observed[i], m.name.c_str());
                break;
            }
        }
    }
    return why;
}

std::string compareReport(const std::vector<CompareModel>& models)
{
    std::string text = "\n\n                        ----  Model Comparison  ----\n\n";
    bool weighted = true;
    bool mixed = false;
    int width = COMPARE_NAME_MIN;
    for (const CompareModel& m : models) {
        weighted = weighted && m.weighted;
        mixed = mixed || m.weighted != models[0].weighted;
        width = std::max(width, (int)shortName(m.name).size());
    }
    const std::vector<double> weights = compareAkaikeWeights(models);
    appendf(text, "%-*s  %4s  %4s  %12s  %4s  %12s  %12s  %12s  %12s  %9s\n", width, "Model", "p", "n",
            weighted ? "Weighted SS" : "SS", "df", "s", "AIC", "AICc", "BIC", "Akaike wt");
    appendf(text, "%s  ----  ----  ------------  ----  ------------  ------------  ------------  ------------  ---------\n",
            std::string(width, '-').c_str());
    for (size_t k = 0; k < models.size(); ++k) {
        const CompareModel& m = models[k];
        appendf(text, "%-*s  %4d  %4d", width, shortName(m.name).c_str(), m.p, m.n);
        const int df = m.n - m.p;
        appendf(text, "  %12.7lG  %4d", m.ss, df);
        appendNumber(text, df > 0, df > 0 ? std::sqrt(m.ss / df) : 0.0);
        appendNumber(text, m.criteria.defined, m.criteria.aic);
        appendNumber(text, m.criteria.defined && m.criteria.aiccDefined, m.criteria.aicc);
        appendNumber(text, m.criteria.defined, m.criteria.bic);
        if (std::isfinite(weights[k]))
            appendf(text, "  %9.4lf", weights[k]);
        else
            appendf(text, "  %9s", REPORT_NOT_AVAILABLE);
        text += "\n";
    }
    if (mixed)
        text += "SS of a weighted fit is its weighted sum of squares.\n";
    bool heading = false;
    for (size_t k = 1; k < models.size(); ++k) {
        const CompareModel& a = models[k - 1];
        const CompareModel& b = models[k];
        if (a.p == b.p)
            continue;
        const bool aSmaller = a.p < b.p;
        const CompareModel& small = aSmaller ? a : b;
        const CompareModel& large = aSmaller ? b : a;
        if (!heading) {
            text += "\nExtra sum of squares F tests (the model with fewer parameters against the other):\n";
            heading = true;
        }
        appendf(text, "%s against %s: ", shortName(small.name).c_str(), shortName(large.name).c_str());
        // Sums of squares under other weights measure other things.
        if (small.weights != large.weights) {
            text += "no F test (the fits are not weighted alike)\n";
            continue;
        }
        const CompareFTest test = compareFTest(small, large);
        if (!test.defined) {
            appendf(text, "not defined (n - p = %d, SS = %lG)\n", test.df2, large.ss);
            continue;
        }
        appendf(text, "F = %.7lG with %d and %d df, Prob(F) = %.7lG\n", test.F, test.df1, test.df2, test.probF);
    }
    return text;
}
