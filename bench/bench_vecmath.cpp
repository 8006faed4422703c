// exp, sin and cos over a block of arguments: the vector kernels against the scalar
// library, per value.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "exec/block.h"
#include "exec/vecmath.h"

namespace {

std::vector<double> arguments(VecFunction f)
{
    std::vector<double> x(BLOCK_ROWS);
    for (int i = 0; i < BLOCK_ROWS; i++)
        x[(size_t)i] = f == VEC_EXP ? -0.2 * (10.0 * i / BLOCK_ROWS) : 1.4 * (10.0 * i / BLOCK_ROWS);
    return x;
}

// range(0): the function; range(1): 1 for the vector kernels, 0 for the scalar library.
void BM_Elementary(benchmark::State& state)
{
    const VecFunction f = (VecFunction)state.range(0);
    const bool vector = state.range(1) != 0;
    const std::vector<double> x = arguments(f);
    std::vector<double> out(x.size());
    for (auto _ : state) {
        if (vector)
            vecmathApply(f, x.data(), out.data(), BLOCK_ROWS);
        else
            vecmathApplyScalar(f, x.data(), out.data(), BLOCK_ROWS);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * BLOCK_ROWS);
}
BENCHMARK(BM_Elementary)->ArgsProduct({{VEC_EXP, VEC_SIN, VEC_COS}, {0, 1}});

}  // namespace

BENCHMARK_MAIN();
