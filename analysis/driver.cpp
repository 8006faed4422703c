// Analysis driver. One analysis runs on a worker thread: it fits the parameters with
// the least-squares solver (once, or once per point of a SWEEP grid and then from the
// best point), evaluates the model once more at the final parameters, writes the stop
// reason and the Final Results, and signals its end.
#include "analysis/driver.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <pthread.h>

#include "analysis/covariance.h"
#include "analysis/diagnosis.h"
#include "analysis/output.h"
#include "analysis/profile.h"
#include "analysis/report.h"
#include "analysis/results.h"
#include "analysis/helper.h"
#include "analysis/share.h"
#include "solver/solver.h"
#include "analysis/weights.h"
#include "exec/block.h"
#include "exec/builtins.h"
#include "exec/interpreter.h"
#include "exec/tangent.h"
#include "exec/timestamp.h"
#include "lang/data.h"
#include "lang/parser.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "lang/uncertainty.h"
#include "support/allocator.h"
#include "support/listing.h"
#include "support/sourceline.h"

AnalysisState analysis = {};

std::atomic<bool> analysisRunning{false};
std::atomic<int> progressIteration{0};
std::atomic<double> progressSumSquares{0.0};
std::atomic<int> progressSweepStep{0};
std::atomic<bool> progressChanged{false};

