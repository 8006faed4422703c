// Symbol table and the declaration statements VARIABLES, PARAMETERS, DOUBLE, CONSTANT.
#include "lang/symbols.h"

#include "lang/compiler.h"
#include "lang/data.h"
#include "lang/lexer.h"
#include "lang/options.h"
#include "lang/parser.h"
#include "support/allocator.h"
#include "support/listing.h"

#include <cctype>
#include <cmath>
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
const char MSG_SYNTAX[] = "Syntax error";
const char MSG_MISSING_SEMICOLON[] = "Missing semicolon at end of statement";
const char MSG_ARRAY_SIZE_POSITIVE[] = "Array sizes must be at least 1";
const char MSG_ARRAY_TOO_LARGE[] = "The maximum allowable array size is %d\n";
const char MSG_TOO_MANY_VALUES[] = "Too many initial values specified";
const char MSG_INITIAL_RANGE[] =
    "The initial value of parameter %s is out of range: give a number between -1E+308 and 1E+308";
const char MSG_RIGHT_BRACE[] = "Right brace missing or misplaced";
const char MSG_RIGHT_BRACKET[] = "Right bracket missing";
const char MSG_DEFINED_TWICE[] = "Variable defined more than once: %s";
const char MSG_VARIABLES_AFTER_DATA[] = "VARIABLES must be declared before the DATA statement";
const char MSG_PARAMETER_TWICE[] = "Parameter defined more than once: %s";
const char MSG_CONSTANT_VALUE[] = "CONSTANT variable must have initialization value";
const char MSG_UNDEFINED[] = "Undefined variable name: %s";
const char MSG_TOO_MANY_INPUTS[] = "MOXEL can handle only %d input variables";
const char MSG_TOO_MANY_PARAMETERS[] = "MOXEL can only handle %d parameters.";
const char MSG_TOO_MANY_WORK[] = "MOXEL can only handle %d work variables";
const char MSG_ELIMINATED[] = "Parameter %s is never used and is being eliminated.";
const char MSG_NO_PARAMETERS[] = "You must use some parameters.";


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

// Reports message at token, which is put back, and skips the rest of the statement;
// false, for the caller to return.
bool errorSkip(Token* token, const char* message)
{
    compileError(token->line, message);
    pushBackToken(token);
    skipStatement();
    return false;
}

// The end of a declaration list: ';' ends it, a keyword starts the next statement,
// anything else is a syntax error. Returns true when the list goes on (a comma).
bool listContinues(Token* token, bool commaContinues)
{
    if (token->kind == TOK_COMMA && commaContinues) {
        freeToken(token);
        return true;
    }
    if (token->kind == TOK_SEMICOLON) {
        freeToken(token);
        return false;
    }
    if (token->kind == TOK_KEYWORD) {
        compileError(compilerStatementLine(), MSG_MISSING_SEMICOLON);
        pushBackToken(token);
        return false;
    }
    return errorSkip(token, MSG_SYNTAX);
}

// Array sizes: at least one element per dimension, at most MAX_ARRAY_ELEMENTS in all.
void sizeArray(Symbol* symbol, double size1, double size2, int dims, const SourceLine* line)
{
    double d1 = std::trunc(size1);
    double d2 = dims == 2 ? std::trunc(size2) : 1.0;
    if (!(d1 >= 1.0) || !(d2 >= 1.0)) {
        compileError(line, MSG_ARRAY_SIZE_POSITIVE);
        if (!(d1 >= 1.0))
            d1 = 1.0;
        if (!(d2 >= 1.0))
            d2 = 1.0;
    }
    if (d1 > MAX_ARRAY_ELEMENTS) {
        compileErrorf(line, MSG_ARRAY_TOO_LARGE, MAX_ARRAY_ELEMENTS);
        d1 = MAX_ARRAY_ELEMENTS;
    }
    if (d1 * d2 > MAX_ARRAY_ELEMENTS) {
        compileErrorf(line, MSG_ARRAY_TOO_LARGE, MAX_ARRAY_ELEMENTS);
        d2 = MAX_ARRAY_ELEMENTS / (int)d1;
    }
    freeBlock(symbol->elements);
    freeBlock(symbol->initialElements);
    symbol->initialElements = nullptr;
    symbol->initialCount = 0;
    symbol->dimensions = (uint8_t)dims;
    symbol->dim1 = (int)d1;
    symbol->dim2 = dims == 2 ? (int)d2 : 0;
    symbol->elementCount = (int)d1 * (int)d2;
    symbol->elements = (double*)memalloc_zero(sizeof(double) * symbol->elementCount, "ary");
    if (!symbol->elements) {
        symbol->dimensions = 0;
        symbol->elementCount = 0;
    }
}

