// Option statements: settings of the fit, output files, title, angle unit, data
// options, CONSTRAIN and SWEEP (the plot statements are in plotstatements.cpp). None of
// them emits code.
#include "lang/options.h"

#include "lang/lexer.h"
#include "lang/optionsread.h"
#include "lang/parser.h"
#include "lang/statement.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/listing.h"
#include "support/paths.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <strings.h>

AnalysisSettings settings;
std::string programPath;

namespace {

// Messages, in the words the user sees.
const char MSG_CONFIDENCE_RANGE[] = "Value must be in the range 50 to 99.999";
const char MSG_NUMBER_MISSING_SHORT[] = "Syntax numeric value missing";
const char MSG_ITERATIONS_LOW[] = "The number of iterations must be at least 2";
const char MSG_TOLERANCE_RANGE[] = "TOLERANCE value must be in the range 1E-15 to 1E-1.\n";
const char MSG_CORRELATE_TOO_FEW[] = "There must be at least 2 variables for correlation matrix";
const char MSG_CORRELATE_FULL[] = "MOXEL can only handle %d correlation variables";
const char MSG_SYNTAX[] = "Syntax error";
const char MSG_OUTPUT_PARAMETER[] = "A parameter may not be used with OUTPUT";
const char MSG_OUTPUT_FULL[] = "MOXEL can only handle %d output variables";
const char MSG_FILE_QUOTES[] = "Syntax error.  File name must be in quotes.";
const char MSG_ANGLE_TYPE[] = "Angle type must be DEGREES or RADIANS";
const char MSG_RESOLUTION[] = "The resolution value must be 150 or 300.";
const char MSG_PARAMETER_EXPECTED[] = "Syntax error: parameter name expected";
const char MSG_CONSTRAIN_PARAMETER[] = "Constraints can only apply to parameters";
const char MSG_INVALID_RANGE[] = "Invalid range of values";
const char MSG_SWEEP_PARAMETER[] = "Sweep can only apply to parameters";
const char MSG_SWEEPS_FULL[] = "MOXEL can only handle %d SWEEP statements";
const char MSG_LARGE_SWEEP[] =
    "The SWEEP grid has %.0f points (more than %.0f): the parameters are fitted once from each point, "
    "which may take hours. Check the steps.";
constexpr double SWEEP_GRID_WARNING = 1e6;   // grid points above which the size is reported

// The special OUTPUT items: records outside the symbol table, known by their names.
struct OptionsState {
    Symbol outputObs;           // "$OBS": observation number
    Symbol outputPredicted;     // "$PREDICTED": predicted value
    Symbol outputResidual;      // "$RESIDUAL": observed minus predicted
    Symbol outputWeightedResidual;  // "$WRESIDUAL": sqrt(weight) (observed minus predicted)
};
OptionsState optionsState;

int truncateToInt(double value)
{
    if (!(value > INT_MIN))
        return INT_MIN;
    if (!(value < INT_MAX))
        return INT_MAX;
    return static_cast<int>(value);
}

// numericOption -> ['='] number   (a number token; a sign is not accepted)
bool readNumericOption(const SourceLine* line, const char* missingMessage, double* value)
{
    optionsTakeToken(TOK_ASSIGN);
    Token* token = nextToken();
    if (token->kind != TOK_NUMBER) {
        optionsRejectStatement(line, missingMessage, token);
        return false;
    }
    *value = token->number;
    freeToken(token);
    return true;
}

bool isName(const Token* token)
{
    return token->kind == TOK_IDENTIFIER;
}

// Spelling of the tokens that carry no text, for messages.
const struct {
    int kind;           // TokenKind
    const char* text;   // as written
} punctuation[] = {
    {TOK_END, "end of file"}, {TOK_SEMICOLON, ";"}, {TOK_COMMA, ","}, {TOK_PLUS, "+"},
    {TOK_MINUS, "-"}, {TOK_STAR, "*"}, {TOK_SLASH, "/"}, {TOK_PERCENT, "%"},
    {TOK_POWER, "**"}, {TOK_LPAREN, "("}, {TOK_RPAREN, ")"}, {TOK_LBRACE, "{"},
    {TOK_RBRACE, "}"}, {TOK_LBRACKET, "["}, {TOK_RBRACKET, "]"}, {TOK_QUESTION, "?"},
    {TOK_COLON, ":"}, {TOK_AND, "&&"}, {TOK_OR, "||"}, {TOK_NOT, "!"}, {TOK_NE, "!="},
    {TOK_LT, "<"}, {TOK_LE, "<="}, {TOK_GT, ">"}, {TOK_GE, ">="}, {TOK_EQ, "=="},
    {TOK_ASSIGN, "="}, {TOK_PLUS_ASSIGN, "+="}, {TOK_MINUS_ASSIGN, "-="},
    {TOK_STAR_ASSIGN, "*="}, {TOK_SLASH_ASSIGN, "/="}, {TOK_INCREMENT, "++"},
    {TOK_DECREMENT, "--"}};

Symbol* specialOutputItem(const char* name)
{
    Symbol* items[] = {&optionsState.outputObs, &optionsState.outputPredicted,
                       &optionsState.outputResidual, &optionsState.outputWeightedResidual};
    for (Symbol* item : items)
        if (strcasecmp(item->name, name) == 0)
            return item;
    return nullptr;
}

void resetSpecialItems()
{
    optionsState = OptionsState{};
    strcpy(optionsState.outputObs.name, "$OBS");
    strcpy(optionsState.outputPredicted.name, "$PREDICTED");
    strcpy(optionsState.outputResidual.name, "$RESIDUAL");
    strcpy(optionsState.outputWeightedResidual.name, "$WRESIDUAL");
}

// A parameter named by the next token; null, with the statement skipped, when the name
// is missing or is no parameter (notParameterMessage).
Symbol* readParameter(const SourceLine* line, const char* notParameterMessage)
{
    Symbol* symbol = optionsReadName(line, MSG_PARAMETER_EXPECTED);
    if (!symbol)
        return nullptr;
    if (symbol->kind != SYM_PARAMETER) {
        compileError(line, notParameterMessage);
        skipStatement();
        return nullptr;
    }
    return symbol;
}

}  // namespace

