// Entry point: command line, start-up trace, then batch mode or the window.
#include "app/batch.h"
#include "app/commandline.h"
#include "app/window.h"

#include <cstdio>

int main(int argc, char** argv)
{
    const CommandLine commandLine = commandLineParse(argc, argv);
    commandLineWriteTrace(argc, argv, commandLine);
    if (commandLine.run) {
        printf("RUN option specified\n");
        fflush(stdout);
        if (commandLine.invalidOption || commandLine.programPath.empty()) {
            commandLinePrintUsage();
            return BATCH_BAD_COMMAND;
        }
        return batchRun(commandLine.programPath.c_str(), commandLine.plots);
    }
    return windowRun(argc, argv, commandLine);
}
