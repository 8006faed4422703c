// Fields of the CSV files the program writes for other tools: RFC 4180 quoting, and
// numbers that read back to the same double.
#pragma once

#include <string>

constexpr int CSV_DIGITS = 17;   // significant digits of a number: enough for every double

// Appends text as one field, in double quotes (each quote doubled) when it holds a comma,
// a quote, a line break, or blanks at either end.
void csvAppendText(std::string& line, const char* text);
// Appends value with CSV_DIGITS significant digits in the C locale; nothing (an empty
// field) when it is not finite.
void csvAppendNumber(std::string& line, double value);
// True when a file name ends in ".csv", in any case.
bool csvIsCsvName(const std::string& name);
