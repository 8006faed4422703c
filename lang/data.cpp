// DATA statement: reads the observations, inline from the program lines after the
// statement or from a data file, into the observation store. Records are parsed in
// place in one record buffer, which grows for a long record; the file is read in large
// blocks. Each value must be a whole number in the data syntax; the numbers themselves
// are read by the scanner the lexer shares.
#include "lang/data.h"

#include "lang/lexer.h"
#include "lang/options.h"
#include "lang/scanner.h"
#include "lang/statement.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/listing.h"

#include <algorithm>
#include <climits>
#include <cctype>
#include <cstdarg>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

double* observations;
int observationCount;
std::string dataFilePath;

namespace {

// Messages, in the words the user sees.
const char MSG_NO_MEMORY[] = "Insufficient memory space available";
const char MSG_TOO_FEW_VALUES[] = "Data record %ld has too few values: %s\n";
const char MSG_INVALID_CHARACTER[] = "Invalid character on data record %ld: %s\n";
const char MSG_TWO_POINTS[] = "Two decimal points in number: %s\n";
const char MSG_OUT_OF_RANGE[] = "Number out of range on data record %ld: %s\n";
const char MSG_INVALID_NUMBER[] = "Invalid number on data record %ld, field %d: %s\n";
const char MSG_DECIMAL_COMMAS[] = "Data record %ld has decimal commas: %s\n";
const char MSG_HINT_DECIMAL_COMMAS[] =
    "Write each decimal comma as a point (0.5, not 0,5); a comma separates two values.";
const char MSG_OPEN_FAILED[] = "Unable to open data file: %s (%s)";
const char MSG_READ_FAILED[] = "Unable to read data file: %s, after data record %ld (%s)";
const char MSG_READ_CANCELLED[] = "Reading the data was cancelled after %d observations";
const char MSG_NUL_BYTE[] =
    "Data record %ld holds a NUL byte: the data file is not text. Save the data as plain text.\n";
const char MSG_FILE_QUOTES[] = "The file name must be enclosed in quote signs";
const char MSG_HINT_HEADING[] =
    "The first data record holds text. If it is a heading line, skip it with DATASKIP 1; before DATA.";
const char MSG_NO_GROUP_COLUMN[] = "The data have no column %s to form the groups";
const char MSG_NAMES_LACKING[] = "The name line of the data lacks the variable%s %s; its names are: %s";
const char MSG_NOTE_BY_NAME[] = "Columns read by name from %s: %s";
const char MSG_NOTE_MISSING[] = "%d observation%s with missing values left out of the fit: record%s %s";
const char MSG_NOTE_EXTRA_VALUES[] =
    "Data record %ld has more values than variables; the values after the first %d are ignored "
    "(a decimal comma, as in 10,1, separates two values)";

constexpr int FIRST_CAPACITY = 200;          // rows of the first store without DATACOUNT
constexpr int GROWTH_ROWS = 2000;            // least growth of the store, in rows
constexpr int GROWTH_DIVISOR = 4;            // the store also grows by this part of its rows
constexpr size_t FILE_BLOCK_SIZE = 1 << 18;  // bytes read from the data file at a time
constexpr int ESTIMATE_SLACK_DIVISOR = 64;   // rows estimated from the file size get this part more
constexpr int ESTIMATE_SLACK_ROWS = 64;      // and this many more
constexpr int FIELD_TEXT_MAX = 64;           // characters of a field tried as a decimal-comma number
constexpr int MISSING_LISTED = 10;           // records with missing values named in the note

// How the columns of the data are found: by position, or by the names on its first line.
struct ColumnNames {
    bool byName;                                // the first record named the columns
    bool commas;                                // fields are separated by commas, else by blanks
    int variableField[MAX_INPUT_VARIABLES];     // 0-based field of each input variable
    int lastField;                              // the largest of variableField
};
constexpr size_t ECHO_MAX = 80;              // characters of a record repeated in a message

struct DataState {
    int capacity;                    // rows the observation store can hold
    int messageCount;                // data messages reported in this analysis
    DataProgressHook progressHook;   // the interface's progress display, or null
    bool statementSeen;              // a DATA statement has been compiled
    bool extraValuesNoted;           // a record with values beyond the variables was noted
    ColumnNames columns;             // the columns of the data being read
    const DataSelection* selection;  // the data set of a batch, or null
    int groupField;                  // 0-based field of the group column, -1 when records are not grouped
    std::vector<std::string> groups; // group texts in order of their first record (listGroups)
    std::vector<std::string> groupRecords;  // each group's records, '\n' after each (listGroups)
    std::unordered_map<std::string, size_t> groupIndex;  // position of each text in groups
    std::string nameLine;            // the name line of the data, empty when it has none
    bool inlineData;                 // the DATA statement read inline data
    int missingCount;                // records left out for a missing value
    long missingRecords[MISSING_LISTED];  // the first of them, by record number
};
DataState dataState;

// Where records come from: the program lines after DATA, or a data file.
struct RecordSource {
    FILE* file;             // data file, or null for inline data
    char* block;            // file bytes read but not yet handed out ("datablock"), NUL after them
    size_t length;          // bytes in block
    size_t position;        // next unread byte in block
    bool afterReturn;       // the last record ended at a CR: an LF next belongs to it
    bool started;           // the first block has been read
    bool ended;             // no more bytes
    bool noMemory;          // a record was longer than the record buffer could grow
    bool nulByte;           // the last record read holds a NUL byte (cut there)
    int readError;          // errno of a failed read, 0 while there is none
    long lineNumber;        // 1-based line of the data of the last record read
};

// The record buffer ("datarec"), grown to hold the longest record read.
struct RecordBuffer {
    char* text;             // the record, NUL-terminated
    size_t capacity;        // bytes of text
};

inline bool isFieldDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Values in a record are separated by blanks, tabs or commas.
inline bool endsField(char c)
{
    return c == ' ' || c == '\t' || c == ',' || c == '\0';
}

// A record or a field as a message repeats it: at most ECHO_MAX characters, "..." after
// a longer one, and control characters written as escapes (\t, \x1b).
std::string echo(const char* text, size_t length = SIZE_MAX)
{
    std::string shown;
    size_t k = 0;
    for (; k < length && text[k] && k < ECHO_MAX; ++k) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        if (c == '\t') {
            shown += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02x", c);
            shown += escape;
        } else {
            shown += static_cast<char>(c);
        }
    }
    if (k < length && text[k])
        shown += "...";
    return shown;
}

void dataMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reports one data message while fewer than the limit have been reported.
void dataMessage(const char* format, ...)
{
    if (dataState.messageCount >= DATA_MESSAGE_LIMIT)
        return;
    dataState.messageCount++;
    char message[DATA_RECORD_MAX + 200];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    dataError("%s", message);
}

bool fillBlock(RecordSource& source)
{
    if (source.ended)
        return false;
    source.length = fread(source.block, 1, FILE_BLOCK_SIZE, source.file);
    source.position = 0;
    // A failed read is no end of the data: it is reported, and what it cut is not read.
    if (ferror(source.file)) {
        source.readError = errno ? errno : EIO;
        source.length = 0;
    }
    // The NUL after the bytes stops every scan of a record at the end of the block.
    source.block[source.length] = '\0';
    if (!source.started) {
        source.started = true;
        // A byte-order mark some editors write at the start of a UTF-8 file.
        if (source.length >= 3 && memcmp(source.block, "\xEF\xBB\xBF", 3) == 0)
            source.position = 3;
    }
    if (source.length == 0) {
        source.ended = true;
        return false;
    }
    return true;
}

// Makes the record buffer hold at least size bytes; false when it cannot grow.
bool growRecord(RecordBuffer& record, size_t size)
{
    if (size <= record.capacity)
        return true;
    const size_t capacity = std::max(size, 2 * record.capacity);
    void* text = memresize(record.text, capacity);
    if (!text)
        return false;
    record.text = static_cast<char*>(text);
    record.capacity = capacity;
    return true;
}

// Copies the next file record, without its line end (LF, CRLF or CR), into record,
// whole however long. A last record without a line end counts.
bool nextFileRecord(RecordSource& source, RecordBuffer& record)
{
    source.nulByte = false;
    size_t kept = 0;
    bool seen = false;
    for (;;) {
        if (source.position == source.length && !fillBlock(source)) {
            record.text[kept] = '\0';
            return seen && !source.readError;
        }
        const char* start = source.block + source.position;
        const char* end = source.block + source.length;
        if (source.afterReturn) {
            source.afterReturn = false;
            if (*start == '\n') {
                source.position++;
                continue;
            }
        }
        const char* stop = start;
        while (stop < end && *stop != '\n' && *stop != '\r')
            ++stop;
        size_t count = static_cast<size_t>(stop - start);
        // A NUL byte ends the record: it is reported, and a file of NUL bytes is neither
        // read to its end nor held in memory.
        if (const void* nul = memchr(start, '\0', count)) {
            count = static_cast<size_t>(static_cast<const char*>(nul) - start);
            source.nulByte = true;
        }
        if (!growRecord(record, kept + count + 1)) {
            source.noMemory = true;
            source.ended = true;
            return false;
        }
        memcpy(record.text + kept, start, count);
        kept += count;
        seen = seen || stop > start;
        // Reading stops at such a record: the rest of it is never read.
        if (source.nulByte) {
            record.text[kept] = '\0';
            return true;
        }
        source.position = stop - source.block;
        if (stop < end) {
            source.afterReturn = *stop == '\r';
            source.position++;
            record.text[kept] = '\0';
            return true;
        }
    }
}

// Copies the next inline record (program line) into record, whole however long.
bool nextInlineRecord(RecordSource& source, RecordBuffer& record)
{
    if (!lexerTakeRawLine(record.text, static_cast<int>(record.capacity)))
        return false;
    // A line that fills the buffer may go on: take it again into a larger one.
    while (strlen(record.text) + 1 >= record.capacity) {
        if (record.capacity > INT_MAX / 2 || !growRecord(record, 2 * record.capacity)) {
            source.noMemory = true;
            return false;
        }
        lexerRetakeRawLine(record.text, static_cast<int>(record.capacity));
    }
    return true;
}

