// Iteration of the adaptive nonlinear least-squares solver (Dennis, Gay and Welsch):
// forward-difference Jacobian, adaptive scaling, QR of J, the choice between the
// Gauss-Newton model (J^T J) and the augmented model (J^T J + S), the assessment of each
// trial step with its radius decisions, the secant update of S, the convergence tests
// (false convergence checked again on a central-difference model), and the simple bounds
// (free/held variables, projected steps).
//
// Notation: f = 0.5 ||r||^2, g = J^T r, D = diag(d); fdif = f0 - f(trial) the actual and
// pred the predicted reduction; gts = g^T s; RELDX = max d_i |x_i - x0_i| /
// max d_i (|x_i| + |x0_i|).
#include "solver/solvercore.h"
#include "solver/solvercorestate.h"
#include "solver/solverint.h"

#include <cmath>
#include <cfloat>

// A point computed as from + step that lands within rounding of the bound it moves towards
// lies on it. The sum (and a step formed as a fraction of another to reach the bound) is
// off by at most a few units in the last place of the larger of |from| and |bound|, so
// that is the margin: it follows the scale of the parameter, and a point a real step short
// of the bound is never moved. A parameter whose step was meant to stop at the bound
// therefore holds the bound's own value, and the held test (x <= lower) sees it there.
constexpr double BOUND_ROUNDING_UNITS = 4.0;

double solverBoxPoint(double from, double value, double lower, double upper)
{
    if (lower >= upper) return lower;
    if (value <= lower) return lower;
    if (value >= upper) return upper;
    if (value < from && std::isfinite(lower) &&
        value - lower <= BOUND_ROUNDING_UNITS * DBL_EPSILON * (std::fabs(from) + std::fabs(lower)))
        return lower;
    if (value > from && std::isfinite(upper) &&
        upper - value <= BOUND_ROUNDING_UNITS * DBL_EPSILON * (std::fabs(from) + std::fabs(upper)))
        return upper;
    return value;
}


namespace {

constexpr int MODEL_GAUSS_NEWTON = 1;
constexpr int MODEL_AUGMENTED = 2;
constexpr int STAGE_LIMIT = 2;              // models tried per iteration
constexpr int JACOBIAN_FAILURE_LIMIT = 20;  // consecutive rejected points for want of a Jacobian

struct Trial {
    StepResult step;                // step figures of the model
    double f;                       // f at the trial point (f0 when not evaluated)
    double reldx;                   // relative change of x
    double reldxNow;                // the same measured with the scale of the last Jacobian alone
    int model;                      // model that produced it
};

// Margin of the bound largest * sqrt(n) on ||r||: the computed norm exceeds the bound by
// rounding only, some n units in the last place at most.
constexpr double NORM_BOUND_MARGIN = 1.001;

}  // namespace

// Residuals at xx into r through routine with context. A failed, non-finite or huge
// residual vector is "cannot compute"; a negative nf from the routine is Cancel. The
// finite test and the largest |r_i| share one sweep; the norm itself is formed only when
// largest * sqrt(n) could exceed V(46). *largest (may be null) receives max |r_i|.
int evaluateWith(const Core& c, SolverResiduals routine, void* context, const double* xx, double* r,
                 double* largest)
{
    int nf = c.nfcall + c.ngcall;
    if (!c.callbacks->writesEveryResidual)
        for (int i = 0; i < c.n; ++i) r[i] = NAN;
    routine(c.n, c.p, xx, &nf, r, context);
    if (nf < 0) return OUT_CANCEL;
    if (nf == 0) return OUT_FAILED;
    bool finite = true;
    double big = linalgMaxAbsFinite(c.n, r, &finite);
    if (!finite) return OUT_FAILED;
    double bound = big * std::sqrt((double)c.n) * NORM_BOUND_MARGIN;
    if (!(bound <= c.v[V_RLIMIT]) && linalgNormWithMax(c.n, r, big) > c.v[V_RLIMIT]) return OUT_FAILED;
    if (largest != nullptr) *largest = big;
    return OUT_OK;
}

int evaluate(Core& c, const double* xx, double* r, double* largest)
{
    return evaluateWith(c, c.callbacks->residuals, c.callbacks->context, xx, r, largest);
}

// Units. The constants of the algorithm take the residuals and the parameters to be of
// order one: d starts at 1, the first radius is V(35) / (1 + V(21)), columns below V(39)
// count as zero, and the difference step has the floor 1 / d_k. For observations of
// 1e-15 or 1e15, or parameters of 1e-13 or 1e14, each of these misleads the solve (a
// first step that cannot change f, every column "zero", a difference step 1e5 times the
// parameter, a parameter confined to steps of order one). So each is bounded by the
// problem's own units where those are further from one: rScale for the residuals, vScale
// for the values they are differences of, |x_k| for parameter k. For a problem of
// ordinary size the bounds do not bind and the algorithm is the published one.
//
// unitScale: the d_k of a parameter that moves the residuals by rScale when it changes by
// its own size.
double unitScale(const Core& c, int k)
{
    return c.rScale / (c.x[k] != 0.0 ? std::fabs(c.x[k]) : 1.0);
}

