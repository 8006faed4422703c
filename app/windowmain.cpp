// Entry point of moxel-window: the window, and batch mode with saved plots. The moxel
// command starts it for these (see main.cpp); it runs the same command line.
#include "app/batch.h"
#include "app/batchplots.h"
#include "app/commandline.h"
#include "app/window.h"
#include "analysis/runcommand.h"

#include <cstdio>
#include <malloc.h>

int main(int argc, char** argv)
{
    mallopt(M_MMAP_THRESHOLD, COMMAND_MMAP_THRESHOLD);
    const CommandLine commandLine = commandLineParse(argc, argv);
    const int early = commandLineEarlyExit(commandLine);
    if (early >= 0)
        return early;
    commandLineWriteTrace(argc, argv, commandLine);
    if (commandLine.run) {
        printf("RUN option specified\n");
        fflush(stdout);
        if (commandLine.invalidOption || commandLine.programPath.empty()) {
            commandLinePrintUsage();
            return BATCH_BAD_COMMAND;
        }
        if (commandLine.plots)
            runCommandSetOutputNames(batchPlotOutputNames);
        if (commandLine.preview)
            return commandLineFinish(
                batchPreview(commandLine.programPath.c_str(), commandLine.plots ? batchSavePreviewPlots : nullptr));
        return commandLineFinish(
            batchRun(commandLine.programPath.c_str(), commandLine.plots ? batchSavePlots : nullptr));
    }
    return windowRun(argc, argv, commandLine);
}
