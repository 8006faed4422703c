// The OUTPUT file of five columns at 10^6 observations of
//     y = a*exp(-b*x) + c*sin(d*x) + noise,
// after one whole analysis: $OBS, x, y (or the work variable z = x*y), $PREDICTED and
// $RESIDUAL. Times the writer alone, once per iteration, on a fitted analysis.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>
#include <unistd.h>

#include "analysis/driver.h"
#include "analysis/output.h"
#include "analysis/results.h"
#include "lang/compiler.h"
#include "lang/lexer.h"
#include "lang/options.h"
#include "support/listing.h"
#include "wave_problem.h"

namespace {

// Writes the data file of n observations and the program; the third column is y, or
// the work variable z when computed is set.
void writeProblem(const std::string& folder, long n, bool computed, ProgramLines* program)
{
    writeWaveData(folder, n);
    program->lines = {
        "VARIABLES x, y;",
        "PARAMETERS a = 2, b = 0.3, c = 1, d = 1.6;",
        "DOUBLE z;",
        "z = x * y;",
        "FUNCTION y = a * exp(-b * x) + c * sin(d * x);",
        std::string("OUTPUT \"wave\" $OBS, x, ") + (computed ? "z" : "y") + ", $PREDICTED, $RESIDUAL;",
        "DATACOUNT " + std::to_string(n) + ";",
        "DATA \"wave.dat\";",
    };
}

void discardLine(const char*) {}

void BM_OutputFile(benchmark::State& state)
{
    const long n = state.range(0);
    const bool computed = state.range(1) != 0;
    const std::string folder = makeFolder();
    ProgramLines program;
    writeProblem(folder, n, computed, &program);
    listingSetSink(discardLine);
    driverRelease();
    compilerReleaseAll();
    settingsReset();
    listingClear();
    programPath = folder + "/wave.mxl";
    listingOpenFile((folder + "/wave.lst").c_str());
    LineSource source = {(int)program.lines.size(), copyProgramLine, &program};
    if (!compileProgram(&source)) {
        state.SkipWithError("compile failed");
        return;
    }
    driverStart();
    driverWait();
    analysisRunning.store(false);
    for (auto _ : state)
        outputWriteFile(results);
    listingCloseFile();
    driverRelease();
    compilerReleaseAll();
    listingClear();
    std::system(("rm -rf '" + folder + "'").c_str());
}

BENCHMARK(BM_OutputFile)
    ->ArgNames({"rows", "computed"})
    ->Args({1000000, 0})
    ->Args({1000000, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
