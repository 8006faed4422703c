// Bands at 10^6 observations: what -plots does for one function plot of
//     y = a*exp(-b*x) + c + noise
// without a band option (the image alone) and with CBAND, PBAND and SBAND (the image
// with its bands, and the band table written beside it). The bands cost a fixed
// 200 * (2p + 1) model evaluations and one more pass over x for the plot's range,
// whatever n; the image's 10^6 marks dominate both. The analysis runs once, outside the
// timings.
#include <benchmark/benchmark.h>

#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>

#include "analysis/bands.h"
#include "analysis/driver.h"
#include "lang/compiler.h"
#include "lang/linesource.h"
#include "lang/options.h"
#include "plot/export.h"
#include "plot/plotmodel.h"
#include "support/listing.h"

namespace {

struct BandBench {
    long n;                     // observations analysed, 0 before the first
    std::string folder;         // holds the data file, the images and the tables
    std::string text;           // the program
    TextLines lines;            // its lines for the compiler
};

BandBench bench = {0, "", "", {nullptr, {}, {}}};

void discardLine(const char*) {}

bool analyse(long n)
{
    if (bench.n == n)
        return analysis.analysisCompleted;
    char pattern[] = "/tmp/moxel-bands-XXXXXX";
    const char* made = mkdtemp(pattern);
    bench.folder = made ? made : "/tmp";
    FILE* file = fopen((bench.folder + "/decay.dat").c_str(), "w");
    if (!file)
        return false;
    std::mt19937_64 random(2024);
    std::normal_distribution<double> noise(0.0, 0.4);
    for (long i = 0; i < n; ++i) {
        const double x = 10.0 * i / n;
        fprintf(file, "%.6f %.6f\n", x, 5.0 * exp(-0.35 * x) + 1.0 + noise(random));
    }
    fclose(file);
    bench.text = "VARIABLES x, y;\nPARAMETERS a = 4, b = 0.3, c = 0.5;\n"
                 "FUNCTION y = a * exp(-b * x) + c;\nCONFIDENCE 95;\nPLOT;\nPLOT CBAND, PBAND, SBAND;\n"
                 "DATACOUNT " + std::to_string(n) + ";\nDATA \"decay.dat\";\n";
    listingSetSink(discardLine);
    driverRelease();
    compilerReleaseAll();
    settingsReset();
    listingClear();
    programPath = bench.folder + "/decay.mxl";
    const LineSource source = lineSourceFromText(bench.lines, bench.text.c_str(), bench.text.size());
    if (!compileProgram(&source))
        return false;
    driverStart();
    driverWait();
    analysisRunning.store(false);
    bench.n = n;
    return analysis.analysisCompleted;
}

const PlotSpec* plotNumber(int k)
{
    const PlotSpec* spec = plotList;
    while (spec && k-- > 0)
        spec = spec->next;
    return spec;
}

void BM_PlotWithoutBands(benchmark::State& state)
{
    if (!analyse(state.range(0))) {
        state.SkipWithError("analysis failed");
        return;
    }
    const PlotFileSettings fileSettings = {PLOT_FILE_JPEG, 700, 550, bench.folder + "/plain.jpg"};
    for (auto _ : state)
        benchmark::DoNotOptimize(exportPlot(plotNumber(0), fileSettings));
}

void BM_PlotWithBandsAndTable(benchmark::State& state)
{
    if (!analyse(state.range(0))) {
        state.SkipWithError("analysis failed");
        return;
    }
    const PlotFileSettings fileSettings = {PLOT_FILE_JPEG, 700, 550, bench.folder + "/bands.jpg"};
    for (auto _ : state) {
        benchmark::DoNotOptimize(exportPlot(plotNumber(1), fileSettings));
        BandTable table;
        if (plotBandTable(plotNumber(1), &table)) {
            std::string message;
            benchmark::DoNotOptimize(bandsWriteTable(table, bench.folder + "/bands.csv", &message));
            bandsRelease(&table);
        }
    }
}

// The band table alone: the fixed cost the bands add.
void BM_BandTableOnly(benchmark::State& state)
{
    if (!analyse(state.range(0))) {
        state.SkipWithError("analysis failed");
        return;
    }
    for (auto _ : state) {
        BandTable table;
        benchmark::DoNotOptimize(plotBandTable(plotNumber(1), &table));
        bandsRelease(&table);
    }
}

BENCHMARK(BM_PlotWithoutBands)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlotWithBandsAndTable)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BandTableOnly)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    driverRelease();
    compilerReleaseAll();
    if (!bench.folder.empty() && bench.folder != "/tmp")
        std::system(("rm -rf '" + bench.folder + "'").c_str());
    return 0;
}
