// Simple-bounds solves: active bounds at the solution, fixed parameters, feasibility of
// every evaluated point, inactive bounds reproducing the unbounded answer, and points that
// end a rounding error off a bound placed on it.
#include "solver/solver.h"
#include "solver/solverint.h"
#include "nist_models.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

namespace {

struct BoundsContext {
    const NistProblem* problem;     // model and data
    const double* bounds;           // box checked at every evaluation
    int outside = 0;                // evaluations at points outside the box
};

void boxedResiduals(int n, int p, const double* x, int* nf, double* r, void* context)
{
    BoundsContext& box = *static_cast<BoundsContext*>(context);
    for (int k = 0; k < p; ++k) {
        double lower = box.bounds[2 * k], upper = box.bounds[2 * k + 1];
        if (lower >= upper ? x[k] != lower : (x[k] < lower || x[k] > upper)) ++box.outside;
    }
    nistResiduals(n, p, x, nf, r, const_cast<NistProblem*>(box.problem));
}

struct BoundedCase {
    const char* problem;            // NIST problem
    int start;                      // starting point
    std::vector<double> bounds;     // (lower, upper) pairs
    std::vector<double> expected;   // expected parameters (NAN: certified value)
    double expectedSs;              // expected sum of squares (0: certified)
};

const double BIG = 1e50;

const BoundedCase CASES[] = {
    // upper bound active on b2
    {"Misra1a", 1, {-BIG, BIG, -BIG, 4e-4}, {NAN, 4e-4}, 4.6365159171},
    // upper bound active on b2, both parameters boxed
    {"BoxBOD", 1, {0.0, 1000.0, 0.0, 0.5}, {NAN, 0.5}, 1220.1080193},
    // start clipped into the box, certified answer inside it
    {"MGH09", 1, {0, 1, 0, 1, 0, 1, 0, 1}, {NAN, NAN, NAN, NAN}, 0.0},
    // b1 fixed by equal bounds
    {"Misra1a", 2, {240.0, 240.0, -BIG, BIG}, {240.0, 5.4733463338e-4}, 0.12611635862},
    // start on a bound with the solution inside: the variable must leave the bound
    {"Misra1a", 2, {-BIG, BIG, 5e-4, 1.0}, {NAN, NAN}, 0.0},
    // bounds far away: the unbounded answer
    {"Misra1a", 1, {-1e6, 1e6, -1.0, 1.0}, {NAN, NAN}, 0.0},
    {"Rat43", 2, {-BIG, BIG, -BIG, BIG, -BIG, BIG, -BIG, BIG}, {NAN, NAN, NAN, NAN}, 0.0},
};

}  // namespace

TEST(SolverBounds, AnchorsAndFeasibility)
{
    for (const BoundedCase& test : CASES) {
        SCOPED_TRACE(std::string(test.problem) + " start " + std::to_string(test.start));
        NistProblem problem;
        ASSERT_TRUE(nistLoad(sourceDir() + "/tests/data/nist", test.problem, problem));
        int n = (int)problem.y.size(), p = problem.p;
        std::vector<int> iv(solverIntsLength(p));
        std::vector<double> v(solverRealsLength(n, p));
        solverDefaults(1, iv.data(), (int)iv.size(), v.data(), (long)v.size());
        solverApplySettings(iv.data(), v.data(), 500, 1e-10, -3);
        std::vector<double> x = test.start == 1 ? problem.start1 : problem.start2;
        BoundsContext box{&problem, test.bounds.data()};
        SolverCallbacks callbacks{boxedResiduals, nullptr, &box};
        solverSolveBounded(n, p, x.data(), test.bounds.data(), callbacks, iv.data(), (int)iv.size(), v.data(),
                           (long)v.size());
        int code = iv[IV_RETURN_CODE];
        EXPECT_TRUE(code >= SOLVER_X_CONVERGED && code <= SOLVER_ABSOLUTE_CONVERGED) << "code " << code;
        EXPECT_EQ(box.outside, 0);
        for (int k = 0; k < p; ++k) {
            double want = std::isnan(test.expected[k]) ? problem.certified[k] : test.expected[k];
            double lower = test.bounds[2 * k], upper = test.bounds[2 * k + 1];
            if (want == lower || want == upper)
                EXPECT_EQ(x[k], want) << "parameter " << k;      // exactly on the bound
            else if (std::isnan(test.expected[k]) && test.expectedSs != 0.0)
                EXPECT_GE(x[k], lower);                          // free, value not given
            else
                EXPECT_GE(nistDigits(x[k], want), 5.0) << "parameter " << k << " = " << x[k];
        }
        double ss = test.expectedSs != 0.0 ? test.expectedSs : problem.certifiedSs;
        EXPECT_GE(nistDigits(2.0 * v[V_F], ss), 8.0) << "SS " << 2.0 * v[V_F];
        EXPECT_EQ(iv[IV_COVARIANCE], 0);                         // never a covariance with bounds
    }
}

