// Internal entry points of the solver's iteration and covariance (not public).
#pragma once

#include "solver/solver.h"

// First V position (0-based) of the work storage; V(1) .. V(100) hold settings and state.
constexpr long V_WORK_START = 100;
// First IV position (0-based) of the integer work storage (permutations and the
// speculative outcomes, 3p ints).
constexpr int IV_WORK_START = 100;

// Real array length needed by the iteration for n residuals and p parameters.
long coreRealsNeeded(int n, int p);

// One solve with fresh settings in iv, v (checked by the caller); bounds null: unbounded.
void coreSolve(int n, int p, double* x, const double* bounds, const SolverCallbacks& callbacks,
               int* iv, double* v);

// sigma^2 (R^T R)^-1 into the packed lower triangle out (p(p+1)/2), for the upper
// triangular R (column-major, leading dimension lda); full is p*p scratch. Returns false
// when R is singular: with its columns scaled to unit length, smallest singular value
// zero or below MACHEP times the largest; *rcond receives that ratio.
bool covarianceFromFactor(int p, const double* r, int lda, double sigma2, double* out, double* full,
                          double* column, double* rcond);
