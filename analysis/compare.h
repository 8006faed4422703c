// Comparison of fitted models of the same observations: one row per model with its
// sums of squares and information criteria, Akaike weights, and the extra-sum-of-squares
// F test of each consecutive pair whose parameter counts differ.
#pragma once

#include <string>
#include <vector>

#include "analysis/statistics.h"

// One fitted model, taken from its run's results.
struct CompareModel {
    std::string name;               // the program file as given
    bool fitted;                    // the run produced results (compiled, read, fitted)
    bool converged;                 // the fit ended with a usable result
    int n;                          // observations
    int p;                          // parameters
    bool weighted;                  // ss is the weighted sum of squares
    double ss;                      // residual sum of squares (weighted when weighted)
    InformationCriteria criteria;   // log-likelihood, AIC, AICc, BIC
    std::vector<double> observed;   // the n observed values, in observation order
    std::vector<double> weights;    // the n weights of a weighted fit, else empty
};

// The extra-sum-of-squares F test of two fits of the same observations, the smaller
// model first: F = ((ssSmall - ssLarge) / (pLarge - pSmall)) / (ssLarge / (n - pLarge)).
struct CompareFTest {
    bool defined;       // pLarge > pSmall, n > pLarge and ssLarge > 0
    int df1;            // pLarge - pSmall
    int df2;            // n - pLarge
    double F;           // the statistic; negative when the larger model fits worse
    double probF;       // upper-tail probability of F(df1, df2); 1 when F <= 0
};

CompareFTest compareFTest(const CompareModel& small, const CompareModel& large);

// Akaike weights exp(-delta_i / 2) / sum exp(-delta_j / 2), delta_i = AIC_i - min AIC;
// all NaN when some model has no AIC.
std::vector<double> compareAkaikeWeights(const std::vector<CompareModel>& models);

// Why the models do not describe the same observations ("B.mxl has 12 observations,
// A.mxl has 11", "observation 7 differs: ..."), or empty when they do, to the last bit.
std::string compareSameObservations(const std::vector<CompareModel>& models);

// The comparison table and the F tests as listing text.
std::string compareReport(const std::vector<CompareModel>& models);
