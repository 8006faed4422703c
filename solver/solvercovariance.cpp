// Covariance of the least-squares estimates: sigma^2 (J^T J)^-1 from the triangular
// factor R of the Jacobian at the solution (J^T J = R^T R), with a singularity test on
// the singular values of R, and the hand-over to the caller as a full symmetric matrix.
#include "solver/solvercore.h"
#include "solver/solverint.h"

#include <cfloat>
#include <cmath>

// Contract: see solvercore.h. Steps: singular value range of R with each column scaled
// to unit length (one-sided Jacobi on a copy); then column j of (R^T R)^-1 =
// R^-1 R^-T e_j, kept below the diagonal.
//
// The singularity test is made on the scaled columns because the columns carry the
// units of their parameters: b = 1e-21 beside a = 1 in a well-posed linear fit gives
// columns of 1e21 and 1, a ratio of singular values near 1e-21 and no matrix, although
// the fit is as well determined as with b in other units. Scaling by powers of two is
// exact, and the triangular solves below give the same relative accuracy whatever the
// scale of the columns.
bool covarianceFromFactor(int p, const double* r, int lda, double sigma2, double* out, double* full,
                          double* column, double* rcond)
{
    for (int j = 0; j < p; ++j) {
        double size = linalgNorm(j + 1, r + (long)j * lda);
        double unit = size > 0.0 && std::isfinite(size) ? std::ldexp(1.0, -std::ilogb(size)) : 1.0;
        for (int i = 0; i < p; ++i) full[(long)j * p + i] = i <= j ? unit * r[(long)j * lda + i] : 0.0;
    }
    double smin = 0.0, smax = 0.0;
    bool zeroDiagonal = false;
    for (int i = 0; i < p; ++i)
        if (r[(long)i * lda + i] == 0.0) zeroDiagonal = true;
    if (!zeroDiagonal) linalgSingularRange(p, full, &smin, &smax);
    *rcond = smax > 0.0 ? smin / smax : 0.0;
    if (zeroDiagonal || !(smin > 0.0) || !(*rcond > DBL_EPSILON)) return false;

    double* unit = full;  // reuse: first p entries as the right-hand side
    for (int j = 0; j < p; ++j) {
        for (int i = 0; i < p; ++i) unit[i] = i == j ? 1.0 : 0.0;
        linalgRtSolve(p, r, lda, unit, column);
        for (int i = 0; i < p; ++i) unit[i] = column[i];
        linalgRSolve(p, r, lda, unit, column);
        for (int i = j; i < p; ++i) out[packedIndex(i, j)] = sigma2 * column[i];
    }
    for (int i = 0; i < p * (p + 1) / 2; ++i)
        if (!std::isfinite(out[i])) return false;
    return true;
}

int solverCovariance(int p, const int* iv, const double* v, double* covariance)
{
    int c = iv[IV_COVARIANCE];
    for (long i = 0; i < (long)p * p; ++i) covariance[i] = 0.0;
    if (c < 1) return c;
    const double* packed = v + (c - 1);
    for (int i = 0; i < p; ++i)
        for (int j = 0; j <= i; ++j) {
            double value = packed[packedIndex(i, j)];
            covariance[(long)i * p + j] = value;
            covariance[(long)j * p + i] = value;
        }
    return c;
}
