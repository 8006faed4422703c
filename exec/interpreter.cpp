// Code interpreter: runs the compiled program once per observation. It loads the
// observation into the input variables, walks the instruction chain, and hands back the
// predicted value of the FUNCTION statement (or RETURN) with the observed value of the
// dependent variable. Runtime errors are reported here with the executing line.
//
// runObservation is the hot path of every fit: it allocates nothing, and besides the
// opcode dispatch each instruction costs the tests of runFailed, abortRequested and
// stopRequested.
#include "exec/interpreter.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "exec/operators.h"
#include "exec/tangent.h"
#include "lang/compiler.h"
#include "lang/data.h"
#include "lang/lexer.h"
#include "lang/parser.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/listing.h"

constexpr int ERROR_LINE_TEXT_MAX = 70;     // characters of the source line in a header
constexpr int ERROR_HEADER_SIZE = 128;      // "Error executing line %d: " and 70 characters

std::atomic<bool> abortRequested{false};
bool quietErrors = false;
thread_local RunFrame* runReportFrame = nullptr;

namespace {

constexpr const char* TAG_FRAME = "frame";

// The last runtime error written. While skipRepeat is on, the same failure met again
// (the final pass re-evaluating the observation that stopped the solver at its start)
// is not written a second time.
struct SpokenError {
    int observation;                     // 0-based, -1 outside an observation
    int line;                            // source line, 0 for none
    char text[RUN_ERROR_TEXT_MAX + 1];   // the message
};

struct InterpreterState {
    const Instruction* program;          // code run instead of the last compile's, or null
    std::atomic<bool> abortReported;     // "Aborting analysis..." already written
    std::mutex spokenLock;               // guards spoken
    SpokenError spoken;                  // the last error written, line -1 when none
    bool skipRepeat;                     // a repeat of spoken is not written
};

InterpreterState interp;

// Writes "Aborting analysis..." once per analysis, whichever thread sees Cancel first.
void reportAbort(RunFrame* frame)
{
    if (!interp.abortReported.exchange(true)) {
        const bool quiet = frame->quiet;
        frame->quiet = false;
        runtimeError(frame, "Aborting analysis...");
        frame->quiet = quiet;
    }
    frame->currentLine = nullptr;
}

void loadInputs(RunFrame* frame, int observation, const double* values)
{
    const double* row = values;
    if (!row) {
        if (!observations || observation < 0 || observation >= observationCount)
            return;
        row = observations + (long)observation * inputVariableCount;
    }
    double* slots = frame->values;
    for (int j = 0; j < inputVariableCount; j++)
        slots[inputVariables[j]->slot] = row[j];
}

// The compile-time state of one symbol's slots: its value, and its elements (a work
// array's are its declared initial values, the rest 0).
void initialSlots(double* slots, const Symbol* symbol)
{
    const bool work = symbol->kind == SYM_WORK;
    slots[symbol->slot] = work && symbol->dimensions == 0 ? symbol->initialValue : symbol->value;
    if (!symbol->elements)
        return;
    double* elements = slots + symbol->slot + 1;
    const int count = symbol->elementCount > 0 ? symbol->elementCount : 0;
    if (!work) {
        memcpy(elements, symbol->elements, sizeof(double) * (size_t)count);
        return;
    }
    memset(elements, 0, sizeof(double) * (size_t)count);
    int initial = symbol->initialCount < count ? symbol->initialCount : count;
    if (initial > 0 && symbol->initialElements)
        memcpy(elements, symbol->initialElements, sizeof(double) * (size_t)initial);
}

}  // namespace

void runFrameFit(RunFrame* frame)
{
    if (frame->capacity >= slotCount && frame->values)
        return;
    const int old = frame->values ? frame->capacity : 0;
    const int capacity = slotCount > 0 ? slotCount : 1;
    double* values = memalloc_doubles((size_t)capacity, TAG_FRAME);
    if (!values)
        return;
    if (old > 0)
        memcpy(values, frame->values, sizeof(double) * (size_t)old);
    for (int k = old; k < capacity; k++)
        values[k] = 0.0;
    for (const Symbol* symbol = symbolsFirst(); symbol; symbol = symbol->next)
        if (symbol->slot >= old)
            initialSlots(values, symbol);
    if (frame->values)
        memfree(frame->values);
    frame->values = values;
    frame->capacity = capacity;
}

