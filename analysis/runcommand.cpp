// The Run command's steps around the analysis worker. Batch mode and the window both
// call these, so a program compiles, reads its data and starts the same way in both.
#include "analysis/runcommand.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "analysis/driver.h"
#include "analysis/preview.h"
#include "exec/builtins.h"
#include "exec/interpreter.h"
#include "lang/compiler.h"
#include "lang/data.h"
#include "lang/lexer.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/listing.h"
#include "support/paths.h"
#include "support/safefile.h"

namespace {

const char MSG_NO_LISTING[] = "Unable to create listing file: %s (%s)";
const char MSG_LISTING_LOST[] = "Unable to write listing file: %s (%s)";
const char MSG_FEWER_OBSERVATIONS[] = "Fewer data observations than parameters";
const char UNTITLED_PROGRAM[] = "Untitled.mxl";
const char MSG_NAME_COLLISION[] = "%s and %s name one file: %s. Give one of them another name";

RunOutputNames extraOutputNames = nullptr;   // the caller's further output files, or null
std::vector<std::pair<std::string, std::string>> resultFiles;   // the command line's results files
bool resultFileRefused = false;   // the last compile refused one of resultFiles

std::string formatMessage(const char* format, const std::string& path, const char* reason)
{
    char text[PATH_MAX + 200];
    snprintf(text, sizeof text, format, path.c_str(), reason);
    return text;
}

// True when both paths name one existing file.
bool sameFile(const std::string& a, const std::string& b)
{
    struct stat first;
    struct stat second;
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// An untitled program stands in the current folder, by its full name.
std::string untitledPath()
{
    char folder[PATH_MAX];
    if (!getcwd(folder, sizeof folder))
        return UNTITLED_PROGRAM;
    std::string path = folder;
    if (path.empty() || path.back() != '/')
        path += '/';
    return path + UNTITLED_PROGRAM;
}

// Opens the listing file beside the program; the message says why it could not be.
std::string openListing(const std::string& program, const std::string& listingPath)
{
    // A program file that itself ends in ".lst" would be replaced by its own listing.
    if (sameFile(listingPath, program))
        return formatMessage(MSG_NO_LISTING, safeFileFullPath(listingPath), "it is the program file");
    if (!listingOpenFile(listingPath.c_str()))
        return formatMessage(MSG_NO_LISTING, safeFileFullPath(listingPath), strerror(errno));
    return "";
}

// The name a path finally refers to, for comparing two: the folder without links or
// dots, and the file's own links followed when it exists. Empty for a device or a pipe,
// which several outputs may share (/dev/null): none replaces another's file there.
std::string comparableName(const std::string& path)
{
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        return "";
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved))
        return resolved;
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (!realpath(folder.c_str(), resolved))
        return path;
    return std::string(resolved) + (resolved[1] ? "/" : "") + path.substr(slash + 1);
}

// One message for each file from ownFiles on whose name an earlier one already takes.
std::vector<std::string> nameClashes(const std::vector<std::pair<std::string, std::string>>& uses, size_t ownFiles)
{
    std::vector<std::string> names;
    for (const auto& use : uses)
        names.push_back(comparableName(use.second));
    std::vector<std::string> clashes;
    for (size_t k = ownFiles; k < uses.size(); ++k)
        for (size_t j = 0; j < k; ++j)
            if (!names[k].empty() && names[j] == names[k]) {
                std::string first = uses[j].first;
                first[0] = static_cast<char>(toupper(static_cast<unsigned char>(first[0])));
                char text[PATH_MAX + 200];
                snprintf(text, sizeof text, MSG_NAME_COLLISION, first.c_str(), uses[k].first.c_str(),
                         safeFileFullPath(uses[k].second).c_str());
                clashes.push_back(text);
                break;
            }
    return clashes;
}

// Refuses output files that would write one file: the later would replace the earlier's
// data with no word. Each clash is a compile error naming both uses.
bool outputNamesDistinct()
{
    std::vector<std::pair<std::string, std::string>> uses;   // what writes it, its name
    if (listingFile())
        uses.push_back({"the listing", listingFilePath()});
    uses.push_back({"the program", programPath});
    if (!dataFilePath.empty())
        uses.push_back({"the data file", dataFilePath});
    // A listing that is the program or the data file is refused as it is opened or put
    // in place (see openListing and runCommandFinish): these are compared with the
    // outputs that follow only.
    const size_t ownFiles = uses.size();
    if (settings.outputMode > 0)
        uses.push_back({"OUTPUT", resolveRelativePath(addDefaultExtension(settings.outputFile, "OUT"), programPath)});
    if (!settings.parameterOutputFile.empty())
        uses.push_back({"POUTPUT",
                        resolveRelativePath(addDefaultExtension(settings.parameterOutputFile, "PAR"), programPath)});
    if (extraOutputNames)
        extraOutputNames(programPath, &uses);
    uses.insert(uses.end(), resultFiles.begin(), resultFiles.end());
    resultFileRefused = !resultFiles.empty() && !nameClashes(uses, uses.size() - resultFiles.size()).empty();
    bool distinct = true;
    for (const std::string& clash : nameClashes(uses, ownFiles)) {
        compileError(nullptr, clash.c_str());
        distinct = false;
    }
    return distinct;
}

