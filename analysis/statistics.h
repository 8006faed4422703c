// Fit statistics of a finished analysis: residual sums, per-parameter statistics,
// descriptive statistics of the input variables and the correlation of two variables.
#pragma once

#include <string>

struct AnalysisResults;

constexpr double STAT_PROB_FLOOR = 0.00001;   // smallest probability ever shown
constexpr int CENTER_NAME_WIDTH = 10;         // characters of a centred column heading

// Sums over the residuals d_i = observed_i - predicted_i.
struct ResidualStats {
    double count;           // n as a double
    double sumY;            // sum of y_i
    double sumY2;           // sum of y_i^2
    double totalSS;         // corrected total sum of squares
    double residualSS;      // sum of d_i^2
    double regressionSS;    // totalSS - residualSS, never negative
    double sumDev;          // sum of d_i
    double absDev;          // mean |d_i|
    double maxDev;          // largest |d_i|
    double dwNumerator;     // sum of (d_i - d_(i-1))^2
    double rSquared;        // proportion of variance explained, 0 when undefined
    double adjRSquared;     // R^2 adjusted for p, 0 when undefined
    double durbinWatson;    // dwNumerator / residualSS, 0 when residualSS is 0
    bool oneSided;          // every residual lies strictly on one side of the curve
};

struct ParameterStatistics {
    const char* name;       // parameter name
    double initialGuess;    // initialValue
    double estimate;        // value at the end of the analysis
    bool hasStatistics;     // the three fields below are meaningful
    double stdError;        // sqrt of the covariance diagonal
    bool tAvailable;        // stdError is positive and finite, so tValue and probT are meaningful
    double tValue;          // estimate / stdError (0 when not available)
    double probT;           // two-sided Prob(|T| > t), at least STAT_PROB_FLOOR (1 when not available)
    double lowerLimit;      // lower confidence limit, when the intervals were computed
    double upperLimit;      // upper confidence limit, when the intervals were computed
};

struct VariableStatistics {
    double minimum;         // smallest value
    double maximum;         // largest value
    double mean;            // sum / n
    double standardDeviation;   // sample standard deviation, 0 when n <= 1
};

// Log-likelihood and information criteria of a least-squares fit under independent
// normal errors of variance sigma^2 / w_i, sigma estimated: k = p + 1 counts sigma.
struct InformationCriteria {
    bool defined;           // the fields below are meaningful: n > 0 and a positive residual SS
    int k;                  // estimated quantities, p + 1; 0 when the criteria were not computed
    double logLikelihood;   // maximised log-likelihood
    double aic;             // -2 logLikelihood + 2k
    bool aiccDefined;       // n - k - 1 > 0, so aicc is meaningful
    double aicc;            // aic + 2k(k + 1) / (n - k - 1)
    double bic;             // -2 logLikelihood + k ln n
};

// residualSS is the weighted one when weights is not null; weights holds n positive
// weights or is null for an unweighted fit.
InformationCriteria statisticsCriteria(double residualSS, const double* weights, int n, int p);

ResidualStats statisticsResiduals(const double* observed, const double* predicted, int n, int p);

// True when standard errors, t and Prob(t) can be shown: the covariance matrix exists,
// the analysis is a regression and there are more observations than parameters.
bool statisticsAvailable(const AnalysisResults& results);

// Values of parameter i for the parameter table and the parameter view.
ParameterStatistics statisticsParameter(const AnalysisResults& results, int i);

// Standard errors, t and Prob(t) from an estimate and its variance with df degrees
// of freedom; used by statisticsParameter and open to tests.
void statisticsForEstimate(double estimate, double variance, int df, ParameterStatistics* out);

VariableStatistics statisticsVariable(const double* column, int stride, int n);

// Pearson correlation of n values a[i * strideA] and b[i * strideB].
double statisticsCorrelation(const double* a, int strideA, const double* b, int strideB, int n);
double statisticsCorrelationOfSums(double n, double sx, double sy, double sxx, double syy, double sxy);

// Name centred in a field of CENTER_NAME_WIDTH characters (longer names kept whole).
std::string statisticsCenterName(const char* name);
