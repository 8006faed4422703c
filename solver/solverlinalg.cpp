// Dense linear algebra for the least-squares solver (Dennis-Gay-Welsch algorithm):
// Householder QR of the Jacobian, triangular solves, packed Cholesky and the singular
// value range used by the covariance singularity test. Matrices are small (p x p) or
// tall (n x p, column-major); nothing here allocates. The QR of a tall matrix hands
// element-wise updates to the helper thread, when there is one.
#include "solver/solverint.h"

#include <cmath>

// Every sum over a tall column keeps the order of a plain loop, one element after the
// other, so that the factor and the norms are the same to the last bit whatever the
// grouping below. What runs faster is only what needs no order: the element-wise
// divisions and updates run over a block first (vectorized), the block's terms are then
// added one by one, and independent sums share one sweep, each in its own running sum.
// A maximum needs no order at all and is taken in several lanes.
constexpr int BLOCK = 256;          // elements per block: a few kilobytes, kept in L1
constexpr int SHORT_BLOCK = 32;     // block whose divisions overlap the sums of the previous one
constexpr int LANES = 8;            // running maxima of linalgMaxAbs
constexpr int QR_DOT_GROUP = 4;     // columns whose dot products share one sweep
constexpr long PARALLEL_UPDATE = 1L << 18;  // elements of updates that pay for a second thread
constexpr int PARALLEL_SWEEP = 1 << 18;     // rows from which an element-wise sweep takes both cores