// The compile with the DATA statement, the allocator's guard check, and the refusal of
// a regression with fewer observations than parameters. True when the analysis may run.
bool compileStep(const LineSource* source)
{
    builtinsInstallFoldHook();
    resultFileRefused = false;
    if (!compileProgram(source))
        return false;
    if (!outputNamesDistinct())
        return false;
    memcheck_all();
    if (inputVariableCount > 0 && observationCount < parameterCount) {
        compileError(nullptr, MSG_FEWER_OBSERVATIONS);
        return false;
    }
    return !memOutOfMemory();
}

}  // namespace

std::string runCommandListingPath(const std::string& programPath)
{
    const std::string program = programPath.empty() ? untitledPath() : programPath;
    const size_t slash = program.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = program.find_last_of('.');
    const std::string stem = dot != std::string::npos && dot >= nameStart ? program.substr(0, dot) : program;
    return stem + ".lst";
}

RunStart runCommandStart(const std::string& path, const LineSource* source, bool listingRequired,
                         const char* listingPath, const std::vector<double>* startValues)
{
    RunStart start = {RUN_NOT_COMPILED, "", ""};
    runCommandRelease();
    settingsReset();
    builtinsReset();
    runResetState();
    memResetFailure();
    // DATA, OUTPUT and POUTPUT names are resolved against the program's folder.
    programPath = path.empty() ? untitledPath() : path;
    start.listingPath = listingPath ? listingPath : runCommandListingPath(path);
    if (!start.listingPath.empty())
        start.listingMessage = openListing(programPath, start.listingPath);
    if (!start.listingMessage.empty() && listingRequired) {
        start.status = RUN_NO_LISTING;
        return start;
    }
    if (!compileStep(source))
        return start;
    if (startValues && static_cast<int>(startValues->size()) == parameterCount)
        for (int j = 0; j < parameterCount; ++j)
            parameters[j]->initialValue = (*startValues)[j];
    start.status = driverStart() ? RUN_STARTED : RUN_NOT_STARTED;
    return start;
}

bool runCommandCompile(const std::string& path, const LineSource* source)
{
    runCommandRelease();
    settingsReset();
    memResetFailure();
    programPath = path.empty() ? untitledPath() : path;
    return compileStep(source);
}

RunPreview runCommandPreview(const std::string& path, const LineSource* source)
{
    RunPreview preview = {RUN_NOT_COMPILED, false};
    runCommandRelease();
    settingsReset();
    memResetFailure();
    abortRequested.store(false);
    programPath = path.empty() ? untitledPath() : path;
    if (!compileStep(source))
        return preview;
    const PreviewResult result = previewRun();
    preview.status = result.evaluated ? RUN_STARTED : RUN_NOT_COMPILED;
    preview.computable = previewComputable(result);
    return preview;
}

RunEnd runCommandFinish()
{
    RunEnd end = {false, ""};
    if (!listingFile())
        return end;
    const std::string path = safeFileFullPath(listingFilePath());
    // The listing takes its name only now; a data file of that name stays as it is.
    if (!dataFilePath.empty() && sameFile(listingFilePath(), dataFilePath)) {
        end.listingLost = true;
        end.listingMessage = formatMessage(MSG_NO_LISTING, path, "it is the data file");
        listingDiscardFile();
    } else if (!listingCloseFile()) {
        // Not written in full (a full disk, say) or not put in place: the old listing
        // stays, and the run's result is lost.
        end.listingLost = true;
        end.listingMessage = formatMessage(MSG_LISTING_LOST, path, strerror(errno ? errno : EIO));
    }
    return end;
}

void runCommandSetOutputNames(RunOutputNames names)
{
    extraOutputNames = names;
}

void runCommandSetResultFiles(const std::vector<std::pair<std::string, std::string>>& files)
{
    resultFiles = files;
}

bool runCommandResultFileRefused()
{
    return resultFileRefused;
}

std::string runCommandNameClash(const std::vector<std::pair<std::string, std::string>>& uses, size_t ownFiles)
{
    const std::vector<std::string> clashes = nameClashes(uses, ownFiles);
    return clashes.empty() ? std::string() : clashes.front();
}

void runCommandRelease()
{
    previewRelease();
    driverRelease();
    compilerReleaseAll();
    lexerReset(nullptr);
    listingClear();
}
