// Profile-likelihood confidence intervals. For parameter j the others are fitted again
// with theta_j held at fixed values, and
//     tau(theta_j) = sign(theta_j - estimate_j) sqrt(S(theta_j) - S0) / s,   s^2 = S0 / (n - p),
// S the (weighted) residual sum of squares. The limits are where |tau| reaches
// t(1 - alpha/2; n - p), found by bracketing and a safeguarded secant search. A side
// the profile does not reach that level on (flat, or ending at a bound or where the
// re-fit fails) has no limit.
#pragma once

#include <atomic>

constexpr double PROFILE_DEFAULT_LEVEL = 0.95;   // without a CONFIDENCE level

// One parameter's profile limits.
struct ProfileLimits {
    bool lowerFound;        // lower holds a limit that was found
    bool upperFound;        // upper holds a limit that was found
    double lower;           // lower limit, when found
    double upper;           // upper limit, when found
};

// The fit with parameter j held at value, from x (p values, overwritten by the
// solution): true for a proper convergence, with the residual sum of squares in *ss.
using ProfileSolve = bool (*)(int j, double value, double* x, double* ss, void* context);

// The problem around a converged fit: p estimates, their standard errors (0 or NaN when
// unknown: a step from the estimate's size is used), the bounds of each parameter, the
// least sum of squares S0 with n - p > 0 residual degrees of freedom, and the level.
struct ProfileProblem {
    int n;                      // observations
    int p;                      // parameters
    const double* estimate;     // p values
    const double* stdError;     // p values
    const double* lowerBound;   // p values, -HUGE_VAL when none
    const double* upperBound;   // p values, HUGE_VAL when none
    double leastSquares;        // S0
    double level;               // confidence level, 0.5 < level < 1
    ProfileSolve solve;         // the fit with one parameter held
    void* context;              // for solve
    const std::atomic<bool>* cancel;   // stops the search when it becomes true; may be null
};

// Fills out[0 .. p-1]; work holds p doubles. False when cancelled (out then incomplete),
// and when n - p <= 0 or S0 = 0 leave no level to reach.
bool profileCompute(const ProfileProblem& problem, double* work, ProfileLimits* out);
