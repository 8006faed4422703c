// OUTPUT and POUTPUT files. The OUTPUT table has no heading and no names: one row per
// observation, each item in a printf format chosen from the values of its column. To a
// name ending in .csv both are written as CSV for other tools instead: a header line,
// and every number with the digits that read back to the same double.
#include "analysis/output.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <strings.h>
#include <sys/stat.h>

#include "analysis/derived.h"
#include "analysis/report.h"
#include "analysis/results.h"
#include "lang/data.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/csv.h"
#include "support/listing.h"
#include "support/paths.h"
#include "support/safefile.h"

namespace {

// Files of this run that could not be written in full; batch mode turns it into its
// exit status.
struct OutputState {
    int failures;   // OUTPUT and POUTPUT files not created or not written in full
};
OutputState output = {0};

constexpr int POWERS = 16;                   // 10^0 ... 10^15
constexpr int MAX_DECIMALS = 6;              // decimals looked for in one value
constexpr int MAX_FIXED_WIDTH = 9;           // integer digits, sign and point
constexpr double EXPONENT_ABOVE = 1e9;       // larger values use the exponent form
constexpr double EXPONENT_BELOW = 0.00001;   // so do smaller nonzero ones
constexpr double ZERO_MAGNITUDE = 1e-30;     // below this a column counts as zeros
constexpr size_t OUTPUT_BUFFER = 1 << 16;    // bytes of rows gathered before a write

// True when name is the program file, its data file or the open listing file: an
// output file must never replace what the run reads or is writing.
bool replacesRunFile(const std::string& name)
{
    // The listing takes its final name only when the run ends, so compare names too.
    std::error_code error;
    const std::string& listingName = listingFilePath();
    if (!listingName.empty() && std::filesystem::weakly_canonical(name, error) ==
                                    std::filesystem::weakly_canonical(listingName, error))
        return true;
    struct stat target;
    if (stat(name.c_str(), &target) != 0)
        return false;
    struct stat other;
    const auto same = [&target](const struct stat& candidate) {
        return candidate.st_dev == target.st_dev && candidate.st_ino == target.st_ino;
    };
    if (!programPath.empty() && stat(programPath.c_str(), &other) == 0 && same(other))
        return true;
    if (!dataFilePath.empty() && stat(dataFilePath.c_str(), &other) == 0 && same(other))
        return true;
    FILE* listing = listingFile();
    return listing && fstat(fileno(listing), &other) == 0 && same(other);
}

// Opens an output file for writing under a temporary name, refusing the files of the
// run itself; null after setting *reason.
FILE* openOutput(const std::string& name, SafeFile* safe, std::string* reason)
{
    if (replacesRunFile(name)) {
        *reason = "it is a file this run reads or writes";
    } else if (!safeFileOpen(safe, name)) {
        *reason = safeFileReason(safe);
    }
    if (!safe->stream)
        output.failures++;
    return safe->stream;
}

// Puts a complete output file in place; when it could not be written in full (a full
// disk, say) the old file stays and the result is the message line, what naming the
// kind of file.
std::string closeOutput(SafeFile* safe, bool complete, const char* what, const std::string& name)
{
    if (!complete) {
        safeFileDiscard(safe);
        output.failures++;
        return std::string("Error: unable to write ") + what + ": " + safeFileFullPath(name) + " (" +
               strerror(ENOMEM) + ")\n";
    }
    if (!safeFileCommit(safe)) {
        output.failures++;
        return std::string("Error: unable to write ") + what + ": " + safeFileFullPath(name) + " (" +
               safeFileReason(safe) + ")\n";
    }
    return "";
}

double powerOfTen(int k)
{
    static_assert(POWERS == 16);
    constexpr double table[POWERS] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7,
                                      1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    return table[k];
}

// Decimals needed to show a (>= 0) exactly to 1e-12 relative to the digit, at most 6.
int decimalsNeeded(double a)
{
    int d = 0;
    for (;;) {
        const double scale = powerOfTen(d);
        // x - trunc(x) is fmod(x, 1) for x >= 0, exactly (the fraction of a double is
        // a double), at a fraction of the cost.
        const double x = a * scale;
        const double e = (x - std::trunc(x)) + scale * 1e-14;
        if (e < scale * 1e-12 || e >= 1.0)
            break;
        ++d;
        if (d == MAX_DECIMALS)
            break;
    }
    return d;
}

// What the format of a column depends on, gathered value by value.
struct ColumnScan {
    double maxAbs;      // largest magnitude so far
    bool negative;      // some value is negative
    int decimals;       // most decimals any value needs
    int count;          // values seen
};

constexpr ColumnScan COLUMN_SCAN_EMPTY = {-1e20, false, 0, 0};

void columnScanAdd(ColumnScan* scan, double v)
{
    const double a = std::fabs(v);
    if (a > scan->maxAbs)
        scan->maxAbs = a;
    if (v < 0)
        scan->negative = true;
    const int d = decimalsNeeded(a);
    if (d > scan->decimals)
        scan->decimals = d;
    ++scan->count;
}

// A column's printf format, and the same in parts for formatColumnText.
struct ColumnFormat {
    char text[COLUMN_FORMAT_SIZE];  // "%W.Dlf" or "%W.5lE"
    int width;                      // W
    int decimals;                   // D, or the 5 of the exponent form
    bool exponent;                  // the exponent form
};

ColumnFormat columnScanFormat(const ColumnScan& scan)
{
    ColumnFormat f = {};
    const double maxAbs = scan.maxAbs;
    const bool negative = scan.negative;
    int decimals = std::clamp(scan.decimals, 0, MAX_DECIMALS);
    if (scan.count >= 1 && (maxAbs > EXPONENT_ABOVE || (maxAbs < EXPONENT_BELOW && maxAbs > ZERO_MAGNITUDE))) {
        snprintf(f.text, COLUMN_FORMAT_SIZE, "%s", negative ? "%13.5lE" : "%12.5lE");
        f.width = negative ? 13 : 12;
        f.decimals = 5;
        f.exponent = true;
        return f;
    }
    int width = 10;
    for (int k = 1; k <= 10; ++k)
        if (powerOfTen(k) > maxAbs) {
            width = k;
            break;
        }
    if (negative)
        ++width;
    if (decimals > 0)
        ++width;
    if (width + decimals > MAX_FIXED_WIDTH) {
        decimals = MAX_FIXED_WIDTH - width;
        if (decimals < 0)
            decimals = 0;
    }
    snprintf(f.text, COLUMN_FORMAT_SIZE, "%%%d.%dlf", width + decimals, decimals);
    f.width = width + decimals;
    f.decimals = decimals;
    return f;
}

constexpr int VALUE_TEXT_SIZE = 400;   // longest "%W.Dlf" text: DBL_MAX has 309 digits

// Writes value as snprintf(format.text) would, and returns the end: std::to_chars with
// a precision gives printf's digits in the C locale, without printf's parsing of the
// format for each value. Values that are not finite keep printf's spelling.
char* formatColumnText(char* out, const ColumnFormat& format, double value)
{
    if (!std::isfinite(value))
        return out + snprintf(out, VALUE_TEXT_SIZE, format.text, value);
    char digits[VALUE_TEXT_SIZE];
    const std::to_chars_result r =
        std::to_chars(digits, digits + sizeof digits, value,
                      format.exponent ? std::chars_format::scientific : std::chars_format::fixed, format.decimals);
    const int length = (int)(r.ptr - digits);
    for (int k = length; k < format.width; ++k)
        *out++ = ' ';
    for (int k = 0; k < length; ++k)
        *out++ = digits[k] == 'e' ? 'E' : digits[k];
    return out;
}

// One OUTPUT column, resolved once: the values of row i are base[i * stride], the
// observation number, or observed[i] - base[i].
struct OutputColumn {
    OutputItemKind kind;
    const double* base;         // values, or the predicted values of a residual; null gives 0
    const double* observed;     // observed values of a residual
    const double* weights;      // weights of a weighted residual; null: every weight is 1
    int stride;                 // doubles between the values of successive rows
};

OutputColumn resolveColumn(const AnalysisResults& results, const Symbol* item)
{
    OutputColumn column = {outputItemKind(item), nullptr, nullptr, nullptr, 1};
    switch (column.kind) {
    case OUTPUT_ITEM_OBS:
        break;
    case OUTPUT_ITEM_PREDICTED:
        column.base = results.predicted;
        break;
    case OUTPUT_ITEM_RESIDUAL:
        column.base = results.observed ? results.predicted : nullptr;
        column.observed = results.observed;
        break;
    case OUTPUT_ITEM_WEIGHTED_RESIDUAL:
        column.base = results.observed ? results.predicted : nullptr;
        column.observed = results.observed;
        column.weights = results.weights;
        break;
    case OUTPUT_ITEM_INPUT:
    case OUTPUT_ITEM_COMPUTED:
        column.base = resultsColumn(results, item, &column.stride);
        break;
    }
    return column;
}

double columnValue(const OutputColumn& column, int i)
{
    if (column.kind == OUTPUT_ITEM_OBS)
        return i + 1;
    if (!column.base)
        return 0.0;
    if (column.kind == OUTPUT_ITEM_RESIDUAL)
        return column.observed[i] - column.base[i];
    if (column.kind == OUTPUT_ITEM_WEIGHTED_RESIDUAL)
        return (column.weights ? std::sqrt(column.weights[i]) : 1.0) * (column.observed[i] - column.base[i]);
    return column.base[(size_t)i * column.stride];
}

// The OUTPUT table as CSV: the items' names, then one row per observation.
bool writeOutputCsv(FILE* file, const AnalysisResults& results)
{
    const int n = observationCount;
    const int count = settings.outputCount;
    OutputColumn* columns =
        (OutputColumn*)memalloc((size_t)(count > 0 ? count : 1) * sizeof(OutputColumn), "ofmt");
    if (!columns)
        return false;
    std::string line;
    for (int k = 0; k < count; ++k) {
        columns[k] = resolveColumn(results, settings.outputVariables[k]);
        if (k > 0)
            line += ',';
        csvAppendText(line, settings.outputVariables[k]->name);
    }
    line += '\n';
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < count; ++k) {
            if (k > 0)
                line += ',';
            csvAppendNumber(line, columnValue(columns[k], i));
        }
        line += '\n';
        if (line.size() > OUTPUT_BUFFER) {
            fwrite(line.data(), 1, line.size(), file);
            line.clear();
        }
    }
    fwrite(line.data(), 1, line.size(), file);
    memfree(columns);
    return true;
}

