// Jacobians of the least-squares solver (Dennis-Gay-Welsch): forward differences with
// steps widened when a column is lost in rounding, the first tries of the columns
// evaluated on the calling thread and the helper thread at once, and central
// differences for the false-convergence check.
#include "solver/solvercorestate.h"

#include <cfloat>
#include <cmath>


namespace {

// A difference column is lost in rounding when the residuals change by no more than a
// few hundred units in the last place of the largest residual (large observed values
// with a parameter near zero: y = 1e9, a = 1, h = 1.5e-8). Then the step h is widened
// by 1000 up to three times, staying inside the bounds, until the change is resolved;
// an uncomputable widened step keeps the column of the last resolved step (re-evaluated).
constexpr double WIDEN_FACTOR = 1000.0;
constexpr int WIDEN_LIMIT = 3;
constexpr double ROUNDING_UNITS = 256.0;

// Column k <- (column - r0) / step, the residuals at x + step e_k already in it. Keeps
// max |J_ik| for the scale update and returns the change max |J_ik step| of the residuals.
double differenceColumn(Core& c, int k, double* column, double step)
{
    return linalgDifference(c.n, column, c.r0, step, &c.colLast[k]);
}

bool columnLost(const Core& c, double change)
{
    return change <= ROUNDING_UNITS * DBL_EPSILON * c.r0Size;
}

int widenColumn(Core& c, int k, double change, double h, double* column)
{
    if (!columnLost(c, change)) return OUT_OK;
    double* trial = c.xt;
    double xk = c.x[k];
    double good = h;
    for (int tries = 0; tries < WIDEN_LIMIT; ++tries) {
        double wide = good * WIDEN_FACTOR;
        if (c.bounds != nullptr && (xk + wide < c.bounds[2 * k] || xk + wide > c.bounds[2 * k + 1])) return OUT_OK;
        trial[k] = xk + wide;
        double used = trial[k] - xk;
        ++c.ngcall;
        int outcome = evaluate(c, trial, column);
        trial[k] = xk;
        if (outcome == OUT_CANCEL) return OUT_CANCEL;
        if (outcome != OUT_OK) {
            // widened step not computable: back to the last computed step
            trial[k] = xk + good;
            ++c.ngcall;
            outcome = evaluate(c, trial, column);
            trial[k] = xk;
            if (outcome != OUT_OK) return outcome;
            differenceColumn(c, k, column, good);
            return OUT_OK;
        }
        change = differenceColumn(c, k, column, used);
        good = used;
        if (!columnLost(c, change)) return OUT_OK;
    }
    return OUT_OK;
}

// Largest difference step, as a fraction of a nonzero parameter, while d is still its
// starting guess.
constexpr double FIRST_STEP_FRACTION = 1.0 / 64.0;

// Difference step relative * max(|x_k|, min(1, vScale) / d_k): the floor is the change
// of parameter k that moves the values by vScale (with values near 1e-7 the floor 1 / d_k
// stepped a rate constant of 5.5e-4 by a quarter of itself, and its standard error came out
// 1e-4 wrong). Before d has been set from a Jacobian a nonzero x_k limits the step to
// FIRST_STEP_FRACTION |x_k|.
double differenceBase(const Core& c, int k, double relative)
{
    double xk = std::fabs(c.x[k]);
    double h = relative * std::fmax(xk, std::fmin(1.0, c.vScale) / c.d[k]);
    if (!c.scaled && xk > 0.0) h = std::fmin(h, FIRST_STEP_FRACTION * xk);
    return h;
}

// First difference step of column k at x_k: h0 = differenceBase with V(43), the step h
// and the retry factor. Bounded: near a bound the retries stay on the open side. Returns
// OUT_OK, OUT_FAILED when no step fits between the bounds, or COLUMN_FIXED.
constexpr int COLUMN_FIXED = 2;

int firstStep(const Core& c, int k, double* h0, double* h, double* factor)
{
    double xk = c.x[k];
    *h0 = differenceBase(c, k, c.v[V_DLTFDJ]);
    *h = *h0;
    *factor = -0.5;
    if (c.bounds == nullptr) return OUT_OK;
    double lower = c.bounds[2 * k], upper = c.bounds[2 * k + 1];
    if (lower >= upper) return COLUMN_FIXED;
    if (xk - *h0 < lower) {
        *factor = 0.5;
        if (xk + *h0 > upper) return OUT_FAILED;
    } else if (xk + *h0 > upper) {
        *h = -*h0;
        *factor = 0.5;
    }
    return OUT_OK;
}

// Column k of the forward-difference Jacobian (tries h0, then h times the factor while
// |h / h0| >= 0.1), widened when lost in rounding. trial holds x and is restored.
// first, when not OUT_FAILED, is the outcome of the first try already evaluated into the
// column (by the speculative pass); that try is then only counted. firstChange >= 0 says
// that the pass also formed the quotients, with that change (see differenceColumn).
int formColumn(Core& c, int k, double* trial, int first, double firstChange)
{
    double* column = c.jac + (long)k * c.n;
    double xk = c.x[k];
    double h0, h, factor;
    int start = firstStep(c, k, &h0, &h, &factor);
    if (start == COLUMN_FIXED) {
        for (int i = 0; i < c.n; ++i) column[i] = 0.0;
        c.colLast[k] = 0.0;
        return OUT_OK;
    }
    if (start == OUT_FAILED) return OUT_FAILED;
    bool done = false;
    double used = 0.0, change = 0.0;
    while (std::fabs(h / h0) >= 0.1) {
        trial[k] = xk + h;
        used = trial[k] - xk;           // the step as represented
        ++c.ngcall;
        int outcome = first != OUT_FAILED ? first : evaluate(c, trial, column);
        bool divided = first != OUT_FAILED && firstChange >= 0.0;
        first = OUT_FAILED;
        trial[k] = xk;
        if (outcome == OUT_CANCEL) return OUT_CANCEL;
        if (outcome == OUT_OK && used != 0.0) {
            change = divided ? firstChange : differenceColumn(c, k, column, used);
            done = true;
            break;
        }
        h *= factor;
    }
    if (!done) return OUT_FAILED;
    return widenColumn(c, k, change, used, column);
}

// The speculative pass of both cores: the first tries of columns begin, begin + 2, ...
// below end, each at x with its own trial point, through the quiet routine. A computed
// try is turned into its difference quotients at once, on the same thread.
struct ColumnBatch {
    Core* core;
    int begin;              // first column of this thread
    int end;                // columns below this one
    void* context;          // the thread's evaluation context
    double* trial;          // p doubles: the thread's trial point
    int* outcomes;          // outcome of each column's first try
    double* changes;        // change of each column divided here (-1: not divided)
};

void evaluateFirstTries(const ColumnBatch& batch)
{
    Core& c = *batch.core;
    for (int k = 0; k < c.p; ++k) batch.trial[k] = c.x[k];
    for (int k = batch.begin; k < batch.end; k += 2) {
        double h0, h, factor;
        if (firstStep(c, k, &h0, &h, &factor) != OUT_OK) continue;
        batch.trial[k] = c.x[k] + h;
        double used = batch.trial[k] - c.x[k];
        double* column = c.jac + (long)k * c.n;
        batch.outcomes[k] = used != 0.0
            ? evaluateWith(c, c.callbacks->quietResiduals, batch.context, batch.trial, column)
            : OUT_FAILED;
        batch.trial[k] = c.x[k];
        if (batch.outcomes[k] == OUT_OK) batch.changes[k] = differenceColumn(c, k, column, used);
        if (batch.outcomes[k] == OUT_CANCEL) return;
    }
}

void columnTask(void* batch)
{
    evaluateFirstTries(*static_cast<ColumnBatch*>(batch));
}

// Runs the speculative pass on this thread and the helper thread. Only columns before
// the first one without room between its bounds are tried, as the serial order stops
// there. outcomes[k] stays OUT_FAILED for a column not tried (the helper's, when it had
// not begun by the time this thread was done). False when the helper is not free.
bool firstTriesOnTwoThreads(Core& c, int* outcomes, double* changes)
{
    int end = 0;
    for (; end < c.p; ++end) {
        outcomes[end] = OUT_FAILED;
        changes[end] = -1.0;
        double h0, h, factor;
        if (firstStep(c, end, &h0, &h, &factor) == OUT_FAILED) break;
    }
    ColumnBatch helper{&c, 1, end, c.callbacks->helperContext, c.helperTrial, outcomes, changes};
    ColumnBatch own{&c, 0, end, c.callbacks->context, c.xt, outcomes, changes};
    if (!solverHelperPost(columnTask, &helper)) return false;
    evaluateFirstTries(own);
    solverHelperCollect();
    return true;
}

// Difference step of parameter k (see differenceBase).
double differenceStep(const Core& c, int k, double relative) { return differenceBase(c, k, relative); }

// A parameter fixed by its bounds (lower >= upper) gets a zero column; true then.
bool zeroColumnIfFixed(const Core& c, int k, double* column)
{
    if (c.bounds == nullptr || c.bounds[2 * k] < c.bounds[2 * k + 1]) return false;
    for (int i = 0; i < c.n; ++i) column[i] = 0.0;
    return true;
}

// Column k by central difference: (r(x + h e_k) - r(x - h e_k)) / (2h) with h = V(42)
// max(|x_k|, 1/d_k), the step that balances the rounding of the residuals against the
// third-order truncation. At a bound the column is one-sided with the same step; the
// residuals at x are in r0. trial holds x and is restored.
int centralColumn(Core& c, int k, double* trial, double* column)
{
    double xk = c.x[k];
    double h = differenceStep(c, k, c.v[V_DLTFDC]);
    double above = xk + h, below = xk - h;
    if (c.bounds != nullptr) {
        if (above > c.bounds[2 * k + 1]) above = xk;
        if (below < c.bounds[2 * k]) below = xk;
    }
    if (!(above > below)) return OUT_FAILED;
    double* sides[2] = {column, c.rt};
    double points[2] = {above, below};
    for (int side = 0; side < 2; ++side) {
        if (points[side] == xk) {
            for (int i = 0; i < c.n; ++i) sides[side][i] = c.r0[i];
            continue;
        }
        trial[k] = points[side];
        ++c.ngcall;
        int outcome = evaluate(c, trial, sides[side]);
        trial[k] = xk;
        if (outcome != OUT_OK) return outcome;
    }
    for (int i = 0; i < c.n; ++i) column[i] = (column[i] - c.rt[i]) / (above - below);
    return OUT_OK;
}

// The Jacobian from the caller's exact derivatives, with the column maxima the scale
// update takes; a parameter fixed by its bounds gets a zero column.
int exactJacobian(Core& c)
{
    if (c.callbacks->cancel && c.callbacks->cancel->load(std::memory_order_relaxed)) return OUT_CANCEL;
    int nf = c.ngcall + 1;
    ++c.ngcall;
    c.callbacks->jacobian(c.n, c.p, c.x, &nf, c.jac, c.callbacks->context);
    if (nf < 0) return OUT_CANCEL;
    if (nf == 0) return OUT_FAILED;
    for (int k = 0; k < c.p; ++k) {
        double* column = c.jac + (long)k * c.n;
        if (zeroColumnIfFixed(c, k, column)) {
            c.colLast[k] = 0.0;
            continue;
        }
        c.colLast[k] = linalgMaxAbs(c.n, column);
        if (!std::isfinite(c.colLast[k])) return OUT_FAILED;
    }
    return OUT_OK;
}

}  // namespace

