// Symbol lookup: n distinct names defined (as the undefined names of a program become
// placeholders) and each looked up once more. The index keeps the cost per name flat,
// where the walk along the list grew with n (50,000 names took 37 s).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "lang/symbols.h"

namespace {

void BM_DefineAndFindNames(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i)
        names.push_back("u" + std::to_string(i));
    for (auto _ : state) {
        freeSymbols();
        for (const std::string& name : names)
            if (!findSymbol(name.c_str()))
                defineSymbol(name.c_str(), SYM_PLACEHOLDER, nullptr);
        for (const std::string& name : names)
            benchmark::DoNotOptimize(findSymbol(name.c_str()));
    }
    freeSymbols();
    state.SetComplexityN(n);
}

}  // namespace

BENCHMARK(BM_DefineAndFindNames)->RangeMultiplier(10)->Range(500, 50000)->Complexity(benchmark::oN);

BENCHMARK_MAIN();