// The next record of the source. Every record read, blank or skipped, counts as a line,
// so messages number records as an editor numbers the lines of the data file, or of the
// inline data from the line after the DATA statement's.
bool nextRecord(RecordSource& source, RecordBuffer& record)
{
    const bool read = source.file ? nextFileRecord(source, record) : nextInlineRecord(source, record);
    source.lineNumber += read ? 1 : 0;
    return read;
}

// Makes room for one more row; false (after the message) when the store cannot grow.
bool growStore(const SourceLine* line, size_t rowWidth)
{
    if (observationCount < dataState.capacity)
        return true;
    // Growing by a quarter keeps the copies of a large store few (each growth moves the
    // block) while the unused part stays under a quarter of the rows held.
    const long long wanted = static_cast<long long>(dataState.capacity) +
                             observationCount / GROWTH_DIVISOR + GROWTH_ROWS;
    const int capacity = static_cast<int>(std::min<long long>(wanted, INT_MAX));
    if (capacity <= dataState.capacity ||
        static_cast<size_t>(capacity) > SIZE_MAX / sizeof(double) / rowWidth) {
        compileError(line, MSG_NO_MEMORY);
        return false;
    }
    void* block = memresize(observations, static_cast<size_t>(capacity) * rowWidth * sizeof(double));
    if (!block) {
        compileError(line, MSG_NO_MEMORY);
        return false;
    }
    observations = static_cast<double*>(block);
    dataState.capacity = capacity;
    return true;
}

// Cuts a record at its end, a ';' or a '//' comment; returns its first non-blank.
char* trimRecord(char* record)
{
    for (char* c = record; *c; ++c) {
        if (*c == '\n' || *c == '\r' || *c == ';' || (*c == '/' && c[1] == '/')) {
            *c = '\0';
            break;
        }
    }
    while (*record == ' ' || *record == '\t')
        ++record;
    return record;
}

// Takes value into the variable's smallest and largest; the first observation sets both.
inline void widenBounds(Symbol* variable, double value)
{
    if (observationCount == 0) {
        variable->lowerBound = value;
        variable->upperBound = value;
        return;
    }
    if (value < variable->lowerBound)
        variable->lowerBound = value;
    if (value > variable->upperBound)
        variable->upperBound = value;
}

// True when a record holding more values than variables was written with decimal
// commas (0,435 1,286 for two variables): read with its commas as decimal points it has
// no more values than variables, each blank-separated field a number with at most one
// comma, between digits.
bool hasDecimalCommas(const char* text, int variableCount)
{
    int fields = 0;
    bool commas = false;
    for (const char* c = text;;) {
        while (*c == ' ' || *c == '\t')
            ++c;
        if (*c == '\0')
            break;
        char field[FIELD_TEXT_MAX + 1];
        int length = 0;
        bool comma = false;
        for (; *c && *c != ' ' && *c != '\t'; ++c) {
            if (length == FIELD_TEXT_MAX)
                return false;
            char character = *c;
            if (character == ',') {
                if (comma || length == 0 || !isFieldDigit(c[-1]) || !isFieldDigit(c[1]))
                    return false;
                comma = true;
                character = '.';
            }
            field[length++] = character;
        }
        field[length] = '\0';
        const ScannedNumber number = scannerNumber(field, true);
        if (number.status != SCAN_OK || *number.end != '\0')
            return false;
        commas = commas || comma;
        ++fields;
    }
    return commas && fields <= variableCount;
}

// True for the words of a missing value: NA and NaN, in any case.
bool isMissingWord(const char* start, size_t length)
{
    return (length == 2 && strncasecmp(start, "NA", 2) == 0) || (length == 3 && strncasecmp(start, "NaN", 3) == 0);
}

// Ends the reading of a record into row: a record with a missing value is left out,
// any other is the next observation. Always true: reading goes on.
bool takeRow(const double* row, bool missing, long recordNumber);

// Counts a record left out for a missing value; the first are named in the note.
void noteMissing(long recordNumber)
{
    if (dataState.missingCount < MISSING_LISTED)
        dataState.missingRecords[dataState.missingCount] = recordNumber;
    dataState.missingCount++;
}

// The text of the group field of a record (a quoted field without its quotes), or
// false when the record has no such field.
bool groupFieldText(char* text, bool commas, int field, std::string* group);

// True when the record belongs to the data set being read. Lists the group texts while
// they are wanted.
bool recordInGroup(char* text, bool commas)
{
    if (dataState.groupField < 0)
        return true;
    std::string group;
    if (!groupFieldText(text, commas, dataState.groupField, &group))
        group.clear();
    if (dataState.selection->listGroups) {
        const auto found = dataState.groupIndex.emplace(group, dataState.groups.size());
        if (found.second) {
            dataState.groups.push_back(group);
            dataState.groupRecords.emplace_back();
        }
        dataState.groupRecords[found.first->second].append(text).append(1, '\n');
        return true;
    }
    return group == dataState.selection->groupText;
}

