// Profile-likelihood confidence intervals (Bates and Watts, Nonlinear Regression Analysis
// and Its Applications, 6.1): the profile t function tau of each parameter, and the two
// values at which |tau| reaches the t quantile of the confidence level.
#include "analysis/profile.h"

#include <cmath>

#include "exec/specfun.h"

namespace {

constexpr int BRACKET_STEPS = 12;         // outward steps of 1, 2, 4, ... first steps
constexpr int ROOT_ITERATIONS = 60;       // secant and bisection steps for one limit
constexpr double ROOT_TOLERANCE = 1e-9;   // of the step size: far below 4 significant digits
constexpr double FALLBACK_STEP = 0.1;     // relative step when no standard error is known

struct Side {
    const ProfileProblem* problem;
    int j;              // the profiled parameter
    double* x;          // warm start, the last re-fit's solution
    double s;           // sqrt(S0 / (n - p))
    double level;       // the t quantile |tau| must reach
};

bool cancelled(const ProfileProblem& problem)
{
    return problem.cancel && problem.cancel->load(std::memory_order_relaxed);
}

// g(theta) = |tau(theta)| - level; false when the re-fit fails. A sum of squares below
// S0 (the re-fit found a lower minimum) counts as tau = 0.
bool excess(Side& side, double theta, double* g)
{
    const ProfileProblem& pr = *side.problem;
    double ss = 0.0;
    side.x[side.j] = theta;
    if (!pr.solve(side.j, theta, side.x, &ss, pr.context) || !std::isfinite(ss))
        return false;
    const double rise = ss - pr.leastSquares;
    *g = (rise > 0.0 ? std::sqrt(rise) / side.s : 0.0) - side.level;
    return true;
}

// The limit on one side (direction +1 or -1): steps outward from the estimate until g
// changes sign, then narrows [inner, outer] by the Illinois variant of regula falsi,
// which keeps the bracket and converges superlinearly on the nearly linear tau.
bool findLimit(Side& side, double direction, double step, double* limit)
{
    const ProfileProblem& pr = *side.problem;
    const int j = side.j;
    for (int k = 0; k < pr.p; ++k)
        side.x[k] = pr.estimate[k];
    const double bound = direction > 0 ? pr.upperBound[j] : pr.lowerBound[j];
    double inner = pr.estimate[j];
    double gInner = -side.level;
    double outer = inner;
    double gOuter = gInner;
    bool bracketed = false;
    double width = step;
    for (int k = 0; k < BRACKET_STEPS && !bracketed; ++k, width *= 2.0) {
        if (cancelled(pr))
            return false;
        double theta = pr.estimate[j] + direction * width;
        const bool atBound = direction > 0 ? theta >= bound : theta <= bound;
        if (atBound)
            theta = bound;
        double g = 0.0;
        if (!excess(side, theta, &g))
            return false;
        if (g >= 0.0) {
            outer = theta;
            gOuter = g;
            bracketed = true;
        } else {
            inner = theta;
            gInner = g;
            if (atBound)
                return false;
        }
    }
    if (!bracketed)
        return false;
    // Illinois: an end kept twice in a row has its g halved, so the other end moves.
    int lastMoved = 0;   // +1 outer, -1 inner
    for (int k = 0; k < ROOT_ITERATIONS && std::fabs(outer - inner) > ROOT_TOLERANCE * step; ++k) {
        if (cancelled(pr))
            return false;
        double theta = outer - gOuter * (outer - inner) / (gOuter - gInner);
        if (!(theta > std::fmin(inner, outer) && theta < std::fmax(inner, outer)))
            theta = 0.5 * (inner + outer);
        double g = 0.0;
        if (!excess(side, theta, &g))
            return false;
        if (g >= 0.0) {
            outer = theta;
            gOuter = g;
            if (lastMoved == 1)
                gInner *= 0.5;
            lastMoved = 1;
        } else {
            inner = theta;
            gInner = g;
            if (lastMoved == -1)
                gOuter *= 0.5;
            lastMoved = -1;
        }
        if (g == 0.0)
            break;
    }
    *limit = gOuter == 0.0 ? outer : 0.5 * (inner + outer);
    return true;
}

}  // namespace

bool profileCompute(const ProfileProblem& problem, double* work, ProfileLimits* out)
{
    const int df = problem.n - problem.p;
    for (int j = 0; j < problem.p; ++j)
        out[j] = ProfileLimits{};
    // Without residual degrees of freedom or scatter there is no level to reach.
    if (df <= 0 || !(problem.leastSquares > 0.0))
        return false;
    Side side = {&problem, 0, work, std::sqrt(problem.leastSquares / df),
                 inverseStudentT(0.5 * (1.0 + problem.level), df)};
    for (int j = 0; j < problem.p; ++j) {
        side.j = j;
        const double se = problem.stdError[j];
        const double size = std::fabs(problem.estimate[j]);
        // The first step reaches the Wald limit, which the profile limit is usually near.
        const double step = se > 0.0 && std::isfinite(se) ? side.level * se
                                                           : FALLBACK_STEP * (size > 0.0 ? size : 1.0);
        out[j].lowerFound = findLimit(side, -1.0, step, &out[j].lower);
        out[j].upperFound = findLimit(side, 1.0, step, &out[j].upper);
        if (cancelled(problem))
            return false;
    }
    return true;
}
