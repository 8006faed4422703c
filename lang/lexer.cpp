// Source reader and lexer. Lines come from a LineSource one at a time; each line read is
// kept as a SourceLine and echoed into the listing file. The scanner turns characters
// into tokens; every live token is on one list so that a torn-down compile frees all.
#include "lang/lexer.h"

#include "lang/scanner.h"

#include "support/allocator.h"
#include "support/listing.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <strings.h>

namespace {

constexpr int LINE_BUFFER = SOURCE_LINE_MAX + 2;   // a copied line, one character to tell a longer one, its NUL
constexpr int ECHO_COLUMNS = 594;                   // columns of a line echoed into the listing file
constexpr int TAB_WIDTH = 4;                        // tab stops of the echo
constexpr int NO_CHAR = -2;                         // no character pushed back
constexpr int END_OF_LINE = 0;                      // handed out at the end of each line
constexpr int HEX_ESCAPE_DIGITS = 3;                // digits after \x

struct Keyword {
    const char* word;   // spelling, lower case
    int code;           // KeywordCode
};

// Alphabetical; synonyms share a code.
const Keyword KEYWORDS[] = {
    {"angletype", KW_ANGLETYPE}, {"break", KW_BREAK}, {"confidence", KW_CONFIDENCE},
    {"connect", KW_CONNECT}, {"connect2", KW_CONNECT2}, {"constant", KW_CONSTANT},
    {"constrain", KW_CONSTRAIN}, {"continue", KW_CONTINUE}, {"correlate", KW_CORRELATE},
    {"covariance", KW_COVARIANCE}, {"data", KW_DATA}, {"datacount", KW_DATACOUNT},
    {"dataskip", KW_DATASKIP}, {"do", KW_DO}, {"domain", KW_DOMAIN}, {"double", KW_DOUBLE},
    {"else", KW_ELSE}, {"for", KW_FOR}, {"function", KW_FUNCTION}, {"grid", KW_GRID},
    {"if", KW_IF}, {"iteration", KW_ITERATIONS}, {"iterations", KW_ITERATIONS},
    {"model", KW_FUNCTION}, {"noecho", KW_NOECHO}, {"nogrid", KW_NOGRID},
    {"nomark", KW_NOMARK}, {"nomark2", KW_NOMARK2}, {"nopause", KW_NOPAUSE},
    {"notitle", KW_NOTITLE}, {"noxlabel", KW_NOXLABEL}, {"noylabel", KW_NOYLABEL},
    {"nplot", KW_NPLOT}, {"output", KW_OUTPUT}, {"parameter", KW_PARAMETERS},
    {"parameters", KW_PARAMETERS}, {"plot", KW_PLOT}, {"poutput", KW_POUTPUT},
    {"presolution", KW_PRESOLUTION}, {"print", KW_PRINT}, {"rplot", KW_RPLOT},
    {"splot", KW_SPLOT}, {"stop", KW_STOP}, {"sweep", KW_SWEEP}, {"title", KW_TITLE},
    {"to", KW_TO}, {"tolerance", KW_TOLERANCE}, {"values", KW_VALUES}, {"var", KW_VARIABLES},
    {"variable", KW_VARIABLES}, {"variables", KW_VARIABLES}, {"while", KW_WHILE},
    {"width", KW_WIDTH}, {"xlabel", KW_XLABEL}, {"xvar", KW_XVAR}, {"xvar2", KW_XVAR2},
    {"ylabel", KW_YLABEL}, {"yvar", KW_YVAR}, {"yvar2", KW_YVAR2},
};

const char MSG_MISSING_QUOTE[] = "Missing quote at end of string";
const char MSG_BACK_QUOTE[] = "Invalid character \"`\" in string. Missing quotes?";
const char MSG_INVALID_NUMBER[] = "Invalid number";
const char MSG_INVALID_AND[] = "Invalid operator: &";
const char MSG_INVALID_OR[] = "Invalid operator: |";
const char MSG_INVALID_CHARACTER[] = "Invalid character in program: %c (0x%02X)";
const char MSG_LINE_TOO_LONG[] = "Line too long: a program line holds at most 599 characters";
const char MSG_NUL_BYTE[] =
    "Line %d holds a NUL byte: the program file is not plain text. Save it as plain text (UTF-8)";
const char MSG_UTF16[] = "The program file is saved as UTF-16: save it as UTF-8 (plain text) and run it again";
constexpr char UNWRITTEN = '\x01';     // fills the line buffer, to find where a copy ended
const char MSG_OPEN_COMMENT[] = "Hit end of file while processing comment that started on line %d\n";

struct LexerState {
    LineSource source;                  // where lines come from
    int lineIndex;                      // next line of the source to read
    char buffer[LINE_BUFFER];           // the current line
    int position;                       // next character of buffer
    int length;                         // characters in buffer
    bool needNewLine;                   // the next character comes from a new line
    bool endOfInput;                    // end of input has been handed out
    bool fatal;                         // an unterminated block comment or a line too long ended the compile
    int pushedChar;                     // character pushed back, or NO_CHAR
    const SourceLine* pushedLine;       // line the pushed-back character came from
    const SourceLine* currentLine;      // line of the last character handed out
    SourceLine* firstLine;              // lines read, oldest first
    SourceLine* lastLine;               // newest line read
    Token* liveTokens;                  // newest live token
    Token* pushStack;                   // top of the push-back stack
};

LexerState lexer = {{0, nullptr, nullptr}, 0, {}, 0, 0, true, false, false, NO_CHAR,
                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

bool isLetter(int c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isSourceDigit(int c)
{
    return c >= '0' && c <= '9';
}

bool startsIdentifier(int c)
{
    return isLetter(c) || c == '#' || c == '$' || c == '_';
}

bool continuesIdentifier(int c)
{
    return startsIdentifier(c) || isSourceDigit(c);
}

int hexValue(int c)
{
    if (isSourceDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int lookupKeyword(const char* text)
{
    for (const Keyword& keyword : KEYWORDS)
        if (strcasecmp(keyword.word, text) == 0)
            return keyword.code;
    return 0;
}

// The listing-file echo: "%4d: %s\n" with tabs expanded to multiples of four columns,
// the text ending once ECHO_COLUMNS columns are filled.
void echoLine(const SourceLine* line)
{
    if (!listingFile())
        return;
    char echo[ECHO_COLUMNS + 1];
    int column = 0;
    for (const char* p = line->text; *p && column < ECHO_COLUMNS; p++) {
        if (*p == '\t') {
            do
                echo[column++] = ' ';
            while (column % TAB_WIDTH != 0 && column < ECHO_COLUMNS);
        } else {
            echo[column++] = *p;
        }
    }
    echo[column] = '\0';
    listingFilePrint("%4d: %s\n", line->lineNumber, echo);
}

// Fetches the next line of the source into the buffer; false at the end of input.
bool readNewLine()
{
    // A compile that has reported as many errors as it shows reads no further.
    if (compileErrorLimitReached()) {
        lexer.fatal = true;
        return false;
    }
    if (lexer.lineIndex >= lexer.source.lineCount || !lexer.source.copyLine)
        return false;
    // A copy ends in its NUL: one before that (the byte after it not the fill) is a NUL
    // byte in the line, which would otherwise cut it without a word.
    memset(lexer.buffer, UNWRITTEN, LINE_BUFFER);
    lexer.source.copyLine(lexer.source.context, lexer.lineIndex, lexer.buffer, LINE_BUFFER);
    lexer.buffer[LINE_BUFFER - 1] = '\0';
    const size_t copied = strlen(lexer.buffer);
    const bool nulByte = copied + 1 < LINE_BUFFER - 1 && lexer.buffer[copied + 1] != UNWRITTEN;
    // A UTF-16 file starts with its byte-order mark.
    const bool utf16 = lexer.lineIndex == 0 && (strncmp(lexer.buffer, "\xFF\xFE", 2) == 0 ||
                                                strncmp(lexer.buffer, "\xFE\xFF", 2) == 0);
    lexer.length = static_cast<int>(strcspn(lexer.buffer, "\r\n"));
    // A longer line is an error rather than a silent cut.
    const bool tooLong = lexer.length > SOURCE_LINE_MAX;
    if (tooLong)
        lexer.length = SOURCE_LINE_MAX;
    lexer.buffer[lexer.length] = '\0';
    // A byte-order mark that some editors write at the start of a UTF-8 file.
    const int skipped = lexer.lineIndex == 0 && strncmp(lexer.buffer, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    if (skipped) {
        memmove(lexer.buffer, lexer.buffer + skipped, lexer.length - skipped + 1);
        lexer.length -= skipped;
    }
    lexer.position = 0;
    lexer.lineIndex++;

    // One block holds the record and its text.
    auto* line = static_cast<SourceLine*>(memalloc(sizeof(SourceLine) + lexer.length + 1, "slb"));
    if (!line)
        return false;
    line->next = nullptr;
    line->lineNumber = lexer.lineIndex;
    line->text = reinterpret_cast<char*>(line + 1);
    memcpy(line->text, lexer.buffer, lexer.length + 1);
    if (lexer.lastLine)
        lexer.lastLine->next = line;
    else
        lexer.firstLine = line;
    lexer.lastLine = line;
    lexer.currentLine = line;
    echoLine(line);
    if (tooLong || nulByte || utf16) {
        // The compile ends here: what the parser would make of the cut line could only
        // mislead.
        char message[200];
        snprintf(message, sizeof message, MSG_NUL_BYTE, line->lineNumber);
        compileError(line, utf16 ? MSG_UTF16 : tooLong ? MSG_LINE_TOO_LONG : message);
        lexer.fatal = true;
        return false;
    }
    return true;
}

char* copyTokenText(const char* text, int length)
{
    char* copy = static_cast<char*>(memalloc(length + 1, "listr"));
    if (!copy)
        return nullptr;
    memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

// A new token on the live list, started on the current line.
Token* newToken(int kind, const SourceLine* line)
{
    auto* token = static_cast<Token*>(memalloc_zero(sizeof(Token), "li"));
    if (!token)
        return nullptr;
    token->kind = kind;
    token->line = line;
    token->next = lexer.liveTokens;
    if (lexer.liveTokens)
        lexer.liveTokens->prev = token;
    lexer.liveTokens = token;
    return token;
}

Token* textToken(int kind, const SourceLine* line, const char* text, int length)
{
    Token* token = newToken(kind, line);
    if (!token)
        return nullptr;
    token->text = copyTokenText(text, length);
    if (!token->text) {
        freeToken(token);
        return nullptr;
    }
    return token;
}

// Skips a block comment whose opening slash-star has been read; false when the input
// ends first (the compile then ends with a counted error).
bool skipBlockComment(const SourceLine* startLine)
{
    for (;;) {
        int c = readChar();
        if (c == LEX_END_OF_INPUT) {
            char message[120];
            snprintf(message, sizeof(message), MSG_OPEN_COMMENT, startLine ? startLine->lineNumber : 0);
            compileError(nullptr, message);
            lexer.fatal = true;
            return false;
        }
        if (c == '*') {
            c = readChar();
            if (c == '/')
                return true;
            unreadChar(c);
        }
    }
}

// number -> group {':' group} [(D|E) ['+'|'-'] {digit}], group -> {digit} ['.' {digit}]
// The characters are collected as the grammar takes them and read by the scanner that
// the data reader shares. first is the character that starts the number; lookahead, when
// set, is the one after it. A second point in one group is an error: the token is 0 and
// scanning resumes after that point.
Token* lexNumber(int first, int lookahead, const SourceLine* line)
{
    // A number lies within one source line, so it fits.
    char text[SOURCE_LINE_MAX + 1];
    int length = 0;
    bool pointInGroup = false;
    int c = first;
    for (;;) {
        if (c == '.') {
            if (pointInGroup) {
                lexError(MSG_INVALID_NUMBER);
                return newToken(TOK_NUMBER, line);
            }
            pointInGroup = true;
        } else if (c == ':') {
            pointInGroup = false;
        } else if (!isSourceDigit(c)) {
            break;
        }
        text[length++] = static_cast<char>(c);
        if (lookahead != NO_CHAR) {
            c = lookahead;
            lookahead = NO_CHAR;
        } else {
            c = readChar();
        }
    }
    if (c == 'D' || c == 'E' || c == 'd' || c == 'e') {
        text[length++] = static_cast<char>(c);
        c = readChar();
        if (c == '+' || c == '-') {
            text[length++] = static_cast<char>(c);
            c = readChar();
        }
        for (; isSourceDigit(c); c = readChar())
            text[length++] = static_cast<char>(c);
    }
    unreadChar(c);
    text[length] = '\0';
    // An exponent letter without digits and an empty ':' group count as 0, and a value
    // past the largest double is infinite, as these forms have always read in a program.
    const ScannedNumber number = scannerNumber(text, false);
    Token* token = newToken(TOK_NUMBER, line);
    if (token)
        token->number = number.value;
    return token;
}

// Turns the escapes of a collected string into their characters, in place.
int unescape(char* text, int length)
{
    int out = 0;
    for (int i = 0; i < length; i++) {
        if (text[i] != '\\' || i + 1 >= length) {
            if (text[i] != '\\')
                text[out++] = text[i];
            continue;
        }
        const char c = text[++i];
        switch (c) {
        case 'a': text[out++] = 7; break;
        case 'b': text[out++] = 8; break;
        case 'f': text[out++] = 12; break;
        case 'n': text[out++] = 10; break;
        case 'r': text[out++] = 13; break;
        case 'x': {
            int value = 0;
            int digits = 0;
            while (digits < HEX_ESCAPE_DIGITS && i + 1 < length && hexValue(text[i + 1]) >= 0) {
                value = 16 * value + hexValue(text[++i]);
                digits++;
            }
            text[out++] = static_cast<char>(value);
            break;
        }
        default: text[out++] = c; break;   // \" \' \\ and any other character
        }
    }
    text[out] = '\0';
    return out;
}

// string -> '"' characters '"'; a quote that follows a backslash does not end it.
// The escapes are turned into their characters once the whole text is collected.
Token* scanString(const SourceLine* line)
{
    char text[STRING_MAX + 1];
    int length = 0;
    int previous = 0;
    for (;;) {
        const int c = readChar();
        if (c == END_OF_LINE || c == LEX_END_OF_INPUT) {
            compileError(line, MSG_MISSING_QUOTE);
            break;
        }
        if (c == '"' && previous != '\\')
            break;
        if (length < STRING_MAX)
            text[length++] = static_cast<char>(c);
        previous = c;
    }
    length = unescape(text, length);
    return textToken(TOK_STRING, line, text, length);
}

Token* scanIdentifier(int first, const SourceLine* line)
{
    char text[IDENTIFIER_MAX + 1];
    int length = 0;
    int c = first;
    while (continuesIdentifier(c)) {
        if (length < IDENTIFIER_MAX)
            text[length++] = static_cast<char>(c);
        c = readChar();
    }
    unreadChar(c);
    text[length] = '\0';
    const int code = lookupKeyword(text);
    Token* token = textToken(code ? TOK_KEYWORD : TOK_IDENTIFIER, line, text, length);
    if (token)
        token->keyword = code;
    return token;
}

// The one-character token, or the two-character one when second follows.
int pairedOperator(int second, int pairKind, int singleKind)
{
    const int c = readChar();
    if (c == second)
        return pairKind;
    unreadChar(c);
    return singleKind;
}

// The one-character token c, the doubled one (cc), or the assignment one (c=).
int compoundOperator(int c, int doubledKind, int assignKind, int singleKind)
{
    const int next = readChar();
    if (next == c)
        return doubledKind;
    if (next == '=')
        return assignKind;
    unreadChar(next);
    return singleKind;
}

void reportInvalidCharacter(int c)
{
    char message[64];
    snprintf(message, sizeof(message), MSG_INVALID_CHARACTER, c, c);
    lexError(message);
}

// Scans one token; null only when an allocation failed.
Token* scanToken()
{
    for (;;) {
        int c = readChar();
        if (c == LEX_END_OF_INPUT)
            return newToken(TOK_END, lexer.currentLine);
        if (c == ' ' || c == '\t' || c == END_OF_LINE)
            continue;
        const SourceLine* line = lexer.currentLine;

        if (startsIdentifier(c)) {
            Token* token = scanIdentifier(c, line);
            if (token && token->kind == TOK_IDENTIFIER && strcasecmp(token->text, "#INCLUDE") == 0) {
                freeToken(token);
                continue;
            }
            return token;
        }
        if (isSourceDigit(c))
            return lexNumber(c, NO_CHAR, line);

        int kind = 0;
        switch (c) {
        case '.': {
            const int next = readChar();
            if (isSourceDigit(next))
                return lexNumber(c, next, line);
            unreadChar(next);
            reportInvalidCharacter(c);
            continue;
        }
        case '"':
            return scanString(line);
        case '`':
            compileError(line, MSG_BACK_QUOTE);
            return textToken(TOK_STRING, line, "`", 1);
        case '(': kind = TOK_LPAREN; break;
        case ')': kind = TOK_RPAREN; break;
        case '[': kind = TOK_LBRACKET; break;
        case ']': kind = TOK_RBRACKET; break;
        case '{': kind = TOK_LBRACE; break;
        case '}': kind = TOK_RBRACE; break;
        case ',': kind = TOK_COMMA; break;
        case ';': kind = TOK_SEMICOLON; break;
        case '?': kind = TOK_QUESTION; break;
        case ':': kind = TOK_COLON; break;
        case '%': kind = TOK_PERCENT; break;
        case '^': kind = TOK_POWER; break;
        case '+': kind = compoundOperator('+', TOK_INCREMENT, TOK_PLUS_ASSIGN, TOK_PLUS); break;
        case '-': kind = compoundOperator('-', TOK_DECREMENT, TOK_MINUS_ASSIGN, TOK_MINUS); break;
        case '*': kind = compoundOperator('*', TOK_POWER, TOK_STAR_ASSIGN, TOK_STAR); break;
        case '/': {
            const int next = readChar();
            if (next == '*') {
                if (!skipBlockComment(line))
                    return newToken(TOK_END, lexer.currentLine);
                continue;
            }
            kind = next == '=' ? TOK_SLASH_ASSIGN : TOK_SLASH;
            if (kind == TOK_SLASH)
                unreadChar(next);
            break;
        }
        case '=': kind = pairedOperator('=', TOK_EQ, TOK_ASSIGN); break;
        case '<': kind = pairedOperator('=', TOK_LE, TOK_LT); break;
        case '>': kind = pairedOperator('=', TOK_GE, TOK_GT); break;
        case '!': kind = pairedOperator('=', TOK_NE, TOK_NOT); break;
        case '&':
        case '|': {
            const int next = readChar();
            if (next != c) {
                lexError(c == '&' ? MSG_INVALID_AND : MSG_INVALID_OR);
                unreadChar(next);
            }
            kind = c == '&' ? TOK_AND : TOK_OR;
            break;
        }
        default:
            reportInvalidCharacter(c);
            continue;
        }
        return newToken(kind, line);
    }
}

} // namespace

void lexerReset(const LineSource* source)
{
    freeAllTokens();
    freeSourceLines();
    lexer.source = source ? *source : LineSource{0, nullptr, nullptr};
    lexer.lineIndex = 0;
    lexer.buffer[0] = '\0';
    lexer.position = 0;
    lexer.length = 0;
    lexer.needNewLine = true;
    lexer.endOfInput = false;
    lexer.fatal = false;
    lexer.pushedChar = NO_CHAR;
    lexer.pushedLine = nullptr;
    lexer.currentLine = nullptr;
}

Token* nextToken()
{
    if (lexer.pushStack) {
        Token* token = lexer.pushStack;
        lexer.pushStack = token->pushLink;
        token->pushLink = nullptr;
        return token;
    }
    return scanToken();
}

void pushBackToken(Token* token)
{
    if (!token)
        return;
    token->pushLink = lexer.pushStack;
    lexer.pushStack = token;
}

void freeToken(Token* token)
{
    if (!token)
        return;
    if (token->prev)
        token->prev->next = token->next;
    else
        lexer.liveTokens = token->next;
    if (token->next)
        token->next->prev = token->prev;
    if (token->text)
        memfree(token->text);
    memfree(token);
}

void freeAllTokens()
{
    Token* token = lexer.liveTokens;
    while (token) {
        Token* next = token->next;
        if (token->text)
            memfree(token->text);
        memfree(token);
        token = next;
    }
    lexer.liveTokens = nullptr;
    lexer.pushStack = nullptr;
}

int readChar()
{
    if (lexer.pushedChar != NO_CHAR) {
        const int c = lexer.pushedChar;
        lexer.pushedChar = NO_CHAR;
        lexer.currentLine = lexer.pushedLine;
        return c;
    }
    if (lexer.endOfInput)
        return LEX_END_OF_INPUT;
    if (lexer.needNewLine) {
        if (!readNewLine()) {
            lexer.endOfInput = true;
            return LEX_END_OF_INPUT;
        }
        lexer.needNewLine = false;
    }
    // Two slashes end the line wherever they stand, inside a string too.
    if (lexer.position >= lexer.length ||
        (lexer.buffer[lexer.position] == '/' && lexer.buffer[lexer.position + 1] == '/')) {
        lexer.needNewLine = true;
        return END_OF_LINE;
    }
    return static_cast<unsigned char>(lexer.buffer[lexer.position++]);
}

void unreadChar(int c)
{
    lexer.pushedChar = c;
    lexer.pushedLine = lexer.currentLine;
}

void freeSourceLines()
{
    SourceLine* line = lexer.firstLine;
    while (line) {
        SourceLine* next = line->next;
        memfree(line);
        line = next;
    }
    lexer.firstLine = nullptr;
    lexer.lastLine = nullptr;
    lexer.currentLine = nullptr;
    lexer.pushedLine = nullptr;
}

const SourceLine* lexerCurrentLine()
{
    return lexer.currentLine;
}

SourceLine* lexerFirstLine()
{
    return lexer.firstLine;
}

bool lexerTakeRawLine(char* buffer, int size)
{
    // The rest of the current line (the text after "DATA;") stays with the lexer: it is
    // program text, read once the data lines have been taken.
    if (size <= 0)
        return false;
    buffer[0] = '\0';
    if (lexer.endOfInput || lexer.lineIndex >= lexer.source.lineCount || !lexer.source.copyLine)
        return false;
    // An inline data record may be as long as a record of a data file.
    lexer.source.copyLine(lexer.source.context, lexer.lineIndex, buffer, size);
    buffer[size - 1] = '\0';
    buffer[strcspn(buffer, "\r\n")] = '\0';
    lexer.lineIndex++;
    return true;
}

bool lexerRetakeRawLine(char* buffer, int size)
{
    if (size <= 0 || lexer.lineIndex == 0 || !lexer.source.copyLine)
        return false;
    lexer.source.copyLine(lexer.source.context, lexer.lineIndex - 1, buffer, size);
    buffer[size - 1] = '\0';
    buffer[strcspn(buffer, "\r\n")] = '\0';
    return true;
}

bool lexerFatalError()
{
    return lexer.fatal;
}

int lexerKeywordCode(const char* text)
{
    return lookupKeyword(text);
}

const char* lexerKeyword(int index)
{
    return index >= 0 && index < int(std::size(KEYWORDS)) ? KEYWORDS[index].word : nullptr;
}

// The statements and options read by their word where they can start (uncertainty.cpp,
// plotstatements.cpp, options.cpp); a new such word joins this list.
const char* const CONTEXT_WORDS[] = {"WEIGHT", "DERIVED", "ABSOLUTE", "RESIDUAL", "CBAND",
                                     "PBAND", "SBAND", "DEGREES", "RADIANS"};

const char* lexerContextWord(int index)
{
    return index >= 0 && index < int(std::size(CONTEXT_WORDS)) ? CONTEXT_WORDS[index] : nullptr;
}
