// Trust-region steps of the least-squares solver (Dennis-Gay-Welsch algorithm): the
// Levenberg-Marquardt step of the Gauss-Newton model, solved from the triangular factor
// R of J without forming J^T J (More 1978), and the step of the augmented model
// J^T J + S, solved by Cholesky factorisations of the scaled matrix plus a multiple of I
// (More-Sorensen), including the hard case. Both find alpha >= 0 and the scaled step
// q = D s with (H + alpha D^2) s = -g and accept when -0.1 Delta <= ||q|| - Delta <=
// 0.1 Delta, or at once when the model's Newton step (alpha = 0) lies inside 1.1 Delta.
#include "solver/solverint.h"

#include <cfloat>
#include <cmath>

namespace {

constexpr int LM_ITERATION_LIMIT = 30;
constexpr int GQT_ITERATION_LIMIT = 50;

struct StepVectors {
    double* l;      // packed triangle, m(m+1)/2
    double* w;      // m
    double* q;      // m
    double* z;      // m
    double* v;      // m
    double* t;      // m
};

StepVectors carve(int m, double* work)
{
    StepVectors sv;
    sv.l = work;
    double* next = work + (long)m * (m + 1) / 2;
    sv.w = next; next += m;
    sv.q = next; next += m;
    sv.z = next; next += m;
    sv.v = next; next += m;
    sv.t = next;
    return sv;
}

bool allFinite(int m, const double* x)
{
    for (int i = 0; i < m; ++i)
        if (!std::isfinite(x[i])) return false;
    return true;
}

// Factor [R; sqrt(alpha) D] = Q_a [R_a; 0] by Givens rotations, carrying qtr along.
// The result is stored as the packed lower triangle l = R_a^T; rhs receives the
// rotated first m entries, so that R_a^T rhs = R^T qtr = g.
void factorShifted(const StepInput& in, double alpha, double* l, double* rhs, double* extra)
{
    int m = in.m;
    for (int i = 0; i < m; ++i)
        for (int j = i; j < m; ++j) l[packedIndex(j, i)] = in.r[(long)j * in.lda + i];
    for (int i = 0; i < m; ++i) rhs[i] = in.qtr[i];
    double root = std::sqrt(alpha);
    for (int j = 0; j < m; ++j) {
        for (int k = j; k < m; ++k) extra[k] = 0.0;
        extra[j] = root * in.d[j];
        double eta = 0.0;
        for (int k = j; k < m; ++k) {
            if (extra[k] == 0.0) continue;
            double rkk = l[packedIndex(k, k)];
            double c, s;
            // rotation that zeroes extra[k] against the diagonal, computed without overflow
            if (std::fabs(rkk) < std::fabs(extra[k])) {
                double cot = rkk / extra[k];
                s = 1.0 / std::sqrt(1.0 + cot * cot);
                c = s * cot;
            } else {
                double tn = extra[k] / rkk;
                c = 1.0 / std::sqrt(1.0 + tn * tn);
                s = c * tn;
            }
            for (int col = k; col < m; ++col) {
                double a = l[packedIndex(col, k)], b = extra[col];
                l[packedIndex(col, k)] = c * a + s * b;
                extra[col] = -s * a + c * b;
            }
            double a = rhs[k];
            rhs[k] = c * a + s * eta;
            eta = -s * a + c * eta;
        }
    }
}

double scaledGradientNorm(const StepInput& in, double* t)
{
    for (int i = 0; i < in.m; ++i) t[i] = in.g[i] / in.d[i];
    return linalgNorm(in.m, t);
}

void finishStep(const StepInput& in, const double* q, double* s)
{
    for (int i = 0; i < in.m; ++i) s[i] = q[i] / in.d[i];
}

}  // namespace

int stepWorkLength(int m) { return m * (m + 1) / 2 + 5 * m; }

