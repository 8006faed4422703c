// Behaviour of one solve: back-off from uncomputable points, Cancel, the limits, the
// finite-difference retries, the progress hook and the covariance.
#include "analysis/solver.h"
#include "analysis/solvercore.h"
#include "nist_models.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// y = b1 * exp(-b2 * t) sampled without noise at b = (2, 0.3) plus a small wiggle, so the
// solution is near (2, 0.3). The residual routine can refuse points and count calls.
struct ExpProblem {
    std::vector<double> t, y;
    int calls = 0;                      // residual evaluations
    int refused = 0;                    // evaluations answered with nf = 0
    double refuseAbove = INFINITY;      // b2 above this cannot be computed
    double refuseBelow = -INFINITY;     // nor below this
    bool nanInsteadOfRefuse = false;    // answer with a NaN residual instead of nf = 0
    int cancelAtCall = 0;               // return nf = -1 from this call on (0: never)
    std::vector<std::vector<double>> points;    // every x seen
    ExpProblem()
    {
        for (int i = 0; i < 12; ++i) {
            t.push_back(0.5 * i);
            y.push_back(2.0 * std::exp(-0.3 * 0.5 * i) + (i % 3 == 0 ? 1e-3 : -5e-4));
        }
    }
};

void expResiduals(int n, int p, const double* x, int* nf, double* r, void* context)
{
    ExpProblem& e = *static_cast<ExpProblem*>(context);
    e.calls += 1;
    e.points.emplace_back(x, x + p);
    if (e.cancelAtCall > 0 && e.calls >= e.cancelAtCall) { *nf = -1; return; }
    if (x[1] > e.refuseAbove || x[1] < e.refuseBelow) {
        e.refused += 1;
        if (e.nanInsteadOfRefuse) { for (int i = 0; i < n; ++i) r[i] = NAN; return; }
        *nf = 0;
        return;
    }
    for (int i = 0; i < n; ++i) r[i] = x[0] * std::exp(-x[1] * e.t[i]) - e.y[i];
}

struct Solve {
    std::vector<int> iv;
    std::vector<double> v;
    std::vector<double> x;
    int n, p;
    Solve(int n_, int p_, std::vector<double> start, int iterations = 500)
        : iv(solverIntsLength(p_)), v(solverRealsLength(n_, p_)), x(std::move(start)), n(n_), p(p_)
    {
        solverDefaults(1, iv.data(), (int)iv.size(), v.data(), (long)v.size());
        solverApplySettings(iv.data(), v.data(), iterations, 1e-10, -3);
    }
    int run(SolverResiduals residuals, void* context, SolverProgress progress = nullptr)
    {
        SolverCallbacks callbacks{residuals, progress, context};
        solverSolve(n, p, x.data(), callbacks, iv.data(), (int)iv.size(), v.data(), (long)v.size());
        return iv[IV_RETURN_CODE];
    }
    double fAt(SolverResiduals residuals, void* context)
    {
        std::vector<double> r(n);
        int nf = 1;
        residuals(n, p, x.data(), &nf, r.data(), context);
        double sum = 0.0;
        for (double ri : r) sum += ri * ri;
        return 0.5 * sum;
    }
};

bool converged(int code) { return code >= SOLVER_X_CONVERGED && code <= SOLVER_ABSOLUTE_CONVERGED; }

}  // namespace

TEST(SolverCore, ConvergesOnSmoothProblem)
{
    ExpProblem e;
    Solve s(12, 2, {1.0, 1.0});
    EXPECT_TRUE(converged(s.run(expResiduals, &e)));
    EXPECT_NEAR(s.x[0], 2.0, 1e-2);
    EXPECT_NEAR(s.x[1], 0.3, 1e-2);
    EXPECT_DOUBLE_EQ(s.v[V_F], s.fAt(expResiduals, &e));
    EXPECT_GT(s.iv[IV_COVARIANCE], 0);
}

// Points below b2 = 0.29 cannot be computed; the first Gauss-Newton steps from the start
// overshoot the solution near 0.3 into that region.
TEST(SolverCore, UncomputablePointsShrinkTheStep)
{
    for (bool useNan : {false, true}) {
        ExpProblem e;
        e.refuseBelow = 0.29;
        e.nanInsteadOfRefuse = useNan;
        Solve s(12, 2, {6.0, 1.5});
        int code = s.run(expResiduals, &e);
        EXPECT_TRUE(converged(code)) << "code " << code << (useNan ? " (NaN)" : " (nf = 0)");
        EXPECT_GT(e.refused, 0);
        EXPECT_NEAR(s.x[1], 0.3, 1e-2);
        EXPECT_GE(s.x[1], 0.29);
    }
}

