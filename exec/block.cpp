// Block evaluation of observation-independent programs. blockPrepare turns the straight
// line of statements into a list of operations over registers (one register per
// operation, BLOCK_ROWS values each, or one value when it is the same for every
// observation: constants, parameters and what is computed from them alone).
// blockResiduals runs the list over a block of observations.
//
// Every operation computes each value exactly as the expression evaluator does for one
// observation (the same operations on the same operands, the same library functions),
// so the residuals are the same to the last bit. Errors are only detected here: a block
// in which any operation would report goes back to the per-observation path, which
// writes the messages with the right observation.
#include "exec/block.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "exec/builtins.h"
#include "exec/interpreter.h"
#include "exec/vecmath.h"
#include "lang/compiler.h"
#include "lang/data.h"
#include "lang/options.h"
#include "lang/parser.h"
#include "lang/symbols.h"
#include "support/allocator.h"

namespace {

constexpr int MAX_BLOCK_OPS = 2000;         // operations of one program
constexpr int MAX_BLOCK_ARGS = 4000;        // call arguments of one program
constexpr int MAX_STEPS = 100000;           // instructions walked while preparing
constexpr int MAX_CALL_ARGS = 30;           // as the evaluator's argument buffer
constexpr double EXP_ARG_MAX = 500.0;       // as the built-in EXP
constexpr double EXP_ARG_UNDERFLOW = -700.0;

// Leaves; every other operation is a node kind (NodeKind) of the trees.
enum LeafKind { LEAF_CONST = -1, LEAF_SLOT = -2, LEAF_INPUT = -3 };

// How a power with a constant exponent is computed (the evaluator's rules in order).
enum PowerMode { POW_GENERAL, POW_SQUARE, POW_CUBE, POW_PRODUCT };

struct BlockOp {
    int kind;                   // LeafKind or NodeKind
    bool scalar;                // one value for all observations
    int a, b, c;                // operand registers (c: condition of ?:)
    int firstArg;               // call: first of argCount registers in the argument list
    int argCount;               // call: arguments
    int slot;                   // LEAF_SLOT: frame slot; LEAF_INPUT: input column
    double value;               // LEAF_CONST: the constant
    int powerMode;              // NODE_POW with a constant exponent: PowerMode
    int powerCount;             // POW_PRODUCT: factors
    const ExprNode* call;       // NODE_CALL: the call
    uint64_t parameters;        // bit j: the value depends on parameter j
    bool root;                  // computed in every evaluation (a statement or a result)
    int kept;                   // index of its kept values, or -1
};

struct BlockProgram {
    bool available;                     // the program qualifies and is prepared
    int opCount;                        // operations
    BlockOp ops[MAX_BLOCK_OPS];
    int argCount;                       // entries used in args
    int args[MAX_BLOCK_ARGS];           // call argument registers
    int predicted;                      // register of the FUNCTION value
    int observed;                       // register of the dependent variable, -1: none (0)
};

BlockProgram program;

constexpr int MAX_KEPT_PARAMETERS = 64;         // parameters one dependency mask covers
constexpr size_t MAX_KEPT_BYTES = 512u << 20;   // kept values of all operations at most

// Kept values (see blockStoreBegin): operation o's value for observation i is
// values[o.kept * rows + i], computed at the parameter values in point.
struct KeptValues {
    int rows;                           // observations covered
    int count;                          // operations that keep values
    double* values;                     // count * rows doubles, or null
    bool valid;                         // values and point belong together
    double point[MAX_KEPT_PARAMETERS];  // parameter values of the kept values
};

KeptValues kept;

// Work variables' registers while preparing: the register last assigned to each slot.
// Each input column and each parameter or constant is loaded once, into one register.
struct Preparation {
    std::vector<int> slotRegister;      // -1: not written yet in this observation
    std::vector<int> leafRegister;      // by slot: register holding that symbol's value, or -1
    bool failed;                        // the program does not qualify
    bool functionSeen;                  // the FUNCTION statement was compiled
    int steps;                          // instructions walked
};

uint64_t operandParameters(const BlockOp& op);

int addOp(Preparation& prep, const BlockOp& op)
{
    if (program.opCount >= MAX_BLOCK_OPS) {
        prep.failed = true;
        return -1;
    }
    program.ops[program.opCount] = op;
    program.ops[program.opCount].parameters |= operandParameters(op);
    return program.opCount++;
}

BlockOp leaf(int kind, bool scalar)
{
    BlockOp op{};
    op.kind = kind;
    op.scalar = scalar;
    op.a = op.b = op.c = -1;
    op.kept = -1;
    return op;
}

// The parameters an operation with these operands depends on.
uint64_t operandParameters(const BlockOp& op)
{
    uint64_t mask = 0;
    for (int reg : {op.a, op.b, op.c})
        if (reg >= 0)
            mask |= program.ops[reg].parameters;
    if (op.kind == NODE_CALL)
        for (int k = 0; k < op.argCount; k++)
            mask |= program.ops[program.args[op.firstArg + k]].parameters;
    return mask;
}

bool systemVariable(const Symbol* symbol)
{
    return symbol == symbolObs || symbol == symbolPredicted || symbol == symbolResidual;
}

// A read of symbol's value: an input column, a parameter or constant, or the register
// last assigned to a work variable in this observation.
int readSymbol(Preparation& prep, const Symbol* symbol)
{
    if (!symbol || symbol->slot < 0 || symbol->dimensions != 0 || systemVariable(symbol)) {
        prep.failed = true;
        return -1;
    }
    const bool known = symbol->slot < (int)prep.leafRegister.size();
    switch (symbol->kind) {
    case SYM_INPUT:
    case SYM_PARAMETER:
    case SYM_CONSTANT: {
        if (known && prep.leafRegister[symbol->slot] >= 0)
            return prep.leafRegister[symbol->slot];
        const bool input = symbol->kind == SYM_INPUT;
        BlockOp op = leaf(input ? LEAF_INPUT : LEAF_SLOT, !input);
        op.slot = input ? symbol->index : symbol->slot;
        if (symbol->kind == SYM_PARAMETER)
            op.parameters = symbol->index < MAX_KEPT_PARAMETERS ? uint64_t{1} << symbol->index : ~uint64_t{0};
        const int reg = addOp(prep, op);
        if (known)
            prep.leafRegister[symbol->slot] = reg;
        return reg;
    }
    case SYM_WORK:
        if (symbol->slot < (int)prep.slotRegister.size() && prep.slotRegister[symbol->slot] >= 0)
            return prep.slotRegister[symbol->slot];
        break;
    default:
        break;
    }
    prep.failed = true;
    return -1;
}

// The slot of an array element whose subscripts are constants, found as the evaluator
// finds it (0-based, truncated; a scalar written with a subscript is one element); -1
// when a subscript is not a constant or is out of range (the evaluator then reports).
int constantElementSlot(const ExprNode* node)
{
    const Symbol* symbol = node->symbol;
    const ExprNode* subscripts = node->right;
    if (!symbol || symbol->slot < 0 || !subscripts)
        return -1;
    const bool array = symbol->dimensions != 0 && symbol->elements && symbol->elementCount > 0;
    const int count = array ? symbol->elementCount : 1;
    auto subscript = [](const ExprNode* value) {
        if (!value)
            return 0.0;
        return value->kind == NODE_CONST ? value->value : NAN;
    };
    long index;
    if (subscripts->kind == NODE_COMMA) {
        const bool table = array && symbol->dimensions == 2 && symbol->dim2 > 0;
        const int rows = table ? symbol->dim1 : (array ? count : 1);
        const int columns = table ? symbol->dim2 : 1;
        const double i = std::trunc(subscript(subscripts->left));
        const double j = std::trunc(subscript(subscripts->right));
        if (!(i >= 0 && i < rows && j >= 0 && j < columns))
            return -1;
        index = (long)i * columns + (long)j;
    } else {
        const double i = std::trunc(subscript(subscripts));
        if (!(i >= 0 && i < count))
            return -1;
        index = (long)i;
    }
    if (index >= count)
        return -1;
    return symbol->slot + (array ? 1 : 0) + (int)index;
}

// A read of an array element with constant subscripts: the register last assigned to it
// in this observation, or, for an array the program never writes, its value (the same in
// every observation).
int readElement(Preparation& prep, const ExprNode* node)
{
    const int slot = constantElementSlot(node);
    if (slot < 0 || slot >= (int)prep.slotRegister.size() || node->symbol->kind != SYM_WORK ||
        systemVariable(node->symbol)) {
        prep.failed = true;
        return -1;
    }
    if (prep.slotRegister[slot] >= 0)
        return prep.slotRegister[slot];
    if (exprWritesSymbol(node->symbol)) {
        prep.failed = true;
        return -1;
    }
    if (prep.leafRegister[slot] >= 0)
        return prep.leafRegister[slot];
    BlockOp op = leaf(LEAF_SLOT, true);
    op.slot = slot;
    const int reg = addOp(prep, op);
    prep.leafRegister[slot] = reg;
    return reg;
}

bool callQualifies(const ExprNode* node)
{
    const int code = node->function;
    return code != FN_RANDOM && code != FN_PRINTF && code != FN_RETURN;
}

int compileNode(Preparation& prep, const ExprNode* node);

int compileCall(Preparation& prep, const ExprNode* node)
{
    if (!callQualifies(node)) {
        prep.failed = true;
        return -1;
    }
    int regs[MAX_CALL_ARGS];
    int count = 0;
    bool scalar = true;
    for (const ExprNode* arg = node->firstArg; arg; arg = arg->nextArg) {
        if (count == MAX_CALL_ARGS || arg->kind == NODE_STRING) {
            prep.failed = true;
            return -1;
        }
        regs[count] = compileNode(prep, arg);
        if (regs[count] < 0)
            return -1;
        scalar = scalar && program.ops[regs[count]].scalar;
        count++;
    }
    if (program.argCount + count > MAX_BLOCK_ARGS) {
        prep.failed = true;
        return -1;
    }
    BlockOp op = leaf(NODE_CALL, scalar);
    op.call = node;
    op.firstArg = program.argCount;
    op.argCount = count;
    for (int k = 0; k < count; k++)
        program.args[program.argCount++] = regs[k];
    return addOp(prep, op);
}

// A constant whole exponent picks its rule once: 2 and 3 first, then 0 to 20 by
// repeated multiplication.
void choosePowerMode(BlockOp& op)
{
    op.powerMode = POW_GENERAL;
    const BlockOp& exponent = program.ops[op.b];
    if (exponent.kind != LEAF_CONST)
        return;
    const double r = exponent.value;
    if (r == 2.0) {
        op.powerMode = POW_SQUARE;
    } else if (r == 3.0) {
        op.powerMode = POW_CUBE;
    } else if (r >= 0.0 && r <= 20.0 && r == std::floor(r)) {
        op.powerMode = POW_PRODUCT;
        op.powerCount = (int)r;
    }
}

int compileNode(Preparation& prep, const ExprNode* node)
{
    if (!node || prep.failed) {
        prep.failed = true;
        return -1;
    }
    switch (node->kind) {
    case NODE_CONST: {
        BlockOp op = leaf(LEAF_CONST, true);
        op.value = node->value;
        return addOp(prep, op);
    }
    case NODE_VAR:
        return readSymbol(prep, node->symbol);
    case NODE_ELEMENT:
        return readElement(prep, node);
    case NODE_CALL:
        return compileCall(prep, node);
    case NODE_END:
        if (node->left || node->right)
            break;
        {
            BlockOp op = leaf(LEAF_CONST, true);
            op.value = 0.0;
            return addOp(prep, op);
        }
    case NODE_NEG:
    case NODE_NOT: {
        if (node->left)
            break;
        int r = compileNode(prep, node->right);
        if (r < 0)
            return -1;
        BlockOp op = leaf(node->kind, program.ops[r].scalar);
        op.b = r;
        return addOp(prep, op);
    }
    case NODE_ADD: case NODE_SUB: case NODE_MUL: case NODE_DIV: case NODE_MOD: case NODE_POW:
    case NODE_COMMA: case NODE_LT: case NODE_LE: case NODE_GT: case NODE_GE: case NODE_EQ:
    case NODE_NE: case NODE_AND: case NODE_OR: case NODE_COND: {
        if (node->kind == NODE_COND && !node->condition)
            break;
        int l = compileNode(prep, node->left);
        int r = l < 0 ? -1 : compileNode(prep, node->right);
        int c = -1;
        if (r >= 0 && node->kind == NODE_COND)
            c = compileNode(prep, node->condition);
        if (r < 0 || (node->kind == NODE_COND && c < 0))
            return -1;
        bool scalar = program.ops[l].scalar && program.ops[r].scalar && (c < 0 || program.ops[c].scalar);
        BlockOp op = leaf(node->kind, scalar);
        op.a = l;
        op.b = r;
        op.c = c;
        if (node->kind == NODE_POW)
            choosePowerMode(op);
        return addOp(prep, op);
    }
    default:
        break;
    }
    prep.failed = true;
    return -1;
}

// An expression statement: an assignment to a scalar work variable gives that variable a
// new register; any other statement is computed for its errors alone.
void compileStatement(Preparation& prep, const ExprNode* tree)
{
    if (tree && tree->kind == NODE_ASSIGN && tree->left && tree->left->kind == NODE_ELEMENT) {
        const ExprNode* target = tree->left;
        const int slot = constantElementSlot(target);
        if (slot < 0 || slot >= (int)prep.slotRegister.size() || target->symbol->kind != SYM_WORK ||
            systemVariable(target->symbol)) {
            prep.failed = true;
            return;
        }
        const int value = compileNode(prep, tree->right);
        if (value >= 0) {
            prep.slotRegister[slot] = value;
            program.ops[value].root = true;
        }
        return;
    }
    if (tree && tree->kind == NODE_ASSIGN) {
        const ExprNode* target = tree->left;
        if (!target || target->kind != NODE_VAR || !target->symbol || target->symbol->kind != SYM_WORK ||
            target->symbol->dimensions != 0 || systemVariable(target->symbol) || target->symbol->slot < 0 ||
            target->symbol->slot >= (int)prep.slotRegister.size()) {
            prep.failed = true;
            return;
        }
        int value = compileNode(prep, tree->right);
        if (value >= 0) {
            prep.slotRegister[target->symbol->slot] = value;
            program.ops[value].root = true;
        }
        return;
    }
    const int value = compileNode(prep, tree);
    if (value >= 0)
        program.ops[value].root = true;
}

// ---- evaluation ----

// out = f(a, b) over count values, with either operand possibly one value for all.
template <class F>
inline void binary(double* out, const double* a, bool aScalar, const double* b, bool bScalar, int count, F f)
{
    if (!aScalar && !bScalar) {
        for (int i = 0; i < count; i++) out[i] = f(a[i], b[i]);
    } else if (aScalar) {
        const double x = a[0];
        for (int i = 0; i < count; i++) out[i] = f(x, b[i]);
    } else {
        const double y = b[0];
        for (int i = 0; i < count; i++) out[i] = f(a[i], y);
    }
}

template <class F>
inline void unary(double* out, const double* a, int count, F f)
{
    for (int i = 0; i < count; i++) out[i] = f(a[i]);
}

bool anyZero(const double* values, int count)
{
    bool zero = false;
    for (int i = 0; i < count; i++) zero |= values[i] == 0.0;
    return zero;
}

// L ** R by the evaluator's rules; *bad when it would report a negative base.
inline double powerValue(double l, double r, bool* bad)
{
    if (r == 2.0) return l * l;
    if (r == 3.0) return l * l * l;
    if (r >= 0.0 && r <= 20.0 && r == std::floor(r)) {
        double product = 1.0;
        for (int k = (int)r; k > 0; k--) product *= l;
        return product;
    }
    if (l < 0.0 && r != 0.0) {
        *bad = true;
        return 0.0;
    }
    return std::pow(l, r);
}

void evaluatePower(const BlockOp& op, double* out, const double* a, bool aScalar, const double* b, bool bScalar,
                   int count, bool* bad)
{
    const int n = aScalar ? 1 : count;
    switch (op.powerMode) {
    case POW_SQUARE:
        for (int i = 0; i < n; i++) out[i] = a[i] * a[i];
        return;
    case POW_CUBE:
        for (int i = 0; i < n; i++) out[i] = a[i] * a[i] * a[i];
        return;
    case POW_PRODUCT:
        for (int i = 0; i < n; i++) out[i] = 1.0;
        for (int k = op.powerCount; k > 0; k--)
            for (int i = 0; i < n; i++) out[i] *= a[i];
        return;
    default:
        break;
    }
    bool failed = false;
    binary(out, a, aScalar, b, bScalar, op.scalar ? 1 : count,
           [&failed](double l, double r) { return powerValue(l, r, &failed); });
    if (failed)
        *bad = true;
}

// exp, sin or cos over the block: the vector maths on runs of BLOCK_VECTOR_ROWS
// observations or more, the scalar library on shorter ones. Either holds for a whole
// solve, since the observation count does not change during one.
void elementary(VecFunction f, const double* x, double* out, int count)
{
    if (observationCount >= BLOCK_VECTOR_ROWS)
        vecmathApply(f, x, out, count);
    else
        vecmathApplyScalar(f, x, out, count);
}

// The one-argument functions models use most, over the block, with the checks of the
// built-in library; false when the function is not one of them.
bool evaluateCommonCall(int code, double* out, const double* x, int count, bool* bad)
{
    if (settings.anglesInDegrees && (code == FN_SIN || code == FN_COS))
        return false;
    switch (code) {
    case FN_EXP: {
        bool large = false;
        for (int i = 0; i < count; i++) large |= x[i] > EXP_ARG_MAX;
        *bad |= large;
        elementary(VEC_EXP, x, out, count);
        for (int i = 0; i < count; i++) out[i] = x[i] < EXP_ARG_UNDERFLOW ? 0.0 : out[i];
        return true;
    }
    case FN_SIN: elementary(VEC_SIN, x, out, count); return true;
    case FN_COS: elementary(VEC_COS, x, out, count); return true;
    case FN_ABS:
        unary(out, x, count, [](double v) { return std::fabs(v); });
        return true;
    case FN_SQRT:
        for (int i = 0; i < count; i++) *bad |= x[i] < 0.0;
        unary(out, x, count, [](double v) { return std::sqrt(v); });
        return true;
    default:
        return false;
    }
}

void evaluateCall(RunFrame* frame, const BlockOp& op, const double* const* at, double* out, int count, bool* bad)
{
    const int n = op.scalar ? 1 : count;
    if (op.argCount == 1) {
        const double* x = at[program.args[op.firstArg]];
        if (evaluateCommonCall(op.call->function, out, x, n, bad))
            return;
    }
    double args[MAX_CALL_ARGS];
    for (int i = 0; i < n; i++) {
        args[0] = args[1] = args[2] = args[3] = 0.0;
        for (int k = 0; k < op.argCount; k++) {
            const int reg = program.args[op.firstArg + k];
            args[k] = at[reg][program.ops[reg].scalar ? 0 : i];
        }
        out[i] = builtinApply(frame, op.call, args, op.argCount);
    }
}

// at[k]: the values of operation k in this block (its register, or its kept values).
void evaluateOp(RunFrame* frame, const BlockOp& op, const double* const* at, double* out, int first, int count,
                bool* bad)
{
    const double* a = op.a >= 0 ? at[op.a] : nullptr;
    const double* b = op.b >= 0 ? at[op.b] : nullptr;
    const bool as = op.a >= 0 && program.ops[op.a].scalar;
    const bool bs = op.b >= 0 && program.ops[op.b].scalar;
    const int n = op.scalar ? 1 : count;
    switch (op.kind) {
    case LEAF_CONST:
        out[0] = op.value;
        return;
    case LEAF_SLOT:
        out[0] = frame->values[op.slot];
        return;
    case LEAF_INPUT: {
        const long stride = inputVariableCount;
        const double* column = observations + (long)first * stride + op.slot;
        for (int i = 0; i < count; i++) out[i] = column[i * stride];
        return;
    }
    case NODE_CALL:
        evaluateCall(frame, op, at, out, count, bad);
        return;
    case NODE_NEG:
        unary(out, b, n, [](double r) { return -r; });
        return;
    case NODE_NOT:
        unary(out, b, n, [](double r) { return r == 0.0 ? 1.0 : 0.0; });
        return;
    case NODE_ADD: binary(out, a, as, b, bs, n, [](double l, double r) { return l + r; }); return;
    case NODE_SUB: binary(out, a, as, b, bs, n, [](double l, double r) { return l - r; }); return;
    case NODE_MUL: binary(out, a, as, b, bs, n, [](double l, double r) { return l * r; }); return;
    case NODE_DIV:
        *bad |= anyZero(b, bs ? 1 : n);
        binary(out, a, as, b, bs, n, [](double l, double r) { return l / r; });
        return;
    case NODE_MOD:
        *bad |= anyZero(b, bs ? 1 : n);
        binary(out, a, as, b, bs, n, [](double l, double r) { return std::fmod(l, r); });
        return;
    case NODE_POW:
        evaluatePower(op, out, a, as, b, bs, count, bad);
        return;
    case NODE_COMMA: binary(out, a, as, b, bs, n, [](double, double r) { return r; }); return;
    case NODE_LT: binary(out, a, as, b, bs, n, [](double l, double r) { return l < r ? 1.0 : 0.0; }); return;
    case NODE_LE: binary(out, a, as, b, bs, n, [](double l, double r) { return l <= r ? 1.0 : 0.0; }); return;
    case NODE_GT: binary(out, a, as, b, bs, n, [](double l, double r) { return l > r ? 1.0 : 0.0; }); return;
    case NODE_GE: binary(out, a, as, b, bs, n, [](double l, double r) { return l >= r ? 1.0 : 0.0; }); return;
    case NODE_EQ: binary(out, a, as, b, bs, n, [](double l, double r) { return l == r ? 1.0 : 0.0; }); return;
    case NODE_NE: binary(out, a, as, b, bs, n, [](double l, double r) { return l != r ? 1.0 : 0.0; }); return;
    case NODE_AND:
        binary(out, a, as, b, bs, n, [](double l, double r) { return (l != 0.0 && r != 0.0) ? 1.0 : 0.0; });
        return;
    case NODE_OR:
        binary(out, a, as, b, bs, n, [](double l, double r) { return (l != 0.0 || r != 0.0) ? 1.0 : 0.0; });
        return;
    case NODE_COND: {
        const double* c = at[op.c];
        const bool cs = program.ops[op.c].scalar;
        for (int i = 0; i < n; i++)
            out[i] = c[cs ? 0 : i] == 0.0 ? b[bs ? 0 : i] : a[as ? 0 : i];
        return;
    }
    default:
        *bad = true;
        return;
    }
}

// An operation worth keeping: computed per observation, costly, and independent of at
// least one parameter (so some Jacobian column can take it).
bool keepable(const BlockOp& op, uint64_t allParameters)
{
    if (op.scalar || (op.parameters & allParameters) == allParameters)
        return false;
    return op.kind == NODE_CALL || (op.kind == NODE_POW && op.powerMode == POW_GENERAL);
}

// Picks the operations that keep values: those independent of the most parameters
// first, then in program order, up to half as many as there are parameters (the memory
// of half the Jacobian) and MAX_KEPT_BYTES.
void chooseKept()
{
    const int rows = observationCount;
    if (parameterCount < 1 || parameterCount > MAX_KEPT_PARAMETERS || rows < 1)
        return;
    const uint64_t all = parameterCount == 64 ? ~uint64_t{0} : (uint64_t{1} << parameterCount) - 1;
    const size_t rowBytes = (size_t)rows * sizeof(double);
    const int budget = (int)std::min<size_t>((size_t)std::max(1, parameterCount / 2), MAX_KEPT_BYTES / rowBytes);
    std::vector<int> chosen;
    for (int free = parameterCount; free >= 1 && (int)chosen.size() < budget; free--)
        for (int k = 0; k < program.opCount && (int)chosen.size() < budget; k++)
            if (keepable(program.ops[k], all) && parameterCount - std::popcount(program.ops[k].parameters & all) == free)
                chosen.push_back(k);
    if (chosen.empty())
        return;
    kept.values = memalloc_doubles(chosen.size() * (size_t)rows, "kept");
    if (!kept.values)
        return;
    kept.rows = rows;
    kept.count = (int)chosen.size();
    kept.valid = false;
    for (int i = 0; i < kept.count; i++)
        program.ops[chosen[i]].kept = i;
}

// Bit j set: parameter j of frame differs from the kept point (bit for bit, so that a
// kept value is only ever taken for exactly the operands it was computed from).
uint64_t movedParameters(const RunFrame* frame)
{
    uint64_t moved = 0;
    for (int j = 0; j < parameterCount && j < MAX_KEPT_PARAMETERS; j++) {
        const double value = frame->values[parameters[j]->slot];
        if (std::memcmp(&value, &kept.point[j], sizeof value) != 0)
            moved |= uint64_t{1} << j;
    }
    return moved;
}

// What each operation does in one block: compute it, take its kept values, or nothing
// (only kept values needed it). Roots are always needed; operands of a computed
// operation are needed. Constants and parameters (one value) are always computed.
enum OpMode : unsigned char { OP_SKIP, OP_COMPUTE, OP_TAKE };

void planBlock(const RunFrame* frame, unsigned char* modes)
{
    const uint64_t moved = kept.valid ? movedParameters(frame) : ~uint64_t{0};
    for (int k = 0; k < program.opCount; k++)
        modes[k] = program.ops[k].root || program.ops[k].scalar ? OP_COMPUTE : OP_SKIP;
    for (int k = program.opCount - 1; k >= 0; k--) {
        const BlockOp& op = program.ops[k];
        if (modes[k] == OP_SKIP)
            continue;
        if (op.kept >= 0 && kept.valid && (op.parameters & moved) == 0) {
            modes[k] = OP_TAKE;
            continue;
        }
        for (int reg : {op.a, op.b, op.c})
            if (reg >= 0 && modes[reg] == OP_SKIP)
                modes[reg] = OP_COMPUTE;
        if (op.kind == NODE_CALL)
            for (int i = 0; i < op.argCount; i++)
                if (modes[program.args[op.firstArg + i]] == OP_SKIP)
                    modes[program.args[op.firstArg + i]] = OP_COMPUTE;
    }
}

// ---- statements and IF/ELSE ----

// The position of ip in emission order; a jump to the very next position (the link from
// one code segment to the next) is passed through.
int positionOf(const Instruction* ip)
{
    return ip ? instructionIndex(ip) : -1;
}

bool isLinkJump(const Instruction* ip)
{
    return ip->opcode == OP_JUMP && positionOf((const Instruction*)ip->operand1) == positionOf(ip) + 1;
}

// The instruction at position, reached from ip (at or before it) through plain steps and
// segment links; null when it is not on that straight path.
const Instruction* instructionAt(const Instruction* ip, int position)
{
    while (ip && positionOf(ip) < position)
        ip = isLinkJump(ip) ? (const Instruction*)ip->operand1 : ip + 1;
    return ip && positionOf(ip) == position ? ip : nullptr;
}

void compileRegion(Preparation& prep, const Instruction* ip, int end);

// IF (condition) ... [ELSE ...]: both branches are compiled for every observation and
// each work variable they set takes, per observation, the value of the branch its
// condition chose (a conditional operation, which picks values and computes nothing). A
// variable set in one branch only keeps its earlier value in the other; if it had none,
// it may not be read afterwards. Errors of a branch not taken make the block fall back
// to the per-observation path, which runs only the branch taken. Returns the instruction
// after the statement, or null.
const Instruction* compileIf(Preparation& prep, const Instruction* ip)
{
    const int here = positionOf(ip);
    const Instruction* elseStart = (const Instruction*)ip->operand2;
    const int elsePosition = positionOf(elseStart);
    if (elsePosition <= here) {
        prep.failed = true;
        return nullptr;
    }
    const int condition = compileNode(prep, (const ExprNode*)ip->operand1);
    if (condition < 0)
        return nullptr;
    program.ops[condition].root = true;
    // The then branch ends with a jump over the else branch when there is one (segment
    // links may follow that jump).
    int thenEnd = elsePosition;
    int end = elsePosition;
    for (int k = elsePosition - 1; k > here; k--) {
        const Instruction* last = instructionAt(ip, k);
        if (!last)
            break;
        if (isLinkJump(last))
            continue;
        if (last->opcode == OP_JUMP && positionOf((const Instruction*)last->operand1) > elsePosition) {
            thenEnd = k;
            end = positionOf((const Instruction*)last->operand1);
        }
        break;
    }
    const std::vector<int> before = prep.slotRegister;
    compileRegion(prep, ip + 1, thenEnd);
    const std::vector<int> taken = prep.slotRegister;
    prep.slotRegister = before;
    if (end > elsePosition)
        compileRegion(prep, elseStart, end);
    if (prep.failed)
        return nullptr;
    for (size_t slot = 0; slot < taken.size(); slot++) {
        const int other = prep.slotRegister[slot];
        if (taken[slot] == other)
            continue;
        if (taken[slot] < 0 || other < 0) {
            prep.slotRegister[slot] = -1;
            continue;
        }
        BlockOp op = leaf(NODE_COND, program.ops[condition].scalar && program.ops[taken[slot]].scalar &&
                                         program.ops[other].scalar);
        op.a = taken[slot];
        op.b = other;
        op.c = condition;
        prep.slotRegister[slot] = addOp(prep, op);
    }
    return instructionAt(elseStart, end);
}

// The statements from ip up to position end (-1: to the end of the program).
void compileRegion(Preparation& prep, const Instruction* ip, int end)
{
    while (ip && !prep.failed) {
        if (++prep.steps > MAX_STEPS) {
            prep.failed = true;
            return;
        }
        if (end >= 0 && positionOf(ip) >= end)
            return;
        switch (ip->opcode) {
        case OP_STOP:
            // The end of the program; a STOP inside a branch ends some observations early.
            if (end >= 0)
                prep.failed = true;
            return;
        case OP_LINE:
            ip++;
            break;
        case OP_JUMP:
            if (!isLinkJump(ip)) {
                prep.failed = true;
                return;
            }
            ip = (const Instruction*)ip->operand1;
            break;
        case OP_JUMP_IF_FALSE:
            ip = compileIf(prep, ip);
            if (!ip)
                prep.failed = true;
            break;
        case OP_EXPR:
            compileStatement(prep, (const ExprNode*)ip->operand1);
            ip++;
            break;
        case OP_FUNCTION: {
            // Inside a branch the function value would not be set in every observation.
            if (prep.functionSeen || end >= 0) {
                prep.failed = true;
                return;
            }
            prep.functionSeen = true;
            program.predicted = compileNode(prep, (const ExprNode*)ip->operand2);
            const Symbol* dependent = (const Symbol*)ip->operand1;
            program.observed = dependent ? readSymbol(prep, dependent) : -1;
            if (program.predicted >= 0)
                program.ops[program.predicted].root = true;
            if (program.observed >= 0)
                program.ops[program.observed].root = true;
            ip++;
            break;
        }
        default:
            prep.failed = true;
            return;
        }
    }
}

}  // namespace

