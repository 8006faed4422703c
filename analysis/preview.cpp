// Preview at the starting values. One pass of the program over the data, on the calling
// thread: no solver, no worker, no files. The columns it fills are the analysis's own,
// so that the next Run releases them as it releases a fit's.
#include "analysis/preview.h"

#include <cmath>
#include <cstdio>

#include "analysis/driver.h"
#include "analysis/weights.h"
#include "exec/interpreter.h"
#include "lang/data.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/listing.h"

namespace {

constexpr const char* TAG_RESULTS = "comp";
constexpr const char* TAG_POINT = "xvec";

struct PreviewState {
    RunFrame frame;     // the preview's run frame, released after its pass
    bool shown;         // the analysis's columns hold the preview's values
};

PreviewState preview;

// The columns for n rows, replacing any earlier ones; false when memory ran out.
bool allocateColumns(int n)
{
    const size_t rows = n > 0 ? (size_t)n : 1;
    if (analysis.predicted)
        memfree(analysis.predicted);
    if (analysis.observed)
        memfree(analysis.observed);
    analysis.predicted = memalloc_doubles(rows, TAG_RESULTS);
    analysis.observed = memalloc_doubles(rows, TAG_RESULTS);
    analysis.allocatedRows = analysis.predicted && analysis.observed ? n : 0;
    return analysis.allocatedRows == n;
}

void writeSummary(const PreviewResult& r)
{
    listingPrint("Preview at the starting values (no fit)\n");
    if (settings.functionMinimization)
        listingPrint("Starting function value = %14.7E\n", r.sumSquares);
    else
        listingPrint("Starting sum of squared deviations = %14.7E\n", r.sumSquares);
    listingPrint("Model computed at %d of %d observations\n", r.computed, r.observations);
    const int failed = r.pass.failed;
    // The fit counts a failed observation otherwise: the two sums need not agree.
    if (failed > 0 && !settings.functionMinimization)
        listingPrint("The sum covers only the %d observation%s the model could compute.\n", r.computed,
                     r.computed == 1 ? "" : "s");
    const int listed = failed < PREVIEW_LISTED_FAILURES ? failed : PREVIEW_LISTED_FAILURES;
    for (int k = 0; k < listed; ++k) {
        const DiagnosisFailure& f = r.pass.first[k];
        if (f.line > 0)
            listingPrint("Observation %d, line %d: %s\n", f.observation + 1, f.line, f.message);
        else
            listingPrint("Observation %d: %s\n", f.observation + 1, f.message);
    }
    if (failed > listed)
        listingPrint("... and %d more observations\n", failed - listed);
    for (int k = 0; k < listed; ++k) {
        const std::string hint = diagnosisNegatedPowerHint(r.pass.first[k].line, r.pass.first[k].message);
        if (!hint.empty()) {
            listingPrint("%s", hint.c_str());
            break;
        }
    }
}

// Records observation i as not computed, keeping the first failures in observation order.
void addFailure(DiagnosisPass* pass, int i, int line, const char* why)
{
    int at = pass->failed < DIAGNOSIS_MAX_FAILURES ? pass->failed : DIAGNOSIS_MAX_FAILURES;
    while (at > 0 && pass->first[at - 1].observation > i)
        --at;
    if (at < DIAGNOSIS_MAX_FAILURES) {
        const int last = pass->failed < DIAGNOSIS_MAX_FAILURES - 1 ? pass->failed : DIAGNOSIS_MAX_FAILURES - 1;
        for (int k = last; k > at; --k)
            pass->first[k] = pass->first[k - 1];
        DiagnosisFailure& f = pass->first[at];
        f.observation = i;
        f.line = line;
        snprintf(f.message, sizeof f.message, "%.*s", (int)sizeof f.message - 1, why);
    }
    pass->failed++;
}

// The WEIGHT of every observation the model computed, as a fit would evaluate it at
// these values: a weight that is not usable makes its observation not computed.
void evaluateWeights(RunFrame* frame, const double* x, PreviewResult* r)
{
    if (!weightsActive() || !frame->values)
        return;
    runReset(frame);
    for (int j = 0; j < parameterCount; ++j)
        frame->values[parameters[j]->slot] = x[j];
    const bool quiet = frame->quiet;
    frame->quiet = true;
    for (int i = 0; i < observationCount && !abortRequested.load(std::memory_order_relaxed); ++i) {
        double predicted = 0.0, observed = 0.0, w = 0.0;
        if (!runObservation(frame, i, nullptr, &predicted, &observed) || !std::isfinite(predicted) ||
            !std::isfinite(observed))
            continue;
        if (weightsEvaluate(frame, i, &w))
            continue;
        r->pass.computed--;
        r->pass.sumSquares -= (observed - predicted) * (observed - predicted);
        addFailure(&r->pass, i, frame->errorLine, frame->errorText);
        frame->runFailed = false;
        frame->stopRequested = false;
    }
    frame->quiet = quiet;
}

}  // namespace

PreviewResult previewRun()
{
    PreviewResult r = {};
    const int n = observationCount;
    const int p = parameterCount;
    r.observations = n;
    double* x = memalloc_doubles(p > 0 ? (size_t)p : 1, TAG_POINT);
    if (!x || !allocateColumns(n)) {
        if (x)
            memfree(x);
        return r;
    }
    for (int j = 0; j < p; ++j) {
        parameters[j]->value = parameters[j]->initialValue;
        x[j] = parameters[j]->initialValue;
    }
    preview.frame = RunFrame{};
    diagnosisEvaluate(&preview.frame, x, analysis.predicted, analysis.observed, &r.pass);
    evaluateWeights(&preview.frame, x, &r);
    runFrameRelease(&preview.frame);
    memfree(x);
    r.evaluated = !abortRequested.load(std::memory_order_relaxed);
    preview.shown = r.evaluated;
    r.computed = r.pass.computed;
    // In function minimisation the one value of the program is what the solver minimises.
    r.sumSquares = settings.functionMinimization ? (r.pass.failed == 0 && n > 0 ? std::fabs(analysis.predicted[0]) : 0.0)
                                                 : r.pass.sumSquares;
    writeSummary(r);
    return r;
}

bool previewComputable(const PreviewResult& result)
{
    return result.evaluated && result.pass.failed == 0;
}

bool previewShown()
{
    return preview.shown;
}

void previewRelease()
{
    preview.shown = false;
}
