// Exact derivatives of the compiled program by forward mode: every value the program
// computes carries its derivatives with respect to the parameters (its tangent, one
// double per parameter), through the operators, work variables and array elements, the
// branches and loops taken, FUNCTION and RETURN, and every built-in function.
//
// Where a function is not differentiable (ABS at 0, INT-like rounding, MOD, comparisons)
// the derivative is that of the branch taken. A few built-ins without a usable closed
// form for some argument take a central difference of that one call (tangentPartials).
#pragma once

struct ExprNode;
struct RunFrame;

// The tangents of one evaluating thread: one per frame slot, and room for the operands of
// the tree being evaluated. Sized once per analysis by tangentFrameFit; nothing is
// allocated while observations are evaluated.
struct TangentFrame {
    int p;                  // parameters, doubles per tangent
    double* slots;          // slotCapacity * p: d slot / d parameter
    int slotCapacity;
    double* stack;          // operand tangents, used as a stack
    long stackCapacity;     // doubles in stack
    long stackUsed;         // doubles in use
    double* predicted;      // p: tangent of the predicted value of the last observation
    double* observed;       // p: tangent of the observed value
    double* block;          // block evaluation: p * BLOCK_ROWS doubles per operation
    long blockCapacity;     // doubles in block
};

// Sizes frame for the program now compiled and p parameters; false when memory ran out.
bool tangentFrameFit(TangentFrame* frame, int p);
void tangentFrameRelease(TangentFrame* frame);
// Every slot's tangent to its state before a pass: the parameters' unit vectors, 0 else.
void tangentReset(TangentFrame* frame);

// Value of node as operatorsEvaluate gives it (same operations, same messages), its
// tangent into out (p doubles).
double tangentEvaluate(RunFrame* frame, TangentFrame* tangent, const ExprNode* node, double* out);

// out = d (l ** r) from the operand tangents tl and tr (p each), value = l ** r.
void tangentPower(double l, double r, double value, const double* tl, const double* tr, double* out, int p);

// The partial derivatives of the built-in of call at args (count values, at least 4
// readable) whose value is value, into partials[0 .. count-1]. Closed forms where one
// exists; otherwise a central difference of the call alone.
void tangentPartials(RunFrame* frame, const ExprNode* call, const double* args, int count, double value,
                     double* partials);

// Digamma function psi(x) = d ln Gamma(x) / dx, x not a non-positive integer.
double digamma(double x);