namespace {

const char MSG_NO_POINT_NO_FILES[] =
    "The run was cancelled before any point was computed: the output and parameter files were "
    "not written, and their files of an earlier run stay as they were.\n";

constexpr double SWEEP_NO_BEST = 1e20;     // larger than any sum of squares worth keeping
constexpr const char* TAG_RESULTS = "comp";
constexpr const char* TAG_POINT = "xvec";
constexpr const char* TAG_BOUNDS = "bvec";
// A parameter this close to a bound, relative to its size (at least 1), is held by it.
constexpr double BOUND_CONTACT = 1e-8;

struct DriverState {
    pthread_t worker;               // the analysis thread of driverStart
    bool workerStarted;             // worker holds a thread not yet joined
    AnalysisEndHandler endHandler;  // end-of-run signal, or null
    double* x;                      // the solver's point, p doubles, during the solves
    double* bestX;                  // p doubles: the computed point of least sum of squares
    double bestSumSquares;          // its sum of squares; infinite before the first
    int sweepCurrent[MAX_SWEEPS];   // the odometer: grid position of each SWEEP entry
    double sweepBest[MAX_SWEEPS];   // each entry's value at the best grid point so far
    RunFrame frame;                 // the worker's run frame
    bool weightsFixed;              // the weights, independent of the parameters, are in analysis.weights
    bool exact;                     // the solver takes the exact Jacobian
    TangentFrame tangent;           // the worker's tangents
    TangentFrame helperTangent;     // the helper thread's tangents
};

DriverState driver;

void freeArray(double*& block)
{
    if (block)
        memfree(block);
    block = nullptr;
}

void releaseSolverArrays()
{
    if (analysis.solverInts)
        memfree(analysis.solverInts);
    analysis.solverInts = nullptr;
    freeArray(analysis.solverReals);
    freeArray(driver.x);
    freeArray(driver.bestX);
}

// The result arrays and the solver's workspaces, all for n observations and p
// parameters. False when memory ran out (the allocator has said so).
bool allocateArrays(int n, int p)
{
    const size_t rows = n > 0 ? (size_t)n : 1;
    const size_t cols = p > 0 ? (size_t)p : 1;
    // The result columns are written only after the solve, by the final pass (every row)
    // or clearResultColumns: memory the solver's arrays hold then is not taken twice.
    analysis.predicted = memalloc_doubles(rows, TAG_RESULTS);
    analysis.observed = memalloc_doubles(rows, TAG_RESULTS);
    analysis.covariance = (double*)memalloc_zero(cols * cols * sizeof(double), TAG_RESULTS);
    analysis.initialGuess = (double*)memalloc_zero(cols * sizeof(double), TAG_RESULTS);
    analysis.weights = weightsActive() ? (double*)memalloc_zero(rows * sizeof(double), TAG_RESULTS) : nullptr;
    analysis.allocatedRows = n;
    analysis.allocatedParameters = p;
    analysis.solverInts = memalloc_ints((size_t)solverIntsLength(p), TAG_RESULTS);
    analysis.solverReals = memalloc_doubles((size_t)solverRealsLength(n, p), TAG_RESULTS);
    driver.x = memalloc_doubles(cols, TAG_POINT);
    driver.bestX = memalloc_doubles(cols, TAG_POINT);
    driver.bestSumSquares = INFINITY;
    return analysis.predicted && analysis.observed && analysis.covariance &&
           analysis.initialGuess && (analysis.weights || !weightsActive()) && analysis.solverInts &&
           analysis.solverReals && driver.x && driver.bestX;
}

void clearResultColumns(int n)
{
    memset(analysis.predicted, 0, sizeof(double) * (size_t)(n > 0 ? n : 1));
    memset(analysis.observed, 0, sizeof(double) * (size_t)(n > 0 ? n : 1));
}

// Value of SWEEP entry e at grid position k.
double sweepValue(const SweepEntry& entry, int k)
{
    return k * entry.step + entry.low;
}

// Grid search over the SWEEP entries, an odometer whose last entry turns fastest;
// every point is solved quietly and the best properly converged point is kept.
int sweepSearch()
{
    const int count = settings.sweepCount;
    const SweepEntry* sweeps = settings.sweeps;
    int* current = driver.sweepCurrent;
    quietErrors = true;
    double best = SWEEP_NO_BEST;
    int bestCode = STOP_SINGULAR;
    int point = 1;
    for (int e = 0; e < count; ++e) {
        current[e] = 0;
        // Without any converged point the final solve starts from the first grid value.
        driver.sweepBest[e] = sweeps[e].bestValue;
    }
    while (!abortRequested.load(std::memory_order_relaxed)) {
        progressSweepStep.store(point, std::memory_order_relaxed);
        progressChanged.store(true, std::memory_order_relaxed);
        ++point;
        for (int j = 0; j < parameterCount; ++j)
            parameters[j]->value = parameters[j]->initialValue;
        for (int e = 0; e < count; ++e)
            sweeps[e].parameter->value = sweepValue(sweeps[e], current[e]);
        const int code = driverSolve();
        if (code >= STOP_ABSOLUTE && analysis.finalSumSquares < best) {
            if (code > bestCode)
                bestCode = code;
            best = analysis.finalSumSquares;
            for (int e = 0; e < count; ++e)
                driver.sweepBest[e] = sweepValue(sweeps[e], current[e]);
        }
        if (!driverSweepAdvance(current, sweeps, count) || abortRequested.load(std::memory_order_relaxed))
            break;
    }
    quietErrors = false;
    if (bestCode > 0 && !abortRequested.load(std::memory_order_relaxed)) {
        for (int j = 0; j < parameterCount; ++j)
            parameters[j]->value = parameters[j]->initialValue;
        // The listing shows the best grid value as the swept parameter's initial guess.
        for (int e = 0; e < count; ++e) {
            sweeps[e].parameter->value = driver.sweepBest[e];
            analysis.initialGuess[sweeps[e].parameter->index] = driver.sweepBest[e];
        }
        // A grid point that stopped without a matrix (at the iteration limit, say) says
        // nothing of the final fit, which asks for its covariance afresh.
        analysis.covarianceState = CovarianceState{0, settings.covarianceCode, settings.printCovariance};
        return driverSolve();
    }
    return bestCode;
}

void releaseCollected()
{
    CollectedColumns& collected = analysis.collected;
    if (collected.symbols)
        memfree(collected.symbols);
    freeArray(collected.values);
    collected = CollectedColumns{};
}

void releaseResultArrays()
{
    driver.weightsFixed = false;
    shareSetWeights(nullptr);
    freeArray(analysis.predicted);
    freeArray(analysis.observed);
    freeArray(analysis.covariance);
    freeArray(analysis.initialGuess);
    freeArray(analysis.weights);
    if (analysis.profile)
        memfree(analysis.profile);
    analysis.profile = nullptr;
    releaseCollected();
    releaseSolverArrays();
    analysis.allocatedRows = 0;
    analysis.allocatedParameters = 0;
    analysis.analysisCompleted = false;
    analysis.boundsInactive = false;
    analysis.covarianceState.status = 0;
    resultsRelease();
}

bool aborted()
{
    return abortRequested.load(std::memory_order_relaxed);
}

void residualsForSolver(int n, int p, const double* x, int* nf, double* r, void* context)
{
    driverResiduals((RunFrame*)context, n, p, x, nf, r);
}

// The same residuals with the frame's runtime messages held back, for the solver's
// speculative evaluations on two threads.
void quietResidualsForSolver(int n, int p, const double* x, int* nf, double* r, void* context)
{
    RunFrame* frame = (RunFrame*)context;
    frame->quiet = true;
    driverResiduals(frame, n, p, x, nf, r);
    frame->quiet = false;
}

// Evaluations of the program are independent of each other, so that two threads may
// run them in any order: no RANDOM (its sequence runs through all evaluations) and no
// PRINTF (its output would interleave).
bool evaluationsIndependent()
{
    return !exprCallsFunction(FN_RANDOM) && !exprCallsFunction(FN_PRINTF);
}

// The block form evaluates the model only: a weighted fit takes it when its weights do
// not depend on the parameters and were computed once (prepareFixedWeights).
bool blockPath()
{
    return blockAvailable() && (!weightsActive() || driver.weightsFixed);
}

void progressForSolver(int iteration, double f, void*)
{
    driverProgress(iteration, f);
}

bool parametersConstrained()
{
    for (int j = 0; j < parameterCount; ++j)
        if (parameters[j]->constrained)
            return true;
    return false;
}

// Why DERIVATIVES EXACT cannot be followed, with the line to name, or null when it can.
bool readsMovingValue(const ExprNode* node)
{
    if (!node)
        return false;
    if ((node->kind == NODE_VAR || node->kind == NODE_ELEMENT) && node->symbol &&
        (node->symbol->kind == SYM_PARAMETER || node->symbol->kind == SYM_WORK))
        return true;
    for (const ExprNode* arg = node->firstArg; arg; arg = arg->nextArg)
        if (readsMovingValue(arg))
            return true;
    return readsMovingValue(node->left) || readsMovingValue(node->right) || readsMovingValue(node->condition);
}

const char* exactRefusal(const SourceLine** line)
{
    *line = settings.derivativesLine;
    if (settings.functionMinimization)
        return "a function minimization has no observations to differentiate";
    if (weightsActive() && readsMovingValue(uncertainty.weightTree)) {
        *line = uncertainty.weightLine;
        return "the weights depend on the parameters";
    }
    return nullptr;
}

// A weight that reads only input variables (which the program does not write) and
// constants is the same at every point of the fit: it is computed once, quietly, into
// analysis.weights, and the residual blocks take it from there. When any observation
// fails, the fit keeps the per-observation path, which reports as before.
void prepareFixedWeights(int n)
{
    driver.weightsFixed = false;
    shareSetWeights(nullptr);
    if (!weightsActive() || !blockAvailable() || !analysis.weights || readsMovingValue(uncertainty.weightTree) ||
        settings.functionMinimization)
        return;
    for (int j = 0; j < inputVariableCount; ++j)
        if (exprWritesSymbol(inputVariables[j]))
            return;
    RunFrame* frame = &driver.frame;
    runReset(frame);
    if (!frame->values)
        return;
    frame->quiet = true;
    bool ok = true;
    for (int i = 0; i < n && ok; ++i)
        ok = runObservation(frame, i, nullptr, nullptr, nullptr) && weightsEvaluate(frame, i, &analysis.weights[i]);
    frame->quiet = false;
    frame->runFailed = false;
    driver.weightsFixed = ok && !aborted();
    if (driver.weightsFixed)
        shareSetWeights(analysis.weights);
}

// The exact Jacobian when DERIVATIVES EXACT asks for it and the program allows it; the
// listing says in one line why it does not.
void prepareExact(int p)
{
    driver.exact = false;
    if (!settings.exactDerivatives)
        return;
    const SourceLine* line = nullptr;
    const char* reason = exactRefusal(&line);
    if (reason) {
        reportText("\nExact derivatives not used (line %d): %s; the Jacobian is formed by differences.\n",
                     line ? line->lineNumber : 0, reason);
        return;
    }
    driver.exact = tangentFrameFit(&driver.tangent, p) && tangentFrameFit(&driver.helperTangent, p);
}

void releaseExact()
{
    tangentFrameRelease(&driver.tangent);
    tangentFrameRelease(&driver.helperTangent);
    driver.exact = false;
}

// Rows first .. end - 1 of the exact Jacobian: row i holds d r_i / d x_k at jac[k n + i].
// Quiet: the residuals at the same point have been computed, and reported, before.
struct JacobianRows {
    RunFrame* frame;
    TangentFrame* tangent;
    int n, p, first, end;
    const double* x;
    double* jac;
    bool ok;
};

// Rows first .. end - 1 per observation; false when one fails or is not finite.
bool observationRows(const JacobianRows& rows, int first, int end)
{
    RunFrame* frame = rows.frame;
    TangentFrame* tangent = rows.tangent;
    const int n = rows.n;
    for (int i = first; i < end; ++i) {
        bool ok = runObservationTangent(frame, tangent, i, nullptr, nullptr);
        double scale = 1.0;
        if (ok && weightsActive()) {
            double w = 0.0;
            ok = weightsEvaluate(frame, i, &w);
            scale = std::sqrt(w);
        }
        for (int k = 0; k < rows.p && ok; ++k) {
            const double d = scale * (tangent->predicted[k] - tangent->observed[k]);
            ok = std::isfinite(d);
            rows.jac[(long)k * n + i] = d;
        }
        if (!ok)
            return false;
    }
    return true;
}

void jacobianRows(void* argument)
{
    JacobianRows& rows = *static_cast<JacobianRows*>(argument);
    RunFrame* frame = rows.frame;
    TangentFrame* tangent = rows.tangent;
    rows.ok = false;
    runReset(frame);
    if (!frame->values)
        return;
    for (int j = 0; j < rows.p; ++j)
        frame->values[parameters[j]->slot] = rows.x[j];
    tangentReset(tangent);
    const bool quiet = frame->quiet;
    frame->quiet = true;
    const int n = rows.n;
    bool ok = true;
    // By blocks where the program has a block form; a block that fails goes per observation.
    const bool blocks = blockPath();
    for (int first = rows.first; first < rows.end && ok; first += BLOCK_ROWS) {
        const int end = rows.end - first < BLOCK_ROWS ? rows.end : first + BLOCK_ROWS;
        if (blocks && blockJacobian(frame, tangent, first, end - first, rows.jac, n) == BLOCK_OK) {
            if (driver.weightsFixed)
                for (int k = 0; k < rows.p; ++k)
                    for (int i = first; i < end; ++i)
                        rows.jac[(long)k * n + i] *= std::sqrt(analysis.weights[i]);
            continue;
        }
        ok = observationRows(rows, first, end);
    }
    frame->quiet = quiet;
    rows.ok = ok;
}

void jacobianForSolver(int n, int p, const double* x, int* nf, double* jac, void*)
{
    if (aborted()) {
        *nf = -1;
        return;
    }
    // Observations that do not depend on each other are shared between both cores.
    const bool split = blockAvailable() && evaluationsIndependent() && n >= 2 * BLOCK_ROWS;
    const int half = split ? n / 2 : n;
    JacobianRows own{&driver.frame, &driver.tangent, n, p, 0, half, x, jac, false};
    JacobianRows other{shareHelperFrame(), &driver.helperTangent, n, p, half, n, x, jac, false};
    const bool posted = split && helperPost(jacobianRows, &other);
    jacobianRows(&own);
    if (split && !(posted && helperCollect()))
        jacobianRows(&other);
    if (aborted())
        *nf = -1;
    else if (!own.ok || (split && !other.ok))
        *nf = 0;
}

// The callbacks of a fit's solve, evaluating through residuals in the driver's frame.
SolverCallbacks fitCallbacks(SolverResiduals residuals, SolverProgress progress)
{
    SolverCallbacks callbacks = {residuals, progress, &driver.frame, nullptr, nullptr};
    callbacks.writesEveryResidual = true;   // driverResiduals fills r or reports failure
    callbacks.cancel = &abortRequested;     // driverResiduals refuses every evaluation then
    // A program with a block form splits each evaluation's observations between both
    // cores, which balances the work better than two Jacobian columns side by side (a
    // column whose parameter reaches only kept values is cheap); others evaluate two
    // columns at once.
    if (evaluationsIndependent() && !blockPath()) {
        callbacks.quietResiduals = quietResidualsForSolver;
        callbacks.helperContext = shareHelperFrame();
    }
    if (driver.exact)
        callbacks.jacobian = jacobianForSolver;
    return callbacks;
}

// Held fits of a profile tell no progress: the iteration history is the fit's own.
void noProgress(int, double, void*) {}

// The run's solver arrays, set to the solver's defaults and the program's ITERATIONS and
// TOLERANCE; covarianceCode is the covariance request (0 for none).
struct SolverArrays {
    int* iv;        // analysis.solverInts
    double* v;      // analysis.solverReals
    int ivLength;   // entries of iv
    long vLength;   // entries of v
};

SolverArrays prepareSolverArrays(int n, int p, int covarianceCode)
{
    const SolverArrays a = {analysis.solverInts, analysis.solverReals, solverIntsLength(p), solverRealsLength(n, p)};
    solverDefaults(1, a.iv, a.ivLength, a.v, a.vLength);
    solverApplySettings(a.iv, a.v, settings.iterationLimit, settings.tolerance, covarianceCode);
    return a;
}

// ProfileSolve: the fit with parameter j held at value, by the solver and settings of
// the fit itself, quietly (a value at which the model fails is a failed re-fit), without
// a covariance. The caller restores the parameters.
bool solveHeld(int j, double value, double* x, double* ss, void*)
{
    const int n = observationCount;
    const int p = parameterCount;
    double* bounds = memalloc_doubles(2 * (size_t)p, TAG_BOUNDS);
    if (!bounds)
        return false;
    for (int k = 0; k < p; ++k) {
        const bool held = k == j;
        bounds[2 * k] = held ? value : parameters[k]->constrained ? parameters[k]->lowerBound : -HUGE_VAL;
        bounds[2 * k + 1] = held ? value : parameters[k]->constrained ? parameters[k]->upperBound : HUGE_VAL;
    }
    const SolverArrays a = prepareSolverArrays(n, p, 0);
    const SolverCallbacks callbacks = fitCallbacks(quietResidualsForSolver, noProgress);
    solverSolveBounded(n, p, x, bounds, callbacks, a.iv, a.ivLength, a.v, a.vLength);
    memfree(bounds);
    *ss = 2.0 * a.v[V_F];
    return !aborted() && driverStopCodeUsable(driverStopCode(a.iv[IV_RETURN_CODE]));
}

// PROFILE: the profile limits of every parameter around the converged fit, whose
// estimates the parameters hold and keep.
void profileParameters(int n, int p)
{
    double* estimate = memalloc_doubles(4 * (size_t)p, TAG_POINT);
    analysis.profile = static_cast<ProfileLimits*>(memalloc((size_t)p * sizeof(ProfileLimits), TAG_RESULTS));
    if (!estimate || !analysis.profile) {
        if (estimate)
            memfree(estimate);
        if (analysis.profile)
            memfree(analysis.profile);
        analysis.profile = nullptr;
        return;
    }
    double* stdError = estimate + p;
    double* lower = estimate + 2 * (size_t)p;
    double* upper = estimate + 3 * (size_t)p;
    for (int j = 0; j < p; ++j) {
        estimate[j] = parameters[j]->value;
        const double variance = analysis.covarianceState.status > 0 ? analysis.covariance[(size_t)j * p + j] : 0.0;
        stdError[j] = variance > 0.0 ? std::sqrt(variance) : 0.0;
        lower[j] = parameters[j]->constrained ? parameters[j]->lowerBound : -HUGE_VAL;
        upper[j] = parameters[j]->constrained ? parameters[j]->upperBound : HUGE_VAL;
    }
    analysis.profileLevel = settings.confidenceLevel == 0 ? PROFILE_DEFAULT_LEVEL
                            : settings.confidenceLevel < RESULTS_LEVEL_FLOOR ? RESULTS_LEVEL_FLOOR
                                                                             : settings.confidenceLevel;
    const ProfileProblem problem = {n, p, estimate, stdError, lower, upper, analysis.finalSumSquares,
                                    analysis.profileLevel, solveHeld, nullptr, &abortRequested};
    double* work = driver.x;
    if (!profileCompute(problem, work, analysis.profile)) {
        memfree(analysis.profile);
        analysis.profile = nullptr;
    }
    for (int j = 0; j < p; ++j)
        parameters[j]->value = estimate[j];
    memfree(estimate);
}

void analysisWorker()
{
    driverRun();
}

}  // namespace

