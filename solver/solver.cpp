// The solver's entry points after Dennis, Gay and Welsch, "An adaptive nonlinear
// least-squares algorithm" (ACM TOMS 7, 1981): the array lengths, the defaults and the
// system's settings, the checks made before a solve, the two solve routines (which move
// the start into the bounds and hand over to the iteration), and the helper thread
// offered by the caller. The iteration is in solvercore.cpp, the Jacobians in
// solverjacobian.cpp, the trust-region steps in solverstep.cpp, the dense algebra in
// solverlinalg.cpp, the covariance in solvercovariance.cpp.
#include "solver/solver.h"
#include "solver/solvercore.h"
#include "solver/solverint.h"

#include <cfloat>
#include <cmath>

namespace {

constexpr double MACHEP = DBL_EPSILON;

// Wanted lengths of the integer and real arrays independent of n and p.
constexpr int IV_MINIMUM = 100;
constexpr long V_MINIMUM = 200;

// The helper offered by the caller; empty: every task runs on the calling thread.
SolverHelper helper = {nullptr, nullptr};

double clampToBounds(double value, double lower, double upper)
{
    if (value < lower) return lower;
    if (value > upper) return upper;
    return value;
}

}  // namespace

int solverIntsLength(int p) { return 4 * p + 100; }

long solverRealsLength(int n, int p) { return (long)p * (n + 2L * p + 21) + 2L * n + 200; }

// Defaults of the regression algorithm (selector 1); selectors 2 .. 4 get the same values.
void solverDefaults(int alg, int* iv, int ivLength, double* v, long vLength)
{
    if (alg < 1 || alg > 4) { if (ivLength >= 1) iv[IV_RETURN_CODE] = SOLVER_BAD_SELECTOR; return; }
    if (ivLength < IV_MINIMUM) { if (ivLength >= 1) iv[IV_RETURN_CODE] = SOLVER_INTS_TOO_SMALL; return; }
    if (vLength < V_MINIMUM) { iv[IV_RETURN_CODE] = SOLVER_REALS_TOO_SMALL; return; }
    for (int i = 0; i < ivLength && i < IV_MINIMUM; ++i) iv[i] = 0;
    for (long i = 0; i < V_MINIMUM; ++i) v[i] = 0.0;
    iv[IV_RETURN_CODE] = SOLVER_FRESH_START;
    iv[IV_COV_PRINT] = 3;
    iv[IV_COV_REQUEST] = 1;
    iv[IV_SCALE_TYPE] = 1;
    iv[IV_EVAL_LIMIT] = 200;
    iv[IV_ITER_LIMIT] = 150;
    iv[IV_SUMMARY_PRINT] = 1;
    iv[IV_PARAM_PRINT] = 1;
    iv[IV_SOLUTION_PRINT] = 1;
    iv[IV_STATS_PRINT] = 1;
    iv[IV_INITX_PRINT] = 1;
    iv[IV_INIT] = 0;
    iv[IV_COVARIANCE] = 0;
    iv[IV_NITER] = 0;
    iv[IV_DIAGNOSTICS] = 3;

    v[V_EPSLON] = 0.1;
    v[V_PHMNFC] = -0.1;
    v[V_PHMXFC] = 0.1;
    v[V_DECFAC] = 0.5;
    v[V_INCFAC] = 2.0;
    v[V_RDFCMN] = 0.1;
    v[V_RDFCMX] = 4.0;
    v[V_TUNER1] = 0.1;
    v[V_TUNER2] = 1e-4;
    v[V_TUNER3] = 0.75;
    v[V_TUNER4] = 0.5;
    v[V_TUNER5] = 0.75;
    v[V_AFCTOL] = MACHEP > 1e-10 ? MACHEP * MACHEP : 1e-20;
    v[V_RFCTOL] = std::fmax(1e-10, std::pow(MACHEP, 2.0 / 3.0));
    v[V_XCTOL] = std::sqrt(MACHEP);
    v[V_XFTOL] = 100.0 * MACHEP;
    v[V_LMAX0] = 1.0;
    v[V_LMAXS] = 1.0;
    v[V_SCTOL] = v[V_RFCTOL];
    v[V_DINIT] = 0.0;
    v[V_DTINIT] = 1e-6;
    v[V_D0INIT] = 1.0;
    v[V_DFAC] = 0.6;
    v[V_DLTFDC] = std::cbrt(MACHEP);
    v[V_DLTFDJ] = std::sqrt(MACHEP);
    v[V_DELTA0] = std::sqrt(MACHEP);
    v[V_FUZZ] = 1.5;
    v[V_RLIMIT] = std::sqrt(DBL_MAX / 256.0) * 16.0;
    v[V_COSMIN] = std::fmax(1e-6, 100.0 * MACHEP);
    v[V_HUBERC] = 0.7;
    v[V_RSPTOL] = 1e-3;
    v[V_SIGMIN] = 1e-4;
}

