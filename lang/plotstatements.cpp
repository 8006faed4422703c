// Plot statements (PLOT, RPLOT, NPLOT, SPLOT and their option lists) and the
// completion of the plot descriptions once the whole program has been compiled.
#include "lang/options.h"

#include "lang/lexer.h"
#include "lang/optionsread.h"
#include "lang/statement.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/listing.h"

#include <cstring>

PlotSpec* plotList;

namespace {

// Messages, in the words the user sees.
const char MSG_LABEL_QUOTES[] = "Syntax error.  Label string must be in quotes.";
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
const char MSG_BAND_PLOT[] = "%s applies to a function plot (PLOT) only";
const char MSG_ERRORBARS[] = "Syntax error: variable name must follow ERRORBARS";
const char MSG_ERRORBARS_PLOT[] = "ERRORBARS applies to a function or scatter plot (PLOT, SPLOT) only";
const char MSG_SAME_VARIABLE[] = "The same variable (%s) is specified for plot X and Y axes.";

// Default plot titles and labels.
const char TEXT_RESIDUAL_TITLE[] = "Plot of Residuals";
const char TEXT_NORMAL_TITLE[] = "Normal probability plot of residuals";
const char TEXT_NORMAL_XLABEL[] = "Expected residuals";
const char TEXT_RESIDUAL_YLABEL[] = "Residual";
const char TEXT_NORMAL_YLABEL[] = "Actual residuals";

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

// Options that are plain words rather than keywords, so that they stay free as names
// everywhere else.
unsigned plotFlagOfWord(const char* text)
{
    if (strcasecmp(text, "RESIDUAL") == 0)
        return PLOTF_RESIDUAL;
    if (strcasecmp(text, "CBAND") == 0)
        return PLOTF_CBAND;
    if (strcasecmp(text, "PBAND") == 0)
        return PLOTF_PBAND;
    if (strcasecmp(text, "SBAND") == 0)
        return PLOTF_SBAND;
    if (strcasecmp(text, "LOGX") == 0)
        return PLOTF_LOGX;
    if (strcasecmp(text, "LOGY") == 0)
        return PLOTF_LOGY;
    return 0;
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
        if (token->kind == TOK_IDENTIFIER && strcasecmp(token->text, "ERRORBARS") == 0) {
            if (plot->plotKind != PLOT_FUNCTION && plot->plotKind != PLOT_SCATTER) {
                compileError(line, MSG_ERRORBARS_PLOT);
                optionsAbandonStatement(token);
                return false;
            }
            freeToken(token);
            if (!readPlotVariable(line, MSG_ERRORBARS, &plot->errorVar))
                return false;
            continue;
        }
        if (token->kind == TOK_IDENTIFIER) {
            const unsigned flag = plotFlagOfWord(token->text);
            if ((flag & (PLOTF_CBAND | PLOTF_PBAND | PLOTF_SBAND)) && plot->plotKind != PLOT_FUNCTION) {
                compileErrorf(line, MSG_BAND_PLOT, optionsTokenText(token).c_str());
                optionsAbandonStatement(token);
                return false;
            }
            if (flag != 0) {
                freeToken(token);
                plot->plotFlags |= flag;
                continue;
            }
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

void freePlots()
{
    while (plotList) {
        PlotSpec* next = plotList->next;
        memfree(plotList);
        plotList = next;
    }
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