namespace {

// Smallest first radius as a fraction of ||D x||: the first step must be able to change
// the parameters by clearly more than the relative step of false convergence, V(34), or
// a fit to observations of 1e15 ends there at once.
constexpr double FIRST_RADIUS_FRACTION = 1.4901161193847656e-8;   // sqrt(MACHEP)
// Units in the last place of an observation's size that its residual may carry at an
// exact fit: the rounding of the model's terms and of the observation itself.
constexpr double ROUNDING_UNITS = 16.0;
// Largest relative step from the last Jacobian's point at which the absolute test
// trusts the size of the values measured there.
constexpr double ABSOLUTE_STEP = 1e-3;

// 0.5 ||r||^2, with largest = max |r_i| from the evaluation.
double halfSquares(int n, const double* r, double largest)
{
    double norm = linalgNormWithMax(n, r, largest);
    return 0.5 * norm * norm;
}

// Scale update after each forward-difference Jacobian: running column maximum (the
// maxima come from the columns' formation), raised by sqrt(S_ii), values below V(39)
// replaced by V(40), and d may shrink by at most the factor V(41). V(39) and V(40) are
// taken in units of unitScale where that is below 1 (see Units): with observations near
// 1e-15 every column would be "zero" otherwise.
void updateScale(Core& c, bool first)
{
    int type = c.iv[IV_SCALE_TYPE];
    if (type == 0 || (type == 2 && !first)) return;
    for (int k = 0; k < c.p; ++k) {
        c.colMax[k] = std::fmax(c.colMax[k], c.colLast[k]);
        double t = c.colMax[k];
        double sii = c.smat[packedIndex(k, k)];
        if (sii > 0.0) t = std::fmax(t, std::sqrt(sii));
        double unit = std::fmin(1.0, unitScale(c, k));
        if (t < c.v[V_DTINIT] * unit) t = std::fmax(c.v[V_D0INIT], c.v[V_DTINIT]) * unit;
        c.d[k] = std::fmax(c.v[V_DFAC] * c.d[k], t);
    }
    c.scaled = true;
}

void swapColumns(Core& c, int a, int b)
{
    if (a == b) return;
    double* ca = c.jac + (long)a * c.n;
    double* cb = c.jac + (long)b * c.n;
    for (int i = 0; i < c.n; ++i) { double t = ca[i]; ca[i] = cb[i]; cb[i] = t; }
}

// fNoise from the Jacobian in natural order (c.rt is free here: it takes r0 below).
// The value of observation i is made of the terms J_ik x_k; rounding moves it by a few
// units in the last place of their sum, so a sum of squares below fNoise is zero to the
// precision the problem can be computed in. The bound is a few units in the last place
// even of the largest observation, so that it cannot hide a misfit of a small one of
// more than about 1e-9 of the largest.
void roundingSize(Core& c)
{
    double* size = c.rt;
    for (int i = 0; i < c.n; ++i) size[i] = 0.0;
    for (int k = 0; k < c.p; ++k) {
        const double* column = c.jac + (long)k * c.n;
        double xk = std::fabs(c.x[k]);
        for (int i = 0; i < c.n; ++i) size[i] += std::fabs(column[i]) * xk;
    }
    double noise = 0.0;
    for (int i = 0; i < c.n; ++i) {
        double t = ROUNDING_UNITS * DBL_EPSILON * size[i];
        noise += 0.5 * t * t;
    }
    c.fNoise = noise;
}

// After a new Jacobian at x (residuals r0): scale (unless rescale is false), free/held
// split (bounded), column permutation, QR with Q^T r in the same sweeps, qtr, gradient.
void factorJacobian(Core& c, bool first, bool rescale = true)
{
    if (rescale) updateScale(c, first);
    int p = c.p;
    roundingSize(c);
    // gradient in natural order, needed only for the held test of the bounds
    if (c.bounds != nullptr) linalgColumnDots(c.n, p, c.jac, c.r0, c.g);
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
    for (int i = 0; i < c.n; ++i) c.rt[i] = c.r0[i];
    linalgQrApply(c.n, p, c.jac, c.beta, c.rt, c.callbacks->cancel);
    for (int k = 0; k < p; ++k) c.qtr[k] = c.rt[k];
    linalgRtMul(p, c.jac, c.n, c.qtr, c.gp);
    // ||J_k|| = ||R_k||: Q is orthogonal
    c.fModel = 0.0;
    for (int k = 0; k < p; ++k) {
        double term = linalgNorm(k + 1, c.jac + (long)k * c.n) * c.x[c.perm[k]];
        c.fModel += 0.5 * term * term;
    }
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
            double clipped = solverBoxPoint(c.x0[k], value, lower, upper);
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
                    c.xt[k] = solverBoxPoint(c.x0[k], c.x0[k] + c.s[k], lower, upper);
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
    double num = 0.0, den = 0.0, numNow = 0.0, denNow = 0.0;
    for (int k = 0; k < p; ++k) {
        double change = std::fabs(c.xt[k] - c.x0[k]), size = std::fabs(c.xt[k]) + std::fabs(c.x0[k]);
        double now = c.colLast[k] > 0.0 ? c.colLast[k] : c.d[k];
        num = std::fmax(num, c.d[k] * change);
        den = std::fmax(den, c.d[k] * size);
        numNow = std::fmax(numNow, now * change);
        denNow = std::fmax(denNow, now * size);
    }
    trial.reldx = den > 0.0 ? num / den : 0.0;
    trial.reldxNow = denNow > 0.0 ? numNow / denNow : 0.0;
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

// Absolute function convergence: f = 0, or f is zero to the precision of the problem:
// below fNoise (see roundingSize) and below V(31) fScale, for a trial so near the last
// Jacobian's point that fNoise, measured there, holds for it. fScale is the smaller of f
// at the start point and fModel, half the sum of the squared terms J_k x_k that the model
// is made of. Both bounds follow the units of the observations (a fixed bound on f would
// end a fit of values near 1e-12 at its start). V(31) fScale alone is not enough: a far
// start loosens it, and one large observation loosens it for all (residuals 1e6, 2e-6
// and 2 allowed a misfit of 3e-5 in the last), so that fits stopped with five digits of a
// zero-residual problem, or at a wrong answer on data near 1e-12.
bool absoluteConvergence(const Core& c, double f, const Trial& trial)
{
    if (f == 0.0) return true;
    const bool near = trial.reldx <= ABSOLUTE_STEP && trial.reldxNow <= ABSOLUTE_STEP;
    return near && std::fabs(f) < c.v[V_AFCTOL] * std::fmin(c.fStart, c.fModel) && std::fabs(f) <= c.fNoise;
}

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

// X-convergence: the step was the model's full Newton step and RELDX <= V(33), measured
// with d and with the column scale of the last Jacobian alone. d keeps the largest
// column seen, so after a start where the model was 1e21 times too large it still
// weighs every later step against that start: with y = a exp(b x) from b = 1 where 0.1
// fits, the steps in a near a = 1e-14 looked negligible and a point with a sum of
// squares 1e10 times that of a = 0 passed as parameter convergence.
bool xConvergence(const Core& c, const Trial& trial, bool goodx)
{
    return trial.step.alpha == 0.0 && trial.reldx <= c.v[V_XCTOL] && trial.reldxNow <= c.v[V_XCTOL] && goodx;
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
    if (absoluteConvergence(c, fBest, trial)) code = SOLVER_ABSOLUTE_CONVERGED;
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
                          &c.s, &c.sp, &c.sBest, &c.xt, &c.yOld, &c.hs, &c.t1, &c.t2, &c.colLast,
                          &c.helperTrial, &c.changes};
    for (double** vec : vectors) { *vec = next; next += p; }
    c.r0 = next; next += n;
    c.rt = next;
    c.perm = c.iv + IV_WORK_START;
    c.where = c.perm + p;
    c.outcomes = c.where + p;
}

}  // namespace