// Forward-difference Jacobian at c.x with base residuals c.r0 into c.jac (natural order),
// column by column (formColumn), or the exact one when the caller gives it. With a quiet routine the first tries are evaluated on
// two threads first; the columns are then completed in order, so that every retry,
// message and count is that of the serial order. The perturbed parameter is restored on
// every path.
int formJacobian(Core& c)
{
    if (c.callbacks->jacobian) return exactJacobian(c);
    double* trial = c.xt;
    c.r0Size = linalgMaxAbs(c.n, c.r0);
    int* outcomes = c.outcomes;
    double* changes = c.changes;
    bool speculative = c.callbacks->quietResiduals != nullptr && c.p >= 2;
    if (speculative) {
        for (int k = 0; k < c.p; ++k) {
            outcomes[k] = OUT_FAILED;
            changes[k] = -1.0;
        }
        speculative = firstTriesOnTwoThreads(c, outcomes, changes);
    }
    for (int k = 0; k < c.p; ++k) trial[k] = c.x[k];
    for (int k = 0; k < c.p; ++k) {
        int first = speculative ? outcomes[k] : OUT_FAILED;
        if (first == OUT_CANCEL) return OUT_CANCEL;
        int outcome = formColumn(c, k, trial, first, speculative ? changes[k] : -1.0);
        if (outcome != OUT_OK) return outcome;
    }
    return OUT_OK;
}

// Central-difference Jacobian at c.x into c.jac (natural order), column by column
// (centralColumn); a parameter fixed by its bounds gets a zero column. With exact
// derivatives, the exact Jacobian again.
int formCentralJacobian(Core& c)
{
    if (c.callbacks->jacobian) return exactJacobian(c);
    double* trial = c.xt;
    for (int k = 0; k < c.p; ++k) trial[k] = c.x[k];
    for (int k = 0; k < c.p; ++k) {
        double* column = c.jac + (long)k * c.n;
        if (zeroColumnIfFixed(c, k, column)) continue;
        int outcome = centralColumn(c, k, trial, column);
        if (outcome != OUT_OK) return outcome;
    }
    return OUT_OK;
}
