// Defaults, the system's settings and the array checks.
#include "solver/solver.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

namespace {

struct Arrays {
    std::vector<int> iv;
    std::vector<double> v;
    Arrays(int n, int p) : iv(solverIntsLength(p)), v(solverRealsLength(n, p))
    {
        solverDefaults(1, iv.data(), (int)iv.size(), v.data(), (long)v.size());
    }
};

void lineResiduals(int n, int p, const double* x, int* nf, double* r, void*)
{
    for (int i = 0; i < n; ++i) r[i] = x[0] + x[1] * i - (1.0 + 2.0 * i + (i % 2 ? 0.1 : -0.1));
}

}  // namespace

TEST(SolverSettings, Defaults)
{
    Arrays a(10, 3);
    EXPECT_EQ(a.iv[IV_RETURN_CODE], SOLVER_FRESH_START);
    const struct { int position; int value; } ints[] = {
        {IV_COV_PRINT, 3}, {IV_COV_REQUEST, 1}, {IV_SCALE_TYPE, 1}, {IV_EVAL_LIMIT, 200}, {IV_ITER_LIMIT, 150},
        {IV_SUMMARY_PRINT, 1}, {IV_PARAM_PRINT, 1}, {IV_SOLUTION_PRINT, 1}, {IV_STATS_PRINT, 1},
        {IV_INITX_PRINT, 1}, {IV_INIT, 0}, {IV_COVARIANCE, 0}, {IV_DIAGNOSTICS, 3},
    };
    for (const auto& row : ints) EXPECT_EQ(a.iv[row.position], row.value) << "IV(" << row.position + 1 << ")";
    const struct { int position; double value; } reals[] = {
        {V_EPSLON, 0.1}, {V_PHMNFC, -0.1}, {V_PHMXFC, 0.1}, {V_DECFAC, 0.5}, {V_INCFAC, 2.0},
        {V_RDFCMN, 0.1}, {V_RDFCMX, 4.0}, {V_TUNER1, 0.1}, {V_TUNER2, 1e-4}, {V_TUNER3, 0.75},
        {V_TUNER4, 0.5}, {V_TUNER5, 0.75}, {V_AFCTOL, 1e-20}, {V_RFCTOL, 1e-10}, {V_XCTOL, 1.4901161193847656e-8},
        {V_XFTOL, 2.220446049250313e-14}, {V_LMAX0, 1.0}, {V_LMAXS, 1.0}, {V_SCTOL, 1e-10}, {V_DINIT, 0.0},
        {V_DTINIT, 1e-6}, {V_D0INIT, 1.0}, {V_DFAC, 0.6}, {V_DLTFDC, 6.0554544523933395e-6},
        {V_DLTFDJ, 1.4901161193847656e-8}, {V_DELTA0, 1.4901161193847656e-8}, {V_FUZZ, 1.5},
        {V_RLIMIT, 1.3407807929942596e154}, {V_COSMIN, 1e-6}, {V_HUBERC, 0.7}, {V_RSPTOL, 1e-3}, {V_SIGMIN, 1e-4},
    };
    for (const auto& row : reals)
        EXPECT_NEAR(a.v[row.position], row.value, 1e-9 * std::fabs(row.value)) << "V(" << row.position + 1 << ")";
}

TEST(SolverSettings, DefaultsRoutineChecks)
{
    std::vector<int> iv(200);
    std::vector<double> v(400);
    solverDefaults(5, iv.data(), 200, v.data(), 400);
    EXPECT_EQ(iv[IV_RETURN_CODE], SOLVER_BAD_SELECTOR);
    solverDefaults(0, iv.data(), 200, v.data(), 400);
    EXPECT_EQ(iv[IV_RETURN_CODE], SOLVER_BAD_SELECTOR);
    solverDefaults(1, iv.data(), 50, v.data(), 400);
    EXPECT_EQ(iv[IV_RETURN_CODE], SOLVER_INTS_TOO_SMALL);
    solverDefaults(1, iv.data(), 200, v.data(), 100);
    EXPECT_EQ(iv[IV_RETURN_CODE], 16);
}

