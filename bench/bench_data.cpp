// Reading a data file of 1,000,000 records of three numbers through the DATA statement,
// written in the usual short notations (argument 0) or with the 17 significant digits
// that give every double back (argument 1), which take the scanner's general path.
// Counters: store bytes against the 24 MB of values it holds.
#include "lang/compiler.h"
#include "lang/data.h"
#include "lang/lexer.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/listing.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

constexpr int RECORDS = 1000000;
constexpr int VALUES_PER_RECORD = 3;

const char* const programLines[] = {
    "VARIABLES x, y, z;",
    "PARAMETERS a, b;",
    "FUNCTION z = a + b*x + 0*y;",
    "DATA \"bench\"",
};

void copyProgramLine(void*, int index, char* buffer, int size)
{
    snprintf(buffer, size, "%s", programLines[index]);
}

// Writes folder/bench.dat: three numbers per record, in the usual notations or with all
// their digits.
std::string writeDataFile(bool allDigits)
{
    char pattern[] = "/tmp/moxel-bench-XXXXXX";
    const char* folder = mkdtemp(pattern);
    if (!folder)
        return "";
    const std::string path = std::string(folder) + "/bench.dat";
    FILE* file = fopen(path.c_str(), "w");
    if (!file)
        return "";
    uint64_t state = 12345;
    for (int i = 0; i < RECORDS; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const double u = static_cast<double>(state >> 11) / 9007199254740992.0;
        if (allDigits)
            fprintf(file, "%.17g %.17g %.17g\n", i * 0.1, 100.0 * u - 50.0, u * 1e-3);
        else
            fprintf(file, "%d %.6f %.5e\n", i, 100.0 * u - 50.0, u * 1e-3);
    }
    fclose(file);
    return std::string(folder);
}

void BM_ReadDataFile(benchmark::State& state)
{
    const std::string folder = writeDataFile(state.range(0) != 0);
    if (folder.empty()) {
        state.SkipWithError("cannot write the data file");
        return;
    }
    programPath = folder + "/bench.mxl";
    const LineSource source{static_cast<int>(std::size(programLines)), copyProgramLine, nullptr};
    bool ok = true;
    for (auto _ : state) {
        state.PauseTiming();
        compilerReleaseAll();
        settingsReset();
        listingClear();
        compileErrorReset();
        state.ResumeTiming();
        ok = compileProgram(&source) != nullptr && ok;
    }
    const double valueBytes = 8.0 * RECORDS * VALUES_PER_RECORD;
    double storeBytes = 0.0;
    for (const MemTagGroup& group : memListGroups())
        if (group.tag == "obs")
            storeBytes = (double)group.totalBytes;
    state.counters["records"] = observationCount;
    state.counters["store_MB"] = storeBytes / 1e6;
    state.counters["store_ratio"] = storeBytes / valueBytes;
    if (!ok || observationCount != RECORDS)
        state.SkipWithError("the data were not read");
    compilerReleaseAll();
    std::filesystem::remove_all(folder);
}

}  // namespace

BENCHMARK(BM_ReadDataFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();
