// Iteration of the adaptive nonlinear least-squares solver (Dennis, Gay and Welsch):
// forward-difference Jacobian, adaptive scaling, QR of J, the choice between the
// Gauss-Newton model (J^T J) and the augmented model (J^T J + S), the assessment of each
// trial step with its radius decisions, the secant update of S, the convergence tests,
// and the simple bounds (free/held variables, projected steps).
//
// Notation: f = 0.5 ||r||^2, g = J^T r, D = diag(d); fdif = f0 - f(trial) the actual and
// pred the predicted reduction; gts = g^T s; RELDX = max d_i |x_i - x0_i| /
// max d_i (|x_i| + |x0_i|).
#include "analysis/solvercore.h"
#include "analysis/solverint.h"

#include <cfloat>
#include <cmath>
#include <pthread.h>
#include <vector>

namespace {

constexpr int MODEL_GAUSS_NEWTON = 1;
constexpr int MODEL_AUGMENTED = 2;
constexpr int STAGE_LIMIT = 2;              // models tried per iteration
constexpr int JACOBIAN_FAILURE_LIMIT = 20;  // consecutive rejected points for want of a Jacobian

enum Outcome { OUT_OK = 1, OUT_FAILED = 0, OUT_CANCEL = -1 };

// All state of one solve. The vectors point into the caller's real array.
struct Core {
    int n, p;                       // residuals, parameters
    double* x;                      // current point (caller's array)
    const double* bounds;           // p (lower, upper) pairs, null when unbounded
    const SolverCallbacks* callbacks;
    int* iv;
    double* v;

    double* jac;                    // n x p column-major; after the QR: R above, reflectors below
    double* smat;                   // packed secant matrix S, natural order
    double* hmat;                   // packed scaled augmented matrix of the free variables
    double* stepWork;               // trust-region work
    double* x0;                     // start of the iteration
    double* d;                      // scale
    double* colMax;                 // running maximum of |J_ik| per column
    double* beta;                   // reflector factors
    double* qtr;                    // first p entries of Q^T r (permuted order)
    double* g;                      // gradient, natural order
    double* gp;                     // gradient, permuted order
    double* dp;                     // scale, permuted order
    double* gOld;                   // gradient at x0
    double* s;                      // trial step, natural order
    double* sp;                     // trial step, permuted order
    double* sBest;                  // step of the best trial of the iteration
    double* xt;                     // trial point
    double* yOld;                   // J_old^T r(new point)
    double* hs;                     // model matrix of the accepted step times the step
    double* t1;                     // scratch p
    double* t2;                     // scratch p
    double* r0;                     // residuals at the current point (scratch inside an iteration)
    double* rt;                     // residuals at the last trial; scratch
    int* perm;                      // permuted position k holds parameter perm[k]
    int* where;                     // scratch: column position of each parameter
    int freeCount;                  // m: free variables (first in perm)