// Keeps the first count values given in a declaration as the array's initial values.
void keepInitialElements(Symbol* symbol, const double* values, int count)
{
    freeBlock(symbol->initialElements);
    symbol->initialElements = nullptr;
    symbol->initialCount = 0;
    if (count <= 0)
        return;
    symbol->initialElements = memalloc_doubles(count, "aryinit");
    if (!symbol->initialElements)
        return;
    memcpy(symbol->initialElements, values, sizeof(double) * count);
    symbol->initialCount = count;
}

// braceList -> '{' [ ['+'|'-'] number { ',' ['+'|'-'] number } ] '}'
// The '{' has been read. Returns false when the statement was skipped.
bool readBraceList(Symbol* symbol, const SourceLine* line)
{
    int capacity = symbol->dimensions ? symbol->elementCount : 1;
    double* target = symbol->dimensions ? symbol->elements : &symbol->value;
    int count = 0;
    bool tooManyReported = false;
    Token* token = nextToken();
    if (token->kind == TOK_RBRACE) {
        freeToken(token);
        return true;
    }
    for (;;) {
        double sign = 1.0;
        if (token->kind == TOK_PLUS || token->kind == TOK_MINUS) {
            if (token->kind == TOK_MINUS)
                sign = -1.0;
            freeToken(token);
            token = nextToken();
        }
        if (token->kind != TOK_NUMBER) {
            return errorSkip(token, MSG_RIGHT_BRACE);
        }
        if (count < capacity) {
            target[count++] = sign * token->number;
        } else if (!tooManyReported) {
            compileError(token->line, MSG_TOO_MANY_VALUES);
            tooManyReported = true;
        }
        freeToken(token);
        token = nextToken();
        if (token->kind == TOK_RBRACE) {
            freeToken(token);
            break;
        }
        if (token->kind != TOK_COMMA) {
            return errorSkip(token, MSG_RIGHT_BRACE);
        }
        freeToken(token);
        token = nextToken();
    }
    if (symbol->dimensions)
        keepInitialElements(symbol, symbol->elements, count);
    else if (count > 0)
        symbol->initialValue = symbol->value;
    (void)line;
    return true;
}

// declarator -> name [ '[' constant [ ',' constant ] ']' ] [ '=' ( braceList | constant ) ]
// Returns false when the statement was skipped.
bool compileDeclarator(int kind)
{
    Token* token = nextToken();
    if (token->kind != TOK_IDENTIFIER) {
        return errorSkip(token, MSG_SYNTAX);
    }
    const SourceLine* line = token->line;
    Symbol* symbol = findSymbol(token->text);
    if (symbol)
        compileErrorf(line, MSG_DEFINED_TWICE, token->text);
    else
        symbol = defineSymbol(token->text, kind, line);
    freeToken(token);

    token = nextToken();
    if (token->kind == TOK_LBRACKET) {
        freeToken(token);
        double size1 = parseConstant();
        double size2 = 1.0;
        int dims = 1;
        token = nextToken();
        if (token->kind == TOK_COMMA) {
            freeToken(token);
            size2 = parseConstant();
            dims = 2;
            token = nextToken();
        }
        if (token->kind != TOK_RBRACKET) {
            return errorSkip(token, MSG_RIGHT_BRACKET);
        }
        freeToken(token);
        sizeArray(symbol, size1, size2, dims, line);
        token = nextToken();
    }

    bool initialised = false;
    if (token->kind == TOK_ASSIGN) {
        freeToken(token);
        initialised = true;
        token = nextToken();
        if (token->kind == TOK_LBRACE) {
            freeToken(token);
            if (!readBraceList(symbol, line))
                return false;
        } else {
            pushBackToken(token);
            double value = parseConstant();
            if (symbol->dimensions && symbol->elements) {
                symbol->elements[0] = value;
                keepInitialElements(symbol, &value, 1);
            } else {
                symbol->value = value;
                symbol->initialValue = value;
            }
        }
        token = nextToken();
    }
    if (kind == SYM_CONSTANT && !initialised)
        compileError(line, MSG_CONSTANT_VALUE);

    if (token->kind == TOK_COMMA) {
        freeToken(token);
        return true;
    }
    if (token->kind == TOK_SEMICOLON) {
        freeToken(token);
        return false;
    }
    return errorSkip(token, MSG_SYNTAX);
}

