// A whole batch run (compile, read the data file, fit, final pass, listing) of
//     y = a*exp(-b*x) + c*sin(d*x) + noise
// on 10^5 and 10^6 generated observations. Reports the wall time per run, the
// residual vectors the solver asked for, and the process's peak memory.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>
#include <sys/resource.h>
#include <unistd.h>

#include "analysis/driver.h"
#include "lang/compiler.h"
#include "lang/lexer.h"
#include "lang/options.h"
#include "support/allocator.h"
#include "support/listing.h"
#include "wave_problem.h"

namespace {

// Writes the data file of n observations and returns the program's path.
std::string writeProblem(const std::string& folder, long n, ProgramLines* program)
{
    writeWaveData(folder, n);
    program->lines = {
        "VARIABLES x, y;",
        "PARAMETERS a = 2, b = 0.3, c = 1, d = 1.6;",
        "FUNCTION y = a * exp(-b * x) + c * sin(d * x);",
        "DATACOUNT " + std::to_string(n) + ";",
        "DATA \"wave.dat\";",
    };
    return folder + "/wave.mxl";
}

void discardLine(const char*) {}

void BM_BatchRun(benchmark::State& state)
{
    const long n = state.range(0);
    const std::string folder = makeFolder();
    ProgramLines program;
    const std::string path = writeProblem(folder, n, &program);
    listingSetSink(discardLine);
    long evaluations = 0;
    int stopCode = 0;
    for (auto _ : state) {
        driverRelease();
        compilerReleaseAll();
        settingsReset();
        listingClear();
        programPath = path;
        listingOpenFile((folder + "/wave.lst").c_str());
        LineSource source = {(int)program.lines.size(), copyProgramLine, &program};
        if (!compileProgram(&source)) {
            state.SkipWithError("compile failed");
            break;
        }
        driverStart();
        driverWait();
        analysisRunning.store(false);
        listingCloseFile();
        evaluations = analysis.residualEvaluations;
        stopCode = analysis.stopCode;
    }
    driverRelease();
    compilerReleaseAll();
    listingClear();
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    state.counters["residualEvals"] = (double)evaluations;
    state.counters["stopCode"] = stopCode;
    state.counters["peakMB"] = usage.ru_maxrss / 1024.0;
    std::system(("rm -rf '" + folder + "'").c_str());
}

BENCHMARK(BM_BatchRun)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
