// Listing output: the screen listing, the listing file, the error reporters and the error
// box.
#include "support/listing.h"

#include "support/allocator.h"
#include "support/safefile.h"
#include "support/sourceline.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <string>

namespace {

const char MSG_TOO_MANY_ERRORS[] = "Too many errors: the compile stops after 100 errors";
static_assert(COMPILE_ERROR_LIMIT == 100, "the message names the limit");

constexpr int FORMAT_BUFFER = 600;        // a formatted screen line before cutting
constexpr int ERROR_BOX_BUFFER = 256;     // text of one error box
constexpr int LEX_ERROR_BUFFER = 100;     // "Error: " and a lexical message
constexpr int LISTING_TEXT_LIMIT = 197;   // characters copied before the line is full
constexpr int ERROR_LINE_TEXT = 70;       // characters of a source line shown with an error

void printErrorToStderr(const char* text);

struct ListingState {
    std::atomic<ListingLine*> head{nullptr};   // oldest screen line
    ListingLine* tail = nullptr;               // newest screen line
    std::atomic<int> count{0};                 // screen lines
    ListingSink sink = nullptr;                // told of each appended line
    ListingSink traceSink = nullptr;           // receives trace lines
    ErrorBoxHandler errorBoxHandler = printErrorToStderr;
    SafeFile file;                             // listing file (its stream null when none)
    std::string path;                          // its final name, empty when none is open
    char lastBoxText[ERROR_BOX_BUFFER] = "";   // the error box text last written to the listing file
    int compileErrors = 0;                     // compile errors counted since the reset
    std::vector<ListingMessage> messages;      // the run's errors and notes, oldest first
};

ListingState listing;

// Batch mode and tests: the box text without its surrounding line breaks.
void printErrorToStderr(const char* text)
{
    size_t begin = 0;
    size_t end = strlen(text);
    while (begin < end && (text[begin] == '\n' || text[begin] == '\r'))
        begin++;
    while (end > begin && (text[end - 1] == '\n' || text[end - 1] == '\r'))
        end--;
    fprintf(stderr, "Error: %.*s\n", static_cast<int>(end - begin), text + begin);
    fflush(stderr);
}

// The line as the sink gets it: uncut and with its bytes above 127 (UTF-8 text); a tab
// becomes two blanks as on the screen, and other control characters are left out.
std::string sinkText(const char* text)
{
    std::string kept;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; p++) {
        if (*p == '\t')
            kept += "  ";
        else if (*p >= ' ')
            kept += static_cast<char>(*p);
    }
    return kept;
}

// The line a message concerns, on the screen: its number and its text from the first
// non-blank, cut to ERROR_LINE_TEXT characters. Nothing without a line.
void printSourceLine(const SourceLine* line)
{
    if (!line)
        return;
    const char* text = line->text;
    while (*text == ' ' || *text == '\t')
        text++;
    listingPrint("  %4d: %.*s\n", line->lineNumber, ERROR_LINE_TEXT, text);
}

} // namespace

void listingPrint(const char* format, ...)
{
    char buffer[FORMAT_BUFFER];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    listingAppendLine(buffer);
}

void listingAppendLine(const char* text)
{
    // A tab becomes two blanks; control characters and bytes above 127 are dropped.
    char copy[LISTING_LINE_MAX + 1];
    int length = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
         *p && length < LISTING_TEXT_LIMIT; p++) {
        if (*p == '\t') {
            copy[length++] = ' ';
            copy[length++] = ' ';
        } else if (*p >= ' ' && *p <= 127) {
            copy[length++] = static_cast<char>(*p);
        }
    }
    copy[length] = '\0';

    auto* line = static_cast<ListingLine*>(memalloc(offsetof(ListingLine, text) + length + 1, "slm"));
    if (!line)
        return;
    memcpy(line->text, copy, length + 1);
    line->next = nullptr;
    // The line is complete before it becomes reachable from the head.
    if (listing.tail)
        std::atomic_ref<ListingLine*>(listing.tail->next).store(line, std::memory_order_release);
    else
        listing.head.store(line, std::memory_order_release);
    listing.tail = line;
    listing.count.fetch_add(1, std::memory_order_release);
    if (listing.sink)
        listing.sink(sinkText(text).c_str());
}

void listingClear()
{
    listing.messages.clear();
    ListingLine* line = listing.head.exchange(nullptr);
    listing.tail = nullptr;
    listing.count.store(0);
    while (line) {
        ListingLine* next = line->next;
        memfree(line);
        line = next;
    }
}

ListingLine* listingHead()
{
    return listing.head.load(std::memory_order_acquire);
}

int listingCount()
{
    return listing.count.load(std::memory_order_acquire);
}

void listingSetSink(ListingSink sink)
{
    listing.sink = sink;
}

