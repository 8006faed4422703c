// Loading a long run listing into the listing view: a run of 10^6 observations with
// OUTPUT into the listing gives a listing of about 10^6 lines, which the view reads,
// lays out, scrolls to the Final Results and paints. Qt runs on its offscreen platform.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "analysis/driver.h"
#include "analysis/runcommand.h"
#include "app/views.h"
#include "lang/linesource.h"
#include "support/listing.h"

namespace {

void discardLine(const char*) {}

std::string makeFolder()
{
    char pattern[] = "/tmp/moxel-bench-XXXXXX";
    const char* made = mkdtemp(pattern);
    return made ? made : "/tmp";
}

// Runs a straight-line fit of n observations whose OUTPUT goes into the listing, and
// returns the listing's path.
std::string writeListing(const std::string& folder, long n)
{
    FILE* data = fopen((folder + "/line.dat").c_str(), "w");
    for (long i = 0; i < n; ++i)
        fprintf(data, "%ld %.4f\n", i, 3.0 + 0.5 * i + ((i * 7919) % 13) * 0.01);
    fclose(data);
    const std::string text = "VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a + b * x;\n"
                             "OUTPUT x, y, $PREDICTED, $RESIDUAL;\nDATACOUNT " + std::to_string(n) +
                             ";\nDATA \"line.dat\";\n";
    TextLines lines;
    const LineSource source = lineSourceFromText(lines, text.c_str(), text.size());
    listingSetSink(discardLine);
    const RunStart start = runCommandStart(folder + "/line.mxl", &source, true);
    if (start.status != RUN_STARTED)
        return "";
    driverWait();
    analysisRunning.store(false);
    runCommandFinish();
    runCommandRelease();
    return start.listingPath;
}

void BM_LoadListing(benchmark::State& state)
{
    const std::string folder = makeFolder();
    const std::string path = writeListing(folder, state.range(0));
    if (path.empty()) {
        state.SkipWithError("the run did not start");
        return;
    }
    CAnalysisView view;
    view.resize(800, 600);
    view.show();
    QApplication::processEvents();
    long lines = 0;
    for (auto _ : state) {
        view.loadListing(QString::fromStdString(path));
        QApplication::processEvents();
        lines = view.lineCount();
    }
    state.counters["lines"] = double(lines);
    state.counters["MB"] = double(QFileInfo(QString::fromStdString(path)).size()) / 1e6;
    std::system(("rm -rf '" + folder + "'").c_str());
}

BENCHMARK(BM_LoadListing)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
