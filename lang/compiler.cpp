// Statement compiler: the compile entry, statement dispatch, blocks and control flow,
// the FUNCTION statement, segmented code emission and the whole-program checks.
#include "lang/compiler.h"

#include "lang/data.h"
#include "lang/declarations.h"
#include "lang/parser.h"
#include "lang/statement.h"
#include "lang/lexer.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "lang/uncertainty.h"
#include "support/allocator.h"
#include "support/listing.h"

#include <cstdio>
#include <cstring>

namespace {

// Nesting of statements (blocks, IF, loops) that the recursive compiler accepts: far
// beyond any real program, well within the stack.
constexpr int STATEMENT_DEPTH_MAX = 500;

// Messages, letter for letter.
const char MSG_SYNTAX[] = "Syntax error";
const char MSG_SYNTAX_DATA[] = "Syntax error (missing DATA statement?)";
const char MSG_MISSING_SEMICOLON[] = "Missing semicolon at end of statement";
const char MSG_SEMICOLON_BEFORE[] = "Semicolon missing at end of previous statement";
const char MSG_LEFT_PARENTHESIS[] = "Missing left parenthesis";
const char MSG_RIGHT_PARENTHESIS[] = "Missing right parenthesis";
const char MSG_EXPECTED_WHILE[] = "Expected keyword WHILE";
const char MSG_NESTED[] = "Statements are nested too deeply";
const char MSG_BREAK_OUTSIDE[] = "BREAK statement is not in range of WHILE or FOR statment.";
const char MSG_CONTINUE_OUTSIDE[] = "CONTINUE statement is not in range of WHILE or FOR statment.";
const char MSG_BRACE_UNMATCHED[] = "The open brace on line %d is not properly matched";
const char MSG_BRACE_EXTRA[] = "There is no matching open brace for this close brace";
const char MSG_NOT_CHARACTER[] = "Misuse of '!' character (comments begin with '//')";
const char MSG_ELSE[] = "This ELSE is not within an IF statement";
const char MSG_UNRECOGNIZED[] = "Unrecognized statement";
const char MSG_PARAMETER_DEPENDENT[] = "A parameter may not be used as dependent variable: %s";
const char MSG_OTHER_DEPENDENT[] = "A different dependent variable was used in an earlier MODEL";
const char MSG_FUNCTION_SYNTAX[] = "Invalid Function expression syntax";
const char MSG_NO_FUNCTION[] = "Program must have a FUNCTION statement";
const char MSG_NO_PLOTS[] = "Cannot do plots with function minimization type analysis.";
const char MSG_WEIGHT_MINIMIZATION[] = "WEIGHT needs observations; a program without VARIABLES has none";
const char MSG_NO_MEMORY[] = "Insufficient memory space available";


// Instructions live in segments of CODE_SEGMENT_SLOTS; the last used slot of a full
// segment jumps to the next segment, so the interpreter never sees segment bounds.
struct CodeSegment {
    CodeSegment* next;          // next segment in emission order
    Instruction* slots;         // CODE_SEGMENT_SLOTS instructions ("opcodes")
    int used;                   // slots filled
};

// Pending BREAK and CONTINUE jumps of one loop, chained through operand2.
struct LoopFrame {
    Instruction* breakList;
    Instruction* continueList;
};

struct CompilerState {
    CodeSegment* firstSegment;          // null when no code exists
    CodeSegment* lastSegment;           // segment that takes the next instruction
    Instruction* entry;                 // entry of the last successful compile
    LoopFrame loops[MAX_LOOP_DEPTH + 1];   // indexed by depth, 1 to MAX_LOOP_DEPTH
    int depth;                          // loops open around the statement
    int statementDepth;                 // compileStatement calls now open
    bool nestingReported;               // the statement nesting limit was reported
    bool functionSeen;                  // a FUNCTION statement was compiled
    bool outOfMemory;                   // code could not be stored; reported once
    Instruction scratch;                // stands in for a slot that could not be allocated
};

CompilerState compiler;

// Frees a token, or puts end of input back where the statement loop will find it.
void dropToken(Token* token)
{
    if (token->kind == TOK_END)
        pushBackToken(token);
    else
        freeToken(token);
}

bool isKeyword(const Token* token, int code)
{
    return token->kind == TOK_KEYWORD && token->keyword == code;
}

CodeSegment* newSegment()
{
    CodeSegment* segment = (CodeSegment*)memalloc_zero(sizeof(CodeSegment), "opseg");
    if (!segment)
        return nullptr;
    segment->slots = (Instruction*)memalloc_zero(sizeof(Instruction) * CODE_SEGMENT_SLOTS, "opcodes");
    if (!segment->slots) {
        memfree(segment);
        return nullptr;
    }
    if (compiler.lastSegment)
        compiler.lastSegment->next = segment;
    else
        compiler.firstSegment = segment;
    compiler.lastSegment = segment;
    return segment;
}

void codeOutOfMemory()
{
    if (!compiler.outOfMemory)
        compileError(nullptr, MSG_NO_MEMORY);
    compiler.outOfMemory = true;
}

// The slot the next emitted instruction takes: the target of a forward jump patched now.
Instruction* here()
{
    if (compiler.outOfMemory || !compiler.lastSegment)
        return &compiler.scratch;
    return &compiler.lastSegment->slots[compiler.lastSegment->used];
}

void patchList(Instruction* list, Instruction* target)
{
    while (list) {
        Instruction* next = (Instruction*)list->operand2;
        list->operand1 = target;
        list->operand2 = nullptr;
        list = next;
    }
}

// Opens a loop level; false (with the message) beyond MAX_LOOP_DEPTH.
bool enterLoop(const SourceLine* line)
{
    if (compiler.depth >= MAX_LOOP_DEPTH) {
        compileError(line, MSG_NESTED);
        return false;
    }
    compiler.depth++;
    compiler.loops[compiler.depth].breakList = nullptr;
    compiler.loops[compiler.depth].continueList = nullptr;
    return true;
}

void leaveLoop(Instruction* exitTarget)
{
    patchList(compiler.loops[compiler.depth].breakList, exitTarget);
    compiler.loops[compiler.depth].breakList = nullptr;
    compiler.loops[compiler.depth].continueList = nullptr;
    compiler.depth--;
}

// Consumes the '(' that must follow WHILE, DO ... WHILE and FOR, and puts it back when
// keep is set. On a missing one the statement is dropped and skipped.
bool expectLeftParenthesis(bool keep)
{
    Token* token = nextToken();
    if (token->kind != TOK_LPAREN) {
        compileError(token->line, MSG_LEFT_PARENTHESIS);
        pushBackToken(token);
        skipStatement();
        return false;
    }
    if (keep)
        pushBackToken(token);
    else
        freeToken(token);
    return true;
}

// block -> '{' { statement } '}'
void compileBlock(const Token* brace)
{
    const SourceLine* braceLine = brace->line;
    int braceLineNumber = braceLine ? braceLine->lineNumber : 0;
    for (;;) {
        Token* token = nextToken();
        if (token->kind == TOK_END || lexerFatalError()) {
            compileErrorf(braceLine, MSG_BRACE_UNMATCHED, braceLineNumber);
            pushBackToken(token);
            return;
        }
        if (token->kind == TOK_RBRACE) {
            freeToken(token);
            return;
        }
        pushBackToken(token);
        compileStatement();
    }
}

// expressionStatement -> expr ';'
void compileExpressionStatement(Token* first)
{
    emitLine(first);
    pushBackToken(first);
    ExprNode* tree = parseExpression(true, false);
    if (!tree) {
        skipStatement();
        return;
    }
    emit(OP_EXPR, tree, nullptr);
    Token* token = nextToken();
    if (token->kind == TOK_SEMICOLON) {
        freeToken(token);
    } else if (token->kind == TOK_IDENTIFIER || token->kind == TOK_KEYWORD) {
        compileError(token->line, MSG_SEMICOLON_BEFORE);
        pushBackToken(token);
    } else {
        compileError(token->line, MSG_SYNTAX);
        dropToken(token);
        skipStatement();
    }
}

// ifStatement -> IF expr statement [ ELSE statement ]
void compileIf(const Token* keyword)
{
    emitLine(keyword);
    ExprNode* condition = parseExpression(true, false);
    if (!condition) {
        skipStatement();
        return;
    }
    Instruction* jumpToElse = emit(OP_JUMP_IF_FALSE, condition, nullptr);
    compileStatement();
    Token* token = nextToken();
    if (isKeyword(token, KW_ELSE)) {
        freeToken(token);
        Instruction* jumpOver = emit(OP_JUMP, nullptr, nullptr);
        jumpToElse->operand2 = here();
        compileStatement();
        jumpOver->operand1 = here();
    } else {
        pushBackToken(token);
        jumpToElse->operand2 = here();
    }
}

// whileStatement -> WHILE '(' expr ')' statement
void compileWhile(const Token* keyword)
{
    if (!expectLeftParenthesis(true))
        return;
    Instruction* top = emitLine(keyword);
    ExprNode* condition = parseExpression(true, false);
    if (!condition) {
        skipStatement();
        return;
    }
    if (!enterLoop(keyword->line))
        return;
    Instruction* exitJump = emit(OP_JUMP_IF_FALSE, condition, nullptr);
    compileStatement();
    patchList(compiler.loops[compiler.depth].continueList, here());
    emit(OP_JUMP, top, nullptr);
    exitJump->operand2 = here();
    leaveLoop(here());
}

// doStatement -> DO statement WHILE '(' expr ')'
void compileDo(const Token* keyword)
{
    if (!enterLoop(keyword->line))
        return;
    Instruction* top = emitLine(keyword);
    compileStatement();
    Token* token = nextToken();
    if (!isKeyword(token, KW_WHILE)) {
        compileError(token->line, MSG_EXPECTED_WHILE);
        pushBackToken(token);
        skipStatement();
        leaveLoop(here());
        return;
    }
    freeToken(token);
    token = nextToken();
    if (token->kind != TOK_LPAREN) {
        compileError(token->line, MSG_LEFT_PARENTHESIS);
        pushBackToken(token);
        skipStatement();
        leaveLoop(here());
        return;
    }
    const SourceLine* conditionLine = token->line;
    pushBackToken(token);
    ExprNode* condition = parseExpression(true, false);
    if (!condition) {
        skipStatement();
        leaveLoop(here());
        return;
    }
    patchList(compiler.loops[compiler.depth].continueList, here());
    emit(OP_LINE, (void*)conditionLine, nullptr);
    Instruction* exitJump = emit(OP_JUMP_IF_FALSE, condition, nullptr);
    emit(OP_JUMP, top, nullptr);
    exitJump->operand2 = here();
    leaveLoop(here());
}

// Reads the separator after a FOR clause; otherwise reports message and skips the statement.
bool expectForSeparator(int kind, const char* message)
{
    Token* token = nextToken();
    if (token->kind != kind) {
        compileError(token->line, message);
        pushBackToken(token);
        skipStatement();
        return false;
    }
    freeToken(token);
    return true;
}

// forStatement -> FOR '(' [expr] ';' [expr] ';' [expr] ')' statement
void compileFor(const Token* keyword)
{
    if (!expectLeftParenthesis(false))
        return;
    ExprNode* init = parseExpression(true, false);
    if (!init) {
        skipStatement();
        return;
    }
    if (!expectForSeparator(TOK_SEMICOLON, MSG_SYNTAX))
        return;
    ExprNode* condition = parseExpression(true, false);
    if (!condition) {
        skipStatement();
        return;
    }
    if (condition->kind == NODE_END) {
        condition->kind = NODE_CONST;
        condition->value = 1.0;
    }
    if (!expectForSeparator(TOK_SEMICOLON, MSG_SYNTAX))
        return;
    ExprNode* step = parseExpression(true, false);
    if (!step) {
        skipStatement();
        return;
    }
    if (!expectForSeparator(TOK_RPAREN, MSG_RIGHT_PARENTHESIS))
        return;
    if (!enterLoop(keyword->line))
        return;
    emitLine(keyword);
    emit(OP_EXPR, init, nullptr);
    Instruction* top = emitLine(keyword);
    Instruction* exitJump = emit(OP_JUMP_IF_FALSE, condition, nullptr);
    compileStatement();
    patchList(compiler.loops[compiler.depth].continueList, here());
    emitLine(keyword);
    emit(OP_EXPR, step, nullptr);
    emit(OP_JUMP, top, nullptr);
    exitJump->operand2 = here();
    leaveLoop(here());
}

// breakStatement -> BREAK ';'     continueStatement -> CONTINUE ';'
void compileLoopJump(const Token* keyword, bool isBreak)
{
    if (compiler.depth == 0) {
        compileError(keyword->line, isBreak ? MSG_BREAK_OUTSIDE
                                            : MSG_CONTINUE_OUTSIDE);
    } else {
        LoopFrame& frame = compiler.loops[compiler.depth];
        Instruction** list = isBreak ? &frame.breakList : &frame.continueList;
        Instruction* jump = emit(OP_JUMP, nullptr, *list);
        if (jump != &compiler.scratch)
            *list = jump;
    }
    expectSemicolon(keyword);
}

// stopStatement -> STOP ';'
void compileStop(const Token* keyword)
{
    emitLine(keyword);
    emit(OP_STOP, nullptr, nullptr);
    expectSemicolon(keyword);
}

// functionStatement -> FUNCTION [ name '=' ] expr ';'
void compileFunction(const Token* keyword)
{
    compiler.functionSeen = true;
    emitLine(keyword);
    Symbol* dependent = nullptr;
    Token* first = nextToken();
    if (first->kind == TOK_IDENTIFIER) {
        Token* second = nextToken();
        if (second->kind == TOK_ASSIGN) {
            Symbol* symbol = requireSymbol(first->text, first->line);
            if (symbol && symbol->kind == SYM_PARAMETER) {
                compileErrorf(first->line, MSG_PARAMETER_DEPENDENT, first->text);
            } else if (symbol) {
                if (dependentVariable && dependentVariable != symbol)
                    compileError(first->line, MSG_OTHER_DEPENDENT);
                dependentVariable = symbol;
                dependent = symbol;
            }
            freeToken(second);
            freeToken(first);
        } else {
            pushBackToken(second);
            pushBackToken(first);
        }
    } else {
        pushBackToken(first);
    }
    ExprNode* tree = parseExpression(true, true);
    if (!tree) {
        skipStatement();
        return;
    }
    emit(OP_FUNCTION, dependent, tree);
    Token* token = nextToken();
    if (token->kind == TOK_SEMICOLON) {
        freeToken(token);
    } else if (token->kind == TOK_KEYWORD) {
        compileError(keyword->line, MSG_MISSING_SEMICOLON);
        pushBackToken(token);
    } else {
        compileError(token->line, MSG_FUNCTION_SYNTAX);
        dropToken(token);
        skipStatement();
    }
}

// Keyword statements compiled by their own modules once the keyword has been read.
void compileDelegatedStatement(int code, const SourceLine* line)
{
    switch (code) {
    case KW_CONSTANT: compileConstant(); break;
    case KW_DOUBLE: compileDouble(); break;
    case KW_PARAMETERS: compileParameters(); break;
    case KW_VARIABLES: compileVariables(); break;
    case KW_ELSE: compileError(line, MSG_ELSE); break;
    case KW_OUTPUT: compileOutput(); break;
    case KW_POUTPUT: compilePoutput(); break;
    case KW_COVARIANCE: compileCovariance(); break;
    case KW_TOLERANCE: compileTolerance(); break;
    case KW_TITLE: compileTitle(); break;
    case KW_PLOT: case KW_RPLOT: case KW_NPLOT: case KW_SPLOT: compilePlot(code); break;
    case KW_DATA: compileData(); break;
    case KW_ITERATIONS: compileIterations(); break;
    case KW_PRESOLUTION: compilePresolution(); break;
    case KW_CONSTRAIN: compileConstrain(); break;
    case KW_SWEEP: compileSweep(); break;
    case KW_ANGLETYPE: compileAngletype(); break;
    case KW_WIDTH: compileWidth(); break;
    case KW_NOECHO: compileNoecho(); break;
    case KW_CONFIDENCE: compileConfidence(); break;
    case KW_CORRELATE: compileCorrelate(); break;
    case KW_DATASKIP: compileDataskip(); break;
    case KW_DATACOUNT: compileDatacount(); break;
    default: compileError(line, MSG_UNRECOGNIZED); break;
    }
}

// Statements that begin with a keyword; the keyword token is freed here.
void compileKeywordStatement(Token* keyword)
{
    switch (keyword->keyword) {
    case KW_BREAK: compileLoopJump(keyword, true); break;
    case KW_CONTINUE: compileLoopJump(keyword, false); break;
    case KW_FOR: compileFor(keyword); break;
    case KW_IF: compileIf(keyword); break;
    case KW_WHILE: compileWhile(keyword); break;
    case KW_DO: compileDo(keyword); break;
    case KW_STOP: compileStop(keyword); break;
    case KW_FUNCTION: compileFunction(keyword); break;
    default: {
        const SourceLine* line = keyword->line;
        int code = keyword->keyword;
        freeToken(keyword);
        compileDelegatedStatement(code, line);
        return;
    }
    }
    freeToken(keyword);
}

// The checks made once the whole program has compiled without error. Each check runs
// whatever the earlier ones found, so one run lists every whole-program fault.
void checkProgram()
{
    if (!compiler.functionSeen)
        compileError(lexerCurrentLine(), MSG_NO_FUNCTION);
    eliminateUnusedParameters();
    if (inputVariableCount == 0 && uncertainty.weightTree)
        compileError(uncertainty.weightLine, MSG_WEIGHT_MINIMIZATION);
    if (inputVariableCount == 0) {
        settings.functionMinimization = true;
        observationCount = parameterCount;
        if (plotList) {
            traceLine(MSG_NO_PLOTS);
            freePlots();
        }
    } else {
        settings.functionMinimization = false;
        completePlots();
    }
}

const char* opcodeName(int opcode)
{
    switch (opcode) {
    case OP_JUMP_IF_FALSE: return "JUMP_IF_FALSE";
    case OP_JUMP: return "JUMP";
    case OP_LINE: return "LINE";
    case OP_STOP: return "STOP";
    case OP_EXPR: return "EXPR";
    case OP_FUNCTION: return "FUNCTION";
    default: return "?";
    }
}

// Compiles the statement that token begins.
void compileStatementToken(Token* token)
{
    switch (token->kind) {
    case TOK_END:
        pushBackToken(token);
        return;
    case TOK_SEMICOLON:
        freeToken(token);
        return;
    case TOK_LBRACE:
        compileBlock(token);
        freeToken(token);
        return;
    case TOK_RBRACE:
        compileError(token->line, MSG_BRACE_EXTRA);
        freeToken(token);
        return;
    case TOK_NOT:
        compileError(token->line, MSG_NOT_CHARACTER);
        freeToken(token);
        skipStatement();
        return;
    case TOK_NUMBER:
        compileError(token->line, MSG_SYNTAX_DATA);
        memcheck_all();
        compileExpressionStatement(token);
        return;
    case TOK_KEYWORD:
        compileKeywordStatement(token);
        return;
    default:
        if (uncertaintyCompileStatement(token, compiler.statementDepth > 1))
            return;
        if (compileDerivatives(token))
            return;
        compileExpressionStatement(token);
        return;
    }
}

} // namespace

