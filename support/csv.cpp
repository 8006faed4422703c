// CSV fields for the result files.
#include "support/csv.h"

#include <charconv>
#include <cmath>
#include <strings.h>

void csvAppendText(std::string& line, const char* text)
{
    bool quote = *text == ' ' || *text == '\t';
    size_t length = 0;
    for (const char* c = text; *c; ++c, ++length)
        quote = quote || *c == ',' || *c == '"' || *c == '\n' || *c == '\r';
    quote = quote || (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t'));
    if (!quote) {
        line.append(text, length);
        return;
    }
    line += '"';
    for (const char* c = text; *c; ++c) {
        if (*c == '"')
            line += '"';
        line += *c;
    }
    line += '"';
}

void csvAppendNumber(std::string& line, double value)
{
    if (!std::isfinite(value))
        return;
    char digits[32];
    const std::to_chars_result r =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, CSV_DIGITS);
    line.append(digits, r.ptr);
}

bool csvIsCsvName(const std::string& name)
{
    return name.size() >= 4 && strcasecmp(name.c_str() + name.size() - 4, ".csv") == 0;
}
