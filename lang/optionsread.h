// Reading helpers of the option statements, shared by the plot statements. Only
// options.cpp and plotstatements.cpp include this header.
#pragma once

#include <string>

struct SourceLine;
struct Symbol;
struct Token;

// Messages of both kinds of statement, in the words the user sees.
inline constexpr char MSG_NUMBER_MISSING[] = "Syntax error: numeric value missing";
inline constexpr char MSG_TITLE_QUOTES[] = "Syntax error.  Title string must be in quotes.";

bool optionsTakeToken(int kind);                         // consumes the next token of kind
void optionsEndStatement(const SourceLine* line);         // the closing semicolon
void optionsAbandonStatement(Token* token);               // skips the rest from token on
void optionsRejectStatement(const SourceLine* line, const char* message, Token* token);
void optionsCopyTitle(char* target, const char* text);    // at most TITLE_MAX characters
std::string optionsTokenText(const Token* token);         // a token's text for messages
Symbol* optionsReadName(const SourceLine* line, const char* missingMessage);