// One row of the parameter CSV; figures that are not computed stay empty.
void appendParameterRow(std::string& line, const char* name, const char* kind, bool valueComputed, double value,
                        bool hasStatistics, double stdError, bool tAvailable, double t, double probT, bool intervals,
                        double lower, double upper)
{
    csvAppendText(line, name);
    line += ',';
    line += kind;
    line += ',';
    if (valueComputed)
        csvAppendNumber(line, value);
    line += ',';
    if (hasStatistics)
        csvAppendNumber(line, stdError);
    line += ',';
    if (hasStatistics && tAvailable)
        csvAppendNumber(line, t);
    line += ',';
    if (hasStatistics && tAvailable)
        csvAppendNumber(line, probT);
    line += ',';
    if (hasStatistics && intervals)
        csvAppendNumber(line, lower);
    line += ',';
    if (hasStatistics && intervals)
        csvAppendNumber(line, upper);
    line += '\n';
}

}  // namespace

std::string outputParameterCsv(const AnalysisResults& results)
{
    std::string text = "name,kind,estimate,se,t,prob_t,lower,upper\n";
    for (int j = 0; j < results.parameterCount; ++j) {
        const ParameterStatistics& row = results.parameters[j];
        appendParameterRow(text, row.name, "parameter", true, row.estimate, row.hasStatistics, row.stdError,
                           row.tAvailable, row.tValue, row.probT, results.intervals, row.lowerLimit,
                           row.upperLimit);
    }
    for (int k = 0; k < results.derivedCount; ++k) {
        const DerivedStatistics& row = results.derived[k];
        appendParameterRow(text, row.name, "derived", row.valueComputed, row.value, row.hasStatistics,
                           row.stdError, row.tAvailable, row.tValue, row.probT, results.intervals,
                           row.lowerLimit, row.upperLimit);
    }
    return text;
}

