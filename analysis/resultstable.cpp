// Rows of the results table, formatted as CSV from the results record.
#include "analysis/resultstable.h"

#include <cmath>

#include "analysis/derived.h"
#include "analysis/driver.h"
#include "analysis/report.h"
#include "analysis/results.h"
#include "lang/data.h"
#include "lang/symbols.h"
#include "lang/uncertainty.h"
#include "support/csv.h"

namespace {

// ORDER SET STATUS
const char* const STATUS_WORDS[] = {"converged", "doubtful", "not_converged", "failed", "not_run"};

// The figure columns of one parameter or derived quantity: value, se, lower, upper.
void appendQuantity(std::string& row, bool valueComputed, double value, bool hasStatistics, double stdError,
                    bool intervals, double lower, double upper)
{
    row += ',';
    if (valueComputed)
        csvAppendNumber(row, value);
    row += ',';
    if (hasStatistics)
        csvAppendNumber(row, stdError);
    row += ',';
    if (hasStatistics && intervals)
        csvAppendNumber(row, lower);
    row += ',';
    if (hasStatistics && intervals)
        csvAppendNumber(row, upper);
}

// One line of text: line breaks become blanks.
std::string oneLine(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

}  // namespace

const char* resultsTableStatusWord(int status)
{
    return status >= SET_CONVERGED && status <= SET_NOT_RUN ? STATUS_WORDS[status] : "failed";
}

int resultsTableStatus(const AnalysisResults& r)
{
    if (!driverStopCodeUsable(r.stopCode))
        return SET_NOT_CONVERGED;
    return r.diagnosis.doubtful ? SET_DOUBTFUL : SET_CONVERGED;
}

ResultsTableColumns resultsTableColumnsOfProgram()
{
    ResultsTableColumns columns;
    for (int j = 0; j < parameterCount; ++j)
        columns.parameters.push_back(parameters[j]->name);
    for (int k = 0; k < uncertainty.derivedCount; ++k)
        columns.derived.push_back(uncertainty.derived[k].name);
    return columns;
}

std::string resultsTableHeader(const std::string& setColumn, const ResultsTableColumns& columns)
{
    std::string line;
    csvAppendText(line, setColumn.c_str());
    line += ",status,stop_reason,iterations,n,ss,s,r2";
    for (const std::vector<std::string>* names : {&columns.parameters, &columns.derived})
        for (const std::string& name : *names)
            for (const char* suffix : {"", "_se", "_lower", "_upper"}) {
                line += ',';
                csvAppendText(line, (name + suffix).c_str());
            }
    line += ",message\n";
    return line;
}

std::string resultsTableRow(const std::string& name, int status, const ResultsTableColumns& columns,
                            const AnalysisResults& r, const std::string& message)
{
    std::string row;
    csvAppendText(row, name.c_str());
    row += ',';
    row += resultsTableStatusWord(status);
    const bool fitted = status <= SET_NOT_CONVERGED && r.computed;
    row += ',';
    if (fitted)
        csvAppendText(row, reportStopReasonText(r.stopCode));
    row += ',';
    if (fitted)
        row += std::to_string(r.iterationCount);
    const int n = observationCount;
    const int p = parameterCount;
    row += ',';
    if (fitted)
        row += std::to_string(n);
    const bool sums = fitted && r.residualsComputed;
    const ResidualStats& rs = r.residuals;
    row += ',';
    if (sums)
        csvAppendNumber(row, r.weights ? r.weighted.plainResidualSS : r.finalSumSquares);
    row += ',';
    if (sums && n - p > 0)
        csvAppendNumber(row, std::sqrt(rs.residualSS / (n - p)));
    row += ',';
    if (sums && rs.rSquared > 0)
        csvAppendNumber(row, rs.rSquared);
    const bool sameParameters = fitted && r.parameterCount == static_cast<int>(columns.parameters.size());
    for (size_t j = 0; j < columns.parameters.size(); ++j) {
        if (!sameParameters) {
            row += ",,,,";
            continue;
        }
        const ParameterStatistics& ps = r.parameters[j];
        appendQuantity(row, true, ps.estimate, ps.hasStatistics, ps.stdError, r.intervals, ps.lowerLimit,
                       ps.upperLimit);
    }
    const bool sameDerived = fitted && r.derivedCount == static_cast<int>(columns.derived.size());
    for (size_t k = 0; k < columns.derived.size(); ++k) {
        if (!sameDerived) {
            row += ",,,,";
            continue;
        }
        const DerivedStatistics& d = r.derived[k];
        appendQuantity(row, d.valueComputed, d.value, d.hasStatistics, d.stdError, r.intervals, d.lowerLimit,
                       d.upperLimit);
    }
    std::string text = message;
    if (text.empty() && fitted)
        for (int k = 0; k < r.diagnosis.count; ++k)
            text += (text.empty() ? "" : " ") + oneLine(r.diagnosis.findings[k].text);
    row += ',';
    csvAppendText(row, oneLine(text).c_str());
    row += '\n';
    return row;
}
