// Expression parser: recursive descent from tokens to ExprNode trees, name resolution,
// call checks and constant folding.
#include "lang/parser.h"

#include "lang/functable.h"
#include "lang/lexer.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/listing.h"

#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

namespace {

// Messages, letter for letter.
const char MSG_SYNTAX[] = "Syntax error";
const char MSG_INVALID_SYNTAX[] = "Invalid syntax";
const char MSG_INVALID_EXPRESSION[] = "Invalid expression";
const char MSG_RIGHT_PARENTHESIS[] = "Missing right parenthesis";
const char MSG_RIGHT_BRACKET[] = "Missing right bracket for subscript";
const char MSG_NO_SUBSCRIPT[] = "Array variable does not have a subscript: %s";
const char MSG_ONE_SUBSCRIPT[] = "Array variable should have only single subscript: %s";
const char MSG_TWO_SUBSCRIPTS[] = "Array variable should have two subscripts: %s";
const char MSG_UNKNOWN_FUNCTION[] = "Unrecognized function name: %s";
const char MSG_ARGUMENT_COUNT[] = "Incorrect number of arguments for function";
const char MSG_STRING_ARGUMENT[] = "Invalid argument to function";
const char MSG_INCREMENT[] = "Invalid use of ++ operator";
const char MSG_DECREMENT[] = "Invalid use of -- operator";
const char MSG_ASSIGN_INPUT[] = "Input variables may not be assigned values";
const char MSG_ASSIGN_PARAMETER[] = "Parameters may not be assigned values";
const char MSG_DIVISION_BY_ZERO[] = "Division by zero";
const char MSG_NOT_CONSTANT[] = "Only a constant expression may be specified.";
const char MSG_TOO_COMPLEX[] = "Expression is too complex";
const char MSG_SAVING_OVER[] = "** Saving over saved token\n";
const char MSG_NOTE_NEGATED_BASE[] =
    "The unary minus applies before the power: -a**b is (-a)**b. Write -(a**b) for the negative of a power.";


constexpr double PI_VALUE = 3.141592653589793;
constexpr int UPPER_NAME_MAX = 112;
constexpr int FOLD_ARGS_MAX = 30;
// Bounds that keep the recursive parser, the tree walks and the evaluator within the
// stack on pathological input: nesting of sub-expressions, and nodes per expression.
constexpr int EXPRESSION_DEPTH_MAX = 600;
constexpr int EXPRESSION_NODES_MAX = 10000;

struct ParserState {
    ExprNode* liveHead;         // newest live node first
    ExprNode* saved;            // one pushed-back node, or null
    bool failed;                // an error was reported in this expression
    bool markFunctionUse;       // references get SYMF_IN_FUNCTION too
    int depth;                  // nesting of the recursive levels now open
    int nodeCount;              // nodes made for this expression
    BuiltinFoldHook foldHook;   // compile-time evaluation of calls, or null
};

ParserState parser;

ExprNode* newNode(int kind, const SourceLine* line)
{
    ExprNode* node = (ExprNode*)memalloc_zero(sizeof(ExprNode), "tok");
    if (!node)
        return nullptr;
    node->kind = kind;
    node->line = line;
    node->next = parser.liveHead;
    if (parser.liveHead)
        parser.liveHead->prev = node;
    parser.liveHead = node;
    return node;
}

// Unlinks one node from the live list and frees it with its text and token.
void freeNode(ExprNode* node)
{
    if (node->prev)
        node->prev->next = node->next;
    else
        parser.liveHead = node->next;
    if (node->next)
        node->next->prev = node->prev;
    if (node->text)
        memfree(node->text);
    if (node->token)
        freeToken(node->token);
    memfree(node);
}

int nodeKindOfToken(int tokenKind)
{
    switch (tokenKind) {
    case TOK_IDENTIFIER: return NODE_NAME;
    case TOK_NUMBER: return NODE_CONST;
    case TOK_STRING: return NODE_STRING;
    case TOK_COMMA: return NODE_COMMA;
    case TOK_PLUS: return NODE_ADD;
    case TOK_MINUS: return NODE_SUB;
    case TOK_STAR: return NODE_MUL;
    case TOK_SLASH: return NODE_DIV;
    case TOK_PERCENT: return NODE_MOD;
    case TOK_POWER: return NODE_POW;
    case TOK_LPAREN: return NODE_LPAREN;
    case TOK_RPAREN: return NODE_RPAREN;
    case TOK_LBRACKET: return NODE_LBRACKET;
    case TOK_RBRACKET: return NODE_RBRACKET;
    case TOK_QUESTION: return NODE_COND;
    case TOK_COLON: return NODE_COLON;
    case TOK_AND: return NODE_AND;
    case TOK_OR: return NODE_OR;
    case TOK_NOT: return NODE_NOT;
    case TOK_NE: return NODE_NE;
    case TOK_LT: return NODE_LT;
    case TOK_LE: return NODE_LE;
    case TOK_GT: return NODE_GT;
    case TOK_GE: return NODE_GE;
    case TOK_EQ: return NODE_EQ;
    case TOK_ASSIGN: return NODE_ASSIGN;
    case TOK_PLUS_ASSIGN: return NODE_ADD_ASSIGN;
    case TOK_MINUS_ASSIGN: return NODE_SUB_ASSIGN;
    case TOK_STAR_ASSIGN: return NODE_MUL_ASSIGN;
    case TOK_SLASH_ASSIGN: return NODE_DIV_ASSIGN;
    case TOK_INCREMENT: return NODE_PREINC;
    case TOK_DECREMENT: return NODE_PREDEC;
    default: return NODE_END;
    }
}

void failTooComplex(const SourceLine* line)
{
    if (parser.failed)
        return;
    compileError(line, MSG_TOO_COMPLEX);
    parser.failed = true;
}

// The next token as a node. A token with no node kind goes back to the token stream
// and comes out as NODE_END.
ExprNode* takeNode()
{
    if (parser.saved) {
        ExprNode* node = parser.saved;
        parser.saved = nullptr;
        return node;
    }
    Token* token = nextToken();
    int kind = nodeKindOfToken(token->kind);
    if (kind != NODE_END && ++parser.nodeCount > EXPRESSION_NODES_MAX) {
        // The token goes back and the expression ends with an error.
        pushBackToken(token);
        failTooComplex(token->line);
        ExprNode* end = newNode(NODE_END, token->line);
        if (!end)
            parser.failed = true;
        return end;
    }
    ExprNode* node = newNode(kind, token->line);
    if (!node) {
        pushBackToken(token);
        parser.failed = true;
        return nullptr;
    }
    if (kind == NODE_END) {
        pushBackToken(token);
        return node;
    }
    node->token = token;
    if (kind == NODE_CONST) {
        node->value = token->number;
    } else if (kind == NODE_NAME) {
        snprintf(node->name, sizeof node->name, "%.*s", IDENTIFIER_MAX, token->text);
    } else if (kind == NODE_STRING) {
        size_t length = strlen(token->text);
        node->text = (char*)memalloc(length + 1, "tokstr");
        if (node->text)
            memcpy(node->text, token->text, length + 1);
    }
    return node;
}

void saveNode(ExprNode* node)
{
    if (parser.saved) {
        traceLine(MSG_SAVING_OVER);
        freeNode(parser.saved);
    }
    parser.saved = node;
}

void fail(const ExprNode* node, const char* message)
{
    if (parser.failed)
        return;
    compileError(node ? node->line : lexerCurrentLine(), message);
    parser.failed = true;
}

void failf(const ExprNode* node, const char* format, ...) __attribute__((format(printf, 2, 3)));

void failf(const ExprNode* node, const char* format, ...)
{
    char message[300];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    fail(node, message);
}

// Stops a level at once: after an error, when out of memory, or at an empty operand.
bool stopped(const ExprNode* node)
{
    return parser.failed || !node || node->kind == NODE_END;
}

// True when operand is absent: after an error, when out of memory, or at an empty
// operand, which is reported at node with message.
bool missingOperand(const ExprNode* operand, const ExprNode* node, const char* message)
{
    if (parser.failed || !operand)
        return true;
    if (operand->kind == NODE_END) {
        fail(node, message);
        return true;
    }
    return false;
}

bool isAssignmentKind(int kind)
{
    return kind == NODE_ASSIGN || kind == NODE_ADD_ASSIGN || kind == NODE_SUB_ASSIGN
        || kind == NODE_MUL_ASSIGN || kind == NODE_DIV_ASSIGN;
}

bool isTarget(const ExprNode* node)
{
    return node && (node->kind == NODE_VAR || node->kind == NODE_ELEMENT);
}

ExprNode* parseComma();
ExprNode* parseAssignment();
ExprNode* parseConditional();
ExprNode* parseUnary();

// Opens one level of recursion; false (with the error) when nesting is too deep.
struct DepthGuard {
    bool ok;
    DepthGuard()
    {
        ok = ++parser.depth <= EXPRESSION_DEPTH_MAX;
        if (!ok)
            failTooComplex(lexerCurrentLine());
    }
    ~DepthGuard() { parser.depth--; }
};

void markReference(Symbol* symbol)
{
    symbol->flags |= SYMF_REFERENCED;
    if (parser.markFunctionUse)
        symbol->flags |= SYMF_IN_FUNCTION;
}

// variable -> name [ '[' expr ']' ]
ExprNode* variableReference(ExprNode* node)
{
    Symbol* symbol = findSymbol(node->name);
    if (symbol && symbol->kind == SYM_CONSTANT && symbol->dimensions == 0) {
        markReference(symbol);
        node->kind = NODE_CONST;
        node->value = symbol->value;
        return node;
    }
    if (strcasecmp(node->name, "PI") == 0) {
        node->kind = NODE_CONST;
        node->value = PI_VALUE;
        return node;
    }
    symbol = requireSymbol(node->name, node->line);
    if (!symbol) {
        parser.failed = true;
        return node;
    }
    markReference(symbol);
    node->kind = NODE_VAR;
    node->symbol = symbol;

    ExprNode* next = takeNode();
    if (!next)
        return node;
    if (next->kind != NODE_LBRACKET) {
        saveNode(next);
        if (symbol->dimensions > 0)
            failf(node, MSG_NO_SUBSCRIPT, symbol->name);
        return node;
    }
    freeNode(next);
    node->kind = NODE_ELEMENT;
    ExprNode* subscript = parseComma();
    if (missingOperand(subscript, node, MSG_RIGHT_BRACKET))
        return node;
    node->right = subscript;
    ExprNode* close = takeNode();
    if (!close)
        return node;
    if (close->kind != NODE_RBRACKET) {
        fail(close, MSG_RIGHT_BRACKET);
        saveNode(close);
        return node;
    }
    freeNode(close);
    if (symbol->dimensions == 1 && subscript->kind == NODE_COMMA)
        failf(node, MSG_ONE_SUBSCRIPT, symbol->name);
    else if (symbol->dimensions == 2 && subscript->kind != NODE_COMMA)
        failf(node, MSG_TWO_SUBSCRIPTS, symbol->name);
    return node;
}

// call -> name '(' [ argument { [','] argument } ] ')'
ExprNode* parseCall(ExprNode* node)
{
    char upper[UPPER_NAME_MAX];
    size_t i = 0;
    for (; node->name[i] && i < sizeof upper - 1; i++)
        upper[i] = (char)toupper((unsigned char)node->name[i]);
    upper[i] = '\0';
    const BuiltinFunction* entry = lookupBuiltin(upper);
    if (!entry) {
        failf(node, MSG_UNKNOWN_FUNCTION, upper);
        return node;
    }
    node->kind = NODE_CALL;
    node->function = entry->code;
    node->nodeFlags = 0;
    if (entry->noFold)
        node->nodeFlags |= NODEF_NO_FOLD;
    if (entry->acceptsStrings)
        node->nodeFlags |= NODEF_STRINGS;
    if (entry->extraFlag & 1u)
        node->nodeFlags |= NODEF_EXTRA;

    ExprNode* last = nullptr;
    int count = 0;
    for (;;) {
        ExprNode* next = takeNode();
        if (!next)
            return node;
        if (next->kind == NODE_RPAREN) {
            freeNode(next);
            break;
        }
        if (next->kind == NODE_END) {
            fail(next, MSG_RIGHT_PARENTHESIS);
            saveNode(next);
            return node;
        }
        saveNode(next);
        ExprNode* argument = parseAssignment();
        if (missingOperand(argument, argument, MSG_RIGHT_PARENTHESIS))
            return node;
        if (argument->kind == NODE_STRING && !(node->nodeFlags & NODEF_STRINGS)) {
            fail(argument, MSG_STRING_ARGUMENT);
            return node;
        }
        if (last)
            last->nextArg = argument;
        else
            node->firstArg = argument;
        last = argument;
        count++;
        next = takeNode();
        if (!next)
            return node;
        if (next->kind == NODE_COMMA)
            freeNode(next);
        else
            saveNode(next);
    }
    if (entry->argCount != BUILTIN_ANY_ARGS && count != entry->argCount)
        fail(node, MSG_ARGUMENT_COUNT);
    return node;
}

// primary -> number | string | name | call | '(' assignment ')'
ExprNode* parsePrimary()
{
    ExprNode* node = takeNode();
    if (!node)
        return nullptr;
    switch (node->kind) {
    case NODE_NAME: {
        ExprNode* next = takeNode();
        if (!next)
            return node;
        if (next->kind == NODE_LPAREN) {
            freeNode(next);
            return parseCall(node);
        }
        saveNode(next);
        return variableReference(node);
    }
    case NODE_LPAREN: {
        ExprNode* inner = parseAssignment();
        if (parser.failed || !inner)
            return node;
        ExprNode* close = takeNode();
        if (!close)
            return node;
        if (close->kind != NODE_RPAREN) {
            fail(close, MSG_RIGHT_PARENTHESIS);
            saveNode(close);
            return node;
        }
        freeNode(close);
        if (inner->kind == NODE_END) {
            fail(node, MSG_SYNTAX);
            return node;
        }
        freeNode(node);
        return inner;
    }
    case NODE_RPAREN:
        pushBackToken(node->token);
        node->token = nullptr;
        node->kind = NODE_END;
        return node;
    case NODE_CONST:
    case NODE_STRING:
    case NODE_END:
        return node;
    default:
        fail(node, MSG_SYNTAX);
        return node;
    }
}

// unary -> [ '+' | '-' | '!' ] primary
ExprNode* parseUnary()
{
    ExprNode* node = takeNode();
    if (!node)
        return nullptr;
    if (node->kind == NODE_ADD) {
        freeNode(node);
        return parsePrimary();
    }
    if (node->kind == NODE_SUB || node->kind == NODE_NOT) {
        ExprNode* operand = parsePrimary();
        if (missingOperand(operand, node, MSG_SYNTAX))
            return node;
        if (node->kind == NODE_SUB)
            node->kind = NODE_NEG;
        node->right = operand;
        return node;
    }
    saveNode(node);
    return parsePrimary();
}

// increment -> ( '++' | '--' ) variable | unary [ '++' | '--' ]
ExprNode* parseIncrement()
{
    ExprNode* node = takeNode();
    if (!node)
        return nullptr;
    if (node->kind == NODE_PREINC || node->kind == NODE_PREDEC) {
        const char* message = node->kind == NODE_PREINC ? MSG_INCREMENT
                                                        : MSG_DECREMENT;
        ExprNode* target = takeNode();
        if (!target)
            return node;
        if (target->kind == NODE_NAME)
            target = variableReference(target);
        if (parser.failed)
            return node;
        if (!isTarget(target)) {
            fail(node, message);
            if (target->kind == NODE_END)
                saveNode(target);
            return node;
        }
        target->nodeFlags |= NODEF_WRITTEN;
        node->left = target;
        return node;
    }
    saveNode(node);
    ExprNode* operand = parseUnary();
    if (stopped(operand))
        return operand;
    ExprNode* next = takeNode();
    if (!next)
        return operand;
    if (next->kind != NODE_PREINC && next->kind != NODE_PREDEC) {
        saveNode(next);
        return operand;
    }
    if (!isTarget(operand)) {
        fail(next, next->kind == NODE_PREINC ? MSG_INCREMENT : MSG_DECREMENT);
        return operand;
    }
    next->kind = next->kind == NODE_PREINC ? NODE_POSTINC : NODE_POSTDEC;
    operand->nodeFlags |= NODEF_WRITTEN;
    next->left = operand;
    return next;
}

typedef ExprNode* (*LevelParser)();

// One right-associative binary level: operand [ op level ].
ExprNode* parseRightLevel(LevelParser operandParser, LevelParser levelParser, int kind)
{
    DepthGuard guard;
    if (!guard.ok)
        return nullptr;
    ExprNode* left = operandParser();
    if (stopped(left))
        return left;
    ExprNode* op = takeNode();
    if (!op)
        return left;
    if (op->kind != kind) {
        saveNode(op);
        return left;
    }
    ExprNode* right = levelParser();
    if (missingOperand(right, op, MSG_SYNTAX))
        return left;
    op->left = left;
    op->right = right;
    return op;
}

// power -> increment [ '**' power ]
ExprNode* parsePower()
{
    ExprNode* node = parseRightLevel(parseIncrement, parsePower, NODE_POW);
    // The minus binds before the power, which a formula such as -(x - x0)^2 written
    // the usual way does not mean: a note, not an error, for the program still runs.
    if (!parser.failed && node && node->kind == NODE_POW && node->left && node->left->kind == NODE_NEG)
        listingNote(node->line, MSG_NOTE_NEGATED_BASE);
    return node;
}

// Operators of the left-associative binary levels.
constexpr int MULTIPLICATIVE_KINDS[] = {NODE_MUL, NODE_DIV, NODE_MOD};
constexpr int ADDITIVE_KINDS[] = {NODE_ADD, NODE_SUB};
constexpr int RELATIONAL_KINDS[] = {NODE_LT, NODE_LE, NODE_GT, NODE_GE};
constexpr int EQUALITY_KINDS[] = {NODE_EQ, NODE_NE};
constexpr int AND_KINDS[] = {NODE_AND};
constexpr int OR_KINDS[] = {NODE_OR};

// One left-associative binary level: operand { op operand }.
ExprNode* parseLeftLevel(LevelParser operandParser, const int* kinds, int kindCount)
{
    ExprNode* left = operandParser();
    if (stopped(left))
        return left;
    for (;;) {
        ExprNode* op = takeNode();
        if (!op)
            return left;
        bool member = false;
        for (int i = 0; i < kindCount; i++)
            member = member || op->kind == kinds[i];
        if (!member) {
            saveNode(op);
            return left;
        }
        ExprNode* right = operandParser();
        if (missingOperand(right, op, MSG_SYNTAX))
            return left;
        op->left = left;
        op->right = right;
        left = op;
    }
}

// multiplicative -> power { ('*' | '/' | '%') power }
ExprNode* parseMultiplicative()
{
    return parseLeftLevel(parsePower, MULTIPLICATIVE_KINDS, 3);
}

// additive -> multiplicative { ('+' | '-') multiplicative }
ExprNode* parseAdditive()
{
    return parseLeftLevel(parseMultiplicative, ADDITIVE_KINDS, 2);
}

// relational -> additive { ('<' | '<=' | '>' | '>=') additive }
ExprNode* parseRelational()
{
    return parseLeftLevel(parseAdditive, RELATIONAL_KINDS, 4);
}

// equality -> relational { ('==' | '!=') relational }
ExprNode* parseEquality()
{
    return parseLeftLevel(parseRelational, EQUALITY_KINDS, 2);
}

// logicalAnd -> equality { '&&' equality }
ExprNode* parseLogicalAnd()
{
    return parseLeftLevel(parseEquality, AND_KINDS, 1);
}

// logicalOr -> logicalAnd { '||' logicalAnd }
ExprNode* parseLogicalOr()
{
    return parseLeftLevel(parseLogicalAnd, OR_KINDS, 1);
}

// conditional -> logicalOr [ '?' conditional ':' conditional ]
ExprNode* parseConditional()
{
    DepthGuard guard;
    if (!guard.ok)
        return nullptr;
    ExprNode* condition = parseLogicalOr();
    if (stopped(condition))
        return condition;
    ExprNode* op = takeNode();
    if (!op)
        return condition;
    if (op->kind != NODE_COND) {
        saveNode(op);
        return condition;
    }
    ExprNode* whenTrue = parseConditional();
    if (missingOperand(whenTrue, op, MSG_SYNTAX))
        return condition;
    ExprNode* colon = takeNode();
    if (!colon)
        return condition;
    if (colon->kind != NODE_COLON) {
        fail(colon, MSG_SYNTAX);
        saveNode(colon);
        return condition;
    }
    freeNode(colon);
    ExprNode* whenFalse = parseConditional();
    if (missingOperand(whenFalse, op, MSG_SYNTAX))
        return condition;
    op->condition = condition;
    op->left = whenTrue;
    op->right = whenFalse;
    return op;
}

// assignment -> conditional [ ('=' | '+=' | '-=' | '*=' | '/=') assignment ]
ExprNode* parseAssignment()
{
    DepthGuard guard;
    if (!guard.ok)
        return nullptr;
    ExprNode* target = parseConditional();
    if (parser.failed || !isTarget(target))
        return target;
    ExprNode* op = takeNode();
    if (!op)
        return target;
    if (!isAssignmentKind(op->kind)) {
        saveNode(op);
        return target;
    }
    if (target->symbol->kind == SYM_INPUT) {
        fail(target, MSG_ASSIGN_INPUT);
        return target;
    }
    if (target->symbol->kind == SYM_PARAMETER) {
        fail(target, MSG_ASSIGN_PARAMETER);
        return target;
    }
    ExprNode* value = parseAssignment();
    if (missingOperand(value, op, MSG_INVALID_SYNTAX))
        return target;
    target->nodeFlags |= NODEF_WRITTEN;
    op->left = target;
    op->right = value;
    return op;
}

// comma -> assignment [ ',' comma ]
ExprNode* parseComma()
{
    return parseRightLevel(parseAssignment, parseComma, NODE_COMMA);
}

bool isConst(const ExprNode* node)
{
    return node && node->kind == NODE_CONST;
}

// Turns node into a constant and frees its operands.
void becomeConstant(ExprNode* node, double value)
{
    freeTree(node->left);
    freeTree(node->right);
    freeTree(node->condition);
    ExprNode* argument = node->firstArg;
    while (argument) {
        ExprNode* next = argument->nextArg;
        freeTree(argument);
        argument = next;
    }
    node->left = node->right = node->condition = node->firstArg = nullptr;
    node->kind = NODE_CONST;
    node->value = value;
    node->function = 0;
    node->nodeFlags = 0;
}

void foldCall(ExprNode* node)
{
    ExprNode** link = &node->firstArg;
    bool allConstant = true;
    int count = 0;
    double values[FOLD_ARGS_MAX];
    while (*link) {
        ExprNode* next = (*link)->nextArg;
        ExprNode* folded = foldConstants(*link);
        folded->nextArg = next;
        *link = folded;
        if (folded->kind == NODE_CONST && count < FOLD_ARGS_MAX)
            values[count++] = folded->value;
        else
            allConstant = false;
        link = &folded->nextArg;
    }
    if (!allConstant || (node->nodeFlags & NODEF_NO_FOLD) || node->function == FN_RANDOM
        || !parser.foldHook)
        return;
    double value = 0.0;
    // A value that is not finite stays a call, so that running it reports why.
    if (parser.foldHook(node->function, values, count, node->line, &value) && std::isfinite(value))
        becomeConstant(node, value);
}

// The value of an operator whose operands are all constants.
double foldOperator(const ExprNode* node)
{
    double x = node->left ? node->left->value : 0.0;
    double y = node->right ? node->right->value : 0.0;
    switch (node->kind) {
    case NODE_ADD: return x + y;
    case NODE_SUB: return x - y;
    case NODE_MUL: return x * y;
    case NODE_DIV:
    case NODE_MOD:
        if (y == 0.0) {
            compileError(node->line, MSG_DIVISION_BY_ZERO);
            return 0.0;
        }
        return node->kind == NODE_DIV ? x / y : std::fmod(x, y);
    case NODE_POW: return y == 2.0 ? x * x : std::pow(x, y);
    case NODE_LT: return x < y ? 1.0 : 0.0;
    case NODE_LE: return x <= y ? 1.0 : 0.0;
    case NODE_GT: return x > y ? 1.0 : 0.0;
    case NODE_GE: return x >= y ? 1.0 : 0.0;
    case NODE_EQ: return x == y ? 1.0 : 0.0;
    case NODE_NE: return x != y ? 1.0 : 0.0;
    case NODE_AND: return (x != 0.0 && y != 0.0) ? 1.0 : 0.0;
    case NODE_OR: return (x != 0.0 || y != 0.0) ? 1.0 : 0.0;
    case NODE_NEG: return -y;
    case NODE_NOT: return y == 0.0 ? 1.0 : 0.0;
    case NODE_COND: return node->condition->value != 0.0 ? x : y;
    default: return 0.0;
    }
}

bool isFoldableOperator(int kind)
{
    return (kind >= NODE_ADD && kind <= NODE_POW) || kind == NODE_NEG
        || (kind >= NODE_LT && kind <= NODE_NOT) || kind == NODE_COND;
}

// Frees every node newer than mark (the nodes of an expression that failed).
void freeNodesAfter(ExprNode* mark)
{
    while (parser.liveHead && parser.liveHead != mark)
        freeNode(parser.liveHead);
}

void appendDump(std::string& out, const ExprNode* node);

const char* operatorName(int kind)
{
    switch (kind) {
    case NODE_ADD: return "+";
    case NODE_SUB: return "-";
    case NODE_MUL: return "*";
    case NODE_DIV: return "/";
    case NODE_MOD: return "%";
    case NODE_POW: return "**";
    case NODE_COMMA: return ",";
    case NODE_NEG: return "neg";
    case NODE_LT: return "<";
    case NODE_LE: return "<=";
    case NODE_GT: return ">";
    case NODE_GE: return ">=";
    case NODE_EQ: return "==";
    case NODE_NE: return "!=";
    case NODE_AND: return "&&";
    case NODE_OR: return "||";
    case NODE_NOT: return "!";
    case NODE_ASSIGN: return "=";
    case NODE_ADD_ASSIGN: return "+=";
    case NODE_MUL_ASSIGN: return "*=";
    case NODE_DIV_ASSIGN: return "/=";
    case NODE_SUB_ASSIGN: return "-=";
    case NODE_PREINC: return "++pre";
    case NODE_PREDEC: return "--pre";
    case NODE_POSTINC: return "post++";
    case NODE_POSTDEC: return "post--";
    case NODE_COND: return "?";
    default: return "?kind";
    }
}

void appendDump(std::string& out, const ExprNode* node)
{
    char buffer[64];
    if (!node) {
        out += "<null>";
        return;
    }
    switch (node->kind) {
    case NODE_CONST:
        snprintf(buffer, sizeof buffer, "%.15g", node->value);
        out += buffer;
        return;
    case NODE_VAR:
        out += node->symbol ? node->symbol->name : node->name;
        return;
    case NODE_NAME:
        out += node->name;
        return;
    case NODE_STRING:
        out += '"';
        out += node->text ? node->text : "";
        out += '"';
        return;
    case NODE_END:
        out += "<end>";
        return;
    case NODE_ELEMENT:
        out += node->symbol ? node->symbol->name : node->name;
        out += '[';
        appendDump(out, node->right);
        out += ']';
        return;
    case NODE_CALL:
        snprintf(buffer, sizeof buffer, "call%d(", node->function);
        out += buffer;
        for (const ExprNode* argument = node->firstArg; argument; argument = argument->nextArg) {
            if (argument != node->firstArg)
                out += ' ';
            appendDump(out, argument);
        }
        out += ')';
        return;
    default:
        break;
    }
    out += '(';
    out += operatorName(node->kind);
    if (node->condition) {
        out += ' ';
        appendDump(out, node->condition);
    }
    if (node->left) {
        out += ' ';
        appendDump(out, node->left);
    }
    if (node->right) {
        out += ' ';
        appendDump(out, node->right);
    }
    out += ')';
}

} // namespace