// The listing is written under a temporary name beside the file it will replace and takes
// that file's name when it is closed: a file of that name which the run still reads (a
// data file, say) is not emptied the moment the run starts, and a run that fails or is
// killed leaves the old listing whole.
bool listingOpenFile(const char* path)
{
    listingCloseFile();
    if (!safeFileOpen(&listing.file, path)) {
        errno = listing.file.error;
        return false;
    }
    listing.path = path;
    listing.lastBoxText[0] = '\0';
    return true;
}

bool listingCloseFile()
{
    if (!listing.file.stream)
        return true;
    const bool placed = safeFileCommit(&listing.file);
    listing.path.clear();
    if (!placed)
        errno = listing.file.error;
    return placed;
}

void listingDiscardFile()
{
    safeFileDiscard(&listing.file);
    listing.path.clear();
}

const std::string& listingFilePath()
{
    return listing.path;
}

FILE* listingFile()
{
    return listing.file.stream;
}

void listingFilePrint(const char* format, ...)
{
    if (!listing.file.stream)
        return;
    va_list args;
    va_start(args, format);
    vfprintf(listing.file.stream, format, args);
    va_end(args);
}

int compileError(const SourceLine* line, const char* message)
{
    // Past the limit the compile is ending: errors still count, but a flood (thousands
    // of undefined names, say) does not bury the first ones.
    if (listing.compileErrors >= COMPILE_ERROR_LIMIT)
        return ++listing.compileErrors;
    printSourceLine(line);
    listingKeepMessage("error", line ? line->lineNumber : 0, message);
    listingPrint("Error: %s", message);
    listingFilePrint("Error: %s\n", message);
    if (++listing.compileErrors == COMPILE_ERROR_LIMIT) {
        listingPrint("Error: %s", MSG_TOO_MANY_ERRORS);
        listingFilePrint("Error: %s\n", MSG_TOO_MANY_ERRORS);
    }
    return listing.compileErrors;
}

void listingNote(const SourceLine* line, const char* message)
{
    printSourceLine(line);
    listingKeepMessage("note", line ? line->lineNumber : 0, message);
    listingPrint("Note: %s", message);
    listingFilePrint("Note: %s\n", message);
}

int compileErrorf(const SourceLine* line, const char* format, ...)
{
    char message[FORMAT_BUFFER];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    return compileError(line, message);
}

void dataError(const char* format, ...)
{
    char message[FORMAT_BUFFER];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    std::string kept = message;
    while (!kept.empty() && kept.back() == '\n')
        kept.pop_back();
    listingKeepMessage("error", 0, kept.c_str());
    listingPrint("%s\n", message);
    listingFilePrint("Error: %s\n", message);
    listing.compileErrors++;
}

void lexError(const char* message)
{
    char line[LEX_ERROR_BUFFER];
    snprintf(line, sizeof(line), "Error: %s", message);
    listingKeepMessage("error", 0, message);
    listingPrint("%s\n", line);
    listingFilePrint("Error: %s\n", message);
}

void errorBox(const char* format, ...)
{
    char text[ERROR_BOX_BUFFER];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    // The box goes away; the listing keeps the message (out of memory, say), so that the
    // file tells why the run ended where it did. A message repeated at once (every
    // screen line that finds no memory) is kept once.
    if (listing.file.stream && strcmp(listing.lastBoxText, text) != 0) {
        // No allocation here: memory may be what ran out.
        snprintf(listing.lastBoxText, sizeof listing.lastBoxText, "%s", text);
        const char* start = text;
        size_t length = strlen(text);
        while (length > 0 && (*start == '\n' || *start == '\r')) {
            start++;
            length--;
        }
        while (length > 0 && (start[length - 1] == '\n' || start[length - 1] == '\r'))
            length--;
        fprintf(listing.file.stream, "Error: %.*s\n", static_cast<int>(length), start);
    }
    if (listing.errorBoxHandler)
        listing.errorBoxHandler(text);
}

const std::vector<ListingMessage>& listingMessages()
{
    return listing.messages;
}

void listingKeepMessage(const char* kind, int line, const char* text)
{
    if (listing.messages.size() < LISTING_MESSAGES_KEPT)
        listing.messages.push_back(ListingMessage{kind, line, text});
}

int compileErrorCount()
{
    return listing.compileErrors;
}

bool compileErrorLimitReached()
{
    return listing.compileErrors >= COMPILE_ERROR_LIMIT;
}

void compileErrorReset()
{
    listing.compileErrors = 0;
}

void errorBoxSetHandler(ErrorBoxHandler handler)
{
    listing.errorBoxHandler = handler ? handler : printErrorToStderr;
}

void traceLine(const char* format, ...)
{
    if (!listing.traceSink)
        return;
    char buffer[FORMAT_BUFFER];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    listing.traceSink(buffer);
}

void traceSetSink(ListingSink sink)
{
    listing.traceSink = sink;
}