// Levenberg-Marquardt step of the Gauss-Newton model.
// In: R, qtr, g, d, Delta; state: alpha and radius of the previous step (warm start).
// Out: s (m), out.{dstnrm, gts, pred, nreduc, dst0, alpha}. Work: stepWorkLength(m).
void stepLevenbergMarquardt(const StepInput& in, StepState& state, double* s, StepResult& out, double* work)
{
    int m = in.m;
    StepVectors sv = carve(m, work);
    double delta = in.radius;
    double upperWindow = (1.0 + in.phmx) * delta;
    double lowerWindow = (1.0 + in.phmn) * delta;

    out.nreduc = 0.5 * linalgDot(m, in.qtr, in.qtr);
    out.dst0 = -1.0;
    double lower = 0.0;
    if (m == 0) {
        // nothing free to move: the zero step is the model's Newton step
        out.alpha = 0.0; out.dstnrm = 0.0; out.gts = 0.0; out.pred = 0.0; out.dst0 = 0.0;
        state.alpha = 0.0; state.rad0 = delta;
        return;
    }

    // Gauss-Newton step s_N = -R^-1 qtr, skipped when R has an exactly zero diagonal
    bool newtonDefined = m > 0;
    for (int i = 0; i < m; ++i)
        if (in.r[(long)i * in.lda + i] == 0.0) newtonDefined = false;
    if (newtonDefined) {
        linalgRSolve(m, in.r, in.lda, in.qtr, sv.w);
        for (int i = 0; i < m; ++i) { sv.w[i] = -sv.w[i]; sv.q[i] = in.d[i] * sv.w[i]; }
        if (allFinite(m, sv.q)) {
            double qn = linalgNorm(m, sv.q);
            out.dst0 = qn;
            if (qn <= upperWindow) {
                for (int i = 0; i < m; ++i) s[i] = sv.w[i];
                out.alpha = 0.0;
                out.dstnrm = qn;
                out.gts = std::fmin(linalgDot(m, in.g, s), 0.0);
                out.pred = -0.5 * out.gts;
                state.alpha = 0.0;
                state.rad0 = delta;
                return;
            }
            // lower bound for alpha from one Newton step of the secular equation at 0
            for (int i = 0; i < m; ++i) sv.v[i] = in.d[i] * sv.q[i] / qn;
            linalgRtSolve(m, in.r, in.lda, sv.v, sv.z);
            double zn = linalgNorm(m, sv.z);
            if (std::isfinite(zn) && zn > 0.0) lower = (qn - delta) / (delta * zn * zn);
            if (!std::isfinite(lower)) lower = 0.0;
        } else {
            out.dst0 = -1.0;
        }
    }

    double dgnorm = scaledGradientNorm(in, sv.t);
    double upper = dgnorm / delta;
    if (upper == 0.0 || m == 0) {
        for (int i = 0; i < m; ++i) s[i] = 0.0;
        out.alpha = 0.0; out.dstnrm = 0.0; out.gts = 0.0; out.pred = 0.0;
        state.alpha = 0.0; state.rad0 = delta;
        return;
    }

    double alpha = state.rad0 > 0.0 ? std::fabs(state.alpha) * state.rad0 / delta : 0.0;
    double phiPrev = NAN;
    bool hardFlag = false;
    double qn = 0.0;
    for (int it = 0;; ++it) {
        // safeguard alpha into (lower, upper)
        if (!(alpha > 0.0) || alpha < lower || alpha >= upper)
            alpha = std::fmax(0.001 * upper, std::sqrt(lower * upper));
        factorShifted(in, alpha, sv.l, sv.w, sv.z);
        linalgLtSolve(m, sv.l, sv.w, s);
        for (int i = 0; i < m; ++i) { s[i] = -s[i]; sv.q[i] = in.d[i] * s[i]; }
        qn = linalgNorm(m, sv.q);
        double phi = qn - delta;
        if ((qn >= lowerWindow && qn <= upperWindow) || phi == phiPrev || it >= LM_ITERATION_LIMIT) break;
        if (qn < lowerWindow) {
            // too short: accept when alpha is negligible against the model's reduction
            if (it >= 12) break;
            double twoPsi = alpha * qn * qn - linalgDot(m, in.g, s);
            if (alpha < twoPsi * in.epsilon / ((8.0 * (1.0 + in.phmn) + 3.0) * delta * delta)) {
                hardFlag = true;
                break;
            }
            upper = alpha;
        }
        phiPrev = phi;
        // Hebden-More correction: z = R_a^-T (D q) / ||q||
        for (int i = 0; i < m; ++i) sv.v[i] = in.d[i] * sv.q[i] / qn;
        linalgLSolve(m, sv.l, sv.v, sv.z);
        double zn = linalgNorm(m, sv.z);
        double next = alpha + phi / (delta * zn * zn);
        if (std::isfinite(next)) lower = std::fmax(lower, next);
        alpha = lower;
    }
    out.alpha = alpha;
    out.dstnrm = qn;
    out.gts = std::fmin(linalgDot(m, in.g, s), 0.0);
    out.pred = 0.5 * (alpha * qn * qn - out.gts);
    state.alpha = hardFlag ? -alpha : alpha;
    state.rad0 = delta;
}

