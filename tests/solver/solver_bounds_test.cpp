// Simple-bounds solves: active bounds at the solution, fixed parameters, feasibility of
// every evaluated point, and inactive bounds reproducing the unbounded answer.
#include "solver/solver.h"
#include "nist_models.h"
#include "testutil.h"

#include <gtest/gtest.h>

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
