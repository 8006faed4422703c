// Option statements: settings of the fit, output files, title, angle unit, data
// options, CONSTRAIN and SWEEP, the plot statements, and the completion of plot
// descriptions once the whole program has been compiled. None of them emits code.
#include "lang/options.h"

#include "lang/compiler.h"
#include "lang/lexer.h"
#include "lang/parser.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/listing.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <strings.h>

AnalysisSettings settings;
std::string programPath;
PlotSpec* plotList;

namespace {

// Messages, in the words the user sees.
const char MSG_CONFIDENCE_RANGE[] = "Value must be in the range 50 to 99.999";
const char MSG_NUMBER_MISSING[] = "Syntax error: numeric value missing";
const char MSG_NUMBER_MISSING_SHORT[] = "Syntax numeric value missing";
const char MSG_ITERATIONS_LOW[] = "The number of iterations must be at least 2";
const char MSG_TOLERANCE_RANGE[] = "TOLERANCE value must be in the range 1E-15 to 1E-1.\n";
const char MSG_CORRELATE_TOO_FEW[] = "There must be at least 2 variables for correlation matrix";
const char MSG_CORRELATE_FULL[] = "MOXEL can only handle %d correlation variables";
const char MSG_SYNTAX[] = "Syntax error";
const char MSG_OUTPUT_PARAMETER[] = "A parameter may not be used with OUTPUT";
const char MSG_OUTPUT_FULL[] = "MOXEL can only handle %d output variables";
const char MSG_FILE_QUOTES[] = "Syntax error.  File name must be in quotes.";
const char MSG_TITLE_QUOTES[] = "Syntax error.  Title string must be in quotes.";
const char MSG_LABEL_QUOTES[] = "Syntax error.  Label string must be in quotes.";
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
const char MSG_PLOT_ITEM[] = "Invalid item in plot option list: %s";
const char MSG_EQUALS_TITLE[] = "Missing equal sign after TITLE";
const char MSG_EQUALS_XLABEL[] = "Missing equal sign after XLABEL";
const char MSG_EQUALS_YLABEL[] = "Missing equal sign after YLABEL";
const char MSG_EQUALS_DOMAIN[] = "Missing equal sign after DOMAIN";
const char MSG_XVAR[] = "Syntax error: variable name must follow XVAR";
const char MSG_YVAR[] = "Syntax error: variable name must follow YVAR";
const char MSG_XVAR2[] = "Syntax error: variable name must follow XVAR2";
const char MSG_YVAR2[] = "Syntax error: variable name must follow YVAR2";
const char MSG_PLOT_PARAMETER[] = "A parameter may not be used as a plot variable";
const char MSG_INVALID_DOMAIN[] = "Invalid domain";
const char MSG_SCATTER_TRACE[] = "%s is not an input variable. Scatter plot will be generated.";
const char MSG_TWO_INDEPENDENT[] = "Function has more than one independent variable. Cannot plot.";
const char MSG_USE_SPLOT[] = "You may be able to use SPLOT statement rather than PLOT.";
const char MSG_COMPUTED_TRACE[] = "Function uses computed variables.";
const char MSG_CONVERT_TRACE[] = "Converting PLOT to SPLOT with CONNECT2 and NOMARK2 options.";
const char MSG_NO_X_VARIABLE[] = "You must specify the independent variable for plot";
const char MSG_NO_Y_VARIABLE[] = "You must specify the dependent variable for plot";
const char MSG_SAME_VARIABLE[] = "The same variable (%s) is specified for plot X and Y axes.";

// Default plot titles and labels.
const char TEXT_RESIDUAL_TITLE[] = "Plot of Residuals";
const char TEXT_NORMAL_TITLE[] = "Normal probability plot of residuals";
const char TEXT_NORMAL_XLABEL[] = "Expected residuals";
const char TEXT_RESIDUAL_YLABEL[] = "Residual";
const char TEXT_NORMAL_YLABEL[] = "Actual residuals";

// The special OUTPUT items: records outside the symbol table, known by their names.
struct OptionsState {
    Symbol outputObs;           // "$OBS": observation number
    Symbol outputPredicted;     // "$PREDICTED": predicted value
    Symbol outputResidual;      // "$RESIDUAL": observed minus predicted
};
OptionsState optionsState;

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

void optionsCopyTitle(char* target, const char* text)
{
    snprintf(target, TITLE_MAX + 1, "%s", text ? text : "");
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

Symbol* specialOutputItem(const char* name)
{
    Symbol* items[] = {&optionsState.outputObs, &optionsState.outputPredicted,
                       &optionsState.outputResidual};
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
}

// A string option of a plot: KEYWORD '=' "text".
bool readPlotText(const SourceLine* line, const char* equalsMessage, const char* quoteMessage,
                  char* target)
{
    Token* token = nextToken();
    if (token->kind != TOK_ASSIGN) {
        optionsRejectStatement(line, equalsMessage, token);
        return false;
    }
    freeToken(token);
    token = nextToken();
    if (token->kind != TOK_STRING) {
        optionsRejectStatement(line, quoteMessage, token);
        return false;
    }
    optionsCopyTitle(target, token->text);
    freeToken(token);
    return true;
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

// A variable option of a plot: KEYWORD ['='] name.
bool readPlotVariable(const SourceLine* line, const char* missingMessage, Symbol** target)
{
    optionsTakeToken(TOK_ASSIGN);
    Symbol* symbol = optionsReadName(line, missingMessage);
    if (!symbol)
        return false;
    if (symbol->kind == SYM_PARAMETER) {
        compileError(line, MSG_PLOT_PARAMETER);
        skipStatement();
        return false;
    }
    *target = symbol;
    return true;
}

// A DOMAIN bound: a number with an optional leading sign.
bool readSignedNumber(double* value)
{
    Token* token = nextToken();
    double sign = 1.0;
    if (token->kind == TOK_MINUS || token->kind == TOK_PLUS) {
        if (token->kind == TOK_MINUS)
            sign = -1.0;
        freeToken(token);
        token = nextToken();
    }
    if (token->kind != TOK_NUMBER) {
        pushBackToken(token);
        return false;
    }
    *value = sign * token->number;
    freeToken(token);
    return true;
}

// domainOption -> DOMAIN '=' ['+'|'-'] number [','] ['+'|'-'] number
bool readPlotDomain(const SourceLine* line, PlotSpec* plot)
{
    Token* token = nextToken();
    if (token->kind != TOK_ASSIGN) {
        optionsRejectStatement(line, MSG_EQUALS_DOMAIN, token);
        return false;
    }
    freeToken(token);
    double low = 0.0, high = 0.0;
    bool ok = readSignedNumber(&low);
    if (ok) {
        optionsTakeToken(TOK_COMMA);
        ok = readSignedNumber(&high);
    }
    if (!ok) {
        compileError(line, MSG_NUMBER_MISSING);
        skipStatement();
        return false;
    }
    if (low >= high) {
        compileError(line, MSG_INVALID_DOMAIN);
        skipStatement();
        return false;
    }
    plot->domainLow = low;
    plot->domainHigh = high;
    plot->plotFlags |= PLOTF_DOMAIN;
    return true;
}

unsigned plotFlagOfKeyword(int keyword)
{
    switch (keyword) {
    case KW_ITERATIONS: return PLOTF_ITERATIONS;
    case KW_PRINT: return PLOTF_PRINT;
    case KW_NOPAUSE: return PLOTF_NOPAUSE;
    case KW_NOTITLE: return PLOTF_NOTITLE;
    case KW_VALUES: return PLOTF_VALUES;
    case KW_NOXLABEL: return PLOTF_NOXLABEL;
    case KW_NOYLABEL: return PLOTF_NOYLABEL;
    case KW_CONNECT: return PLOTF_CONNECT;
    case KW_CONNECT2: return PLOTF_CONNECT2;
    case KW_NOMARK: return PLOTF_NOMARK;
    case KW_NOMARK2: return PLOTF_NOMARK2;
    default: return 0;
    }
}

// Reads the option list of one plot statement. False when the statement was given up.
bool readPlotOptions(const SourceLine* line, PlotSpec* plot)
{
    for (;;) {
        Token* token = nextToken();
        if (token->kind == TOK_COMMA) {
            freeToken(token);
            continue;
        }
        if (token->kind == TOK_SEMICOLON || token->kind == TOK_END) {
            pushBackToken(token);
            return true;
        }
        bool ok = true;
        if (token->kind == TOK_KEYWORD) {
            const int keyword = token->keyword;
            const std::string word = optionsTokenText(token);
            freeToken(token);
            switch (keyword) {
            case KW_TITLE:
                ok = readPlotText(line, MSG_EQUALS_TITLE,
                                  MSG_TITLE_QUOTES, plot->title);
                break;
            case KW_XLABEL:
                ok = readPlotText(line, MSG_EQUALS_XLABEL,
                                  MSG_LABEL_QUOTES, plot->xLabel);
                break;
            case KW_YLABEL:
                ok = readPlotText(line, MSG_EQUALS_YLABEL,
                                  MSG_LABEL_QUOTES, plot->yLabel);
                break;
            case KW_XVAR:
                ok = readPlotVariable(line, MSG_XVAR,
                                      &plot->xVar);
                break;
            case KW_YVAR:
                ok = readPlotVariable(line, MSG_YVAR,
                                      &plot->yVar);
                break;
            case KW_XVAR2:
                ok = readPlotVariable(line, MSG_XVAR2,
                                      &plot->x2Var);
                break;
            case KW_YVAR2:
                ok = readPlotVariable(line, MSG_YVAR2,
                                      &plot->y2Var);
                break;
            case KW_DOMAIN:
                ok = readPlotDomain(line, plot);
                break;
            case KW_GRID:
                plot->plotFlags |= PLOTF_GRID;
                break;
            case KW_NOGRID:
                plot->plotFlags &= ~static_cast<unsigned>(PLOTF_GRID);
                break;
            default: {
                const unsigned flag = plotFlagOfKeyword(keyword);
                if (flag == 0) {
                    compileErrorf(line, MSG_PLOT_ITEM, word.c_str());
                    skipStatement();
                    return false;
                }
                plot->plotFlags |= flag;
                break;
            }
            }
            if (!ok)
                return false;
            continue;
        }
        if (token->kind == TOK_IDENTIFIER && strcasecmp(token->text, "RESIDUAL") == 0) {
            freeToken(token);
            plot->plotFlags |= PLOTF_RESIDUAL;
            continue;
        }
        compileErrorf(line, MSG_PLOT_ITEM, optionsTokenText(token).c_str());
        optionsAbandonStatement(token);
        return false;
    }
}

// Lists the input variables (other than the dependent variable) and the work
// variables that the FUNCTION statements use.
struct FunctionUse {
    Symbol* independent;    // the one independent variable, when there is exactly one
    int independentCount;   // independent variables used in FUNCTION statements
    Symbol* computed;       // the one computed variable, when there is exactly one
    int computedCount;      // work variables used in FUNCTION statements
};

FunctionUse findFunctionUse()
{
    FunctionUse use{};
    for (int i = 0; i < inputVariableCount; ++i) {
        Symbol* symbol = inputVariables[i];
        if (symbol && symbol != dependentVariable && (symbol->flags & SYMF_IN_FUNCTION)) {
            use.independent = symbol;
            use.independentCount++;
        }
    }
    for (int i = 0; i < workVariableCount; ++i) {
        Symbol* symbol = workVariables[i];
        if (symbol && (symbol->flags & SYMF_IN_FUNCTION)) {
            use.computed = symbol;
            use.computedCount++;
        }
    }
    if (use.independentCount != 1)
        use.independent = nullptr;
    if (use.computedCount != 1)
        use.computed = nullptr;
    return use;
}

// Completes one plot description; false when it cannot be drawn.
bool completePlot(PlotSpec* plot, const FunctionUse& use)
{
    const SourceLine* line = plot->line;
    if (plot->plotKind == PLOT_FUNCTION && !dependentVariable) {
        plot->plotKind = PLOT_RESIDUAL;
        plot->yVar = nullptr;
    }
    if ((plot->plotKind == PLOT_FUNCTION || plot->plotKind == PLOT_SCATTER) && !plot->yVar)
        plot->yVar = dependentVariable;
    if (plot->plotKind == PLOT_RESIDUAL && !plot->xVar)
        plot->xVar = use.independent ? use.independent : dependentVariable;
    if (plot->plotKind == PLOT_FUNCTION) {
        if (use.independentCount > 1) {
            compileError(line, MSG_TWO_INDEPENDENT);
            compileError(line, MSG_USE_SPLOT);
            return false;
        }
        if (!plot->xVar && use.independent) {
            plot->xVar = use.independent;
        } else if (use.independentCount == 0 && use.computedCount == 1) {
            plot->plotKind = PLOT_SCATTER;
            plot->yVar = dependentVariable;
            plot->y2Var = symbolPredicted;
            if (!plot->xVar)
                plot->xVar = use.computed;
            plot->x2Var = plot->xVar;
            plot->plotFlags |= PLOTF_CONNECT2 | PLOTF_NOMARK2;
            traceLine(MSG_COMPUTED_TRACE);
            traceLine(MSG_CONVERT_TRACE);
        }
    }
    if (plot->plotKind == PLOT_SCATTER && !plot->xVar && use.independent)
        plot->xVar = use.independent;
    if (plot->plotKind != PLOT_NORMAL && !plot->xVar) {
        compileError(line, MSG_NO_X_VARIABLE);
        return false;
    }
    // A scatter plot without YVAR in a model that names no dependent variable has
    // nothing to draw against its x axis.
    if (plot->plotKind == PLOT_SCATTER && !plot->yVar) {
        compileError(line, MSG_NO_Y_VARIABLE);
        return false;
    }

    const bool functionOrScatter =
        plot->plotKind == PLOT_FUNCTION || plot->plotKind == PLOT_SCATTER;
    if (!plot->title[0] && !(plot->plotFlags & PLOTF_NOTITLE)) {
        if (functionOrScatter)
            optionsCopyTitle(plot->title, settings.title);
        else if (plot->plotKind == PLOT_RESIDUAL)
            optionsCopyTitle(plot->title, TEXT_RESIDUAL_TITLE);
        else
            optionsCopyTitle(plot->title, TEXT_NORMAL_TITLE);
    }
    if (!plot->xLabel[0] && !(plot->plotFlags & PLOTF_NOXLABEL)) {
        if (plot->plotKind == PLOT_NORMAL)
            optionsCopyTitle(plot->xLabel, TEXT_NORMAL_XLABEL);
        else
            optionsCopyTitle(plot->xLabel, plot->xVar->name);
    }
    if (!plot->yLabel[0] && !(plot->plotFlags & PLOTF_NOYLABEL)) {
        if (functionOrScatter)
            optionsCopyTitle(plot->yLabel, plot->yVar->name);
        else if (plot->plotKind == PLOT_RESIDUAL)
            optionsCopyTitle(plot->yLabel, TEXT_RESIDUAL_YLABEL);
        else
            optionsCopyTitle(plot->yLabel, TEXT_NORMAL_YLABEL);
    }
    bool ok = true;
    if (plot->plotKind != PLOT_NORMAL && plot->xVar == plot->yVar) {
        compileErrorf(line, MSG_SAME_VARIABLE, plot->xVar->name);
        ok = false;
    }
    if (plot->y2Var && !plot->x2Var)
        plot->x2Var = plot->xVar;
    return ok;
}

}  // namespace

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
    settings.printResolution = 1;
    settings.width = 8.0;
    settings.sweepCount = 0;
    settings.constrainCount = 0;
    settings.functionMinimization = false;
    settings.iterationPlotCount = 0;
    settings.valuesPlotCount = 0;
    resetSpecialItems();
}

void freePlots()
{
    while (plotList) {
        PlotSpec* next = plotList->next;
        memfree(plotList);
        plotList = next;
    }
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

// plot -> (PLOT | RPLOT | NPLOT | SPLOT) [','] {option [',']} ';'
void compilePlot(int keyword)
{
    const SourceLine* line = lexerCurrentLine();
    auto* plot = static_cast<PlotSpec*>(memalloc_zero(sizeof(PlotSpec), "plot"));
    if (!plot) {
        skipStatement();
        return;
    }
    switch (keyword) {
    case KW_RPLOT: plot->plotKind = PLOT_RESIDUAL; break;
    case KW_NPLOT: plot->plotKind = PLOT_NORMAL; break;
    case KW_SPLOT: plot->plotKind = PLOT_SCATTER; break;
    default: plot->plotKind = PLOT_FUNCTION; break;
    }
    if (plot->plotKind != PLOT_NORMAL)
        plot->plotFlags = PLOTF_GRID;
    plot->line = line;
    PlotSpec** tail = &plotList;
    while (*tail)
        tail = &(*tail)->next;
    *tail = plot;

    if (!readPlotOptions(line, plot))
        return;
    if (plot->plotKind == PLOT_FUNCTION && plot->xVar && plot->xVar->kind != SYM_INPUT) {
        plot->plotKind = PLOT_SCATTER;
        traceLine(MSG_SCATTER_TRACE,
                  plot->xVar->name);
    }
    optionsEndStatement(line);
}

void completePlots()
{
    const FunctionUse use = findFunctionUse();
    settings.iterationPlotCount = 0;
    settings.valuesPlotCount = 0;
    for (PlotSpec* plot = plotList; plot; plot = plot->next) {
        plot->completed = completePlot(plot, use);
        if (plot->plotFlags & PLOTF_ITERATIONS)
            settings.iterationPlotCount++;
        if (plot->plotFlags & PLOTF_VALUES)
            settings.valuesPlotCount++;
    }
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
