// Block evaluation of observation-independent programs. blockPrepare (blocktranslate.cpp)
// turns the straight line of statements into a list of operations over registers (one
// register per operation, BLOCK_ROWS values each, or one value when it is the same for
// every observation: constants, parameters and what is computed from them alone).
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

#include "exec/blockprogram.h"
#include "exec/builtins.h"
#include "exec/interpreter.h"
#include "exec/tangent.h"
#include "exec/vecmath.h"
#include "lang/compiler.h"
#include "lang/data.h"
#include "lang/options.h"
#include "lang/parser.h"
#include "lang/symbols.h"
#include "support/allocator.h"

BlockProgram blockProgram;

namespace {

constexpr double EXP_ARG_MAX = 500.0;       // as the built-in EXP
constexpr double EXP_ARG_UNDERFLOW = -700.0;

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
        const double* x = at[blockProgram.args[op.firstArg]];
        if (evaluateCommonCall(op.call->function, out, x, n, bad))
            return;
    }
    double args[MAX_CALL_ARGS];
    for (int i = 0; i < n; i++) {
        args[0] = args[1] = args[2] = args[3] = 0.0;
        for (int k = 0; k < op.argCount; k++) {
            const int reg = blockProgram.args[op.firstArg + k];
            args[k] = at[reg][blockProgram.ops[reg].scalar ? 0 : i];
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
    const bool as = op.a >= 0 && blockProgram.ops[op.a].scalar;
    const bool bs = op.b >= 0 && blockProgram.ops[op.b].scalar;
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
        const bool cs = blockProgram.ops[op.c].scalar;
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
    for (int k = 0; k < blockProgram.opCount; k++)
        modes[k] = blockProgram.ops[k].root || blockProgram.ops[k].scalar ? OP_COMPUTE : OP_SKIP;
    for (int k = blockProgram.opCount - 1; k >= 0; k--) {
        const BlockOp& op = blockProgram.ops[k];
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
                if (modes[blockProgram.args[op.firstArg + i]] == OP_SKIP)
                    modes[blockProgram.args[op.firstArg + i]] = OP_COMPUTE;
    }
}

}  // namespace

// Picks the operations that keep values: those independent of the most parameters
// first, then in program order, up to half as many as there are parameters (the memory
// of half the Jacobian) and MAX_KEPT_BYTES.
void blockChooseKept()
{
    const int rows = observationCount;
    if (parameterCount < 1 || parameterCount > MAX_KEPT_PARAMETERS || rows < 1)
        return;
    const uint64_t all = parameterCount == 64 ? ~uint64_t{0} : (uint64_t{1} << parameterCount) - 1;
    const size_t rowBytes = (size_t)rows * sizeof(double);
    const int budget = (int)std::min<size_t>((size_t)std::max(1, parameterCount / 2), MAX_KEPT_BYTES / rowBytes);
    std::vector<int> chosen;
    for (int free = parameterCount; free >= 1 && (int)chosen.size() < budget; free--)
        for (int k = 0; k < blockProgram.opCount && (int)chosen.size() < budget; k++)
            if (keepable(blockProgram.ops[k], all) && parameterCount - std::popcount(blockProgram.ops[k].parameters & all) == free)
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
        blockProgram.ops[chosen[i]].kept = i;
}

bool blockAvailable()
{
    return blockProgram.available;
}

void blockRelease()
{
    if (kept.values)
        memfree(kept.values);
    kept.values = nullptr;
    kept.count = 0;
    kept.rows = 0;
    kept.valid = false;
    for (int k = 0; k < blockProgram.opCount; k++)
        blockProgram.ops[k].kept = -1;
    blockProgram.available = false;
    blockProgram.opCount = 0;
    blockProgram.argCount = 0;
    blockProgram.predicted = -1;
    blockProgram.observed = -1;
}

