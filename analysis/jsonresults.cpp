// The JSON results document. Numbers are written by the JSON library with the digits
// that read back to the same double; a figure that is not computed is null.
#include "analysis/jsonresults.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "analysis/derived.h"
#include "analysis/driver.h"
#include "analysis/report.h"
#include "analysis/results.h"
#include "analysis/resultstable.h"
#include "lang/data.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "support/listing.h"
#include "support/safefile.h"

namespace {

using Json = nlohmann::ordered_json;

// ORDER FINDING: the findings' names in the document.
const char* const FINDING_NAMES[] = {"", "not_computable", "no_effect", "ran_away", "not_separate",
                                     "on_bound", "iteration_limit", "stalled", "worse_than_constant"};

Json number(double value)
{
    return std::isfinite(value) ? Json(value) : Json(nullptr);
}

Json figure(bool computed, double value)
{
    return computed ? number(value) : Json(nullptr);
}

Json parameterNames(int p)
{
    Json names = Json::array();
    for (int j = 0; j < p; ++j)
        names.push_back(parameters[j]->name);
    return names;
}

Json matrix(const double* values, int rows, int columns)
{
    Json m = Json::array();
    for (int i = 0; i < rows; ++i) {
        Json row = Json::array();
        for (int j = 0; j < columns; ++j)
            row.push_back(number(values[static_cast<size_t>(i) * columns + j]));
        m.push_back(row);
    }
    return m;
}

// The parameters' covariance and correlation matrices, when the fit gave a covariance.
void addCovariance(Json& doc, const AnalysisResults& r, int p)
{
    if (!r.covariance || r.covarianceState.status <= 0 || r.covarianceState.code == 0) {
        doc["covariance"] = nullptr;
        doc["correlation"] = nullptr;
        return;
    }
    doc["covariance"] = {{"names", parameterNames(p)}, {"matrix", matrix(r.covariance, p, p)}};
    Json correlation = Json::array();
    for (int i = 0; i < p; ++i) {
        Json row = Json::array();
        for (int j = 0; j < p; ++j) {
            const double scale = std::sqrt(r.covariance[static_cast<size_t>(i) * p + i] *
                                           r.covariance[static_cast<size_t>(j) * p + j]);
            row.push_back(scale > 0 ? number(r.covariance[static_cast<size_t>(i) * p + j] / scale) : Json(nullptr));
        }
        correlation.push_back(row);
    }
    doc["correlation"] = {{"names", parameterNames(p)}, {"matrix", correlation}};
}

Json statisticsMember(const AnalysisResults& r, int n, int p)
{
    const ResidualStats& rs = r.residuals;
    const bool computed = r.residualsComputed && !settings.functionMinimization;
    Json s;
    s["n"] = n;
    s["p"] = p;
    s["residual_ss"] = figure(computed, r.weights ? r.weighted.plainResidualSS : r.finalSumSquares);
    s["weighted_residual_ss"] = figure(computed && r.weights, r.weighted.residualSS);
    s["sum_of_deviations"] = figure(computed, rs.sumDev);
    s["regression_ss"] = figure(computed, rs.regressionSS);
    s["total_ss"] = figure(computed, rs.totalSS);
    s["s"] = figure(computed && n - p > 0, std::sqrt(rs.residualSS / (n - p)));
    s["average_deviation"] = figure(computed, rs.absDev);
    s["maximum_deviation"] = figure(computed, rs.maxDev);
    s["r2"] = figure(computed && rs.rSquared > 0, rs.rSquared);
    s["adjusted_r2"] = figure(computed && rs.rSquared > 0, rs.adjRSquared);
    s["durbin_watson"] = figure(computed && rs.rSquared > 0, rs.durbinWatson);
    s["function_value"] = figure(r.residualsComputed && settings.functionMinimization && r.predicted,
                                 r.predicted ? r.predicted[0] : 0.0);
    // The information criteria of the fit take their place here, beside R^2.
    return s;
}

Json varianceMember(const AnalysisResults& r)
{
    const VarianceTable& t = r.variance;
    if (!t.shown || !r.residualsComputed || settings.functionMinimization)
        return nullptr;
    return {{"weighted", r.weights != nullptr},
            {"regression_df", t.regressionDF},
            {"regression_ss", number(r.residuals.regressionSS)},
            {"regression_mean_square", figure(t.wide, t.regressionMeanSquare)},
            {"F", figure(t.wide, t.F)},
            {"prob_F", figure(t.wide, t.probF)},
            {"error_df", t.errorDF},
            {"error_ss", number(r.residuals.residualSS)},
            {"error_mean_square", figure(t.wide, t.meanSquareError)},
            {"total_df", t.errorDF + t.regressionDF},
            {"total_ss", number(r.residuals.totalSS)}};
}

Json parametersMember(const AnalysisResults& r)
{
    Json list = Json::array();
    for (int j = 0; j < r.parameterCount; ++j) {
        const ParameterStatistics& ps = r.parameters[j];
        list.push_back({{"name", ps.name},
                        {"initial", number(ps.initialGuess)},
                        {"estimate", number(ps.estimate)},
                        {"se", figure(ps.hasStatistics, ps.stdError)},
                        {"t", figure(ps.hasStatistics && ps.tAvailable, ps.tValue)},
                        {"prob_t", figure(ps.hasStatistics && ps.tAvailable, ps.probT)},
                        {"lower", figure(ps.hasStatistics && r.intervals, ps.lowerLimit)},
                        {"upper", figure(ps.hasStatistics && r.intervals, ps.upperLimit)}});
    }
    return list;
}

Json derivedMember(const AnalysisResults& r)
{
    Json list = Json::array();
    for (int k = 0; k < r.derivedCount; ++k) {
        const DerivedStatistics& d = r.derived[k];
        list.push_back({{"name", d.name},
                        {"value", figure(d.valueComputed, d.value)},
                        {"se", figure(d.hasStatistics, d.stdError)},
                        {"t", figure(d.hasStatistics && d.tAvailable, d.tValue)},
                        {"prob_t", figure(d.hasStatistics && d.tAvailable, d.probT)},
                        {"lower", figure(d.hasStatistics && r.intervals, d.lowerLimit)},
                        {"upper", figure(d.hasStatistics && r.intervals, d.upperLimit)},
                        {"no_se_reason", d.missing ? Json(d.missing) : Json(nullptr)}});
    }
    return list;
}

Json diagnosisMember(const Diagnosis& d)
{
    Json findings = Json::array();
    for (int k = 0; k < d.count; ++k) {
        const DiagnosisFinding& f = d.findings[k];
        const int kind = f.kind >= 1 && f.kind <= FINDING_WORSE_THAN_CONSTANT ? f.kind : 0;
        findings.push_back({{"kind", FINDING_NAMES[kind]},
                            {"line", f.line > 0 ? Json(f.line) : Json(nullptr)},
                            {"observation", f.observation > 0 ? Json(f.observation) : Json(nullptr)},
                            {"text", f.text}});
    }
    return {{"doubtful", d.doubtful}, {"findings", findings}};
}

Json messagesMember()
{
    Json list = Json::array();
    for (const ListingMessage& m : listingMessages())
        list.push_back({{"kind", m.kind}, {"line", m.line > 0 ? Json(m.line) : Json(nullptr)}, {"text", m.text}});
    return list;
}

}  // namespace