// Consumes the next token when it has the given kind.
bool optionsTakeToken(int kind)
{
    Token* token = nextToken();
    if (token->kind == kind) {
        freeToken(token);
        return true;
    }
    pushBackToken(token);
    return false;
}

// Every option statement ends with a semicolon.
void optionsEndStatement(const SourceLine* line)
{
    Token mark{};
    mark.line = line;
    expectSemicolon(&mark);
}

// Gives up on the rest of a statement: token is the one at fault (or null). A
// semicolon or the end of input goes back so that recovery stops at it.
void optionsAbandonStatement(Token* token)
{
    if (token) {
        if (token->kind == TOK_SEMICOLON || token->kind == TOK_END)
            pushBackToken(token);
        else
            freeToken(token);
    }
    skipStatement();
}

// Reports message on line and gives up on the rest of the statement at token.
void optionsRejectStatement(const SourceLine* line, const char* message, Token* token)
{
    compileError(line, message);
    optionsAbandonStatement(token);
}

void optionsCopyTitle(char* target, const char* text)
{
    snprintf(target, TITLE_MAX + 1, "%s", text ? text : "");
}

// Text of a token for messages.
std::string optionsTokenText(const Token* token)
{
    if (token->text)
        return token->text;
    if (token->kind == TOK_NUMBER) {
        char number[40];
        snprintf(number, sizeof number, "%g", token->number);
        return number;
    }
    for (const auto& entry : punctuation)
        if (entry.kind == token->kind)
            return entry.text;
    return "?";
}

// The symbol the next token names; null, with the statement skipped (and missingMessage
// reported when the token is no name), when there is none.
Symbol* optionsReadName(const SourceLine* line, const char* missingMessage)
{
    Token* token = nextToken();
    if (!isName(token)) {
        optionsRejectStatement(line, missingMessage, token);
        return nullptr;
    }
    Symbol* symbol = requireSymbol(token->text, token->line);
    freeToken(token);
    if (!symbol)
        skipStatement();
    return symbol;
}

