// The solver's interface: the adaptive nonlinear least-squares algorithm of Dennis, Gay
// and Welsch (Gauss-Newton and augmented models, scaled trust region, adaptive scaling)
// with forward-difference Jacobians, an unbounded and a simple-bounds entry point, and
// the covariance matrix at the solution. The library needs nothing of the language or
// the analysis: a caller hands it a residual routine and, if it has one, a second
// thread's services.
//
// Settings, state and results live in two caller-provided arrays: an integer array iv
// and a real array v. Positions are the named constants below (0-based subscripts; the
// comment gives the 1-based position IV(k) / V(k) of the published documentation). The
// real array also holds all work storage, sized once from n and p by solverRealsLength;
// nothing is allocated during a solve. f = 0.5 * sum of squared residuals throughout.
#pragma once

#include <atomic>

// Residual routine: fill r[0 .. n-1] at x. nf holds the evaluation number on entry;
// on return nf > 0 success, nf = 0 "cannot compute here" (the solver shortens its step),
// nf < 0 "return at once" (Cancel).
using SolverResiduals = void (*)(int n, int p, const double* x, int* nf, double* r, void* context);

// Jacobian routine: fill jac (n x p, column-major: d r_i / d x_k at jac[k n + i]) at x
// with exact derivatives of the residuals; nf as for the residual routine.
using SolverJacobian = void (*)(int n, int p, const double* x, int* nf, double* jac, void* context);

// Progress hook, called at every iteration summary with IV(31) and f = V(10).
using SolverProgress = void (*)(int iteration, double f, void* context);

struct SolverCallbacks {
    SolverResiduals residuals;  // required
    SolverProgress progress;    // may be null
    void* context;              // passed unchanged to both
    // Both cores: when quietResiduals is set and a helper is offered (solverSetHelper), the
    // first try of every Jacobian column is evaluated on two threads at once, the even
    // columns on the calling thread with context and the odd ones on the helper thread
    // with helperContext. quietResiduals must write nothing and give the same residuals
    // as residuals; a column whose first try fails is evaluated again, in order, through
    // residuals, so that messages and results are those of the serial solve.
    SolverResiduals quietResiduals = nullptr;
    void* helperContext = nullptr;   // second thread's context
    // The routines write every r_i whenever they report success (*nf != 0): the vector
    // is then not poisoned with NaN before each evaluation.
    bool writesEveryResidual = false;
    // Cancel: when set and true, a factorisation in progress ends unfinished, and the
    // next evaluation (which the routines then refuse with *nf < 0) ends the solve.
    const std::atomic<bool>* cancel = nullptr;
    // When set, every Jacobian comes from it (with context) instead of differences.
    SolverJacobian jacobian = nullptr;
};

// ORDER IV: integer positions (0-based subscript; 1-based position in the comment)
constexpr int IV_RETURN_CODE = 0;       // IV(1)  return code; 12 = start a fresh solve
constexpr int IV_MODEL = 4;             // IV(5)  model of the last step: 1 Gauss-Newton, 2 augmented
constexpr int IV_NFCALL = 5;            // IV(6)  function evaluations (start point + trials)
constexpr int IV_NFGCAL = 6;            // IV(7)  evaluation number of the best trial
constexpr int IV_COV_PRINT = 13;        // IV(14) covariance printing (system: 0)
constexpr int IV_COV_REQUEST = 14;      // IV(15) covariance request (system: covarianceCode)
constexpr int IV_SCALE_TYPE = 15;       // IV(16) scaling: 1 adaptive, 2 first Jacobian only, 0 fixed
constexpr int IV_EVAL_LIMIT = 16;       // IV(17) function-evaluation limit
constexpr int IV_ITER_LIMIT = 17;       // IV(18) iteration limit
constexpr int IV_SUMMARY_PRINT = 18;    // IV(19) iteration-summary printing (system: 0)
constexpr int IV_PARAM_PRINT = 19;      // IV(20) parameter-listing printing (system: 0)
constexpr int IV_SOLUTION_PRINT = 21;   // IV(22) solution printing (system: 0)
constexpr int IV_STATS_PRINT = 22;      // IV(23) statistics printing (system: 0)
constexpr int IV_INITX_PRINT = 23;      // IV(24) initial-x printing (system: 0)
constexpr int IV_INIT = 24;             // IV(25) initialisation choice (0: S = 0)
constexpr int IV_COVARIANCE = 25;       // IV(26) result: 1-based V position of the packed covariance, or status <= 0
constexpr int IV_NGCALL = 29;           // IV(30) evaluations spent on finite differences and re-evaluations
constexpr int IV_NITER = 30;            // IV(31) result: iterations performed
constexpr int IV_DIAGNOSTICS = 56;      // IV(57) regression-diagnostic and covariance request

