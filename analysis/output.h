// Output files: the OUTPUT table (one row per observation, one column per item) to its
// own file or into the listing file, and the POUTPUT file of final estimates.
#pragma once

#include <cstdio>
#include <string>

struct AnalysisResults;
struct Symbol;

constexpr int COLUMN_FORMAT_SIZE = 8;       // longest format "%13.5lE" plus its terminator

// OUTPUT's special item names.
constexpr const char* OUTPUT_OBS = "$OBS";
constexpr const char* OUTPUT_PREDICTED = "$PREDICTED";
constexpr const char* OUTPUT_RESIDUAL = "$RESIDUAL";
constexpr const char* OUTPUT_WEIGHTED_RESIDUAL = "$WRESIDUAL";

// Where an OUTPUT item's values come from.
enum OutputItemKind {
    OUTPUT_ITEM_OBS = 0,        // the 1-based observation number
    OUTPUT_ITEM_PREDICTED = 1,  // the predicted value
    OUTPUT_ITEM_RESIDUAL = 2,   // observed - predicted
    OUTPUT_ITEM_INPUT = 3,      // an input variable, read from the observations
    OUTPUT_ITEM_COMPUTED = 4,   // any other variable: a column the final pass collected
    OUTPUT_ITEM_WEIGHTED_RESIDUAL = 5   // sqrt(w) (observed - predicted); the residual when unweighted
};
OutputItemKind outputItemKind(const Symbol* item);

void outputWriteFile(const AnalysisResults& results);
// Writes the POUTPUT file; returns the error line for the listing, empty when written.
std::string outputWriteParameterFile();
// The parameter table as CSV: "name,kind,estimate,se,t,prob_t,lower,upper", then one row
// per parameter (kind parameter) and per DERIVED quantity (kind derived), with an empty
// field for a figure that is not computed. POUTPUT to a .csv name writes it.
std::string outputParameterCsv(const AnalysisResults& results);

// OUTPUT and POUTPUT files of this run that could not be created or written in full.
int outputFailureCount();
void outputReset();   // before each run

// printf format for a column holding these values.
void outputColumnFormat(const double* values, int count, char format[COLUMN_FORMAT_SIZE]);

// Writes value into buffer as the OUTPUT file does for a column of this format (one that
// outputColumnFormat gives), with a terminator; returns its length. The characters are
// those of snprintf with the format. Buffer holds at least 400 characters.
int outputFormatValue(char* buffer, const char* format, double value);

// Writes one parameter estimate as a line with 18 significant digits, left-aligned.
void outputParameterLine(FILE* file, double value);