void runFrameRelease(RunFrame* frame)
{
    if (frame->values)
        memfree(frame->values);
    frame->values = nullptr;
    frame->capacity = 0;
    if (frame->block)
        memfree(frame->block);
    frame->block = nullptr;
    frame->blockCapacity = 0;
}

void runResetState()
{
    interp.program = nullptr;
    interp.abortReported.store(false);
    {
        std::lock_guard<std::mutex> guard(interp.spokenLock);
        interp.spoken.line = -1;
    }
    abortRequested.store(false);
    quietErrors = false;
}

void runSkipRepeatedError(bool on)
{
    std::lock_guard<std::mutex> guard(interp.spokenLock);
    interp.skipRepeat = on;
}

void runSetProgram(const Instruction* entry)
{
    interp.program = entry;
}

const Instruction* runProgram()
{
    return interp.program ? interp.program : programEntry();
}

void runReset(RunFrame* frame)
{
    runFrameFit(frame);
    frame->runFailed = !frame->values;
    frame->blockStore = false;
    if (!frame->values)
        return;
    for (const Symbol* symbol = symbolsFirst(); symbol; symbol = symbol->next)
        if (symbol->slot >= 0)
            initialSlots(frame->values, symbol);
    if (observationCount > 0)
        loadInputs(frame, 0, nullptr);
    frame->runFailed = false;
}

namespace {

// The instruction loop of one observation, with evaluate(tree) computing each tree and
// storeFunction(dependent, value) the FUNCTION statement's store beyond the frame's
// values; both are inlined into each path.
template <typename Evaluate, typename StoreFunction>
bool runInstructions(RunFrame* frame, int observation, const double* values, double* predicted,
                     double* observed, Evaluate evaluate, StoreFunction storeFunction)
{
    double* slots = frame->values;
    if (!slots)
        return false;
    loadInputs(frame, observation, values);
    frame->observation = observation;
    if (symbolObs)
        slots[symbolObs->slot] = observation + 1.0;
    frame->stopRequested = false;
    frame->runFailed = false;
    frame->functionDone = false;

    const Instruction* ip = runProgram();
    while (ip && !frame->runFailed) {
        if (abortRequested.load(std::memory_order_relaxed)) {
            reportAbort(frame);
            return false;
        }
        // The opcodes are tested in order of frequency rather than through one
        // indirect jump.
        int opcode = ip->opcode;
        if (opcode == OP_LINE) {
            frame->currentLine = (const SourceLine*)ip->operand1;
            ip++;
        } else if (opcode == OP_FUNCTION) {
            double value = evaluate((const ExprNode*)ip->operand2);
            const Symbol* dependent = (const Symbol*)ip->operand1;
            frame->predictedValue = value;
            frame->observedValue = dependent ? slots[dependent->slot] : 0.0;
            if (symbolPredicted)
                slots[symbolPredicted->slot] = value;
            if (symbolResidual)
                slots[symbolResidual->slot] = dependent ? frame->observedValue - value : value;
            storeFunction(dependent);
            frame->functionDone = true;
            ip++;
        } else if (opcode == OP_EXPR) {
            evaluate((const ExprNode*)ip->operand1);
            ip++;
        } else if (opcode == OP_JUMP_IF_FALSE) {
            if (evaluate((const ExprNode*)ip->operand1) == 0.0)
                ip = (const Instruction*)ip->operand2;
            else
                ip++;
        } else if (opcode == OP_JUMP) {
            ip = (const Instruction*)ip->operand1;
        } else if (opcode == OP_STOP) {
            frame->stopRequested = true;
        } else {
            runtimeError(frame, "Invalid opcode in generated code: %d", opcode);
            frame->currentLine = nullptr;
            return false;
        }
        if (frame->stopRequested)
            break;
    }
    if (abortRequested.load(std::memory_order_relaxed)) {
        reportAbort(frame);
        return false;
    }

    frame->currentLine = nullptr;
    if (!frame->functionDone && !frame->runFailed)
        runtimeError(frame, "FUNCTION statement was not executed.");
    if (observed)
        *observed = frame->observedValue;
    if (predicted)
        *predicted = frame->predictedValue;
    return !frame->runFailed;
}

// True when this failure is the one written last, which is then not written again.
static bool alreadySpoken(const RunFrame* frame, int line)
{
    std::lock_guard<std::mutex> guard(interp.spokenLock);
    SpokenError& last = interp.spoken;
    if (interp.skipRepeat && last.observation == frame->observation && last.line == line &&
        std::strcmp(last.text, frame->errorText) == 0)
        return true;
    last.observation = frame->observation;
    last.line = line;
    std::memcpy(last.text, frame->errorText, sizeof last.text);
    return false;
}

}  // namespace

