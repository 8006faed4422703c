// Diagnosis of a finished fit: what went wrong or is doubtful, where, and one next step,
// found from the numbers (the Jacobian at the start and at the end, the bounds, the
// iteration history, the sums of squares), and the evaluation of the model at given
// parameter values that the preview shares.
#pragma once

#include <string>

struct AnalysisResults;
struct RunFrame;

constexpr int DIAGNOSIS_MAX_FINDINGS = 16;      // findings kept; later ones are dropped
constexpr int DIAGNOSIS_MAX_FAILURES = 10;      // failing observations kept by one pass
constexpr int DIAGNOSIS_LISTED_FAILURES = 5;    // of them named in a finding
constexpr int DIAGNOSIS_HISTORY = 8;            // iterations kept for the rate of decrease

// ORDER FINDING: kinds of findings, in the order the section lists them.
enum DiagnosisKind {
    FINDING_NOT_COMPUTABLE = 1,     // runtime errors at the start or at the estimates
    FINDING_NEGATED_POWER,          // such an error from a minus before a power's base
    FINDING_NO_EFFECT,              // a parameter's Jacobian column is zero at start and end
    FINDING_RAN_AWAY,               // a parameter grew far beyond its start and stopped mattering
    FINDING_NOT_SEPARATE,           // a near-null direction of the final Jacobian
    FINDING_ON_BOUND,               // a CONSTRAIN bound holds a parameter the data pull further
    FINDING_ITERATION_LIMIT,        // stopped by ITERATIONS while still improving
    FINDING_STALLED,                // false or singular convergence
    FINDING_LONG_RUNS,              // residuals in long runs of one sign after convergence
    FINDING_WORSE_THAN_CONSTANT,    // residual SS at least the total SS about the mean
    FINDING_BAD_WEIGHT              // a weight is not usable (instead of the finding above)
};

struct DiagnosisFinding {
    int kind;               // DiagnosisKind
    int line;               // program line the finding names, 0 when none
    int observation;        // 1-based observation it names, 0 when none
    std::string text;       // the paragraph, lines ended by '\n'
};

struct Diagnosis {
    int count;                                          // findings
    DiagnosisFinding findings[DIAGNOSIS_MAX_FINDINGS];  // in DiagnosisKind order
    bool doubtful;          // a finding makes a converged fit's estimates unreliable
};

// One observation at which the program could not compute the model.
struct DiagnosisFailure {
    int observation;                // 0-based
    int line;                       // program line of the error, 0 when the program gave none
    char message[120];              // the runtime message, or why the value is unusable
};

// The outcome of one pass of the program over every observation.
struct DiagnosisPass {
    int computed;                   // observations with a finite predicted value
    int failed;                     // observations without one
    DiagnosisFailure first[DIAGNOSIS_MAX_FAILURES];  // the first failures, in order
    double sumSquares;              // sum of (observed - predicted)^2 over the computed ones
};

// Runs the program once per observation with the parameters at x (p values), quietly,
// into predicted and observed (n each; a row that fails holds 0 in both). Stops early
// only on Cancel.
void diagnosisEvaluate(RunFrame* frame, const double* x, double* predicted, double* observed,
                       DiagnosisPass* pass);

// The solver's iteration summaries of the current solve, for the rate of decrease at the
// iteration limit. Called from the progress hook; a lower iteration number starts anew.
void diagnosisNoteProgress(int iteration, double sumSquares);
void diagnosisReset();

// For a runtime error message at program line `line`: when it is a negative value raised
// to a power on a line that negates the base of a power, two lines saying that -a^b is
// (-a)^b and how to write -(a^b); else empty.
std::string diagnosisNegatedPowerHint(int line, const char* message);

// Fills d for the finished analysis r, evaluating the program in frame (the worker's).
void diagnosisCompute(RunFrame* frame, const AnalysisResults& r, Diagnosis* d);

// The "Diagnosis" section of the Final Results; nothing when d has no finding.
void diagnosisWrite(const Diagnosis& d);