// Stores one record as the next observation; false when reading must stop. Values are
// separated by blanks, tabs, or a comma with blanks around it; two commas with nothing
// between them (or a comma first or last) hold an empty field, which is missing.
bool storeRecord(char* record, long recordNumber, const SourceLine* line, size_t rowWidth)
{
    char* text = trimRecord(record);
    if (*text == '\0')
        return true;
    if (!recordInGroup(text, strchr(text, ',') != nullptr))
        return true;
    if (!growStore(line, rowWidth))
        return false;
    const int n = inputVariableCount;
    double* row = observations + static_cast<size_t>(observationCount) * n;
    const char* cursor = text;
    bool missing = false;
    bool afterComma = false;    // the last separator held a comma
    for (int j = 0; j < n; ++j) {
        while (*cursor == ' ' || *cursor == '\t')
            ++cursor;
        if (*cursor == ',' || (*cursor == '\0' && afterComma)) {
            missing = true;
            afterComma = *cursor == ',';
            cursor += afterComma ? 1 : 0;
            continue;
        }
        if (*cursor == '\0') {
            dataMessage(MSG_TOO_FEW_VALUES, recordNumber, echo(text).c_str());
            return false;
        }
        const char* fieldEnd = cursor;
        while (!endsField(*fieldEnd))
            ++fieldEnd;
        if (isMissingWord(cursor, static_cast<size_t>(fieldEnd - cursor))) {
            missing = true;
            cursor = fieldEnd;
        } else {
            const double value = readDataNumber(&cursor, recordNumber, j + 1);
            if (j == 0 && observationCount == 0 && isalpha(static_cast<unsigned char>(*text)))
                listingNote(nullptr, MSG_HINT_HEADING);
            row[j] = value;
        }
        while (*cursor == ' ' || *cursor == '\t')
            ++cursor;
        afterComma = *cursor == ',';
        if (afterComma)
            ++cursor;
        while (*cursor == ' ' || *cursor == '\t')
            ++cursor;
    }
    const bool moreNumbers = isFieldDigit(*cursor) || *cursor == '.' || *cursor == '+' || *cursor == '-';
    if (moreNumbers && n > 0 && hasDecimalCommas(text, n)) {
        // Read as separators, the commas would give values that were never written. Every
        // record is likely written so: one message, and reading stops.
        if (dataState.messageCount < DATA_MESSAGE_LIMIT) {
            dataMessage(MSG_DECIMAL_COMMAS, recordNumber, echo(text).c_str());
            listingNote(nullptr, MSG_HINT_DECIMAL_COMMAS);
        }
        return false;
    }
    if (moreNumbers && n > 0 && !dataState.extraValuesNoted) {
        dataState.extraValuesNoted = true;
        char note[sizeof MSG_NOTE_EXTRA_VALUES + 40];
        snprintf(note, sizeof note, MSG_NOTE_EXTRA_VALUES, recordNumber, n);
        listingNote(nullptr, note);
    }
    return takeRow(row, missing, recordNumber);
}

bool takeRow(const double* row, bool missing, long recordNumber)
{
    if (missing) {
        noteMissing(recordNumber);
        return true;
    }
    for (int j = 0; j < inputVariableCount; ++j)
        widenBounds(inputVariables[j], row[j]);
    observationCount++;
    return true;
}

// One field of a record whose columns have names: its text, without the quotes of a
// quoted field.
struct FieldSpan {
    char* start;    // first character
    char* end;      // one past the last
};

// Takes the field at c (a field in double quotes may hold separators, and "" for a
// quote) into field; returns where the next field starts, or null after the last one.
char* splitField(char* c, bool commas, FieldSpan* field)
{
    while (*c == ' ' || *c == '\t')
        ++c;
    if (*c == '"') {
        field->start = ++c;
        while (*c && !(*c == '"' && c[1] != '"'))
            c += *c == '"' ? 2 : 1;
        field->end = c;
        if (*c == '"')
            ++c;
        // Anything between the closing quote and the separator is not part of the field.
        while (*c && *c != ',' && (commas || (*c != ' ' && *c != '\t')))
            ++c;
    } else {
        field->start = c;
        while (*c && *c != ',' && (commas || (*c != ' ' && *c != '\t')))
            ++c;
        field->end = c;
        while (field->end > field->start && (field->end[-1] == ' ' || field->end[-1] == '\t'))
            --field->end;
    }
    while (*c == ' ' || *c == '\t' || (!commas && *c == ','))
        ++c;
    if (commas)
        return *c == ',' ? c + 1 : nullptr;
    return *c ? c : nullptr;
}

bool groupFieldText(char* text, bool commas, int field, std::string* group)
{
    char* cursor = text;
    for (int k = 0; cursor; ++k) {
        FieldSpan span;
        cursor = splitField(cursor, commas, &span);
        if (k == field) {
            // A quoted field keeps each doubled quote as one.
            group->clear();
            for (const char* c = span.start; c < span.end; ++c) {
                *group += *c;
                if (*c == '"' && c + 1 < span.end && c[1] == '"')
                    ++c;
            }
            return true;
        }
    }
    return false;
}

// Cuts a record at its end, a ';' or a '//' outside double quotes; returns its first
// non-blank.
char* trimQuotedRecord(char* record)
{
    bool quoted = false;
    for (char* c = record; *c; ++c) {
        if (*c == '"')
            quoted = !quoted;
        if (*c == '\n' || *c == '\r' || (!quoted && (*c == ';' || (*c == '/' && c[1] == '/')))) {
            *c = '\0';
            break;
        }
    }
    while (*record == ' ' || *record == '\t')
        ++record;
    return record;
}

