// The Final Results section of the run listing, and the writer every analysis text goes
// through: the exact text to the listing file, and the same text as screen lines.
#pragma once

#include <cstdio>

#include "support/version.h"

struct AnalysisResults;

constexpr double MOXEL_LISTING_VERSION = MOXEL_VERSION_NUMBER;   // version shown in the Final Results

// Formats text and writes it to the listing file (when open) as it is, and to the
// screen listing with its leading and trailing line ends removed, one screen line per
// remaining line.
void reportText(const char* format, ...) __attribute__((format(printf, 1, 2)));

void reportListing(const AnalysisResults& results);

// Pieces of the section, in listing order; open to tests.
void reportDescriptiveStatistics(const AnalysisResults& results);
void reportCorrelationMatrix(const AnalysisResults& results);
void reportParameterTable(const AnalysisResults& results);
void reportDerivedQuantities(const AnalysisResults& results);
void reportAnalysisOfVariance(const AnalysisResults& results);
void reportConfidenceIntervals(const AnalysisResults& results);
void reportProfileIntervals(const AnalysisResults& results);
void reportCovarianceMatrix(const AnalysisResults& results);

// "Stopped due to: " and the reason for a StopCode, once to the listing file and once to
// the screen.
void reportStopReason(int code);
const char* reportStopReasonText(int code);   // "" for a code without a text

struct ParameterStatistics;

// Formats shared by the listing and the parameter view.
void reportFormatTValue(char* buffer, size_t size, double t);   // "%9.1lE" or "%9.2lf"
// The t ("%9...") and Prob(t) ("%7.5lf") columns of a parameter, or the mark
// REPORT_NOT_AVAILABLE in the same widths when t is not defined.
void reportFormatTColumns(const ParameterStatistics& ps, char* t, size_t tSize, char* prob, size_t probSize);
constexpr const char* REPORT_NOT_AVAILABLE = "n/a";
