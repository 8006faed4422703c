// The solver's factor step on a tall Jacobian (n = 10^6 rows, p = 4 and 8 columns):
// the QR with Q^T r, the column maxima of the scale update, the norm of a residual
// vector and the gradient's dot products. Reports milliseconds per call.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "solver/solverint.h"

namespace {

constexpr int ROWS = 1000000;

// A Jacobian of smooth columns of different sizes and a residual vector, as a fit of
// exponentials and waves produces them.
struct Problem {
    std::vector<double> jac;
    std::vector<double> r;
};

Problem makeProblem(int n, int p)
{
    Problem pr;
    pr.jac.resize((size_t)n * p);
    pr.r.resize(n);
    for (int i = 0; i < n; ++i) {
        double x = 10.0 * i / n;
        for (int k = 0; k < p; ++k) pr.jac[(size_t)k * n + i] = std::exp(-0.1 * (k + 1) * x) * std::cos((k + 1) * x) * (k + 1);
        pr.r[i] = 0.2 * std::sin(12345.678 * i);
    }
    return pr;
}

void qrWithQtr(benchmark::State& state)
{
    const int p = (int)state.range(0);
    const Problem base = makeProblem(ROWS, p);
    std::vector<double> a(base.jac.size()), y(ROWS), beta(p);
    for (auto _ : state) {
        state.PauseTiming();
        a = base.jac;
        y = base.r;
        state.ResumeTiming();
        linalgQrApply(ROWS, p, a.data(), beta.data(), y.data());
        benchmark::DoNotOptimize(y.data());
    }
}

void columnMaxima(benchmark::State& state)
{
    const int p = (int)state.range(0);
    const Problem base = makeProblem(ROWS, p);
    std::vector<double> big(p);
    for (auto _ : state) {
        for (int k = 0; k < p; ++k) big[k] = linalgMaxAbs(ROWS, base.jac.data() + (size_t)k * ROWS);
        benchmark::DoNotOptimize(big.data());
    }
}

void gradientDots(benchmark::State& state)
{
    const int p = (int)state.range(0);
    const Problem base = makeProblem(ROWS, p);
    std::vector<double> g(p);
    for (auto _ : state) {
        linalgColumnDots(ROWS, p, base.jac.data(), base.r.data(), g.data());
        benchmark::DoNotOptimize(g.data());
    }
}

void residualNorm(benchmark::State& state)
{
    const Problem base = makeProblem(ROWS, 1);
    for (auto _ : state) benchmark::DoNotOptimize(linalgNorm(ROWS, base.r.data()));
}

void applyQtAlone(benchmark::State& state)
{
    const int p = (int)state.range(0);
    Problem base = makeProblem(ROWS, p);
    std::vector<double> beta(p), y(ROWS);
    linalgQr(ROWS, p, base.jac.data(), beta.data());
    for (auto _ : state) {
        y = base.r;
        linalgApplyQt(ROWS, p, base.jac.data(), beta.data(), y.data());
        benchmark::DoNotOptimize(y.data());
    }
}

}  // namespace

BENCHMARK(qrWithQtr)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(columnMaxima)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(gradientDots)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(residualNorm)->Unit(benchmark::kMillisecond);
BENCHMARK(applyQtAlone)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