// Stores one record of the named columns: only the fields of the variables are read,
// the others may hold anything. An empty field, or one the record lacks, is missing.
bool storeNamedRecord(char* record, long recordNumber, const SourceLine* line, size_t rowWidth)
{
    char* text = trimQuotedRecord(record);
    if (*text == '\0')
        return true;
    if (!recordInGroup(text, dataState.columns.commas))
        return true;
    if (!growStore(line, rowWidth))
        return false;
    const ColumnNames& columns = dataState.columns;
    const int n = inputVariableCount;
    double* row = observations + static_cast<size_t>(observationCount) * n;
    bool missing = false;
    char* cursor = text;
    int field = 0;
    for (; cursor && field <= columns.lastField; ++field) {
        FieldSpan span;
        cursor = splitField(cursor, columns.commas, &span);
        for (int j = 0; j < n; ++j) {
            if (columns.variableField[j] != field)
                continue;
            if (span.start == span.end || isMissingWord(span.start, static_cast<size_t>(span.end - span.start))) {
                missing = true;
                continue;
            }
            const char saved = *span.end;
            *span.end = '\0';
            const char* c = span.start;
            row[j] = readDataNumber(&c, recordNumber, field + 1);
            while (*c == ' ' || *c == '\t')
                ++c;
            if (*c != '\0')
                dataMessage(MSG_INVALID_NUMBER, recordNumber, field + 1,
                            static_cast<int>(span.end - span.start), span.start);
            *span.end = saved;
        }
    }
    if (field <= columns.lastField) {
        if (!columns.commas) {
            dataMessage(MSG_TOO_FEW_VALUES, recordNumber, text);
            return false;
        }
        missing = true;
    }
    return takeRow(row, missing, recordNumber);
}

// True when a field is a name: a letter, then letters, digits, '_' or '.'; the words of
// a missing value are not names.
bool isColumnName(const FieldSpan& span)
{
    if (span.start == span.end || !isalpha(static_cast<unsigned char>(*span.start)))
        return false;
    for (const char* c = span.start; c < span.end; ++c)
        if (!isalnum(static_cast<unsigned char>(*c)) && *c != '_' && *c != '.')
            return false;
    return !isMissingWord(span.start, static_cast<size_t>(span.end - span.start));
}

// Finds the group column of a batch among the names of the name line (names empty when
// the data have none); false after the message when it is not there.
bool setGroupColumn(const std::vector<std::string>& names, const SourceLine* line)
{
    const DataSelection* selection = dataState.selection;
    dataState.groupField = -1;
    if (!selection || selection->groupColumn.empty())
        return true;
    const std::string& column = selection->groupColumn;
    for (size_t k = 0; k < names.size(); ++k)
        if (names[k] == column) {
            dataState.groupField = static_cast<int>(k);
            return true;
        }
    for (size_t k = 0; k < names.size(); ++k)
        if (strcasecmp(names[k].c_str(), column.c_str()) == 0) {
            dataState.groupField = static_cast<int>(k);
            return true;
        }
    char* end = nullptr;
    const long number = strtol(column.c_str(), &end, 10);
    if (*end == '\0' && number >= 1 && number <= INT_MAX) {
        dataState.groupField = static_cast<int>(number - 1);
        return true;
    }
    compileErrorf(line, MSG_NO_GROUP_COLUMN, column.c_str());
    return false;
}

// What the first record of the data is.
enum FirstRecord {
    FIRST_VALUES,       // not a line of names: the columns are read by position
    FIRST_NAMES,        // the names of the columns, one for every variable
    FIRST_LACKING       // names that lack a variable: reported, nothing is read
};

// Takes the columns from a record of names (trimmed); where the data come from is named
// in the note (the data file's name, or the inline data).
FirstRecord readNameLine(char* text, const SourceLine* line, const char* from)
{
    ColumnNames& columns = dataState.columns;
    columns.commas = false;
    for (const char* c = text; *c && !columns.commas; ++c)
        columns.commas = *c == ',';
    std::vector<std::string> names;
    for (char* cursor = text; cursor;) {
        FieldSpan span;
        cursor = splitField(cursor, columns.commas, &span);
        if (!isColumnName(span))
            return FIRST_VALUES;
        names.emplace_back(span.start, span.end);
    }
    const int n = inputVariableCount;
    std::string lacking;
    int lackingCount = 0;
    std::vector<bool> used(names.size(), false);
    columns.lastField = -1;
    for (int j = 0; j < n; ++j) {
        columns.variableField[j] = -1;
        for (size_t k = 0; k < names.size() && columns.variableField[j] < 0; ++k)
            if (strcasecmp(names[k].c_str(), inputVariables[j]->name) == 0 && !used[k]) {
                columns.variableField[j] = static_cast<int>(k);
                used[k] = true;
                columns.lastField = std::max(columns.lastField, static_cast<int>(k));
            }
        if (columns.variableField[j] < 0) {
            lacking += (lackingCount++ ? ", " : "") + std::string(inputVariables[j]->name);
        }
    }
    std::string all;
    for (size_t k = 0; k < names.size(); ++k)
        all += (k ? ", " : "") + names[k];
    if (lackingCount > 0) {
        compileErrorf(line, MSG_NAMES_LACKING, lackingCount > 1 ? "s" : "", lacking.c_str(), all.c_str());
        return FIRST_LACKING;
    }
    if (!setGroupColumn(names, line))
        return FIRST_LACKING;
    columns.byName = true;
    std::string read;
    std::string unused;
    for (size_t k = 0; k < names.size(); ++k) {
        if (used[k])
            read += (read.empty() ? "" : ", ") + names[k] + " = " + std::to_string(k + 1);
        else
            unused += (unused.empty() ? "" : ", ") + names[k];
    }
    if (!unused.empty())
        read += " (" + unused + " not used)";
    char note[DATA_RECORD_MAX];
    snprintf(note, sizeof note, MSG_NOTE_BY_NAME, from, read.c_str());
    listingNote(nullptr, note);
    return FIRST_NAMES;
}