void driverSetEndHandler(AnalysisEndHandler handler)
{
    driver.endHandler = handler;
}

static void* analysisThreadMain(void*)
{
    analysisWorker();
    return nullptr;
}

int driverStart()
{
    driverWait();
    analysis.iterationCount = 1;
    analysisRunning.store(true);
    runResetState();
    progressSumSquares.store(0.0, std::memory_order_relaxed);
    progressIteration.store(0, std::memory_order_relaxed);
    analysis.startTime = localMoment();
    progressChanged.store(false, std::memory_order_relaxed);
    progressSweepStep.store(settings.sweepCount > 0 ? 1 : 0, std::memory_order_relaxed);
    // A thread that cannot be created is a run that cannot start, not a crash.
    if (pthread_create(&driver.worker, nullptr, analysisThreadMain, nullptr) != 0) {
        analysisRunning.store(false);
        return 0;
    }
    driver.workerStarted = true;
    return 1;
}

void driverWait()
{
    if (driver.workerStarted)
        pthread_join(driver.worker, nullptr);
    driver.workerStarted = false;
}

namespace {

// Adds s to the symbols to collect unless it is there already.
void collectAdd(const Symbol* s)
{
    CollectedColumns& collected = analysis.collected;
    for (int c = 0; c < collected.count; ++c)
        if (collected.symbols[c] == s)
            return;
    collected.symbols[collected.count++] = s;
}

// The variables the OUTPUT and CORRELATE lists name that are neither input variables
// nor special items, with a column of n values for each. False when there are none or
// memory ran out (the allocator has said so; the writers then show 0).
bool collectPrepare(int n)
{
    releaseCollected();
    const int outputs = settings.outputMode != 0 ? settings.outputCount : 0;
    const int correlates = settings.correlationCount > 1 && !settings.functionMinimization
                               ? settings.correlationCount : 0;
    int wanted = 0;
    for (int k = 0; k < outputs; ++k)
        wanted += outputItemKind(settings.outputVariables[k]) == OUTPUT_ITEM_COMPUTED;
    for (int k = 0; k < correlates; ++k)
        wanted += settings.correlationVariables[k]->kind != SYM_INPUT;
    if (wanted == 0 || n <= 0)
        return false;
    CollectedColumns& collected = analysis.collected;
    collected.symbols = static_cast<const Symbol**>(memalloc(sizeof(Symbol*) * (size_t)wanted, TAG_RESULTS));
    if (!collected.symbols)
        return false;
    for (int k = 0; k < outputs; ++k)
        if (outputItemKind(settings.outputVariables[k]) == OUTPUT_ITEM_COMPUTED)
            collectAdd(settings.outputVariables[k]);
    for (int k = 0; k < correlates; ++k)
        if (settings.correlationVariables[k]->kind != SYM_INPUT)
            collectAdd(settings.correlationVariables[k]);
    // Rows are written by the pass that collects them (or cleared when it stops early):
    // untouched pages cost nothing until then.
    collected.values = memalloc_doubles((size_t)collected.count * (size_t)n, TAG_RESULTS);
    if (!collected.values) {
        releaseCollected();
        return false;
    }
    collected.rows = n;
    return true;
}

// Row i of the collected columns: the variables' values after the program ran for i.
void collectRow(RunFrame* frame, int i)
{
    const CollectedColumns& collected = analysis.collected;
    for (int c = 0; c < collected.count; ++c)
        collected.values[(size_t)c * collected.rows + i] = runValue(frame, collected.symbols[c]);
}

// The collected columns by a run of the program over every observation, in order from a
// fresh frame as the per-observation path runs them. Quiet: the final pass has already
// reported any error of these observations. Rows not reached after a Cancel hold 0.
void collectColumns(RunFrame* frame, int n)
{
    runReset(frame);
    frame->quiet = true;
    int i = 0;
    for (; i < n && !aborted(); ++i) {
        runObservation(frame, i, nullptr, nullptr, nullptr);
        collectRow(frame, i);
    }
    frame->quiet = false;
    for (int c = 0; c < analysis.collected.count; ++c)
        for (int k = i; k < n; ++k)
            analysis.collected.values[(size_t)c * n + k] = 0.0;
}

// The predicted and observed value of every observation at the final parameters, by
// blocks when the program has a block form (a block that meets an error is run per
// observation, which reports it), and the values of the variables the writers need.
// Every row is written: a row the per-observation path cannot compute, or does not reach
// after a Cancel, holds 0 for both.
void finalPass(RunFrame* frame, int n)
{
    runReset(frame);
    const bool collect = collectPrepare(n);
    const bool blocks = blockPath() && !settings.functionMinimization;
    const bool shared = blocks && shareBlocks(frame, n, analysis.predicted, analysis.observed);
    for (int first = 0; first < n; first += BLOCK_ROWS) {
        const int count = n - first < BLOCK_ROWS ? n - first : BLOCK_ROWS;
        if (blocks && (shared ? shareBlockOutcome(first / BLOCK_ROWS) != SHARE_NOT_DONE
                              : shareEvaluateBlock(frame, first, count, analysis.predicted, analysis.observed) == BLOCK_OK))
            continue;
        for (int i = first; i < first + count; ++i) {
            analysis.predicted[i] = 0.0;
            analysis.observed[i] = 0.0;
            const bool ok = runObservation(frame, i, nullptr, &analysis.predicted[i], &analysis.observed[i]);
            // A weight that failed at the start values was reported by the solve already.
            const bool quiet = frame->quiet;
            frame->quiet = quiet || analysis.stopCode == STOP_NO_START;
            if (analysis.weights && (!ok || !weightsEvaluate(frame, i, &analysis.weights[i])))
                analysis.weights[i] = 0.0;
            frame->quiet = quiet;
            // Without blocks this loop is itself a run over every observation in order.
            if (collect && !blocks)
                collectRow(frame, i);
        }
    }
    if (collect && blocks)
        collectColumns(frame, n);
}

// Sum of squared deviations over the predicted and observed values of the final pass.
double finalPassSumSquares(int n)
{
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        const double d = analysis.observed[i] - analysis.predicted[i];
        sum += (analysis.weights ? analysis.weights[i] : 1.0) * d * d;
    }
    return sum;
}