    double f;                       // f at x
    bool hStale;                    // hmat must be rebuilt
    int nfcall;                     // start point + trial evaluations
    int ngcall;                     // other evaluations
};

struct Trial {
    StepResult step;                // step figures of the model
    double f;                       // f at the trial point (f0 when not evaluated)
    double reldx;                   // relative change of x
    int model;                      // model that produced it
};

double clampToBox(double value, double lower, double upper)
{
    return value < lower ? lower : (value > upper ? upper : value);
}

// Residuals at xx into r through routine with context. A failed, non-finite or huge
// residual vector is "cannot compute"; a negative nf from the routine is Cancel.
int evaluateWith(const Core& c, SolverResiduals routine, void* context, const double* xx, double* r)
{
    int nf = c.nfcall + c.ngcall;
    for (int i = 0; i < c.n; ++i) r[i] = NAN;
    routine(c.n, c.p, xx, &nf, r, context);
    if (nf < 0) return OUT_CANCEL;
    if (nf == 0) return OUT_FAILED;
    for (int i = 0; i < c.n; ++i)
        if (!std::isfinite(r[i])) return OUT_FAILED;
    if (linalgNorm(c.n, r) > c.v[V_RLIMIT]) return OUT_FAILED;
    return OUT_OK;
}

int evaluate(Core& c, const double* xx, double* r)
{
    return evaluateWith(c, c.callbacks->residuals, c.callbacks->context, xx, r);
}

double halfSquares(int n, const double* r)
{
    double norm = linalgNorm(n, r);
    return 0.5 * norm * norm;
}

// A difference column is lost in rounding when the residuals change by no more than a
// few hundred units in the last place of the largest residual (large observed values
// with a parameter near zero: y = 1e9, a = 1, h = 1.5e-8). Then the step h is widened
// by 1000 up to three times, staying inside the bounds, until the change is resolved;
// an uncomputable widened step keeps the column of the last resolved step (re-evaluated).
constexpr double WIDEN_FACTOR = 1000.0;
constexpr int WIDEN_LIMIT = 3;
constexpr double ROUNDING_UNITS = 256.0;

bool columnLost(const Core& c, const double* column, double h)
{
    double change = 0.0, size = 0.0;
    for (int i = 0; i < c.n; ++i) {
        double dc = std::fabs(column[i] * h), dr = std::fabs(c.r0[i]);
        change = dc > change ? dc : change;
        size = dr > size ? dr : size;
    }
    return change <= ROUNDING_UNITS * DBL_EPSILON * size;
}

int widenColumn(Core& c, int k, double h, double* column)
{
    if (!columnLost(c, column, h)) return OUT_OK;
    double* trial = c.xt;
    double xk = c.x[k];
    double good = h;
    for (int tries = 0; tries < WIDEN_LIMIT; ++tries) {
        double wide = good * WIDEN_FACTOR;
        if (c.bounds != nullptr && (xk + wide < c.bounds[2 * k] || xk + wide > c.bounds[2 * k + 1])) return OUT_OK;
        trial[k] = xk + wide;
        double used = trial[k] - xk;
        ++c.ngcall;
        int outcome = evaluate(c, trial, column);
        trial[k] = xk;
        if (outcome == OUT_CANCEL) return OUT_CANCEL;
        if (outcome != OUT_OK) {
            // widened step not computable: back to the last computed step
            trial[k] = xk + good;
            ++c.ngcall;
            outcome = evaluate(c, trial, column);
            trial[k] = xk;
            if (outcome != OUT_OK) return outcome;
            for (int i = 0; i < c.n; ++i) column[i] = (column[i] - c.r0[i]) / good;
            return OUT_OK;
        }
        for (int i = 0; i < c.n; ++i) column[i] = (column[i] - c.r0[i]) / used;
        good = used;
        if (!columnLost(c, column, used)) return OUT_OK;
    }
    return OUT_OK;
}

// First difference step of column k at x_k: h0 = V(43) max(|x_k|, 1/d_k), the step h
// and the retry factor. Bounded: near a bound the retries stay on the open side. Returns
// OUT_OK, OUT_FAILED when no step fits between the bounds, or COLUMN_FIXED.
constexpr int COLUMN_FIXED = 2;

int firstStep(const Core& c, int k, double* h0, double* h, double* factor)
{
    double xk = c.x[k];
    *h0 = c.v[V_DLTFDJ] * std::fmax(std::fabs(xk), 1.0 / c.d[k]);
    *h = *h0;
    *factor = -0.5;
    if (c.bounds == nullptr) return OUT_OK;
    double lower = c.bounds[2 * k], upper = c.bounds[2 * k + 1];
    if (lower >= upper) return COLUMN_FIXED;
    if (xk - *h0 < lower) {
        *factor = 0.5;
        if (xk + *h0 > upper) return OUT_FAILED;
    } else if (xk + *h0 > upper) {
        *h = -*h0;
        *factor = 0.5;
    }
    return OUT_OK;
}

// Column k of the forward-difference Jacobian (tries h0, then h times the factor while
// |h / h0| >= 0.1), widened when lost in rounding. trial holds x and is restored.
// first, when not OUT_FAILED, is the outcome of the first try already evaluated into the
// column (by the speculative pass); that try is then only counted.
int formColumn(Core& c, int k, double* trial, int first)
{
    double* column = c.jac + (long)k * c.n;
    double xk = c.x[k];
    double h0, h, factor;
    int start = firstStep(c, k, &h0, &h, &factor);
    if (start == COLUMN_FIXED) {
        for (int i = 0; i < c.n; ++i) column[i] = 0.0;
        return OUT_OK;
    }
    if (start == OUT_FAILED) return OUT_FAILED;
    bool done = false;
    double used = 0.0;
    while (std::fabs(h / h0) >= 0.1) {
        trial[k] = xk + h;
        used = trial[k] - xk;           // the step as represented
        ++c.ngcall;
        int outcome = first != OUT_FAILED ? first : evaluate(c, trial, column);
        first = OUT_FAILED;
        trial[k] = xk;
        if (outcome == OUT_CANCEL) return OUT_CANCEL;
        if (outcome == OUT_OK && used != 0.0) {
            for (int i = 0; i < c.n; ++i) column[i] = (column[i] - c.r0[i]) / used;
            done = true;
            break;
        }
        h *= factor;
    }
    if (!done) return OUT_FAILED;
    return widenColumn(c, k, used, column);
}

// The speculative pass of both cores: the first tries of columns begin, begin + 2, ...
// below end, each at x with its own trial point, through the quiet routine.
struct ColumnBatch {
    Core* core;
    int begin;              // first column of this thread
    int end;                // columns below this one
    void* context;          // the thread's evaluation context
    double* trial;          // p doubles: the thread's trial point
    int* outcomes;          // outcome of each column's first try
};

void evaluateFirstTries(const ColumnBatch& batch)
{
    Core& c = *batch.core;
    for (int k = 0; k < c.p; ++k) batch.trial[k] = c.x[k];
    for (int k = batch.begin; k < batch.end; k += 2) {
        double h0, h, factor;
        if (firstStep(c, k, &h0, &h, &factor) != OUT_OK) continue;
        batch.trial[k] = c.x[k] + h;
        batch.outcomes[k] = batch.trial[k] - c.x[k] != 0.0
            ? evaluateWith(c, c.callbacks->quietResiduals, batch.context, batch.trial, c.jac + (long)k * c.n)
            : OUT_FAILED;
        batch.trial[k] = c.x[k];
        if (batch.outcomes[k] == OUT_CANCEL) return;
    }
}

void* columnThread(void* batch)
{
    evaluateFirstTries(*static_cast<ColumnBatch*>(batch));
    return nullptr;
}

// Runs the speculative pass on two threads. Only columns before the first one without
// room between its bounds are tried, as the serial order stops there. outcomes[k] stays
// OUT_FAILED for a column not tried. False when the second thread could not start.
bool firstTriesOnTwoThreads(Core& c, int* outcomes)
{
    int end = 0;
    for (; end < c.p; ++end) {
        outcomes[end] = OUT_FAILED;
        double h0, h, factor;
        if (firstStep(c, end, &h0, &h, &factor) == OUT_FAILED) break;
    }
    std::vector<double> helperTrial((size_t)c.p);
    ColumnBatch helper{&c, 1, end, c.callbacks->helperContext, helperTrial.data(), outcomes};
    ColumnBatch own{&c, 0, end, c.callbacks->context, c.xt, outcomes};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, columnThread, &helper) != 0) return false;
    evaluateFirstTries(own);
    pthread_join(thread, nullptr);
    return true;
}