namespace {

// Largest |x_i| over lanes; NaN entries lose every comparison and are passed over, as
// in a plain loop, and +0 starts every lane, so the lanes combine to the same value.
double maxAbsLanes(int m, const double* x)
{
    double lane[LANES] = {};
    int i = 0;
    for (; i + LANES <= m; i += LANES)
        for (int l = 0; l < LANES; ++l) {
            double t = std::fabs(x[i + l]);
            lane[l] = t > lane[l] ? t : lane[l];
        }
    double big = 0.0;
    for (; i < m; ++i) {
        double t = std::fabs(x[i]);
        big = t > big ? t : big;
    }
    for (int l = 0; l < LANES; ++l) big = lane[l] > big ? lane[l] : big;
    return big;
}

// Sum of squares of x_i / scale, added in order; the divisions and squares of a short
// block are formed first, overlapping the additions of the previous block.
double scaledSquares(int m, const double* x, double scale)
{
    double term[SHORT_BLOCK];
    double sum = 0.0;
    for (int i0 = 0; i0 < m; i0 += SHORT_BLOCK) {
        int len = m - i0 < SHORT_BLOCK ? m - i0 : SHORT_BLOCK;
        for (int j = 0; j < len; ++j) { double t = x[i0 + j] / scale; term[j] = t * t; }
        for (int j = 0; j < len; ++j) sum += term[j];
    }
    return sum;
}

// y_i -= d col_i for i in [from, to), and the largest |y_i| after the update in *big.
void updateWithMax(int from, int to, double d, const double* col, double* y, double* big)
{
    double lane[LANES] = {};
    int i = from;
    for (; i + LANES <= to; i += LANES)
        for (int l = 0; l < LANES; ++l) {
            y[i + l] -= d * col[i + l];
            double t = std::fabs(y[i + l]);
            lane[l] = t > lane[l] ? t : lane[l];
        }
    double m = 0.0;
    for (; i < to; ++i) {
        y[i] -= d * col[i];
        double t = std::fabs(y[i]);
        m = t > m ? t : m;
    }
    for (int l = 0; l < LANES; ++l) m = lane[l] > m ? lane[l] : m;
    *big = m;
}

void update(int from, int to, double d, const double* col, double* y)
{
    for (int i = from; i < to; ++i) y[i] -= d * col[i];
}

// Norm from the largest magnitude: scale * sqrt(sum (x_i / scale)^2).
double normFromScale(int m, const double* x, double scale)
{
    if (scale == 0.0 || !std::isfinite(scale)) return scale;
    return scale * std::sqrt(scaledSquares(m, x, scale));
}

// dot[g] += v_j c[g][i0 + j] for one block of len elements, the G sums side by side, and
// with SQUARES also *vtv += v_j^2 as one more running sum. G is fixed so that every
// running sum stays in a register.
template <int G, bool SQUARES>
void groupDots(int i0, int len, const double* v, double* const* c, double* dot, double* vtv)
{
    const double* col[G > 0 ? G : 1];
    double sum[G > 0 ? G : 1];
    for (int g = 0; g < G; ++g) {
        col[g] = c[g] + i0;
        sum[g] = dot[g];
    }
    double sv = SQUARES ? *vtv : 0.0;
    for (int j = 0; j < len; ++j) {
        double t = v[j];
        if constexpr (SQUARES) sv += t * t;
        for (int g = 0; g < G; ++g) sum[g] += t * col[g][j];
    }
    for (int g = 0; g < G; ++g) dot[g] = sum[g];
    if constexpr (SQUARES) *vtv = sv;
}

template <bool SQUARES>
void blockDots(int i0, int len, const double* v, int group, double* const* c, double* dot, double* vtv)
{
    switch (group) {
    case 4: groupDots<4, SQUARES>(i0, len, v, c, dot, vtv); break;
    case 3: groupDots<3, SQUARES>(i0, len, v, c, dot, vtv); break;
    case 2: groupDots<2, SQUARES>(i0, len, v, c, dot, vtv); break;
    case 1: groupDots<1, SQUARES>(i0, len, v, c, dot, vtv); break;
    default: groupDots<0, SQUARES>(i0, len, v, c, dot, vtv); break;
    }
}

// One sweep over rows [from, n) of the reflector column col: when divide is set, each
// block is first scaled (col_i /= vk) and its squares go to *vtv; then the block's terms
// of dot[g] += col_i c[g][i]. The blocks are short, so that the divisions of one block
// overlap the running sums of the previous one.
void reflectorSweep(int from, int n, double* col, bool divide, double vk, double* vtv, int group,
                    double* const* c, double* dot)
{
    for (int i0 = from; i0 < n; i0 += SHORT_BLOCK) {
        int len = n - i0 < SHORT_BLOCK ? n - i0 : SHORT_BLOCK;
        double* v = col + i0;
        if (divide) {
            for (int j = 0; j < len; ++j) v[j] /= vk;
            blockDots<true>(i0, len, v, group, c, dot, vtv);
        } else {
            blockDots<false>(i0, len, v, group, c, dot, nullptr);
        }
    }
}

// The updates of one reflector col on rows [from, n) of columns first .. m-1 (factors in
// beta[j]) and of y (factor yFactor): element-wise, on either thread.
struct UpdateJob {
    int from, n, first, m;
    double* a;
    const double* beta;
    double* y;
    const double* col;
    double yFactor;
};

void runUpdates(const UpdateJob& job)
{
    for (int j = job.first; j < job.m; ++j) update(job.from, job.n, job.beta[j], job.col, job.a + (long)j * job.n);
    if (job.y != nullptr) update(job.from, job.n, job.yFactor, job.col, job.y);
}

void updateTask(void* job)
{
    runUpdates(*static_cast<UpdateJob*>(job));
}

}  // namespace

