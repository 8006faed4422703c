// Rendering and saving plots: a function plot with residual lines and a scatter plot of
//     y = a*exp(-b*x) + c + noise
// on 10^5 and 10^6 observations, each drawn on a 700 x 550 off-screen image and written
// as a JPEG file (render and save together, as the save-plot command does), and the
// function plot drawn alone on an image of the same size, as a repaint of the plot view
// does, and antialiased at a zoomed and the whole range, as the view's zoom and pan do. The analysis runs once per size, outside the timings.
#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>
#include <unistd.h>

#include "analysis/driver.h"
#include "analysis/preview.h"
#include "lang/compiler.h"
#include "lang/linesource.h"
#include "lang/options.h"
#include "plot/colours.h"
#include "plot/export.h"
#include "plot/painter.h"
#include "plot/plotmodel.h"
#include "support/listing.h"

namespace {

struct Problem {
    long n;                     // observations analysed, 0 before the first
    std::string folder;         // holds the data file and the images
    std::string text;           // the program
    TextLines lines;            // its lines for the compiler
};

Problem problem = {0, "", "", {nullptr, {}, {}}};

void discardLine(const char*) {}

void removeFolder()
{
    if (!problem.folder.empty() && problem.folder != "/tmp")
        std::system(("rm -rf '" + problem.folder + "'").c_str());
    problem.folder.clear();
}

// Compiles and analyses the program for n observations, unless that was the last done.
// With fit false the program is only compiled and its data read (problem.n is then -n).
bool analyse(long n, bool fit = true)
{
    if (!fit && problem.n == -n)
        return true;
    if (problem.n == n)
        return analysis.analysisCompleted;
    removeFolder();
    char pattern[] = "/tmp/moxel-bench-XXXXXX";
    const char* made = mkdtemp(pattern);
    problem.folder = made ? made : "/tmp";
    const std::string data = problem.folder + "/decay.dat";
    FILE* file = fopen(data.c_str(), "w");
    std::mt19937_64 random(2024);
    std::normal_distribution<double> noise(0.0, 0.4);
    for (long i = 0; i < n; ++i) {
        const double x = 10.0 * i / n;
        fprintf(file, "%.6f %.6f\n", x, 5.0 * exp(-0.35 * x) + 1.0 + noise(random));
    }
    fclose(file);
    problem.text = "VARIABLES x, y;\nPARAMETERS a = 4, b = 0.3, c = 0.5;\n"
                   "FUNCTION y = a * exp(-b * x) + c;\nPLOT RESIDUAL;\nSPLOT;\n"
                   "DATACOUNT " + std::to_string(n) + ";\nDATA \"decay.dat\";\n";
    listingSetSink(discardLine);
    driverRelease();
    compilerReleaseAll();
    settingsReset();
    listingClear();
    programPath = problem.folder + "/decay.mxl";
    const LineSource source = lineSourceFromText(problem.lines, problem.text.c_str(), problem.text.size());
    if (!compileProgram(&source))
        return false;
    if (!fit) {
        problem.n = -n;
        return true;
    }
    driverStart();
    driverWait();
    analysisRunning.store(false);
    problem.n = n;
    return analysis.analysisCompleted;
}

const PlotSpec* plotOfKind(int kind)
{
    for (const PlotSpec* spec = plotList; spec; spec = spec->next)
        if (spec->plotKind == kind)
            return spec;
    return nullptr;
}

void saveJpeg(benchmark::State& state, int kind)
{
    if (!analyse(state.range(0))) {
        state.SkipWithError("analysis failed");
        return;
    }
    const PlotFileSettings fileSettings = {PLOT_FILE_JPEG, 700, 550, problem.folder + "/plot.jpg"};
    for (auto _ : state)
        benchmark::DoNotOptimize(exportPlot(plotOfKind(kind), fileSettings));
}

void BM_FunctionPlotJpeg(benchmark::State& state)
{
    saveJpeg(state, PLOT_FUNCTION);
}

void BM_ScatterPlotJpeg(benchmark::State& state)
{
    saveJpeg(state, PLOT_SCATTER);
}

// The drawing pass alone, on a cleared image, as a window repaint makes it.
void BM_FunctionPlotRepaint(benchmark::State& state)
{
    if (!analyse(state.range(0))) {
        state.SkipWithError("analysis failed");
        return;
    }
    QImage image(700, 550, QImage::Format_RGB32);
    const SurfaceDevice device = {SURFACE_WINDOW, 700, 550, 96.0, 96.0};
    for (auto _ : state) {
        image.fill(Qt::black);
        QPainter painter(&image);
        std::unique_ptr<PlotSurface> surface = painterMakeSurface(&painter, device);
        benchmark::DoNotOptimize(plotDraw(surface.get(), COLOURS_SCREEN, plotOfKind(PLOT_FUNCTION)));
    }
}

// A zoom or pan of the plot view: the function plot redrawn as the window draws it
// (antialiased up to PAINTER_ANTIALIAS_LIMIT observations), at a view range that alternates between a zoom about a point and a pan.
void BM_FunctionPlotZoomPan(benchmark::State& state)
{
    if (!analyse(state.range(0))) {
        state.SkipWithError("analysis failed");
        return;
    }
    QImage image(1400, 900, QImage::Format_RGB32);
    SurfaceDevice device = {SURFACE_WINDOW, 1400, 900, 96.0, 96.0};
    device.antialias = state.range(0) <= PAINTER_ANTIALIAS_LIMIT;
    const auto draw = [&] {
        image.fill(Qt::black);
        QPainter painter(&image);
        std::unique_ptr<PlotSurface> surface = painterMakeSurface(&painter, device);
        return plotDraw(surface.get(), COLOURS_SCREEN, plotOfKind(PLOT_FUNCTION));
    };
    plotViewReset();
    draw();
    int step = 0;
    for (auto _ : state) {
        if (step++ % 2 == 0)
            plotViewZoom(0.5, (plotLayout.areaLeft + plotLayout.boxRight) / 2.0, plotLayout.areaBottom + 10.0);
        else
            plotViewReset();
        benchmark::DoNotOptimize(draw());
    }
    plotViewReset();
}

// The preview: one pass of the program over the data at the start values, then both
// plots saved, as moxel -run PROGRAM.mxl -preview -plots does after its compile.
void BM_PreviewWithPlotsJpeg(benchmark::State& state)
{
    if (!analyse(state.range(0), false)) {
        state.SkipWithError("compile failed");
        return;
    }
    const PlotFileSettings fileSettings = {PLOT_FILE_JPEG, 700, 550, problem.folder + "/preview.jpg"};
    for (auto _ : state) {
        const PreviewResult result = previewRun();
        benchmark::DoNotOptimize(result.sumSquares);
        benchmark::DoNotOptimize(exportPlot(plotOfKind(PLOT_FUNCTION), fileSettings));
        benchmark::DoNotOptimize(exportPlot(plotOfKind(PLOT_SCATTER), fileSettings));
    }
}

// The preview's pass alone.
void BM_PreviewPass(benchmark::State& state)
{
    if (!analyse(state.range(0), false)) {
        state.SkipWithError("compile failed");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(previewRun().sumSquares);
}

BENCHMARK(BM_PreviewPass)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PreviewWithPlotsJpeg)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FunctionPlotJpeg)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScatterPlotJpeg)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FunctionPlotRepaint)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FunctionPlotZoomPan)->Arg(50000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

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
    removeFolder();
    return 0;
}