void settingsReset()
{
    freePlots();
    settings.title[0] = '\0';
    settings.confidenceLevel = 0.0;
    settings.iterationLimit = 500;
    settings.tolerance = 1e-10;
    settings.covarianceCode = -3;
    settings.printCovariance = false;
    settings.correlationCount = 0;
    settings.outputMode = 0;
    settings.outputFile.clear();
    settings.outputCount = 0;
    settings.parameterOutputFile.clear();
    settings.dataSkip = 0;
    settings.dataCount = 0;
    settings.anglesInDegrees = false;
    settings.exactDerivatives = false;
    settings.derivativesLine = nullptr;
    settings.printResolution = 1;
    settings.width = 8.0;
    settings.sweepCount = 0;
    settings.constrainCount = 0;
    settings.functionMinimization = false;
    settings.iterationPlotCount = 0;
    settings.valuesPlotCount = 0;
    resetSpecialItems();
}

void settingsDropSweep(const Symbol* parameter)
{
    int kept = 0;
    for (int i = 0; i < settings.sweepCount; ++i)
        if (settings.sweeps[i].parameter != parameter)
            settings.sweeps[kept++] = settings.sweeps[i];
    settings.sweepCount = kept;
}

// confidence -> CONFIDENCE ['='] [number] ';'
void compileConfidence()
{
    const SourceLine* line = lexerCurrentLine();
    optionsTakeToken(TOK_ASSIGN);
    Token* token = nextToken();
    if (token->kind == TOK_NUMBER) {
        double percent = token->number;
        freeToken(token);
        if (!(percent >= 50.0 && percent <= 99.999)) {
            compileError(line, MSG_CONFIDENCE_RANGE);
            percent = 90.0;
        }
        settings.confidenceLevel = percent * 0.01;
    } else {
        pushBackToken(token);
        settings.confidenceLevel = 0.9;
    }
    optionsEndStatement(line);
}

// iterations -> ITERATIONS ['='] number ';'
void compileIterations()
{
    const SourceLine* line = lexerCurrentLine();
    double value;
    if (!readNumericOption(line, MSG_NUMBER_MISSING, &value))
        return;
    int limit = truncateToInt(value);
    if (limit < 2) {
        compileError(line, MSG_ITERATIONS_LOW);
        limit = 2;
    }
    settings.iterationLimit = limit;
    optionsEndStatement(line);
}

// tolerance -> TOLERANCE ['='] number ';'
void compileTolerance()
{
    const SourceLine* line = lexerCurrentLine();
    double value;
    if (!readNumericOption(line, MSG_NUMBER_MISSING, &value))
        return;
    if (!(value >= 1e-15 && value <= 0.1)) {
        compileError(line, MSG_TOLERANCE_RANGE);
        value = 1e-10;
    }
    settings.tolerance = value;
    optionsEndStatement(line);
}

// covariance -> COVARIANCE ';'
void compileCovariance()
{
    const SourceLine* line = lexerCurrentLine();
    settings.printCovariance = true;
    settings.covarianceCode = -3;
    optionsEndStatement(line);
}

// correlate -> CORRELATE ';' | CORRELATE name {[','] name} ';'
void compileCorrelate()
{
    const SourceLine* line = lexerCurrentLine();
    settings.correlationCount = 0;
    bool named = false;
    bool full = false;
    for (;;) {
        Token* token = nextToken();
        if (token->kind == TOK_COMMA) {
            freeToken(token);
            continue;
        }
        if (!isName(token)) {
            pushBackToken(token);
            break;
        }
        named = true;
        Symbol* symbol = requireSymbol(token->text, token->line);
        freeToken(token);
        if (!symbol)
            continue;
        if (settings.correlationCount < MAX_CORRELATION_VARIABLES) {
            settings.correlationVariables[settings.correlationCount++] = symbol;
        } else if (!full) {
            compileErrorf(line, MSG_CORRELATE_FULL, MAX_CORRELATION_VARIABLES);
            full = true;
        }
    }
    if (!named) {
        for (int i = 0; i < inputVariableCount && i < MAX_CORRELATION_VARIABLES; ++i)
            settings.correlationVariables[settings.correlationCount++] = inputVariables[i];
    } else if (settings.correlationCount < 2) {
        compileError(line, MSG_CORRELATE_TOO_FEW);
    }
    optionsEndStatement(line);
}