// Keeps x when its complete residual vector r has the least sum of squares so far. The
// sum is only compared with other such sums: when both cores evaluated every block, it is
// the blocks' own sums, formed while each block was at hand. Only the analysis thread's
// own evaluations come here (not the helper's speculative ones), so the best point needs
// no lock.
void rememberBestPoint(int n, int p, const double* x, const double* r, bool blockSums)
{
    if (!driver.bestX)
        return;
    double sum = 0.0;
    if (blockSums) {
        const int blocks = (n + BLOCK_ROWS - 1) / BLOCK_ROWS;
        for (int b = 0; b < blocks; ++b)
            sum += shareBlockSquares()[b];
    } else {
        sum = shareSumOfSquares(n, r);
    }
    if (!(sum < driver.bestSumSquares))
        return;
    driver.bestSumSquares = sum;
    for (int j = 0; j < p; ++j)
        driver.bestX[j] = x[j];
}

// After a Cancel: the final pass runs at the best point reached, so that the estimates,
// the sum of squares and the deviations of the listing all come from that one point.
// The point was computed before, so the pass ends; a second Cancel still stops it.
// When no point was computed, the result columns are cleared instead.
void finalPassAtBestPoint(int n, int p)
{
    if (!(driver.bestSumSquares < INFINITY)) {
        clearResultColumns(n);
        return;
    }
    for (int j = 0; j < p; ++j)
        parameters[j]->value = driver.bestX[j];
    abortRequested.store(false, std::memory_order_relaxed);
    finalPass(&driver.frame, n);
    const bool complete = !abortRequested.load(std::memory_order_relaxed);
    abortRequested.store(true, std::memory_order_relaxed);
    analysis.residualsComputed = complete;
    if (complete && !settings.functionMinimization)
        analysis.finalSumSquares = finalPassSumSquares(n);
}

