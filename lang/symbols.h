// Symbol table: input variables, parameters, work variables and constants, and their
// lists with fixed capacities. The declaration statements are in declarations.h.
#pragma once

#include <cstdint>

constexpr int MAX_INPUT_VARIABLES = 500;
constexpr int MAX_PARAMETERS = 500;
constexpr int MAX_WORK_VARIABLES = 500;
constexpr int MAX_ARRAY_ELEMENTS = 20000;
constexpr double DEFAULT_LOWER_BOUND = -1e50;
constexpr double DEFAULT_UPPER_BOUND = 1e50;

enum SymbolKind {
    SYM_PLACEHOLDER = 0, SYM_INPUT = 1, SYM_PARAMETER = 2, SYM_WORK = 3, SYM_CONSTANT = 4
};

enum SymbolFlags {
    SYMF_REFERENCED = 1,     // referenced in some expression
    SYMF_IN_FUNCTION = 2     // referenced in the expression of a FUNCTION statement
};

struct Symbol {
    Symbol* next;             // next symbol in the table (newest first)
    char name[32];            // as declared, at most 30 significant characters
    double value;             // current value (observation value, estimate, work value, constant)
    double initialValue;      // parameter: initial estimate; DOUBLE/CONSTANT scalar: declared value
    int constrained;          // 1 once CONSTRAIN names this parameter
    double lowerBound;        // parameter: lower limit; input variable: smallest value read
    double upperBound;        // parameter: upper limit; input variable: largest value read
    int16_t index;            // position in the list of its kind
    uint8_t dimensions;       // 0 scalar, 1 or 2 subscripts
    int dim1;                 // first declared size
    int dim2;                 // second declared size (two subscripts only)
    int elementCount;         // dim1, or dim1 * dim2
    double* elements;         // elementCount doubles, row-major ("ary")
    double* initialElements;  // initial element values from the declaration ("aryinit")
    int initialCount;         // doubles in initialElements
    uint8_t kind;             // SymbolKind
    unsigned flags;           // SymbolFlags
    int slot;                 // run-frame slot of the value, -1 until symbolsLayout; array
                              // elements follow it (slot + 1 ...)
};

extern Symbol* inputVariables[MAX_INPUT_VARIABLES];
extern Symbol* parameters[MAX_PARAMETERS];
extern Symbol* workVariables[MAX_WORK_VARIABLES];
extern int inputVariableCount;
extern int parameterCount;
extern int workVariableCount;
extern Symbol* dependentVariable;        // named before '=' in FUNCTION, or null
extern Symbol* symbolPredicted;          // system work variable "Predicted"
extern Symbol* symbolResidual;           // system work variable "Residual"
extern Symbol* symbolObs;                // system work variable "Obs"
extern int slotCount;                    // run-frame slots given out by symbolsLayout

Symbol* symbolsFirst();                  // the table, newest first (next links the rest)
// Gives every symbol without a slot its run-frame slots (one for the value, then one per
// array element); slots already given keep their place.
void symbolsLayout();

Symbol* findSymbol(const char* name);
Symbol* requireSymbol(const char* name, const struct SourceLine* line);
Symbol* defineSymbol(const char* name, int kind, const struct SourceLine* line);
void symbolsCreateSystemVariables();

void freeSymbols();