// Householder QR, column by column. For column k the reflector is v = x + sign(x_k)||x|| e_k
// (sign chosen so the new diagonal does not cancel), stored below the diagonal scaled so
// that v_k = 1 is implicit; beta_k = 2 / v^T v. R_kk = -sign(x_k) ||x||. The reflectors
// act on the remaining columns and then on y.
// Per column k: the scaled sum of its norm, whose largest magnitude came with its update;
// one sweep that scales the reflector and forms v^T v and the dot products with the
// first group of four remaining vectors, a further sweep for each further group; then the
// updates. Column k + 1 is updated here, taking its largest magnitude, and its norm
// follows at once, while on large columns the helper thread updates the other vectors
// (element-wise work, so the figures do not depend on the threads). Until that work is
// collected, before the next sweep, the factor of column j's update waits in beta[j].
void linalgQrApply(int n, int m, double* a, double* beta, double* y, const std::atomic<bool>* stop)
{
    double nextMax = -1.0;              // largest |x_i| of the next column, when known
    bool helping = false;               // the helper thread updates the other vectors
    UpdateJob job{};
    for (int k = 0; k < m; ++k) {
        double* col = a + (long)k * n;
        double scale = nextMax >= 0.0 ? nextMax : maxAbsLanes(n - k, col + k);
        nextMax = -1.0;
        double norm = k < n ? normFromScale(n - k, col + k, scale) : 0.0;
        if (helping && !solverHelperCollect()) runUpdates(job);
        helping = false;
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
            for (int j = k; j < m; ++j) beta[j] = 0.0;
            return;
        }
        beta[k] = 0.0;
        if (norm == 0.0) continue;
        double alpha = col[k] >= 0.0 ? -norm : norm;
        double vk = col[k] - alpha;
        int targets = m - k - 1 + (y != nullptr ? 1 : 0);
        double vtv = 1.0;
        bool divided = false;
        double firstFactor = 0.0, yFactor = 0.0;
        for (int t0 = 0; t0 < targets || !divided; t0 += QR_DOT_GROUP) {
            int group = targets - t0 < QR_DOT_GROUP ? targets - t0 : QR_DOT_GROUP;
            if (group < 0) group = 0;
            double* c[QR_DOT_GROUP];
            double dot[QR_DOT_GROUP] = {0.0, 0.0, 0.0, 0.0};
            for (int g = 0; g < group; ++g) {
                int j = k + 1 + t0 + g;
                c[g] = j < m ? a + (long)j * n : y;
                dot[g] = c[g][k];
            }
            reflectorSweep(k + 1, n, col, !divided, vk, &vtv, group, c, dot);
            if (!divided) {
                divided = true;
                beta[k] = 2.0 / vtv;
                col[k] = alpha;
            }
            for (int g = 0; g < group; ++g) {
                int j = k + 1 + t0 + g;
                double d = dot[g] * beta[k];
                c[g][k] -= d;
                if (j == k + 1 && j < m) firstFactor = d;
                else if (j < m) beta[j] = d;
                else yFactor = d;
            }
        }
        // updates of rows k+1 .. n-1: the other vectors, then column k + 1 with its maximum
        int first = k + 2 < m ? k + 2 : m;
        job = UpdateJob{k + 1, n, first, m, a, beta, y, col, yFactor};
        long others = (long)(n - k - 1) * (m - first + (y != nullptr ? 1 : 0));
        if (k + 1 < m && others >= PARALLEL_UPDATE)
            helping = solverHelperPost(updateTask, &job);
        if (!helping) runUpdates(job);
        if (k + 1 < m) updateWithMax(k + 1, n, firstFactor, col, a + (long)(k + 1) * n, &nextMax);
    }
    if (helping && !solverHelperCollect()) runUpdates(job);
}

void linalgQr(int n, int m, double* a, double* beta)
{
    linalgQrApply(n, m, a, beta, nullptr);
}

