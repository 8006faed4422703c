// The record of one solve, shared by the files of the solver's iteration (solvercore.cpp)
// and its Jacobians (solverjacobian.cpp); not part of the solver's interface.
#pragma once

#include "solver/solver.h"
#include "solver/solverint.h"

enum Outcome { OUT_OK = 1, OUT_FAILED = 0, OUT_CANCEL = -1 };

// All state of one solve. The vectors point into the caller's real array.
struct Core {
    int n, p;                       // residuals, parameters
    double* x;                      // current point (caller's array)
    const double* bounds;           // p (lower, upper) pairs, null when unbounded
    const SolverCallbacks* callbacks;
    int* iv;
    double* v;

    double* jac;                    // n x p column-major; after the QR: R above, reflectors below
    double* smat;                   // packed secant matrix S, natural order
    double* hmat;                   // packed scaled augmented matrix of the free variables
    double* stepWork;               // trust-region work
    double* x0;                     // start of the iteration
    double* d;                      // scale
    double* colMax;                 // running maximum of |J_ik| per column
    double* colLast;                // largest |J_ik| of each column as last formed
    double* beta;                   // reflector factors
    double* qtr;                    // first p entries of Q^T r (permuted order)
    double* g;                      // gradient, natural order
    double* gp;                     // gradient, permuted order
    double* dp;                     // scale, permuted order
    double* gOld;                   // gradient at x0
    double* s;                      // trial step, natural order
    double* sp;                     // trial step, permuted order
    double* sBest;                  // step of the best trial of the iteration
    double* xt;                     // trial point
    double* yOld;                   // J_old^T r(new point)
    double* hs;                     // model matrix of the accepted step times the step
    double* t1;                     // scratch p
    double* t2;                     // scratch p
    double* r0;                     // residuals at the current point (scratch inside an iteration)
    double* rt;                     // residuals at the last trial; scratch
    double* helperTrial;            // the helper thread's trial point in the speculative pass
    double* changes;                // speculative pass: change of each column divided there (-1: not)
    int* perm;                      // permuted position k holds parameter perm[k]
    int* where;                     // scratch: column position of each parameter
    int* outcomes;                  // speculative pass: outcome of each column's first try
    int freeCount;                  // m: free variables (first in perm)
    double r0Size;                  // largest |r0_i| while a Jacobian is formed

    double f;                       // f at x
    double fStart;                  // f at the start point
    double rScale;                  // ||r|| at the start point (1 when zero): the residuals' unit
    double vScale;                  // size of one computed value: (rScale + sqrt(2 fModel)) / sqrt(n) at the first Jacobian; 1 before it
    bool scaled;                    // d has been set from a Jacobian
    double fModel;                  // 0.5 sum_k ||J_k||^2 x_k^2 at the last Jacobian: the size of the model's terms
    double fNoise;                  // f that is zero to the precision of the values, at the last Jacobian (roundingSize)
    bool hStale;                    // hmat must be rebuilt
    int nfcall;                     // start point + trial evaluations
    int ngcall;                     // other evaluations

    // trust region and model choice, carried from one iteration to the next
    double delta;                   // trust radius for the next step computation
    double radfac;                  // radius factor: the next radius is radfac * ||D s|| of the assessed step
    StepState stepState;            // warm start of the step routines
    int nextModel;                  // model of the next iteration's first trial
    bool moved;                     // a step has been accepted (the last one is in sBest)
    int jacobianFailures;           // points rejected in a row for want of a Jacobian
};

// Residuals at xx into r through routine with context; evaluate uses the solver's own
// routine. OUT_OK, OUT_FAILED ("cannot compute") or OUT_CANCEL. *largest (may be null)
// receives max |r_i|.
int evaluateWith(const Core& c, SolverResiduals routine, void* context, const double* xx, double* r,
                 double* largest = nullptr);
int evaluate(Core& c, const double* xx, double* r, double* largest = nullptr);

// The d_k of a parameter that moves the residuals by rScale when it changes by its own
// size (see Units in solvercore.cpp).
double unitScale(const Core& c, int k);

// Forward-difference Jacobian at c.x (base residuals c.r0) into c.jac, natural order.
int formJacobian(Core& c);
// Central-difference Jacobian at c.x into c.jac, natural order.
int formCentralJacobian(Core& c);