// Reads the first record that is not blank: a line of names sets the columns, any other
// record is the first observation. False when reading must stop.
bool readFirstRecord(RecordSource& source, RecordBuffer& record, const SourceLine* line, size_t rowWidth)
{
    while (nextRecord(source, record)) {
        if (source.nulByte) {
            dataMessage(MSG_NUL_BYTE, source.lineNumber);
            return false;
        }
        // A copy, for the name line is cut into its fields.
        std::string first = record.text;
        char* text = trimQuotedRecord(first.data());
        if (*text == '\0')
            continue;
        const std::string from = source.file ? std::filesystem::path(dataFilePath).filename().string()
                                             : std::string("the inline data");
        switch (readNameLine(text, line, from.c_str())) {
        case FIRST_NAMES:
            dataState.nameLine = text;
            return true;
        case FIRST_LACKING:
            return false;
        case FIRST_VALUES:
            break;
        }
        if (!setGroupColumn({}, line))
            return false;
        return storeRecord(record.text, source.lineNumber, line, rowWidth);
    }
    return false;
}

// The note on the records left out for a missing value.
void noteMissingRecords()
{
    const int count = dataState.missingCount;
    if (count == 0)
        return;
    std::string records;
    for (int k = 0; k < std::min(count, MISSING_LISTED); ++k)
        records += (k ? ", " : "") + std::to_string(dataState.missingRecords[k]);
    if (count > MISSING_LISTED)
        records += ", ...";
    char note[DATA_RECORD_MAX];
    snprintf(note, sizeof note, MSG_NOTE_MISSING, count, count > 1 ? "s" : "", count > 1 ? "s" : "", records.c_str());
    listingNote(nullptr, note);
}


// What the direct reading of one file record did.
enum DirectRead {
    DIRECT_STORED,    // the record is the next observation
    DIRECT_DECLINED,  // nothing read: the record goes through the record buffer
};

// Reads the next file record straight from the block when it is a plain one: values
// for all variables, each a whole number, nothing after them but blanks, commas or a
// comment, and its line end in the block. Any other record is declined with the source untouched but for a line feed that ended
// the previous record, so the record buffer path reads it (and reports on it) exactly as
// it reads every record.
DirectRead readDirect(RecordSource& source)
{
    const int n = inputVariableCount;
    if (source.afterReturn && source.position < source.length) {
        source.afterReturn = false;
        if (source.block[source.position] == '\n')
            source.position++;
    }
    if (n == 0 || source.afterReturn || source.position >= source.length ||
        observationCount >= dataState.capacity || dataState.columns.byName ||
        dataState.groupField >= 0)
        return DIRECT_DECLINED;
    const char* c = source.block + source.position;
    double* row = observations + static_cast<size_t>(observationCount) * n;
    if (scannerFields(c, row, n, &c) < n)
        return DIRECT_DECLINED;
    // Two commas with only blanks between them hold an empty field: a missing value.
    for (const char* k = source.block + source.position; k < c; ++k) {
        if (*k != ',')
            continue;
        const char* next = k + 1;
        while (*next == ' ' || *next == '\t')
            ++next;
        if (*next == ',')
            return DIRECT_DECLINED;
    }
    if (*c == ';' || (*c == '/' && c[1] == '/'))
        while (*c != '\n' && *c != '\r' && *c != '\0')
            ++c;
    // Anything else is more values, text, a NUL byte, or the end of the block with the
    // record going on in the next one.
    if (*c != '\n' && *c != '\r')
        return DIRECT_DECLINED;
    for (int j = 0; j < n; ++j)
        widenBounds(inputVariables[j], row[j]);
    observationCount++;
    source.lineNumber++;
    source.afterReturn = *c == '\r';
    source.position = static_cast<size_t>(c + 1 - source.block);
    return DIRECT_STORED;
}

void releaseStore()
{
    if (observations)
        memfree(observations);
    observations = nullptr;
    observationCount = 0;
    dataState.capacity = 0;
}