TEST(SolverCore, UncomputableStartIsCodeThirteen)
{
    ExpProblem e;
    e.refuseAbove = 0.0;
    Solve s(12, 2, {1.0, 1.0});
    EXPECT_EQ(s.run(expResiduals, &e), SOLVER_BAD_START);
    EXPECT_EQ(solverStopCode(s.iv[IV_RETURN_CODE]), -2);
    EXPECT_EQ(e.calls, 1);
}

// Cancel during the first Jacobian (call 3 perturbs b2) and during a later trial: the
// solver returns at once and x holds an evaluated point, never a perturbed one.
TEST(SolverCore, CancelReturnsAtOnce)
{
    for (int cancelAt : {3, 9}) {
        ExpProblem e;
        e.cancelAtCall = cancelAt;
        Solve s(12, 2, {1.0, 1.0});
        s.run(expResiduals, &e);
        EXPECT_EQ(s.iv[IV_RETURN_CODE], SOLVER_STOPPED);
        EXPECT_EQ(e.calls, cancelAt);
        if (cancelAt == 3) {
            EXPECT_EQ(s.x[0], 1.0);
            EXPECT_EQ(s.x[1], 1.0);
        }
        bool seen = false;
        for (int i = 0; i < cancelAt - 1; ++i) seen = seen || e.points[i] == s.x;
        EXPECT_TRUE(seen) << "cancel at " << cancelAt;
    }
}

TEST(SolverCore, IterationLimit)
{
    NistProblem problem;
    ASSERT_TRUE(nistLoad(sourceDir() + "/tests/data/nist", "MGH09", problem));
    Solve s((int)problem.y.size(), problem.p, problem.start1, 3);
    EXPECT_EQ(s.run(nistResiduals, &problem), SOLVER_ITER_LIMIT);
    EXPECT_EQ(solverStopCode(s.iv[IV_RETURN_CODE]), -1);
    EXPECT_EQ(s.iv[IV_NITER], 3);
    EXPECT_DOUBLE_EQ(s.v[V_F], s.fAt(nistResiduals, &problem));
    EXPECT_EQ(s.iv[IV_COVARIANCE], 0);
}

TEST(SolverCore, EvaluationLimit)
{
    NistProblem problem;
    ASSERT_TRUE(nistLoad(sourceDir() + "/tests/data/nist", "MGH09", problem));
    Solve s((int)problem.y.size(), problem.p, problem.start1);
    s.iv[IV_EVAL_LIMIT] = 6;
    EXPECT_EQ(s.run(nistResiduals, &problem), SOLVER_EVAL_LIMIT);
    EXPECT_EQ(solverStopCode(s.iv[IV_RETURN_CODE]), -6);
    EXPECT_EQ(s.iv[IV_NFCALL], 6);
    EXPECT_DOUBLE_EQ(s.v[V_F], s.fAt(nistResiduals, &problem));
    EXPECT_EQ(s.iv[IV_COVARIANCE], 0);
}

// At b2 = 0.6 exactly every b2 + h is refused: the column comes from the step -h0/2.
TEST(SolverCore, JacobianRetriesOnTheOtherSide)
{
    ExpProblem e;
    e.refuseAbove = 0.6;
    Solve s(12, 2, {1.0, 0.6});
    int code = s.run(expResiduals, &e);
    EXPECT_TRUE(converged(code)) << "code " << code;
    // calls: start, b1 + h, b2 + h0 (refused), b2 - h0/2
    ASSERT_GE(e.points.size(), 4u);
    double h0 = s.v[V_DLTFDJ] * 1.0;    // max(|0.6|, 1/d) with d = 1 before the first Jacobian
    EXPECT_DOUBLE_EQ(e.points[2][1], 0.6 + h0);
    EXPECT_DOUBLE_EQ(e.points[3][1], 0.6 - h0 / 2);
    EXPECT_EQ(e.points[3][0], 1.0);
}

TEST(SolverCore, JacobianThatCannotBeFormed)
{
    // every point with b2 moved from 1 fails after the start: no column for b2
    struct Always {
        static void residuals(int n, int p, const double* x, int* nf, double* r, void* context)
        {
            int& calls = *static_cast<int*>(context);
            calls += 1;
            if (calls > 1 && x[1] != 1.0) { *nf = 0; return; }
            for (int i = 0; i < n; ++i) r[i] = x[0] + x[1] * i - i;
        }
    };
    int calls = 0;
    Solve s(5, 2, {0.5, 1.0});
    EXPECT_EQ(s.run(Always::residuals, &calls), SOLVER_JACOBIAN_FAILED);
    EXPECT_EQ(solverStopCode(s.iv[IV_RETURN_CODE]), -4);
    EXPECT_EQ(calls, 1 + 1 + 4);    // start, b1 column, four tries for b2
}