OutputItemKind outputItemKind(const Symbol* item)
{
    if (strcasecmp(item->name, OUTPUT_OBS) == 0)
        return OUTPUT_ITEM_OBS;
    if (strcasecmp(item->name, OUTPUT_PREDICTED) == 0)
        return OUTPUT_ITEM_PREDICTED;
    if (strcasecmp(item->name, OUTPUT_RESIDUAL) == 0)
        return OUTPUT_ITEM_RESIDUAL;
    if (strcasecmp(item->name, OUTPUT_WEIGHTED_RESIDUAL) == 0)
        return OUTPUT_ITEM_WEIGHTED_RESIDUAL;
    if (item->kind == SYM_INPUT)
        return OUTPUT_ITEM_INPUT;
    return OUTPUT_ITEM_COMPUTED;
}

void outputColumnFormat(const double* values, int count, char format[COLUMN_FORMAT_SIZE])
{
    ColumnScan scan = COLUMN_SCAN_EMPTY;
    for (int k = 0; k < count; ++k)
        columnScanAdd(&scan, values[k]);
    snprintf(format, COLUMN_FORMAT_SIZE, "%s", columnScanFormat(scan).text);
}

int outputFormatValue(char* buffer, const char* format, double value)
{
    ColumnFormat f = {};
    snprintf(f.text, COLUMN_FORMAT_SIZE, "%s", format);
    f.exponent = sscanf(format, "%%%d.%dlE", &f.width, &f.decimals) == 2 && format[std::strlen(format) - 1] == 'E';
    if (!f.exponent)
        sscanf(format, "%%%d.%dlf", &f.width, &f.decimals);
    char* end = formatColumnText(buffer, f, value);
    *end = '\0';
    return (int)(end - buffer);
}