// Position of an instruction in emission order, or -1 when it is not in the code.
int instructionIndex(const Instruction* instruction)
{
    int base = 0;
    for (CodeSegment* segment = compiler.firstSegment; segment; segment = segment->next) {
        if (instruction >= segment->slots && instruction < segment->slots + CODE_SEGMENT_SLOTS)
            return base + (int)(instruction - segment->slots);
        base += segment->used;
    }
    return -1;
}

Instruction* compileProgram(const LineSource* source)
{
    freeCode();
    freeAllNodes();
    freeAllTokens();
    freeSymbols();
    freePlots();
    freeObservations();
    compileErrorReset();
    compiler.functionSeen = false;
    compiler.outOfMemory = false;
    compiler.depth = 0;
    compiler.statementDepth = 0;
    compiler.nestingReported = false;
    compiler.entry = nullptr;
    statementBegin(nullptr);
    settings.sweepCount = 0;
    settings.parameterOutputFile.clear();
    uncertaintyReset();
    observationCount = 0;
    lexerReset(source);

    symbolsCreateSystemVariables();
    if (!newSegment()) {
        codeOutOfMemory();
        return nullptr;
    }
    for (;;) {
        compileStatement();
        if (lexerFatalError())
            break;
        Token* token = nextToken();
        if (token->kind == TOK_END) {
            freeToken(token);
            break;
        }
        pushBackToken(token);
    }
    emit(OP_STOP, nullptr, nullptr);

    if (compileErrorCount() == 0)
        checkProgram();
    // A failed allocation has already shown its box; the code may be incomplete.
    if (compileErrorCount() != 0 || lexerFatalError() || memOutOfMemory()) {
        freeCode();
        freeAllNodes();
        uncertaintyReset();
        freeAllTokens();
        return nullptr;
    }
    symbolsLayout();
    compiler.entry = compiler.firstSegment->slots;
    return compiler.entry;
}

