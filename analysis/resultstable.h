// The results table of a batch over many data sets: one CSV row per data set, with the
// status, the main statistics and every parameter and derived quantity with its
// standard error and limits. The columns are an interface: the manual lists them.
#pragma once

#include <string>
#include <vector>

struct AnalysisResults;

// ORDER SET STATUS: the status words of a row, best first.
enum SetStatus {
    SET_CONVERGED = 0,      // proper convergence, and the Diagnosis trusts the estimates
    SET_DOUBTFUL = 1,       // converged, but the Diagnosis doubts the estimates
    SET_NOT_CONVERGED = 2,  // stopped short of proper convergence
    SET_FAILED = 3,         // no fit: compile or data errors, a missing file, a file not written
    SET_NOT_RUN = 4         // the batch was stopped before this data set was fitted
};

const char* resultsTableStatusWord(int status);
// The status of the last analysis (converged, doubtful or not converged).
int resultsTableStatus(const AnalysisResults& results);

// The names of the program's parameters and DERIVED quantities, after its compile.
struct ResultsTableColumns {
    std::vector<std::string> parameters;    // in declaration order
    std::vector<std::string> derived;       // in statement order
};
ResultsTableColumns resultsTableColumnsOfProgram();

// The header line: setColumn names the first column (the -by column, or "file").
std::string resultsTableHeader(const std::string& setColumn, const ResultsTableColumns& columns);
// The row of data set name after its run: its figures from results when status is a fit,
// else empty fields; message is the error of a failed set (empty: the Diagnosis).
std::string resultsTableRow(const std::string& name, int status, const ResultsTableColumns& columns,
                            const AnalysisResults& results, const std::string& message);
