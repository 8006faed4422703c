// Symbol table: the symbols of every kind, their lists and their index by name. The
// declaration statements that fill it are in declarations.cpp.
#include "lang/symbols.h"

#include "lang/lexer.h"
#include "support/allocator.h"
#include "support/listing.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <strings.h>

Symbol* inputVariables[MAX_INPUT_VARIABLES];
Symbol* parameters[MAX_PARAMETERS];
Symbol* workVariables[MAX_WORK_VARIABLES];
int inputVariableCount;
int parameterCount;
int workVariableCount;
Symbol* dependentVariable;
Symbol* symbolPredicted;
Symbol* symbolResidual;
Symbol* symbolObs;

namespace {

// Messages, letter for letter.
const char MSG_UNDEFINED[] = "Undefined variable name: %s";
const char MSG_TOO_MANY_INPUTS[] = "MOXEL can handle only %d input variables";
const char MSG_TOO_MANY_PARAMETERS[] = "MOXEL can only handle %d parameters.";
const char MSG_TOO_MANY_WORK[] = "MOXEL can only handle %d work variables";

struct SymbolTable {
    Symbol* head;      // newest symbol first
    Symbol** index;    // open-addressed hash of the names, case ignored ("vdx"); null when
                       // none could be made (lookups then walk the list)
    int indexSize;     // slots of index, a power of two
    int indexed;       // symbols in index
};

SymbolTable table;

constexpr int INDEX_FIRST_SIZE = 64;   // slots of the first index; it doubles at half full

}  // namespace

int slotCount = 0;

namespace {

// Appends symbol to list (count entries, room for max) and gives it its index; when
// the list is full, reports message with max and leaves the index at -1.
void enlist(Symbol* symbol, Symbol** list, int* count, int max, const char* message,
            const SourceLine* line)
{
    if (*count >= max) {
        compileErrorf(line, message, max);
        return;
    }
    symbol->index = (int16_t)*count;
    list[(*count)++] = symbol;
}

void freeBlock(void* block)
{
    if (block)
        memfree(block);
}

// FNV-1a over the significant characters, folded to lower case.
unsigned nameHash(const char* name)
{
    unsigned hash = 2166136261u;
    for (int i = 0; i < IDENTIFIER_MAX && name[i]; ++i) {
        hash ^= static_cast<unsigned char>(tolower(static_cast<unsigned char>(name[i])));
        hash *= 16777619u;
    }
    return hash;
}

// The slot holding name, or the empty slot where it belongs.
int indexSlot(const char* name)
{
    const unsigned mask = static_cast<unsigned>(table.indexSize - 1);
    unsigned slot = nameHash(name) & mask;
    while (table.index[slot] && strncasecmp(table.index[slot]->name, name, IDENTIFIER_MAX) != 0)
        slot = (slot + 1) & mask;
    return static_cast<int>(slot);
}

// Makes the index size slots large and fills it from the list, newest first, so that
// of two symbols of one name the newer is found as before.
bool indexRebuild(int size)
{
    if (table.index)
        memfree(table.index);
    table.index = static_cast<Symbol**>(memalloc_zero(sizeof(Symbol*) * static_cast<size_t>(size), "vdx"));
    table.indexSize = table.index ? size : 0;
    table.indexed = 0;
    if (!table.index)
        return false;
    for (Symbol* symbol = table.head; symbol; symbol = symbol->next) {
        const int slot = indexSlot(symbol->name);
        if (!table.index[slot]) {
            table.index[slot] = symbol;
            table.indexed++;
        }
    }
    return true;
}

// Adds the newest symbol (the list's head) to the index; a failed allocation leaves
// lookups to the list.
void indexAdd(Symbol* symbol)
{
    if (!table.index && table.indexed < 0)
        return;
    if (2 * (table.indexed + 1) > table.indexSize) {
        if (!indexRebuild(table.indexSize ? 2 * table.indexSize : INDEX_FIRST_SIZE))
            table.indexed = -1;
        return;
    }
    const int slot = indexSlot(symbol->name);
    if (!table.index[slot])
        table.indexed++;
    table.index[slot] = symbol;
}

} // namespace

Symbol* findSymbol(const char* name)
{
    if (table.index) {
        Symbol* symbol = table.index[indexSlot(name)];
        return symbol;
    }
    for (Symbol* symbol = table.head; symbol; symbol = symbol->next) {
        if (strncasecmp(symbol->name, name, IDENTIFIER_MAX) == 0)
            return symbol;
    }
    return nullptr;
}

Symbol* requireSymbol(const char* name, const SourceLine* line)
{
    Symbol* symbol = findSymbol(name);
    if (symbol)
        return symbol;
    compileErrorf(line ? line : lexerCurrentLine(), MSG_UNDEFINED, name);
    return defineSymbol(name, SYM_PLACEHOLDER, line);
}

Symbol* defineSymbol(const char* name, int kind, const SourceLine* line)
{
    Symbol* symbol = (Symbol*)memalloc_zero(sizeof(Symbol), "vd");
    if (!symbol)
        return nullptr;
    snprintf(symbol->name, sizeof symbol->name, "%.*s", IDENTIFIER_MAX, name);
    symbol->kind = (uint8_t)kind;
    symbol->index = -1;
    symbol->slot = -1;
    if (kind == SYM_PARAMETER) {
        symbol->value = 1.0;
        symbol->initialValue = 1.0;
        symbol->lowerBound = DEFAULT_LOWER_BOUND;
        symbol->upperBound = DEFAULT_UPPER_BOUND;
    }
    symbol->next = table.head;
    table.head = symbol;
    indexAdd(symbol);

    if (kind == SYM_INPUT)
        enlist(symbol, inputVariables, &inputVariableCount, MAX_INPUT_VARIABLES, MSG_TOO_MANY_INPUTS, line);
    else if (kind == SYM_PARAMETER)
        enlist(symbol, parameters, &parameterCount, MAX_PARAMETERS, MSG_TOO_MANY_PARAMETERS, line);
    else if (kind == SYM_WORK)
        enlist(symbol, workVariables, &workVariableCount, MAX_WORK_VARIABLES, MSG_TOO_MANY_WORK, line);
    return symbol;
}

void symbolsCreateSystemVariables()
{
    symbolPredicted = defineSymbol("Predicted", SYM_WORK, nullptr);
    symbolResidual = defineSymbol("Residual", SYM_WORK, nullptr);
    symbolObs = defineSymbol("Obs", SYM_WORK, nullptr);
}

void freeSymbols()
{
    Symbol* symbol = table.head;
    while (symbol) {
        Symbol* next = symbol->next;
        freeBlock(symbol->elements);
        freeBlock(symbol->initialElements);
        memfree(symbol);
        symbol = next;
    }
    table.head = nullptr;
    if (table.index)
        memfree(table.index);
    table.index = nullptr;
    table.indexSize = 0;
    table.indexed = 0;
    slotCount = 0;
    memset(inputVariables, 0, sizeof inputVariables);
    memset(parameters, 0, sizeof parameters);
    memset(workVariables, 0, sizeof workVariables);
    inputVariableCount = 0;
    parameterCount = 0;
    workVariableCount = 0;
    dependentVariable = nullptr;
    symbolPredicted = nullptr;
    symbolResidual = nullptr;
    symbolObs = nullptr;
}

Symbol* symbolsFirst()
{
    return table.head;
}

void symbolsLayout()
{
    for (Symbol* symbol = table.head; symbol; symbol = symbol->next) {
        if (symbol->slot >= 0)
            continue;
        symbol->slot = slotCount;
        slotCount += 1 + (symbol->elements ? symbol->elementCount : 0);
    }
}