void outputWriteFile(const AnalysisResults& results)
{
    if (settings.outputMode == 0)
        return;
    FILE* file = nullptr;
    std::string name;
    SafeFile safe;
    if (settings.outputMode > 0) {
        name = resolveRelativePath(addDefaultExtension(settings.outputFile, "OUT"), programPath);
        std::string reason;
        file = openOutput(name, &safe, &reason);
        if (!file) {
            reportText("Error: unable to open output file: %s (%s)\n", safeFileFullPath(name).c_str(), reason.c_str());
            return;
        }
    } else {
        file = listingFile();
        if (!file)
            return;
        fputs("\n\n   ---   Output Data   ---\n", file);
    }
    if (settings.outputMode > 0 && csvIsCsvName(name)) {
        const bool complete = writeOutputCsv(file, results);
        const std::string message = closeOutput(&safe, complete, "output file", name);
        if (!message.empty())
            reportText("%s", message.c_str());
        return;
    }
    const int n = observationCount;
    const int count = settings.outputCount;
    ColumnFormat* formats =
        (ColumnFormat*)memalloc((size_t)(count > 0 ? count : 1) * sizeof(ColumnFormat), "ofmt");
    OutputColumn* columns =
        (OutputColumn*)memalloc((size_t)(count > 0 ? count : 1) * sizeof(OutputColumn), "ofmt");
    // Rows are gathered in a buffer and written in large pieces: it is written out once
    // more than OUTPUT_BUFFER bytes are used, so a whole row always fits.
    const size_t rowRoom = (size_t)(count > 0 ? count : 1) * (VALUE_TEXT_SIZE + 2) + 1;
    const size_t bufferSize = rowRoom + OUTPUT_BUFFER;
    char* buffer = (char*)memalloc(bufferSize, "ofmt");
    if (formats && columns && buffer) {
        for (int k = 0; k < count; ++k) {
            columns[k] = resolveColumn(results, settings.outputVariables[k]);
            ColumnScan scan = COLUMN_SCAN_EMPTY;
            for (int i = 0; i < n; ++i)
                columnScanAdd(&scan, columnValue(columns[k], i));
            formats[k] = columnScanFormat(scan);
        }
        char* end = buffer;
        for (int i = 0; i < n; ++i) {
            for (int k = 0; k < count; ++k) {
                if (k > 0) {
                    *end++ = ' ';
                    *end++ = ' ';
                }
                end = formatColumnText(end, formats[k], columnValue(columns[k], i));
            }
            *end++ = '\n';
            if ((size_t)(end - buffer) > OUTPUT_BUFFER) {
                fwrite(buffer, 1, (size_t)(end - buffer), file);
                end = buffer;
            }
        }
        fwrite(buffer, 1, (size_t)(end - buffer), file);
    }
    const bool complete = formats && columns && buffer;
    if (buffer)
        memfree(buffer);
    if (formats)
        memfree(formats);
    if (columns)
        memfree(columns);
    if (settings.outputMode > 0) {
        const std::string message = closeOutput(&safe, complete, "output file", name);
        if (!message.empty())
            reportText("%s", message.c_str());
    }
}

void outputParameterLine(FILE* file, double value)
{
    char buffer[64];
    snprintf(buffer, sizeof buffer, "%25.18lG\n", value);
    const char* text = buffer;
    while (*text == ' ')
        ++text;
    fprintf(file, "%s", text);
}

std::string outputWriteParameterFile()
{
    const std::string name =
        resolveRelativePath(addDefaultExtension(settings.parameterOutputFile, "PAR"), programPath);
    SafeFile safe;
    std::string reason;
    FILE* file = openOutput(name, &safe, &reason);
    if (!file)
        return "Error: unable to open parameter output file: " + safeFileFullPath(name) + " (" + reason + ")\n";
    if (csvIsCsvName(name)) {
        const std::string text = outputParameterCsv(results);
        fwrite(text.data(), 1, text.size(), file);
        return closeOutput(&safe, true, "parameter output file", name);
    }
    for (int j = 0; j < parameterCount; ++j)
        outputParameterLine(file, parameters[j]->value);
    // Derived quantities follow the parameters, in statement order.
    for (int k = 0; k < results.derivedCount; ++k)
        if (results.derived[k].valueComputed)
            outputParameterLine(file, results.derived[k].value);
    return closeOutput(&safe, true, "parameter output file", name);
}

int outputFailureCount()
{
    return output.failures;
}

void outputReset()
{
    output.failures = 0;
}
