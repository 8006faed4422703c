// Diagnosis of a finished fit. Every finding is read from numbers, not from the stop
// code alone: the model is evaluated again at the starting values and at the estimates,
// the Jacobian at the estimates is formed by central differences, and its columns, scaled
// to unit length, are reduced by a Householder QR whose p x p factor R is taken apart by
// one-sided Jacobi rotations (Hestenes). A singular value that is tiny against the largest
// is a direction in which the data do not move the fit: the parameters with large weights
// in its right singular vector are not determined separately.
#include "analysis/diagnosis.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "analysis/report.h"
#include "analysis/results.h"
#include "analysis/share.h"
#include "exec/block.h"
#include "exec/builtins.h"
#include "exec/interpreter.h"
#include "lang/data.h"
#include "lang/parser.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "lang/uncertainty.h"
#include "support/allocator.h"
#include "support/sourceline.h"

namespace {

constexpr const char* TAG_DIAGNOSIS = "diag";
// Central differences take the step h = DIFF_STEP * max(|x|, |start|); their
// error, O(h^2) truncation plus eps/h rounding, is about 1e-10 of a column.
constexpr double DIFF_STEP = 1e-6;
// A singular value of the unit-column Jacobian below this fraction of the largest is
// a direction the data do not determine. Well above the differencing error, and far
// below the conditioning of the hardest certified problems that converge.
constexpr double NULL_DIRECTION_RATIO = 1e-8;
// The same after the solver itself stopped because it could not move the parameters
// independently, or could not improve: the fit has failed already, and naming a
// combination that is merely very poorly determined is then the useful answer.
constexpr double STALLED_NULL_DIRECTION_RATIO = 1e-4;
constexpr double HEAVY_WEIGHT = 0.2;        // weight, against the largest, that names a parameter
constexpr double RUNAWAY_GROWTH = 10;       // growth over max(|start|, 1) that counts as running away
// A runaway parameter no longer matters: doubling it would change the predicted values
// by less than this fraction of the residual norm.
constexpr double RUNAWAY_EFFECT = 1e-3;
// A parameter whose doubling moves the predicted values by less than this fraction of the
// residual norm is not placed by the data at all.
constexpr double NEGLIGIBLE_EFFECT = 1e-6;
constexpr double BOUND_TOLERANCE = 1e-10;   // relative distance that counts as on a bound
constexpr double RESCALE_SPREAD = 1e6;      // parameter magnitudes this far apart want rescaling
constexpr double CONSTANT_MARGIN = 1e-9;    // relative excess of the SS over the total SS
constexpr int JACOBI_SWEEPS = 60;           // ample: one-sided Jacobi converges quadratically
// At the iteration limit, a singular value of the unit-column Jacobian below this fraction
// of the largest is a valley the fit creeps along rather than a minimum it approaches.
constexpr double WANDERING_RATIO = 1e-5;
// A decrease of the sum of squares more than this factor above the one before it is no
// steady approach to a minimum.
constexpr double STEADY_GROWTH = 2.0;
constexpr double CREEPING_RATE = 1e-3;      // relative decrease per iteration that is slow
// Two parameters whose unit Jacobian columns have at least this |cosine|, with magnitudes
// this close, play the same part in two terms that have become alike.
constexpr double ALIKE_COSINE = 0.99;
constexpr double ALIKE_VALUES = 0.05;
// Runs of one sign in the residuals this many standard deviations fewer than random
// scatter gives: structure the model misses. Far beyond chance, and beyond the slow
// waves of certified problems fitted to their best (11 deviations at most).
constexpr double LONG_RUNS_Z = 15.0;
constexpr int LONG_RUNS_LEAST = 20;         // residuals of each sign the runs test needs
constexpr char POWER_ERROR[] = "Raising negative value";    // start of the runtime message

struct DiagnosisState {
    int iterations[DIAGNOSIS_HISTORY];      // iteration numbers of the last summaries
    double sumSquares[DIAGNOSIS_HISTORY];   // their sums of squares
    int count;                              // summaries kept, the newest last
};

DiagnosisState state;

bool aborted()
{
    return abortRequested.load(std::memory_order_relaxed);
}

// Work arrays of one diagnosis; all from the allocator, freed together.
struct Work {
    double* start;       // p starting values
    double* end;         // p estimates
    double* point;       // p perturbed values
    double* base;        // n predicted at the estimates
    double* observed;    // n observed values
    double* plus;        // n predicted at a perturbed point
    double* minus;       // n predicted at a perturbed point
    double* startBase;   // n predicted at the starting values
    double* scratch;     // n: a column at the starting values
    double* jacobian;    // n x p, column-major
    bool* known;         // p: the column could be formed
};

void freeWork(Work& w)
{
    double* blocks[] = {w.start, w.end, w.point, w.base, w.observed, w.plus, w.minus, w.startBase, w.scratch, w.jacobian};
    for (double* b : blocks)
        if (b)
            memfree(b);
    if (w.known)
        memfree(w.known);
    w = Work{};
}

bool allocateWork(Work& w, int n, int p)
{
    w.start = memalloc_doubles((size_t)p, TAG_DIAGNOSIS);
    w.end = memalloc_doubles((size_t)p, TAG_DIAGNOSIS);
    w.point = memalloc_doubles((size_t)p, TAG_DIAGNOSIS);
    w.base = memalloc_doubles((size_t)n, TAG_DIAGNOSIS);
    w.observed = memalloc_doubles((size_t)n, TAG_DIAGNOSIS);
    w.plus = memalloc_doubles((size_t)n, TAG_DIAGNOSIS);
    w.minus = memalloc_doubles((size_t)n, TAG_DIAGNOSIS);
    w.startBase = memalloc_doubles((size_t)n, TAG_DIAGNOSIS);
    w.scratch = memalloc_doubles((size_t)n, TAG_DIAGNOSIS);
    w.jacobian = memalloc_doubles((size_t)n * (size_t)p, TAG_DIAGNOSIS);
    w.known = static_cast<bool*>(memalloc_zero((size_t)p * sizeof(bool), TAG_DIAGNOSIS));
    return w.start && w.end && w.point && w.base && w.observed && w.plus && w.minus && w.startBase && w.scratch &&
           w.jacobian && w.known;
}

// The step for parameter j at x: relative to the larger of its value and its start, so
// that a parameter that shrank towards 0 is still moved by a step the predicted values
// can show above their rounding.
double step(const Work& w, const double* x, int j)
{
    const double size = std::fmax(std::fabs(x[j]), std::fabs(w.start[j]));
    return size > 0.0 ? DIFF_STEP * size : DIFF_STEP;
}

// Column j of the Jacobian at x into column, by central differences where both sides
// compute, else by the one side that does. False when neither does.
bool jacobianColumn(RunFrame* frame, Work& w, const double* x, const double* base, int n, int p, int j,
                    double* column)
{
    const double h = step(w, x, j);
    DiagnosisPass up = {};
    DiagnosisPass down = {};
    for (int k = 0; k < p; ++k)
        w.point[k] = x[k];
    w.point[j] = x[j] + h;
    diagnosisEvaluate(frame, w.point, w.plus, w.minus, &up);
    const bool upOk = up.failed == 0 && !aborted();
    double* below = w.minus;
    // The observed values of the perturbed pass are not needed: minus is reused.
    w.point[j] = x[j] - h;
    if (upOk) {
        // Keep plus; the downward pass writes its observed values over jacobian's column.
        diagnosisEvaluate(frame, w.point, below, column, &down);
    } else {
        diagnosisEvaluate(frame, w.point, below, w.plus, &down);
    }
    const bool downOk = down.failed == 0 && !aborted();
    if (upOk && downOk) {
        for (int i = 0; i < n; ++i)
            column[i] = (w.plus[i] - below[i]) / (2.0 * h);
    } else if (upOk) {
        for (int i = 0; i < n; ++i)
            column[i] = (w.plus[i] - base[i]) / h;
    } else if (downOk) {
        for (int i = 0; i < n; ++i)
            column[i] = (base[i] - below[i]) / h;
    } else {
        return false;
    }
    return true;
}

double columnNorm(const double* column, int n)
{
    double scale = 0.0;
    for (int i = 0; i < n; ++i)
        scale = std::fmax(scale, std::fabs(column[i]));
    if (scale == 0.0)
        return 0.0;
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        const double t = column[i] / scale;
        sum += t * t;
    }
    return scale * std::sqrt(sum);
}

