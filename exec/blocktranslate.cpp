// Translation of compiled code into the block form: the straight line of statements
// and IF/ELSE statements becomes a list of operations over registers, or the program
// does not qualify (see block.h for the rules).
#include "exec/block.h"

#include <cmath>
#include <cstdint>
#include <vector>

#include "exec/blockprogram.h"
#include "exec/builtins.h"
#include "lang/compiler.h"
#include "lang/parser.h"
#include "lang/symbols.h"

namespace {

constexpr int MAX_STEPS = 100000;           // instructions walked while preparing

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
    if (blockProgram.opCount >= MAX_BLOCK_OPS) {
        prep.failed = true;
        return -1;
    }
    blockProgram.ops[blockProgram.opCount] = op;
    blockProgram.ops[blockProgram.opCount].parameters |= operandParameters(op);
    return blockProgram.opCount++;
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
            mask |= blockProgram.ops[reg].parameters;
    if (op.kind == NODE_CALL)
        for (int k = 0; k < op.argCount; k++)
            mask |= blockProgram.ops[blockProgram.args[op.firstArg + k]].parameters;
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

int translateNode(Preparation& prep, const ExprNode* node);

int translateCall(Preparation& prep, const ExprNode* node)
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
        regs[count] = translateNode(prep, arg);
        if (regs[count] < 0)
            return -1;
        scalar = scalar && blockProgram.ops[regs[count]].scalar;
        count++;
    }
    if (blockProgram.argCount + count > MAX_BLOCK_ARGS) {
        prep.failed = true;
        return -1;
    }
    BlockOp op = leaf(NODE_CALL, scalar);
    op.call = node;
    op.firstArg = blockProgram.argCount;
    op.argCount = count;
    for (int k = 0; k < count; k++)
        blockProgram.args[blockProgram.argCount++] = regs[k];
    return addOp(prep, op);
}

// A constant whole exponent picks its rule once: 2 and 3 first, then 0 to 20 by
// repeated multiplication.
void choosePowerMode(BlockOp& op)
{
    op.powerMode = POW_GENERAL;
    const BlockOp& exponent = blockProgram.ops[op.b];
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

int translateNode(Preparation& prep, const ExprNode* node)
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
        return translateCall(prep, node);
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
        int r = translateNode(prep, node->right);
        if (r < 0)
            return -1;
        BlockOp op = leaf(node->kind, blockProgram.ops[r].scalar);
        op.b = r;
        return addOp(prep, op);
    }
    case NODE_ADD: case NODE_SUB: case NODE_MUL: case NODE_DIV: case NODE_MOD: case NODE_POW:
    case NODE_COMMA: case NODE_LT: case NODE_LE: case NODE_GT: case NODE_GE: case NODE_EQ:
    case NODE_NE: case NODE_AND: case NODE_OR: case NODE_COND: {
        if (node->kind == NODE_COND && !node->condition)
            break;
        int l = translateNode(prep, node->left);
        int r = l < 0 ? -1 : translateNode(prep, node->right);
        int c = -1;
        if (r >= 0 && node->kind == NODE_COND)
            c = translateNode(prep, node->condition);
        if (r < 0 || (node->kind == NODE_COND && c < 0))
            return -1;
        bool scalar = blockProgram.ops[l].scalar && blockProgram.ops[r].scalar && (c < 0 || blockProgram.ops[c].scalar);
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
void translateStatement(Preparation& prep, const ExprNode* tree)
{
    if (tree && tree->kind == NODE_ASSIGN && tree->left && tree->left->kind == NODE_ELEMENT) {
        const ExprNode* target = tree->left;
        const int slot = constantElementSlot(target);
        if (slot < 0 || slot >= (int)prep.slotRegister.size() || target->symbol->kind != SYM_WORK ||
            systemVariable(target->symbol)) {
            prep.failed = true;
            return;
        }
        const int value = translateNode(prep, tree->right);
        if (value >= 0) {
            prep.slotRegister[slot] = value;
            blockProgram.ops[value].root = true;
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
        int value = translateNode(prep, tree->right);
        if (value >= 0) {
            prep.slotRegister[target->symbol->slot] = value;
            blockProgram.ops[value].root = true;
        }
        return;
    }
    const int value = translateNode(prep, tree);
    if (value >= 0)
        blockProgram.ops[value].root = true;
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

void translateRegion(Preparation& prep, const Instruction* ip, int end);

// IF (condition) ... [ELSE ...]: both branches are compiled for every observation and
// each work variable they set takes, per observation, the value of the branch its
// condition chose (a conditional operation, which picks values and computes nothing). A
// variable set in one branch only keeps its earlier value in the other; if it had none,
// it may not be read afterwards. Errors of a branch not taken make the block fall back
// to the per-observation path, which runs only the branch taken. Returns the instruction
// after the statement, or null.
const Instruction* translateIf(Preparation& prep, const Instruction* ip)
{
    const int here = positionOf(ip);
    const Instruction* elseStart = (const Instruction*)ip->operand2;
    const int elsePosition = positionOf(elseStart);
    if (elsePosition <= here) {
        prep.failed = true;
        return nullptr;
    }
    const int condition = translateNode(prep, (const ExprNode*)ip->operand1);
    if (condition < 0)
        return nullptr;
    blockProgram.ops[condition].root = true;
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
    translateRegion(prep, ip + 1, thenEnd);
    const std::vector<int> taken = prep.slotRegister;
    prep.slotRegister = before;
    if (end > elsePosition)
        translateRegion(prep, elseStart, end);
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
        BlockOp op = leaf(NODE_COND, blockProgram.ops[condition].scalar && blockProgram.ops[taken[slot]].scalar &&
                                         blockProgram.ops[other].scalar);
        op.a = taken[slot];
        op.b = other;
        op.c = condition;
        prep.slotRegister[slot] = addOp(prep, op);
    }
    return instructionAt(elseStart, end);
}

// The statements from ip up to position end (-1: to the end of the program).
void translateRegion(Preparation& prep, const Instruction* ip, int end)
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
            ip = translateIf(prep, ip);
            if (!ip)
                prep.failed = true;
            break;
        case OP_EXPR:
            translateStatement(prep, (const ExprNode*)ip->operand1);
            ip++;
            break;
        case OP_FUNCTION: {
            // Inside a branch the function value would not be set in every observation.
            if (prep.functionSeen || end >= 0) {
                prep.failed = true;
                return;
            }
            prep.functionSeen = true;
            blockProgram.predicted = translateNode(prep, (const ExprNode*)ip->operand2);
            const Symbol* dependent = (const Symbol*)ip->operand1;
            blockProgram.observed = dependent ? readSymbol(prep, dependent) : -1;
            if (blockProgram.predicted >= 0)
                blockProgram.ops[blockProgram.predicted].root = true;
            if (blockProgram.observed >= 0)
                blockProgram.ops[blockProgram.observed].root = true;
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
        translateRegion(prep, entry, -1);
    blockProgram.available = !prep.failed && prep.functionSeen && blockProgram.predicted >= 0;
    if (!blockProgram.available)
        blockRelease();
    else
        blockChooseKept();
    return blockProgram.available;
}