// Reflector k acts on y as dot = y_k + sum_{i>k} v_i y_i, d = beta_k dot, y_k -= d,
// y_i -= d v_i. The update of reflector k shares its sweep with the dot product of the
// next reflector, which reads each y_i just after that update.
void linalgApplyQt(int n, int m, const double* a, const double* beta, double* y)
{
    int top = m < n ? m : n;
    const double* pending = nullptr;    // reflector whose update below its row is due
    int pendingRow = 0;
    double pendingD = 0.0;
    for (int k = 0; k < top; ++k) {
        if (beta[k] == 0.0) continue;
        const double* col = a + (long)k * n;
        if (pending != nullptr)
            for (int i = pendingRow + 1; i <= k; ++i) y[i] -= pendingD * pending[i];
        double dot = y[k];
        for (int i0 = k + 1; i0 < n; i0 += SHORT_BLOCK) {
            int len = n - i0 < SHORT_BLOCK ? n - i0 : SHORT_BLOCK;
            double* yb = y + i0;
            const double* vb = col + i0;
            if (pending != nullptr) {
                const double* pb = pending + i0;
                for (int j = 0; j < len; ++j) yb[j] -= pendingD * pb[j];
            }
            for (int j = 0; j < len; ++j) dot += vb[j] * yb[j];
        }
        dot *= beta[k];
        y[k] -= dot;
        pending = col;
        pendingRow = k;
        pendingD = dot;
    }
    if (pending != nullptr) update(pendingRow + 1, n, pendingD, pending, y);
}

void linalgRSolve(int m, const double* a, int lda, const double* b, double* x)
{
    for (int i = m - 1; i >= 0; --i) {
        double sum = b[i];
        for (int j = i + 1; j < m; ++j) sum -= a[(long)j * lda + i] * x[j];
        x[i] = sum / a[(long)i * lda + i];
    }
}

void linalgRtSolve(int m, const double* a, int lda, const double* b, double* x)
{
    for (int i = 0; i < m; ++i) {
        double sum = b[i];
        const double* col = a + (long)i * lda;
        for (int j = 0; j < i; ++j) sum -= col[j] * x[j];
        x[i] = sum / col[i];
    }
}

void linalgRMul(int m, const double* a, int lda, const double* x, double* y)
{
    for (int i = 0; i < m; ++i) {
        double sum = 0.0;
        for (int j = i; j < m; ++j) sum += a[(long)j * lda + i] * x[j];
        y[i] = sum;
    }
}

void linalgRtMul(int m, const double* a, int lda, const double* x, double* y)
{
    for (int i = 0; i < m; ++i) {
        const double* col = a + (long)i * lda;
        double sum = 0.0;
        for (int j = 0; j <= i; ++j) sum += col[j] * x[j];
        y[i] = sum;
    }
}

void linalgLSolve(int m, const double* l, const double* b, double* x)
{
    for (int i = 0; i < m; ++i) {
        double sum = b[i];
        for (int j = 0; j < i; ++j) sum -= l[packedIndex(i, j)] * x[j];
        x[i] = sum / l[packedIndex(i, i)];
    }
}

void linalgLtSolve(int m, const double* l, const double* b, double* x)
{
    for (int i = m - 1; i >= 0; --i) {
        double sum = b[i];
        for (int j = i + 1; j < m; ++j) sum -= l[packedIndex(j, i)] * x[j];
        x[i] = sum / l[packedIndex(i, i)];
    }
}

int linalgCholesky(int m, const double* a, double shift, double* l, double* pivot)
{
    for (int i = 0; i < m; ++i) {
        for (int j = 0; j <= i; ++j) {
            double sum = a[packedIndex(i, j)];
            if (i == j) sum += shift;
            for (int k = 0; k < j; ++k) sum -= l[packedIndex(i, k)] * l[packedIndex(j, k)];
            if (i == j) {
                if (!(sum > 0.0)) {
                    *pivot = std::isfinite(sum) ? sum : 0.0;
                    return i + 1;
                }
                l[packedIndex(i, i)] = std::sqrt(sum);
            } else {
                l[packedIndex(i, j)] = sum / l[packedIndex(j, j)];
            }
        }
    }
    *pivot = 0.0;
    return 0;
}

void linalgSymMul(int m, const double* a, const double* x, double* y)
{
    for (int i = 0; i < m; ++i) y[i] = 0.0;
    for (int i = 0; i < m; ++i) {
        for (int j = 0; j < i; ++j) {
            double aij = a[packedIndex(i, j)];
            y[i] += aij * x[j];
            y[j] += aij * x[i];
        }
        y[i] += a[packedIndex(i, i)] * x[i];
    }
}