TEST(SolverSettings, IterationAndEvaluationLimits)
{
    const struct { int iterations; int evaluations; } rows[] = {
        {150, 16000}, {199, 16000}, {200, 20000}, {500, 50000}, {1000, 100000}, {1, 16000},
    };
    for (const auto& row : rows) {
        Arrays a(5, 2);
        solverApplySettings(a.iv.data(), a.v.data(), row.iterations, 1e-10, -3);
        EXPECT_EQ(a.iv[IV_ITER_LIMIT], row.iterations);
        EXPECT_EQ(a.iv[IV_EVAL_LIMIT], row.evaluations) << "ITERATIONS " << row.iterations;
    }
}

TEST(SolverSettings, ToleranceAndPrinting)
{
    Arrays a(5, 2);
    solverApplySettings(a.iv.data(), a.v.data(), 500, 1e-15, -3);
    EXPECT_EQ(a.v[V_RFCTOL], 1e-15);
    EXPECT_EQ(a.v[V_AFCTOL], 1e-20);
    EXPECT_EQ(a.iv[IV_COV_REQUEST], -3);
    for (int position : {IV_COV_PRINT, IV_SUMMARY_PRINT, IV_PARAM_PRINT, IV_SOLUTION_PRINT, IV_STATS_PRINT,
                         IV_INITX_PRINT})
        EXPECT_EQ(a.iv[position], 0);
    EXPECT_EQ(a.iv[IV_SCALE_TYPE], 1);
    EXPECT_EQ(a.iv[IV_INIT], 0);
    EXPECT_EQ(a.iv[IV_DIAGNOSTICS], 3);
}

TEST(SolverSettings, RejectedSettingsAndArrays)
{
    // a relative tolerance below MACHEP is refused before any evaluation
    Arrays a(6, 2);
    solverApplySettings(a.iv.data(), a.v.data(), 500, 1e-17, -3);
    double x[2] = {0.0, 0.0};
    SolverCallbacks callbacks{lineResiduals, nullptr, nullptr};
    solverSolve(6, 2, x, callbacks, a.iv.data(), (int)a.iv.size(), a.v.data(), (long)a.v.size());
    EXPECT_EQ(a.iv[IV_RETURN_CODE], SOLVER_BAD_SETTINGS);
    EXPECT_EQ(x[0], 0.0);

    // a real array shorter than p(n + 2p + 21) + 2n + 200
    Arrays b(6, 2);
    solverApplySettings(b.iv.data(), b.v.data(), 500, 1e-10, -3);
    solverSolve(6, 2, x, callbacks, b.iv.data(), (int)b.iv.size(), b.v.data(), (long)b.v.size() - 1);
    EXPECT_EQ(b.iv[IV_RETURN_CODE], SOLVER_REALS_TOO_SMALL);

    // an integer array shorter than 4p + 100, told apart from a failed Jacobian
    Arrays d(6, 2);
    solverApplySettings(d.iv.data(), d.v.data(), 500, 1e-10, -3);
    solverSolve(6, 2, x, callbacks, d.iv.data(), (int)d.iv.size() - 1, d.v.data(), (long)d.v.size());
    EXPECT_EQ(d.iv[IV_RETURN_CODE], SOLVER_INTS_TOO_SMALL);

    // a second solve without fresh defaults is refused
    Arrays c(6, 2);
    solverApplySettings(c.iv.data(), c.v.data(), 500, 1e-10, -3);
    solverSolve(6, 2, x, callbacks, c.iv.data(), (int)c.iv.size(), c.v.data(), (long)c.v.size());
    EXPECT_GE(c.iv[IV_RETURN_CODE], SOLVER_X_CONVERGED);
    EXPECT_LE(c.iv[IV_RETURN_CODE], SOLVER_ABSOLUTE_CONVERGED);
    solverSolve(6, 2, x, callbacks, c.iv.data(), (int)c.iv.size(), c.v.data(), (long)c.v.size());
    EXPECT_EQ(c.iv[IV_RETURN_CODE], SOLVER_BAD_SETTINGS);
}