// Forward-difference Jacobian at c.x with base residuals c.r0 into c.jac (natural order),
// column by column (formColumn). With a quiet routine the first tries are evaluated on
// two threads first; the columns are then completed in order, so that every retry,
// message and count is that of the serial order. The perturbed parameter is restored on
// every path.
int formJacobian(Core& c)
{
    double* trial = c.xt;
    std::vector<int> outcomes;
    bool speculative = c.callbacks->quietResiduals != nullptr && c.p >= 2;
    if (speculative) {
        outcomes.assign((size_t)c.p, OUT_FAILED);
        speculative = firstTriesOnTwoThreads(c, outcomes.data());
    }
    for (int k = 0; k < c.p; ++k) trial[k] = c.x[k];
    for (int k = 0; k < c.p; ++k) {
        int first = speculative ? outcomes[k] : OUT_FAILED;
        if (first == OUT_CANCEL) return OUT_CANCEL;
        int outcome = formColumn(c, k, trial, first);
        if (outcome != OUT_OK) return outcome;
    }
    return OUT_OK;
}

// Scale update after each Jacobian: running column maximum, raised by sqrt(S_ii), small
// values replaced by V(40), and d may shrink by at most the factor V(41).
void updateScale(Core& c, bool first)
{
    int type = c.iv[IV_SCALE_TYPE];
    if (type == 0 || (type == 2 && !first)) return;
    for (int k = 0; k < c.p; ++k) {
        const double* column = c.jac + (long)k * c.n;
        double big = 0.0;
        for (int i = 0; i < c.n; ++i) {
            double t = std::fabs(column[i]);
            big = t > big ? t : big;
        }
        c.colMax[k] = std::fmax(c.colMax[k], big);
        double t = c.colMax[k];
        double sii = c.smat[packedIndex(k, k)];
        if (sii > 0.0) t = std::fmax(t, std::sqrt(sii));
        if (t < c.v[V_DTINIT]) t = std::fmax(c.v[V_D0INIT], c.v[V_DTINIT]);
        c.d[k] = std::fmax(c.v[V_DFAC] * c.d[k], t);
    }
}

void swapColumns(Core& c, int a, int b)
{
    if (a == b) return;
    double* ca = c.jac + (long)a * c.n;
    double* cb = c.jac + (long)b * c.n;
    for (int i = 0; i < c.n; ++i) { double t = ca[i]; ca[i] = cb[i]; cb[i] = t; }
}

// After a new Jacobian at x (residuals r0): scale, free/held split (bounded), column
// permutation, QR, qtr, gradient.
void factorJacobian(Core& c, bool first)
{
    updateScale(c, first);
    int p = c.p;
    // gradient in natural order, needed for the held test
    for (int k = 0; k < p; ++k) c.g[k] = linalgDot(c.n, c.jac + (long)k * c.n, c.r0);
    int m = 0;
    for (int k = 0; k < p; ++k) {
        bool held = false;
        if (c.bounds != nullptr) {
            double lower = c.bounds[2 * k], upper = c.bounds[2 * k + 1];
            held = lower >= upper || (c.x[k] <= lower && c.g[k] > 0.0) || (c.x[k] >= upper && c.g[k] < 0.0);
        }
        if (!held) c.perm[m++] = k;
    }
    c.freeCount = m;
    int tail = m;
    for (int k = 0; k < p; ++k) {
        bool listed = false;
        for (int j = 0; j < m; ++j) if (c.perm[j] == k) { listed = true; break; }
        if (!listed) c.perm[tail++] = k;
    }
    // move the columns into permuted order; where[k] = current column of parameter k
    int* at = c.where;
    for (int k = 0; k < p; ++k) at[k] = k;
    for (int pos = 0; pos < p; ++pos) {
        int want = c.perm[pos];
        int from = at[want];
        if (from != pos) {
            int displaced = -1;
            for (int k = 0; k < p; ++k) if (at[k] == pos) { displaced = k; break; }
            swapColumns(c, pos, from);
            at[want] = pos;
            if (displaced >= 0) at[displaced] = from;
        }
    }
    linalgQr(c.n, p, c.jac, c.beta);
    for (int i = 0; i < c.n; ++i) c.rt[i] = c.r0[i];
    linalgApplyQt(c.n, p, c.jac, c.beta, c.rt);
    for (int k = 0; k < p; ++k) c.qtr[k] = c.rt[k];
    linalgRtMul(p, c.jac, c.n, c.qtr, c.gp);
    for (int k = 0; k < p; ++k) {
        c.g[c.perm[k]] = c.gp[k];
        c.dp[k] = c.d[c.perm[k]];
    }
    c.hStale = true;
}

// y = J^T J s (natural order) from the current factor: R^T R P^T s.
void normalProduct(Core& c, const double* s, double* y)
{
    for (int k = 0; k < c.p; ++k) c.t1[k] = s[c.perm[k]];
    linalgRMul(c.p, c.jac, c.n, c.t1, c.t2);
    linalgRtMul(c.p, c.jac, c.n, c.t2, c.t1);
    for (int k = 0; k < c.p; ++k) y[c.perm[k]] = c.t1[k];
}

// Scaled augmented matrix of the free variables: D^-1 (R^T R + S) D^-1.
void buildAugmented(Core& c)
{
    int m = c.freeCount;
    for (int i = 0; i < m; ++i)
        for (int j = 0; j <= i; ++j) {
            const double* ci = c.jac + (long)i * c.n;
            const double* cj = c.jac + (long)j * c.n;
            double sum = 0.0;
            for (int k = 0; k <= j; ++k) sum += ci[k] * cj[k];
            int a = c.perm[i], b = c.perm[j];
            sum += c.smat[a >= b ? packedIndex(a, b) : packedIndex(b, a)];
            c.hmat[packedIndex(i, j)] = sum / (c.dp[i] * c.dp[j]);
        }
    c.hStale = false;
}

// Step of the given model at radius delta into out (free variables, permuted order).
void modelStep(Core& c, int model, double delta, StepState& state, double* out, StepResult& result)
{
    StepInput in;
    in.m = c.freeCount;
    in.r = c.jac;
    in.lda = c.n;
    in.qtr = c.qtr;
    in.g = c.gp;
    in.d = c.dp;
    in.h = nullptr;
    in.radius = delta;
    in.phmn = c.v[V_PHMNFC];
    in.phmx = c.v[V_PHMXFC];
    in.epsilon = c.v[V_EPSLON];
    if (model == MODEL_AUGMENTED) {
        if (c.hStale) buildAugmented(c);
        in.h = c.hmat;
        stepAugmented(in, state, out, result, c.stepWork);
    } else {
        stepLevenbergMarquardt(in, state, out, result, c.stepWork);
    }
}