// output -> OUTPUT [TO] ["file"] name {',' name} ';'
void compileOutput()
{
    const SourceLine* line = lexerCurrentLine();
    Token* token = nextToken();
    if (token->kind == TOK_KEYWORD && token->keyword == KW_TO) {
        freeToken(token);
        token = nextToken();
    }
    if (token->kind == TOK_STRING) {
        settings.outputFile = resolveProgramFile(token->text, "out");
        settings.outputMode = 1;
        freeToken(token);
        token = nextToken();
    } else if (settings.outputMode != 1) {
        // An earlier OUTPUT statement's file stays the destination.
        settings.outputMode = -1;
    }
    for (;;) {
        if (!isName(token)) {
            optionsRejectStatement(line, MSG_SYNTAX, token);
            return;
        }
        Symbol* symbol = specialOutputItem(token->text);
        if (!symbol)
            symbol = requireSymbol(token->text, token->line);
        freeToken(token);
        if (!symbol) {
            skipStatement();
            return;
        }
        if (symbol->kind == SYM_PARAMETER) {
            compileError(line, MSG_OUTPUT_PARAMETER);
        } else if (settings.outputCount >= MAX_OUTPUT_VARIABLES) {
            compileErrorf(line, MSG_OUTPUT_FULL, MAX_OUTPUT_VARIABLES);
        } else {
            settings.outputVariables[settings.outputCount++] = symbol;
        }
        token = nextToken();
        if (token->kind == TOK_SEMICOLON) {
            freeToken(token);
            return;
        }
        if (token->kind != TOK_COMMA) {
            optionsRejectStatement(line, MSG_SYNTAX, token);
            return;
        }
        freeToken(token);
        token = nextToken();
    }
}

// poutput -> POUTPUT "file" ';'
void compilePoutput()
{
    const SourceLine* line = lexerCurrentLine();
    Token* token = nextToken();
    if (token->kind != TOK_STRING) {
        optionsRejectStatement(line, MSG_FILE_QUOTES, token);
        return;
    }
    settings.parameterOutputFile = resolveProgramFile(token->text, "par");
    freeToken(token);
    optionsEndStatement(line);
}

// title -> TITLE "text" ';'
void compileTitle()
{
    const SourceLine* line = lexerCurrentLine();
    Token* token = nextToken();
    if (token->kind != TOK_STRING) {
        optionsRejectStatement(line, MSG_TITLE_QUOTES, token);
        return;
    }
    optionsCopyTitle(settings.title, token->text);
    freeToken(token);
    optionsEndStatement(line);
}

// angletype -> ANGLETYPE (DEGREES | RADIANS) ';'
void compileAngletype()
{
    const SourceLine* line = lexerCurrentLine();
    Token* token = nextToken();
    if (token->kind != TOK_IDENTIFIER && token->kind != TOK_KEYWORD) {
        optionsRejectStatement(line, MSG_SYNTAX, token);
        return;
    }
    if (strcasecmp(token->text, "DEGREES") == 0)
        settings.anglesInDegrees = true;
    else if (strcasecmp(token->text, "RADIANS") == 0)
        settings.anglesInDegrees = false;
    else
        compileError(line, MSG_ANGLE_TYPE);
    freeToken(token);
    optionsEndStatement(line);
}

// derivatives -> DERIVATIVES (EXACT | DIFFERENCES) ';'. DERIVATIVES is a word of its own
// only when one of these follows, so that a program may keep it as a name.
bool compileDerivatives(Token* token)
{
    if (token->kind != TOK_IDENTIFIER || !token->text || strcasecmp(token->text, "DERIVATIVES") != 0)
        return false;
    Token* next = nextToken();
    const bool exact = next->kind == TOK_IDENTIFIER && next->text && strcasecmp(next->text, "EXACT") == 0;
    const bool differences =
        next->kind == TOK_IDENTIFIER && next->text && strcasecmp(next->text, "DIFFERENCES") == 0;
    if (!exact && !differences) {
        pushBackToken(next);
        return false;
    }
    const SourceLine* line = token->line;
    settings.exactDerivatives = exact;
    settings.derivativesLine = line;
    freeToken(next);
    freeToken(token);
    optionsEndStatement(line);
    return true;
}

// dataskip -> DATASKIP ['='] number ';'
void compileDataskip()
{
    const SourceLine* line = lexerCurrentLine();
    double value;
    if (!readNumericOption(line, MSG_NUMBER_MISSING, &value))
        return;
    const int skip = truncateToInt(value);
    settings.dataSkip = skip < 0 ? 0 : skip;
    optionsEndStatement(line);
}