// The figures and arrays of the finished analysis into the results record, which the
// writers read.
void takeOverResults()
{
    results.stopCode = analysis.stopCode;
    results.iterationCount = analysis.iterationCount;
    results.finalSumSquares = analysis.finalSumSquares;
    results.residualsComputed = analysis.residualsComputed;
    results.startTime = analysis.startTime;
    results.covarianceState = analysis.covarianceState;
    results.predicted = analysis.predicted;
    results.observed = analysis.observed;
    results.covariance = analysis.covariance;
    results.initialGuess = analysis.initialGuess;
    results.collected = analysis.collected;
    results.weights = analysis.weights;
    results.weightAbsolute = weightsActive() && uncertainty.weightAbsolute;
    results.boundsInactive = analysis.boundsInactive;
    results.profile = analysis.profile;
    results.profileLevel = analysis.profileLevel;
}

}  // namespace

int driverRun()
{
    const int n = observationCount;
    const int p = parameterCount;
    releaseResultArrays();
    if (!allocateArrays(n, p)) {
        releaseSolverArrays();
        analysis.stopCode = STOP_BAD_VALUES;
        if (driver.endHandler)
            driver.endHandler(analysis.stopCode);
        return analysis.stopCode;
    }
    analysis.residualEvaluations = 0;
    diagnosisReset();
    // The Diagnosis reads the last runtime error of this run's solve, never an earlier run's.
    driver.frame.errorLine = 0;
    driver.frame.errorText[0] = '\0';
    // Without a helper thread every routine that would post to it works alone.
    helperStart();
    blockPrepare(runProgram());
    prepareFixedWeights(n);
    prepareExact(p);
    analysis.covarianceState = CovarianceState{0, settings.covarianceCode, settings.printCovariance};
    for (int j = 0; j < p; ++j)
        analysis.initialGuess[j] = parameters[j]->initialValue;
    // Nothing of an earlier analysis may show if this one ends before its first solve does.
    analysis.finalSumSquares = 0.0;
    analysis.residualsComputed = false;
    reportText("\nBeginning computation...\n");

    if (settings.sweepCount == 0) {
        for (int j = 0; j < p; ++j)
            parameters[j]->value = parameters[j]->initialValue;
        analysis.stopCode = driverSolve();
    } else {
        analysis.stopCode = sweepSearch();
    }
    if (aborted()) {
        analysis.iterationCount = progressIteration.load(std::memory_order_relaxed);
        analysis.stopCode = STOP_ABORTED;
        finalPassAtBestPoint(n, p);
    }
    if (!aborted() && uncertainty.profile && driverStopCodeUsable(analysis.stopCode) &&
        !settings.functionMinimization)
        profileParameters(n, p);
    releaseSolverArrays();
    releaseExact();

    if (!aborted()) {
        // The failure that stopped the solver is met again here: it is written once.
        runSkipRepeatedError(true);
        finalPass(&driver.frame, n);
        runSkipRepeatedError(false);
        // Cancelled during the final pass, the values are incomplete: the run is then
        // reported as aborted, never as converged.
        if (!aborted())
            listingPrint("Completed analysis\n");
        else
            analysis.stopCode = STOP_ABORTED;
        analysis.residualsComputed = !aborted();
        // The solver never formed a sum of squares for a model that cannot be computed
        // at its starting values, and its 0 would read as a perfect fit: the sum of the
        // final pass is shown instead, as the other figures of the listing are.
        if (analysis.stopCode == STOP_NO_START)
            analysis.finalSumSquares = finalPassSumSquares(n);
    }
    reportStopReason(analysis.stopCode);
    if (analysis.stopCode >= STOP_ITERATION_LIMIT && !aborted())
        analysis.analysisCompleted = true;
    takeOverResults();
    resultsCompute();
    diagnosisCompute(&driver.frame, results, &results.diagnosis);
    // Cancelled before any point was computed, the run has no estimates to write: the
    // OUTPUT and POUTPUT files of an earlier run stay as they are.
    const bool noPoint = aborted() && !(driver.bestSumSquares < INFINITY);
    const bool ownOutputFile = settings.outputMode > 0;
    if (!settings.parameterOutputFile.empty() && !noPoint)
        results.parameterFileMessage = outputWriteParameterFile();
    if (noPoint && (ownOutputFile || !settings.parameterOutputFile.empty()))
        results.parameterFileMessage = MSG_NO_POINT_NO_FILES;
    reportListing(results);
    if (settings.outputMode != 0 && !noPoint)
        outputWriteFile(results);
    driver.weightsFixed = false;
    shareSetWeights(nullptr);
    helperStop();
    const int code = analysis.stopCode;
    if (driver.endHandler)
        driver.endHandler(code);
    return code;
}

