// Source reader and lexer: reads the program one line at a time through a line
// source, keeps every line read, echoes it into the listing file, and splits the
// characters into tokens. A push-back stack lets the parsers look ahead freely.
#pragma once

#include "support/sourceline.h"

constexpr int SOURCE_LINE_MAX = 599;     // characters kept of one source line
constexpr int IDENTIFIER_MAX = 30;       // characters kept of an identifier
constexpr int STRING_MAX = 999;          // characters kept of a string literal

// Where program lines come from: the editor's document, or a file's lines in batch mode.
struct LineSource {
    int lineCount;                                                   // lines, taken when the compile starts
    void (*copyLine)(void* context, int index, char* buffer, int size);   // 0-based line into buffer, NUL-terminated
    void* context;                                                   // passed back to copyLine
};

enum TokenKind {
    TOK_IDENTIFIER = 1, TOK_KEYWORD, TOK_NUMBER, TOK_STRING, TOK_END,
    TOK_SEMICOLON, TOK_COMMA,
    TOK_PLUS, TOK_MINUS, TOK_STAR, TOK_SLASH, TOK_PERCENT, TOK_POWER,
    TOK_LPAREN, TOK_RPAREN, TOK_LBRACE, TOK_RBRACE, TOK_LBRACKET, TOK_RBRACKET,
    TOK_QUESTION, TOK_COLON, TOK_AND, TOK_OR, TOK_NOT, TOK_NE,
    TOK_LT, TOK_LE, TOK_GT, TOK_GE, TOK_EQ, TOK_ASSIGN,
    TOK_PLUS_ASSIGN, TOK_MINUS_ASSIGN, TOK_STAR_ASSIGN, TOK_SLASH_ASSIGN,
    TOK_INCREMENT, TOK_DECREMENT
};

// Keyword codes, tested by the statement dispatcher and the option parsers.
enum KeywordCode {
    KW_CONSTANT = 1, KW_BREAK = 2, KW_DOUBLE = 3, KW_ELSE = 4, KW_OUTPUT = 5, KW_POUTPUT = 6,
    KW_FOR = 7, KW_IF = 8, KW_TO = 9, KW_PARAMETERS = 10, KW_COVARIANCE = 11, KW_STOP = 12,
    KW_TOLERANCE = 13, KW_VARIABLES = 14, KW_WHILE = 15, KW_CONTINUE = 16, KW_DO = 17,
    KW_TITLE = 18, KW_PLOT = 19, KW_RPLOT = 20, KW_NPLOT = 21, KW_DATA = 22, KW_FUNCTION = 23,
    KW_GRID = 24, KW_ITERATIONS = 26, KW_PRESOLUTION = 27, KW_PRINT = 28, KW_NOPAUSE = 29,
    KW_DOMAIN = 30, KW_NOTITLE = 31, KW_CONSTRAIN = 32, KW_SWEEP = 34, KW_ANGLETYPE = 35,
    KW_WIDTH = 36, KW_NOECHO = 37, KW_CONFIDENCE = 38, KW_VALUES = 39, KW_NOGRID = 40,
    KW_XLABEL = 41, KW_YLABEL = 42, KW_NOXLABEL = 43, KW_NOYLABEL = 44, KW_XVAR = 45,
    KW_YVAR = 46, KW_SPLOT = 47, KW_CORRELATE = 48, KW_XVAR2 = 49, KW_YVAR2 = 50,
    KW_CONNECT = 51, KW_CONNECT2 = 52, KW_NOMARK = 53, KW_NOMARK2 = 54, KW_DATASKIP = 55,
    KW_DATACOUNT = 56
};

struct Token {
    Token* next;            // live-token list
    Token* prev;            // live-token list
    Token* pushLink;        // push-back stack
    int kind;               // TokenKind
    int keyword;            // KeywordCode when kind is TOK_KEYWORD
    double number;          // value when kind is TOK_NUMBER
    const SourceLine* line; // line on which the token starts
    char* text;             // identifier, keyword or string text (owned), else null
};

// Reader: reset before each compile with the program's line source. The reset frees the
// tokens and the source lines of the previous compile.
void lexerReset(const LineSource* source);
Token* nextToken();
void pushBackToken(Token* token);
void freeToken(Token* token);
void freeAllTokens();
int readChar();            // next character; LEX_END_OF_INPUT at the end
void unreadChar(int c);
void freeSourceLines();
constexpr int LEX_END_OF_INPUT = -1;

// The current line (the last one read), for messages; null before the first line.
const SourceLine* lexerCurrentLine();
SourceLine* lexerFirstLine();

// Raw line access for inline data: copies the next program line (cut at CR/LF)
// into buffer and advances the same line index the lexer reads; false at the end.
// What the lexer still holds of the current line stays: its tokens come after the data.
bool lexerTakeRawLine(char* buffer, int size);
// The line lexerTakeRawLine took last, copied again into a larger buffer: for a line
// that filled the first one. False when no line was taken.
bool lexerRetakeRawLine(char* buffer, int size);

// KeywordCode of a word (any letter case), 0 when it is not a key word.
int lexerKeywordCode(const char* text);
// The index-th key word of the table (lower case), null past its end.
const char* lexerKeyword(int index);
// The index-th word that is a key word only where its statement or option starts (WEIGHT,
// DERIVED, CBAND, ...; it stays usable as a name elsewhere), null past the end.
const char* lexerContextWord(int index);

// True after an unterminated block comment or a line too long: the compile ends there.
bool lexerFatalError();
