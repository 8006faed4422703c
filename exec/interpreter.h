// Code interpreter: runs the compiled program once per observation and hands back the
// predicted and observed values that the FUNCTION statement computed.
#pragma once

#include <atomic>

struct SourceLine;
struct Instruction;
struct Symbol;
struct TangentFrame;

constexpr int RUN_ERROR_TEXT_MAX = 299;   // characters of a runtime message kept in the frame

// The state of one evaluation: the values of every variable, parameter and array element
// (one slot each, laid out by symbolsLayout) and the run flags. Each thread that
// evaluates owns its frame; the compiled program and the symbols are only read.
struct RunFrame {
    double* values;                 // slotCount doubles ("frame")
    int capacity;                   // slots allocated
    const SourceLine* currentLine;  // line being executed, null between evaluations
    bool stopRequested;             // the evaluation ends after this instruction
    bool runFailed;                 // a runtime error occurred in this evaluation
    bool functionDone;              // a function value was stored
    bool quiet;                     // runtime messages not written (a speculative evaluation)
    double predictedValue;          // from FUNCTION or RETURN
    double observedValue;           // dependent variable's value then (0 when none)
    double* block;                  // registers of the block evaluation ("block"), or null
    long blockCapacity;             // doubles in block
    bool blockStore;                // this evaluation keeps its values for later ones
    int observation;                // 0-based observation being evaluated, -1 outside runObservation
    int errorLine;                  // line of the last runtime error, 0 when it had none
    char errorText[RUN_ERROR_TEXT_MAX + 1];   // message of the last runtime error, quiet ones too
};

// Analysis-wide flags.
extern std::atomic<bool> abortRequested; // Cancel; set from another thread
extern bool quietErrors;                 // runtime messages suppressed (SWEEP steps)

// Sizes frame for the slots laid out so far; new slots take the symbols' values.
void runFrameFit(RunFrame* frame);
void runFrameRelease(RunFrame* frame);
inline double& runValue(RunFrame* frame, const Symbol* symbol);

// Prepares a pass over the data: every slot takes its initial state (work variables their
// declared values, parameters and constants their symbol's value), the input variables
// the first observation, and the flags are cleared.
void runReset(RunFrame* frame);
// The start of a Run: the compile's own program runs, Cancel and its report are cleared,
// runtime messages are written.
void runResetState();
// While on, a runtime error identical to the last one written (the same observation,
// line and message) is not written again.
void runSkipRepeatedError(bool on);
// Runs entry instead of the last compile's program (null: back to programEntry()).
void runSetProgram(const Instruction* entry);
const Instruction* runProgram();    // the code runObservation runs
// observation: 0-based index; values: one per input variable, or null to read the
// observation store. predicted/observed may be null.
bool runObservation(RunFrame* frame, int observation, const double* values, double* predicted,
                    double* observed);
// runObservation (values as there) with exact derivatives: every value also carries its tangent in
// tangent (sized by tangentFrameFit, reset by tangentReset with the frame); the tangents
// of the predicted and observed values end in tangent->predicted and ->observed.
bool runObservationTangent(RunFrame* frame, TangentFrame* tangent, int observation, double* predicted,
                           double* observed, const double* values = nullptr);
void runtimeError(RunFrame* frame, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Frame of the built-in call being computed on this thread, for the special functions'
// deferred reports (set by the built-in dispatcher).
extern thread_local RunFrame* runReportFrame;

#include "lang/symbols.h"

inline double& runValue(RunFrame* frame, const Symbol* symbol)
{
    return frame->values[symbol->slot];
}