void compileDeclarators(int kind)
{
    while (compileDeclarator(kind)) {
    }
}

} // namespace

namespace {

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

// variablesStatement -> VARIABLES name { ',' name } ';'
void compileVariables()
{
    if (dataStatementSeen()) {
        compileError(lexerCurrentLine(), MSG_VARIABLES_AFTER_DATA);
        skipStatement();
        return;
    }
    for (;;) {
        Token* token = nextToken();
        if (token->kind != TOK_IDENTIFIER) {
            errorSkip(token, MSG_SYNTAX);
            return;
        }
        if (findSymbol(token->text))
            compileErrorf(token->line, MSG_DEFINED_TWICE, token->text);
        else
            defineSymbol(token->text, SYM_INPUT, token->line);
        freeToken(token);
        if (!listContinues(nextToken(), true))
            return;
    }
}

// parametersStatement -> PARAMETERS { name [ '=' constant ] [','] } ';'
void compileParameters()
{
    for (;;) {
        Token* token = nextToken();
        if (token->kind == TOK_COMMA) {
            freeToken(token);
            continue;
        }
        if (token->kind != TOK_IDENTIFIER) {
            listContinues(token, false);
            return;
        }
        const SourceLine* line = token->line;
        char name[IDENTIFIER_MAX + 2];
        snprintf(name, sizeof name, "%s", token->text);
        freeToken(token);

        double value = 1.0;
        token = nextToken();
        if (token->kind == TOK_ASSIGN) {
            freeToken(token);
            value = parseConstant();
            // A number past the largest double reads as infinite: no start for a fit.
            if (!std::isfinite(value))
                compileErrorf(line, MSG_INITIAL_RANGE, name);
        } else {
            pushBackToken(token);
        }
        if (findSymbol(name)) {
            compileErrorf(line, MSG_PARAMETER_TWICE, name);
            continue;
        }
        Symbol* symbol = defineSymbol(name, SYM_PARAMETER, line);
        if (symbol) {
            symbol->value = value;
            symbol->initialValue = value;
        }
    }
}

// doubleStatement -> DOUBLE declarator { ',' declarator } ';'
void compileDouble()
{
    compileDeclarators(SYM_WORK);
}

// constantStatement -> CONSTANT declarator { ',' declarator } ';'
void compileConstant()
{
    compileDeclarators(SYM_CONSTANT);
}

void eliminateUnusedParameters()
{
    int kept = 0;
    for (int i = 0; i < parameterCount; i++) {
        Symbol* symbol = parameters[i];
        if (!(symbol->flags & SYMF_REFERENCED)) {
            traceLine(MSG_ELIMINATED, symbol->name);
            symbol->index = -1;
            int sweepsKept = 0;
            for (int s = 0; s < settings.sweepCount; s++) {
                if (settings.sweeps[s].parameter != symbol)
                    settings.sweeps[sweepsKept++] = settings.sweeps[s];
            }
            settings.sweepCount = sweepsKept;
            continue;
        }
        symbol->index = (int16_t)kept;
        parameters[kept++] = symbol;
    }
    for (int i = kept; i < parameterCount; i++)
        parameters[i] = nullptr;
    parameterCount = kept;

    for (int i = 0; i < parameterCount; i++) {
        Symbol* symbol = parameters[i];
        if (!(symbol->value >= symbol->lowerBound))
            symbol->value = symbol->lowerBound;
        else if (symbol->value > symbol->upperBound)
            symbol->value = symbol->upperBound;
        symbol->initialValue = symbol->value;
    }
    if (parameterCount == 0)
        compileError(lexerCurrentLine(), MSG_NO_PARAMETERS);
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