int blockValues(RunFrame* frame, int first, int count, double* predicted, double* observed)
{
    if (!blockProgram.available || abortRequested.load(std::memory_order_relaxed))
        return BLOCK_FAILED;
    const long needed = (long)blockProgram.opCount * BLOCK_ROWS;
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
    for (int k = 0; k < blockProgram.opCount && !bad; k++) {
        const BlockOp& op = blockProgram.ops[k];
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
    const double* p = at[blockProgram.predicted];
    const bool pScalar = blockProgram.ops[blockProgram.predicted].scalar;
    for (int i = 0; i < count; i++)
        predicted[i] = p[pScalar ? 0 : i];
    if (blockProgram.observed < 0) {
        for (int i = 0; i < count; i++)
            observed[i] = 0.0;
        return BLOCK_OK;
    }
    const double* o = at[blockProgram.observed];
    const bool oScalar = blockProgram.ops[blockProgram.observed].scalar;
    for (int i = 0; i < count; i++)
        observed[i] = o[oScalar ? 0 : i];
    return BLOCK_OK;
}

void blockStoreBegin(RunFrame* frame)
{
    frame->blockStore = false;
    if (!blockProgram.available || kept.count == 0 || kept.rows != observationCount || !frame->values)
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

namespace {

// Tangent of every operation over the block: T(k, j) holds d value_i / d x_j for the
// count observations; mask[k] bit j says it may be nonzero (otherwise it is not written).
struct BlockTangents {
    double* base;
    int p;
    double* at(int k, int j) const { return base + ((long)k * p + j) * BLOCK_ROWS; }
};

inline double valueAt(const double* const* at, int k, int i)
{
    return at[k][blockProgram.ops[k].scalar ? 0 : i];
}

// out_i = da * Ta_i + db * Tb_i over the block, a term left out where its operand does
// not depend on parameter j.
template <class F>
void chain(const BlockTangents& t, const uint64_t* mask, const BlockOp& op, int j, int count, double* out, F partials)
{
    const bool ta = op.a >= 0 && (mask[op.a] >> j & 1);
    const bool tb = op.b >= 0 && (mask[op.b] >> j & 1);
    const double* a = ta ? t.at(op.a, j) : nullptr;
    const double* b = tb ? t.at(op.b, j) : nullptr;
    for (int i = 0; i < count; i++) {
        double da = 0.0, db = 0.0;
        partials(i, &da, &db);
        out[i] = (ta ? da * a[i] : 0.0) + (tb ? db * b[i] : 0.0);
    }
}

// The tangent of operation k for parameter j (its operands' tangents done).
void tangentOp(const BlockTangents& t, const uint64_t* mask, const double* const* at, const double* partials, int k,
               int j, int count)
{
    const BlockOp& op = blockProgram.ops[k];
    double* out = t.at(k, j);
    switch (op.kind) {
    case LEAF_SLOT:
        for (int i = 0; i < count; i++) out[i] = 1.0;   // only a parameter's own leaf depends on it
        return;
    case NODE_NEG:
        chain(t, mask, op, j, count, out, [](int, double*, double* db) { *db = -1.0; });
        return;
    case NODE_ADD:
        chain(t, mask, op, j, count, out, [](int, double* da, double* db) { *da = 1.0; *db = 1.0; });
        return;
    case NODE_SUB:
        chain(t, mask, op, j, count, out, [](int, double* da, double* db) { *da = 1.0; *db = -1.0; });
        return;
    case NODE_COMMA:
        chain(t, mask, op, j, count, out, [](int, double*, double* db) { *db = 1.0; });
        return;
    case NODE_MUL:
        chain(t, mask, op, j, count, out, [&](int i, double* da, double* db) {
            *da = valueAt(at, op.b, i);
            *db = valueAt(at, op.a, i);
        });
        return;
    case NODE_DIV:
        chain(t, mask, op, j, count, out, [&](int i, double* da, double* db) {
            const double r = valueAt(at, op.b, i);
            *da = 1.0 / r;
            *db = -valueAt(at, k, i) / r;
        });
        return;
    case NODE_MOD:
        chain(t, mask, op, j, count, out, [&](int i, double* da, double* db) {
            *da = 1.0;
            *db = -std::trunc(valueAt(at, op.a, i) / valueAt(at, op.b, i));
        });
        return;
    case NODE_POW:
        for (int i = 0; i < count; i++) {
            const double tl = op.a >= 0 && (mask[op.a] >> j & 1) ? t.at(op.a, j)[i] : 0.0;
            const double tr = op.b >= 0 && (mask[op.b] >> j & 1) ? t.at(op.b, j)[i] : 0.0;
            const double l = valueAt(at, op.a, i);
            const double r = op.b >= 0 ? valueAt(at, op.b, i) : 0.0;
            tangentPower(l, r, valueAt(at, k, i), &tl, &tr, &out[i], 1);
        }
        return;
    case NODE_COND:
        for (int i = 0; i < count; i++) {
            const bool left = valueAt(at, op.c, i) != 0.0;
            const int reg = left ? op.a : op.b;
            out[i] = reg >= 0 && (mask[reg] >> j & 1) ? t.at(reg, j)[i] : 0.0;
        }
        return;
    case NODE_CALL: {
        for (int i = 0; i < count; i++) out[i] = 0.0;
        for (int m = 0; m < op.argCount; m++) {
            const int reg = blockProgram.args[op.firstArg + m];
            if (!(mask[reg] >> j & 1))
                continue;
            const double* d = partials + (long)m * BLOCK_ROWS;
            const double* ta = t.at(reg, j);
            for (int i = 0; i < count; i++) out[i] += d[i] * ta[i];
        }
        return;
    }
    default:   // comparisons and logic: the branch taken, slope 0
        for (int i = 0; i < count; i++) out[i] = 0.0;
        return;
    }
}

// The partial derivatives of call k in each argument, over the block: argument m's at
// partials[m * BLOCK_ROWS + i]. The common one-argument functions by the vector maths.
void callPartials(RunFrame* frame, const double* const* at, int k, int count, double* partials)
{
    const BlockOp& op = blockProgram.ops[k];
    const int code = op.call->function;
    if (op.argCount == 1 && !settings.anglesInDegrees && (code == FN_EXP || code == FN_SIN || code == FN_COS)) {
        const int reg = blockProgram.args[op.firstArg];
        const double* x = at[reg];
        if (code == FN_EXP) {
            for (int i = 0; i < count; i++) partials[i] = valueAt(at, k, i);
            return;
        }
        if (!blockProgram.ops[reg].scalar) {
            elementary(code == FN_SIN ? VEC_COS : VEC_SIN, x, partials, count);
            if (code == FN_COS)
                for (int i = 0; i < count; i++) partials[i] = -partials[i];
            return;
        }
    }
    double args[MAX_CALL_ARGS];
    double d[MAX_CALL_ARGS];
    for (int i = 0; i < count; i++) {
        args[0] = args[1] = args[2] = args[3] = 0.0;
        for (int m = 0; m < op.argCount; m++)
            args[m] = valueAt(at, blockProgram.args[op.firstArg + m], i);
        tangentPartials(frame, op.call, args, op.argCount, valueAt(at, k, i), d);
        for (int m = 0; m < op.argCount; m++)
            partials[(long)m * BLOCK_ROWS + i] = d[m];
    }
}

}  // namespace

int blockJacobian(RunFrame* frame, TangentFrame* tangent, int first, int count, double* jac, long n)
{
    const int p = tangent->p;
    if (!blockProgram.available || p > MAX_KEPT_PARAMETERS || p < 1 || abortRequested.load(std::memory_order_relaxed))
        return BLOCK_FAILED;
    const long needed = (long)blockProgram.opCount * BLOCK_ROWS;
    const long tangentNeeded = needed * p;
    const long partialsNeeded = (long)MAX_CALL_ARGS * BLOCK_ROWS;   // after the tangents
    if (frame->blockCapacity < needed) {
        if (frame->block)
            memfree(frame->block);
        frame->block = memalloc_doubles((size_t)needed, "block");
        frame->blockCapacity = frame->block ? needed : 0;
    }
    if (tangent->blockCapacity < tangentNeeded + partialsNeeded) {
        if (tangent->block)
            memfree(tangent->block);
        tangent->block = memalloc_doubles((size_t)(tangentNeeded + partialsNeeded), "tang");
        tangent->blockCapacity = tangent->block ? tangentNeeded + partialsNeeded : 0;
    }
    if (!frame->block || !tangent->block)
        return BLOCK_FAILED;
    const bool quiet = frame->quiet;
    frame->quiet = true;
    frame->runFailed = false;
    frame->currentLine = nullptr;
    bool bad = false;
    const double* at[MAX_BLOCK_OPS];
    uint64_t mask[MAX_BLOCK_OPS];
    const BlockTangents t{tangent->block, p};
    for (int k = 0; k < blockProgram.opCount && !bad; k++) {
        const BlockOp& op = blockProgram.ops[k];
        double* out = frame->block + (long)k * BLOCK_ROWS;
        at[k] = out;
        evaluateOp(frame, op, at, out, first, count, &bad);
        uint64_t m = 0;
        if (op.kind == LEAF_SLOT) {
            for (int j = 0; j < p; j++)
                if (parameters[j]->slot == op.slot)
                    m |= uint64_t{1} << j;
        } else if (op.kind != LEAF_CONST && op.kind != LEAF_INPUT) {
            for (int reg : {op.a, op.b, op.c})
                if (reg >= 0 && op.kind != NODE_COND) m |= mask[reg];
            if (op.kind == NODE_COND)
                m = (op.a >= 0 ? mask[op.a] : 0) | (op.b >= 0 ? mask[op.b] : 0);
            if (op.kind == NODE_CALL)
                for (int a = 0; a < op.argCount; a++)
                    m |= mask[blockProgram.args[op.firstArg + a]];
        }
        mask[k] = m;
        if (m != 0 && op.kind == NODE_CALL && !bad)
            callPartials(frame, at, k, count, tangent->block + tangentNeeded);
        for (int j = 0; j < p && !bad; j++)
            if (m >> j & 1)
                tangentOp(t, mask, at, tangent->block + tangentNeeded, k, j, count);
    }
    frame->quiet = quiet;
    if (bad || frame->runFailed) {
        frame->runFailed = false;
        return BLOCK_FAILED;
    }
    const int predicted = blockProgram.predicted;
    const int observed = blockProgram.observed;
    for (int j = 0; j < p; j++) {
        double* column = jac + (long)j * n + first;
        const bool tp = mask[predicted] >> j & 1;
        const bool to = observed >= 0 && (mask[observed] >> j & 1);
        for (int i = 0; i < count; i++) {
            column[i] = (tp ? t.at(predicted, j)[i] : 0.0) - (to ? t.at(observed, j)[i] : 0.0);
            if (!std::isfinite(column[i]))
                return BLOCK_FAILED;
        }
    }
    return BLOCK_OK;
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