// ORDER V: real positions
constexpr int V_DGNORM = 0;             // V(1)  ||D^-1 g||
constexpr int V_DSTNRM = 1;             // V(2)  ||D s|| of the last step
constexpr int V_RADIUS = 7;             // V(8)  trust radius
constexpr int V_F = 9;                  // V(10) result: f at the final point (half the sum of squares)
constexpr int V_F0 = 12;                // V(13) f at the start of the last iteration
constexpr int V_RELDX = 16;             // V(17) relative change of x in the last step
constexpr int V_EPSLON = 18;            // V(19) relative accuracy of the model value in the hard case
constexpr int V_PHMNFC = 19;            // V(20) step-length window, lower (-0.1)
constexpr int V_PHMXFC = 20;            // V(21) step-length window, upper (0.1)
constexpr int V_DECFAC = 21;            // V(22) radius decrease factor after an uncomputable trial
constexpr int V_INCFAC = 22;            // V(23) radius increase factor
constexpr int V_RDFCMN = 23;            // V(24) smallest radius change factor
constexpr int V_RDFCMX = 24;            // V(25) largest radius change factor
constexpr int V_TUNER1 = 25;            // V(26) poor-step threshold
constexpr int V_TUNER2 = 26;            // V(27) acceptance threshold
constexpr int V_TUNER3 = 27;            // V(28) very-good-step threshold
constexpr int V_TUNER4 = 28;            // V(29) gradient test 1
constexpr int V_TUNER5 = 29;            // V(30) gradient test 2
constexpr int V_AFCTOL = 30;            // V(31) absolute function convergence tolerance (relative to the problem's size)
constexpr int V_RFCTOL = 31;            // V(32) relative function convergence tolerance (system: tolerance)
constexpr int V_XCTOL = 32;             // V(33) X-convergence tolerance
constexpr int V_XFTOL = 33;             // V(34) false-convergence tolerance
constexpr int V_LMAX0 = 34;             // V(35) initial step bound
constexpr int V_LMAXS = 35;             // V(36) step bound of the singular-convergence test
constexpr int V_SCTOL = 36;             // V(37) singular-convergence tolerance
constexpr int V_DINIT = 37;             // V(38) initial scale value; 0: d starts at all ones
constexpr int V_DTINIT = 38;            // V(39) smallest column scale kept
constexpr int V_D0INIT = 39;            // V(40) replacement for a smaller column scale
constexpr int V_DFAC = 40;              // V(41) largest shrink of d per Jacobian
constexpr int V_DLTFDC = 41;            // V(42) covariance difference step, function values (unused)
constexpr int V_DLTFDJ = 42;            // V(43) relative finite-difference step of the Jacobian
constexpr int V_DELTA0 = 43;            // V(44) covariance difference step, gradients (unused)
constexpr int V_FUZZ = 44;              // V(45) model-switch hysteresis
constexpr int V_RLIMIT = 45;            // V(46) residual norm above which a trial counts as uncomputable
constexpr int V_COSMIN = 46;            // V(47) safeguard of the secant update
constexpr int V_HUBERC = 47;            // V(48) unused by least squares
constexpr int V_RSPTOL = 48;            // V(49) unused by least squares
constexpr int V_SIGMIN = 49;            // V(50) unused by least squares
constexpr int V_RCOND = 52;             // V(53) smallest / largest singular value estimate of R at the end
constexpr int V_SIZE = 54;              // V(55) sizing factor of the last secant update
constexpr int V_WSCALE = 55;            // V(56) weight factor of the last secant update

