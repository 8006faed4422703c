// Observation weights of a weighted fit: the WEIGHT expression evaluated after the
// program has run for an observation, checked, and the weighted fit statistics.
#pragma once

struct RunFrame;

// The program has a WEIGHT statement and is a regression.
bool weightsActive();

// Evaluates the weight of observation i (0-based) in frame, just after runObservation
// ran it there. A weight that is not positive and finite is reported as a runtime error
// at the WEIGHT line naming the observation; then false and *w = 0.
bool weightsEvaluate(RunFrame* frame, int i, double* w);

// Weighted sums over the final pass: r_i = observed_i - predicted_i, weights w_i.
struct WeightedStats {
    double sumWeights;          // sum of w_i
    double weightedMean;        // sum w_i y_i / sum w_i
    double residualSS;          // sum w_i r_i^2
    double plainResidualSS;     // sum r_i^2
    double totalSS;             // sum w_i (y_i - weightedMean)^2
    double rSquared;            // 1 - residualSS / totalSS, 0 when undefined or not positive
    double adjRSquared;         // 1 - (residualSS / totalSS) (n - 1) / (n - p), 0 when undefined
    int df;                     // n - p
    double probChiSquare;       // Prob(chi-square_df > residualSS), for absolute weights
};

WeightedStats weightsStatistics(const double* observed, const double* predicted, const double* weights,
                                int n, int p);