namespace {

// Absolute weights: the solver's matrix is s_w^2 (J'WJ)^-1 with s_w^2 = sum w r^2 /
// max(1, n - p); the known errors ask for (J'WJ)^-1 itself. An exact fit (s_w = 0)
// leaves nothing to divide by, and the matrix is then declared not computed.
void unscaleCovariance(int n, int p, double weightedSS)
{
    const double s2 = weightedSS / std::fmax(1.0, (double)(n - p));
    if (!(s2 > 0) || !std::isfinite(s2)) {
        covarianceTakeOver(COV_NOT_COMPUTED, nullptr, analysis.covariance, p, &analysis.covarianceState);
        return;
    }
    for (long k = 0; k < (long)p * p; ++k)
        analysis.covariance[k] /= s2;
}

}  // namespace

namespace {

// No parameter of x lies on one of its bounds, to within BOUND_CONTACT of its size.
bool noBoundActive(const double* x, const double* bounds, int p)
{
    for (int j = 0; j < p; ++j) {
        const double scale = std::fmax(1.0, std::fabs(x[j]));
        if (std::fabs(x[j] - bounds[2 * j]) <= BOUND_CONTACT * scale ||
            std::fabs(x[j] - bounds[2 * j + 1]) <= BOUND_CONTACT * scale)
            return false;
    }
    return true;
}

// A bounded fit that converged inside its box is the fit without bounds: solved again
// from its solution without them, it gives the covariance that the bounded solve does
// not. That solve is kept only when it converges properly and stays inside the box;
// otherwise the bounded solve's outcome is put back, without a covariance.
void solveWithoutBounds(int n, int p, double* x, const double* bounds, const SolverCallbacks& callbacks)
{
    int* iv = analysis.solverInts;
    double* v = analysis.solverReals;
    const int code = iv[IV_RETURN_CODE];
    const int iterations = iv[IV_NITER];
    const double f = v[V_F];
    double* inside = memalloc_doubles((size_t)p, TAG_POINT);
    if (!inside)
        return;
    for (int j = 0; j < p; ++j)
        inside[j] = x[j];
    const SolverArrays a = prepareSolverArrays(n, p, analysis.covarianceState.code);
    solverSolve(n, p, x, callbacks, iv, a.ivLength, v, a.vLength);
    bool kept = !aborted() && driverStopCodeUsable(driverStopCode(iv[IV_RETURN_CODE]));
    for (int j = 0; j < p && kept; ++j)
        kept = x[j] >= bounds[2 * j] && x[j] <= bounds[2 * j + 1];
    analysis.boundsInactive = kept;
    if (!kept) {
        for (int j = 0; j < p; ++j)
            x[j] = inside[j];
        iv[IV_RETURN_CODE] = code;
        iv[IV_NITER] = iterations;
        iv[IV_COVARIANCE] = 0;
        v[V_F] = f;
    } else {
        iv[IV_NITER] += iterations;
    }
    memfree(inside);
}

}  // namespace

