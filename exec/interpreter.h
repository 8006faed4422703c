// Code interpreter: runs the compiled program once per observation and hands back the
// predicted and observed values that the FUNCTION statement computed.
#pragma once

#include <atomic>

struct SourceLine;
struct Instruction;

// Run state, global and shared by all callers (the analysis worker and the plots never
// evaluate at the same time).
extern const SourceLine* currentLine;    // line being executed, null between evaluations
extern bool stopRequested;               // the evaluation ends after this instruction
extern bool runFailed;                   // a runtime error occurred in this evaluation
extern bool functionDone;                // a function value was stored
extern double predictedValue;            // from FUNCTION or RETURN
extern double observedValue;             // dependent variable's value then (0 when none)
extern std::atomic<bool> abortRequested; // Cancel; set from another thread
extern bool abortReported;               // "Aborting analysis..." already written
extern bool quietErrors;                 // runtime messages suppressed (SWEEP steps)

void runReset();
// Runs entry instead of the last compile's program (null: back to programEntry()).
void runSetProgram(const Instruction* entry);
// observation: 0-based index; values: one per input variable, or null to read the
// observation store. predicted/observed may be null.
bool runObservation(int observation, const double* values, double* predicted, double* observed);
void runtimeError(const char* format, ...) __attribute__((format(printf, 1, 2)));