// datacount -> DATACOUNT ['='] number ';'
void compileDatacount()
{
    const SourceLine* line = lexerCurrentLine();
    double value;
    if (!readNumericOption(line, MSG_NUMBER_MISSING, &value))
        return;
    settings.dataCount = truncateToInt(value);
    optionsEndStatement(line);
}

// presolution -> PRESOLUTION ['='] number ';'
void compilePresolution()
{
    const SourceLine* line = lexerCurrentLine();
    double value;
    if (!readNumericOption(line, MSG_NUMBER_MISSING_SHORT, &value))
        return;
    if (value == 150.0)
        settings.printResolution = 1;
    else if (value == 300.0)
        settings.printResolution = 2;
    else
        compileError(line, MSG_RESOLUTION);
    optionsEndStatement(line);
}

// width -> WIDTH ['='] number ';'
void compileWidth()
{
    const SourceLine* line = lexerCurrentLine();
    double value;
    if (!readNumericOption(line, MSG_NUMBER_MISSING_SHORT, &value))
        return;
    settings.width = value;
    optionsEndStatement(line);
}

// noecho -> NOECHO ';'   (the listing always echoes the program)
void compileNoecho()
{
    optionsEndStatement(lexerCurrentLine());
}

// constrain -> CONSTRAIN name ['='] constant [','] constant ';'
void compileConstrain()
{
    const SourceLine* line = lexerCurrentLine();
    Symbol* symbol = readParameter(line, MSG_CONSTRAIN_PARAMETER);
    if (!symbol)
        return;
    optionsTakeToken(TOK_ASSIGN);
    const double low = parseConstant();
    optionsTakeToken(TOK_COMMA);
    const double high = parseConstant();
    symbol->constrained = 1;
    symbol->lowerBound = low;
    symbol->upperBound = high;
    if (!(high >= low))
        compileError(line, MSG_INVALID_RANGE);
    settings.constrainCount++;
    optionsEndStatement(line);
}

// sweep -> SWEEP name ['='] constant [','] constant [','] constant ';'
void compileSweep()
{
    const SourceLine* line = lexerCurrentLine();
    Symbol* symbol = readParameter(line, MSG_SWEEP_PARAMETER);
    if (!symbol)
        return;
    optionsTakeToken(TOK_ASSIGN);
    const double low = parseConstant();
    optionsTakeToken(TOK_COMMA);
    const double high = parseConstant();
    optionsTakeToken(TOK_COMMA);
    const double step = parseConstant();
    // A zero step, a step away from high, or a grid too large to count has no sweep.
    const double steps = (high - low + 0.0001 * step) / step;
    if (step == 0.0 || !std::isfinite(steps) || steps < 0.0 || steps >= INT_MAX) {
        compileError(line, MSG_INVALID_RANGE);
        optionsEndStatement(line);
        return;
    }
    if (settings.sweepCount >= MAX_SWEEPS) {
        compileErrorf(line, MSG_SWEEPS_FULL, MAX_SWEEPS);
        optionsEndStatement(line);
        return;
    }
    SweepEntry& entry = settings.sweeps[settings.sweepCount++];
    entry.parameter = symbol;
    entry.low = low;
    entry.high = high;
    entry.step = step;
    entry.bestValue = low;
    entry.stepCount = static_cast<int>(steps);
    // A step mistyped by a few orders of magnitude makes a grid that runs for hours
    // without a word: its size is told now. Counted in doubles, which cannot overflow.
    double points = 1.0;
    for (int i = 0; i < settings.sweepCount; ++i)
        points *= settings.sweeps[i].stepCount + 1.0;
    if (points > SWEEP_GRID_WARNING) {
        char note[200];
        snprintf(note, sizeof note, MSG_LARGE_SWEEP, points, SWEEP_GRID_WARNING);
        listingNote(line, note);
    }
    optionsEndStatement(line);
}

std::string resolveProgramFile(const std::string& name, const char* defaultExtension)
{
    // A program path without a folder of its own is taken in the current folder, so
    // that a resolved name stays the same when it is resolved again.
    std::string base = programPath;
    if (base.empty() || base[0] != '/') {
        std::error_code error;
        const std::string current = std::filesystem::current_path(error).string();
        if (!error && !current.empty())
            base = current + (current.back() == '/' ? "" : "/") + base;
    }
    return addDefaultExtension(resolveRelativePath(name, base), defaultExtension);
}