double quadraticS(Core& c, const double* s)
{
    linalgSymMul(c.p, c.smat, s, c.t1);
    return linalgDot(c.p, s, c.t1);
}

// Trial step and point: natural-order step, projection onto the box, RELDX.
void makeTrial(Core& c, int model, double delta, StepState& state, Trial& trial)
{
    int p = c.p;
    modelStep(c, model, delta, state, c.sp, trial.step);
    trial.model = model;
    for (int k = 0; k < p; ++k) c.s[k] = 0.0;
    for (int k = 0; k < c.freeCount; ++k) c.s[c.perm[k]] = c.sp[k];
    bool projected = false;
    for (int k = 0; k < p; ++k) {
        double value = c.x0[k] + c.s[k];
        if (c.bounds != nullptr) {
            double lower = c.bounds[2 * k], upper = c.bounds[2 * k + 1];
            double clipped = lower >= upper ? lower : clampToBox(value, lower, upper);
            if (clipped != value) projected = true;
            value = clipped;
        }
        c.xt[k] = value;
    }
    if (projected) {
        // model figures for the projected step. Should the projection have turned it into
        // a step the model does not favour, the step is truncated at the first bound
        // instead: the model decreases along the whole segment to the unprojected step.
        double truncation = 1.0;
        for (int k = 0; k < p; ++k) {
            double lower = c.bounds[2 * k], upper = c.bounds[2 * k + 1];
            if (lower >= upper || c.s[k] == 0.0) continue;
            double room = c.s[k] > 0.0 ? upper - c.x0[k] : lower - c.x0[k];
            truncation = std::fmin(truncation, std::fmax(0.0, room / c.s[k]));
        }
        for (int pass = 0;; ++pass) {
            if (pass == 1) {
                for (int k = 0; k < c.freeCount; ++k) c.s[c.perm[k]] = truncation * c.sp[k];
                for (int k = 0; k < p; ++k) {
                    double lower = c.bounds[2 * k], upper = c.bounds[2 * k + 1];
                    c.xt[k] = lower >= upper ? lower : clampToBox(c.x0[k] + c.s[k], lower, upper);
                }
            }
            for (int k = 0; k < p; ++k) { c.s[k] = c.xt[k] - c.x0[k]; c.t2[k] = c.d[k] * c.s[k]; }
            trial.step.dstnrm = linalgNorm(p, c.t2);
            trial.step.gts = linalgDot(p, c.g, c.s);
            for (int k = 0; k < p; ++k) c.t1[k] = c.s[c.perm[k]];
            linalgRMul(p, c.jac, c.n, c.t1, c.t2);
            double quad = linalgDot(p, c.t2, c.t2);
            if (model == MODEL_AUGMENTED) quad += quadraticS(c, c.s);
            trial.step.pred = -trial.step.gts - 0.5 * quad;
            if (trial.step.pred > 0.0 || pass == 1 || !(truncation > 0.0)) break;
        }
    }
    double num = 0.0, den = 0.0;
    for (int k = 0; k < p; ++k) {
        num = std::fmax(num, c.d[k] * std::fabs(c.xt[k] - c.x0[k]));
        den = std::fmax(den, c.d[k] * (std::fabs(c.xt[k]) + std::fabs(c.x0[k])));
    }
    trial.reldx = den > 0.0 ? num / den : 0.0;
}

// Model switch test: the other model's prediction error for the same step, E' = E -/+
// 0.5 s^T S s, must beat the current one's by the factor V(45).
bool switchModel(Core& c, const Trial& trial, const double* s)
{
    double error = trial.step.pred - (c.v[V_F0] - trial.f);
    double sigma = 0.5 * quadraticS(c, s);
    double other = trial.model == MODEL_GAUSS_NEWTON ? error - sigma : error + sigma;
    return c.v[V_FUZZ] * std::fabs(other) < std::fabs(error);
}

// Radius factor after a poor or failed trial: minimiser of the quadratic through f0,
// slope gts and the trial value, kept within [V(24), 0.5].
double decreaseFactor(Core& c, double gts, double fdif)
{
    double e = gts + fdif;
    double factor = 0.5;
    if (e < gts) factor = std::fmax(c.v[V_RDFCMN], 0.5 * gts / e);
    return factor;
}

// Absolute function convergence: |f| < V(31).
bool absoluteConvergence(const Core& c, double f) { return std::fabs(f) < c.v[V_AFCTOL]; }

// Step length of the singular tests: V(36) times the residual norm at x0 when that
// exceeds one. A scaled step of length L changes the residuals by about L (d holds the
// largest Jacobian entry of each column), so "no reduction of V(37) |f0| within length
// V(36)" depends on the units of the observations: with residuals of 1e12 the reduction
// a unit step can give is about 1e-12 of f0 even on a well-conditioned linear fit.
// Measured in residual norms the test is the same in any units.
double singularLength(const Core& c)
{
    return c.v[V_LMAXS] * std::fmax(1.0, std::sqrt(2.0 * std::fabs(c.v[V_F0])));
}

// Singular convergence: predicted reduction <= V(37) |f0| for a step longer than the
// singular length or for the model's Newton step.
bool singularConvergence(const Core& c, const StepResult& st)
{
    return st.pred <= c.v[V_SCTOL] * std::fabs(c.v[V_F0]) && (st.dstnrm > singularLength(c) || st.alpha == 0.0);
}

