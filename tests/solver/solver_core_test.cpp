// Behaviour of one solve: back-off from uncomputable points, Cancel, the limits, the
// finite-difference retries, the progress hook and the covariance.
#include "solver/solver.h"
#include "solver/solvercore.h"
#include "solver/solverint.h"
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

// The singularity test and the matrix follow each parameter's units: the well-posed
// factor above with its columns in other units (a parameter of 1e-21 beside one of 1)
// gives the same matrix in those units, (R S)^-1 (R S)^-T = S^-1 (R^T R)^-1 S^-1, and a
// dependent pair of columns stays singular whatever their units.
TEST(SolverCore, CovarianceFollowsTheColumnsUnits)
{
    const double good[9] = {2, 0, 0, 1, 1, 0, 0, 1, 4};            // column-major R
    double reference[6], full[9], column[3], rcond = 0.0;
    ASSERT_TRUE(covarianceFromFactor(3, good, 3, 2.0, reference, full, column, &rcond));
    const double unitsOfColumns[][3] = {{1, 1e21, 1}, {1e-21, 1, 1e15}, {1e-100, 1, 3e100}};
    for (const auto& units : unitsOfColumns) {
        double scaled[9], out[6];
        for (int j = 0; j < 3; ++j)
            for (int i = 0; i < 3; ++i) scaled[j * 3 + i] = good[j * 3 + i] * units[j];
        ASSERT_TRUE(covarianceFromFactor(3, scaled, 3, 2.0, out, full, column, &rcond)) << units[0] << " " << units[2];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j <= i; ++j) {
                const double expected = reference[packedIndex(i, j)] / (units[i] * units[j]);
                EXPECT_NEAR(out[packedIndex(i, j)], expected, 1e-13 * std::fabs(expected)) << i << j;
            }
    }
    // second column = 1e21 times the first: dependent in any units
    const double dependent[9] = {2, 0, 0, 2e21, 0, 0, 0, 1, 4};
    double out[6];
    EXPECT_FALSE(covarianceFromFactor(3, dependent, 3, 1.0, out, full, column, &rcond));
}

// Codes of the solves that end without a proper convergence, with the point where they
// end:
// - redundant parameters, (b1 + b2) x on the DanWood data: the difference columns agree
//   only to their rounding, so the model keeps promising a reduction along b1 - b2 that
//   f never shows; the central-difference model at the end finds no reduction for a unit
//   step: singular convergence at the least-squares value of b1 + b2 (as the reference
//   runs of the published algorithm end);
// - a parameter the residuals do not depend on: a zero column, no Newton step, singular;
// - a residual with a jump at its minimum (r = x for x >= 1, r = 3 - x below): every step
//   across x = 1 fails though the slope stays 1: false convergence at x = 1.
namespace {

void redundantResiduals(int n, int, const double* x, int*, double* r, void* context)
{
    const NistProblem& danwood = *static_cast<const NistProblem*>(context);
    for (int i = 0; i < n; ++i) r[i] = (x[0] + x[1]) * danwood.x1[i] - danwood.y[i];
}

void unusedParameterResiduals(int n, int, const double* x, int*, double* r, void* context)
{
    const NistProblem& danwood = *static_cast<const NistProblem*>(context);
    for (int i = 0; i < n; ++i) r[i] = x[0] * danwood.x1[i] - danwood.y[i];
}

void jumpResiduals(int, int, const double* x, int*, double* r, void*)
{
    r[0] = x[0] >= 1.0 ? x[0] : 3.0 - x[0];
}

}  // namespace

TEST(SolverCore, SingularAndFalseConvergenceCodes)
{
    struct Case {
        const char* name;
        SolverResiduals residuals;
        int n, p;
        std::vector<double> start;
        int code;
    };
    const Case cases[] = {
        {"redundant", redundantResiduals, 6, 2, {1.0, 1.0}, SOLVER_SINGULAR_CONVERGED},
        {"redundant, apart", redundantResiduals, 6, 2, {0.5, 1.0}, SOLVER_SINGULAR_CONVERGED},
        {"unused parameter", unusedParameterResiduals, 6, 2, {1.0, 7.0}, SOLVER_SINGULAR_CONVERGED},
        {"jump", jumpResiduals, 1, 1, {5.0}, SOLVER_FALSE_CONVERGED},
    };
    NistProblem danwood;
    ASSERT_TRUE(nistLoad(sourceDir() + "/tests/data/nist", "DanWood", danwood));
    // least-squares slope of y = c x
    double xy = 0.0, xx = 0.0;
    for (size_t i = 0; i < danwood.y.size(); ++i) {
        xy += danwood.x1[i] * danwood.y[i];
        xx += danwood.x1[i] * danwood.x1[i];
    }
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        Solve s(tc.n, tc.p, tc.start);
        EXPECT_EQ(s.run(tc.residuals, &danwood), tc.code);
        EXPECT_EQ(s.iv[IV_COVARIANCE], 0);
        EXPECT_DOUBLE_EQ(s.v[V_F], s.fAt(tc.residuals, &danwood));
        if (tc.residuals == redundantResiduals) {
            EXPECT_NEAR(s.x[0] + s.x[1], xy / xx, 1e-6 * xy / xx);
        }
        if (tc.residuals == unusedParameterResiduals) {
            EXPECT_NEAR(s.x[0], xy / xx, 1e-6 * xy / xx);
            EXPECT_EQ(s.x[1], 7.0);
        }
        if (tc.residuals == jumpResiduals) {
            EXPECT_NEAR(s.x[0], 1.0, 1e-12);
        }
    }
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

