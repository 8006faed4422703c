// Command-line options and the start-up trace. Options start with '-'; a leading '/'
// is a path on this system, so "/run" and "/params" count only as whole words.
#include "app/commandline.h"

#include "support/safefile.h"
#include "support/settingsfile.h"
#include "support/version.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <strings.h>
#include <sys/stat.h>
#include <vector>

namespace {

// The option word without its leading '-' (or '/' for the whole words), or null when
// the argument is not written as an option.
const char* optionWord(const char* arg)
{
    if (arg[0] == '-')
        return arg + 1;
    if (arg[0] == '/' && (strcasecmp(arg, "/run") == 0 || strcasecmp(arg, "/params") == 0))
        return arg + 1;
    return nullptr;
}

// ORDER TYPE: the plot file types by the words -plot-format takes.
constexpr const char* PLOT_FORMAT_WORDS[][2] = {
    {"jpg", "jpeg"}, {"bmp", "bmp"}, {"png", "png"}, {"svg", "svg"}, {"pdf", "pdf"},
};
constexpr int PLOT_SIDE_MAX = 20000;

int plotFormatOfWord(const char* word)
{
    for (int type = 0; type < int(sizeof PLOT_FORMAT_WORDS / sizeof PLOT_FORMAT_WORDS[0]); type++)
        if (strcasecmp(word, PLOT_FORMAT_WORDS[type][0]) == 0 || strcasecmp(word, PLOT_FORMAT_WORDS[type][1]) == 0)
            return type;
    return -1;
}

// "WxH" (or "W*H") in whole pixels, each side 1..PLOT_SIDE_MAX.
bool readPlotSize(const char* text, int* width, int* height)
{
    char* end = nullptr;
    errno = 0;
    const long w = strtol(text, &end, 10);
    if (end == text || (*end != 'x' && *end != 'X' && *end != '*'))
        return false;
    const char* second = end + 1;
    const long h = strtol(second, &end, 10);
    if (end == second || *end != '\0' || errno != 0 || w < 1 || h < 1 || w > PLOT_SIDE_MAX || h > PLOT_SIDE_MAX)
        return false;
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    return true;
}

bool makeFolder(const std::string& path)
{
    for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        const std::string part = slash == std::string::npos ? path : path.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            break;
    }
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

CommandLine commandLineParse(int argc, char** argv)
{
    CommandLine commandLine;
    std::vector<const char*> names;   // arguments not written as options, in order
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        const char* word = optionWord(arg);
        if (!word) {
            names.push_back(arg);
            continue;
        }
        const bool hasValue = i + 1 < argc && !optionWord(argv[i + 1]);
        if (strcasecmp(word, "run") == 0) {
            commandLine.run = true;
            // The program may also stand anywhere else among the arguments.
            if (hasValue && commandLine.programPath.empty())
                commandLine.programPath = argv[++i];
        } else if (strcasecmp(word, "params") == 0) {
            if (hasValue)
                i++;
        } else if (strcasecmp(word, "plots") == 0) {
            commandLine.plots = true;
        } else if (strcasecmp(word, "plot-format") == 0 || strcasecmp(word, "plot-size") == 0) {
            const bool format = strcasecmp(word, "plot-format") == 0;
            const char* value = i + 1 < argc ? argv[i + 1] : "";
            const bool good = format ? (commandLine.plotFormat = plotFormatOfWord(value)) >= 0
                                     : readPlotSize(value, &commandLine.plotWidth, &commandLine.plotHeight);
            if (i + 1 < argc)
                i++;
            if (!good) {
                printf("Invalid command option: %s %s\n", word, value);
                commandLine.invalidOption = true;
            }
        } else if (strcasecmp(word, "preview") == 0) {
            commandLine.preview = true;
        } else if (strcasecmp(word, "compare") == 0) {
            commandLine.compare = true;
        } else if (strcasecmp(word, "data") == 0) {
            // Every name up to the next option is a data file; "-" alone stands for a list
            // of names on standard input.
            const size_t before = commandLine.dataFiles.size();
            while (i + 1 < argc && (!optionWord(argv[i + 1]) || strcmp(argv[i + 1], "-") == 0))
                commandLine.dataFiles.push_back(argv[++i]);
            if (commandLine.dataFiles.size() == before) {
                printf("Invalid command option: %s (a file name must follow)\n", word);
                commandLine.invalidOption = true;
            }
        } else if (strcasecmp(word, "by") == 0 || strcasecmp(word, "table") == 0) {
            if (i + 1 < argc && argv[i + 1][0] != '\0') {
                (strcasecmp(word, "by") == 0 ? commandLine.byColumn : commandLine.tablePath) = argv[++i];
            } else {
                printf("Invalid command option: %s (a value must follow)\n", word);
                commandLine.invalidOption = true;
            }
        } else if (strcasecmp(word, "jobs") == 0) {
            char* end = nullptr;
            const long jobs = hasValue ? strtol(argv[i + 1], &end, 10) : 0;
            if (!hasValue || *end != '\0' || jobs < 1 || jobs > COMMAND_JOBS_MAX) {
                printf("Invalid command option: %s (a number of jobs from 1 to %d must follow)\n", word,
                       COMMAND_JOBS_MAX);
                commandLine.invalidOption = true;
            } else {
                commandLine.jobs = static_cast<int>(jobs);
            }
            if (hasValue)
                i++;
        } else if (strcasecmp(word, "chain") == 0) {
            commandLine.chain = true;
        } else if (strcasecmp(word, "quiet") == 0) {
            commandLine.quiet = true;
        } else if (strcasecmp(word, "json") == 0) {
            // The file name may begin with '-' only as a path (./-x.json).
            if (i + 1 < argc && argv[i + 1][0] != '\0') {
                commandLine.jsonPath = argv[++i];
            } else {
                printf("Invalid command option: %s (a file name must follow)\n", word);
                commandLine.invalidOption = true;
            }
        } else if (strcasecmp(word, "h") == 0 || strcasecmp(word, "help") == 0 || strcasecmp(word, "-help") == 0) {
            commandLine.help = true;
        } else if (strcasecmp(word, "version") == 0 || strcasecmp(word, "-version") == 0) {
            commandLine.version = true;
        } else {
            printf("Invalid command option: %s\n", word);
            commandLine.invalidOption = true;
            if (hasValue)
                i++;
        }
    }
    // -by and -data are two ways to form the data sets: one at a time.
    if (!commandLine.byColumn.empty() && !commandLine.dataFiles.empty()) {
        printf("Invalid command option: by (use either -by or -data)\n");
        commandLine.invalidOption = true;
    }
    // Batch mode takes one program name, the window one document.
    for (const char* name : names) {
        if (commandLine.compare) {
            commandLine.comparePaths.push_back(name);
            continue;
        }
        if (commandLine.run && commandLine.programPath.empty()) {
            commandLine.programPath = name;
            continue;
        }
        if (!commandLine.run && commandLine.documentPath.empty()) {
            commandLine.documentPath = name;
            continue;
        }
        printf("Invalid command option: %s\n", name);
        commandLine.invalidOption = true;
    }
    return commandLine;
}