bool runObservation(RunFrame* frame, int observation, const double* values, double* predicted,
                    double* observed)
{
    return runInstructions(
        frame, observation, values, predicted, observed,
        [frame](const ExprNode* tree) { return operatorsEvaluate(frame, tree); }, [](const Symbol*) {});
}

bool runObservationTangent(RunFrame* frame, TangentFrame* tangent, int observation, double* predicted,
                           double* observed, const double* values)
{
    const int p = tangent->p;
    // the observation's inputs and number are constants of the parameters
    for (int j = 0; j < inputVariableCount; j++)
        memset(tangent->slots + (long)inputVariables[j]->slot * p, 0, sizeof(double) * (size_t)p);
    if (symbolObs)
        memset(tangent->slots + (long)symbolObs->slot * p, 0, sizeof(double) * (size_t)p);
    memset(tangent->predicted, 0, sizeof(double) * (size_t)p);
    memset(tangent->observed, 0, sizeof(double) * (size_t)p);
    tangent->stackUsed = 0;
    double* result = tangent->stack;    // the FUNCTION tree's tangent, below its operands
    return runInstructions(
        frame, observation, values, predicted, observed,
        [frame, tangent, result, p](const ExprNode* tree) {
            tangent->stackUsed = p;
            return tangentEvaluate(frame, tangent, tree, result);
        },
        [tangent, result, p](const Symbol* dependent) {
            memcpy(tangent->predicted, result, sizeof(double) * (size_t)p);
            if (dependent)
                memcpy(tangent->observed, tangent->slots + (long)dependent->slot * p, sizeof(double) * (size_t)p);
            else
                memset(tangent->observed, 0, sizeof(double) * (size_t)p);
            if (symbolPredicted)
                memcpy(tangent->slots + (long)symbolPredicted->slot * p, result, sizeof(double) * (size_t)p);
            if (symbolResidual)
                for (int k = 0; k < p; ++k)
                    tangent->slots[(long)symbolResidual->slot * p + k] =
                        dependent ? tangent->observed[k] - result[k] : result[k];
        });
}

void runtimeError(RunFrame* frame, const char* format, ...)
{
    const SourceLine* currentLine = frame->currentLine;
    // Kept even when quiet, for the diagnosis and the preview to name the line.
    va_list args;
    va_start(args, format);
    vsnprintf(frame->errorText, sizeof frame->errorText, format, args);
    va_end(args);
    frame->errorLine = currentLine ? currentLine->lineNumber : 0;
    frame->runFailed = true;
    frame->stopRequested = true;

    const bool speak = !frame->quiet && (!quietErrors || abortRequested.load(std::memory_order_relaxed));
    if (!speak || alreadySpoken(frame, frame->errorLine))
        return;
    if (currentLine) {
        const char* text = currentLine->text ? currentLine->text : "";
        while (*text == ' ' || *text == '\t')
            text++;
        char header[ERROR_HEADER_SIZE];
        snprintf(header, sizeof header, "Error executing line %d: %.*s",
                 currentLine->lineNumber, ERROR_LINE_TEXT_MAX, text);
        listingPrint("%s\n", header);
        listingFilePrint("\n%s\n", header);
    }
    listingKeepMessage("error", frame->errorLine, frame->errorText);
    listingPrint("Error: %s\n", frame->errorText);
    listingFilePrint("Error: %s\n", frame->errorText);
}