// Failing Cholesky at row k (1-based kfail) with pivot t <= 0: the shift that makes the
// leading (k+1) block singular, divided by ||w||^2, w = (-L^-T l_k, 1), estimates how far
// the current shift lies below -lambda_min.
static double choleskyDeficit(int kfail, double pivot, double* l, double* w, double* t)
{
    int k = kfail - 1;
    for (int j = 0; j < k; ++j) t[j] = -l[packedIndex(k, j)];
    linalgLtSolve(k, l, t, w);
    double wn2 = 1.0;
    for (int j = 0; j < k; ++j) wn2 += w[j] * w[j];
    return -pivot / wn2;
}

// Step of the augmented model on the scaled matrix Ht = D^-1 (R^T R + S) D^-1 (packed).
// Same contract as stepLevenbergMarquardt; state.alpha < 0 marks a hard-case step.
void stepAugmented(const StepInput& in, StepState& state, double* s, StepResult& out, double* work)
{
    int m = in.m;
    StepVectors sv = carve(m, work);
    double delta = in.radius;
    double upperWindow = (1.0 + in.phmx) * delta;
    double lowerWindow = (1.0 + in.phmn) * delta;
    double* gt = sv.t;
    double gn = scaledGradientNorm(in, gt);
    out.nreduc = 0.0;
    out.dst0 = 0.0;
    double lower = 0.0;
    double pivot = 0.0;

    // Newton step of the model when Ht is positive definite
    int fail = linalgCholesky(m, in.h, 0.0, sv.l, &pivot);
    if (fail == 0 && m > 0) {
        linalgLSolve(m, sv.l, gt, sv.w);
        linalgLtSolve(m, sv.l, sv.w, sv.q);
        for (int i = 0; i < m; ++i) sv.q[i] = -sv.q[i];
        double qn = linalgNorm(m, sv.q);
        if (std::isfinite(qn)) {
            out.nreduc = 0.5 * linalgDot(m, sv.w, sv.w);
            out.dst0 = qn;
            if (qn <= upperWindow) {
                finishStep(in, sv.q, s);
                out.alpha = 0.0;
                out.dstnrm = qn;
                out.gts = linalgDot(m, in.g, s);
                out.pred = out.nreduc;
                state.alpha = 0.0;
                state.rad0 = delta;
                return;
            }
            linalgLSolve(m, sv.l, sv.q, sv.z);
            double zn = linalgNorm(m, sv.z);
            if (zn > 0.0) lower = ((qn - delta) / delta) * (qn / zn) * (qn / zn);
            if (!std::isfinite(lower)) lower = 0.0;
        }
    } else if (fail > 0) {
        lower = choleskyDeficit(fail, pivot, sv.l, sv.w, sv.z);
        out.dst0 = -lower;
    }
    if (gn == 0.0 || m == 0) {
        for (int i = 0; i < m; ++i) s[i] = 0.0;
        out.alpha = 0.0; out.dstnrm = 0.0; out.gts = 0.0; out.pred = 0.0;
        state.alpha = 0.0; state.rad0 = delta;
        return;
    }

    // Gerschgorin bounds on the eigenvalues of Ht
    double emin = INFINITY, emax = -INFINITY, amax = 0.0;
    for (int i = 0; i < m; ++i) {
        double off = 0.0;
        for (int j = 0; j < m; ++j)
            if (j != i) off += std::fabs(in.h[i > j ? packedIndex(i, j) : packedIndex(j, i)]);
        double aii = in.h[packedIndex(i, i)];
        emin = std::fmin(emin, aii - off);
        emax = std::fmax(emax, aii + off);
        amax = std::fmax(amax, std::fabs(aii) + off);
    }
    double upper = gn / delta - emin;
    if (upper <= 0.0) upper = 0.001;
    lower = std::fmax(lower, std::fmax(0.0, gn / delta - emax));
    if (upper <= lower) upper = lower * 1.001 + 0.001;

    double alpha = state.rad0 > 0.0 ? std::fabs(state.alpha) * state.rad0 / delta : 0.0;
    alpha = std::fmin(upper, std::fmax(alpha, lower));
    double phiPrev = NAN;
    bool hard = false;
    double qn = 0.0;
    bool have = false;
    for (int it = 0; it < GQT_ITERATION_LIMIT; ++it) {
        if (!(alpha > 0.0) || alpha < lower || alpha > upper)
            alpha = std::fmax(0.001 * upper, std::sqrt(lower * upper));
        fail = linalgCholesky(m, in.h, alpha, sv.l, &pivot);
        if (fail > 0) {
            // shift too small: raise the lower bound past the indefiniteness found
            // (the deficit estimate can be tiny: move at least geometrically towards upper,
            // which is a shift known to give a positive definite matrix)
            double next = alpha + choleskyDeficit(fail, pivot, sv.l, sv.w, sv.z);
            lower = std::fmax(lower, std::isfinite(next) ? next : alpha);
            if (upper <= lower) upper = lower * 1.001 + 0.001;
            alpha = std::fmax(std::fmax(0.001 * upper, std::sqrt(lower * upper)), lower + 0.001 * (upper - lower));
            continue;
        }
        linalgLSolve(m, sv.l, gt, sv.w);
        linalgLtSolve(m, sv.l, sv.w, sv.q);
        for (int i = 0; i < m; ++i) sv.q[i] = -sv.q[i];
        qn = linalgNorm(m, sv.q);
        have = true;
        double phi = qn - delta;
        if ((qn >= lowerWindow && qn <= upperWindow) || phi == phiPrev) break;
        phiPrev = phi;
        linalgLSolve(m, sv.l, sv.q, sv.z);
        double zn = linalgNorm(m, sv.z);
        double next = alpha + (phi / delta) * (qn / zn) * (qn / zn);
        if (phi > 0.0) {
            lower = std::fmax(lower, alpha);
            alpha = std::fmax(lower, next);
            continue;
        }
        // too short: alpha is above the solution, or the hard case (g nearly orthogonal
        // to the eigenvectors of the smallest eigenvalue). An approximate eigenvector v
        // of the smallest eigenvalue of Ht + alpha I (inverse iteration) gives its
        // Rayleigh quotient, a better lower bound and the More-Sorensen test: if moving
        // along v to the boundary changes the model by little, q + tau v is accepted.
        upper = std::fmin(upper, alpha);
        for (int i = 0; i < m; ++i) sv.v[i] = (i % 2 == 0 ? 1.0 : -1.0) * (1.0 + 0.1 * i);
        bool eigenOk = true;
        for (int pass = 0; pass < 3 && eigenOk; ++pass) {
            linalgLSolve(m, sv.l, sv.v, sv.z);
            linalgLtSolve(m, sv.l, sv.z, sv.v);
            double vn = linalgNorm(m, sv.v);
            eigenOk = vn > 0.0 && std::isfinite(vn);
            if (eigenOk)
                for (int i = 0; i < m; ++i) sv.v[i] /= vn;
        }
        if (eigenOk) {
            double rayleigh = 0.0;      // v^T (Ht + alpha I) v = ||L^T v||^2
            for (int j = 0; j < m; ++j) {
                double sum = 0.0;
                for (int i = j; i < m; ++i) sum += sv.l[packedIndex(i, j)] * sv.v[i];
                rayleigh += sum * sum;
            }
            lower = std::fmax(lower, alpha - rayleigh);
            double qv = linalgDot(m, sv.q, sv.v);
            double gap = delta * delta - qn * qn;
            double root = std::sqrt(qv * qv + gap);
            double tau = gap / (qv + (qv >= 0.0 ? root : -root));
            double wn2 = linalgDot(m, sv.w, sv.w);
            if (std::isfinite(tau) && tau * tau * rayleigh <= in.epsilon * (wn2 + alpha * delta * delta)) {
                for (int i = 0; i < m; ++i) sv.q[i] += tau * sv.v[i];
                qn = linalgNorm(m, sv.q);
                hard = true;
                break;
            }
        }
        if (upper - lower <= 50.0 * DBL_EPSILON * amax) break;   // limit of the arithmetic
        alpha = next > lower ? next : std::fmax(0.001 * upper, std::sqrt(lower * upper));
    }
    if (have && !hard && qn > upperWindow) {
        // iteration limit with a step still too long: take the step of the upper bound,
        // which lies inside the region
        alpha = upper;
        have = linalgCholesky(m, in.h, alpha, sv.l, &pivot) == 0;
        if (have) {
            linalgLSolve(m, sv.l, gt, sv.w);
            linalgLtSolve(m, sv.l, sv.w, sv.q);
            for (int i = 0; i < m; ++i) sv.q[i] = -sv.q[i];
            qn = linalgNorm(m, sv.q);
            have = qn <= upperWindow;
        }
    }
    if (!have) {
        // no positive definite shift found: steepest descent to the boundary
        for (int i = 0; i < m; ++i) sv.q[i] = -gt[i] * delta / gn;
        qn = delta;
    }
    finishStep(in, sv.q, s);
    out.alpha = alpha;
    out.dstnrm = qn;
    out.gts = linalgDot(m, gt, sv.q);
    linalgSymMul(m, in.h, sv.q, sv.z);
    out.pred = -out.gts - 0.5 * linalgDot(m, sv.q, sv.z);
    state.alpha = hard ? -alpha : alpha;
    state.rad0 = delta;
}
