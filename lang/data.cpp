// DATA statement: reads the observations, inline from the program lines after the
// statement or from a data file, into the observation store. Records are parsed in
// place in one record buffer, which grows for a long record; the file is read in large
// blocks. Each value must be a whole number in the data syntax; the numbers themselves
// are read by the scanner the lexer shares.
#include "lang/data.h"

#include "lang/compiler.h"
#include "lang/lexer.h"
#include "lang/options.h"
#include "lang/scanner.h"
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
#include <sys/stat.h>
#include <unistd.h>

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
constexpr size_t ECHO_MAX = 80;              // characters of a record repeated in a message

struct DataState {
    int capacity;                    // rows the observation store can hold
    int messageCount;                // data messages reported in this analysis
    DataProgressHook progressHook;   // the interface's progress display, or null
    bool statementSeen;              // a DATA statement has been compiled
    bool extraValuesNoted;           // a record with values beyond the variables was noted
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

// Stores one record as the next observation; false when reading must stop.
bool storeRecord(char* record, long recordNumber, const SourceLine* line, size_t rowWidth)
{
    const char* text = trimRecord(record);
    if (*text == '\0')
        return true;
    if (!growStore(line, rowWidth))
        return false;
    const int n = inputVariableCount;
    double* row = observations + static_cast<size_t>(observationCount) * n;
    const char* cursor = text;
    for (int j = 0; j < n; ++j) {
        while (*cursor == ' ' || *cursor == '\t')
            ++cursor;
        if (*cursor == '\0') {
            dataMessage(MSG_TOO_FEW_VALUES, recordNumber, echo(text).c_str());
            return false;
        }
        const double value = readDataNumber(&cursor, recordNumber, j + 1);
        if (j == 0 && observationCount == 0 && isalpha(static_cast<unsigned char>(*text)))
            listingNote(nullptr, MSG_HINT_HEADING);
        row[j] = value;
        widenBounds(inputVariables[j], value);
        while (*cursor == ' ' || *cursor == '\t' || *cursor == ',')
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
    observationCount++;
    return true;
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
        observationCount >= dataState.capacity)
        return DIRECT_DECLINED;
    const char* c = source.block + source.position;
    double* row = observations + static_cast<size_t>(observationCount) * n;
    if (scannerFields(c, row, n, &c) < n)
        return DIRECT_DECLINED;
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
    if (fstat(fileno(source.file), &info) != 0 || info.st_size <= 0)
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
    while (more) {
        if (!source.file || readDirect(source) == DIRECT_DECLINED) {
            if (!nextRecord(source, record))
                break;
            if (source.nulByte) {
                dataMessage(MSG_NUL_BYTE, source.lineNumber);
                break;
            }
            more = storeRecord(record.text, source.lineNumber, line, rowWidth);
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
    const std::string path = resolveProgramFile(token->text, "dat");
    freeToken(token);
    // Only a plain file: a folder has no records and a device or a pipe may never end.
    const char* reason = nullptr;
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        reason = strerror(errno);
    else if (S_ISDIR(info.st_mode))
        reason = "it is a folder";
    else if (!S_ISREG(info.st_mode))
        reason = S_ISFIFO(info.st_mode) ? "it is a pipe, not a file" : "it is a device, not a file";
    // Opened without waiting, so that a pipe put in the file's place cannot hold the run.
    FILE* file = nullptr;
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
