// The block form of a program: its operations over registers and their operands. The
// translation of compiled code (blocktranslate.cpp) builds it; the evaluation and the
// kept values (block.cpp) run it. Only these two files include this header.
#pragma once

#include <cstdint>

struct ExprNode;

constexpr int MAX_BLOCK_OPS = 2000;       // operations of one program
constexpr int MAX_BLOCK_ARGS = 4000;      // call arguments of one program
constexpr int MAX_CALL_ARGS = 30;         // as the evaluator's argument buffer
constexpr int MAX_KEPT_PARAMETERS = 64;   // parameters one dependency mask covers

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

extern BlockProgram blockProgram;

// Chooses the operations that keep values and allocates their room (block.cpp).
void blockChooseKept();
