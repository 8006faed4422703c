// Batch mode: the program file is read into memory and served to the compiler through a
// line source; every screen-listing line is printed on standard output as it is made.
#include "app/batch.h"

#include "lang/lexer.h"
#include "lang/linesource.h"
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

// The compile step: reads the whole program through the lexer, which echoes every line
// into the listing file and reports lexical errors. True when no error was counted.
bool compileStep(const LineSource* source)
{
    compileErrorReset();
    lexerReset(source);
    for (;;) {
        Token* token = nextToken();
        if (!token)
            break;
        const bool end = token->kind == TOK_END;
        freeToken(token);
        if (end)
            break;
    }
    return compileErrorCount() == 0 && !lexerFatalError() && !memOutOfMemory();
}

// Releases everything the run built.
void releaseRun()
{
    freeAllTokens();
    freeSourceLines();
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

    const bool compiled = compileStep(&batch.source);

    listingCloseFile();
    releaseRun();
    fflush(stdout);
    return compiled ? BATCH_OK : BATCH_FAILED;
}