// Gives back the room kept for growth once the records are read: from now on the store
// holds the rows read, n doubles apart, and the analysis allocates its arrays after it.
void shrinkStore(size_t rowWidth)
{
    const size_t used = static_cast<size_t>(observationCount) * static_cast<size_t>(inputVariableCount);
    const size_t wanted = std::max(used, rowWidth);
    if (!observations || wanted >= static_cast<size_t>(dataState.capacity) * rowWidth)
        return;
    void* block = memresize(observations, wanted * sizeof(double));
    if (!block)
        return;
    observations = static_cast<double*>(block);
    dataState.capacity = observationCount;
}

// Rows a data file will likely give: its size over the mean length of the records in
// the first block, with a little slack, or all the records when that block is the whole
// file; 0 when there is nothing to go by. Called after the first block is read.
int estimateRows(const RecordSource& source)
{
    struct stat info;
    // A data set held in memory has no descriptor: its first block is all of it or it grows.
    if (fileno(source.file) < 0 || fstat(fileno(source.file), &info) != 0 || info.st_size <= 0)
        return 0;
    const char* begin = source.block + source.position;
    const char* end = source.block + source.length;
    // A file of CR line ends has no line feed; one of CRLF ends counts each once this way.
    long long ends = std::count(begin, end, '\n');
    if (ends == 0)
        ends = std::count(begin, end, '\r');
    if (source.length < FILE_BLOCK_SIZE)
        return static_cast<int>(std::min<long long>(ends + 1, INT_MAX));
    if (ends == 0)
        return 0;
    const double rows = static_cast<double>(info.st_size) * static_cast<double>(ends) /
                        static_cast<double>(source.length);
    const double padded = rows + rows / ESTIMATE_SLACK_DIVISOR + ESTIMATE_SLACK_ROWS;
    return padded < INT_MAX ? static_cast<int>(padded) : INT_MAX;
}

// Reads every record of the source into a new store.
void readRecords(RecordSource& source, const SourceLine* line)
{
    releaseStore();
    dataState.groupField = -1;
    const int n = inputVariableCount;
    // Rows are n doubles apart from the start, so the store is never laid out again.
    const size_t rowWidth = static_cast<size_t>(std::max(n, 1));
    int capacity = settings.dataCount > 0 ? settings.dataCount : FIRST_CAPACITY;
    // A data file sizes the store once from its length; growth remains for an estimate
    // that falls short.
    if (source.file && fillBlock(source)) {
        const int estimate = estimateRows(source);
        if (estimate > 0)
            capacity = std::max(settings.dataCount, estimate);
    }
    if (static_cast<size_t>(capacity) > SIZE_MAX / sizeof(double) / rowWidth) {
        compileError(line, MSG_NO_MEMORY);
        return;
    }
    observations = memalloc_doubles(static_cast<size_t>(capacity) * rowWidth, "obs");
    if (!observations) {
        compileError(line, MSG_NO_MEMORY);
        return;
    }
    dataState.capacity = capacity;
    RecordBuffer record{static_cast<char*>(memalloc(DATA_RECORD_MAX, "datarec")), DATA_RECORD_MAX};
    if (!record.text) {
        compileError(line, MSG_NO_MEMORY);
        releaseStore();
        return;
    }

    bool more = true;
    for (int skipped = 0; skipped < settings.dataSkip && more; ++skipped)
        more = nextRecord(source, record);
    observationCount = 0;
    dataState.columns.byName = false;
    dataState.missingCount = 0;
    dataState.groups.clear();
    dataState.groupRecords.clear();
    dataState.groupIndex.clear();
    dataState.nameLine.clear();
    // Without DATASKIP the first record may name the columns.
    if (more && settings.dataSkip == 0)
        more = readFirstRecord(source, record, line, rowWidth);
    else if (more)
        more = setGroupColumn({}, line);
    while (more) {
        if (!source.file || readDirect(source) == DIRECT_DECLINED) {
            if (!nextRecord(source, record))
                break;
            if (source.nulByte) {
                dataMessage(MSG_NUL_BYTE, source.lineNumber);
                break;
            }
            more = dataState.columns.byName ? storeNamedRecord(record.text, source.lineNumber, line, rowWidth)
                                            : storeRecord(record.text, source.lineNumber, line, rowWidth);
        }
        if (dataState.progressHook && observationCount % 100 == 0 &&
            !dataState.progressHook(observationCount, false)) {
            compileErrorf(line, MSG_READ_CANCELLED, observationCount);
            break;
        }
    }
    if (source.noMemory)
        compileError(line, MSG_NO_MEMORY);
    if (source.readError) {
        char message[PATH_MAX + 200];
        snprintf(message, sizeof message, MSG_READ_FAILED, dataFilePath.c_str(), source.lineNumber,
                 strerror(source.readError));
        compileError(line, message);
    }
    noteMissingRecords();
    if (dataState.progressHook)
        dataState.progressHook(observationCount, true);
    memfree(record.text);
    shrinkStore(rowWidth);
}

}  // namespace