TEST(SolverCore, ProgressHookSeesEveryIteration)
{
    struct Log {
        std::vector<int> iterations;
        std::vector<double> values;
        static void hook(int iteration, double f, void* context)
        {
            Log& log = *static_cast<Log*>(static_cast<std::pair<ExpProblem*, Log*>*>(context)->second);
            log.iterations.push_back(iteration);
            log.values.push_back(f);
        }
        static void residuals(int n, int p, const double* x, int* nf, double* r, void* context)
        {
            expResiduals(n, p, x, nf, r, static_cast<std::pair<ExpProblem*, Log*>*>(context)->first);
        }
    };
    ExpProblem e;
    Log log;
    std::pair<ExpProblem*, Log*> both{&e, &log};
    Solve s(12, 2, {1.0, 1.0});
    s.run(Log::residuals, &both, Log::hook);
    ASSERT_GE(log.iterations.size(), 3u);
    EXPECT_EQ(log.iterations.front(), 0);
    EXPECT_EQ(log.iterations.back(), s.iv[IV_NITER]);
    for (size_t i = 1; i < log.values.size(); ++i) EXPECT_LE(log.values[i], log.values[i - 1]);
    EXPECT_EQ(log.values.back(), s.v[V_F]);
}

// sigma^2 (J^T J)^-1 against an independent computation with the analytic Jacobian.
TEST(SolverCore, CovarianceMatchesIndependentFormula)
{
    NistProblem problem;
    ASSERT_TRUE(nistLoad(sourceDir() + "/tests/data/nist", "Misra1a", problem));
    int n = (int)problem.y.size();
    Solve s(n, 2, problem.start2);
    ASSERT_TRUE(converged(s.run(nistResiduals, &problem)));
    std::vector<double> cov(4);
    ASSERT_GT(solverCovariance(2, s.iv.data(), s.v.data(), cov.data()), 0);
    double a = 0, b = 0, c = 0, ss = 0;
    for (int i = 0; i < n; ++i) {
        double x = problem.x1[i];
        double e = std::exp(-s.x[1] * x);
        double j1 = 1.0 - e, j2 = s.x[0] * x * e;
        a += j1 * j1; b += j1 * j2; c += j2 * j2;
        double r = s.x[0] * (1.0 - e) - problem.y[i];
        ss += r * r;
    }
    double sigma2 = ss / (n - 2), det = a * c - b * b;
    EXPECT_NEAR(cov[0], sigma2 * c / det, 1e-5 * sigma2 * c / det);
    EXPECT_NEAR(cov[3], sigma2 * a / det, 1e-5 * sigma2 * a / det);
    EXPECT_NEAR(cov[1], -sigma2 * b / det, 1e-5 * std::fabs(sigma2 * b / det));
    EXPECT_EQ(cov[1], cov[2]);
    // the packed lower triangle sits at V(IV(26)) by rows
    const double* packed = s.v.data() + s.iv[IV_COVARIANCE] - 1;
    EXPECT_EQ(packed[0], cov[0]);
    EXPECT_EQ(packed[1], cov[2]);
    EXPECT_EQ(packed[2], cov[3]);
}

TEST(SolverCore, CovarianceNotRequested)
{
    ExpProblem e;
    Solve s(12, 2, {1.0, 1.0});
    s.iv[IV_COV_REQUEST] = 0;
    EXPECT_TRUE(converged(s.run(expResiduals, &e)));
    EXPECT_EQ(s.iv[IV_COVARIANCE], 0);
    std::vector<double> cov(4, 7.0);
    EXPECT_EQ(solverCovariance(2, s.iv.data(), s.v.data(), cov.data()), 0);
    for (double value : cov) EXPECT_EQ(value, 0.0);
}

// n = p: sigma^2 divides by max(1, n - p) = 1.
TEST(SolverCore, CovarianceWithAsManyObservationsAsParameters)
{
    struct Square {
        static void residuals(int n, int p, const double* x, int* nf, double* r, void*)
        {
            r[0] = x[0] * x[0] - 4.0;
            r[1] = x[0] + x[1] - 1.0;
        }
    };
    Solve s(2, 2, {1.0, 1.0});
    EXPECT_TRUE(converged(s.run(Square::residuals, nullptr)));
    EXPECT_NEAR(s.x[0], 2.0, 1e-8);
    EXPECT_NEAR(s.x[1], -1.0, 1e-8);
}

