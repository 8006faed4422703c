// Plot construction, layout, drawing and export: a whole batch run with -plots of a
// program and its data file (see fuzz_batchrun.h), with the settings file after a line
// "@@SETTINGS" (image type and size, colour sets). The program's PLOT, SPLOT, RPLOT and
// NPLOT statements give the ranges, labels and values; the images go to the scratch
// folder. Qt runs on its offscreen platform.
#include "fuzz_batchrun.h"

#include <QGuiApplication>
#include <sys/stat.h>

namespace {

const char SETTINGS_SEPARATOR[] = "\n@@SETTINGS\n";
// Lives until the process ends: destroyed by the exit handlers, after Qt's own static
// objects are gone, it would crash.
QGuiApplication* application = nullptr;
int argc = 1;
char name[] = "fuzz_plots";
char* argv[] = {name, nullptr};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzSilenceStdout();
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("XDG_CONFIG_HOME", fuzzFolder().c_str(), 1);
    mkdir((fuzzFolder() + "/MOXEL").c_str(), 0755);
    application = new QGuiApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find(SETTINGS_SEPARATOR);
    const std::string settings = split == std::string::npos ? "" : input.substr(split + strlen(SETTINGS_SEPARATOR));
    if (!fuzzWriteFile(fuzzFolder() + "/MOXEL/MOXEL.conf", settings.data(), settings.size())) return 0;
    fuzzBatchRun(input.substr(0, split), true);
    return 0;
}
