// Evaluations shared by both cores. Each thread claims the next block of an evaluation
// from a common counter, so a core that starts late or is busy with other work simply
// takes fewer. The first block that fails stops all claims; the calling thread then runs
// every block not done per observation, in observation order, as the reference does.
#include "analysis/share.h"

#include <atomic>
#include <cmath>
#include <cstring>

#include "analysis/helper.h"
#include "exec/block.h"
#include "exec/interpreter.h"
#include "lang/symbols.h"
#include "support/allocator.h"

namespace {

constexpr const char* TAG_BLOCKS = "blocks";

struct ShareState {
    RunFrame helperFrame;           // the helper thread's frame (Jacobian columns, blocks)
    unsigned char* blockDone;       // per block of the last shared evaluation: ShareBlockOutcome
    double* blockSquares;           // per block of the last shared residual evaluation: the
                                    // sum of its squared residuals (when finite)
    int capacity;                   // blocks blockDone and blockSquares hold
    const double* weights;          // weights of the residuals, or null
};

ShareState share;

// One shared evaluation.
struct BlockShare {
    const RunFrame* source;     // the calling thread's frame, holding the parameter values
    int n;                      // observations
    int blocks;                 // blocks of BLOCK_ROWS observations
    double* predicted;          // residuals, or predicted values when observed is set
    double* observed;           // observed values, or null for residuals
    std::atomic<int> next;      // the next block to claim
    std::atomic<bool> stop;     // a block failed
};

bool blockFinite(const double* values, int count)
{
    bool finite = true;
    for (int i = 0; i < count; ++i)
        finite &= std::isfinite(values[i]);
    return finite;
}

void releaseBlockRecords()
{
    if (share.blockDone)
        memfree(share.blockDone);
    if (share.blockSquares)
        memfree(share.blockSquares);
    share.blockDone = nullptr;
    share.blockSquares = nullptr;
    share.capacity = 0;
}

void claimBlocks(BlockShare& work, RunFrame* frame)
{
    while (!work.stop.load(std::memory_order_relaxed)) {
        const int block = work.next.fetch_add(1, std::memory_order_relaxed);
        if (block >= work.blocks)
            return;
        const int first = block * BLOCK_ROWS;
        const int count = work.n - first < BLOCK_ROWS ? work.n - first : BLOCK_ROWS;
        if (shareEvaluateBlock(frame, first, count, work.predicted, work.observed) != BLOCK_OK) {
            work.stop.store(true, std::memory_order_relaxed);
            return;
        }
        if (work.observed) {
            share.blockDone[block] = SHARE_FINITE;
            continue;
        }
        const double* r = work.predicted + first;
        share.blockDone[block] = blockFinite(r, count) ? SHARE_FINITE : SHARE_NOT_FINITE;
        share.blockSquares[block] = shareSumOfSquares(count, r);
    }
}

// The helper's part: its frame is reset and takes the caller's parameter values.
void helperPart(void* argument)
{
    BlockShare& work = *static_cast<BlockShare*>(argument);
    RunFrame* frame = &share.helperFrame;
    runReset(frame);
    if (!frame->values)
        return;
    frame->blockStore = work.source->blockStore;
    for (int j = 0; j < parameterCount; ++j)
        frame->values[parameters[j]->slot] = work.source->values[parameters[j]->slot];
    claimBlocks(work, frame);
}

}  // namespace

int shareEvaluateBlock(RunFrame* frame, int first, int count, double* predicted, double* observed)
{
    if (observed)
        return blockValues(frame, first, count, predicted + first, observed + first);
    const int status = blockResiduals(frame, first, count, predicted + first);
    if (status == BLOCK_OK && share.weights)
        for (int i = first; i < first + count; ++i)
            predicted[i] *= std::sqrt(share.weights[i]);
    return status;
}

void shareSetWeights(const double* weights)
{
    share.weights = weights;
}

bool shareBlocks(RunFrame* frame, int n, double* predicted, double* observed)
{
    const int blocks = (n + BLOCK_ROWS - 1) / BLOCK_ROWS;
    if (frame->quiet || frame == &share.helperFrame || blocks < 2)
        return false;
    if (share.capacity < blocks) {
        releaseBlockRecords();
        share.blockDone = static_cast<unsigned char*>(memalloc((size_t)blocks, TAG_BLOCKS));
        share.blockSquares = memalloc_doubles((size_t)blocks, TAG_BLOCKS);
        if (!share.blockDone || !share.blockSquares) {
            releaseBlockRecords();
            return false;
        }
        share.capacity = blocks;
    }
    memset(share.blockDone, 0, (size_t)blocks);
    BlockShare work{frame, n, blocks, predicted, observed, {0}, {false}};
    if (!helperPost(helperPart, &work))
        return false;
    claimBlocks(work, frame);
    // All claimed before the helper began: its part is withdrawn instead of awaited.
    helperCollect();
    return true;
}

ShareBlockOutcome shareBlockOutcome(int block)
{
    return static_cast<ShareBlockOutcome>(share.blockDone[block]);
}

const double* shareBlockSquares()
{
    return share.blockSquares;
}

double shareSumOfSquares(int n, const double* r)
{
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    int i = 0;
    for (; i + 4 <= n; i += 4)
        for (int k = 0; k < 4; ++k)
            sums[k] += r[i + k] * r[i + k];
    for (; i < n; ++i)
        sums[0] += r[i] * r[i];
    return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

RunFrame* shareHelperFrame()
{
    return &share.helperFrame;
}

void shareRelease()
{
    runFrameRelease(&share.helperFrame);
    releaseBlockRecords();
}
