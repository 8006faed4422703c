// Take-over of the solver's parameter covariance matrix into the analysis state, and
// the warnings the listing prints when there is none.
#pragma once

// covarianceStatus values besides a positive "matrix available".
enum CovarianceStatus {
    COV_NOT_COMPUTED = 0,           // no matrix was requested or the solve did not converge
    COV_INDEFINITE = -1,            // the matrix to be inverted was indefinite or singular
    COV_NO_DIFFERENCE_STEP = -2,    // no successful finite-differencing step
    COV_CONSTRAINED = -3            // not computed because parameters are constrained
};

struct AnalysisResults;

// The covariance request of one analysis and what became of it.
struct CovarianceState {
    int status;     // outcome of the last solve: > 0 matrix available, else CovarianceStatus
    int code;       // the request, from the settings; 0 once dropped
    bool print;     // COVARIANCE listing wanted; dropped with the request
};

// After a solve: status is the solver's covariance result; packed (when status > 0)
// holds the lower triangle by rows, [0][0], [1][0], [1][1], [2][0], ... Fills the p x p
// matrix, or clears it and drops the covariance request in state for the rest of the
// analysis.
void covarianceTakeOver(int status, const double* packed, double* matrix, int p, CovarianceState* state);

// Writes the warning for a negative covariance status (nothing otherwise).
void covarianceWriteWarning(const AnalysisResults& results);