// A factor with an exactly dependent column is singular; a well-conditioned one is not.
TEST(SolverCore, CovarianceSingularityTest)
{
    double out[6], full[9], column[3], rcond = 0.0;
    const double dependent[9] = {2, 0, 0, 4, 0, 0, 1, 1, 3};       // column-major R, R_22 = 0
    EXPECT_FALSE(covarianceFromFactor(3, dependent, 3, 1.0, out, full, column, &rcond));
    const double nearly[9] = {1, 0, 0, 1, 1e-17, 0, 0, 0, 1};       // ratio below MACHEP
    EXPECT_FALSE(covarianceFromFactor(3, nearly, 3, 1.0, out, full, column, &rcond));
    const double good[9] = {2, 0, 0, 1, 1, 0, 0, 1, 4};
    ASSERT_TRUE(covarianceFromFactor(3, good, 3, 2.0, out, full, column, &rcond));
    // (R^T R)^-1 R^T R = I checked on the (0,0) entry: R^-1 = [[.5,-.5,.125],[0,1,-.25],[0,0,.25]]
    EXPECT_NEAR(out[0], 2.0 * (0.25 + 0.25 + 0.015625), 1e-14);
    EXPECT_NEAR(out[5], 2.0 * 0.0625, 1e-14);
}

// Redundant parameters: (b1 + b2) x. The solve must not report a proper convergence
// with a covariance matrix.
TEST(SolverCore, RedundantParameters)
{
    struct Redundant {
        static void residuals(int n, int p, const double* x, int* nf, double* r, void*)
        {
            for (int i = 0; i < n; ++i) r[i] = (x[0] + x[1]) * (i + 1) - 3.0 * (i + 1) - (i % 2 ? 0.01 : -0.01);
        }
    };
    Solve s(6, 2, {1.0, 1.0});
    int code = s.run(Redundant::residuals, nullptr);
    EXPECT_NEAR(s.x[0] + s.x[1], 3.0, 1e-3);
    EXPECT_LE(s.iv[IV_COVARIANCE], 0) << "code " << code;
}

// A straight line through large observed values, started at a = b = 1: the residuals
// are of the size of the data while the parameters are near one, so a difference step
// relative to the parameter alone is lost in rounding of the residuals, and the solution
// lies very many unit steps away. Every scale must reach the linear least-squares
// answer (a = 0.95 s, b = 2.04 s) with a convergence code. The last Newton correction
// (about 1e-8 relative) is below the rounding of f at scales 1 and 1e4, so a keeps
// about 7.9 digits there.
struct LineProblem {
    double scale;
};

void lineResiduals(int n, int, const double* x, int*, double* r, void* context)
{
    static const double ys[4] = {3.0, 5.1, 6.9, 9.2};
    double scale = static_cast<LineProblem*>(context)->scale;
    for (int i = 0; i < n; ++i) r[i] = x[0] + x[1] * (i + 1) - ys[i] * scale;
}

TEST(SolverCore, LargeObservedValuesConverge)
{
    for (double scale : {1.0, 1e4, 1e8, 1e12}) {
        SCOPED_TRACE(scale);
        LineProblem line{scale};
        Solve solve(4, 2, {1.0, 1.0});
        int code = solve.run(lineResiduals, &line);
        EXPECT_TRUE(converged(code)) << "code " << code;
        EXPECT_NEAR(solve.x[0], 0.95 * scale, 2e-8 * 0.95 * scale);
        EXPECT_NEAR(solve.x[1], 2.04 * scale, 1e-8 * 2.04 * scale);
        EXPECT_LT(solve.iv[IV_NFCALL], 60);

        // the bounded solve forms its differences the same way
        Solve bounded(4, 2, {1.0, 1.0});
        std::vector<double> box = {-1e14, 1e14, -1e14, 1e14};
        SolverCallbacks callbacks{lineResiduals, nullptr, &line};
        solverSolveBounded(4, 2, bounded.x.data(), box.data(), callbacks, bounded.iv.data(),
                           (int)bounded.iv.size(), bounded.v.data(), (long)bounded.v.size());
        EXPECT_TRUE(converged(bounded.iv[IV_RETURN_CODE])) << "code " << bounded.iv[IV_RETURN_CODE];
        EXPECT_NEAR(bounded.x[1], 2.04 * scale, 1e-8 * 2.04 * scale);
    }
}