long coreRealsNeeded(int n, int p)
{
    long tri = (long)p * (p + 1) / 2;
    return V_WORK_START + (long)n * p + 2 * tri + stepWorkLength(p) + 20L * p + 2L * n;
}


namespace {

// How the trial in hand came about.
enum TrialOrigin {
    ORIGIN_FIRST,       // first step of the iteration
    ORIGIN_SWITCH,      // other model at the same radius
    ORIGIN_SHRINK,      // same model, radius shrunk after a trivial first trial
    ORIGIN_RECOMPUTE,   // same model, radius changed after an assessed or uncomputable trial
};

// What the assessment of a trial decides.
enum Assessment {
    ASSESS_SWITCH_OR_SHRINK,    // trivial decrease: the other model at the same radius, else a smaller radius
    ASSESS_SWITCH_OR_ACCEPT,    // poor decrease: the other model at the same radius, else accept
    ASSESS_ACCEPT_GOOD,         // good decrease: accept; the gradient tests may double the radius
    ASSESS_ACCEPT,              // accept with the radius factor found
    ASSESS_RECOMPUTE,           // the same model again at radius radfac * ||D s||
    ASSESS_TAKE_BEST,           // accept the recalled best trial as it stands; the model stays
    ASSESS_FINISH,              // the solve ends with Iteration::code
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

// One iteration: the trials made from x0 until one is accepted.
struct Iteration {
    double f0;          // f at x0
    int model;          // model of the trial in hand
    int stage;          // models tried (a switch adds one); at STAGE_LIMIT no more switches
    int radinc;         // radius increases minus decreases so far
    bool goodx;         // X-convergence may be credited
    bool restored;      // the trial in hand is the recalled best one (its residuals are in r0)
    TrialOrigin origin; // how the trial in hand came about
    StepState snapshot; // step state when the current model began, restored on switching back
    Best best;          // best trial so far
    int code;           // return code once the assessment ends the solve
};

// How the evaluation of a trial point went.
enum TrialStatus {
    TRIAL_EVALUATED,    // f known (f0 for a zero step)
    TRIAL_UNCOMPUTABLE, // the residual routine refused the point
    TRIAL_NOT_WORTH,    // an enlarged step promising little more than the saved one: not evaluated
    TRIAL_CANCELLED,    // Cancel
};

constexpr int ITERATION_RETRY = -1;     // acceptTrial: the iteration goes on from x0

int otherModel(int model) { return model == MODEL_GAUSS_NEWTON ? MODEL_AUGMENTED : MODEL_GAUSS_NEWTON; }

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
            c.xt[k] = solverBoxPoint(c.x0[k], c.xt[k], lower, upper);
        }
    }
}

