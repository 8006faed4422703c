// Statement compiler: the compile entry, statement dispatch, control flow, the
// FUNCTION statement, the segmented instruction code and the whole-program checks.
#pragma once

#include <string>

#include "lang/statement.h"

struct LineSource;
struct SourceLine;
struct Token;

// ORDER OPCODE: opcodes of the generated code.
enum Opcode {
    OP_JUMP_IF_FALSE = 2,       // operand1 tree, operand2 target instruction
    OP_JUMP = 3,                // operand1 target instruction
    OP_LINE = 5,                // operand1 SourceLine of the statement
    OP_STOP = 6,                // end of this run of the program
    OP_EXPR = 19,               // operand1 tree, value discarded
    OP_FUNCTION = 20            // operand1 dependent Symbol or null, operand2 tree
};

constexpr int CODE_SEGMENT_SLOTS = 500;
constexpr int MAX_LOOP_DEPTH = 29;

struct Instruction {
    int opcode;                 // Opcode
    void* operand1;             // meaning depends on the opcode
    void* operand2;             // meaning depends on the opcode
};

// Compiles the whole program read through source. Returns the entry instruction, or
// null when any compile error was counted (the code is then freed).
Instruction* compileProgram(const LineSource* source);
Instruction* programEntry();    // entry of the last successful compile, or null
void compileStatement();
Instruction* emit(int opcode, void* operand1, void* operand2);
Instruction* emitLine(const Token* token);
void freeCode();

// Position of an instruction in emission order (segments counted one after another), or
// -1 when it is not in the code.
int instructionIndex(const Instruction* instruction);

// A stable text form of the generated code, one instruction a line, for tests and traces.
std::string codeDump(const Instruction* entry);

// Releases everything one compile built: code, trees, tokens, source lines, symbols,
// settings lists, plots and observations.
void compilerReleaseAll();
