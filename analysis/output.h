// Output files: the OUTPUT table (one row per observation, one column per item) to its
// own file or into the listing file, and the POUTPUT file of final estimates.
#pragma once

#include <cstdio>
#include <string>

struct Symbol;

constexpr int COLUMN_FORMAT_SIZE = 8;       // longest format "%13.5lE" plus its terminator

// OUTPUT's special item names.
constexpr const char* OUTPUT_OBS = "$OBS";
constexpr const char* OUTPUT_PREDICTED = "$PREDICTED";
constexpr const char* OUTPUT_RESIDUAL = "$RESIDUAL";

void writeOutputFile();
// Writes the POUTPUT file; returns the error line for the listing, empty when written.
std::string writeParameterFile();

// OUTPUT and POUTPUT files of this run that could not be created or written in full.
int outputFailureCount();
void outputReset();   // before each run

// Value of an OUTPUT item for observation i (the program has just run for i).
double outputValue(const Symbol* item, int i);

// printf format for a column holding these values.
void chooseColumnFormat(const double* values, int count, char format[COLUMN_FORMAT_SIZE]);

// Writes one parameter estimate as a line with 18 significant digits, left-aligned.
void writeParameterLine(FILE* file, double value);
