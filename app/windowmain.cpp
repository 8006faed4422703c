// Entry point of moxel-window: the window, and batch mode with saved plots. The moxel
// command starts it for these (see main.cpp); it runs the same command line.
#include "app/batch.h"
#include "app/batchplots.h"
#include "app/commandline.h"
#include "app/window.h"
#include "analysis/runcommand.h"

int main(int argc, char** argv)
{
    CommandLine commandLine;
    const int early = commandLineStart(argc, argv, &commandLine);
    if (early >= 0)
        return early;
    commandLineWriteTrace(argc, argv, commandLine);
    if (commandLine.run) {
        batchSetPlotFormat(commandLine.plotFormat, commandLine.plotWidth, commandLine.plotHeight);
        if (commandLine.plots)
            runCommandSetOutputNames(batchPlotOutputNames);
        return batchCommand(commandLine, batchSavePlots, batchSavePreviewPlots);
    }
    return windowRun(argc, argv, commandLine);
}
