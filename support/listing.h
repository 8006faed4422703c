// Listing output: the screen listing (a list of lines the listing pane shows, and that
// batch mode prints), the listing file written beside the program, and the reporters
// that write errors to both in fixed words.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct SourceLine;

constexpr int LISTING_LINE_MAX = 198;     // characters kept of one screen line
constexpr int COMPILE_ERROR_LIMIT = 100;  // compile errors shown before the compile stops

struct ListingLine {
    ListingLine* next;    // next newer line, or null
    char text[1];         // NUL-terminated text, allocated to its length
};

// The screen listing. Appending is safe while another thread reads from the head.
void listingPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
void listingAppendLine(const char* text);
void listingClear();
ListingLine* listingHead();
int listingCount();

// Called with each line as it is appended (batch mode prints it; the GUI repaints). The
// sink gets the line uncut and with its UTF-8 bytes, without line breaks.
typedef void (*ListingSink)(const char* text);
void listingSetSink(ListingSink sink);

// The listing file: one text stream, or none. It is written under a unique temporary
// name beside path and renamed to path only when complete (support/safefile.h).
bool listingOpenFile(const char* path);   // closes any open one first; false (errno set) when it cannot be created
bool listingCloseFile();                  // false (errno set) when it could not be written or put in place
void listingDiscardFile();                // closes and removes it, leaving any file of its name alone
const std::string& listingFilePath();     // the final name of the open listing, empty when none
FILE* listingFile();                       // null when no listing file is open
void listingFilePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The errors and notes of the run, as the reporters wrote them, for the results a script
// reads; listingClear empties the list. At most LISTING_MESSAGES_KEPT are kept.
constexpr int LISTING_MESSAGES_KEPT = 1000;
struct ListingMessage {
    const char* kind;       // "error" or "note"
    int line;               // program line it names, 0 when none
    std::string text;       // the message without "Error: " or "Note: "
};
const std::vector<ListingMessage>& listingMessages();
void listingKeepMessage(const char* kind, int line, const char* text);

// Error reporters.
int compileError(const SourceLine* line, const char* message);   // returns the new count
int compileErrorf(const SourceLine* line, const char* format, ...)   // compileError of a formatted message
    __attribute__((format(printf, 2, 3)));
// A remark that is not an error: after the source line when one is given, "Note: "
// and the text on the screen and in the listing file. It counts nothing.
void listingNote(const SourceLine* line, const char* message);
void dataError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void lexError(const char* message);
void errorBox(const char* format, ...) __attribute__((format(printf, 1, 2)));
int compileErrorCount();
bool compileErrorLimitReached();          // the compile has shown its last error and stops reading
void compileErrorReset();

// The error box: the GUI installs a dialog; by default "Error: " and the text go to stderr.
typedef void (*ErrorBoxHandler)(const char* text);
void errorBoxSetHandler(ErrorBoxHandler handler);

// Diagnostic trace channel (lines that are not listing messages); writes nowhere by default.
void traceLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void traceSetSink(ListingSink sink);      // null: trace lines go nowhere
