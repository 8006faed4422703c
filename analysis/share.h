// Evaluations shared by both cores: the blocks of one evaluation of the block form,
// claimed by the analysis thread and the helper thread from a common counter, and the
// helper's own run frame (which the solver's speculative Jacobian columns use too).
#pragma once

struct RunFrame;

// What shareBlocks did with each block.
enum ShareBlockOutcome : unsigned char {
    SHARE_NOT_DONE = 0,     // failed or not reached: the caller runs it per observation
    SHARE_FINITE = 1,       // done (residuals: all finite)
    SHARE_NOT_FINITE = 2,   // residuals done, some not finite
};

// The block form over observations first .. first + count - 1 in frame: predicted and
// observed values when observed is set, else residuals into predicted. BLOCK_OK or
// BLOCK_FAILED (exec/block.h).
int shareEvaluateBlock(RunFrame* frame, int first, int count, double* predicted, double* observed);

// Runs the block form over n observations on both cores; shareBlockOutcome then tells
// which blocks were done. False without evaluating anything when frame is quiet or the
// helper's, the data fill fewer than two blocks, or the helper is not free: the caller
// then evaluates the blocks itself.
bool shareBlocks(RunFrame* frame, int n, double* predicted, double* observed);
ShareBlockOutcome shareBlockOutcome(int block);
// Sum of the squared residuals of each block of the last shared residual evaluation
// (meaningful for blocks whose residuals are finite).
const double* shareBlockSquares();

// Sum of the squares of r[0 .. n) in four running sums (a single one waits on each
// addition, which over a million residuals takes longer than the rest of the work).
double shareSumOfSquares(int n, const double* r);

// Weights of the residual blocks: a residual computed by blocks is multiplied by
// sqrt(weights[i]), as the per-observation path does. Null: unweighted.
void shareSetWeights(const double* weights);

// The helper thread's run frame.
RunFrame* shareHelperFrame();

void shareRelease();    // frees the block records and the helper's frame