ExprNode* parseExpression(bool allowComma, bool markFunctionUse)
{
    parser.saved = nullptr;
    parser.failed = false;
    parser.markFunctionUse = markFunctionUse;
    parser.depth = 0;
    parser.nodeCount = 0;
    ExprNode* mark = parser.liveHead;

    ExprNode* tree = allowComma ? parseComma() : parseAssignment();

    if (parser.saved) {
        ExprNode* saved = parser.saved;
        parser.saved = nullptr;
        if (saved->token) {
            pushBackToken(saved->token);
            saved->token = nullptr;
        }
        freeNode(saved);
    }
    if (parser.failed || !tree) {
        freeNodesAfter(mark);
        return nullptr;
    }
    if (tree->kind == NODE_NAME) {
        compileError(tree->line, MSG_INVALID_EXPRESSION);
        freeNodesAfter(mark);
        return nullptr;
    }
    // The tree no longer needs its tokens.
    for (ExprNode* node = parser.liveHead; node && node != mark; node = node->next) {
        if (node->token) {
            freeToken(node->token);
            node->token = nullptr;
        }
    }
    return foldConstants(tree);
}

double parseConstant()
{
    ExprNode* tree = parseExpression(false, false);
    if (!tree)
        return 0.0;
    double value = 0.0;
    if (tree->kind == NODE_CONST)
        value = tree->value;
    else
        compileError(lexerCurrentLine(), MSG_NOT_CONSTANT);
    freeTree(tree);
    return value;
}