// Relative function convergence: the model's Newton step predicts a reduction of at most
// V(32) |f0| (or the model predicts nothing at all).
bool relativeConvergence(const Core& c, const StepResult& st)
{
    return (st.nreduc > 0.0 && st.nreduc <= c.v[V_RFCTOL] * std::fabs(c.v[V_F0])) ||
           (st.nreduc == 0.0 && st.pred == 0.0);
}

// X-convergence: the step was the model's full Newton step and RELDX <= V(33).
bool xConvergence(const Core& c, const Trial& trial, bool goodx)
{
    return trial.step.alpha == 0.0 && trial.reldx <= c.v[V_XCTOL] && goodx;
}

// Singular probe: when the step is long or the model's Newton step undefined, the step
// of the singular length is computed (not evaluated); a predicted reduction of at most
// V(37) |f0| for it is singular convergence. xi (2 - xi) pred bounds the reduction the
// model predicts for the shorter step.
bool singularProbe(Core& c, const Trial& trial, const StepState& state)
{
    const StepResult& st = trial.step;
    double sctol = c.v[V_SCTOL] * std::fabs(c.v[V_F0]);
    double lmaxs = singularLength(c);
    bool probe;
    if (st.dstnrm > lmaxs) {
        double xi = lmaxs / st.dstnrm;
        probe = 0.5 * st.dstnrm > lmaxs && xi * (2.0 - xi) * st.pred < sctol;
    } else {
        probe = st.pred < sctol && (st.dst0 <= 0.0 || 0.5 * st.dst0 > lmaxs);
    }
    if (!probe) return false;
    StepState copy = state;
    StepResult result;
    modelStep(c, trial.model, lmaxs, copy, c.t2, result);
    return result.pred <= sctol;
}

// Convergence tests on an assessed trial; returns a return code or 0. Later tests
// override earlier ones: false (flagged by the caller), absolute, then (unless the
// actual reduction exceeds twice the predicted one) singular, relative / X, and the
// singular probe.
int convergenceTest(Core& c, const Trial& trial, double fBest, bool falseFlag, bool goodx, StepState& state)
{
    const StepResult& st = trial.step;
    double fdif = c.v[V_F0] - trial.f;
    int code = falseFlag ? SOLVER_FALSE_CONVERGED : 0;
    if (absoluteConvergence(c, fBest)) code = SOLVER_ABSOLUTE_CONVERGED;
    if (0.5 * fdif > st.pred) return code;
    if (singularConvergence(c, st)) code = SOLVER_SINGULAR_CONVERGED;
    if (st.dst0 >= 0.0) {
        bool relative = relativeConvergence(c, st);
        bool xconv = xConvergence(c, trial, goodx);
        if (relative && xconv) return SOLVER_BOTH_CONVERGED;
        if (relative) return SOLVER_RELATIVE_CONVERGED;
        if (xconv) return SOLVER_X_CONVERGED;
    }
    if ((code == 0 || code == SOLVER_FALSE_CONVERGED) && st.alpha != 0.0 && singularProbe(c, trial, state))
        code = SOLVER_SINGULAR_CONVERGED;
    return code;
}

// Secant update of S after an accepted step s (natural order), with y# = g - yOld:
// tau = min(1, |s'y#| / |s'Ss|); v = J^T J s + y#; w = omega v / s'v with
// omega = min(1, |s'v| / (V(47) ||s|| ||v||)); u = y# - tau S s + 0.5 (tau s'Ss - s'y#) w;
// S <- tau S + u w' + w u'.
void updateSecant(Core& c, const double* s)
{
    int p = c.p;
    double* ydiff = c.yOld;
    for (int k = 0; k < p; ++k) ydiff[k] = c.g[k] - c.yOld[k];
    double* w = c.hs;
    normalProduct(c, s, w);         // uses t1, t2 as scratch: before ss is formed
    for (int k = 0; k < p; ++k) w[k] += ydiff[k];
    double* ss = c.t2;
    linalgSymMul(p, c.smat, s, ss);
    double sss = linalgDot(p, s, ss);
    double sy = linalgDot(p, s, ydiff);
    double tau = 1.0;
    if (std::fabs(sy) < std::fabs(sss)) tau = std::fabs(sy / sss);
    double sv = linalgDot(p, s, w);
    double denom = c.v[V_COSMIN] * linalgNorm(p, s) * linalgNorm(p, w);
    double omega = denom > 0.0 ? std::fmin(1.0, std::fabs(sv) / denom) : 1.0;
    if (sv == 0.0) {
        for (int k = 0; k < p; ++k) w[k] = 0.0;
    } else {
        for (int k = 0; k < p; ++k) w[k] *= omega / sv;
    }
    double half = 0.5 * (tau * sss - sy);
    double* u = ydiff;
    for (int k = 0; k < p; ++k) u[k] = ydiff[k] - tau * ss[k] + half * w[k];
    for (int i = 0; i < p; ++i)
        for (int j = 0; j <= i; ++j) {
            double& sij = c.smat[packedIndex(i, j)];
            sij = tau * sij + u[i] * w[j] + w[i] * u[j];
        }
    c.v[V_SIZE] = tau;
    c.v[V_WSCALE] = omega;
}

void progress(Core& c)
{
    if (c.callbacks->progress != nullptr)
        c.callbacks->progress(c.iv[IV_NITER], c.f, c.callbacks->context);
}

void carveWork(Core& c)
{
    int n = c.n, p = c.p;
    long tri = (long)p * (p + 1) / 2;
    double* next = c.v + V_WORK_START;
    c.jac = next; next += (long)n * p;
    c.smat = next; next += tri;
    c.hmat = next; next += tri;             // hmat and stepWork are adjacent: p*p scratch at the end
    c.stepWork = next; next += stepWorkLength(p);
    double** vectors[] = {&c.x0, &c.d, &c.colMax, &c.beta, &c.qtr, &c.g, &c.gp, &c.dp, &c.gOld,
                          &c.s, &c.sp, &c.sBest, &c.xt, &c.yOld, &c.hs, &c.t1, &c.t2};
    for (double** vec : vectors) { *vec = next; next += p; }
    c.r0 = next; next += n;
    c.rt = next;
    c.perm = c.iv + IV_WORK_START;
    c.where = c.perm + p;
}

}  // namespace

