// Expression evaluator: walks an expression tree against the current symbol values.
// Arithmetic, power, comparisons and logic, the conditional, assignment and compound
// assignment, increments and decrements, and array addressing with subscript checks.
//
// Both operands of every operator are evaluated before the operator is applied: &&, ||
// and ?: never short-circuit, so side effects on either side always happen. A failed
// operation reports through runtimeError, yields 0.0, and the rest of the tree is still
// evaluated; the interpreter stops after the current instruction.
//
// The walk is recursive on the C++ stack and allocates nothing: this is the innermost
// loop of every fit.
#include "exec/operators.h"

#include <charconv>
#include <cmath>
#include <climits>
#include <cstdio>
#include <cstring>

#include "exec/builtins.h"
#include "exec/interpreter.h"
#include "lang/parser.h"
#include "lang/symbols.h"

namespace {

constexpr int SUBSCRIPT_MESSAGE_SIZE = 100;   // bounds the subscript message and the name in it

// An operand that is present, as those of the arithmetic operators always are: constants
// and scalar variables are read in place; everything else recurses.
inline double presentOperand(RunFrame* frame, const ExprNode* node)
{
    if (node->kind == NODE_CONST)
        return node->value;
    if (node->kind == NODE_VAR)
        return frame->values[node->symbol->slot];
    if (node->kind == NODE_CALL)
        return callBuiltin(frame, node);
    return operatorsEvaluate(frame, node);
}

// The same for an operand that may be missing, which counts as 0.
inline double operandValue(RunFrame* frame, const ExprNode* node)
{
    if (!node)
        return 0.0;
    return presentOperand(frame, node);
}

// A subscript value truncated toward zero. Values outside the int range (and NaN) become
// INT_MIN, which every bounds test rejects.
int truncateSubscript(double v)
{
    double t = std::trunc(v);
    if (!(t >= (double)INT_MIN && t <= (double)INT_MAX))
        return INT_MIN;
    return (int)t;
}

void reportSubscript(RunFrame* frame, int index, const Symbol* symbol)
{
    char message[SUBSCRIPT_MESSAGE_SIZE];
    snprintf(message, sizeof message, "Subscript value of %d is invalid for %s", index,
             symbol->name);
    runtimeError(frame, "%s", message);
}

}  // namespace

// L ** R, with the whole-exponent rules tried before pow.
double operatorsPower(RunFrame* frame, double l, double r)
{
    if (r == 2.0)
        return l * l;
    if (r == 3.0)
        return l * l * l;
    if (r >= 0.0 && r <= 20.0 && r == std::floor(r)) {
        double product = 1.0;
        for (int k = (int)r; k > 0; k--)
            product *= l;
        return product;
    }
    if (l < 0.0 && r != 0.0) {
        // The exponent with the digits it takes to read back as itself, so that a power
        // of 1 + h (a difference step) is not shown as a power of 1.
        int digits = 6;
        char text[32];
        for (; digits < 17; ++digits) {
            snprintf(text, sizeof text, "%.*G", digits, r);
            double back = 0.0;
            std::from_chars(text, text + strlen(text), back);
            if (back == r)
                break;
        }
        runtimeError(frame, "Raising negative value (%lG) to power (%.*lG)", l, digits, r);
        return 0.0;
    }
    return std::pow(l, r);
}

