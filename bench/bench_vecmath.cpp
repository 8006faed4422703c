// exp, sin and cos over a block of arguments: the vector kernels against the scalar
// library and, where the benchmarks were built with it, SLEEF's vector functions, per
// value.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "exec/block.h"
#include "exec/vecmath.h"
#ifdef MOXEL_BENCH_SLEEF
#include "bench/vecmath_sleef.h"
#endif

namespace {

std::vector<double> arguments(VecFunction f)
{
    std::vector<double> x(BLOCK_ROWS);
    for (int i = 0; i < BLOCK_ROWS; i++)
        x[(size_t)i] = f == VEC_EXP ? -0.2 * (10.0 * i / BLOCK_ROWS) : 1.4 * (10.0 * i / BLOCK_ROWS);
    return x;
}

enum Implementation {
    IMPL_SCALAR = 0,    // the scalar library
    IMPL_VECTOR = 1,    // our kernels (the scalar library without AVX2)
    IMPL_SLEEF = 2,     // SLEEF's 1-ulp AVX2 functions
};

// range(0): the function; range(1): the implementation.
void BM_Elementary(benchmark::State& state)
{
    const VecFunction f = (VecFunction)state.range(0);
    const Implementation implementation = (Implementation)state.range(1);
    if (implementation == IMPL_SLEEF) {
#ifdef MOXEL_BENCH_SLEEF
        if (!vecmathActive()) {
            state.SkipWithError("the processor lacks AVX2 and FMA");
            return;
        }
#else
        state.SkipWithError("built without SLEEF");
        return;
#endif
    }
    const std::vector<double> x = arguments(f);
    std::vector<double> out(x.size());
    for (auto _ : state) {
        switch (implementation) {
        case IMPL_SCALAR: vecmathApplyScalar(f, x.data(), out.data(), BLOCK_ROWS); break;
        case IMPL_VECTOR: vecmathApply(f, x.data(), out.data(), BLOCK_ROWS); break;
        case IMPL_SLEEF:
#ifdef MOXEL_BENCH_SLEEF
            benchSleefApply(f, x.data(), out.data(), BLOCK_ROWS);
#endif
            break;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * BLOCK_ROWS);
}
BENCHMARK(BM_Elementary)->ArgsProduct({{VEC_EXP, VEC_SIN, VEC_COS}, {IMPL_SCALAR, IMPL_VECTOR, IMPL_SLEEF}});

}  // namespace

BENCHMARK_MAIN();
