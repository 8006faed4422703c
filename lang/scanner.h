// Number scanner shared by the lexer and the data reader. The language writes a number
// as decimal digits with at most one point, an optional exponent after E or D (either
// case) with an optional sign, and optionally ':' groups of a time (1:30 is 90). Each
// number reads as the double nearest its text, as the C library's strtod gives it in the
// C locale, whatever the process locale.
#pragma once

enum ScanStatus {
    SCAN_OK,            // a complete number
    SCAN_NOT_NUMBER,    // no digit or point where the number starts; end is the start
    SCAN_NO_DIGITS,     // a point with no digit beside it (a lone "."); end is after the point
    SCAN_TWO_POINTS,    // a second point in one group; end is at that point, value 0
    SCAN_INCOMPLETE,    // an exponent letter without digits, or an empty ':' group; value reads them as 0
    SCAN_OUT_OF_RANGE,  // beyond the largest double; value is +-HUGE_VAL
};

struct ScannedNumber {
    double value;       // the number (0 unless SCAN_OK, SCAN_INCOMPLETE or SCAN_OUT_OF_RANGE)
    const char* end;    // first character after the number's text
    int status;         // ScanStatus
};

// Scans the number that starts at text. With signAllowed a leading '+' or '-' belongs to
// it (data values); program constants carry no sign. Scanning stops at the first
// character that cannot continue the number, a NUL included. A value below the smallest
// subnormal reads as a zero of its sign, as strtod gives it.
ScannedNumber scannerNumber(const char* text, bool signAllowed);

// Reads up to count data values at text into values: each a complete number with an
// optional sign, followed by a blank, tab, comma, ';', CR or LF, the values separated by
// blanks, tabs and commas. Stops at the first field that is anything else (an error to
// report, or the end of the record). Returns the values read and sets *end after the
// separators of the last one. The fast path of a data file's plain records.
int scannerFields(const char* text, double* values, int count, const char** end);
