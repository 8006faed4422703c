// The solver's internal toolkit, shared by its source files and not part of its
// interface: the dense linear algebra (solverlinalg.cpp), the trust-region steps
// (solverstep.cpp) and the hand-over of work to the helper thread (solver.cpp).
#pragma once

#include <atomic>

// The helper offered by solverSetHelper, with that routine's contract; without one, post
// returns false and the caller runs the task itself.
bool solverHelperPost(void (*task)(void* argument), void* argument);
bool solverHelperCollect();

// The bounded point from + step in [lower, upper] (lower >= upper fixes it at lower): a
// value beyond a bound, or within rounding of the bound it moves towards, is the bound.
double solverBoxPoint(double from, double value, double lower, double upper);

// Packed lower triangle by rows: element (i, j), j <= i.
inline int packedIndex(int i, int j) { return i * (i + 1) / 2 + j; }

// Householder QR of the n x m column-major matrix a (leading dimension n), in place:
// R in the upper triangle, the reflector vectors below it, their factors in beta (m).
// A column that is exactly zero below the diagonal is left alone (beta = 0).
void linalgQr(int n, int m, double* a, double* beta);

// y (n) <- Q^T y using the reflectors of linalgQr.
void linalgApplyQt(int n, int m, const double* a, const double* beta, double* y);

// linalgQr, and y (n) <- Q^T y as linalgApplyQt would give it afterwards, in the same
// sweeps; y may be null. When stop is set and reads true before a column, the
// factorisation ends there unfinished (beta 0 from that column on): the solve is being
// cancelled, and its next evaluation ends it.
void linalgQrApply(int n, int m, double* a, double* beta, double* y, const std::atomic<bool>* stop = nullptr);

// Upper-triangular R (leading m x m of the column-major a with leading dimension lda).
void linalgRSolve(int m, const double* a, int lda, const double* b, double* x);      // R x = b
void linalgRtSolve(int m, const double* a, int lda, const double* b, double* x);     // R^T x = b
void linalgRMul(int m, const double* a, int lda, const double* x, double* y);        // y = R x
void linalgRtMul(int m, const double* a, int lda, const double* x, double* y);       // y = R^T x

// Packed lower-triangular L (m x m).
void linalgLSolve(int m, const double* l, const double* b, double* x);    // L x = b
void linalgLtSolve(int m, const double* l, const double* b, double* x);   // L^T x = b

// Cholesky of the packed symmetric a + shift*I into packed l. Returns 0 on success, else
// k + 1 for the failing row k, with *pivot the non-positive pivot found there.
int linalgCholesky(int m, const double* a, double shift, double* l, double* pivot);

// Packed symmetric y = A x.
void linalgSymMul(int m, const double* a, const double* x, double* y);

double linalgNorm(int m, const double* x);
double linalgDot(int m, const double* x, const double* y);

// Largest |x_i| (NaN entries passed over; 0 when there is none), the same figure as the
// first pass of linalgNorm; linalgNormWithMax(m, x, linalgMaxAbs(m, x)) == linalgNorm(m, x).
double linalgMaxAbs(int m, const double* x);
double linalgNormWithMax(int m, const double* x, double largest);
// linalgMaxAbs, and in *finite whether every x_i is finite.
double linalgMaxAbsFinite(int m, const double* x, bool* finite);

// Forward-difference column: column_i <- (column_i - base_i) / step for the n rows.
// Returns max |column_i * step| (the change of the residuals); *largest = max |column_i|.
double linalgDifference(int n, double* column, const double* base, double step, double* largest);

// out[j] = linalgDot(n, column j of a, y) for the m columns of the n x m column-major a.
void linalgColumnDots(int n, int m, const double* a, const double* y, double* out);

// Singular values of the m x m column-major matrix a (destroyed) by one-sided Jacobi;
// returns the smallest and largest in *smin, *smax.
void linalgSingularRange(int m, double* a, double* smin, double* smax);

// Trust-region subproblem input and output, in the free variables (the first m of the
// permuted order). Scaled step q = D s.
struct StepInput {
    int m;                  // free variables
    const double* r;        // R factor (upper, column-major), leading dimension lda
    int lda;                // leading dimension of r
    const double* qtr;      // first m entries of Q^T r
    const double* g;        // gradient (m)
    const double* d;        // scale (m)
    const double* h;        // augmented model: packed D^-1 (R^T R + S) D^-1 (m); null for Gauss-Newton
    double radius;          // trust radius Delta
    double phmn;            // acceptance window, lower (-0.1)
    double phmx;            // acceptance window, upper (0.1)
    double epsilon;         // hard-case accuracy (0.1)
};

struct StepState {
    double alpha;           // Levenberg-Marquardt parameter of the last step (< 0: hard case)
    double rad0;            // radius of the last step computation (0: none yet)
};

struct StepResult {
    double dstnrm;          // ||D s||
    double gts;             // g^T s
    double pred;            // predicted reduction of f
    double nreduc;          // reduction predicted by the model's Newton step (0 if undefined)
    double dst0;            // ||D s_N||, or <= 0 when the Newton step is undefined
    double alpha;           // multiplier used (0 for the Newton step)
};

// Work: 3 m(m+1)/2 + 6 m doubles.
int stepWorkLength(int m);
void stepLevenbergMarquardt(const StepInput& in, StepState& state, double* s, StepResult& out, double* work);
void stepAugmented(const StepInput& in, StepState& state, double* s, StepResult& out, double* work);