// Trust-radius decisions under a scripted series of accepted and rejected trials, on
// r(x) = x - 100 from x = 0. The column of J is 1, so d = 1 and ||D s|| = |s|, and the
// model is exact: a trial reduces f as predicted unless the script makes the residual
// routine refuse it (nf = 0) or answer r = 1000 (f increases). Each trial step must be
// the given multiple of an earlier trial's step, within the window 0.9 ... 1.1 in which a
// step meets its radius.
namespace {

struct RadiusScript {
    std::vector<int> refused;           // trials (0-based) answered with nf = 0
    std::vector<int> increased;         // trials answered with r = 1000
    std::vector<double> seen;           // start point and trial points
    std::vector<double> bases;          // for each trial, the accepted point it was made from
    double base = 0.0;                  // accepted point
};

// A point within 1e-6 of one seen before is a difference point: the Jacobian is formed
// where the solve stands, so that point is the accepted one.
void radiusResiduals(int, int, const double* x, int* nf, double* r, void* context)
{
    RadiusScript& s = *static_cast<RadiusScript*>(context);
    for (double point : s.seen)
        if (std::fabs(x[0] - point) <= 1e-6 * std::fmax(1.0, std::fabs(point))) {
            s.base = point;
            r[0] = x[0] - 100.0;
            return;
        }
    int trial = (int)s.seen.size() - 1;
    s.seen.push_back(x[0]);
    if (trial >= 0) s.bases.push_back(s.base);
    auto listed = [trial](const std::vector<int>& list) {
        for (int k : list) if (k == trial) return true;
        return false;
    };
    if (listed(s.refused)) { *nf = 0; return; }
    r[0] = listed(s.increased) ? 1000.0 : x[0] - 100.0;
}

struct RadiusRule {
    int of;             // earlier trial (-1: the initial radius 1/1.1)
    double factor;      // this step / that step
};

struct RadiusCase {
    const char* name;
    std::vector<int> refused, increased;
    std::vector<RadiusRule> rules;      // one per trial, in order (later trials unchecked)
};

}  // namespace

TEST(SolverCore, TrustRadiusFollowsTheScriptedTrials)
{
    const RadiusCase cases[] = {
        // very good steps far from the Newton step: the step is recomputed at 4 times the
        // radius, three times; then the Newton step reaches x = 100
        {"enlarge", {}, {}, {{-1, 1.0}, {0, 4.0}, {1, 4.0}, {2, 4.0}}},
        // the second enlargement cannot be computed: the saved trial is taken, and the
        // next iteration starts from it at that trial's radius (4 times the first step)
        {"uncomputable after enlarging", {2}, {}, {{-1, 1.0}, {0, 4.0}, {1, 4.0}, {0, 4.0}}},
        // the third enlargement increases f: the saved trial is taken; the next iteration
        // doubles its step (the gradient test of an exact model passes); that trial
        // increases f too, and the radius shrinks by the quadratic-interpolation factor,
        // here at its floor 0.1
        {"increase", {}, {3, 4}, {{-1, 1.0}, {0, 4.0}, {1, 4.0}, {2, 4.0}, {2, 2.0}, {4, 0.1}}},
        // as before, but the doubled step cannot be computed: the step is halved
        {"uncomputable", {4}, {3}, {{-1, 1.0}, {0, 4.0}, {1, 4.0}, {2, 4.0}, {2, 2.0}, {4, 0.5}}},
    };
    for (const RadiusCase& rc : cases) {
        SCOPED_TRACE(rc.name);
        RadiusScript script;
        script.refused = rc.refused;
        script.increased = rc.increased;
        Solve s(1, 1, {0.0});
        s.run(radiusResiduals, &script);
        ASSERT_GE(script.bases.size(), rc.rules.size());
        auto step = [&](int k) { return std::fabs(script.seen[k + 1] - script.bases[k]); };
        for (size_t k = 0; k < rc.rules.size(); ++k) {
            const RadiusRule& rule = rc.rules[k];
            double earlier = rule.of < 0 ? 1.0 / 1.1 : step(rule.of);
            EXPECT_GE(step((int)k), 0.9 * rule.factor * earlier) << "trial " << k;
            EXPECT_LE(step((int)k), 1.1 * rule.factor * earlier) << "trial " << k;
        }
        EXPECT_TRUE(converged(s.iv[IV_RETURN_CODE])) << "code " << s.iv[IV_RETURN_CODE];
        EXPECT_EQ(s.x[0], 100.0);
    }
}
