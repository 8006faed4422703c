// Helpers of every statement's compile routine, below the statement compiler so that
// the statements of every kind (declarations, options, plots, data, weights) use them
// without including it.
#pragma once

struct SourceLine;
struct Token;

// Reads tokens up to and including the next ';' (or up to the end of the input).
void skipStatement();
// Reads the ';' that ends a statement; else reports it at the statement's line (that of
// statementToken when given) and puts the token back.
void expectSemicolon(const Token* statementToken);

// Line of the token that began the statement being compiled (for statement-level
// messages), or the lexer's current line before any.
const SourceLine* compilerStatementLine();
// The compiler records the first line of each statement it begins (null: none).
void statementBegin(const SourceLine* line);