void commandLinePrintUsage()
{
    // A bad batch command line gets the one line about batch mode.
    const char* end = strchr(COMMAND_LINE_USAGE, '\n');
    fprintf(stderr, "%.*s\n", int(end - COMMAND_LINE_USAGE), COMMAND_LINE_USAGE);
}

int commandLineEarlyExit(const CommandLine& commandLine)
{
    if (commandLine.help) {
        fputs(COMMAND_LINE_USAGE, stdout);
        return commandLineFinish(0);
    }
    if (commandLine.version) {
        printf("%s\n", moxelVersion);
        return commandLineFinish(0);
    }
    if (commandLine.invalidOption && !commandLine.run) {
        fflush(stdout);
        fputs(COMMAND_LINE_USAGE, stderr);
        return 2;
    }
    return -1;
}

int commandLineFinish(int status)
{
    // An earlier failed write leaves the stream's error flag; its errno is long gone.
    const bool earlier = ferror(stdout) != 0;
    errno = 0;
    const bool flushed = fflush(stdout) == 0;
    if (flushed && !earlier)
        return status;
    if (!flushed && errno != 0)
        fprintf(stderr, "moxel: standard output could not be written (%s)\n", strerror(errno));
    else
        fprintf(stderr, "moxel: standard output could not be written in full\n");
    return 1;
}

std::string commandLineSettingsFolder()
{
    const std::string file = settingsFilePath();
    if (file.empty())
        return "";
    const std::string folder = file.substr(0, file.rfind('/'));
    return makeFolder(folder) ? folder : "";
}

void commandLineWriteTrace(int argc, char** argv, const CommandLine& commandLine)
{
    const std::string folder = commandLineSettingsFolder();
    if (folder.empty())
        return;
    // Only a plain file (or none) is written: a pipe or a device put there is left alone.
    const std::string path = folder + "/trace.dat";
    struct stat info;
    if (lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        return;
    SafeFile trace;
    if (!safeFileOpen(&trace, path))
        return;
    fprintf(trace.stream, "Num arg = %d\n", argc);
    for (int i = 0; i < argc; i++)
        fprintf(trace.stream, "arg[%d] = %s\n", i, argv[i]);
    fprintf(trace.stream, "CmdRun=%d\n", commandLine.run ? 1 : 0);
    safeFileCommit(&trace);
}

int commandLineStart(int argc, char** argv, CommandLine* commandLine)
{
    mallopt(M_MMAP_THRESHOLD, COMMAND_MMAP_THRESHOLD);
    *commandLine = commandLineParse(argc, argv);
    return commandLineEarlyExit(*commandLine);
}
