// The same fit at any scale, end to end through build/moxel -run: the observations (y),
// the predictor (x) or both are multiplied by 10^k for k = -15, -12, ..., 15. Each
// parameter then moves by a known power of those factors, so its estimate and standard
// error must scale exactly so (to 6 significant digits), while t, Prob(t), R^2 and the
// kind of stop are the same at every k. Models: a decay, a Michaelis-Menten curve, a
// logistic curve and two NIST StRD problems from their second starting point.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "nist_models.h"
#include "testutil.h"

namespace {

constexpr int MAX_PARAMETERS = 3;

// A parameter becomes value * fy^yPower * fx^xPower when y is multiplied by fy and x by fx.
struct Power {
    int yPower;
    int xPower;
};

struct Observation {
    double x;
    double y;
};

struct ScaleModel {
    const char* name;
    const char* function;                       // FUNCTION statement body, in x and y
    int p;
    const char* names[MAX_PARAMETERS];
    Power powers[MAX_PARAMETERS];
    double start[MAX_PARAMETERS];               // unscaled start (NIST: read from the file)
    const char* nistName;                       // data from tests/data/nist, or null
    std::vector<Observation> (*data)();         // data of the other models
};

// Deterministic scatter of a few per cent, so that the residuals are not zero.
double scatter(int i) { return 0.03 * std::sin(2.7 * i + 0.4); }

std::vector<Observation> decayData()
{
    std::vector<Observation> rows;
    for (int i = 0; i < 12; ++i) {
        const double x = 0.5 * i;
        rows.push_back({x, 5.0 * std::exp(-0.411 * x) * (1.0 + scatter(i))});
    }
    return rows;
}

std::vector<Observation> michaelisData()
{
    const double s[] = {0.02, 0.06, 0.11, 0.22, 0.56, 1.10, 0.04, 0.3};
    std::vector<Observation> rows;
    for (int i = 0; i < 8; ++i)
        rows.push_back({s[i], 210.0 * s[i] / (0.064 + s[i]) * (1.0 + scatter(i))});
    return rows;
}

std::vector<Observation> logisticData()
{
    std::vector<Observation> rows;
    for (int i = 0; i < 15; ++i) {
        const double x = 2.0 * i;
        rows.push_back({x, 470.0 / (1.0 + std::exp(-0.31 * (x - 12.0))) + 8.0 * scatter(i)});
    }
    return rows;
}

const ScaleModel scaleModels[] = {
    {"decay", "y = a * exp(-k * x)", 2, {"a", "k"}, {{1, 0}, {0, -1}}, {10, 1}, nullptr, decayData},
    {"michaelis", "y = Vmax * x / (Km + x)", 2, {"Vmax", "Km"}, {{1, 0}, {0, 1}}, {150, 0.3}, nullptr,
     michaelisData},
    {"logistic", "y = K / (1 + exp(-r * (x - m)))", 3, {"K", "r", "m"}, {{1, 0}, {0, -1}, {0, 1}},
     {400, 0.2, 10}, nullptr, logisticData},
    {"Misra1a", "y = b1 * (1 - exp(-b2 * x))", 2, {"b1", "b2"}, {{1, 0}, {0, -1}}, {}, "Misra1a", nullptr},
    {"Eckerle4", "y = (b1 / b2) * exp(-0.5 * ((x - b3) / b2) * ((x - b3) / b2))", 3, {"b1", "b2", "b3"},
     {{1, 1}, {0, 1}, {0, 1}}, {}, "Eckerle4", nullptr},
};

enum Scaled { SCALE_Y, SCALE_X, SCALE_BOTH };
const char* const SCALED_NAMES[] = {"y", "x", "x and y"};

struct Factors {
    double fy;
    double fx;
};

Factors factorsFor(Scaled what, int k)
{
    const double f = std::pow(10.0, k);
    return {what == SCALE_X ? 1.0 : f, what == SCALE_Y ? 1.0 : f};
}

double parameterFactor(const Power& power, const Factors& f)
{
    return std::pow(f.fy, power.yPower) * std::pow(f.fx, power.xPower);
}

std::string number(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string programText(const ScaleModel& model, const std::vector<double>& start,
                        const std::vector<Observation>& rows, const Factors& f)
{
    std::ostringstream text;
    text << "VARIABLES x, y;\nPARAMETERS ";
    for (int j = 0; j < model.p; ++j)
        text << (j ? ", " : "") << model.names[j] << " = "
             << number(start[j] * parameterFactor(model.powers[j], f));
    text << ";\nFUNCTION " << model.function << ";\nDATA;\n";
    for (const Observation& row : rows)
        text << number(row.x * f.fx) << " " << number(row.y * f.fy) << "\n";
    return text.str();
}

// What a listing shows of one fit.
struct ListedFit {
    int status = -1;
    std::string stop;                   // "Stopped due to: ..." line of the Final Results
    double rSquared = NAN;
    double estimate[MAX_PARAMETERS] = {NAN, NAN, NAN};
    double stdError[MAX_PARAMETERS] = {NAN, NAN, NAN};
    double t[MAX_PARAMETERS] = {NAN, NAN, NAN};
    double prob[MAX_PARAMETERS] = {NAN, NAN, NAN};
};

ListedFit readFit(const MoxelRun& run, int p)
{
    ListedFit fit;
    fit.status = run.status;
    const std::vector<std::string> lines = splitLines(run.listing);
    bool final = false;
    for (size_t k = 0; k < lines.size(); ++k) {
        const std::string& line = lines[k];
        if (line.find("----  Final Results  ----") != std::string::npos)
            final = true;
        if (final && fit.stop.empty() && line.rfind("Stopped due to:", 0) == 0)
            fit.stop = line;
        std::sscanf(line.c_str(), "Proportion of variance explained (R^2) = %lf", &fit.rSquared);
        if (line.find("----  Calculated Parameter Values  ----") == std::string::npos)
            continue;
        for (int j = 0; j < p && k + 4 + j < lines.size(); ++j) {
            char name[40];
            double initial = 0;
            std::sscanf(lines[k + 4 + j].c_str(), "%39s %lf %lf %lf %lf %lf", name, &initial, &fit.estimate[j],
                        &fit.stdError[j], &fit.t[j], &fit.prob[j]);
        }
    }
    return fit;
}

bool properConvergence(const std::string& stop)
{
    return stop.find("Absolute function convergence") != std::string::npos ||
           stop.find("Relative function convergence") != std::string::npos ||
           stop.find("Parameter convergence") != std::string::npos ||
           stop.find("Both parameter and relative function convergence") != std::string::npos;
}

// Agreement asked of the estimates and standard errors: 6 significant digits, plus half
// a unit in the last digit that the listing prints of each (9 and 7 digits).
constexpr double ESTIMATE_TOLERANCE = 1e-6 + 1e-9;
constexpr double ERROR_TOLERANCE = 1e-6 + 1e-7;
// t, Prob(t) and R^2 as printed: within one unit of their last printed digit (t has two
// decimals, or two significant digits from 100000 on).
double tTolerance(double t) { return std::fabs(t) >= 1e5 ? 0.1 * std::fabs(t) : 0.0100001 + 1e-6 * std::fabs(t); }
constexpr double PROB_TOLERANCE = 0.0000100001;
constexpr double R_SQUARED_TOLERANCE = 0.0001000001;

bool agrees(double value, double expected, double tolerance)
{
    return std::fabs(value - expected) <= tolerance * std::fabs(expected);
}

struct ScaleCase {
    const ScaleModel* model;
    std::vector<double> start;
    std::vector<Observation> rows;
};

ScaleCase loadCase(const ScaleModel& model)
{
    ScaleCase c{&model, std::vector<double>(model.start, model.start + model.p), {}};
    if (model.nistName == nullptr) {
        c.rows = model.data();
        return c;
    }
    NistProblem problem;
    if (!nistLoad(sourceDir() + "/tests/data/nist", model.nistName, problem))
        return c;
    c.start = problem.start2;
    for (size_t i = 0; i < problem.y.size(); ++i)
        c.rows.push_back({problem.x1[i], problem.y[i]});
    return c;
}

void PrintTo(const ScaleModel& model, std::ostream* out) { *out << model.name; }

class ScaleRun : public ::testing::TestWithParam<ScaleModel> {};

TEST_P(ScaleRun, EstimatesFollowTheUnitsAndStatisticsStay)
{
    const ScaleCase c = loadCase(GetParam());
    const ScaleModel& model = *c.model;
    ASSERT_FALSE(c.rows.empty());
    const MoxelRun base = runMoxel(programText(model, c.start, c.rows, {1.0, 1.0}), model.name);
    const ListedFit reference = readFit(base, model.p);
    ASSERT_EQ(reference.status, 0) << base.listing;
    ASSERT_TRUE(properConvergence(reference.stop)) << reference.stop;
    for (int j = 0; j < model.p; ++j)
        ASSERT_TRUE(std::isfinite(reference.stdError[j]) && std::isfinite(reference.t[j])) << base.listing;

    for (Scaled what : {SCALE_Y, SCALE_X, SCALE_BOTH}) {
        for (int k = -15; k <= 15; k += 3) {
            if (k == 0)
                continue;
            const Factors f = factorsFor(what, k);
            const MoxelRun run = runMoxel(programText(model, c.start, c.rows, f), model.name);
            const ListedFit fit = readFit(run, model.p);
            SCOPED_TRACE(std::string(SCALED_NAMES[what]) + " times 1e" + std::to_string(k));
            EXPECT_EQ(fit.status, reference.status) << run.listing;
            EXPECT_TRUE(properConvergence(fit.stop)) << fit.stop;
            EXPECT_NEAR(fit.rSquared, reference.rSquared, R_SQUARED_TOLERANCE);
            for (int j = 0; j < model.p; ++j) {
                const double factor = parameterFactor(model.powers[j], f);
                EXPECT_PRED3(agrees, fit.estimate[j], reference.estimate[j] * factor, ESTIMATE_TOLERANCE)
                    << model.names[j];
                EXPECT_PRED3(agrees, fit.stdError[j], reference.stdError[j] * factor, ERROR_TOLERANCE)
                    << model.names[j];
                EXPECT_NEAR(fit.t[j], reference.t[j], tTolerance(reference.t[j]))
                    << model.names[j];
                EXPECT_NEAR(fit.prob[j], reference.prob[j], PROB_TOLERANCE) << model.names[j];
            }
        }
    }
}

// Exact data y = 5 s exp(-0.411 x): the fit reaches a zero residual at every scale s, at
// the exact values. It ends by absolute function convergence where the last step lands
// within rounding of the data, and by parameter convergence otherwise: which of the two
// depends on the rounding of that one step, not on the scale.
TEST(ScaleExactFit, ZeroResidualEndsAlikeAtAnyScale)
{
    std::vector<Observation> rows;
    for (int i = 0; i < 12; ++i)
        rows.push_back({0.5 * i, 5.0 * std::exp(-0.411 * 0.5 * i)});
    for (double a : {10.0, 2.0}) {
        for (double s : {1.0, 1e-12, 1e12}) {
            const MoxelRun run = runMoxel(programText(scaleModels[0], {a, 1.0}, rows, {s, 1.0}), "exact");
            const ListedFit fit = readFit(run, 2);
            SCOPED_TRACE("a = " + number(a) + " s, s = " + number(s));
            EXPECT_EQ(fit.status, 0) << run.listing;
            EXPECT_TRUE(fit.stop == "Stopped due to: Absolute function convergence." ||
                        fit.stop == "Stopped due to: Parameter convergence.") << fit.stop;
            EXPECT_NEAR(fit.estimate[0], 5.0 * s, 1e-8 * 5.0 * s);
            EXPECT_NEAR(fit.estimate[1], 0.411, 1e-8);
        }
    }
}

// A well-posed linear fit y = a x + b z with b of 1e-21 (z near 1e21) or of 1e21 (z near
// 1e-21) beside a near 1: standard errors and t as the normal equations give them in
// units where both parameters are near 1, and no covariance warning.
TEST(ScaleMixedParameters, StandardErrorsFollowEachParametersUnits)
{
    for (double unit : {1e-21, 1e21}) {
        std::ostringstream text;
        text << "VARIABLES x, z, y;\nPARAMETERS a = 1, b = " << number(unit) << ";\nFUNCTION y = a * x + b * z;\nDATA;\n";
        // in units of b: columns x and w = z * unit, coefficients a and c = b / unit
        double sxx = 0, sxw = 0, sww = 0, sxy = 0, swy = 0;
        std::vector<double> xs, ws, ys;
        for (int i = 1; i <= 10; ++i) {
            const double x = i, w = (10 - i) * (10 - i), y = x + w * (1 + 0.02 * std::sin(i)) + 0.01 * std::cos(2 * i);
            const double z = w / unit;
            text << number(x) << " " << number(z) << " " << number(y) << "\n";
            xs.push_back(x);
            ws.push_back(z * unit);
            ys.push_back(y);
        }
        for (size_t i = 0; i < xs.size(); ++i) {
            sxx += xs[i] * xs[i]; sxw += xs[i] * ws[i]; sww += ws[i] * ws[i];
            sxy += xs[i] * ys[i]; swy += ws[i] * ys[i];
        }
        const double det = sxx * sww - sxw * sxw;
        const double a = (sww * sxy - sxw * swy) / det, c = (sxx * swy - sxw * sxy) / det;
        double rss = 0;
        for (size_t i = 0; i < xs.size(); ++i)
            rss += (ys[i] - a * xs[i] - c * ws[i]) * (ys[i] - a * xs[i] - c * ws[i]);
        const double s2 = rss / (xs.size() - 2);
        const double seA = std::sqrt(s2 * sww / det), seC = std::sqrt(s2 * sxx / det);

        const MoxelRun run = runMoxel(text.str(), "mixed");
        const ListedFit fit = readFit(run, 2);
        SCOPED_TRACE("b near " + number(unit));
        EXPECT_EQ(run.listing.find("Covariance matrix could not be computed"), std::string::npos) << run.listing;
        EXPECT_PRED3(agrees, fit.estimate[0], a, ESTIMATE_TOLERANCE);
        EXPECT_PRED3(agrees, fit.estimate[1], c * unit, ESTIMATE_TOLERANCE);
        EXPECT_PRED3(agrees, fit.stdError[0], seA, ERROR_TOLERANCE);
        EXPECT_PRED3(agrees, fit.stdError[1], seC * unit, ERROR_TOLERANCE);
        EXPECT_NEAR(fit.t[1], c / seC, tTolerance(c / seC));
    }
}

// y = a exp(b x) for x up to 50, where b = 0.1 fits, from starts where the model is up
// to 1e30 times too large: each run either finds the fit or ends as a failure (exit
// status 3); none reports convergence elsewhere.
TEST(ScaleFarStart, EndsAtTheFitOrAsAFailure)
{
    std::ostringstream data;
    for (int i = 0; i < 26; ++i) {
        const double x = 2.0 * i;
        data << number(x) << " " << number(2.0 * std::exp(0.1 * x) * (1.0 + 0.01 * std::sin(i))) << "\n";
    }
    for (double b : {0.3, 0.7, 0.9, 1.0, 1.5}) {
        const MoxelRun run = runMoxel("VARIABLES x, y;\nPARAMETERS a = 1, b = " + number(b) +
                                      ";\nFUNCTION y = a * exp(b * x);\nDATA;\n" + data.str(), "far");
        const ListedFit fit = readFit(run, 2);
        SCOPED_TRACE("from b = " + number(b));
        EXPECT_EQ(properConvergence(fit.stop), run.status == 0) << fit.stop;
        if (run.status == 0) {
            EXPECT_NEAR(fit.estimate[0], 2.02667203, 1e-6);
            EXPECT_NEAR(fit.estimate[1], 0.0996477641, 1e-8);
        } else {
            EXPECT_EQ(run.status, 3) << run.out;
        }
    }
}

// Zero-residual problems whose far start once loosened the absolute test: Brown's badly
// scaled function (residuals a - 1e6, b - 2e-6, a b - 2) from (1, 1) times m, and exact
// decay data a exp(-k x) with a = 5 s for s down to 1e-50 from (1, 0.1) times m. Each
// fit ends at the minimum, or as a failure (exit status 3); never with exit 0 elsewhere;
// with differences and with exact derivatives.
TEST(ScaleZeroResidual, FarStartsEndAtTheMinimumOrFail)
{
    struct Problem {
        std::string name;
        std::string program;            // without its PARAMETERS statement
        double start[2];
        double solution[2];
    };
    std::vector<Problem> problems;
    problems.push_back({"Brown", "VARIABLES i, y;\nFUNCTION y = i == 1 ? a : (i == 2 ? b : a * b);\nDATA;\n"
                                 "1 1000000\n2 0.000002\n3 2\n", {1.0, 1.0}, {1e6, 2e-6}});
    for (double s : {1e-12, 1e-18, 1e-30, 1e-50}) {
        std::string data;
        for (int i = 1; i <= 8; ++i)
            data += std::to_string(i) + " " + number(5.0 * s * std::exp(-0.3 * i)) + "\n";
        problems.push_back({"decay at " + number(s), "VARIABLES x, y;\nFUNCTION y = a * exp(-b * x);\nDATA;\n" + data,
                            {1.0, 0.1}, {5.0 * s, 0.3}});
    }
    for (const Problem& problem : problems) {
        for (const char* derivatives : {"", "DERIVATIVES EXACT;\n"})
        for (double m : {1.0, 10.0, 100.0}) {
            // the decay from 100 times its start meets a plateau (e^-10x) that stops the
            // fit elsewhere for other reasons
            if (m == 100.0 && problem.name != "Brown")
                continue;
            const std::string text = derivatives + ("PARAMETERS a = " + number(m * problem.start[0]) + ", b = " +
                                                    number(m * problem.start[1]) + ";\n") + problem.program;
            const MoxelRun run = runMoxel(text, "zero");
            const ListedFit fit = readFit(run, 2);
            SCOPED_TRACE(problem.name + " from " + number(m) + " times the start " + derivatives);
            if (run.status != 0) {
                EXPECT_EQ(run.status, 3) << run.listing;
                continue;
            }
            EXPECT_TRUE(properConvergence(fit.stop)) << fit.stop;
            for (int j = 0; j < 2; ++j)
                EXPECT_PRED3(agrees, fit.estimate[j], problem.solution[j], 1e-8) << run.listing;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Models, ScaleRun, ::testing::ValuesIn(scaleModels),
                         [](const ::testing::TestParamInfo<ScaleModel>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
