// Batch mode: the program file is read into memory and served to the compiler through a
// line source; every screen-listing line is printed on standard output as it is made.
#include "app/batch.h"

#include "exec/builtins.h"
#include "lang/compiler.h"
#include "lang/data.h"
#include "lang/lexer.h"
#include "lang/linesource.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/listing.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

constexpr long PROGRAM_FILE_MAX = 256L * 1024 * 1024;   // bytes of a program file

const char MSG_CANNOT_OPEN[] = "Unable to open program file: %s (%s)\n";
const char MSG_CANNOT_READ[] = "Unable to read program file: %s (%s)\n";
const char MSG_TOO_LARGE[] = "Program file is too large: %s\n";
const char MSG_NO_LISTING[] = "Unable to create listing file: %s (%s)\n";
const char MSG_FEWER_OBSERVATIONS[] = "Fewer data observations than parameters";

struct BatchState {
    char* text;             // the program file's bytes ("filebuf" block), or null
    size_t length;          // bytes in text
    TextLines lines;        // the lines of text
    LineSource source;      // line source over lines
};

BatchState batch = {nullptr, 0, {nullptr, {}, {}}, {0, nullptr, nullptr}};

void printScreenLine(const char* text)
{
    fputs(text, stdout);
    fputc('\n', stdout);
}

// The error box of batch mode: its text without surrounding line breaks, on stderr.
void printErrorBox(const char* text)
{
    while (*text == '\n')
        text++;
    size_t length = strlen(text);
    while (length > 0 && text[length - 1] == '\n')
        length--;
    fprintf(stderr, "Error: %.*s\n", static_cast<int>(length), text);
    fflush(stderr);
}

// Reads the whole program file; false after a message on standard error.
bool loadProgram(const char* path)
{
    FILE* file = fopen(path, "rb");
    if (!file) {
        fprintf(stderr, MSG_CANNOT_OPEN, path, strerror(errno));
        return false;
    }
    struct stat info;
    if (fstat(fileno(file), &info) != 0) {
        fprintf(stderr, MSG_CANNOT_READ, path, strerror(errno));
        fclose(file);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        fprintf(stderr, MSG_CANNOT_READ, path, S_ISDIR(info.st_mode) ? strerror(EISDIR) : "not a regular file");
        fclose(file);
        return false;
    }
    if (info.st_size > PROGRAM_FILE_MAX) {
        fprintf(stderr, MSG_TOO_LARGE, path);
        fclose(file);
        return false;
    }
    const size_t size = static_cast<size_t>(info.st_size);
    batch.text = static_cast<char*>(memalloc(size + 5, "filebuf"));
    if (!batch.text) {
        fclose(file);
        return false;
    }
    batch.length = fread(batch.text, 1, size, file);
    const bool failed = ferror(file) != 0;
    const int readError = errno;
    fclose(file);
    if (failed) {
        fprintf(stderr, MSG_CANNOT_READ, path, strerror(readError));
        return false;
    }
    batch.text[batch.length] = '\0';
    batch.source = lineSourceFromText(batch.lines, batch.text, batch.length);
    return true;
}

// The compile step, as the Run command does it: fresh settings and an empty run state,
// the compile with the DATA statement, the allocator's guard check, and the refusal of
// a regression with fewer observations than parameters. True when the analysis may run.
bool compileStep(const LineSource* source)
{
    settingsReset();
    compilerReleaseAll();
    builtinsInstallFoldHook();
    if (!compileProgram(source))
        return false;
    memcheck_all();
    if (inputVariableCount > 0 && observationCount < parameterCount) {
        compileError(nullptr, MSG_FEWER_OBSERVATIONS);
        return false;
    }
    return !memOutOfMemory();
}

// Releases everything the run built.
void releaseRun()
{
    compilerReleaseAll();
    lexerReset(nullptr);
    listingClear();
    if (batch.text)
        memfree(batch.text);
    batch.text = nullptr;
    batch.length = 0;
    batch.lines = TextLines{nullptr, {}, {}};
    batch.source = LineSource{0, nullptr, nullptr};
}

} // namespace

std::string batchListingPath(const std::string& programPath)
{
    const size_t nameStart = programPath.find_last_of('/') == std::string::npos
                                 ? 0 : programPath.find_last_of('/') + 1;
    const size_t dot = programPath.find_last_of('.');
    const std::string stem = dot != std::string::npos && dot >= nameStart ? programPath.substr(0, dot)
                                                                           : programPath;
    return stem + ".lst";
}

int batchRun(const char* programPath)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    errorBoxSetHandler(printErrorBox);
    listingSetSink(printScreenLine);
    memResetFailure();
    listingClear();

    if (!loadProgram(programPath)) {
        releaseRun();
        return BATCH_FAILED;
    }
    const std::string listingPath = batchListingPath(programPath);
    if (!listingOpenFile(listingPath.c_str()))
        fprintf(stderr, MSG_NO_LISTING, listingPath.c_str(), strerror(errno));

    ::programPath = programPath;   // DATA, OUTPUT and POUTPUT names are resolved against it
    const bool compiled = compileStep(&batch.source);

    listingCloseFile();
    releaseRun();
    fflush(stdout);
    return compiled ? BATCH_OK : BATCH_FAILED;
}
