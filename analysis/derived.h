// Derived quantities: functions of the parameters (DERIVED statements) with standard
// errors by the delta method, se^2 = g' C g, g the gradient in the parameters by central
// differences and C the full parameter covariance matrix of the listing.
#pragma once

struct AnalysisResults;

struct DerivedStatistics {
    const char* name;           // the DERIVED name
    bool valueComputed;         // the expression could be evaluated at the estimates
    double value;               // its value there
    bool hasStatistics;         // the fields below are meaningful
    const char* missing;        // why a computed value has no standard error, or null
    double stdError;            // sqrt(g' C g)
    bool tAvailable;            // stdError positive and finite
    double tValue;              // value / stdError
    double probT;               // two-sided, at least STAT_PROB_FLOOR
    double lowerLimit;          // value - q stdError at the confidence level (when results.intervals)
    double upperLimit;          // value + q stdError (when results.intervals)
};

// Fills results.derived from the parameter estimates and the results' covariance; when
// no standard errors can be given, results.derivedReason says why in one line.
void derivedCompute(AnalysisResults& results);
void derivedRelease(AnalysisResults& results);

// g' C g is refused when it is below this share of sum |g_i C_ij g_j|: the terms then
// cancel, and the last digits of C and of the differenced gradient (about 1e-8 of the
// sum together) make up more than a hundredth of the result.
constexpr double DERIVED_CANCELLATION_LIMIT = 1e-6;

// Relative step of the central differences: about eps^(1/3), which balances the
// truncation error (h^2) against the rounding error (eps / h).
constexpr double DERIVED_RELATIVE_STEP = 6.0554544523933395e-06;

// Gradient of f at b (p values) by central differences, step h_j =
// DERIVED_RELATIVE_STEP * max(|b_j|, scale_j) made exact in binary; b is restored on
// return. f returns false where it cannot be computed. False when some difference
// failed. Open to tests.
bool derivedGradient(bool (*f)(void* context, const double* b, double* value), void* context, double* b,
                     const double* scale, int p, double* gradient);