ExprNode* foldConstants(ExprNode* node)
{
    if (!node)
        return nullptr;
    switch (node->kind) {
    case NODE_VAR:
    case NODE_CONST:
    case NODE_ELEMENT:
    case NODE_STRING:
    case NODE_END:
    case NODE_NAME:
        return node;
    case NODE_CALL:
        foldCall(node);
        return node;
    default:
        break;
    }
    node->left = foldConstants(node->left);
    node->right = foldConstants(node->right);
    node->condition = foldConstants(node->condition);
    if (!isFoldableOperator(node->kind))
        return node;
    if ((node->left && !isConst(node->left)) || (node->right && !isConst(node->right))
        || (node->condition && !isConst(node->condition)))
        return node;
    // A result that is not finite ((-8)^(1/3), say) is left to the run, which reports the
    // failing operation at its line instead of carrying a silent NaN into the fit.
    const double value = foldOperator(node);
    if (std::isfinite(value))
        becomeConstant(node, value);
    return node;
}

void freeTree(ExprNode* node)
{
    if (!node)
        return;
    freeTree(node->left);
    freeTree(node->right);
    freeTree(node->condition);
    ExprNode* argument = node->firstArg;
    while (argument) {
        ExprNode* next = argument->nextArg;
        freeTree(argument);
        argument = next;
    }
    freeNode(node);
}