// Every parameter fixed: nothing to fit; the solve ends properly at the fixed point.
TEST(SolverBounds, AllParametersFixed)
{
    NistProblem problem;
    ASSERT_TRUE(nistLoad(sourceDir() + "/tests/data/nist", "Misra1a", problem));
    int n = (int)problem.y.size(), p = problem.p;
    std::vector<int> iv(solverIntsLength(p));
    std::vector<double> v(solverRealsLength(n, p));
    solverDefaults(1, iv.data(), (int)iv.size(), v.data(), (long)v.size());
    solverApplySettings(iv.data(), v.data(), 500, 1e-10, -3);
    std::vector<double> bounds = {240.0, 240.0, 5e-4, 5e-4};
    std::vector<double> x = problem.start1;
    BoundsContext box{&problem, bounds.data()};
    SolverCallbacks callbacks{boxedResiduals, nullptr, &box};
    solverSolveBounded(n, p, x.data(), bounds.data(), callbacks, iv.data(), (int)iv.size(), v.data(),
                       (long)v.size());
    int code = iv[IV_RETURN_CODE];
    EXPECT_TRUE(code >= SOLVER_X_CONVERGED && code <= SOLVER_ABSOLUTE_CONVERGED) << "code " << code;
    EXPECT_EQ(x[0], 240.0);
    EXPECT_EQ(x[1], 5e-4);
    EXPECT_EQ(box.outside, 0);
}

// A step cut short to reach a bound (from + (room / step) * step) can end a rounding error
// inside it; the bounded point is then the bound itself, to the bit, at any scale. A point
// a real step short of the bound, or moving away from it, keeps its value.
TEST(SolverBounds, PointWithinRoundingOfABoundLiesOnIt)
{
    struct Truncated {
        double from, step, lower, upper;
        bool toLower;                       // the step heads for the lower bound
    };
    const Truncated truncated[] = {
        {0.03, -1.1, 0.0, BIG, true},
        {0.01, -5.1, 0.0, 1.0, true},
        {-3.87e-5, 3.107142857142857e-5, -BIG, -3.0e-5, false},
    };
    for (const Truncated& t : truncated) {
        double bound = t.toLower ? t.lower : t.upper;
        double value = t.from + ((bound - t.from) / t.step) * t.step;
        ASSERT_NE(value, bound) << "the case must land off the bound";
        ASSERT_TRUE(t.toLower ? value > bound : value < bound);
        EXPECT_EQ(solverBoxPoint(t.from, value, t.lower, t.upper), bound) << t.from << " " << t.step;
    }

    const double inf = INFINITY;
    struct Kept {
        double from, value, lower, upper, expected;
    };
    const Kept kept[] = {
        {1.0, 1e-10, 0.0, 2.0, 1e-10},                          // a real step short of the bound
        {1.0, 1e-15, 0.0, 2.0, 1e-15},                          // beyond a few ulps of |from|
        {1.0, 8e-16, 0.0, 2.0, 0.0},                            // within them
        {1e12 - 10.0, 1e12 - 1.0, -inf, 1e12, 1e12 - 1.0},      // a real step short at 1e12
        {1e12 - 10.0, 1e12 - 2e-4, -inf, 1e12, 1e12},           // within rounding at 1e12
        {1.0, 1.0 + 2.0 * DBL_EPSILON, 1.0, 2.0, 1.0 + 2.0 * DBL_EPSILON},    // leaving the bound
        {1.0, 1e-300, -inf, inf, 1e-300},                       // no bounds
        {1.0, 1e-300, -BIG, BIG, 1e-300},
        {3.0, -0.5, 0.0, 2.0, 0.0},                             // beyond: the bound
        {1.0, 2.5, 0.0, 2.0, 2.0},
        {1.0, 1.5, 7.0, 7.0, 7.0},                              // fixed
    };
    for (const Kept& k : kept)
        EXPECT_EQ(solverBoxPoint(k.from, k.value, k.lower, k.upper), k.expected)
            << k.from << " -> " << k.value;
}

namespace {

// y = a exp(-k t) + c on t = 0, 0.5, ..., 5.5 with noise; the offset wants to be negative,
// so the fit pulls c onto its lower bound 0. From this start a step cut short at that bound
// ends a rounding error above it unless the bounded point is snapped.
const double DECAY_Y[] = {1.7852187046747432,   1.1866386497676562,   0.70104102686181125,
                          0.36009132165268087,  0.096515142820357669, -0.10619930460752683,
                          -0.24175668627252209, -0.38654198181264598, -0.46793384719010156,
                          -0.53546595662055718, -0.56393357315319603, -0.61219468536154786};

void decayResiduals(int n, int p, const double* b, int* nf, double* r, void* context)
{
    for (int i = 0; i < n; ++i) r[i] = b[0] * std::exp(-b[1] * 0.5 * i) + b[2] - DECAY_Y[i];
}

}  // namespace

TEST(SolverBounds, EstimatePulledOntoAZeroBoundIsExactlyZero)
{
    const int n = 12, p = 3;
    std::vector<int> iv(solverIntsLength(p));
    std::vector<double> v(solverRealsLength(n, p));
    solverDefaults(1, iv.data(), (int)iv.size(), v.data(), (long)v.size());
    solverApplySettings(iv.data(), v.data(), 200, 1e-10, -3);
    std::vector<double> x = {2.395949293084072, 0.82457076631811543, 0.049045784682744044};
    std::vector<double> bounds = {-BIG, BIG, -BIG, BIG, 0.0, BIG};
    SolverCallbacks callbacks{decayResiduals, nullptr, nullptr};
    solverSolveBounded(n, p, x.data(), bounds.data(), callbacks, iv.data(), (int)iv.size(), v.data(),
                       (long)v.size());
    int code = iv[IV_RETURN_CODE];
    EXPECT_TRUE(code >= SOLVER_X_CONVERGED && code <= SOLVER_ABSOLUTE_CONVERGED) << "code " << code;
    EXPECT_EQ(x[2], 0.0);
    EXPECT_GT(x[0], 1.0);
    EXPECT_GT(x[1], 0.5);
}
