// Dense linear algebra for the least-squares solver (Dennis-Gay-Welsch algorithm):
// Householder QR of the Jacobian, triangular solves, packed Cholesky and the singular
// value range used by the covariance singularity test. Matrices are small (p x p) or
// tall (n x p, column-major); nothing here allocates.
#include "analysis/solverint.h"

#include <cmath>

// Householder QR, column by column. For column k the reflector is v = x + sign(x_k)||x|| e_k
// (sign chosen so the new diagonal does not cancel), stored below the diagonal scaled so
// that v_k = 1 is implicit; beta_k = 2 / v^T v. R_kk = -sign(x_k) ||x||.
// Each pass over the tall columns is a plain sweep: the dot products of the reflector
// with up to four remaining columns are formed in one sweep, each in its own running sum
// (the order of every sum is that of one column at a time, so the factor is the same).
constexpr int QR_DOT_GROUP = 4;

void linalgQr(int n, int m, double* a, double* beta)
{
    for (int k = 0; k < m; ++k) {
        double* col = a + (long)k * n;
        beta[k] = 0.0;
        if (k >= n) continue;
        double norm = linalgNorm(n - k, col + k);
        if (norm == 0.0) continue;
        double alpha = col[k] >= 0.0 ? -norm : norm;
        double vk = col[k] - alpha;
        for (int i = k + 1; i < n; ++i) col[i] /= vk;
        double vtv = 1.0;
        for (int i = k + 1; i < n; ++i) vtv += col[i] * col[i];
        beta[k] = 2.0 / vtv;
        col[k] = alpha;
        // apply (I - beta v v^T) to the remaining columns, a group at a time
        for (int j0 = k + 1; j0 < m; j0 += QR_DOT_GROUP) {
            int group = m - j0 < QR_DOT_GROUP ? m - j0 : QR_DOT_GROUP;
            double* c[QR_DOT_GROUP];
            double dot[QR_DOT_GROUP] = {0.0, 0.0, 0.0, 0.0};
            for (int g = 0; g < group; ++g) {
                c[g] = a + (long)(j0 + g) * n;
                dot[g] = c[g][k];
            }
            if (group == QR_DOT_GROUP) {
                for (int i = k + 1; i < n; ++i) {
                    double v = col[i];
                    dot[0] += v * c[0][i];
                    dot[1] += v * c[1][i];
                    dot[2] += v * c[2][i];
                    dot[3] += v * c[3][i];
                }
            } else {
                for (int g = 0; g < group; ++g)
                    for (int i = k + 1; i < n; ++i) dot[g] += col[i] * c[g][i];
            }
            for (int g = 0; g < group; ++g) {
                double* cj = c[g];
                double d = dot[g] * beta[k];
                cj[k] -= d;
                for (int i = k + 1; i < n; ++i) cj[i] -= d * col[i];
            }
        }
    }
}

void linalgApplyQt(int n, int m, const double* a, const double* beta, double* y)
{
    for (int k = 0; k < m && k < n; ++k) {
        if (beta[k] == 0.0) continue;
        const double* col = a + (long)k * n;
        double dot = y[k];
        for (int i = k + 1; i < n; ++i) dot += col[i] * y[i];
        dot *= beta[k];
        y[k] -= dot;
        for (int i = k + 1; i < n; ++i) y[i] -= dot * col[i];
    }
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
    double scale = 0.0;
    for (int i = 0; i < m; ++i) {
        double t = std::fabs(x[i]);
        scale = t > scale ? t : scale;
    }
    if (scale == 0.0 || !std::isfinite(scale)) return scale;
    double sum = 0.0;
    for (int i = 0; i < m; ++i) { double t = x[i] / scale; sum += t * t; }
    return scale * std::sqrt(sum);
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
