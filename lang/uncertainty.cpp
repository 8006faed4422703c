// WEIGHT and DERIVED statements. Both words stay usable as names: "weight = 1 / x;" is an
// assignment and "derived++;" an expression statement, because a WEIGHT statement needs
// an expression right after the word and a DERIVED statement a name and '='.
#include "lang/uncertainty.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "lang/parser.h"
#include "lang/lexer.h"
#include "lang/statement.h"
#include "lang/symbols.h"
#include "support/listing.h"

UncertaintyState uncertainty;

namespace {

const char MSG_WEIGHT_TWICE[] = "Only one WEIGHT statement is allowed";
const char MSG_WEIGHT_SYNTAX[] = "Invalid WEIGHT expression syntax";
const char MSG_DERIVED_SYNTAX[] = "Invalid DERIVED expression syntax";
const char MSG_DERIVED_TOO_MANY[] = "Too many DERIVED statements (limit %d)";
const char MSG_DERIVED_NAME[] = "DERIVED name is already used: %s";
const char MSG_DERIVED_VARIABLE[] = "A DERIVED expression may use only parameters and constants: %s";
const char MSG_DERIVED_DATA_HINT[] =
    "%s is a data variable, with a value for each observation; for a value that is the same "
    "for the whole data set (a dose, a volume), declare it a CONSTANT";
const char MSG_NESTED[] = "WEIGHT and DERIVED statements must stand outside blocks and control statements";

// Tokens that can begin an expression: after WEIGHT they make it a statement, while an
// operator, '=' , '[' or ';' after it leaves "weight" a variable name.
bool beginsExpression(const Token* token)
{
    switch (token->kind) {
    case TOK_IDENTIFIER: case TOK_NUMBER: case TOK_LPAREN: case TOK_MINUS: case TOK_PLUS:
    case TOK_NOT:
        return true;
    default:
        return false;
    }
}

// A semicolon ends both statements. A keyword or the end instead is a missing
// semicolon (the keyword starts the next statement); anything else is a syntax error
// and the rest of the statement is skipped.
void endStatement(const Token* first, const char* syntaxMessage)
{
    Token* token = nextToken();
    if (token->kind == TOK_SEMICOLON) {
        freeToken(token);
        return;
    }
    if (token->kind == TOK_KEYWORD || token->kind == TOK_END) {
        pushBackToken(token);
        expectSemicolon(first);
        return;
    }
    compileError(token->line, syntaxMessage);
    freeToken(token);
    skipStatement();
}

// The first variable of the tree that is neither a parameter nor a constant, or null.
const Symbol* firstVariable(const ExprNode* node)
{
    if (!node)
        return nullptr;
    if ((node->kind == NODE_VAR || node->kind == NODE_ELEMENT) && node->symbol &&
        node->symbol->kind != SYM_PARAMETER && node->symbol->kind != SYM_CONSTANT)
        return node->symbol;
    const ExprNode* children[] = {node->left, node->right, node->condition, node->firstArg};
    for (const ExprNode* child : children)
        if (const Symbol* s = firstVariable(child))
            return s;
    for (const ExprNode* arg = node->firstArg ? node->firstArg->nextArg : nullptr; arg; arg = arg->nextArg)
        if (const Symbol* s = firstVariable(arg))
            return s;
    return nullptr;
}

// weightStatement -> WEIGHT [ ABSOLUTE ] expr ';'
void compileWeight(Token* word)
{
    bool absolute = false;
    Token* token = nextToken();
    if (token->kind == TOK_IDENTIFIER && strcasecmp(token->text, "ABSOLUTE") == 0) {
        Token* after = nextToken();
        absolute = beginsExpression(after);
        pushBackToken(after);
        if (absolute)
            freeToken(token);
        else
            pushBackToken(token);
    } else {
        pushBackToken(token);
    }
    if (uncertainty.weightTree)
        compileError(word->line, MSG_WEIGHT_TWICE);
    ExprNode* tree = parseExpression(false, false);
    if (!tree) {
        skipStatement();
        return;
    }
    if (!uncertainty.weightTree) {
        uncertainty.weightTree = tree;
        uncertainty.weightAbsolute = absolute;
        uncertainty.weightLine = word->line;
    }
    endStatement(word, MSG_WEIGHT_SYNTAX);
}

// derivedStatement -> DERIVED name '=' expr ';'
void compileDerived(Token* word, Token* name)
{
    Token* equals = nextToken();   // '=' was seen by the caller
    freeToken(equals);
    if (uncertainty.derivedCount >= MAX_DERIVED) {
        compileErrorf(word->line, MSG_DERIVED_TOO_MANY, MAX_DERIVED);
        freeToken(name);
        skipStatement();
        return;
    }
    bool clash = findSymbol(name->text) != nullptr;
    for (int k = 0; k < uncertainty.derivedCount; ++k)
        clash = clash || strncasecmp(uncertainty.derived[k].name, name->text, IDENTIFIER_MAX) == 0;
    if (clash)
        compileErrorf(name->line, MSG_DERIVED_NAME, name->text);
    ExprNode* tree = parseExpression(false, false);
    if (!tree) {
        freeToken(name);
        skipStatement();
        return;
    }
    if (const Symbol* variable = firstVariable(tree)) {
        compileErrorf(word->line, MSG_DERIVED_VARIABLE, variable->name);
        if (variable->kind == SYM_INPUT) {
            char hint[sizeof MSG_DERIVED_DATA_HINT + sizeof variable->name];
            snprintf(hint, sizeof hint, MSG_DERIVED_DATA_HINT, variable->name);
            listingNote(nullptr, hint);
        }
    } else if (!clash) {
        DerivedQuantity& d = uncertainty.derived[uncertainty.derivedCount++];
        snprintf(d.name, sizeof d.name, "%.*s", IDENTIFIER_MAX, name->text);
        d.tree = tree;
        d.line = word->line;
    }
    freeToken(name);
    endStatement(word, MSG_DERIVED_SYNTAX);
}

}  // namespace

void uncertaintyReset()
{
    uncertainty = UncertaintyState{};
}

bool uncertaintyCompileStatement(Token* token, bool nested)
{
    if (token->kind != TOK_IDENTIFIER || !token->text)
        return false;
    const bool weight = strcasecmp(token->text, "WEIGHT") == 0;
    const bool derived = strcasecmp(token->text, "DERIVED") == 0;
    const bool profile = strcasecmp(token->text, "PROFILE") == 0;
    if (!weight && !derived && !profile)
        return false;
    Token* next = nextToken();
    // profileStatement -> PROFILE ';'
    if (profile) {
        const bool statement = next->kind == TOK_SEMICOLON;
        pushBackToken(next);
        if (!statement)
            return false;
        // A request about the fit, like COVARIANCE: where it stands does not matter.
        uncertainty.profile = true;
        freeToken(nextToken());
        freeToken(token);
        return true;
    }
    if (weight) {
        const bool statement = beginsExpression(next);
        pushBackToken(next);
        if (!statement)
            return false;
        if (nested)
            compileError(token->line, MSG_NESTED);
        compileWeight(token);
        freeToken(token);
        return true;
    }
    if (next->kind != TOK_IDENTIFIER) {
        pushBackToken(next);
        return false;
    }
    Token* equals = nextToken();
    const bool statement = equals->kind == TOK_ASSIGN;
    pushBackToken(equals);
    if (!statement) {
        pushBackToken(next);
        return false;
    }
    if (nested)
        compileError(token->line, MSG_NESTED);
    compileDerived(token, next);
    freeToken(token);
    return true;
}