// Quantities of the old factor needed after the move to the new point: yOld = J^T r(new)
// (r(new) in r0, and already in rt when rtHoldsR0) and hs = (J^T J + [S]) s for the
// gradient test.
void beforeNewJacobian(Core& c, int model, bool rtHoldsR0)
{
    normalProduct(c, c.s, c.hs);
    if (model == MODEL_AUGMENTED) {
        linalgSymMul(c.p, c.smat, c.s, c.t1);
        for (int k = 0; k < c.p; ++k) c.hs[k] += c.t1[k];
    }
    if (!rtHoldsR0)
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

// False convergence means that the trials kept failing although the model promised
// progress. Near the minimum of a badly conditioned fit the promise can come from the
// rounding of the forward differences alone: with residuals of 1e-6 computed from values
// near 1, each difference column carries errors near 1e-8, the model's Newton step then
// predicts a reduction of about 2e-9 f that is not there, and no trial can meet the
// relative test of V(32) = 1e-10 f. So before false convergence is reported at x, the
// model there is rebuilt from central differences (errors near 1e-11) and tested again:
// a Newton reduction of at most V(32) |f| is relative function convergence, a reduction
// of at most V(37) |f| for a step of the singular length is singular convergence, and
// otherwise the failure stands. The scale d is left as it was. Returns the code, or
// SOLVER_STOPPED.
int confirmFalseConvergence(Core& c)
{
    int outcome = formCentralJacobian(c);
    if (outcome == OUT_CANCEL) return SOLVER_STOPPED;
    if (outcome == OUT_FAILED) return SOLVER_FALSE_CONVERGED;
    factorJacobian(c, false, false);
    c.v[V_F0] = c.f;
    StepState fresh{0.0, 0.0};
    StepResult step;
    modelStep(c, MODEL_GAUSS_NEWTON, singularLength(c), fresh, c.t2, step);
    if (step.dst0 >= 0.0 && relativeConvergence(c, step)) return SOLVER_RELATIVE_CONVERGED;
    if (step.pred <= c.v[V_SCTOL] * std::fabs(c.f)) return SOLVER_SINGULAR_CONVERGED;
    return SOLVER_FALSE_CONVERGED;
}

bool wantsCovariance(const Core& c, int code)
{
    return c.bounds == nullptr && c.iv[IV_COV_REQUEST] < 0 && code >= SOLVER_X_CONVERGED &&
           code <= SOLVER_ABSOLUTE_CONVERGED;
}

// Top of an iteration: summary, iteration limit, the radius from the accepted step (a
// radius factor of 1 or more never shrinks it) and a fresh iteration record. Returns
// SOLVER_ITER_LIMIT or 0.
int beginIteration(Core& c, Iteration& it)
{
    c.v[V_F] = c.f;
    progress(c);
    if (c.iv[IV_NITER] >= c.iv[IV_ITER_LIMIT]) return SOLVER_ITER_LIMIT;
    c.iv[IV_NITER] += 1;
    if (c.moved) {
        for (int k = 0; k < c.p; ++k) c.t1[k] = c.d[k] * c.sBest[k];
        double t = c.radfac * linalgNorm(c.p, c.t1);
        c.delta = c.radfac < 1.0 ? t : std::fmax(c.delta, t);
    }
    for (int k = 0; k < c.p; ++k) { c.x0[k] = c.x[k]; c.gOld[k] = c.g[k]; }
    it.f0 = c.f;
    c.v[V_F0] = it.f0;
    it.model = c.nextModel;
    it.stage = 1;
    it.radinc = 0;
    it.best.saved = false;
    it.best.f = it.f0;
    it.best.model = it.model;
    it.snapshot = c.stepState;
    it.goodx = true;
    it.origin = ORIGIN_FIRST;
    it.code = 0;
    return 0;
}

// f at the trial point. An enlarged recomputation whose predicted reduction beats the
// saved trial's actual one by less than 20% is not evaluated.
TrialStatus evaluateTrial(Core& c, const Iteration& it, Trial& trial)
{
    if (it.origin == ORIGIN_RECOMPUTE && it.radinc > 0 && it.best.saved &&
        trial.step.pred <= 1.2 * (it.f0 - it.best.f))
        return TRIAL_NOT_WORTH;
    trial.f = it.f0;
    if (trial.step.dstnrm == 0.0) return TRIAL_EVALUATED;
    c.nfcall += 1;
    double largest = 0.0;
    int outcome = evaluate(c, c.xt, c.rt, &largest);
    if (outcome == OUT_CANCEL) return TRIAL_CANCELLED;
    if (outcome == OUT_FAILED) return TRIAL_UNCOMPUTABLE;
    trial.f = halfSquares(c.n, c.rt, largest);
    return TRIAL_EVALUATED;
}

// Recall the saved best trial to be accepted as it stands.
Assessment takeBest(Core& c, Iteration& it, Trial& trial, double radfac)
{
    recallBest(c, it.best, trial);
    it.restored = true;
    c.radfac = radfac;
    return ASSESS_TAKE_BEST;
}

// An uncomputable trial: the same model again with the step halved; no convergence test.
// After an enlargement the saved trial is taken at its radius instead. Once the halved
// step is negligible the best trial of the iteration is taken, or, without one, the solve
// ends with false convergence.
Assessment assessUncomputable(Core& c, Iteration& it, Trial& trial)
{
    if (it.radinc > 0 && it.best.saved) {
        c.delta = it.best.radius;
        return takeBest(c, it, trial, 1.0);
    }
    it.radinc -= 1;
    c.radfac = c.v[V_DECFAC];
    bool negligible = trial.reldx <= c.v[V_XFTOL] || !(c.radfac * trial.step.dstnrm > 0.0);
    if (!negligible) return ASSESS_RECOMPUTE;
    if (it.best.saved && it.best.f < it.f0) return takeBest(c, it, trial, 0.5);
    it.code = SOLVER_FALSE_CONVERGED;
    return ASSESS_FINISH;
}

// A recomputed trial (other model, or the same model at another radius) that does not
// beat the best trial of the iteration: the model reverts to the best trial's, and when
// that trial reduced f it is recalled. Returns true when it is to be accepted at once:
// both models have been tried, the model did not just revert, and enough evaluations
// have been spent since the best trial.
bool loserRecallsBest(Core& c, Iteration& it, Trial& trial)
{
    if (it.origin == ORIGIN_FIRST || it.origin == ORIGIN_SHRINK || trial.f < it.best.f) return false;
    bool switchedBack = false;
    if (trial.model != it.best.model) {
        it.model = it.best.model;
        c.stepState = it.snapshot;
        switchedBack = true;
    }
    if (!(it.best.saved && it.best.f < it.f0)) return false;
    double rfac1 = switchedBack ? 1.0 : trial.step.dstnrm / it.best.trial.step.dstnrm;
    bool early = !(it.stage < STAGE_LIMIT || c.nfcall - it.best.evaluation < STAGE_LIMIT + 2 || switchedBack);
    // an enlarged radius that did not pay goes back to the saved step's radius
    if (it.radinc > 0) c.delta = it.best.radius;
    recallBest(c, it.best, trial);
    it.restored = true;
    it.goodx = false;
    if (early) c.radfac = rfac1;
    return early;
}

// A very good step (fdif >= 0.75 (-gts)): the radius factor grows up to V(25). The step is
// recomputed at the larger radius unless it was the model's Newton step or that step lies
// within twice its length or predicts little more than was gained; the trial is then saved.
Assessment enlargeRadius(Core& c, Iteration& it, const Trial& trial, double fdif)
{
    double gts = trial.step.gts;
    c.radfac = c.v[V_RDFCMX];
    if (fdif < (0.5 / c.v[V_RDFCMX] - 1.0) * gts) c.radfac = std::fmax(c.v[V_INCFAC], 0.5 * gts / (gts + fdif));
    double dst0 = trial.step.dst0;
    if (trial.step.alpha == 0.0 ||
        (dst0 >= 0.0 && (dst0 < 2.0 * trial.step.dstnrm || trial.step.nreduc < 1.2 * fdif)))
        return ASSESS_ACCEPT;
    it.radinc += 1;
    saveBest(c, it.best, trial, true);
    return ASSESS_RECOMPUTE;
}

// Classify the actual reduction fdif = f0 - f against the predicted one: trivial
// (<= V(27) pred), poor (<= V(26) pred), good, or very good. Sets the radius factor; a
// trivial or poor trial with RELDX <= V(34) raises *falseFlag.
Assessment classifyDecrease(Core& c, Iteration& it, Trial& trial, bool* falseFlag)
{
    double fdif = it.f0 - trial.f, pred = trial.step.pred, gts = trial.step.gts;
    Best& best = it.best;
    *falseFlag = false;
    Assessment verdict;
    if (fdif <= c.v[V_TUNER2] * pred && it.radinc <= 0) {
        // trivial: remember a losing first model for the switch-back
        if (trial.f >= it.f0 && !(best.saved && best.f < it.f0)) {
            best.model = trial.model;
            best.f = trial.f;
        }
        verdict = ASSESS_SWITCH_OR_SHRINK;
        if (it.stage >= STAGE_LIMIT) {
            verdict = ASSESS_RECOMPUTE;
            it.radinc -= 1;
        }
    } else if (fdif <= c.v[V_TUNER1] * pred) {
        verdict = it.stage < STAGE_LIMIT ? ASSESS_SWITCH_OR_ACCEPT : ASSESS_ACCEPT;
    } else if (fdif < c.v[V_TUNER3] * (-gts) || it.radinc < 0 || it.restored) {
        c.radfac = 1.0;
        return ASSESS_ACCEPT_GOOD;
    } else {
        return enlargeRadius(c, it, trial, fdif);
    }
    // trivial or poor: shrink by the quadratic interpolation factor
    c.radfac = decreaseFactor(c, gts, fdif);
    if (trial.reldx <= c.v[V_XFTOL]) *falseFlag = true;
    else if (trial.f < it.f0 && !it.restored && trial.f < best.f) saveBest(c, best, trial, true);
    return verdict;
}

// Convergence tests on the assessed trial. When one fires (returns true, code in it.code)
// the solve ends at the trial if it reduced f, else at the iteration's best trial if that
// did (recalled here), else at x0.
bool convergenceEnds(Core& c, Iteration& it, Trial& trial, bool falseFlag)
{
    double fNow = std::fmin(trial.f, it.f0);
    it.code = convergenceTest(c, trial, fNow, falseFlag, it.goodx, c.stepState);
    if (it.code == 0) return false;
    if (!(trial.f < it.f0) && it.best.saved && it.best.f < it.f0) {
        recallBest(c, it.best, trial);
        it.restored = true;
    }
    return true;
}

// Assessment of an evaluated trial: comparison with the best trial, the class of the
// decrease, and the convergence tests.
Assessment assessTrial(Core& c, Iteration& it, Trial& trial)
{
    if (loserRecallsBest(c, it, trial)) return ASSESS_TAKE_BEST;
    bool falseFlag = false;
    Assessment verdict = classifyDecrease(c, it, trial, &falseFlag);
    if (convergenceEnds(c, it, trial, falseFlag)) return ASSESS_FINISH;
    return verdict;
}

// After a trivial or poor first trial: the other model at the same radius when the
// switch test favours it (returns true). The trial is kept as the best one when it
// reduced f, or recorded as the losing first model.
bool switchToOtherModel(Core& c, Iteration& it, const Trial& trial, Assessment verdict)
{
    if (!switchModel(c, trial, c.s)) return false;
    it.snapshot = c.stepState;
    Best& best = it.best;
    if (verdict == ASSESS_SWITCH_OR_SHRINK && trial.f >= it.f0 && !(best.saved && best.f < it.f0)) {
        best.model = trial.model;
        best.f = trial.f;
    } else if (!(best.saved && trial.f >= best.f) && trial.f < it.f0) {
        saveBest(c, best, trial, !it.restored);
    }
    it.model = otherModel(it.model);
    it.stage += 1;
    it.origin = ORIGIN_SWITCH;
    return true;
}

// The solve ends at the trial point: its point and f, and for the covariance the
// Jacobian there (no secant update). Returns the code, or SOLVER_STOPPED.
int finishAtTrial(Core& c, const Iteration& it, const Trial& trial)
{
    if (!it.restored)
        for (int i = 0; i < c.n; ++i) c.r0[i] = c.rt[i];
    for (int k = 0; k < c.p; ++k) c.x[k] = c.xt[k];
    c.f = trial.f;
    if (wantsCovariance(c, it.code)) {
        int outcome = formJacobian(c);
        if (outcome == OUT_CANCEL) return SOLVER_STOPPED;
        if (outcome == OUT_FAILED) c.iv[IV_COVARIANCE] = -2;
        else factorJacobian(c, false);
    }
    return it.code;
}

// No Jacobian at the accepted point: back to x0 (its residuals and Jacobian again) and
// the same model with the step halved, as after an uncomputable trial. Gives up with
// code 15 when x0 has no Jacobian either, after JACOBIAN_FAILURE_LIMIT such points in a
// row, or when the step was negligible.
int recoverFromFailedJacobian(Core& c, Iteration& it, const Trial& trial)
{
    c.jacobianFailures += 1;
    for (int k = 0; k < c.p; ++k) c.x[k] = c.x0[k];
    c.ngcall += 1;
    int outcome = evaluate(c, c.x, c.r0);
    if (outcome == OUT_OK) outcome = formJacobian(c);
    if (outcome == OUT_CANCEL) return SOLVER_STOPPED;
    if (outcome == OUT_FAILED || c.jacobianFailures >= JACOBIAN_FAILURE_LIMIT || trial.reldx <= c.v[V_XFTOL])
        return SOLVER_JACOBIAN_FAILED;
    factorJacobian(c, false);
    c.delta = c.v[V_DECFAC] * trial.step.dstnrm;
    it.best.saved = false;
    it.best.f = it.f0;
    it.stage = STAGE_LIMIT;
    it.radinc = -1;
    it.origin = ORIGIN_RECOMPUTE;
    return ITERATION_RETRY;
}

// Accept the trial: the new Jacobian, scale and factor at the trial point, the gradient
// tests after a good step, and the secant update. Returns 0, SOLVER_STOPPED,
// SOLVER_JACOBIAN_FAILED, or ITERATION_RETRY (see recoverFromFailedJacobian).
int acceptTrial(Core& c, Iteration& it, const Trial& trial, bool gradientTest)
{
    if (!it.restored)
        for (int i = 0; i < c.n; ++i) c.r0[i] = c.rt[i];
    beforeNewJacobian(c, trial.model, !it.restored);
    for (int k = 0; k < c.p; ++k) c.x[k] = c.xt[k];
    int outcome = formJacobian(c);
    if (outcome == OUT_CANCEL) {
        c.f = trial.f;
        return SOLVER_STOPPED;
    }
    if (outcome == OUT_FAILED) return recoverFromFailedJacobian(c, it, trial);
    c.jacobianFailures = 0;
    c.f = trial.f;
    factorJacobian(c, false);
    if (gradientTest && gradientTestPasses(c, trial.step.gts)) c.radfac = c.v[V_INCFAC];
    updateSecant(c, c.s);
    for (int k = 0; k < c.p; ++k) c.sBest[k] = c.s[k];
    c.moved = true;
    c.iv[IV_MODEL] = trial.model;
    return 0;
}

// Evaluation limit: the solve ends at the best trial of the unfinished iteration when
// that improved on x0.
int stopAtEvaluationLimit(Core& c, const Iteration& it)
{
    if (it.best.saved && it.best.f < c.f) {
        for (int k = 0; k < c.p; ++k) {
            c.x[k] = c.x0[k] + c.sBest[k];
            if (c.bounds != nullptr) {
                double lower = c.bounds[2 * k], upper = c.bounds[2 * k + 1];
                c.x[k] = solverBoxPoint(c.x0[k], c.x[k], lower, upper);
            }
        }
        c.f = it.best.f;
    }
    return SOLVER_EVAL_LIMIT;
}

// Trials of one iteration until one is accepted (returns 0) or the solve ends (returns
// its code; SOLVER_STOPPED for Cancel).
int runIteration(Core& c, Iteration& it, Trial& trial)
{
    for (;;) {
        if (c.nfcall >= c.iv[IV_EVAL_LIMIT]) return stopAtEvaluationLimit(c, it);
        makeTrial(c, it.model, c.delta, c.stepState, trial);
        c.v[V_RADIUS] = c.delta;
        c.v[V_DSTNRM] = trial.step.dstnrm;
        c.v[V_RELDX] = trial.reldx;
        it.restored = false;

        Assessment verdict = ASSESS_FINISH;
        switch (evaluateTrial(c, it, trial)) {
        case TRIAL_CANCELLED: return SOLVER_STOPPED;
        case TRIAL_NOT_WORTH:
            c.delta = it.best.radius;
            verdict = takeBest(c, it, trial, 1.0);
            break;
        case TRIAL_UNCOMPUTABLE: verdict = assessUncomputable(c, it, trial); break;
        case TRIAL_EVALUATED: verdict = assessTrial(c, it, trial); break;
        }

        if (verdict == ASSESS_FINISH) return trial.f < it.f0 ? finishAtTrial(c, it, trial) : it.code;
        if (verdict == ASSESS_SWITCH_OR_SHRINK || verdict == ASSESS_SWITCH_OR_ACCEPT) {
            if (switchToOtherModel(c, it, trial, verdict)) continue;
            if (verdict == ASSESS_SWITCH_OR_SHRINK) {
                c.delta = c.radfac * trial.step.dstnrm;
                it.stage = STAGE_LIMIT;
                it.radinc = -1;
                it.origin = ORIGIN_SHRINK;
                continue;
            }
            verdict = ASSESS_ACCEPT;
        }
        if (verdict == ASSESS_RECOMPUTE) {
            c.delta = c.radfac * trial.step.dstnrm;
            it.origin = ORIGIN_RECOMPUTE;
            continue;
        }
        if (verdict == ASSESS_TAKE_BEST) c.nextModel = it.model;
        else c.nextModel = switchModel(c, trial, c.s) ? otherModel(trial.model) : trial.model;
        int code = acceptTrial(c, it, trial, verdict == ASSESS_ACCEPT_GOOD);
        if (code != ITERATION_RETRY) return code;
    }
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
    // the small arrays start at zero; the Jacobian and the residual vectors are always
    // written before they are read
    for (double* at = c.jac + (long)n * p; at < c.r0; ++at) *at = 0.0;
    c.nfcall = 1;
    c.ngcall = 0;
    auto leave = [&](int code) {
        iv[IV_RETURN_CODE] = code;
        iv[IV_NFCALL] = c.nfcall;
        iv[IV_NGCALL] = c.ngcall;
    };

    // start point and first Jacobian
    double largest = 0.0;
    int outcome = evaluate(c, x, c.r0, &largest);
    if (outcome == OUT_CANCEL) return leave(SOLVER_STOPPED);
    if (outcome == OUT_FAILED) return leave(SOLVER_BAD_START);
    c.f = halfSquares(n, c.r0, largest);
    c.fStart = c.f;
    c.rScale = c.f > 0.0 ? std::sqrt(2.0 * c.f) : 1.0;
    c.scaled = false;
    c.vScale = 1.0;
    // d starts at 1, or lower for a parameter more than 1 / V(39) times the size of the
    // residuals (unitScale below V(39)): a start of 1 would hold its d near 0.6 through
    // many Jacobians and confine it to steps of order one
    for (int k = 0; k < p; ++k) c.d[k] = v[V_DINIT] > 0.0 ? v[V_DINIT] : std::fmin(1.0, unitScale(c, k) / v[V_DTINIT]);
    v[V_F] = c.f;
    outcome = formJacobian(c);
    if (outcome == OUT_CANCEL) return leave(SOLVER_STOPPED);
    if (outcome == OUT_FAILED) return leave(SOLVER_JACOBIAN_FAILED);
    factorJacobian(c, true);
    c.vScale = (c.rScale + std::sqrt(2.0 * c.fModel)) / std::sqrt((double)n);

    // V(35) / (1 + V(21)), at least that fraction of ||D x||
    for (int k = 0; k < p; ++k) c.t1[k] = c.d[k] * x[k];
    c.delta = v[V_LMAX0] / (1.0 + v[V_PHMXFC]) * std::fmax(1.0, FIRST_RADIUS_FRACTION * linalgNorm(p, c.t1));
    c.radfac = 1.0;
    c.stepState = StepState{0.0, 0.0};
    c.nextModel = MODEL_GAUSS_NEWTON;
    c.moved = false;
    c.jacobianFailures = 0;
    iv[IV_NITER] = 0;
    Trial trial{};
    Iteration it{};
    int code = 0;
    while (code == 0) {
        code = beginIteration(c, it);
        if (code == 0) code = runIteration(c, it, trial);
    }
    if (code == SOLVER_FALSE_CONVERGED) code = confirmFalseConvergence(c);
    v[V_F] = c.f;
    if (code == SOLVER_STOPPED) return leave(code);
    progress(c);
    if (wantsCovariance(c, code) && iv[IV_COVARIANCE] == 0) finishCovariance(c);
    leave(code);
}
