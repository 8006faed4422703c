// Covariance take-over: the solver leaves sigma^2 (J'J)^-1 packed as a lower triangle
// in its real workspace; the analysis keeps it as a full symmetric p x p matrix. When
// a solve yields no matrix, the request is dropped for the rest of the analysis.
#include "analysis/covariance.h"

#include "analysis/report.h"
#include "analysis/results.h"
#include "lang/options.h"
#include "lang/symbols.h"

namespace {

bool anyParameterConstrained()
{
    for (int j = 0; j < parameterCount; ++j)
        if (parameters[j]->constrained)
            return true;
    return false;
}

}  // namespace

void covarianceTakeOver(int status, const double* packed, double* matrix, int p, CovarianceState* state)
{
    state->status = status;
    if (status >= 1 && packed) {
        const double* v = packed;
        for (int i = 0; i < p; ++i)
            for (int j = 0; j <= i; ++j) {
                matrix[(size_t)i * p + j] = *v;
                matrix[(size_t)j * p + i] = *v;
                ++v;
            }
        return;
    }
    if (anyParameterConstrained() && state->print)
        state->status = COV_CONSTRAINED;
    state->code = 0;
    state->print = false;
    if (matrix)
        for (size_t k = 0; k < (size_t)p * p; ++k)
            matrix[k] = 0.0;
}

void covarianceWriteWarning(const AnalysisResults& results)
{
    const int status = results.covarianceState.status;
    if (status >= 0)
        return;
    switch (status) {
    case COV_CONSTRAINED:
        reportText("%s", "\nWarning: Covariance matrix could not be computed because\n"
                         "constraints were specified for parameters.\n");
        break;
    case COV_NO_DIFFERENCE_STEP:
        reportText("%s", "\nWarning: Covariance matrix could not be computed because a\n"
                         "successful finite-differencing step could not be found.\n");
        break;
    case COV_INDEFINITE:
        reportText("%s", "\nWarning: Covariance matrix could not be computed because\n"
                         "the finite-difference Hessian was indefinite.\n");
        break;
    default:
        reportText("%s", "\nWarning: Covariance matrix could not be computed.\n");
        break;
    }
    if (settings.constrainCount > 0)
        reportText("Try removing constraints on parameters.\n");
}