void solverApplySettings(int* iv, double* v, int iterationLimit, double tolerance, int covarianceCode)
{
    iv[IV_COV_REQUEST] = covarianceCode;
    iv[IV_COV_PRINT] = 0;
    iv[IV_SUMMARY_PRINT] = 0;
    iv[IV_PARAM_PRINT] = 0;
    iv[IV_SOLUTION_PRINT] = 0;
    iv[IV_STATS_PRINT] = 0;
    iv[IV_INITX_PRINT] = 0;
    iv[IV_ITER_LIMIT] = iterationLimit;
    long limit = 100L * iterationLimit;
    if (limit < 20000) limit = 16000;
    if (limit > 2000000000L) limit = 2000000000L;
    iv[IV_EVAL_LIMIT] = (int)limit;
    v[V_RFCTOL] = tolerance;
}

// Range checks of the settings a caller may change; returns the 0-based position of the
// first bad one, or -1.
static int checkSettings(const int* iv, const double* v)
{
    if (!(v[V_RFCTOL] >= MACHEP && v[V_RFCTOL] <= 0.1)) return V_RFCTOL;
    if (!(v[V_AFCTOL] >= 0.0 && v[V_AFCTOL] <= 1.0)) return V_AFCTOL;
    if (!(v[V_XCTOL] >= 0.0 && v[V_XCTOL] <= 1.0)) return V_XCTOL;
    if (!(v[V_XFTOL] >= 0.0 && v[V_XFTOL] <= 1.0)) return V_XFTOL;
    if (!(v[V_SCTOL] >= 0.0 && v[V_SCTOL] <= 1.0)) return V_SCTOL;
    if (!(v[V_FUZZ] >= 1.01 && v[V_FUZZ] <= 1e10)) return V_FUZZ;
    if (!(v[V_DLTFDJ] > 0.0 && v[V_DLTFDJ] <= 1.0)) return V_DLTFDJ;
    if (!(v[V_LMAX0] > 0.0) || !(v[V_LMAXS] > 0.0)) return V_LMAX0;
    if (!(v[V_DINIT] >= 0.0)) return V_DINIT;
    if (iv[IV_ITER_LIMIT] < 0 || iv[IV_EVAL_LIMIT] < 1) return IV_ITER_LIMIT;
    return -1;
}

static void solveCommon(int n, int p, double* x, const double* bounds, const SolverCallbacks& callbacks,
                        int* iv, int ivLength, double* v, long vLength)
{
    if (iv[IV_RETURN_CODE] != SOLVER_FRESH_START) { iv[IV_RETURN_CODE] = SOLVER_BAD_SETTINGS; return; }
    iv[IV_COVARIANCE] = 0;
    iv[IV_NITER] = 0;
    if (n < 1 || p < 1 || n < p || callbacks.residuals == nullptr || checkSettings(iv, v) >= 0) {
        iv[IV_RETURN_CODE] = SOLVER_BAD_SETTINGS;
        return;
    }
    if (ivLength < solverIntsLength(p)) { iv[IV_RETURN_CODE] = SOLVER_INTS_TOO_SMALL; return; }
    if (vLength < solverRealsLength(n, p) || coreRealsNeeded(n, p) > vLength) {
        iv[IV_RETURN_CODE] = SOLVER_REALS_TOO_SMALL;
        return;
    }
    coreSolve(n, p, x, bounds, callbacks, iv, v);
}

void solverSolve(int n, int p, double* x, const SolverCallbacks& callbacks,
                 int* iv, int ivLength, double* v, long vLength)
{
    if (iv[IV_COV_REQUEST] > 0) iv[IV_COV_REQUEST] = -iv[IV_COV_REQUEST];
    solveCommon(n, p, x, nullptr, callbacks, iv, ivLength, v, vLength);
}

void solverSolveBounded(int n, int p, double* x, const double* bounds, const SolverCallbacks& callbacks,
                        int* iv, int ivLength, double* v, long vLength)
{
    iv[IV_COV_REQUEST] = 0;
    for (int k = 0; k < p; ++k) {
        double lower = bounds[2 * k], upper = bounds[2 * k + 1];
        x[k] = lower >= upper ? lower : clampToBounds(x[k], lower, upper);
    }
    solveCommon(n, p, x, bounds, callbacks, iv, ivLength, v, vLength);
}

void solverSetHelper(const SolverHelper* offered)
{
    helper = offered ? *offered : SolverHelper{nullptr, nullptr};
}

bool solverHelperPost(void (*task)(void* argument), void* argument)
{
    return helper.post != nullptr && helper.post(task, argument);
}

bool solverHelperCollect()
{
    return helper.collect != nullptr && helper.collect();
}