Instruction* programEntry()
{
    return compiler.entry;
}

// statement -> ';' | block | keywordStatement | expressionStatement
void compileStatement()
{
    Token* token = nextToken();
    statementBegin(token->line);
    if (compiler.statementDepth >= STATEMENT_DEPTH_MAX && token->kind != TOK_END) {
        if (!compiler.nestingReported)
            compileError(token->line, MSG_NESTED);
        compiler.nestingReported = true;
        pushBackToken(token);
        skipStatement();
        return;
    }
    compiler.statementDepth++;
    compileStatementToken(token);
    compiler.statementDepth--;
}

Instruction* emit(int opcode, void* operand1, void* operand2)
{
    CodeSegment* segment = compiler.lastSegment;
    if (compiler.outOfMemory || !segment) {
        codeOutOfMemory();
        return &compiler.scratch;
    }
    Instruction* slot = &segment->slots[segment->used++];
    slot->opcode = opcode;
    slot->operand1 = operand1;
    slot->operand2 = operand2;
    if (segment->used == CODE_SEGMENT_SLOTS - 1) {
        Instruction* link = &segment->slots[segment->used++];
        CodeSegment* next = newSegment();
        if (!next) {
            codeOutOfMemory();
            link->opcode = OP_STOP;
            return slot;
        }
        link->opcode = OP_JUMP;
        link->operand1 = next->slots;
        link->operand2 = nullptr;
    }
    return slot;
}