namespace {

double invalidItem(RunFrame* frame, const ExprNode* node)
{
    printf("op = %d\n", node->kind);
    runtimeError(frame, "Invalid item in expression tree");
    return 0.0;
}

// Every node kind that is not a leaf or a plain arithmetic operator: operands first, left
// then right, skipping a target that is only written, then the operator. Kept out of line
// so that operatorsEvaluate stays a small frame for the common kinds.
__attribute__((noinline)) double evaluateGeneral(RunFrame* frame, const ExprNode* node)
{
    const ExprNode* left = node->left;
    const ExprNode* right = node->right;
    double l = 0.0;
    double r = 0.0;
    if (left && !(left->nodeFlags & NODEF_WRITTEN))
        l = operandValue(frame, left);
    if (right && !(right->nodeFlags & NODEF_WRITTEN))
        r = operandValue(frame, right);

    switch (node->kind) {
    case NODE_DIV:
        if (r == 0.0) {
            runtimeError(frame, "Attempted division of %lG by zero", l);
            return 0.0;
        }
        return l / r;
    case NODE_MOD:
        if (r == 0.0) {
            runtimeError(frame, "Modulo 0 attempted");
            return 0.0;
        }
        return std::fmod(l, r);
    case NODE_POW:
        return operatorsPower(frame, l, r);
    case NODE_COMMA:
        return r;
    case NODE_END:
        return 0.0;
    case NODE_LT:
        return l < r ? 1.0 : 0.0;
    case NODE_LE:
        return l <= r ? 1.0 : 0.0;
    case NODE_GT:
        return l > r ? 1.0 : 0.0;
    case NODE_GE:
        return l >= r ? 1.0 : 0.0;
    case NODE_EQ:
        return l == r ? 1.0 : 0.0;
    case NODE_NE:
        return l != r ? 1.0 : 0.0;
    case NODE_AND:
        return (l != 0.0 && r != 0.0) ? 1.0 : 0.0;
    case NODE_OR:
        return (l != 0.0 || r != 0.0) ? 1.0 : 0.0;
    case NODE_NOT:
        return r == 0.0 ? 1.0 : 0.0;
    case NODE_COND: {
        double c = node->condition ? operandValue(frame, node->condition) : 0.0;
        return c == 0.0 ? r : l;
    }
    case NODE_ASSIGN: {
        double* target = elementAddress(frame, left);
        if (target)
            *target = r;
        return r;
    }
    case NODE_ADD_ASSIGN:
    case NODE_SUB_ASSIGN:
    case NODE_MUL_ASSIGN:
    case NODE_DIV_ASSIGN: {
        double* target = elementAddress(frame, left);
        if (!target)
            return 0.0;
        if (node->kind == NODE_ADD_ASSIGN) {
            *target = *target + r;
        } else if (node->kind == NODE_SUB_ASSIGN) {
            *target = *target - r;
        } else if (node->kind == NODE_MUL_ASSIGN) {
            *target = *target * r;
        } else {
            if (r == 0.0) {
                runtimeError(frame, "Attempted division by zero");
                return 0.0;
            }
            *target = *target / r;
        }
        return *target;
    }
    case NODE_PREINC:
    case NODE_PREDEC:
    case NODE_POSTINC:
    case NODE_POSTDEC: {
        double* target = elementAddress(frame, left);
        if (!target)
            return 0.0;
        const double old = *target;
        const bool up = node->kind == NODE_PREINC || node->kind == NODE_POSTINC;
        *target = old + (up ? 1.0 : -1.0);
        return node->kind == NODE_PREINC || node->kind == NODE_PREDEC ? *target : old;
    }
    default:
        return invalidItem(frame, node);
    }
}

}  // namespace

// ORDER NODE: the leaves and the arithmetic operators are handled here directly (their
// operands are never written targets and always present); every other kind goes to
// evaluateGeneral.
double operatorsEvaluate(RunFrame* frame, const ExprNode* node)
{
    // Tested in order of frequency in model expressions; the tests predict better than
    // one indirect jump.
    int kind = node->kind;
    if (kind == NODE_MUL) {
        double l = presentOperand(frame, node->left);
        return l * presentOperand(frame, node->right);
    }
    if (kind == NODE_ADD) {
        double l = presentOperand(frame, node->left);
        return l + presentOperand(frame, node->right);
    }
    if (kind == NODE_VAR)
        return frame->values[node->symbol->slot];
    if (kind == NODE_CONST)
        return node->value;
    if (kind == NODE_CALL)
        return callBuiltin(frame, node);
    if (kind == NODE_SUB) {
        double l = presentOperand(frame, node->left);
        return l - presentOperand(frame, node->right);
    }
    if (kind == NODE_NEG)
        return -presentOperand(frame, node->right);
    if (kind == NODE_ELEMENT)
        return *elementAddress(frame, node);   // the subscripts are evaluated once, here
    return evaluateGeneral(frame, node);
}

// The storage a variable or element node designates. A bad subscript is reported and
// replaced by 0, so that the read or write still lands inside the array. A scalar
// written with a subscript is treated as an array of one element.
double* elementAddress(RunFrame* frame, const ExprNode* node)
{
    if (node && node->kind == NODE_VAR)
        return &frame->values[node->symbol->slot];
    if (!node || node->kind != NODE_ELEMENT || !node->symbol || !node->right) {
        runtimeError(frame, "Invalid token type for lvalue");
        return nullptr;
    }

    const Symbol* symbol = node->symbol;
    double* scalar = &frame->values[symbol->slot];
    double* storage = scalar + 1;
    int count = symbol->elementCount;
    if (symbol->dimensions == 0 || !symbol->elements || count <= 0) {
        storage = scalar;
        count = 1;
    }

    long index;
    const ExprNode* subscripts = node->right;
    if (subscripts->kind == NODE_COMMA) {
        int rows = count;
        int columns = 1;
        if (storage != scalar && symbol->dimensions == 2 && symbol->dim2 > 0) {
            rows = symbol->dim1;
            columns = symbol->dim2;
        } else if (storage == scalar) {
            rows = 1;
        }
        // Both subscripts are evaluated before either is checked.
        int i = truncateSubscript(subscripts->left ? operandValue(frame, subscripts->left) : 0.0);
        int j = truncateSubscript(subscripts->right ? operandValue(frame, subscripts->right) : 0.0);
        if (i < 0 || i >= rows) {
            reportSubscript(frame, i, symbol);
            i = 0;
        }
        if (j < 0 || j >= columns) {
            reportSubscript(frame, j, symbol);
            j = 0;
        }
        index = (long)i * columns + j;
    } else {
        int i = truncateSubscript(operandValue(frame, subscripts));
        if (i < 0 || i >= count) {
            reportSubscript(frame, i, symbol);
            i = 0;
        }
        index = i;
    }
    if (index < 0 || index >= count)
        index = 0;
    return storage + index;
}
