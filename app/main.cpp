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
    CommandLine commandLine;
    // Help, the version and a bad command line never wait for a window.
    const int early = commandLineStart(argc, argv, &commandLine);
    if (early >= 0)
        return early;
    if (commandLine.compare) {
        if (commandLine.invalidOption || commandLine.run || commandLine.comparePaths.size() < 2) {
            fprintf(stderr, "-compare needs two or more program files and no other option\n");
            commandLinePrintUsage();
            return BATCH_BAD_COMMAND;
        }
        return commandLineFinish(batchCompare(commandLine.comparePaths));
    }
    // A batch over data sets saves no plots: it never needs the window program.
    const bool sets = !commandLine.byColumn.empty() || !commandLine.dataFiles.empty();
    if (!commandLine.run || (!sets && commandLine.plots && !commandLine.invalidOption && !commandLine.programPath.empty()))
        return startWindowProgram(argv);
    commandLineWriteTrace(argc, argv, commandLine);
    return batchCommand(commandLine, nullptr, nullptr);
}