// Euclidean norm with scaling against overflow and underflow: the largest magnitude by
// plain comparisons (no NaN can be the largest, as with fmax), then the scaled sum.
double linalgNorm(int m, const double* x)
{
    return normFromScale(m, x, maxAbsLanes(m, x));
}

double linalgNormWithMax(int m, const double* x, double largest)
{
    return normFromScale(m, x, largest);
}

double linalgMaxAbs(int m, const double* x)
{
    return maxAbsLanes(m, x);
}

namespace {

// Element-wise sweeps over rows [first, last) and their maxima, which do not depend on
// the order the rows are taken in: on tall vectors the helper thread takes the upper half.
struct Sweep {
    int first, last;            // rows
    double* column;             // linalgDifference: the column, becoming the quotients
    const double* base;         // linalgDifference: the residuals at x
    double step;                // linalgDifference: the step
    double big;                 // max |x_i| (the quotients' for linalgDifference)
    double change;              // linalgDifference: max |quotient * step|
    bool finite;                // linalgMaxAbsFinite: every x_i finite
};

// x_i * 0 is 0 for a finite x_i and NaN otherwise, so the lanes' sums are NaN exactly
// when an entry is not finite; no order matters.
void maxAbsFiniteRows(Sweep& w)
{
    const double* x = w.base;
    double lane[LANES] = {};
    double poison[LANES] = {};
    int i = w.first;
    for (; i + LANES <= w.last; i += LANES)
        for (int l = 0; l < LANES; ++l) {
            double t = std::fabs(x[i + l]);
            lane[l] = t > lane[l] ? t : lane[l];
            poison[l] += x[i + l] * 0.0;
        }
    double big = 0.0, bad = 0.0;
    for (; i < w.last; ++i) {
        double t = std::fabs(x[i]);
        big = t > big ? t : big;
        bad += x[i] * 0.0;
    }
    for (int l = 0; l < LANES; ++l) {
        big = lane[l] > big ? lane[l] : big;
        bad += poison[l];
    }
    w.finite = bad == 0.0;
    w.big = big;
}

// Element-wise, so in lanes: the quotients, then both maxima.
void differenceRows(Sweep& w)
{
    double* column = w.column;
    const double* base = w.base;
    const double step = w.step;
    double big[LANES] = {}, change[LANES] = {};
    int i = w.first;
    for (; i + LANES <= w.last; i += LANES)
        for (int l = 0; l < LANES; ++l) {
            double q = (column[i + l] - base[i + l]) / step;
            column[i + l] = q;
            double a = std::fabs(q), b = std::fabs(q * step);
            big[l] = a > big[l] ? a : big[l];
            change[l] = b > change[l] ? b : change[l];
        }
    double bigAll = 0.0, changeAll = 0.0;
    for (; i < w.last; ++i) {
        double q = (column[i] - base[i]) / step;
        column[i] = q;
        double a = std::fabs(q), b = std::fabs(q * step);
        bigAll = a > bigAll ? a : bigAll;
        changeAll = b > changeAll ? b : changeAll;
    }
    for (int l = 0; l < LANES; ++l) {
        bigAll = big[l] > bigAll ? big[l] : bigAll;
        changeAll = change[l] > changeAll ? change[l] : changeAll;
    }
    w.big = bigAll;
    w.change = changeAll;
}

template <void (*ROWS)(Sweep&)>
void sweepTask(void* sweep)
{
    ROWS(*static_cast<Sweep*>(sweep));
}

// Runs ROWS over w's rows, split in two halves on two threads when they are many and the
// helper is free; w then holds the combined maxima.
template <void (*ROWS)(Sweep&)>
void sweepRows(Sweep& w)
{
    if (w.last - w.first < PARALLEL_SWEEP) {
        ROWS(w);
        return;
    }
    Sweep upper = w;
    upper.first = w.first + (w.last - w.first) / 2;
    w.last = upper.first;
    const bool helping = solverHelperPost(sweepTask<ROWS>, &upper);
    ROWS(w);
    if (!helping || !solverHelperCollect())
        ROWS(upper);
    w.big = upper.big > w.big ? upper.big : w.big;
    w.change = upper.change > w.change ? upper.change : w.change;
    w.finite = w.finite && upper.finite;
}

}  // namespace

