// Helpers of every statement's compile routine: skipping a statement after an error,
// the semicolon that ends one, and the line of the statement being compiled.
#include "lang/statement.h"

#include "lang/lexer.h"
#include "support/listing.h"

namespace {

const char MSG_MISSING_SEMICOLON[] = "Missing semicolon at end of statement";

struct StatementState {
    const SourceLine* line;     // line of the statement's first token
};

StatementState statement;

}  // namespace

void statementBegin(const SourceLine* line)
{
    statement.line = line;
}

void skipStatement()
{
    for (;;) {
        Token* token = nextToken();
        if (token->kind == TOK_END) {
            pushBackToken(token);
            return;
        }
        bool end = token->kind == TOK_SEMICOLON;
        freeToken(token);
        if (end)
            return;
    }
}

void expectSemicolon(const Token* statementToken)
{
    Token* token = nextToken();
    if (token->kind == TOK_SEMICOLON) {
        freeToken(token);
        return;
    }
    const SourceLine* line = statementToken ? statementToken->line : statement.line;
    compileError(line ? line : lexerCurrentLine(), MSG_MISSING_SEMICOLON);
    pushBackToken(token);
}

const SourceLine* compilerStatementLine()
{
    return statement.line ? statement.line : lexerCurrentLine();
}