long coreRealsNeeded(int n, int p)
{
    long tri = (long)p * (p + 1) / 2;
    return V_WORK_START + (long)n * p + 2 * tri + stepWorkLength(p) + 17L * p + 2L * n;
}

namespace {

// How the current trial of an iteration came about.
enum TrialOrigin {
    ORIGIN_FIRST,       // first step of the iteration
    ORIGIN_SWITCH,      // other model at the same radius
    ORIGIN_SHRINK,      // same model, radius shrunk after a trivial first trial
    ORIGIN_RECOMPUTE,   // same model, radius changed after an assessed trial
};

// Best trial of an iteration (or the first model's failed value, for the switch-back).
struct Best {
    bool saved;         // an improving trial with its step in sBest and residuals in r0
    double f;           // its f (f0 when none)
    int model;          // model that produced it (or the failed first model)
    Trial trial;        // its figures
    int evaluation;     // NFCALL when it was saved
    double radius;      // trust radius its step was computed for
};

void saveBest(Core& c, Best& best, const Trial& trial, bool residualsInTrial)
{
    best.saved = true;
    best.radius = c.v[V_RADIUS];
    best.f = trial.f;
    best.model = trial.model;
    best.trial = trial;
    best.evaluation = c.nfcall;
    for (int k = 0; k < c.p; ++k) c.sBest[k] = c.s[k];
    if (residualsInTrial)
        for (int i = 0; i < c.n; ++i) c.r0[i] = c.rt[i];
}

// Make the saved best trial the current one: step, point; residuals stay in r0.
void recallBest(Core& c, const Best& best, Trial& trial)
{
    trial = best.trial;
    for (int k = 0; k < c.p; ++k) {
        c.s[k] = c.sBest[k];
        c.xt[k] = c.x0[k] + c.sBest[k];
        if (c.bounds != nullptr) {
            double lower = c.bounds[2 * k], upper = c.bounds[2 * k + 1];
            c.xt[k] = lower >= upper ? lower : clampToBox(c.xt[k], lower, upper);
        }
    }
}

// Quantities of the old factor needed after the move to the new point: yOld = J^T r(new)
// (r(new) in r0) and hs = (J^T J + [S]) s for the gradient test.
void beforeNewJacobian(Core& c, int model)
{
    normalProduct(c, c.s, c.hs);
    if (model == MODEL_AUGMENTED) {
        linalgSymMul(c.p, c.smat, c.s, c.t1);
        for (int k = 0; k < c.p; ++k) c.hs[k] += c.t1[k];
    }
    for (int i = 0; i < c.n; ++i) c.rt[i] = c.r0[i];
    linalgApplyQt(c.n, c.p, c.jac, c.beta, c.rt);
    linalgRtMul(c.p, c.jac, c.n, c.rt, c.t1);
    for (int k = 0; k < c.p; ++k) c.yOld[c.perm[k]] = c.t1[k];
}

// Gradient tests after a good step: the model's gradient prediction was accurate, or
// the new point is still strongly descending along s. Uses hs, gOld and the new g, d.
bool gradientTestPasses(Core& c, double gtsOld)
{
    for (int k = 0; k < c.p; ++k) {
        c.t1[k] = (c.hs[k] - (c.g[k] - c.gOld[k])) / c.d[k];
        c.t2[k] = c.g[k] / c.d[k];
    }
    if (linalgNorm(c.p, c.t1) <= c.v[V_TUNER4] * linalgNorm(c.p, c.t2)) return true;
    return linalgDot(c.p, c.g, c.s) < c.v[V_TUNER5] * gtsOld;
}

void finishCovariance(Core& c)
{
    int p = c.p;
    double sigma2 = 2.0 * c.f / std::fmax(1.0, (double)(c.n - p));
    double rcond = 0.0;
    bool ok = covarianceFromFactor(p, c.jac, c.n, sigma2, c.smat, c.hmat, c.t1, &rcond);
    c.v[V_RCOND] = rcond;
    c.iv[IV_COVARIANCE] = ok ? (int)(c.smat - c.v) + 1 : -1;
}

}  // namespace