bool blockPrepare(const Instruction* entry)
{
    blockRelease();
    Preparation prep;
    prep.slotRegister.assign((size_t)(slotCount > 0 ? slotCount : 1), -1);
    prep.leafRegister.assign((size_t)(slotCount > 0 ? slotCount : 1), -1);
    prep.failed = exprCallsFunction(FN_RANDOM) || exprCallsFunction(FN_PRINTF) ||
                  exprCallsFunction(FN_RETURN) || !entry;
    prep.functionSeen = false;
    prep.steps = 0;
    if (!prep.failed)
        compileRegion(prep, entry, -1);
    program.available = !prep.failed && prep.functionSeen && program.predicted >= 0;
    if (!program.available)
        blockRelease();
    else
        chooseKept();
    return program.available;
}

bool blockAvailable()
{
    return program.available;
}

void blockRelease()
{
    if (kept.values)
        memfree(kept.values);
    kept.values = nullptr;
    kept.count = 0;
    kept.rows = 0;
    kept.valid = false;
    for (int k = 0; k < program.opCount; k++)
        program.ops[k].kept = -1;
    program.available = false;
    program.opCount = 0;
    program.argCount = 0;
    program.predicted = -1;
    program.observed = -1;
}

int blockValues(RunFrame* frame, int first, int count, double* predicted, double* observed)
{
    if (!program.available || abortRequested.load(std::memory_order_relaxed))
        return BLOCK_FAILED;
    const long needed = (long)program.opCount * BLOCK_ROWS;
    if (frame->blockCapacity < needed) {
        if (frame->block)
            memfree(frame->block);
        frame->block = memalloc_doubles((size_t)needed, "block");
        frame->blockCapacity = frame->block ? needed : 0;
        if (!frame->block)
            return BLOCK_FAILED;
    }
    double* registers = frame->block;
    const bool quiet = frame->quiet;
    frame->quiet = true;
    frame->runFailed = false;
    frame->currentLine = nullptr;
    bool bad = false;
    unsigned char modes[MAX_BLOCK_OPS];
    const double* at[MAX_BLOCK_OPS];
    if (kept.count > 0)
        planBlock(frame, modes);
    for (int k = 0; k < program.opCount && !bad; k++) {
        const BlockOp& op = program.ops[k];
        double* out = registers + (long)k * BLOCK_ROWS;
        at[k] = out;
        if (kept.count == 0) {
            evaluateOp(frame, op, at, out, first, count, &bad);
            continue;
        }
        if (modes[k] == OP_SKIP)
            continue;
        double* keep = op.kept >= 0 ? kept.values + (long)op.kept * kept.rows + first : nullptr;
        if (modes[k] == OP_TAKE) {
            at[k] = keep;
            continue;
        }
        evaluateOp(frame, op, at, out, first, count, &bad);
        if (keep && frame->blockStore && !bad)
            memcpy(keep, out, sizeof(double) * (size_t)count);
    }
    frame->quiet = quiet;
    if (bad || frame->runFailed) {
        frame->runFailed = false;
        return BLOCK_FAILED;
    }
    const double* p = at[program.predicted];
    const bool pScalar = program.ops[program.predicted].scalar;
    for (int i = 0; i < count; i++)
        predicted[i] = p[pScalar ? 0 : i];
    if (program.observed < 0) {
        for (int i = 0; i < count; i++)
            observed[i] = 0.0;
        return BLOCK_OK;
    }
    const double* o = at[program.observed];
    const bool oScalar = program.ops[program.observed].scalar;
    for (int i = 0; i < count; i++)
        observed[i] = o[oScalar ? 0 : i];
    return BLOCK_OK;
}

void blockStoreBegin(RunFrame* frame)
{
    frame->blockStore = false;
    if (!program.available || kept.count == 0 || kept.rows != observationCount || !frame->values)
        return;
    frame->blockStore = !kept.valid || std::popcount(movedParameters(frame)) >= 2;
}

void blockStoreEnd(RunFrame* frame, bool complete)
{
    if (!frame->blockStore)
        return;
    frame->blockStore = false;
    kept.valid = complete;
    if (!complete)
        return;
    for (int j = 0; j < parameterCount && j < MAX_KEPT_PARAMETERS; j++)
        kept.point[j] = frame->values[parameters[j]->slot];
}

int blockResiduals(RunFrame* frame, int first, int count, double* r)
{
    double observed[BLOCK_ROWS];
    if (blockValues(frame, first, count, r, observed) != BLOCK_OK)
        return BLOCK_FAILED;
    for (int i = 0; i < count; i++)
        r[i] = r[i] - observed[i];
    return BLOCK_OK;
}
