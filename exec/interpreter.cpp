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

#include "exec/operators.h"
#include "lang/compiler.h"
#include "lang/data.h"
#include "lang/expr.h"
#include "lang/lexer.h"
#include "lang/symbols.h"
#include "support/listing.h"

constexpr int ERROR_LINE_TEXT_MAX = 70;     // characters of the source line in a header
constexpr int ERROR_MESSAGE_MAX = 299;      // characters of one formatted message
constexpr int ERROR_HEADER_SIZE = 128;      // "Error executing line %d: " and 70 characters

// Run state shared with the driver, the plots and the built-in functions.
const SourceLine* currentLine = nullptr;
bool stopRequested = false;
bool runFailed = false;
bool functionDone = false;
double predictedValue = 0.0;
double observedValue = 0.0;
std::atomic<bool> abortRequested{false};
bool abortReported = false;
bool quietErrors = false;

namespace {

struct InterpreterState {
    const Instruction* program;   // code run instead of the last compile's, or null
};

InterpreterState interp;

// Writes "Aborting analysis..." once per analysis.
void reportAbort()
{
    if (!abortReported) {
        abortReported = true;
        runtimeError("Aborting analysis...");
    }
    currentLine = nullptr;
}

void loadInputs(int observation, const double* values)
{
    const double* row = values;
    if (!row) {
        if (!observations || observation < 0 || observation >= observationCount)
            return;
        row = observations + (long)observation * inputVariableCount;
    }
    for (int j = 0; j < inputVariableCount; j++)
        inputVariables[j]->value = row[j];
}

}  // namespace

void runSetProgram(const Instruction* entry)
{
    interp.program = entry;
}

void runReset()
{
    for (int k = 0; k < workVariableCount; k++) {
        Symbol* symbol = workVariables[k];
        if (!symbol)
            continue;
        if (symbol->dimensions == 0 || !symbol->elements) {
            symbol->value = symbol->initialValue;
            continue;
        }
        int count = symbol->elementCount;
        memset(symbol->elements, 0, sizeof(double) * (size_t)(count > 0 ? count : 0));
        int initial = symbol->initialCount < count ? symbol->initialCount : count;
        if (initial > 0 && symbol->initialElements)
            memcpy(symbol->elements, symbol->initialElements, sizeof(double) * (size_t)initial);
    }
    if (observationCount > 0)
        loadInputs(0, nullptr);
    runFailed = false;
}

bool runObservation(int observation, const double* values, double* predicted, double* observed)
{
    loadInputs(observation, values);
    if (symbolObs)
        symbolObs->value = observation + 1.0;
    stopRequested = false;
    runFailed = false;
    functionDone = false;

    const Instruction* ip = interp.program ? interp.program : programEntry();
    while (ip && !runFailed) {
        if (abortRequested.load(std::memory_order_relaxed)) {
            reportAbort();
            return false;
        }
        // The opcodes are tested in order of frequency rather than through one
        // indirect jump.
        int opcode = ip->opcode;
        if (opcode == OP_LINE) {
            currentLine = (const SourceLine*)ip->operand1;
            ip++;
        } else if (opcode == OP_FUNCTION) {
            double value = evaluate((const ExprNode*)ip->operand2);
            const Symbol* dependent = (const Symbol*)ip->operand1;
            predictedValue = value;
            observedValue = dependent ? dependent->value : 0.0;
            if (symbolPredicted)
                symbolPredicted->value = value;
            if (symbolResidual)
                symbolResidual->value = dependent ? observedValue - value : value;
            functionDone = true;
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
            stopRequested = true;
        } else {
            runtimeError("Invalid opcode in generated code: %d", opcode);
            currentLine = nullptr;
            return false;
        }
        if (stopRequested)
            break;
    }
    if (abortRequested.load(std::memory_order_relaxed)) {
        reportAbort();
        return false;
    }

    currentLine = nullptr;
    if (!functionDone && !runFailed)
        runtimeError("FUNCTION statement was not executed.");
    if (observed)
        *observed = observedValue;
    if (predicted)
        *predicted = predictedValue;
    return !runFailed;
}

void runtimeError(const char* format, ...)
{
    bool speak = !quietErrors || abortRequested.load(std::memory_order_relaxed);

    if (currentLine && speak) {
        const char* text = currentLine->text ? currentLine->text : "";
        while (*text == ' ' || *text == '\t')
            text++;
        char header[ERROR_HEADER_SIZE];
        snprintf(header, sizeof header, "Error executing line %d: %.*s",
                 currentLine->lineNumber, ERROR_LINE_TEXT_MAX, text);
        listingPrint("%s\n", header);
        listingFilePrint("\n%s\n", header);
    }

    if (speak) {
        char message[ERROR_MESSAGE_MAX + 1];
        va_list args;
        va_start(args, format);
        vsnprintf(message, sizeof message, format, args);
        va_end(args);
        listingPrint("Error: %s\n", message);
        listingFilePrint("Error: %s\n", message);
    }

    runFailed = true;
    stopRequested = true;
}
