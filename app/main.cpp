// Entry point: command line, start-up trace, then batch mode or the window.
#include "app/batch.h"
#include "app/commandline.h"
#include "app/window.h"

#include <cstdio>
#include <malloc.h>

int main(int argc, char** argv)
{
    // Large blocks (the data store, the solver's arrays, the result columns) always come
    // straight from the system: a fresh block costs no memory until it is written, growth
    // remaps instead of copying, and a freed block goes back at once. Without this the
    // threshold rises after the first large free and later blocks are zeroed on the heap.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
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