int driverSolve()
{
    const int n = observationCount;
    const int p = parameterCount;
    const SolverArrays a = prepareSolverArrays(n, p, analysis.covarianceState.code);
    int* iv = a.iv;
    double* v = a.v;
    const int ivLength = a.ivLength;
    const long vLength = a.vLength;
    double* x = driver.x;
    for (int j = 0; j < p; ++j)
        x[j] = parameters[j]->value;
    const SolverCallbacks callbacks = fitCallbacks(residualsForSolver, progressForSolver);
    if (parametersConstrained()) {
        // Pairs (lower, upper); the block lives for this solve only.
        double* bounds = memalloc_doubles(2 * (size_t)(p > 0 ? p : 1), TAG_BOUNDS);
        if (!bounds)
            return STOP_BAD_VALUES;
        for (int j = 0; j < p; ++j) {
            bounds[2 * j] = parameters[j]->lowerBound;
            bounds[2 * j + 1] = parameters[j]->upperBound;
        }
        solverSolveBounded(n, p, x, bounds, callbacks, iv, ivLength, v, vLength);
        analysis.boundsInactive = false;
        // The points of a SWEEP grid need only their sums of squares.
        if (!quietErrors && !aborted() && driverStopCodeUsable(driverStopCode(iv[IV_RETURN_CODE])) &&
            noBoundActive(x, bounds, p))
            solveWithoutBounds(n, p, x, bounds, callbacks);
        memfree(bounds);
    } else {
        solverSolve(n, p, x, callbacks, iv, ivLength, v, vLength);
    }
    for (int j = 0; j < p; ++j)
        parameters[j]->value = x[j];
    // A cancelled solve has no covariance: its last factorisation may be unfinished.
    const int status = aborted() ? 0 : iv[IV_COVARIANCE];
    covarianceTakeOver(status, status >= 1 ? v + (status - 1) : nullptr, analysis.covariance, p,
                       &analysis.covarianceState);
    if (status >= 1 && weightsActive() && uncertainty.weightAbsolute)
        unscaleCovariance(n, p, 2.0 * v[V_F]);
    if (aborted())
        return STOP_ABORTED;
    analysis.iterationCount = iv[IV_NITER];
    analysis.finalSumSquares = 2.0 * v[V_F];
    return driverStopCode(iv[IV_RETURN_CODE]);
}

int driverStopCode(int solverReturn)
{
    switch (solverReturn) {
    case SOLVER_X_CONVERGED: return STOP_PARAMETER;
    case SOLVER_RELATIVE_CONVERGED: return STOP_RELATIVE;
    case SOLVER_BOTH_CONVERGED: return STOP_BOTH;
    case SOLVER_ABSOLUTE_CONVERGED: return STOP_ABSOLUTE;
    case SOLVER_SINGULAR_CONVERGED: return STOP_SINGULAR;
    case SOLVER_FALSE_CONVERGED: return STOP_FALSE_CONVERGENCE;
    case SOLVER_EVAL_LIMIT: return STOP_CALL_LIMIT;
    case SOLVER_ITER_LIMIT: return STOP_ITERATION_LIMIT;
    case SOLVER_BAD_START: return STOP_NO_START;
    case SOLVER_JACOBIAN_FAILED: return STOP_NO_JACOBIAN;
    default: return STOP_BAD_VALUES;    // settings, arrays, Cancel
    }
}

