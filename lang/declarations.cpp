// The declaration statements (VARIABLES, PARAMETERS, DOUBLE, CONSTANT) and the removal
// of parameters the program never uses, over the symbol table.
#include "lang/declarations.h"

#include "lang/data.h"
#include "lang/lexer.h"
#include "lang/options.h"
#include "lang/parser.h"
#include "lang/statement.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/listing.h"

#include <cmath>
#include <cstdio>
#include <cstring>

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
const char MSG_ELIMINATED[] = "Parameter %s is never used and is being eliminated.";
const char MSG_LEFT_OUT[] = "Parameter %s is never used and was left out";
const char MSG_NO_PARAMETERS[] = "You must use some parameters.";
const char MSG_NOTE_RESERVED[] = "%s is a reserved word and cannot be a name: choose another name.";

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

// A keyword where a declaration expects a name: the syntax error, one note that names the
// reserved word, and the rest of the statement skipped so that it says nothing more.
bool reservedAsName(Token* token)
{
    char note[IDENTIFIER_MAX + sizeof MSG_NOTE_RESERVED];
    snprintf(note, sizeof note, MSG_NOTE_RESERVED, token->text ? token->text : "");
    compileError(token->line, MSG_SYNTAX);
    listingNote(token->line, note);
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
    if (token->kind == TOK_KEYWORD)
        return reservedAsName(token);
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
        if (token->kind == TOK_KEYWORD) {
            reservedAsName(token);
            return;
        }
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
    // Commas are optional: a keyword first or after a comma is a name, after a
    // declarator it starts the next statement.
    bool nameExpected = true;
    for (;;) {
        Token* token = nextToken();
        if (token->kind == TOK_COMMA) {
            freeToken(token);
            nameExpected = true;
            continue;
        }
        if (token->kind == TOK_KEYWORD && nameExpected) {
            reservedAsName(token);
            return;
        }
        nameExpected = false;
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
    // The note is for a program that runs: one with errors, or without any parameter in
    // use, is told what stops it instead.
    bool noted = compileErrorCount() == 0;
    int used = 0;
    for (int i = 0; i < parameterCount; i++)
        used += (parameters[i]->flags & SYMF_REFERENCED) ? 1 : 0;
    noted = noted && used > 0;
    int kept = 0;
    for (int i = 0; i < parameterCount; i++) {
        Symbol* symbol = parameters[i];
        if (!(symbol->flags & SYMF_REFERENCED)) {
            traceLine(MSG_ELIMINATED, symbol->name);
            if (noted) {
                char note[sizeof(Symbol::name) + sizeof MSG_LEFT_OUT];
                snprintf(note, sizeof note, MSG_LEFT_OUT, symbol->name);
                listingNote(nullptr, note);
            }
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
