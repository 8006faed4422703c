// DATA statement: reads the observations, inline from the program lines after the
// statement or from a data file, into the observation store. Records are parsed in
// place in one record buffer; the file is read in large blocks.
#include "lang/data.h"

#include "lang/compiler.h"
#include "lang/lexer.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/listing.h"

#include <algorithm>
#include <climits>
#include <cctype>
#include <cstdint>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

double* observations;
int observationCount;
int observationCapacity;
std::string dataFilePath;

namespace {

// Messages, in the words the user sees.
const char MSG_NO_MEMORY[] = "Insufficient memory space available";
const char MSG_TOO_FEW_VALUES[] = "Data record %ld has too few values: %s\n";
const char MSG_INVALID_CHARACTER[] = "Invalid character on data record %ld: %s\n";
const char MSG_TWO_POINTS[] = "Two decimal points in number: %.*s\n";
const char MSG_OUT_OF_RANGE[] = "Number out of range on data record %ld: %.*s\n";
const char MSG_OPEN_FAILED[] = "Unable to open data file: %s";
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
constexpr int EXPONENT_LIMIT = 100000;       // exponent digits beyond this change nothing
constexpr double MANTISSA_FULL = 1e18;       // further digits are past a double's precision
constexpr int EXACT_DIGITS = 15;             // digits whose value a double holds exactly

struct DataState {
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
};

const double powersOfTen[] = {
    1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// value * 10^power beyond the exact powers of ten: two steps keep 10^magnitude finite
// down to the smallest subnormal results.
[[gnu::noinline]] double scaleByLargePower(double value, int power)
{
    const int magnitude = power < 0 ? -power : power;
    if (power > 0)
        return magnitude <= 308 ? value * std::pow(10.0, magnitude)
                                : value * 1e308 * std::pow(10.0, magnitude - 308);
    return magnitude <= 308 ? value / std::pow(10.0, magnitude)
                            : value / 1e308 / std::pow(10.0, magnitude - 308);
}

// value * 10^power; zero stays zero however large the power.
inline double scaleByPowerOfTen(double value, int power)
{
    if (power == 0 || value == 0.0)
        return value;
    if (power > 0 && power <= 22)
        return value * powersOfTen[power];
    if (power < 0 && power >= -22)
        return value / powersOfTen[-power];
    return scaleByLargePower(value, power);
}

inline bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The mantissa of a digit group too long for a double (hundreds of digits), read again
// up to MANTISSA_FULL; each digit left out, before or after the point, moves the
// decimal point one place, which *power takes up.
double boundedMantissa(const char* start, const char* end, int* power)
{
    double mantissa = 0.0;
    for (const char* c = start; c < end; ++c) {
        if (!isDigit(*c))
            continue;
        if (mantissa < MANTISSA_FULL)
            mantissa = 10.0 * mantissa + (*c - '0');
        else
            ++*power;
    }
    return mantissa;
}

// How scanning one number ended.
enum NumberScan {
    SCAN_OK,            // a number; the end is the character after it
    SCAN_INVALID,       // no digit or period where the number should start
    SCAN_TWO_POINTS,    // a second decimal point; the end is that point
    SCAN_OUT_OF_RANGE,  // beyond the largest double; the end is the character after it
};

// Reads the exponent digits after D or E with their sign, if any, at *c and moves *c past them.
inline int scanExponent(const char** c)
{
    const char* e = *c;
    int exponent = 0;
    if (*e == 'D' || *e == 'E' || *e == 'd' || *e == 'e') {
        ++e;
        bool negativeExponent = false;
        if (*e == '+' || *e == '-') {
            negativeExponent = *e == '-';
            ++e;
        }
        for (; isDigit(*e); ++e)
            if (exponent < EXPONENT_LIMIT)
                exponent = 10 * exponent + (*e - '0');
        if (negativeExponent)
            exponent = -exponent;
    }
    *c = e;
    return exponent;
}

// Scans the number at c, which starts at its sign or first digit, into *value.
// The digits build the number and one power of ten scales it, so that every value
// read is the same double whichever reader path reads it.
[[gnu::noinline]] NumberScan scanAnyNumber(const char* c, const char** end, double* value)
{
    bool negative = false;
    if (*c == '+' || *c == '-') {
        negative = *c == '-';
        ++c;
    }
    if (!isDigit(*c) && *c != '.')
        return SCAN_INVALID;
    const char* groupStart = c;
    double total = 0.0;
    double mantissa = 0.0;
    // The first EXACT_DIGITS digits of a group accumulate as an integer, which is exact
    // and, converted once, the same double as the running double sum (exact up there
    // too); only longer digit strings continue in the double.
    uint64_t digits = 0;
    int digitCount = 0;
    bool fraction = false;
    int fractionDigits = 0;
    for (;; ++c) {
        if (isDigit(*c)) {
            if (digitCount < EXACT_DIGITS) {
                digits = 10 * digits + static_cast<uint64_t>(*c - '0');
            } else {
                if (digitCount == EXACT_DIGITS)
                    mantissa = static_cast<double>(digits);
                mantissa = 10.0 * mantissa + (*c - '0');
            }
            digitCount++;
            fractionDigits++;
        } else if (*c == '.') {
            if (fraction) {
                *end = c;
                return SCAN_TWO_POINTS;
            }
            fraction = true;
            fractionDigits = 0;
        } else if (*c == ':') {
            if (digitCount <= EXACT_DIGITS)
                mantissa = static_cast<double>(digits);
            total = (total + mantissa) * 60.0;
            mantissa = 0.0;
            digits = 0;
            digitCount = 0;
            groupStart = c + 1;
        } else {
            break;
        }
    }
    if (digitCount <= EXACT_DIGITS)
        mantissa = static_cast<double>(digits);
    const char* groupEnd = c;
    const int exponent = scanExponent(&c);
    *end = c;
    // (total + mantissa) * 10^power, scaled term by term so that a zero stays zero
    // under any exponent.
    const int power = exponent - (fraction ? fractionDigits : 0);
    int mantissaPower = power;
    if (std::isinf(mantissa))
        mantissa = boundedMantissa(groupStart, groupEnd, &mantissaPower);
    double scaled = scaleByPowerOfTen(mantissa, mantissaPower);
    if (total != 0.0)
        scaled += scaleByPowerOfTen(total, power);
    if (std::isinf(scaled))
        return SCAN_OUT_OF_RANGE;
    *value = negative ? -scaled : scaled;
    return SCAN_OK;
}

// scanAnyNumber for the usual numbers, without its per-digit bookkeeping: at most
// EXACT_DIGITS digits, one point or none, no ':' group, a finite value. The digits form
// the same integer and the same power of ten scales it, so the value is the same double.
// Anything else is left to scanAnyNumber.
[[gnu::always_inline]] inline NumberScan scanNumber(const char* c, const char** end, double* value)
{
    const char* start = c;
    const bool negative = *c == '-';
    if (*c == '+' || *c == '-')
        ++c;
    const char* first = c;
    uint64_t digits = 0;
    for (; isDigit(*c); ++c)
        digits = 10 * digits + static_cast<uint64_t>(*c - '0');
    const bool point = *c == '.';
    int fractionDigits = 0;
    if (point) {
        const char* fractionStart = ++c;
        for (; isDigit(*c); ++c)
            digits = 10 * digits + static_cast<uint64_t>(*c - '0');
        fractionDigits = static_cast<int>(c - fractionStart);
    }
    const long digitCount = c - first - (point ? 1 : 0);
    if ((digitCount == 0 && !point) || digitCount > EXACT_DIGITS || *c == '.' || *c == ':')
        return scanAnyNumber(start, end, value);
    const int exponent = scanExponent(&c);
    const double scaled = scaleByPowerOfTen(static_cast<double>(digits), exponent - fractionDigits);
    if (std::isinf(scaled))
        return scanAnyNumber(start, end, value);
    *end = c;
    *value = negative ? -scaled : scaled;
    return SCAN_OK;
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

// Copies the next file record, without its line end (LF, CRLF or CR), into record;
// characters past the buffer are dropped. A last record without a line end counts.
bool nextFileRecord(RecordSource& source, char* record)
{
    size_t kept = 0;
    bool seen = false;
    for (;;) {
        if (source.position == source.length && !fillBlock(source)) {
            record[kept] = '\0';
            return seen;
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
        const size_t count = std::min(static_cast<size_t>(stop - start),
                                      static_cast<size_t>(DATA_RECORD_MAX - 1) - kept);
        memcpy(record + kept, start, count);
        kept += count;
        seen = seen || stop > start;
        source.position = stop - source.block;
        if (stop < end) {
            source.afterReturn = *stop == '\r';
            source.position++;
            record[kept] = '\0';
            return true;
        }
    }
}

bool nextRecord(RecordSource& source, char* record)
{
    if (source.file)
        return nextFileRecord(source, record);
    return lexerTakeRawLine(record, DATA_RECORD_MAX);
}

// Makes room for one more row; false (after the message) when the store cannot grow.
bool growStore(const SourceLine* line, size_t rowWidth)
{
    if (observationCount < observationCapacity)
        return true;
    // Growing by a quarter keeps the copies of a large store few (each growth moves the
    // block) while the unused part stays under a quarter of the rows held.
    const long long wanted = static_cast<long long>(observationCapacity) +
                             observationCount / GROWTH_DIVISOR + GROWTH_ROWS;
    const int capacity = static_cast<int>(std::min<long long>(wanted, INT_MAX));
    if (capacity <= observationCapacity ||
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
    observationCapacity = capacity;
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

// Stores one record as the next observation; false when reading must stop.
bool storeRecord(char* record, const SourceLine* line, size_t rowWidth)
{
    const char* text = trimRecord(record);
    if (*text == '\0')
        return true;
    if (!growStore(line, rowWidth))
        return false;
    const long recordNumber = static_cast<long>(observationCount) + 1;
    const int n = inputVariableCount;
    double* row = observations + static_cast<size_t>(observationCount) * n;
    const char* cursor = text;
    for (int j = 0; j < n; ++j) {
        while (*cursor == ' ' || *cursor == '\t')
            ++cursor;
        if (*cursor == '\0') {
            dataMessage(MSG_TOO_FEW_VALUES, recordNumber, text);
            return false;
        }
        const double value = readDataNumber(&cursor, recordNumber);
        if (j == 0 && recordNumber == 1 && isalpha(static_cast<unsigned char>(*text)))
            listingNote(nullptr, MSG_HINT_HEADING);
        row[j] = value;
        widenBounds(inputVariables[j], value);
        while (*cursor == ' ' || *cursor == '\t' || *cursor == ',')
            ++cursor;
    }
    const bool moreNumbers = isDigit(*cursor) || *cursor == '.' || *cursor == '+' || *cursor == '-';
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
// for all variables that scan without a message, no more numbers after them (until
// those are noted), its line end in the block and its length within the record buffer.
// Any other record is declined with the source untouched but for a line feed that ended
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
        observationCount >= observationCapacity)
        return DIRECT_DECLINED;
    const char* start = source.block + source.position;
    const char* c = start;
    double* row = observations + static_cast<size_t>(observationCount) * n;
    for (int j = 0; j < n; ++j) {
        while (*c == ' ' || *c == '\t')
            ++c;
        if (scanNumber(c, &c, &row[j]) != SCAN_OK)
            return DIRECT_DECLINED;
        while (*c == ' ' || *c == '\t' || *c == ',')
            ++c;
    }
    if (!dataState.extraValuesNoted && (isDigit(*c) || *c == '.' || *c == '+' || *c == '-'))
        return DIRECT_DECLINED;
    while (*c != '\n' && *c != '\r' && *c != '\0')
        ++c;
    // A NUL is the end of the block (the record goes on in the next one) or a NUL byte in
    // the record, which the record buffer path cuts the record at.
    if (*c == '\0' || c - start > DATA_RECORD_MAX - 1)
        return DIRECT_DECLINED;
    for (int j = 0; j < n; ++j)
        widenBounds(inputVariables[j], row[j]);
    observationCount++;
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
    observationCapacity = 0;
}

// Gives back the room kept for growth once the records are read: from now on the store
// holds the rows read, n doubles apart, and the analysis allocates its arrays after it.
void shrinkStore(size_t rowWidth)
{
    const size_t used = static_cast<size_t>(observationCount) * static_cast<size_t>(inputVariableCount);
    const size_t wanted = std::max(used, rowWidth);
    if (!observations || wanted >= static_cast<size_t>(observationCapacity) * rowWidth)
        return;
    void* block = memresize(observations, wanted * sizeof(double));
    if (!block)
        return;
    observations = static_cast<double*>(block);
    observationCapacity = observationCount;
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
    observationCapacity = capacity;
    char* record = static_cast<char*>(memalloc(DATA_RECORD_MAX, "datarec"));
    if (!record) {
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
            more = storeRecord(record, line, rowWidth);
        }
        if (dataState.progressHook && observationCount % 100 == 0)
            dataState.progressHook(observationCount, false);
    }
    if (dataState.progressHook)
        dataState.progressHook(observationCount, true);
    memfree(record);
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
    // Only a plain file: a folder has no records and a device may never end.
    std::error_code error;
    FILE* file = std::filesystem::is_regular_file(path, error) ? fopen(path.c_str(), "rb") : nullptr;
    if (!file) {
        char message[DATA_RECORD_MAX + 100];
        snprintf(message, sizeof message, MSG_OPEN_FAILED, path.c_str());
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

// readDataNumber: [blanks] ['+'|'-'] digits-and-periods {':' digits} [(D|E) ['+'|'-'] digits]
double readDataNumber(const char** cursor, long recordNumber)
{
    const char* c = *cursor;
    while (*c == ' ' || *c == '\t')
        ++c;
    const char* valueStart = c;
    const char* end = c;
    double value = 0.0;
    switch (scanNumber(c, &end, &value)) {
    case SCAN_OK:
        *cursor = end;
        return value;
    case SCAN_INVALID:
        dataMessage(MSG_INVALID_CHARACTER, recordNumber, valueStart);
        return 0.0;
    case SCAN_TWO_POINTS: {
        const char* valueEnd = end;
        while (*valueEnd && *valueEnd != ' ' && *valueEnd != '\t' && *valueEnd != ',')
            ++valueEnd;
        dataMessage(MSG_TWO_POINTS, static_cast<int>(valueEnd - valueStart), valueStart);
        *cursor = end + 1;
        return 0.0;
    }
    case SCAN_OUT_OF_RANGE:
        // beyond the largest double (1e400): an error of the record, not an infinity
        *cursor = end;
        dataMessage(MSG_OUT_OF_RANGE, recordNumber, static_cast<int>(end - valueStart), valueStart);
        return 0.0;
    }
    return 0.0;
}

void freeObservations()
{
    releaseStore();
    dataFilePath.clear();
    dataState.statementSeen = false;
    dataState.messageCount = 0;
    dataState.extraValuesNoted = false;
}

bool dataStatementSeen()
{
    return dataState.statementSeen;
}

void dataSetProgressHook(DataProgressHook hook)
{
    dataState.progressHook = hook;
}