constexpr size_t WRAP_WIDTH = 88;   // characters of a finding's line in the listing

// Joins the broken lines of a paragraph (a line that starts with two spaces is an item
// of a list and stands alone) and breaks them again at spaces before WRAP_WIDTH.
std::string wrap(const std::string& text)
{
    std::string joined;
    size_t start = 0;
    bool previousItem = true;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        const bool item = line.compare(0, 2, "  ") == 0;
        if (!joined.empty())
            joined += item || previousItem ? "\n" : " ";
        joined += line;
        previousItem = item;
        start = end + 1;
    }
    std::string out;
    size_t lineStart = 0;
    while (lineStart < joined.size()) {
        size_t end = joined.find('\n', lineStart);
        if (end == std::string::npos)
            end = joined.size();
        std::string line = joined.substr(lineStart, end - lineStart);
        while (line.size() > WRAP_WIDTH) {
            size_t cut = line.rfind(' ', WRAP_WIDTH);
            if (cut == std::string::npos || cut == 0)
                break;
            out += line.substr(0, cut) + "\n";
            line = line.substr(cut + 1);
        }
        out += line + "\n";
        lineStart = end + 1;
    }
    return out;
}

void add(Diagnosis* d, int kind, int line, int observation, const std::string& text)
{
    if (d->count >= DIAGNOSIS_MAX_FINDINGS)
        return;
    DiagnosisFinding& f = d->findings[d->count++];
    f.kind = kind;
    f.line = line;
    f.observation = observation;
    f.text = wrap(text);
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...)
{
    char text[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

const char* nameOf(int j)
{
    return parameters[j]->name;
}

// "a", "a and b", "a, b and c".
std::string nameList(const int* which, int count)
{
    std::string list;
    for (int k = 0; k < count; ++k) {
        if (k > 0)
            list += k == count - 1 ? " and " : ", ";
        list += nameOf(which[k]);
    }
    return list;
}

void notComputable(Diagnosis* d, const DiagnosisPass& pass, int n, bool atStart)
{
    std::string text = format("The model cannot be computed %s at %d of %d observations.",
                              atStart ? "at the starting values" : "at the final estimates", pass.failed, n);
    const int listed = pass.failed < DIAGNOSIS_LISTED_FAILURES ? pass.failed : DIAGNOSIS_LISTED_FAILURES;
    text += listed == 1 ? " It fails at:\n" : " The first ones:\n";
    for (int k = 0; k < listed; ++k) {
        const DiagnosisFailure& f = pass.first[k];
        if (f.line > 0)
            text += format("  observation %d, line %d: %s\n", f.observation + 1, f.line, f.message);
        else
            text += format("  observation %d: %s\n", f.observation + 1, f.message);
    }
    text += atStart ? "Choose start values at which the model can be computed for every observation, or check\n"
                      "these observations in the data.\n"
                    : "Check these observations in the data, or bound the parameters with CONSTRAIN.\n";
    add(d, FINDING_NOT_COMPUTABLE, pass.first[0].line, pass.first[0].observation + 1, text);
}

// The hint on -a^b, once, for the first failure that earns it: of the passes at the start
// and the end, else of the solve (the frame's last runtime error, say from a difference
// step 1 + h in an exponent).
void negatedPower(Diagnosis* d, const DiagnosisPass& atStart, const DiagnosisPass& atEnd, int solveLine,
                  const char* solveMessage)
{
    for (const DiagnosisPass* pass : {&atStart, &atEnd})
        for (int k = 0; k < pass->failed && k < DIAGNOSIS_MAX_FAILURES; ++k) {
            const std::string hint = diagnosisNegatedPowerHint(pass->first[k].line, pass->first[k].message);
            if (!hint.empty()) {
                add(d, FINDING_NEGATED_POWER, pass->first[k].line, pass->first[k].observation + 1, hint);
                return;
            }
        }
    const std::string hint = diagnosisNegatedPowerHint(solveLine, solveMessage);
    if (!hint.empty())
        add(d, FINDING_NEGATED_POWER, solveLine, 0,
            format("During the fit, line %d failed: %s.\n", solveLine, solveMessage) + hint);
}

// Sizes the effect of a parameter is measured against.
struct Scale {
    double residualNorm;    // |observed - predicted| at the estimates
    double predictedNorm;   // |predicted| at the estimates, for a fit with no residual
    // The least change of the predicted values that counts, times fraction.
    double floor(double fraction) const
    {
        return fraction * std::fmax(residualNorm, 1e-12 * predictedNorm);
    }
};

// A parameter that ran away, up or down; a CONSTRAIN is suggested only where there is none.
void ranAway(Diagnosis* d, int j, double start, double end)
{
    const char* advice = parameters[j]->constrained
                             ? "check its CONSTRAIN bounds, try other start values or use a different\nform of the model."
                             : "bound it with CONSTRAIN or use a different form of the model.";
    add(d, FINDING_RAN_AWAY, 0, 0,
        format("%s ran away to %.2E (from %.4G), where the model no longer depends on it: %s\n", nameOf(j), end,
               start, advice));
}

// The findings about parameter j alone, from its Jacobian column at the estimates (in
// w.jacobian, of length norm). Returns the kind of the finding made, or 0 when there is
// none and the column joins the search for near-null directions.
int judgeParameter(Diagnosis* d, RunFrame* frame, Work& w, int j, double norm, bool startComputable,
                   const Scale& scale)
{
    const int n = observationCount;
    const int p = parameterCount;
    const double* column = w.jacobian + (size_t)j * n;
    const double start = w.start[j];
    const double end = w.end[j];
    const double grown = std::fabs(end) / std::fmax(std::fabs(start), 1.0);
    // No effect at the end; at the start as well?
    if (norm == 0.0 && grown < RUNAWAY_GROWTH && startComputable &&
        jacobianColumn(frame, w, w.start, w.startBase, n, p, j, w.scratch) && columnNorm(w.scratch, n) == 0.0) {
        add(d, FINDING_NO_EFFECT, 0, 0,
            format("Parameter %s does not change the predicted values: check that the FUNCTION\n"
                   "uses it, or remove it.\n", nameOf(j)));
        return FINDING_NO_EFFECT;
    }
    if (grown >= RUNAWAY_GROWTH && norm * std::fabs(end) <= scale.floor(RUNAWAY_EFFECT)) {
        ranAway(d, j, start, end);
        return FINDING_RAN_AWAY;
    }
    // Moving it by its own size (the larger of its start and its estimate, so that an
    // estimate that is merely near 0 does not count) would hardly move the predicted
    // values: the data cannot place it.
    const double size = std::fmax(std::fabs(end), std::fabs(start));
    if (size > 0.0 && norm * size <= scale.floor(NEGLIGIBLE_EFFECT)) {
        add(d, FINDING_NOT_SEPARATE, 0, 0,
            format("Parameter %s is not determined by the data: changing it hardly changes the\n"
                   "predicted values. Hold it constant, or check the start values and how the\n"
                   "FUNCTION uses it.\n", nameOf(j)));
        return FINDING_NOT_SEPARATE;
    }
    if (!parameters[j]->constrained)
        return 0;
    const double lo = parameters[j]->lowerBound;
    const double hi = parameters[j]->upperBound;
    const bool atLow = std::fabs(end - lo) <= BOUND_TOLERANCE * std::fmax(1.0, std::fabs(lo));
    const bool atHigh = std::fabs(end - hi) <= BOUND_TOLERANCE * std::fmax(1.0, std::fabs(hi));
    if (!atLow && !atHigh)
        return 0;
    // g = J^T (predicted - observed): the sum of squares falls moving against g.
    double g = 0.0;
    for (int i = 0; i < n; ++i)
        g += column[i] * (w.base[i] - w.observed[i]);
    const bool pulled = std::fabs(g) > 1e-9 * norm * scale.residualNorm && (atLow ? g > 0 : g < 0);
    if (!pulled)
        return 0;
    add(d, FINDING_ON_BOUND, 0, 0,
        format("%s stopped at its %s bound %.6G: the data pull it further. Check the\n"
               "bound and the model; standard errors are not available for bounded fits.\n",
               nameOf(j), atLow ? "lower" : "upper", atLow ? lo : hi));
    return FINDING_ON_BOUND;
}

// The q x q inner products of the first q unit columns of a (n x q, column-major), or
// null when memory ran out.
double* columnCosines(const double* a, int n, int q)
{
    double* cosines = memalloc_doubles((size_t)q * q > 0 ? (size_t)q * q : 1, TAG_DIAGNOSIS);
    for (int i = 0; i < q && cosines; ++i)
        for (int k = i; k < q; ++k) {
            double dot = 0.0;
            for (int m = 0; m < n; ++m)
                dot += a[(size_t)i * n + m] * a[(size_t)k * n + m];
            cosines[(size_t)i * q + k] = dot;
            cosines[(size_t)k * q + i] = dot;
        }
    return cosines;
}

// Householder QR of the n x q column-major matrix a in place; R (q x q, column-major)
// into r. The columns have unit length, so no pivoting is needed to keep R's scale.
void householderR(double* a, int n, int q, double* r)
{
    for (int k = 0; k < q; ++k) {
        double* ak = a + (size_t)k * n;
        const double norm = columnNorm(ak + k, n - k);
        if (norm != 0.0) {
            // The sign that avoids cancellation in v = a - alpha e_k.
            const double alpha = ak[k] > 0 ? -norm : norm;
            ak[k] -= alpha;
            const double vnorm2 = ak[k] * ak[k] + (norm * norm - (ak[k] + alpha) * (ak[k] + alpha));
            for (int c = k + 1; c < q && vnorm2 > 0; ++c) {
                double* ac = a + (size_t)c * n;
                double dot = 0.0;
                for (int i = k; i < n; ++i)
                    dot += ak[i] * ac[i];
                const double f = 2.0 * dot / vnorm2;
                for (int i = k; i < n; ++i)
                    ac[i] -= f * ak[i];
            }
            ak[k] = alpha;
        }
        for (int i = 0; i < q; ++i)
            r[(size_t)k * q + i] = i < k ? a[(size_t)k * n + i] : (i == k ? ak[k] : 0.0);
    }
}

// One-sided Jacobi on the q x q column-major a: rotations make its columns orthogonal;
// the column norms are then the singular values and v (q x q) the right vectors.
void jacobiSvd(double* a, int q, double* v, double* sigma)
{
    for (int i = 0; i < q * q; ++i)
        v[i] = 0.0;
    for (int i = 0; i < q; ++i)
        v[(size_t)i * q + i] = 1.0;
    for (int sweep = 0; sweep < JACOBI_SWEEPS; ++sweep) {
        bool rotated = false;
        for (int i = 0; i < q - 1; ++i)
            for (int k = i + 1; k < q; ++k) {
                double* ai = a + (size_t)i * q;
                double* ak = a + (size_t)k * q;
                double alpha = 0.0, beta = 0.0, gamma = 0.0;
                for (int m = 0; m < q; ++m) {
                    alpha += ai[m] * ai[m];
                    beta += ak[m] * ak[m];
                    gamma += ai[m] * ak[m];
                }
                if (gamma == 0.0 || std::fabs(gamma) <= 1e-15 * std::sqrt(alpha * beta))
                    continue;
                rotated = true;
                const double zeta = (beta - alpha) / (2.0 * gamma);
                // The smaller root of t^2 + 2 zeta t - 1 = 0, formed without cancellation.
                const double t = (zeta >= 0 ? 1.0 : -1.0) / (std::fabs(zeta) + std::sqrt(1.0 + zeta * zeta));
                const double c = 1.0 / std::sqrt(1.0 + t * t);
                const double s = c * t;
                double* vi = v + (size_t)i * q;
                double* vk = v + (size_t)k * q;
                for (int m = 0; m < q; ++m) {
                    const double x = ai[m], y = ak[m];
                    ai[m] = c * x - s * y;
                    ak[m] = s * x + c * y;
                    const double vx = vi[m], vy = vk[m];
                    vi[m] = c * vx - s * vy;
                    vk[m] = s * vx + c * vy;
                }
            }
        if (!rotated)
            break;
    }
    for (int i = 0; i < q; ++i)
        sigma[i] = columnNorm(a + (size_t)i * q, q);
}

bool near(double a, double b)
{
    return std::fabs(a - b) <= 1e-3 * std::fmax(std::fabs(a), std::fabs(b));
}

// The combination of two parameters the data do determine, given the direction d
// (in the parameters' own units) along which they do not: c . d = 0 with c = (d1, -d0)...
// written as a sum, a difference, a product or a ratio when it is one to 0.1%.
std::string determinedPair(int j0, int j1, double d0, double d1, const double* x)
{
    const double c0 = d1, c1 = -d0;
    const char* a = nameOf(j0);
    const char* b = nameOf(j1);
    const double ratio = c1 / c0;
    if (near(ratio, 1.0))
        return format("%s + %s", a, b);
    if (near(ratio, -1.0))
        return format("%s - %s", a, b);
    if (x[j0] != 0.0 && x[j1] != 0.0) {
        if (near(c0 * x[j0], c1 * x[j1]))
            return format("%s * %s", a, b);
        if (near(c0 * x[j0], -c1 * x[j1]))
            return format("%s / %s", a, b);
    }
    // A weight this lopsided says more about the parameters' units than about the data.
    if (!(std::fabs(ratio) >= 1e-4 && std::fabs(ratio) <= 1e4))
        return "";
    return format("%s %s %.4G * %s", a, ratio < 0 ? "-" : "+", std::fabs(ratio), b);
}

// Two parameters not determined separately may belong to terms of the model that have
// become alike: two peaks collapsed into one, each term's other parameters then moving
// together (unit columns at |cosine| >= ALIKE_COSINE, magnitudes within ALIKE_VALUES).
// The advice is then to keep the terms apart from a new start, not to drop one; empty
// when no such partners are found. cosines is q x q over the active columns; pair holds
// positions in active.
std::string alikeTerms(const int* pair, const int* active, int q, const double* cosines, const double* x,
                       const double* start)
{
    // Of the partners, the two closest in value (a shared centre rather than widths of
    // opposite sign) are the ones to start apart.
    int u = -1, v = -1;
    double closest = ALIKE_VALUES;
    for (int a = 0; a < q; ++a)
        for (int b = a + 1; b < q; ++b) {
            if (a == pair[0] || a == pair[1] || b == pair[0] || b == pair[1])
                continue;
            const double size = std::fmax(std::fabs(x[active[a]]), std::fabs(x[active[b]]));
            if (!(std::fabs(cosines[(size_t)a * q + b]) >= ALIKE_COSINE) || size == 0.0 ||
                std::fabs(std::fabs(x[active[a]]) - std::fabs(x[active[b]])) > ALIKE_VALUES * size)
                continue;
            const double apart = std::fabs(x[active[a]] - x[active[b]]) / size;
            if (u < 0 || apart < closest) {
                u = active[a];
                v = active[b];
                closest = apart;
            }
        }
    if (u < 0)
        return "";
    // New starts: spread about the middle of the old ones, twice as far apart (at least a
    // tenth of their size), so that the terms begin on different features.
    const double middle = 0.5 * (start[u] + start[v]);
    const double half = std::fmax(std::fabs(start[u] - start[v]), 0.1 * std::fabs(middle));
    return format("%s and %s belong to terms of the model that have become alike (%s = %.4G and\n"
                  "%s = %.4G): two terms now describe one feature of the data. Rather than remove\n"
                  "a term, fit again from start values that keep the terms apart, for example\n"
                  "%s = %.4G and %s = %.4G, and look at the start with -preview.\n",
                  nameOf(active[pair[0]]), nameOf(active[pair[1]]), nameOf(u), x[u], nameOf(v), x[v], nameOf(u),
                  middle - half, nameOf(v), middle + half);
}

// Near-null directions among the columns listed in active (q of them, each of unit
// length in scaled, column-major; cosines holds their q x q inner products). The least
// singular value against the largest goes to *smallestRatio.
void notSeparate(Diagnosis* d, double* scaled, int n, const int* active, int q, const double* norms,
                 const double* x, double ratio, const double* cosines, const double* start, double* smallestRatio)
{
    if (q < 1 || n < 1)
        return;
    double* r = memalloc_doubles((size_t)q * q, TAG_DIAGNOSIS);
    double* v = memalloc_doubles((size_t)q * q, TAG_DIAGNOSIS);
    double* sigma = memalloc_doubles((size_t)q, TAG_DIAGNOSIS);
    if (r && v && sigma) {
        if (n < q) {
            // Fewer observations than columns: R is the zero-padded matrix itself.
            for (int k = 0; k < q; ++k)
                for (int i = 0; i < q; ++i)
                    r[(size_t)k * q + i] = i < n ? scaled[(size_t)k * n + i] : 0.0;
        } else {
            householderR(scaled, n, q, r);
        }
        jacobiSvd(r, q, v, sigma);
        double largest = 0.0;
        for (int k = 0; k < q; ++k)
            largest = std::fmax(largest, sigma[k]);
        for (int k = 0; k < q && largest > 0.0; ++k)
            *smallestRatio = std::fmin(*smallestRatio, sigma[k] / largest);
        // The heavy parameters of each near-null direction; directions that share a
        // parameter are one finding, since together they leave a combination open.
        bool* group = static_cast<bool*>(memalloc_zero((size_t)q * q * sizeof(bool), TAG_DIAGNOSIS));
        int* directions = static_cast<int*>(memalloc_zero((size_t)q * sizeof(int), TAG_DIAGNOSIS));
        int lastDirection[DIAGNOSIS_MAX_FINDINGS] = {};
        int groups = 0;
        for (int k = 0; k < q && largest > 0.0 && group && directions; ++k) {
            if (!(sigma[k] < ratio * largest))
                continue;
            const double* vk = v + (size_t)k * q;
            double heaviest = 0.0;
            for (int m = 0; m < q; ++m)
                heaviest = std::fmax(heaviest, std::fabs(vk[m]));
            int into = -1;
            for (int g = 0; g < groups && into < 0; ++g)
                for (int m = 0; m < q; ++m)
                    if (group[(size_t)g * q + m] && std::fabs(vk[m]) >= HEAVY_WEIGHT * heaviest) {
                        into = g;
                        break;
                    }
            if (into < 0) {
                if (groups == q)
                    continue;
                into = groups++;
            }
            for (int m = 0; m < q; ++m)
                if (std::fabs(vk[m]) >= HEAVY_WEIGHT * heaviest)
                    group[(size_t)into * q + m] = true;
            directions[into]++;
            if (into < DIAGNOSIS_MAX_FINDINGS)
                lastDirection[into] = k;
        }
        for (int g = 0; g < groups && g < DIAGNOSIS_MAX_FINDINGS; ++g) {
            int heavy[DIAGNOSIS_MAX_FINDINGS];
            int heavyIndex[DIAGNOSIS_MAX_FINDINGS];
            int count = 0;
            for (int m = 0; m < q && count < DIAGNOSIS_MAX_FINDINGS; ++m)
                if (group[(size_t)g * q + m]) {
                    heavy[count] = active[m];
                    heavyIndex[count++] = m;
                }
            const double* vk = v + (size_t)lastDirection[g] * q;
            std::string text;
            std::string pair;
            if (count == 1) {
                text = format("Parameter %s is not determined by the data: changing it hardly changes the\n"
                              "predicted values. Hold it constant, or check how the FUNCTION uses it.\n",
                              nameOf(heavy[0]));
            } else if (count == 2 && directions[g] == 1 &&
                       !(pair = determinedPair(heavy[0], heavy[1], vk[heavyIndex[0]] / norms[heavy[0]],
                                               vk[heavyIndex[1]] / norms[heavy[1]], x)).empty()) {
                // The weights went back from unit columns to the parameters' own units:
                // d_j = v_j / |J_j|.
                text = format("%s are not determined separately by the data: only about %s is.\n"
                              "Remove one of them or hold it constant.\n",
                              nameList(heavy, count).c_str(), pair.c_str());
            } else {
                text = format("%s are not determined separately by the data: only a combination of\n"
                              "them is. Remove %s of them or hold %s constant.\n",
                              nameList(heavy, count).c_str(), directions[g] == 1 ? "one" : "some",
                              directions[g] == 1 ? "it" : "them");
            }
            if (count == 2 && cosines)
                text += alikeTerms(heavyIndex, active, q, cosines, x, start);
            add(d, FINDING_NOT_SEPARATE, 0, 0, text);
        }
        if (group)
            memfree(group);
        if (directions)
            memfree(directions);
    }
    if (r)
        memfree(r);
    if (v)
        memfree(v);
    if (sigma)
        memfree(sigma);
}

// Relative decrease of the sum of squares per iteration over the last kept summaries,
// or a negative value when fewer than two are kept.
double recentDecrease()
{
    if (state.count < 2)
        return -1.0;
    const int first = 0;
    const int last = state.count - 1;
    const int span = state.iterations[last] - state.iterations[first];
    const double f0 = state.sumSquares[first];
    const double f1 = state.sumSquares[last];
    if (span <= 0 || !(f0 > 0.0) || !(f1 >= 0.0))
        return -1.0;
    return 1.0 - std::pow(f1 / f0, 1.0 / span);
}

// Each decrease of the sum of squares over the kept summaries is positive and at most
// STEADY_GROWTH times the one before: the fit approaches a minimum. True when too few
// summaries are kept to tell.
bool steadyDecrease()
{
    double before = 0.0;
    for (int k = 1; k < state.count; ++k) {
        const double decrease = state.sumSquares[k - 1] - state.sumSquares[k];
        if (!(decrease > 0.0) || (k > 1 && decrease > STEADY_GROWTH * before))
            return false;
        before = decrease;
    }
    return true;
}

// The iteration limit reached while the fit wandered: the sum of squares fell slowly, and
// unevenly or along a valley (a singular value of the unit-column Jacobian below
// WANDERING_RATIO of the largest). A fit whose sum of squares still falls fast is on its
// way, however ill-conditioned.
bool wandering(double rate, double smallestRatio)
{
    return rate < CREEPING_RATE && (!steadyDecrease() || smallestRatio < WANDERING_RATIO);
}

void iterationLimit(Diagnosis* d, const AnalysisResults& r, double smallestRatio)
{
    const double rate = recentDecrease();
    std::string text = format("The fit stopped at the iteration limit (%d iterations)", r.iterationCount);
    if (wandering(rate, smallestRatio))
        text += " while it wandered: the sum of\nsquares fell unevenly or hardly at all, or the estimates crept along a direction the\n"
                "data hardly determine. They are probably not close to the best fit, and raising\n"
                "ITERATIONS will probably not help: try other start values, and look at the start\n"
                "with -preview.\n";
    else if (rate > 1e-6)
        text += format(" while the sum of squares was\nstill falling by %.2g %% per iteration: raise ITERATIONS.\n",
                       100.0 * rate);
    else
        text += ". The sum of squares had almost\nstopped falling, so the estimates are probably close: raise "
                "ITERATIONS to let the fit finish.\n";
    add(d, FINDING_ITERATION_LIMIT, 0, 0, text);
}

void stalled(Diagnosis* d, const AnalysisResults& r, const double* x, int p, bool structural);

// The same from the estimates alone.
void stalledWithoutValues(Diagnosis* d, const AnalysisResults& r)
{
    const int p = parameterCount;
    double* x = memalloc_doubles(p > 0 ? (size_t)p : 1, TAG_DIAGNOSIS);
    if (!x)
        return;
    for (int j = 0; j < p; ++j)
        x[j] = parameters[j]->value;
    stalled(d, r, x, p, false);
    memfree(x);
}

void stalled(Diagnosis* d, const AnalysisResults& r, const double* x, int p, bool structural)
{
    std::string text = r.stopCode == STOP_SINGULAR
        ? "The fit stopped because the parameters could not all be moved independently, so the\n"
          "estimates may not be the best ones. "
        : "The fit stopped at a point it could not improve, although it is probably not the best\n"
          "fit. ";
    if (structural) {
        text += "Deal with the findings above first, then fit again.\n";
    } else {
        int big = -1, small = -1;
        for (int j = 0; j < p; ++j) {
            if (x[j] == 0.0)
                continue;
            if (big < 0 || std::fabs(x[j]) > std::fabs(x[big]))
                big = j;
            if (small < 0 || std::fabs(x[j]) < std::fabs(x[small]))
                small = j;
        }
        if (big >= 0 && small >= 0 && std::fabs(x[big]) > RESCALE_SPREAD * std::fabs(x[small]))
            text += format("Rescale %s (now %.3G, against %.3G for %s), for example by measuring it\n"
                           "in other units, so that the parameters have similar sizes.\n",
                           nameOf(big), x[big], x[small], nameOf(small));
        else
            text += "Try other start values, or SWEEP one parameter over a range to find a better\nstart.\n";
    }
    add(d, FINDING_STALLED, 0, 0, text);
}

// A weight of the final pass that is not usable (held as 0): the sums of squares leave
// its observation out, so they compare nothing, and the weight is the cause to name.
bool unusableWeight(Diagnosis* d, const AnalysisResults& r, int n)
{
    for (int i = 0; r.weights && i < n; ++i) {
        if (r.weights[i] > 0.0)
            continue;
        const int line = uncertainty.weightLine ? uncertainty.weightLine->lineNumber : 0;
        d->doubtful = true;
        add(d, FINDING_BAD_WEIGHT, line, i + 1,
            format("The WEIGHT at line %d gives no usable weight for observation %d (zero, negative,\n"
                   "infinite or not computable): the sums of squares leave that observation out. Make\n"
                   "the weight finite there; 1 / Predicted^2, for one, is infinite where the model is 0.\n",
                   line, i + 1));
        return true;
    }
    return false;
}

// The model against a horizontal line at the mean. Such a fit is doubtful however it
// converged: a constant would have done better.
void worseThanConstant(Diagnosis* d, const AnalysisResults& r, int n)
{
    if (unusableWeight(d, r, n))
        return;
    if (r.residualsComputed && n > 1 && r.residuals.totalSS > 0.0 &&
        r.residuals.residualSS > r.residuals.totalSS * (1.0 + CONSTANT_MARGIN)) {
        d->doubtful = true;
        add(d, FINDING_WORSE_THAN_CONSTANT, 0, 0,
            format("The model fits worse than a horizontal line at the mean (sum of squares %.4G against\n"
                   "%.4G about the mean): check the start values and the model.\n",
                   r.residuals.residualSS, r.residuals.totalSS));
    }
}

// Runs of one sign in the residuals of a converged fit, in observation order (Wald and
// Wolfowitz): with n1 positive and n2 negative residuals, random scatter gives
// E = 1 + 2 n1 n2 / n runs with variance (E - 1)(E - 2) / (n - 1). Far fewer runs are
// systematic structure the model misses: a local minimum, or a term the model lacks.
void longRuns(Diagnosis* d, const AnalysisResults& r, int n)
{
    if (!r.residualsComputed || !r.predicted || !r.observed || r.stopCode < STOP_ABSOLUTE || r.stopCode > STOP_BOTH)
        return;
    int positive = 0, negative = 0, runs = 0, lastSign = 0;
    for (int i = 0; i < n; ++i) {
        const double e = r.observed[i] - r.predicted[i];
        const int sign = e > 0.0 ? 1 : (e < 0.0 ? -1 : 0);
        if (sign == 0)
            continue;
        (sign > 0 ? positive : negative)++;
        if (sign != lastSign)
            runs++;
        lastSign = sign;
    }
    if (positive < LONG_RUNS_LEAST || negative < LONG_RUNS_LEAST)
        return;
    const double total = positive + negative;
    const double expected = 1.0 + 2.0 * positive * negative / total;
    const double variance = (expected - 1.0) * (expected - 2.0) / (total - 1.0);
    if (!(variance > 0.0) || (runs - expected) / std::sqrt(variance) > -LONG_RUNS_Z)
        return;
    add(d, FINDING_LONG_RUNS, 0, 0,
        format("The residuals fall in long runs of one sign (%d runs where random scatter gives about\n"
               "%.0f): the model misses systematic structure in the data, as at a local minimum or\n"
               "with a model that lacks a term. Look at the start with -preview and try other start\n"
               "values.\n", runs, expected));
}

// In the section's order; findings of one kind keep their parameter order.
void sortFindings(Diagnosis* d)
{
    for (int k = 1; k < d->count; ++k)
        for (int m = k; m > 0 && d->findings[m - 1].kind > d->findings[m].kind; --m)
            std::swap(d->findings[m - 1], d->findings[m]);
}

// A proper convergence with a covariance, in which every parameter's standard error is
// finite and smaller than its estimate, leaves nothing for the passes below to find: a
// parameter the data do not determine, one without effect or one that ran away shows as
// a singular covariance or a standard error beyond its estimate. Such fits, the common
// case, skip the 2 + 2p evaluations and the n x p Jacobian of the passes.
bool plainlyDetermined(const AnalysisResults& r, int p)
{
    if (r.stopCode < STOP_ABSOLUTE || r.stopCode > STOP_BOTH || !r.withStatistics || !r.parameters ||
        r.parameterCount != p)
        return false;
    for (int j = 0; j < p; ++j) {
        const ParameterStatistics& ps = r.parameters[j];
        if (!ps.hasStatistics || !(ps.stdError < std::fabs(ps.estimate)))
            return false;
    }
    return true;
}


}  // namespace

namespace {

// Observation i by the per-observation path, into the pass.
void evaluateObservation(RunFrame* frame, int i, double* predicted, double* observed, DiagnosisPass* pass)
{
    double p = 0.0, y = 0.0;
    frame->errorLine = 0;
    frame->errorText[0] = '\0';
    const bool ok = runObservation(frame, i, nullptr, &p, &y);
    if (ok && std::isfinite(p) && std::isfinite(y)) {
        predicted[i] = p;
        observed[i] = y;
        pass->computed++;
        pass->sumSquares += (y - p) * (y - p);
        return;
    }
    predicted[i] = 0.0;
    observed[i] = 0.0;
    if (pass->failed < DIAGNOSIS_MAX_FAILURES) {
        DiagnosisFailure& f = pass->first[pass->failed];
        f.observation = i;
        f.line = ok ? 0 : frame->errorLine;
        const char* why = !ok ? frame->errorText
                          : std::isfinite(p) ? "the observed value is not a finite number"
                                             : "the predicted value is not a finite number";
        snprintf(f.message, sizeof f.message, "%.*s", (int)sizeof f.message - 1, why);
    }
    pass->failed++;
}

// Observations first .. first + count - 1 by the block form (done already when shared
// says so); false when the block failed or holds a value that is not finite, so that the
// per-observation path runs it again and names the cause.
bool evaluateBlock(RunFrame* frame, int first, int count, double* predicted, double* observed, bool shared,
                   DiagnosisPass* pass)
{
    if (shared ? shareBlockOutcome(first / BLOCK_ROWS) == SHARE_NOT_DONE
               : shareEvaluateBlock(frame, first, count, predicted, observed) != BLOCK_OK)
        return false;
    double sum = 0.0;
    for (int i = first; i < first + count; ++i) {
        if (!std::isfinite(predicted[i]) || !std::isfinite(observed[i]))
            return false;
        const double d = observed[i] - predicted[i];
        sum += d * d;
    }
    pass->computed += count;
    pass->sumSquares += sum;
    return true;
}

}  // namespace

void diagnosisEvaluate(RunFrame* frame, const double* x, double* predicted, double* observed, DiagnosisPass* pass)
{
    const int n = observationCount;
    *pass = DiagnosisPass{};
    runReset(frame);
    if (!frame->values) {
        pass->failed = n;
        return;
    }
    for (int j = 0; j < parameterCount; ++j)
        frame->values[parameters[j]->slot] = x[j];
    const bool quiet = frame->quiet;
    // The block form, where the program has one, gives the per-observation path's values
    // many observations at a time, on both cores when the helper is free (it writes no
    // message, so the frame need not be quiet for it); a block it cannot finish is run
    // per observation, quietly.
    const bool blocks = blockAvailable() && !settings.functionMinimization;
    frame->quiet = false;
    const bool shared = blocks && shareBlocks(frame, n, predicted, observed);
    frame->quiet = true;
    for (int first = 0; first < n && !aborted(); first += BLOCK_ROWS) {
        const int count = n - first < BLOCK_ROWS ? n - first : BLOCK_ROWS;
        if (blocks && evaluateBlock(frame, first, count, predicted, observed, shared, pass))
            continue;
        for (int i = first; i < first + count && !aborted(); ++i)
            evaluateObservation(frame, i, predicted, observed, pass);
    }
    frame->quiet = quiet;
}

void diagnosisNoteProgress(int iteration, double sumSquares)
{
    if (state.count > 0 && iteration < state.iterations[state.count - 1])
        state.count = 0;
    if (state.count > 0 && iteration == state.iterations[state.count - 1]) {
        state.sumSquares[state.count - 1] = sumSquares;
        return;
    }
    if (state.count == DIAGNOSIS_HISTORY) {
        for (int k = 1; k < DIAGNOSIS_HISTORY; ++k) {
            state.iterations[k - 1] = state.iterations[k];
            state.sumSquares[k - 1] = state.sumSquares[k];
        }
        state.count--;
    }
    state.iterations[state.count] = iteration;
    state.sumSquares[state.count] = sumSquares;
    state.count++;
}

std::string diagnosisNegatedPowerHint(int line, const char* message)
{
    if (line <= 0 || strncmp(message, POWER_ERROR, sizeof POWER_ERROR - 1) != 0 || !exprNegatedBaseAt(line))
        return "";
    return format("Line %d negates the base of a power: -a^b means (-a)^b, the minus applies first.\n"
                  "For the negative of a power write -(a^b).\n", line);
}

void diagnosisReset()
{
    state = DiagnosisState{};
}

void diagnosisCompute(RunFrame* frame, const AnalysisResults& r, Diagnosis* d)
{
    d->count = 0;
    d->doubtful = false;
    for (DiagnosisFinding& f : d->findings)
        f = DiagnosisFinding{};
    const int n = observationCount;
    const int p = parameterCount;
    if (r.stopCode == STOP_ABORTED || aborted() || n <= 0 || p <= 0 || !r.initialGuess)
        return;
    // The solve's last runtime error, before the passes below overwrite it.
    const int solveErrorLine = frame->errorLine;
    char solveError[sizeof frame->errorText];
    snprintf(solveError, sizeof solveError, "%s", frame->errorText);
    const bool regression = !settings.functionMinimization;
    // Evaluating such a program again would print its PRINTF text into the listing once
    // more, or draw other RANDOM values: only the findings that need no evaluation remain.
    if (exprCallsFunction(FN_PRINTF) || exprCallsFunction(FN_RANDOM)) {
        if (r.stopCode == STOP_ITERATION_LIMIT)
            iterationLimit(d, r, 1.0);
        if (r.stopCode == STOP_FALSE_CONVERGENCE || r.stopCode == STOP_SINGULAR)
            stalledWithoutValues(d, r);
        return;
    }
    if (plainlyDetermined(r, p)) {
        if (regression) {
            longRuns(d, r, n);
            worseThanConstant(d, r, n);
        }
        sortFindings(d);
        return;
    }
    Work w = {};
    if (!allocateWork(w, n, p)) {
        freeWork(w);
        return;
    }
    for (int j = 0; j < p; ++j) {
        w.start[j] = r.initialGuess[j];
        w.end[j] = parameters[j]->value;
    }
    bool structural = false;
    double smallestRatio = 1.0;
    DiagnosisPass atStart = {};
    DiagnosisPass atEnd = {};
    diagnosisEvaluate(frame, w.start, w.startBase, w.scratch, &atStart);
    diagnosisEvaluate(frame, w.end, w.base, w.observed, &atEnd);
    if (aborted()) {
        freeWork(w);
        return;
    }
    if (atStart.failed > 0)
        notComputable(d, atStart, n, true);
    else if (atEnd.failed > 0)
        notComputable(d, atEnd, n, false);
    if (r.stopCode < STOP_ABSOLUTE || r.stopCode > STOP_BOTH || atStart.failed > 0 || atEnd.failed > 0)
        negatedPower(d, atStart, atEnd, solveErrorLine, solveError);

    if (regression && atEnd.failed == 0) {
        double* norms = memalloc_doubles((size_t)p, TAG_DIAGNOSIS);
        int* active = static_cast<int*>(memalloc((size_t)p * sizeof(int), TAG_DIAGNOSIS));
        const Scale scale = {std::sqrt(atEnd.sumSquares), columnNorm(w.base, n)};
        int q = 0;
        for (int j = 0; j < p && norms && active && !aborted(); ++j) {
            double* column = w.jacobian + (size_t)j * n;
            w.known[j] = jacobianColumn(frame, w, w.end, w.base, n, p, j, column);
            norms[j] = w.known[j] ? columnNorm(column, n) : 0.0;
            if (!w.known[j])
                continue;
            const int kind = judgeParameter(d, frame, w, j, norms[j], atStart.failed == 0, scale);
            structural = structural || (kind != 0 && kind != FINDING_ON_BOUND);
            if (kind != 0)
                continue;
            if (norms[j] > 0.0)
                active[q++] = j;
        }
        if (norms && active && !aborted()) {
            // The active columns, scaled to unit length, packed to the front.
            for (int k = 0; k < q; ++k) {
                const double* from = w.jacobian + (size_t)active[k] * n;
                double* to = w.jacobian + (size_t)k * n;
                for (int i = 0; i < n; ++i)
                    to[i] = from[i] / norms[active[k]];
            }
            const int before = d->count;
            const bool stalledFit = r.stopCode == STOP_FALSE_CONVERGENCE || r.stopCode == STOP_SINGULAR;
            double* cosines = columnCosines(w.jacobian, n, q);
            notSeparate(d, w.jacobian, n, active, q, norms, w.end,
                        stalledFit ? STALLED_NULL_DIRECTION_RATIO : NULL_DIRECTION_RATIO, cosines, w.start,
                        &smallestRatio);
            if (cosines)
                memfree(cosines);
            structural = structural || d->count > before;
        }
        if (norms)
            memfree(norms);
        if (active)
            memfree(active);
    }

    if (r.stopCode == STOP_ITERATION_LIMIT)
        iterationLimit(d, r, smallestRatio);
    if (r.stopCode == STOP_FALSE_CONVERGENCE || r.stopCode == STOP_SINGULAR)
        stalled(d, r, w.end, p, structural);
    // Rows the model could not compute hold 0, so their sum of squares compares nothing.
    if (regression && atStart.failed == 0 && atEnd.failed == 0) {
        longRuns(d, r, n);
        worseThanConstant(d, r, n);
    }
    d->doubtful = d->doubtful || structural;
    sortFindings(d);
    freeWork(w);
}

void diagnosisWrite(const Diagnosis& d)
{
    if (d.count == 0)
        return;
    reportText("\n\n                        ----  Diagnosis  ----\n\n");
    for (int k = 0; k < d.count; ++k) {
        if (k > 0)
            reportText("\n");
        reportText("%s", d.findings[k].text.c_str());
    }
}