std::string jsonResultsText(const AnalysisResults& r, int exitStatus)
{
    const int n = observationCount;
    const int p = parameterCount;
    Json doc;
    doc["format"] = "moxel-results";
    doc["format_version"] = 1;
    doc["program"] = programPath;
    doc["data_file"] = dataFilePath.empty() ? Json(nullptr) : Json(dataFilePath);
    doc["exit_status"] = exitStatus;
    if (!r.computed) {
        doc["status"] = "failed";
        doc["stop_code"] = nullptr;
        doc["stop_reason"] = nullptr;
        doc["messages"] = messagesMember();
        return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    }
    doc["status"] = resultsTableStatusWord(resultsTableStatus(r));
    doc["stop_code"] = r.stopCode;
    doc["stop_reason"] = reportStopReasonText(r.stopCode);
    doc["iterations"] = r.iterationCount;
    doc["function_minimization"] = settings.functionMinimization;
    doc["statistics"] = statisticsMember(r, n, p);
    doc["analysis_of_variance"] = varianceMember(r);
    doc["confidence_level"] = r.intervals ? Json(r.intervalLevel) : Json(nullptr);
    doc["parameters"] = parametersMember(r);
    addCovariance(doc, r, p);
    doc["derived"] = derivedMember(r);
    doc["derived_no_se_reason"] = r.derivedReason ? Json(r.derivedReason) : Json(nullptr);
    doc["weights"] = r.weights ? Json(r.weightAbsolute ? "absolute" : "relative") : Json(nullptr);
    doc["diagnosis"] = diagnosisMember(r.diagnosis);
    doc["messages"] = messagesMember();
    return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string jsonResultsWrite(const std::string& path, const AnalysisResults& r, int exitStatus)
{
    const std::string text = jsonResultsText(r, exitStatus);
    SafeFile safe;
    if (!safeFileOpen(&safe, path))
        return "Error: unable to write results file: " + safeFileFullPath(path) + " (" + safeFileReason(&safe) + ")";
    fwrite(text.data(), 1, text.size(), safe.stream);
    if (!safeFileCommit(&safe))
        return "Error: unable to write results file: " + safeFileFullPath(path) + " (" + safeFileReason(&safe) + ")";
    return "";
}
