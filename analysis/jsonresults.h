// The Final Results as one JSON document, for scripts: every figure of the listing with
// its full precision, under member names that stay as they are (the manual lists them).
#pragma once

#include <string>

struct AnalysisResults;

// The document for the last Run. exitStatus is the batch exit status the run ends with;
// a run that never reached the analysis (compile or data errors) gives a document with
// its messages and no figures.
std::string jsonResultsText(const AnalysisResults& results, int exitStatus);

// Writes that document to path through the safe writer; returns the error line, empty
// when it was written.
std::string jsonResultsWrite(const std::string& path, const AnalysisResults& results, int exitStatus);