double linalgMaxAbsFinite(int m, const double* x, bool* finite)
{
    Sweep w{0, m, nullptr, x, 0.0, 0.0, 0.0, true};
    sweepRows<maxAbsFiniteRows>(w);
    *finite = w.finite;
    return w.big;
}

double linalgDifference(int n, double* column, const double* base, double step, double* largest)
{
    Sweep w{0, n, column, base, step, 0.0, 0.0, true};
    sweepRows<differenceRows>(w);
    *largest = w.big;
    return w.change;
}

// Each dot product in its own running sum, in element order; up to four share a sweep.
void linalgColumnDots(int n, int m, const double* a, const double* y, double* out)
{
    for (int j0 = 0; j0 < m; j0 += QR_DOT_GROUP) {
        int group = m - j0 < QR_DOT_GROUP ? m - j0 : QR_DOT_GROUP;
        double* c[QR_DOT_GROUP];
        for (int g = 0; g < group; ++g) c[g] = const_cast<double*>(a + (long)(j0 + g) * n);   // read only
        double dot[QR_DOT_GROUP] = {0.0, 0.0, 0.0, 0.0};
        for (int i0 = 0; i0 < n; i0 += BLOCK) blockDots<false>(i0, n - i0 < BLOCK ? n - i0 : BLOCK, y + i0, group, c, dot, nullptr);
        for (int g = 0; g < group; ++g) out[j0 + g] = dot[g];
    }
}

double linalgDot(int m, const double* x, const double* y)
{
    double sum = 0.0;
    for (int i = 0; i < m; ++i) sum += x[i] * y[i];
    return sum;
}

// One-sided Jacobi: rotate column pairs of a until all are mutually orthogonal; the
// column norms are then the singular values. Converges quadratically; a sweep limit
// guards against a pathological matrix.
void linalgSingularRange(int m, double* a, double* smin, double* smax)
{
    const double tol = 1e-15;
    for (int sweep = 0; sweep < 60; ++sweep) {
        bool rotated = false;
        for (int j = 0; j < m - 1; ++j) {
            for (int k = j + 1; k < m; ++k) {
                double* cj = a + (long)j * m;
                double* ck = a + (long)k * m;
                double alpha = linalgDot(m, cj, cj);
                double beta = linalgDot(m, ck, ck);
                double gamma = linalgDot(m, cj, ck);
                if (gamma == 0.0 || std::fabs(gamma) <= tol * std::sqrt(alpha * beta)) continue;
                rotated = true;
                double zeta = (beta - alpha) / (2.0 * gamma);
                double t = (zeta >= 0.0 ? 1.0 : -1.0) / (std::fabs(zeta) + std::sqrt(1.0 + zeta * zeta));
                double c = 1.0 / std::sqrt(1.0 + t * t);
                double s = c * t;
                for (int i = 0; i < m; ++i) {
                    double u = cj[i], v = ck[i];
                    cj[i] = c * u - s * v;
                    ck[i] = s * u + c * v;
                }
            }
        }
        if (!rotated) break;
    }
    double lo = INFINITY, hi = 0.0;
    for (int j = 0; j < m; ++j) {
        double sv = linalgNorm(m, a + (long)j * m);
        lo = std::fmin(lo, sv);
        hi = std::fmax(hi, sv);
    }
    *smin = m > 0 ? lo : 0.0;
    *smax = hi;
}
