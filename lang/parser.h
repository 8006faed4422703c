// Expression trees: the executable form of every expression. The parser builds them
// by recursive descent from tokens, resolves names, checks calls and folds constants.
#pragma once

#include <string>

struct SourceLine;
struct Symbol;
struct Token;

// ORDER NODE: node kinds; the interpreter dispatches on these codes.
enum NodeKind {
    NODE_NAME = 1, NODE_VAR = 2, NODE_CONST = 3, NODE_CALL = 4,
    NODE_ADD = 5, NODE_SUB = 6, NODE_MUL = 7, NODE_DIV = 8, NODE_MOD = 9, NODE_POW = 10,
    NODE_COMMA = 11, NODE_LPAREN = 12, NODE_RPAREN = 13, NODE_NEG = 14, NODE_END = 15,
    NODE_LT = 16, NODE_LE = 17, NODE_GT = 18, NODE_GE = 19, NODE_EQ = 20, NODE_NE = 21,
    NODE_AND = 22, NODE_OR = 23, NODE_NOT = 24, NODE_ASSIGN = 25,
    NODE_ADD_ASSIGN = 26, NODE_MUL_ASSIGN = 27, NODE_DIV_ASSIGN = 28, NODE_SUB_ASSIGN = 29,
    NODE_PREINC = 30, NODE_PREDEC = 31, NODE_POSTINC = 32, NODE_POSTDEC = 33,
    NODE_STRING = 34, NODE_ELEMENT = 35, NODE_LBRACKET = 36, NODE_RBRACKET = 37,
    NODE_COND = 38, NODE_COLON = 39
};

enum NodeFlags {
    NODEF_NO_FOLD = 1,          // call is never folded
    NODEF_STRINGS = 2,          // call accepts string arguments
    NODEF_WRITTEN = 4,          // variable or element is the target of =, ++ or --
    NODEF_EXTRA = 8             // the function table's further flag
};

struct ExprNode {
    ExprNode* next;             // live-node list
    ExprNode* prev;             // live-node list
    ExprNode* left;             // first operand; true branch; target of ++ and --
    ExprNode* right;            // second operand; operand of - and !; subscripts; false branch
    ExprNode* condition;        // condition of a conditional
    ExprNode* firstArg;         // first argument of a call
    ExprNode* nextArg;          // next argument in a call's list
    Token* token;               // token the node was made from (while parsing only)
    const SourceLine* line;     // line of that token, for messages
    Symbol* symbol;             // variable or array element
    char* text;                 // string literal (owned)
    double value;               // constant value
    int kind;                   // NodeKind
    int function;               // built-in function code of a call
    unsigned nodeFlags;         // NodeFlags
    char name[32];              // identifier text
};

ExprNode* parseExpression(bool allowComma, bool markFunctionUse);
double parseConstant();
ExprNode* foldConstants(ExprNode* node);
void freeTree(ExprNode* node);
void freeAllNodes();
// The first of every node the program's trees hold (then through next).
const ExprNode* exprLiveNodes();
// True when some tree of the program calls the built-in function of that code.
bool exprCallsFunction(int function);
// True when a live expression on program line lineNumber raises a negated base to a power
// (-a**b, which is (-a)**b).
bool exprNegatedBaseAt(int lineNumber);
// True when some tree of the program assigns to, increments or decrements the variable or
// any element of the array.
bool exprWritesSymbol(const Symbol* symbol);

// Compile-time evaluation of a built-in call whose arguments are all constants.
// Returns false when the call cannot be folded (it then stays a call). On an argument
// error the hook reports the compile error itself and sets *value to 0.
typedef bool (*BuiltinFoldHook)(int function, const double* args, int argCount,
                                const SourceLine* line, double* value);
void exprSetFoldHook(BuiltinFoldHook hook);

// A stable one-line text form of a tree, e.g. "(= y (+ a (* b x)))", for tests and traces.
std::string exprDump(const ExprNode* node);