namespace {

// The residual of observation i by the per-observation path into r[i]; false when the
// evaluation failed (nf = 0) and the residual vector is done.
bool residualOfObservation(RunFrame* frame, int i, int* nf, double* r)
{
    double predicted = 0.0;
    double observed = 0.0;
    const bool ok = runObservation(frame, i, nullptr, &predicted, &observed);
    r[i] = predicted - observed;
    if (frame->runFailed || !std::isfinite(r[i])) {
        r[i] = 0.0;
        *nf = 0;
        return false;
    }
    if (!ok) {
        *nf = 0;
        return false;
    }
    if (!weightsActive())
        return true;
    // The solver sees sqrt(w_i) r_i, so that its sum of squares is sum w_i r_i^2.
    double w = 0.0;
    if (!weightsEvaluate(frame, i, &w)) {
        r[i] = 0.0;
        *nf = 0;
        return false;
    }
    r[i] *= std::sqrt(w);
    return true;
}

// Regression residuals, a block of observations at a time when the program has a block
// form (on both cores when the helper is free); a block that meets an error or Cancel is
// run again per observation, which reports it as the reference path does and stops at the
// same observation. True when every block took the block path; *blockSums then says
// whether shareBlockSquares holds the sums of every block.
bool regressionResiduals(RunFrame* frame, int n, int* nf, double* r, bool* blockSums)
{
    *blockSums = false;
    if (!blockPath()) {
        for (int i = 0; i < n; ++i)
            if (!residualOfObservation(frame, i, nf, r))
                return false;
        return false;
    }
    bool allBlocks = true;
    const bool shared = shareBlocks(frame, n, r, nullptr);
    for (int first = 0; first < n; first += BLOCK_ROWS) {
        const int count = n - first < BLOCK_ROWS ? n - first : BLOCK_ROWS;
        const bool done = shared ? shareBlockOutcome(first / BLOCK_ROWS) != SHARE_NOT_DONE
                                 : shareEvaluateBlock(frame, first, count, r, nullptr) == BLOCK_OK;
        if (done) {
            if (shared && shareBlockOutcome(first / BLOCK_ROWS) == SHARE_FINITE)
                continue;
            for (int i = first; i < first + count; ++i)
                if (!std::isfinite(r[i])) {
                    r[i] = 0.0;
                    *nf = 0;
                    return false;
                }
            continue;
        }
        allBlocks = false;
        for (int i = first; i < first + count; ++i)
            if (!residualOfObservation(frame, i, nf, r))
                return false;
    }
    *blockSums = shared && allBlocks;
    return allBlocks;
}

}  // namespace

void driverResiduals(RunFrame* frame, int n, int p, const double* x, int* nf, double* r)
{
    if (aborted()) {
        *nf = -1;
        return;
    }
    std::atomic_ref<long>(analysis.residualEvaluations).fetch_add(1, std::memory_order_relaxed);
    runReset(frame);
    if (!frame->values) {
        *nf = 0;
        return;
    }
    for (int j = 0; j < p; ++j)
        frame->values[parameters[j]->slot] = x[j];
    if (!settings.functionMinimization) {
        // The analysis thread's own evaluations keep values for the next ones; quiet
        // (speculative) ones run beside another evaluation and only take them.
        if (frame == &driver.frame && !frame->quiet)
            blockStoreBegin(frame);
        bool blockSums = false;
        blockStoreEnd(frame, regressionResiduals(frame, n, nf, r, &blockSums));
        if (*nf != 0 && frame == &driver.frame)
            rememberBestPoint(n, p, x, r, blockSums);
        return;
    }
    double value = 0.0;
    bool ok = runObservation(frame, 0, nullptr, &value, nullptr);
    r[0] = std::sqrt(std::fabs(value)) / std::sqrt((double)n);
    if (frame->runFailed || !std::isfinite(r[0])) {
        r[0] = 0.0;
        ok = false;
    }
    for (int i = 1; i < n; ++i)
        r[i] = r[0];
    if (!ok)
        *nf = 0;
    else if (frame == &driver.frame)
        rememberBestPoint(n, p, x, r, false);
}

void driverProgress(int iteration, double objective)
{
    progressIteration.store(iteration, std::memory_order_relaxed);
    progressSumSquares.store(2.0 * objective, std::memory_order_relaxed);
    progressChanged.store(true, std::memory_order_relaxed);
    diagnosisNoteProgress(iteration, 2.0 * objective);
}

bool driverStopCodeUsable(int code)
{
    return code >= STOP_ABSOLUTE && code <= STOP_BOTH;
}

bool driverSweepAdvance(int* current, const SweepEntry* sweeps, int count)
{
    for (int e = count - 1; e >= 0; --e) {
        if (++current[e] <= sweeps[e].stepCount)
            return true;
        current[e] = 0;
    }
    return false;
}

long driverSweepPoints()
{
    long points = settings.sweepCount > 0 ? 1 : 0;
    for (int e = 0; e < settings.sweepCount; ++e) {
        const long values = std::max(1, settings.sweeps[e].stepCount + 1);
        // A grid beyond any run's reach is counted as the largest count, not a wrapped one.
        points = points > LONG_MAX / values ? LONG_MAX : points * values;
    }
    return points;
}

RunFrame* driverFrame()
{
    return &driver.frame;
}

void driverRelease()
{
    driverWait();
    releaseResultArrays();
    runFrameRelease(&driver.frame);
    shareRelease();
    blockRelease();
}
