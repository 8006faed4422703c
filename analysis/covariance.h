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

// After a solve: status is the solver's covariance result; packed (when status > 0)
// holds the lower triangle by rows, [0][0], [1][0], [1][1], [2][0], ... Fills the p x p
// matrix, or clears it and drops the covariance request for the rest of the analysis.
void covarianceTakeOver(int status, const double* packed, double* matrix, int p);

// Writes the warning for a negative covarianceStatus (nothing otherwise).
void covarianceWriteWarning();