// data -> DATA ';' {record}  |  DATA "file"
void compileData()
{
    dataState.statementSeen = true;
    const SourceLine* line = lexerCurrentLine();
    Token* token = nextToken();
    if (token->kind == TOK_SEMICOLON) {
        freeToken(token);
        dataState.inlineData = true;
        RecordSource source{};
        readRecords(source, line);
        // Inline data left unread after a stop are still data, not program text.
        char rest[DATA_RECORD_MAX];
        while (lexerTakeRawLine(rest, sizeof rest)) {
        }
        return;
    }
    if (token->kind != TOK_STRING) {
        compileError(line, MSG_FILE_QUOTES);
        if (token->kind == TOK_END)
            pushBackToken(token);
        else
            freeToken(token);
        skipStatement();
        return;
    }
    // A batch over data files reads each in place of the statement's own.
    const DataSelection* selection = dataState.selection;
    const std::string path = selection && !selection->file.empty() ? selection->file
                                                                    : resolveProgramFile(token->text, "dat");
    freeToken(token);
    // Only a plain file: a folder has no records and a device or a pipe may never end.
    const char* reason = nullptr;
    FILE* file = nullptr;
    if (selection && selection->contents) {
        file = fmemopen(const_cast<char*>(selection->contents->data()), selection->contents->size(), "rb");
        if (!file)
            reason = strerror(errno);
    } else {
        struct stat info;
        if (stat(path.c_str(), &info) != 0)
            reason = strerror(errno);
        else if (S_ISDIR(info.st_mode))
            reason = "it is a folder";
        else if (!S_ISREG(info.st_mode))
            reason = S_ISFIFO(info.st_mode) ? "it is a pipe, not a file" : "it is a device, not a file";
        // Opened without waiting, so that a pipe put in the file's place cannot hold the run.
        const int fd = reason ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (!reason && fd < 0)
            reason = strerror(errno);
        else if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)))
            reason = "it is not a regular file";
        else if (fd >= 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0)
            file = fdopen(fd, "rb");
        if (fd >= 0 && !file) {
            if (!reason)
                reason = strerror(errno);
            close(fd);
        }
    }
    if (!file) {
        char message[PATH_MAX + 200];
        snprintf(message, sizeof message, MSG_OPEN_FAILED, path.c_str(), reason);
        compileError(line, message);
        releaseStore();
        return;
    }
    dataFilePath = path;
    RecordSource source{};
    source.file = file;
    source.block = static_cast<char*>(memalloc(FILE_BLOCK_SIZE + 1, "datablock"));
    if (!source.block) {
        compileError(line, MSG_NO_MEMORY);
        fclose(file);
        return;
    }
    readRecords(source, line);
    memfree(source.block);
    fclose(file);
}

// readDataNumber: [blanks] ['+'|'-'] number, ended by a blank, a tab, a comma or the end
double readDataNumber(const char** cursor, long recordNumber, int field)
{
    const char* c = *cursor;
    while (*c == ' ' || *c == '\t')
        ++c;
    const char* valueStart = c;
    const ScannedNumber number = scannerNumber(c, true);
    // After any error the field is passed over whole, so the next value is read from
    // the next field.
    const char* fieldEnd = number.end;
    while (!endsField(*fieldEnd))
        ++fieldEnd;
    const int fieldLength = static_cast<int>(fieldEnd - valueStart);
    *cursor = fieldEnd;
    if (number.status == SCAN_NOT_NUMBER) {
        dataMessage(MSG_INVALID_CHARACTER, recordNumber, echo(valueStart).c_str());
        return 0.0;
    }
    if (number.status == SCAN_TWO_POINTS) {
        dataMessage(MSG_TWO_POINTS, echo(valueStart, fieldLength).c_str());
        return 0.0;
    }
    if (fieldEnd != number.end || (number.status != SCAN_OK && number.status != SCAN_OUT_OF_RANGE)) {
        // junk after the number (2.1mg, 0x10, 1/2), an exponent or a ':' group without
        // digits (1e, 1:), or a point alone
        dataMessage(MSG_INVALID_NUMBER, recordNumber, field, echo(valueStart, fieldLength).c_str());
        return 0.0;
    }
    if (number.status == SCAN_OUT_OF_RANGE) {
        // beyond the largest double (1e400): an error of the record, not an infinity
        dataMessage(MSG_OUT_OF_RANGE, recordNumber, echo(valueStart, fieldLength).c_str());
        return 0.0;
    }
    return number.value;
}

void freeObservations()
{
    releaseStore();
    dataFilePath.clear();
    dataState.statementSeen = false;
    dataState.messageCount = 0;
    dataState.extraValuesNoted = false;
    dataState.columns.byName = false;
    dataState.missingCount = 0;
    dataState.inlineData = false;
}

void dataSetSelection(const DataSelection* selection)
{
    dataState.selection = selection;
}

const std::vector<std::string>& dataGroups()
{
    return dataState.groups;
}

std::vector<std::string> dataTakeGroupFiles()
{
    std::string head(static_cast<size_t>(std::max(settings.dataSkip, 0)), '\n');
    if (!dataState.nameLine.empty())
        head.append(dataState.nameLine).append(1, '\n');
    std::vector<std::string> files = std::move(dataState.groupRecords);
    dataState.groupRecords.clear();
    for (std::string& file : files)
        file.insert(0, head);
    return files;
}

bool dataWasInline()
{
    return dataState.inlineData;
}

int dataCapacity()
{
    return dataState.capacity;
}

bool dataStatementSeen()
{
    return dataState.statementSeen;
}

void dataSetProgressHook(DataProgressHook hook)
{
    dataState.progressHook = hook;
}
