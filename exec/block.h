// Block evaluation: a program whose observations do not depend on each other is run over
// a block of observations at once, one operation of its trees at a time over the whole
// block, with the arithmetic of the per-observation path.
//
// A program qualifies when its code is assignments to scalar work variables, expression
// statements and IF/ELSE statements of these, with one FUNCTION statement outside any
// IF, every work variable is written before it is read in the same observation, and it
// calls no RANDOM, PRINTF or RETURN, reads neither "Obs" nor "Predicted" nor "Residual",
// has no loop, STOP inside an IF, compound assignment or increment, and subscripts array
// elements by constants only (an element is then a variable of its own; the elements of
// an array the program never writes keep their declared values).
// Everything else keeps the per-observation path, which stays the reference.
//
// The arithmetic is the per-observation path's, operation for operation, so the results
// are the same to the last bit; from BLOCK_VECTOR_ROWS observations on, exp, sin and cos
// are the vector maths' (within a unit in the last place of the scalar library's).
#pragma once

struct Instruction;
struct RunFrame;

constexpr int BLOCK_ROWS = 256;     // observations evaluated at once
// Observations from which exp, sin and cos take the vector maths, whose values may differ
// from the scalar library's in the last bit. Below it the block path gives the
// per-observation path's results to the last bit: there the vector maths would save
// little, and last-bit differences move the answers of ill-conditioned small problems.
constexpr int BLOCK_VECTOR_ROWS = 10000;

enum BlockStatus {
    BLOCK_OK = 0,           // residuals computed
    BLOCK_FAILED = 1,       // a runtime error, or Cancel: run this block per observation
};

// Builds the block form of the program at entry (the compiled code and the settings
// are only read). False when the program does not qualify; the block form is then absent.
bool blockPrepare(const Instruction* entry);
bool blockAvailable();
void blockRelease();

// The predicted and observed values of observations first .. first + count - 1
// (count <= BLOCK_ROWS), at the parameter values held in frame. Writes no message: on
// BLOCK_FAILED the caller runs the block through runObservation, which reports as the
// reference does.
int blockValues(RunFrame* frame, int first, int count, double* predicted, double* observed);
// predicted - observed of the same observations into r.
int blockResiduals(RunFrame* frame, int first, int count, double* r);

// Exact derivatives of the residuals of observations first .. first + count - 1
// (count <= BLOCK_ROWS) at the parameter values held in frame: d r_i / d x_k into
// jac[k * n + i]. The values are computed as blockValues computes them; each operation's
// tangent follows it over the block (tangentPartials for the calls). BLOCK_FAILED as
// there, and for more than 64 parameters: the caller then takes the per-observation path.
struct TangentFrame;
int blockJacobian(RunFrame* frame, TangentFrame* tangent, int first, int count, double* jac, long n);

// Kept values. The costliest operations of the block form (function calls, general
// powers) that do not depend on every parameter keep their value for every observation,
// together with the parameter values they were computed at. A later evaluation in which
// none of an operation's parameters changed takes the kept values instead of computing
// them (and skips what only they needed): the columns of a forward-difference Jacobian,
// each moving one parameter, then compute only what that parameter reaches. The values
// are the same to the last bit either way.
//
// blockStoreBegin: the evaluation about to run at frame's parameter values keeps its
// values when they are a new point (two or more parameters moved, or nothing is kept).
// Only one evaluation may keep values at a time; the two halves of one evaluation may, by
// copying the flag to the second frame. blockStoreEnd: complete when every block of the
// evaluation succeeded; otherwise nothing kept stays usable.
void blockStoreBegin(RunFrame* frame);
void blockStoreEnd(RunFrame* frame, bool complete);