Instruction* emitLine(const Token* token)
{
    return emit(OP_LINE, (void*)token->line, nullptr);
}

void freeCode()
{
    CodeSegment* segment = compiler.firstSegment;
    while (segment) {
        CodeSegment* next = segment->next;
        memfree(segment->slots);
        memfree(segment);
        segment = next;
    }
    compiler.firstSegment = nullptr;
    compiler.lastSegment = nullptr;
    compiler.entry = nullptr;
    compiler.depth = 0;
}

std::string codeDump(const Instruction* entry)
{
    std::string out;
    if (!entry)
        return out;
    char buffer[64];
    int index = 0;
    for (CodeSegment* segment = compiler.firstSegment; segment; segment = segment->next) {
        for (int i = 0; i < segment->used; i++, index++) {
            const Instruction& instruction = segment->slots[i];
            snprintf(buffer, sizeof buffer, "%d %s", index, opcodeName(instruction.opcode));
            out += buffer;
            switch (instruction.opcode) {
            case OP_JUMP_IF_FALSE:
                out += ' ' + exprDump((const ExprNode*)instruction.operand1);
                snprintf(buffer, sizeof buffer, " ->%d",
                         instructionIndex((const Instruction*)instruction.operand2));
                out += buffer;
                break;
            case OP_JUMP:
                snprintf(buffer, sizeof buffer, " ->%d",
                         instructionIndex((const Instruction*)instruction.operand1));
                out += buffer;
                break;
            case OP_LINE: {
                const SourceLine* line = (const SourceLine*)instruction.operand1;
                snprintf(buffer, sizeof buffer, " %d", line ? line->lineNumber : 0);
                out += buffer;
                break;
            }
            case OP_EXPR:
                out += ' ' + exprDump((const ExprNode*)instruction.operand1);
                break;
            case OP_FUNCTION: {
                const Symbol* dependent = (const Symbol*)instruction.operand1;
                out += ' ';
                out += dependent ? dependent->name : "-";
                out += ' ' + exprDump((const ExprNode*)instruction.operand2);
                break;
            }
            default:
                break;
            }
            out += '\n';
        }
    }
    return out;
}

void compilerReleaseAll()
{
    freeCode();
    freeAllNodes();
    freeAllTokens();
    freeSourceLines();
    freeSymbols();
    freePlots();
    freeObservations();
    settingsReset();
    uncertaintyReset();
}
