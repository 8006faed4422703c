// OUTPUT and POUTPUT files. The OUTPUT table has no heading and no names: one row per
// observation, each item in a printf format chosen from the values of its column.
#include "analysis/output.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <strings.h>
#include <sys/stat.h>

#include "analysis/driver.h"
#include "analysis/report.h"
#include "exec/interpreter.h"
#include "lang/data.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/listing.h"
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
        const double e = std::fmod(a * scale, 1.0) + scale * 1e-14;
        if (e < scale * 1e-12 || e >= 1.0)
            break;
        ++d;
        if (d == MAX_DECIMALS)
            break;
    }
    return d;
}

}  // namespace

double outputValue(const Symbol* item, int i)
{
    if (strcasecmp(item->name, OUTPUT_OBS) == 0)
        return i + 1;
    if (strcasecmp(item->name, OUTPUT_PREDICTED) == 0)
        return analysis.predicted[i];
    if (strcasecmp(item->name, OUTPUT_RESIDUAL) == 0)
        return analysis.observed[i] - analysis.predicted[i];
    if (item->kind == SYM_INPUT)
        return observations[(size_t)i * inputVariableCount + item->index];
    return runValue(analysisFrame(), item);
}

void chooseColumnFormat(const double* values, int count, char format[COLUMN_FORMAT_SIZE])
{
    double maxAbs = -1e20;
    bool negative = false;
    int decimals = 0;
    for (int k = 0; k < count; ++k) {
        const double v = values[k];
        const double a = std::fabs(v);
        if (a > maxAbs)
            maxAbs = a;
        if (v < 0)
            negative = true;
        const int d = decimalsNeeded(a);
        if (d > decimals)
            decimals = d;
    }
    if (count >= 1 && (maxAbs > EXPONENT_ABOVE || (maxAbs < EXPONENT_BELOW && maxAbs > ZERO_MAGNITUDE))) {
        snprintf(format, COLUMN_FORMAT_SIZE, "%s", negative ? "%13.5lE" : "%12.5lE");
        return;
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
    snprintf(format, COLUMN_FORMAT_SIZE, "%%%d.%dlf", width + decimals, decimals);
}

void writeOutputFile()
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
    const int n = observationCount;
    const int count = settings.outputCount;
    char (*formats)[COLUMN_FORMAT_SIZE] =
        (char (*)[COLUMN_FORMAT_SIZE])memalloc((size_t)(count > 0 ? count : 1) * COLUMN_FORMAT_SIZE, "ofmt");
    if (!analysis.workColumn)
        analysis.workColumn = (double*)memalloc_zero((size_t)(n > 0 ? n : 1) * sizeof(double), "comp");
    if (formats && analysis.workColumn) {
        RunFrame* frame = analysisFrame();
        for (int k = 0; k < count; ++k) {
            runReset(frame);
            for (int j = 0; j < n; ++j) {
                runObservation(frame, j, nullptr, nullptr, nullptr);
                analysis.workColumn[j] = outputValue(settings.outputVariables[k], j);
            }
            chooseColumnFormat(analysis.workColumn, n, formats[k]);
        }
        runReset(frame);
        for (int i = 0; i < n; ++i) {
            runObservation(frame, i, nullptr, nullptr, nullptr);
            for (int k = 0; k < count; ++k) {
                if (k > 0)
                    fputs("  ", file);
                fprintf(file, formats[k], outputValue(settings.outputVariables[k], i));
            }
            fputs("\n", file);
        }
    }
    const bool complete = formats && analysis.workColumn;
    if (formats)
        memfree(formats);
    if (settings.outputMode > 0) {
        const std::string message = closeOutput(&safe, complete, "output file", name);
        if (!message.empty())
            reportText("%s", message.c_str());
    }
}

void writeParameterLine(FILE* file, double value)
{
    char buffer[64];
    snprintf(buffer, sizeof buffer, "%25.18lG\n", value);
    const char* text = buffer;
    while (*text == ' ')
        ++text;
    fprintf(file, "%s", text);
}

std::string writeParameterFile()
{
    const std::string name =
        resolveRelativePath(addDefaultExtension(settings.parameterOutputFile, "PAR"), programPath);
    SafeFile safe;
    std::string reason;
    FILE* file = openOutput(name, &safe, &reason);
    if (!file)
        return "Error: unable to open parameter output file: " + safeFileFullPath(name) + " (" + reason + ")\n";
    for (int j = 0; j < parameterCount; ++j)
        writeParameterLine(file, parameters[j]->value);
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