void freeAllNodes()
{
    // Tokens still held by nodes stay in the lexer's live list: freeAllTokens frees them.
    while (parser.liveHead) {
        ExprNode* node = parser.liveHead;
        node->token = nullptr;
        freeNode(node);
    }
    parser.saved = nullptr;
}

void exprSetFoldHook(BuiltinFoldHook hook)
{
    parser.foldHook = hook;
}

std::string exprDump(const ExprNode* node)
{
    std::string out;
    appendDump(out, node);
    return out;
}

const ExprNode* exprLiveNodes()
{
    return parser.liveHead;
}

bool exprCallsFunction(int function)
{
    for (const ExprNode* node = parser.liveHead; node; node = node->next)
        if (node->kind == NODE_CALL && node->function == function)
            return true;
    return false;
}

bool exprNegatedBaseAt(int lineNumber)
{
    for (const ExprNode* node = parser.liveHead; node; node = node->next)
        if (node->kind == NODE_POW && node->left && node->left->kind == NODE_NEG && node->line &&
            node->line->lineNumber == lineNumber)
            return true;
    return false;
}

bool exprWritesSymbol(const Symbol* symbol)
{
    for (const ExprNode* node = parser.liveHead; node; node = node->next) {
        const ExprNode* target = nullptr;
        if (node->kind >= NODE_ASSIGN && node->kind <= NODE_SUB_ASSIGN)
            target = node->left;
        else if (node->kind >= NODE_PREINC && node->kind <= NODE_POSTDEC)
            target = node->left ? node->left : node->right;     // an increment's one operand
        if (target && (target->kind == NODE_VAR || target->kind == NODE_ELEMENT) && target->symbol == symbol)
            return true;
    }
    return false;
}