// Return codes (IV(1) after a solve).
enum SolverReturn {
    SOLVER_X_CONVERGED = 3,           // full Newton step of the model with RELDX <= V(33)
    SOLVER_RELATIVE_CONVERGED = 4,    // 0 < reduction predicted by the model's Newton step <= V(32) |f0|
    SOLVER_BOTH_CONVERGED = 5,        // 3 and 4 together
    SOLVER_ABSOLUTE_CONVERGED = 6,    // f = 0, or f zero to the precision of the values (see solvercore.cpp)
    SOLVER_SINGULAR_CONVERGED = 7,    // predicted reduction <= V(37) |f0| for steps of scaled length up to V(36)
    SOLVER_FALSE_CONVERGED = 8,       // a trial giving at most 10% of its predicted reduction with RELDX <= V(34),
                                      // and a central-difference model at the end still predicting progress
    SOLVER_EVAL_LIMIT = 9,            // IV(6) >= IV(17) before a step is computed
    SOLVER_ITER_LIMIT = 10,           // IV(31) >= IV(18) at the top of an iteration
    SOLVER_STOPPED = 11,              // Cancel (residual routine returned nf < 0)
    SOLVER_FRESH_START = 12,          // left by the defaults routine
    SOLVER_BAD_START = 13,            // f cannot be computed at the initial x
    SOLVER_BAD_SETTINGS = 14,         // a setting out of range, n < p, or IV(1) not 12 at the call
    SOLVER_JACOBIAN_FAILED = 15,      // Jacobian could not be computed
    SOLVER_REALS_TOO_SMALL = 16,      // real array too small
    SOLVER_INTS_TOO_SMALL = 17,       // integer array too small
    SOLVER_BAD_SELECTOR = 67,         // defaults routine called with a selector outside 1 .. 4
};

// Array lengths: 4p + 100 ints and p(n + 2p + 21) + 2n + 200 doubles.
int solverIntsLength(int p);
long solverRealsLength(int n, int p);

// Defaults for algorithm selector alg (1 = regression) into iv and v; IV(1) = 12 on
// success, 67 for a bad selector, 17 / 16 when ivLength / vLength is below the minimum
// for any problem (the solve checks the real lengths against n and p).
void solverDefaults(int alg, int* iv, int ivLength, double* v, long vLength);

// The system's settings, applied after the defaults before every solve: no printing,
// IV(18) = iterationLimit, IV(17) = 100 * iterationLimit or 16000 when that is below
// 20000, V(32) = tolerance, IV(15) = covarianceCode.
void solverApplySettings(int* iv, double* v, int iterationLimit, double tolerance, int covarianceCode);

// Unbounded solve from x (p values; overwritten by the best point found). Requires
// IV(1) = 12 (fresh defaults) and n >= p (else IV(1) = 14). Forces the covariance
// request to -|IV(15)|.
void solverSolve(int n, int p, double* x, const SolverCallbacks& callbacks,
                 int* iv, int ivLength, double* v, long vLength);

// Simple-bounds solve: bounds holds p pairs (lower, upper); lower >= upper fixes the
// parameter at lower. x is moved into the box first. Never computes a covariance.
void solverSolveBounded(int n, int p, double* x, const double* bounds, const SolverCallbacks& callbacks,
                        int* iv, int ivLength, double* v, long vLength);

// Covariance hand-over: returns IV(26) (> 0 available, 0 not computed, -1 singular) and
// fills covariance (p x p, row-major, symmetric) from the packed lower triangle at
// V(IV(26)), or with zeros when no matrix is available.
int solverCovariance(int p, const int* iv, const double* v, double* covariance);

// A second thread's services. post hands task(argument) to the thread and returns true
// when it was taken over (the caller then calls collect before it reads what the task
// writes); false means the caller runs the task itself. collect waits for the posted
// task, or withdraws it when the thread has not begun it and returns false (the caller
// then runs what it still needs). Tasks may post as well: post must turn down a call
// from the helper thread itself.
struct SolverHelper {
    bool (*post)(void (*task)(void* argument), void* argument);
    bool (*collect)();
};

// Offers the helper to every later solve and to the tall loops of the linear algebra;
// null posts nothing (the default): everything runs on the calling thread.
void solverSetHelper(const SolverHelper* helper);
