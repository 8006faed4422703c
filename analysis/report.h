// The Final Results section of the run listing, and the writer every analysis text goes
// through: the exact text to the listing file, and the same text as screen lines.
#pragma once

#include <cstdio>

constexpr double MOXEL_LISTING_VERSION = 5.3;   // version shown in the Final Results

// Formats text and writes it to the listing file (when open) as it is, and to the
// screen listing with its leading and trailing line ends removed, one screen line per
// remaining line.
void reportText(const char* format, ...) __attribute__((format(printf, 1, 2)));

void writeListing(int stopCode);

// Pieces of the section, in listing order; open to tests.
void writeDescriptiveStatistics();
void writeCorrelationMatrix();
void writeParameterTable();
void writeAnalysisOfVariance();
void writeConfidenceIntervals();
void writeCovarianceMatrix();

struct ParameterStatistics;

// Formats shared by the listing and the parameter view.
void formatTValue(char* buffer, size_t size, double t);   // "%9.1lE" or "%9.2lf"
// The t ("%9...") and Prob(t) ("%7.5lf") columns of a parameter, or the mark
// REPORT_NOT_AVAILABLE in the same widths when t is not defined.
void formatTColumns(const ParameterStatistics& ps, char* t, size_t tSize, char* prob, size_t probSize);
constexpr const char* REPORT_NOT_AVAILABLE = "n/a";
