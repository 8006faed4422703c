// The 27 NIST StRD nonlinear problems from both starting points through the unbounded
// solver with the system's settings (ITERATIONS 1000, default TOLERANCE, covariance
// requested), scored in correct significant digits against the certified values.
#include "solver/solver.h"
#include "nist_models.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct NistRun {
    std::string name;               // problem
    int start = 0;                  // 1 or 2
    int code = 0;                   // solver return code
    int iterations = 0;             // IV(31)
    int evaluations = 0;            // all residual evaluations, finite differences included
    int trials = 0;                 // start point and trial points (IV(6))
    double paramDigits = 0.0;       // smallest over the parameters
    double seDigits = 0.0;          // smallest over the standard errors (0 without covariance)
    double ssDigits = 0.0;          // residual sum of squares
    std::vector<double> pd, sd;     // digits per parameter and per standard error
    int covarianceStatus = 0;       // IV(26)
};

std::string nistFolder() { return sourceDir() + "/tests/data/nist"; }

NistRun runNist(const NistProblem& problem, int start)
{
    NistRun run;
    run.name = problem.name;
    run.start = start;
    int n = (int)problem.y.size(), p = problem.p;
    std::vector<int> iv(solverIntsLength(p));
    std::vector<double> v(solverRealsLength(n, p));
    solverDefaults(1, iv.data(), (int)iv.size(), v.data(), (long)v.size());
    solverApplySettings(iv.data(), v.data(), 1000, 1e-10, -3);
    std::vector<double> x = start == 1 ? problem.start1 : problem.start2;
    SolverCallbacks callbacks{nistResiduals, nullptr, const_cast<NistProblem*>(&problem)};
    solverSolve(n, p, x.data(), callbacks, iv.data(), (int)iv.size(), v.data(), (long)v.size());
    run.code = iv[IV_RETURN_CODE];
    run.iterations = iv[IV_NITER];
    run.trials = iv[IV_NFCALL];
    run.evaluations = iv[IV_NFCALL] + iv[IV_NGCALL];
    std::vector<double> cov(p * p);
    run.covarianceStatus = solverCovariance(p, iv.data(), v.data(), cov.data());
    run.paramDigits = 11.0;
    run.seDigits = 11.0;
    for (int k = 0; k < p; ++k) {
        run.pd.push_back(nistDigits(x[k], problem.certified[k]));
        double se = run.covarianceStatus > 0 ? std::sqrt(cov[k * p + k]) : NAN;
        run.sd.push_back(nistDigits(se, problem.certifiedSe[k]));
        run.paramDigits = std::fmin(run.paramDigits, run.pd.back());
        run.seDigits = std::fmin(run.seDigits, run.sd.back());
    }
    run.ssDigits = nistDigits(2.0 * v[V_F], problem.certifiedSs);
    return run;
}

std::vector<NistRun> runAll()
{
    std::vector<NistRun> runs;
    for (const std::string& name : nistProblemNames()) {
        NistProblem problem;
        if (!nistLoad(nistFolder(), name, problem)) {
            ADD_FAILURE() << "cannot read " << name;
            continue;
        }
        runs.push_back(runNist(problem, 1));
        runs.push_back(runNist(problem, 2));
    }
    return runs;
}

bool converged(int code) { return code >= SOLVER_X_CONVERGED && code <= SOLVER_ABSOLUTE_CONVERGED; }

void writeTable(const std::vector<NistRun>& runs, const char* path)
{
    FILE* out = std::fopen(path, "w");
    if (out == nullptr) return;
    std::fprintf(out, "| problem | start | code | iterations | evaluations (trials) | parameter digits | standard-error digits | SS digits |\n");
    std::fprintf(out, "|---|---|---|---|---|---|---|---|\n");
    for (const NistRun& run : runs) {
        std::string pd, sd;
        char buffer[32];
        for (size_t k = 0; k < run.pd.size(); ++k) {
            std::snprintf(buffer, sizeof buffer, "%s%.1f", k ? " " : "", run.pd[k]);
            pd += buffer;
            std::snprintf(buffer, sizeof buffer, "%s%.1f", k ? " " : "", run.sd[k]);
            sd += buffer;
        }
        if (run.covarianceStatus <= 0) sd = "none (" + std::to_string(run.covarianceStatus) + ")";
        std::fprintf(out, "| %s | %d | %d | %d | %d (%d) | %s | %s | %.1f |\n", run.name.c_str(), run.start,
                     run.code, run.iterations, run.evaluations, run.trials, pd.c_str(),
                     sd.c_str(), run.ssDigits);
    }
    std::fclose(out);
}

}  // namespace

// Runs allowed to miss 4 digits somewhere: Lanczos1 (its certified sum of squares, about
// 1e-25, is rounding noise, and so are its standard errors) and MGH10 start 1 (iteration
// limit on the way to b1 -> 0).
const std::vector<std::string> BELOW_FOUR = {"Lanczos1/1", "Lanczos1/2", "MGH10/1"};
// Runs allowed to have fewer than 6 digits in some parameter.
const std::vector<std::string> BELOW_SIX = {"Bennett5/1", "Bennett5/2", "ENSO/1", "ENSO/2", "Hahn1/2",
                                            "Lanczos3/1", "Lanczos3/2", "MGH10/1", "Nelson/1"};

bool listed(const std::vector<std::string>& list, const NistRun& run)
{
    std::string key = run.name + "/" + std::to_string(run.start);
    for (const std::string& entry : list)
        if (entry == key) return true;
    return false;
}

TEST(SolverNist, AccuracyGoals)
{
    std::vector<NistRun> runs = runAll();
    ASSERT_EQ(runs.size(), 54u);
    int four = 0, six = 0;
    for (const NistRun& run : runs) {
        SCOPED_TRACE(run.name + " start " + std::to_string(run.start) + " code " + std::to_string(run.code));
        double all = std::fmin(run.paramDigits, std::fmin(run.seDigits, run.ssDigits));
        if (all >= 4.0) ++four;
        if (run.paramDigits >= 6.0) ++six;
        // a convergence code must not come with a wrong answer
        if (converged(run.code)) {
            EXPECT_GE(run.paramDigits, 4.0);
        }
        // a failure must not come as a proper convergence code
        if (run.paramDigits < 4.0) {
            EXPECT_FALSE(converged(run.code));
        }
        // the runs that reach the goals keep reaching them
        if (!listed(BELOW_FOUR, run)) {
            EXPECT_GE(all, 4.0);
        }
        if (!listed(BELOW_SIX, run)) {
            EXPECT_GE(run.paramDigits, 6.0);
        }
    }
    if (const char* path = std::getenv("MOXEL_NIST_TABLE")) writeTable(runs, path);
    EXPECT_GE(four, 51);
    EXPECT_GE(six, 45);
    RecordProperty("runsWithFourDigits", four);
    RecordProperty("runsWithSixParameterDigits", six);
}
