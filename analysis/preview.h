// Preview: the compiled model evaluated once per observation at the initial parameter
// values, without any fitting. Its columns stand in for the fitted ones, so the plots
// show the curve and the residuals at the start.
#pragma once

#include "analysis/diagnosis.h"

constexpr int PREVIEW_LISTED_FAILURES = DIAGNOSIS_MAX_FAILURES;   // failing observations named

struct PreviewResult {
    bool evaluated;             // the pass ran over every observation (no Cancel, memory was there)
    int observations;           // n
    int computed;               // observations at which the model could be computed
    double sumSquares;          // sum of (observed - predicted)^2 over them; |F| in function minimisation
    DiagnosisPass pass;         // the first failures, with line and message
};

// After a successful compile: fills the analysis's predicted and observed columns at the
// initial values (parameters take them as their values) and writes the summary to the
// screen listing. The listing file, OUTPUT and POUTPUT files are never written.
PreviewResult previewRun();

// True when the model could be computed at every observation.
bool previewComputable(const PreviewResult& result);

// The analysis's columns hold a preview's values (and the plots may show them).
bool previewShown();
void previewRelease();      // the next Run or preview calls it