// One solve. Contract in solvercore.h. On every return x is the best point reached,
// V(10) its f, IV(31) the iterations and IV(1) the return code (11 after Cancel).
void coreSolve(int n, int p, double* x, const double* bounds, const SolverCallbacks& callbacks,
               int* iv, double* v)
{
    Core c{};
    c.n = n;
    c.p = p;
    c.x = x;
    c.bounds = bounds;
    c.callbacks = &callbacks;
    c.iv = iv;
    c.v = v;
    carveWork(c);
    for (long i = V_WORK_START; i < coreRealsNeeded(n, p); ++i) v[i] = 0.0;
    for (int k = 0; k < p; ++k) c.d[k] = v[V_DINIT] > 0.0 ? v[V_DINIT] : 1.0;
    c.nfcall = 1;
    c.ngcall = 0;
    auto leave = [&](int code) {
        iv[IV_RETURN_CODE] = code;
        iv[IV_NFCALL] = c.nfcall;
        iv[IV_NGCALL] = c.ngcall;
    };

    // start point and first Jacobian
    int outcome = evaluate(c, x, c.r0);
    if (outcome == OUT_CANCEL) return leave(SOLVER_STOPPED);
    if (outcome == OUT_FAILED) return leave(SOLVER_BAD_START);
    c.f = halfSquares(n, c.r0);
    v[V_F] = c.f;
    outcome = formJacobian(c);
    if (outcome == OUT_CANCEL) return leave(SOLVER_STOPPED);
    if (outcome == OUT_FAILED) return leave(SOLVER_JACOBIAN_FAILED);
    factorJacobian(c, true);

    double delta = v[V_LMAX0] / (1.0 + v[V_PHMXFC]);
    StepState state{0.0, 0.0};
    int model = MODEL_GAUSS_NEWTON;
    int nextModel = MODEL_GAUSS_NEWTON;
    double radfac = 1.0;
    int code = 0;
    int jacobianFailures = 0;
    bool moved = false;             // an accepted step exists (its step is in sBest)
    iv[IV_NITER] = 0;
    Trial trial{};
    Best best{};

    while (code == 0) {
        // top of the iteration: summary, iteration limit, radius from the last step
        v[V_F] = c.f;
        progress(c);
        if (iv[IV_NITER] >= iv[IV_ITER_LIMIT]) { code = SOLVER_ITER_LIMIT; break; }
        iv[IV_NITER] += 1;
        if (moved) {
            for (int k = 0; k < p; ++k) c.t1[k] = c.d[k] * c.sBest[k];
            double t = radfac * linalgNorm(p, c.t1);
            delta = radfac < 1.0 ? t : std::fmax(delta, t);
        }
        for (int k = 0; k < p; ++k) { c.x0[k] = x[k]; c.gOld[k] = c.g[k]; }
        double f0 = c.f;
        v[V_F0] = f0;
        model = nextModel;
        int stage = 1, radinc = 0;
        best.saved = false;
        best.f = f0;
        best.model = model;
        StepState snapshot = state;
        bool goodx = true;
        TrialOrigin origin = ORIGIN_FIRST;

        // trials of this iteration until one is accepted or the solve ends
        for (;;) {
            if (c.nfcall >= iv[IV_EVAL_LIMIT]) { code = SOLVER_EVAL_LIMIT; break; }
            makeTrial(c, model, delta, state, trial);
            v[V_RADIUS] = delta;
            v[V_DSTNRM] = trial.step.dstnrm;
            v[V_RELDX] = trial.reldx;

            // an enlarged recomputation that cannot beat the saved trial is not evaluated
            bool useBest = false, acceptNow = false;
            if (origin == ORIGIN_RECOMPUTE && radinc > 0 && best.saved &&
                trial.step.pred <= 1.2 * (f0 - best.f)) {
                // the larger radius promises little more: keep the radius of the saved step
                useBest = true;
                acceptNow = true;
                radfac = 1.0;
                delta = best.radius;
            }
            bool toobig = false;
            if (!useBest) {
                if (trial.step.dstnrm == 0.0) {
                    trial.f = f0;
                } else {
                    c.nfcall += 1;
                    outcome = evaluate(c, c.xt, c.rt);
                    if (outcome == OUT_CANCEL) { v[V_F] = c.f; return leave(SOLVER_STOPPED); }
                    toobig = outcome == OUT_FAILED;
                    trial.f = toobig ? f0 : halfSquares(n, c.rt);
                }
            }
            // uncomputable trial: halve the step, same model, no convergence test
            if (toobig) {
                if (radinc > 0 && best.saved) {
                    useBest = true;
                    acceptNow = true;
                    radfac = 1.0;
                    delta = best.radius;
                } else {
                    radinc -= 1;
                    delta = v[V_DECFAC] * trial.step.dstnrm;
                    origin = ORIGIN_RECOMPUTE;
                    if (trial.reldx <= v[V_XFTOL] || !(delta > 0.0)) {
                        if (best.saved && best.f < f0) { useBest = true; acceptNow = true; radfac = 0.5; }
                        else { code = SOLVER_FALSE_CONVERGED; break; }
                    } else {
                        continue;
                    }
                }
            }
            bool restored = false;
            if (useBest) {
                recallBest(c, best, trial);
                restored = true;
            } else if (origin != ORIGIN_FIRST && origin != ORIGIN_SHRINK && !(trial.f < best.f)) {
                // the recomputed trial lost against the best one of this iteration
                bool switchedBack = false;
                if (trial.model != best.model) {
                    model = best.model;
                    state = snapshot;
                    switchedBack = true;
                }
                if (best.saved && best.f < f0) {
                    double rfac1 = switchedBack ? 1.0 : trial.step.dstnrm / best.trial.step.dstnrm;
                    bool early = !(stage < STAGE_LIMIT || c.nfcall - best.evaluation < STAGE_LIMIT + 2 ||
                                   switchedBack);
                    // an enlarged radius that did not pay goes back to the saved step's radius
                    if (radinc > 0) delta = best.radius;
                    recallBest(c, best, trial);
                    restored = true;
                    goodx = false;
                    if (early) { acceptNow = true; radfac = rfac1; }
                }
            }

            double fdif = f0 - trial.f;
            double pred = trial.step.pred, gts = trial.step.gts;
            int irc = 4;
            bool falseFlag = false;
            bool gradientTest = false;
            if (!acceptNow) {
                // classify the decrease
                bool poorOrTrivial = false;
                if (fdif <= v[V_TUNER2] * pred && radinc <= 0) {
                    if (trial.f >= f0) {
                        if (!(best.saved && best.f < f0)) { best.model = trial.model; best.f = trial.f; }
                    }
                    irc = stage >= STAGE_LIMIT ? 5 : 1;
                    if (irc == 5) radinc -= 1;
                    poorOrTrivial = true;
                } else if (fdif <= v[V_TUNER1] * pred) {
                    irc = stage < STAGE_LIMIT ? 2 : 4;
                    poorOrTrivial = true;
                } else if (fdif < v[V_TUNER3] * (-gts) || radinc < 0 || restored) {
                    irc = 3;
                    radfac = 1.0;
                    gradientTest = true;
                } else {
                    // very good step: enlarge the radius
                    radfac = v[V_RDFCMX];
                    if (fdif < (0.5 / v[V_RDFCMX] - 1.0) * gts)
                        radfac = std::fmax(v[V_INCFAC], 0.5 * gts / (gts + fdif));
                    double dst0 = trial.step.dst0;
                    if (trial.step.alpha == 0.0 ||
                        (dst0 >= 0.0 && (dst0 < 2.0 * trial.step.dstnrm || trial.step.nreduc < 1.2 * fdif))) {
                        irc = 4;
                    } else {
                        irc = 5;
                        radinc += 1;
                        saveBest(c, best, trial, true);
                    }
                }
                if (poorOrTrivial) {
                    radfac = decreaseFactor(c, gts, fdif);
                    if (trial.reldx <= v[V_XFTOL]) falseFlag = true;
                    else if (trial.f < f0 && !restored && trial.f < best.f) saveBest(c, best, trial, true);
                }
                // convergence tests
                double fNow = std::fmin(trial.f, f0);
                int converged = convergenceTest(c, trial, fNow, falseFlag, goodx, state);
                if (converged != 0) {
                    code = converged;
                    if (trial.f < f0) {
                        useBest = restored;
                        acceptNow = true;
                    } else if (best.saved && best.f < f0) {
                        recallBest(c, best, trial);
                        restored = useBest = acceptNow = true;
                    }
                    if (!acceptNow) break;
                }
            }

            if (code == 0 && !acceptNow) {
                // dispatch on the assessment
                if (irc == 1 || irc == 2) {
                    if (switchModel(c, trial, c.s)) {
                        snapshot = state;
                        if (irc == 1 && trial.f >= f0 && !(best.saved && best.f < f0)) {
                            best.model = trial.model;
                            best.f = trial.f;
                        } else if (!(best.saved && trial.f >= best.f) && trial.f < f0) {
                            saveBest(c, best, trial, !restored);
                        }
                        model = model == MODEL_GAUSS_NEWTON ? MODEL_AUGMENTED : MODEL_GAUSS_NEWTON;
                        stage += 1;
                        origin = ORIGIN_SWITCH;
                        continue;
                    }
                    if (irc == 1) {
                        delta = radfac * trial.step.dstnrm;
                        stage = STAGE_LIMIT;
                        radinc = -1;
                        origin = ORIGIN_SHRINK;
                        continue;
                    }
                    irc = 4;
                }
                if (irc == 5) {
                    delta = radfac * trial.step.dstnrm;
                    origin = ORIGIN_RECOMPUTE;
                    continue;
                }
                nextModel = switchModel(c, trial, c.s)
                                ? (trial.model == MODEL_GAUSS_NEWTON ? MODEL_AUGMENTED : MODEL_GAUSS_NEWTON)
                                : trial.model;
            } else if (code == 0) {
                nextModel = model;
            }

            // accept the trial (or the recalled best one): residuals into r0, new Jacobian
            if (!useBest && !restored)
                for (int i = 0; i < n; ++i) c.r0[i] = c.rt[i];
            if (code != 0) {
                // converged at a moved point: only the point, f and (for the covariance) J
                for (int k = 0; k < p; ++k) x[k] = c.xt[k];
                c.f = trial.f;
                bool wantCovariance = bounds == nullptr && iv[IV_COV_REQUEST] < 0 &&
                                      code >= SOLVER_X_CONVERGED && code <= SOLVER_ABSOLUTE_CONVERGED;
                if (wantCovariance) {
                    outcome = formJacobian(c);
                    if (outcome == OUT_CANCEL) { v[V_F] = c.f; return leave(SOLVER_STOPPED); }
                    if (outcome == OUT_FAILED) iv[IV_COVARIANCE] = -2;
                    else factorJacobian(c, false);
                }
                break;
            }
            beforeNewJacobian(c, trial.model);
            for (int k = 0; k < p; ++k) x[k] = c.xt[k];
            outcome = formJacobian(c);
            if (outcome == OUT_CANCEL) { v[V_F] = trial.f; c.f = trial.f; return leave(SOLVER_STOPPED); }
            if (outcome == OUT_FAILED) {
                // no Jacobian at the new point: treat it like an uncomputable trial
                jacobianFailures += 1;
                for (int k = 0; k < p; ++k) x[k] = c.x0[k];
                c.ngcall += 1;
                outcome = evaluate(c, x, c.r0);
                if (outcome == OUT_CANCEL) return leave(SOLVER_STOPPED);
                if (outcome == OUT_OK) outcome = formJacobian(c);
                if (outcome == OUT_CANCEL) return leave(SOLVER_STOPPED);
                if (outcome == OUT_FAILED || jacobianFailures >= JACOBIAN_FAILURE_LIMIT ||
                    trial.reldx <= v[V_XFTOL]) {
                    code = SOLVER_JACOBIAN_FAILED;
                    break;
                }
                factorJacobian(c, false);
                delta = v[V_DECFAC] * trial.step.dstnrm;
                best.saved = false;
                best.f = f0;
                stage = STAGE_LIMIT;
                radinc = -1;
                origin = ORIGIN_RECOMPUTE;
                continue;
            }
            jacobianFailures = 0;
            c.f = trial.f;
            factorJacobian(c, false);
            if (gradientTest && gradientTestPasses(c, gts)) radfac = v[V_INCFAC];
            updateSecant(c, c.s);
            for (int k = 0; k < p; ++k) c.sBest[k] = c.s[k];
            moved = true;
            iv[IV_MODEL] = trial.model;
            break;
        }
    }

    if (code == SOLVER_EVAL_LIMIT && best.saved && best.f < c.f) {
        // the best trial of the unfinished iteration is the point to return
        for (int k = 0; k < p; ++k) x[k] = c.x0[k] + c.sBest[k];
        if (bounds != nullptr)
            for (int k = 0; k < p; ++k) {
                double lower = bounds[2 * k], upper = bounds[2 * k + 1];
                x[k] = lower >= upper ? lower : clampToBox(x[k], lower, upper);
            }
        c.f = best.f;
    }
    v[V_F] = c.f;
    progress(c);
    if (bounds == nullptr && iv[IV_COV_REQUEST] < 0 && code >= SOLVER_X_CONVERGED &&
        code <= SOLVER_ABSOLUTE_CONVERGED && iv[IV_COVARIANCE] == 0)
        finishCovariance(c);
    leave(code);
}
