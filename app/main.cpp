// Entry point of the moxel command: command line, start-up trace, then batch mode. The
// window and batch mode's saved plots need the graphical libraries, whose loading alone
// takes longer than a small batch run: for them this program hands its command line over
// to moxel-window, installed beside it, which takes this process's place.
#include "app/batch.h"
#include "app/commandline.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <string>
#include <unistd.h>

namespace {

constexpr const char* WINDOW_PROGRAM = "moxel-window";

// Replaces this process with moxel-window from this program's folder, on the same
// arguments; returns only when that fails, after saying why.
int startWindowProgram(char** argv)
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path = WINDOW_PROGRAM;
    if (length > 0) {
        self[length] = '\0';
        const std::string folder(self, strrchr(self, '/') ? strrchr(self, '/') - self : 0);
        path = folder + "/" + WINDOW_PROGRAM;
    }
    execv(path.c_str(), argv);
    fprintf(stderr, "Unable to start %s (%s)\n", path.c_str(), strerror(errno));
    return BATCH_FAILED;
}

}  // namespace

int main(int argc, char** argv)
{
    mallopt(M_MMAP_THRESHOLD, COMMAND_MMAP_THRESHOLD);
    const CommandLine commandLine = commandLineParse(argc, argv);
    // Help, the version and a bad command line never wait for a window.
    const int early = commandLineEarlyExit(commandLine);
    if (early >= 0)
        return early;
    const bool sets = !commandLine.byColumn.empty() || !commandLine.dataFiles.empty();
    if (!commandLine.run || (!sets && commandLine.plots && !commandLine.invalidOption && !commandLine.programPath.empty()))
        return startWindowProgram(argv);
    commandLineWriteTrace(argc, argv, commandLine);
    printf("RUN option specified\n");
    fflush(stdout);
    if (commandLine.invalidOption || commandLine.programPath.empty()) {
        commandLinePrintUsage();
        return BATCH_BAD_COMMAND;
    }
    if (commandLine.preview)
        return commandLineFinish(batchPreview(commandLine.programPath.c_str()));
    if (sets) {
        BatchSets batchSets;
        batchSets.files = commandLine.dataFiles;
        if (batchSets.files.size() == 1 && batchSets.files[0] == "-")
            batchSets.files = batchReadNameList();
        batchSets.byColumn = commandLine.byColumn;
        batchSets.tablePath = commandLine.tablePath;
        const long processors = sysconf(_SC_NPROCESSORS_ONLN);
        batchSets.jobs = commandLine.jobs > 0 ? commandLine.jobs : processors > 0 ? static_cast<int>(processors) : 1;
        // -chain fits in order, one after another: it sets one job unless -jobs says more.
        if (commandLine.chain && commandLine.jobs == 0)
            batchSets.jobs = 1;
        batchSets.chain = commandLine.chain;
        batchSets.quiet = commandLine.quiet;
        if (!commandLine.dataFiles.empty() && batchSets.files.empty()) {
            fprintf(stderr, "No data file names on standard input\n");
            return BATCH_BAD_COMMAND;
        }
        return commandLineFinish(batchRunSets(commandLine.programPath.c_str(), batchSets));
    }
    return commandLineFinish(batchRun(commandLine.programPath.c_str(), nullptr, commandLine.jsonPath.c_str()));
}
