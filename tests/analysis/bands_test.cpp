// Curve bands: the band tables of -plots against an independent reference (NumPy and
// SciPy, tests/data/bands), the formulas that are easy to get wrong shown to fail the
// same tolerance, the quantiles, and the honest refusals.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/bands.h"
#include "testutil.h"

namespace {

constexpr double TOLERANCE = 1e-5;   // relative, fit, se_fit and every half-width

const char HEADER[] = "x,fit,se_fit,conf_lower,conf_upper,pred_lower,pred_upper,simconf_lower,simconf_upper";

struct ReferencePoint {
    double x, fit, seFit, weight;
    std::vector<double> g;
};

struct ReferenceCase {
    int n = 0, p = 0;
    double level = 0, s = 0, v0 = 0, t = 0, z = 0, F = 0, Fwrong = 0, xMean = 0, sxx = 0;
    std::vector<double> cov;
    std::vector<ReferencePoint> points;
};

std::map<std::string, ReferenceCase> readReference()
{
    std::map<std::string, ReferenceCase> cases;
    std::istringstream in(readTextFile(sourceDir() + "/tests/data/bands/reference.txt"));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream row(line);
        std::string kind, name;
        row >> kind >> name;
        ReferenceCase& c = cases[name];
        if (kind == "case") {
            row >> c.n >> c.p >> c.level >> c.s >> c.v0 >> c.t >> c.z >> c.F >> c.Fwrong;
        } else if (kind == "cov") {
            c.cov.resize((size_t)c.p * c.p);
            for (double& v : c.cov)
                row >> v;
        } else if (kind == "xstats") {
            row >> c.xMean >> c.sxx;
        } else if (kind == "point") {
            ReferencePoint pt;
            row >> pt.x >> pt.fit >> pt.seFit;
            pt.g.resize(c.p);
            for (double& v : pt.g)
                row >> v;
            row >> pt.weight;
            c.points.push_back(pt);
        } else {
            cases.erase(name);
        }
    }
    return cases;
}

// One parsed row of a band table; an empty field is NaN.
std::vector<std::vector<double>> readTable(const std::string& text, std::string* header)
{
    std::vector<std::vector<double>> rows;
    std::vector<std::string> lines = splitLines(text);
    if (lines.empty())
        return rows;
    *header = lines[0];
    for (size_t k = 1; k < lines.size(); ++k) {
        std::vector<double> row;
        std::string field;
        std::istringstream in(lines[k]);
        while (std::getline(in, field, ',')) {
            double v = NAN;
            if (!field.empty())
                std::from_chars(field.data(), field.data() + field.size(), v);
            row.push_back(v);
        }
        if (lines[k].back() == ',')
            row.push_back(NAN);
        rows.push_back(row);
    }
    return rows;
}

double relative(double a, double b)
{
    return std::fabs(a - b) / std::fabs(b);
}

struct BandCase {
    const char* name;
    const char* program;    // %s: the data folder
};

const BandCase BAND_CASES[] = {
    {"puromycin", "VARIABLES conc, rate;\nPARAMETERS Vm = 200, K = 0.1;\nFUNCTION rate = Vm * conc / (K + conc);\n"
                  "CONFIDENCE 95;\nPLOT CBAND, PBAND, SBAND;\nDATA \"%s/puromycin.dat\";\n"},
    {"dnase", "VARIABLES conc, density;\nPARAMETERS Asym = 3, xmid = 0, scal = 1;\n"
              "FUNCTION density = Asym / (1 + exp((xmid - ln(conc)) / scal));\n"
              "CONFIDENCE 95;\nPLOT CBAND;\nPLOT PBAND SBAND;\nDATA \"%s/dnase1.dat\";\n"},
    {"decay", "VARIABLES t, y, sd;\nPARAMETERS a = 5, k = 0.1, c = 0;\nFUNCTION y = a * exp(-k * t) + c;\n"
              "CONFIDENCE 95;\nPLOT SBAND;\nDATA \"%s/decay.dat\";\n"},
    {"puromycin_weighted", "VARIABLES conc, rate;\nPARAMETERS Vm = 200, K = 0.1;\n"
                           "FUNCTION rate = Vm * conc / (K + conc);\nWEIGHT 1 / (1 + conc);\n"
                           "CONFIDENCE 95;\nPLOT PBAND;\nDATA \"%s/puromycin.dat\";\n"},
    {"puromycin_absolute", "VARIABLES conc, rate;\nPARAMETERS Vm = 200, K = 0.1;\n"
                           "FUNCTION rate = Vm * conc / (K + conc);\nWEIGHT ABSOLUTE 1 / (100 * (1 + conc));\n"
                           "CONFIDENCE 95;\nPLOT PBAND CBAND;\nDATA \"%s/puromycin.dat\";\n"},
};

std::string programOf(const BandCase& c)
{
    char text[1024];
    snprintf(text, sizeof text, c.program, (sourceDir() + "/tests/data/weights").c_str());
    return text;
}

// Half-widths of the reference at a point: confidence, prediction, simultaneous.
struct Halves {
    double conf, pred, sim;
};

Halves referenceHalves(const ReferenceCase& c, const ReferencePoint& pt)
{
    const double se = pt.seFit;
    return {c.t * se, c.t * std::sqrt(se * se + c.v0 / pt.weight), std::sqrt(c.p * c.F) * se};
}

// Every table (one per plot with a band option) matches the reference in fit, se_fit and
// the three half-widths, whichever bands the plot asked for; the x grid is the same 200
// even points over the data's range. With differences and with exact derivatives.
TEST(BandTable, MatchesTheIndependentReference)
{
    const auto reference = readReference();
    ASSERT_EQ(reference.size(), 5u);
    for (const char* derivatives : {"", "DERIVATIVES EXACT; "})
    for (const BandCase& bc : BAND_CASES) {
        SCOPED_TRACE(std::string(bc.name) + " " + derivatives);
        const ReferenceCase& ref = reference.at(bc.name);
        const MoxelRun run = runMoxel(derivatives + programOf(bc), "prog", "", {"-plots"});
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_NE(run.listing.find("Bands at 95%: n - p = " + std::to_string(ref.n - ref.p)), std::string::npos)
            << run.listing;
        EXPECT_NE(run.out.find("The band table was written to"), std::string::npos);
        std::string header;
        const auto rows = readTable(readTextFile(run.folder + "/prog_plot1.csv"), &header);
        EXPECT_EQ(header, HEADER);
        ASSERT_EQ(rows.size(), ref.points.size());
        double worst = 0;
        for (size_t i = 0; i < rows.size(); ++i) {
            const auto& r = rows[i];
            const ReferencePoint& pt = ref.points[i];
            ASSERT_EQ(r.size(), 9u);
            const Halves h = referenceHalves(ref, pt);
            const double errors[] = {
                relative(r[0], pt.x),          relative(r[1], pt.fit),
                relative(r[2], pt.seFit),      relative(r[4] - r[1], h.conf),
                relative(r[1] - r[3], h.conf), relative(r[6] - r[1], h.pred),
                relative(r[1] - r[5], h.pred), relative(r[8] - r[1], h.sim),
                relative(r[1] - r[7], h.sim),
            };
            for (double e : errors)
                worst = std::max(worst, e);
        }
        EXPECT_LT(worst, TOLERANCE);
    }
}

// The mistakes a band is prone to, each computed from the reference's own inputs, miss
// the reference by more than the tolerance the tables are held to: the test above would
// catch any of them.
TEST(BandTable, EasyMistakesFailTheTolerance)
{
    const auto reference = readReference();
    struct Mistake {
        const char* name;
        int band;   // 0 confidence, 1 prediction, 2 simultaneous
        double (*half)(const ReferenceCase& c, const ReferencePoint& pt);
    };
    const Mistake mistakes[] = {
        {"straight-line formula", 0,
         [](const ReferenceCase& c, const ReferencePoint& pt) {
             const double d = pt.x - c.xMean;
             return c.t * c.s * std::sqrt(1.0 / c.n + d * d / c.sxx);
         }},
        {"diagonal of C only", 0,
         [](const ReferenceCase& c, const ReferencePoint& pt) {
             double v = 0;
             for (int j = 0; j < c.p; ++j)
                 v += pt.g[j] * pt.g[j] * c.cov[(size_t)j * c.p + j];
             return c.t * std::sqrt(v);
         }},
        {"z instead of t", 0, [](const ReferenceCase& c, const ReferencePoint& pt) { return c.z * pt.seFit; }},
        {"prediction without s^2", 1,
         [](const ReferenceCase& c, const ReferencePoint& pt) { return c.t * pt.seFit; }},
        {"F at 1 - alpha/2", 2,
         [](const ReferenceCase& c, const ReferencePoint& pt) { return std::sqrt(c.p * c.Fwrong) * pt.seFit; }},
    };
    for (const auto& [name, ref] : reference) {
        for (const Mistake& m : mistakes) {
            SCOPED_TRACE(name + ": " + m.name);
            double worst = 0;
            for (const ReferencePoint& pt : ref.points) {
                const Halves h = referenceHalves(ref, pt);
                const double right = m.band == 0 ? h.conf : m.band == 1 ? h.pred : h.sim;
                worst = std::max(worst, relative(m.half(ref, pt), right));
            }
            EXPECT_GT(worst, 100 * TOLERANCE);
        }
    }
}

// The quantiles come from the special functions' distribution functions to far better
// than the tables need (the reference values are SciPy's).
TEST(BandQuantiles, MatchSciPy)
{
    const struct {
        double (*q)(double, double, double);
        double prob, df1, df2, expected;
    } cases[] = {
        {[](double p, double, double df) { return bandsStudentQuantile(p, df); }, 0.975, 0, 10, 2.2281388519649385},
        {[](double p, double, double df) { return bandsStudentQuantile(p, df); }, 0.975, 0, 13, 2.1603686564610127},
        {[](double p, double, double df) { return bandsStudentQuantile(p, df); }, 0.995, 0, 1, 63.65674116287399},
        {[](double p, double, double df) { return bandsStudentQuantile(p, df); }, 0.95, 0, 1000, 1.6463788172854639},
        {bandsFQuantile, 0.05, 2, 10, 4.1028210151304005},
        {bandsFQuantile, 0.05, 3, 17, 3.1967768409433432},
        {bandsFQuantile, 0.025, 3, 13, 4.3471780827098518},
        {bandsFQuantile, 0.01, 5, 1000, 3.035549614831242},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(c.q(c.prob, c.df1, c.df2), c.expected, 2e-8 * c.expected) << c.prob << " " << c.df2;
    EXPECT_TRUE(std::isnan(bandsStudentQuantile(0.4, 5)));
    EXPECT_TRUE(std::isnan(bandsFQuantile(0.05, 2, 0)));
}

// No band where none can be honest: the listing says why in one line, and the table keeps
// the curve but leaves every band column empty.
TEST(BandTable, NoBandWithoutAProperFitAndCovariance)
{
    const struct {
        const char* name;
        const char* program;
        const char* reason;    // the listing's line
    } cases[] = {
        {"iteration limit",
         "VARIABLES x, y;\nPARAMETERS a = 1, k = 0.01;\nFUNCTION y = a * exp(-k * x);\nITERATIONS 2;\n"
         "PLOT CBAND;\nDATA;\n0 10\n1 7.4\n2 5.5\n3 4.1\n4 3\n",
         "No bands are drawn: the fit did not converge properly."},
        {"redundant rates",
         "VARIABLES t, y;\nPARAMETERS a = 5, k1 = 0.1, k2 = 0.1, b = 0;\nFUNCTION y = a * exp(-(k1 + k2) * t) + b;\n"
         "PLOT PBAND;\nDATA;\n0 6.1\n1 4.2\n2 3.1\n3 2.2\n4 1.8\n5 1.4\n6 1.3\n7 1.1\n",
         "No bands are drawn: the parameters are mutually dependent (singular convergence)."},
        {"constrained",
         "VARIABLES x, y;\nPARAMETERS a = 1, k = 0.1;\nFUNCTION y = a * exp(-k * x);\nCONSTRAIN k = 0, 0.2;\n"
         "PLOT SBAND;\nDATA;\n0 10\n1 7.4\n2 5.5\n3 4.1\n4 3\n",
         "No bands are drawn: there is no covariance matrix."},
        {"n = p",
         "VARIABLES x, y;\nPARAMETERS a = 1, k = 0.5;\nFUNCTION y = a * exp(-k * x);\nPLOT CBAND;\nDATA;\n0 10\n1 7.4\n",
         "No bands are drawn: there are not more observations than parameters."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MoxelRun run = runMoxel(c.program, "prog", "", {"-plots"});
        EXPECT_NE(run.listing.find(c.reason), std::string::npos) << run.listing;
        EXPECT_EQ(run.listing.find("Bands at"), std::string::npos);
        std::string header;
        const auto rows = readTable(readTextFile(run.folder + "/prog_plot1.csv"), &header);
        ASSERT_EQ(rows.size(), 200u);
        for (const auto& r : rows) {
            ASSERT_EQ(r.size(), 9u);
            for (int k = 2; k < 9; ++k)
                EXPECT_TRUE(std::isnan(r[k]));
        }
    }
}

// Where the model cannot be computed the table has a gap (empty fields), never a zero;
// where the curve is pinned (Michaelis-Menten at 0) se_fit is exactly 0 and the limits
// equal the fit, and that is kept.
TEST(BandTable, GapsStayEmptyAndAPinnedCurveHasZeroWidth)
{
    const MoxelRun run = runMoxel(
        "VARIABLES s, v;\nPARAMETERS Vm = 200, K = 0.1;\n"
        "FUNCTION v = Vm * s / (K + s) + 0 * sqrt(0.9 - s);\nCONFIDENCE 95;\n"
        "PLOT CBAND PBAND DOMAIN = 0, 1;\nDATA;\n0.02 76\n0.06 97\n0.11 123\n0.22 159\n0.56 191\n0.8 207\n",
        "prog", "", {"-plots"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::string header;
    const auto rows = readTable(readTextFile(run.folder + "/prog_plot1.csv"), &header);
    ASSERT_EQ(rows.size(), 200u);
    EXPECT_EQ(rows[0][0], 0.0);
    EXPECT_EQ(rows[0][1], 0.0);
    EXPECT_EQ(rows[0][2], 0.0);
    EXPECT_EQ(rows[0][3], 0.0);
    EXPECT_EQ(rows[0][4], 0.0);
    EXPECT_GT(rows[0][6], 0.0) << "a new observation still varies where the curve is pinned";
    int gaps = 0;
    for (const auto& r : rows) {
        if (r[0] > 0.9) {
            ++gaps;
            for (int k = 1; k < 9; ++k)
                EXPECT_TRUE(std::isnan(r[k])) << r[0];
        } else {
            EXPECT_TRUE(std::isfinite(r[8])) << r[0];
        }
    }
    EXPECT_GT(gaps, 10);
}

// The band words are options only in a plot statement: elsewhere they are free names, and
// a program without them lists no band line.
TEST(BandOptions, AreNamesOutsideAPlotStatement)
{
    const MoxelRun run = runMoxel("VARIABLES cband, pband;\nPARAMETERS sband = 1;\nFUNCTION pband = sband * cband;\n"
                                  "PLOT;\nDATA;\n1 2\n2 4.1\n3 5.9\n");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.listing.find("sband"), std::string::npos);
    EXPECT_EQ(run.listing.find("Bands"), std::string::npos);
    EXPECT_EQ(run.listing.find("No bands"), std::string::npos);
}

}  // namespace

namespace {

// A band belongs to a function plot; on any other plot the statement is an error that
// names the option.
TEST(BandOptions, OnlyAFunctionPlotTakesThem)
{
    const struct {
        const char* statement;
        const char* message;
    } cases[] = {
        {"RPLOT CBAND;", "Error: CBAND applies to a function plot (PLOT) only"},
        {"NPLOT GRID, sband;", "Error: sband applies to a function plot (PLOT) only"},
        {"SPLOT XVAR = x, YVAR = y, PBAND;", "Error: PBAND applies to a function plot (PLOT) only"},
    };
    // A PLOT of a model without an input variable to draw against becomes a scatter plot:
    // the listing says that its bands are not drawn.
    const MoxelRun converted = runMoxel("VARIABLES x, y;\nPARAMETERS a = 1;\nDOUBLE z;\nz = 2 * x;\n"
                                        "FUNCTION y = a * z;\nPLOT CBAND;\nDATA;\n1 2\n2 4\n3 6.1\n");
    EXPECT_EQ(converted.status, 0) << converted.out;
    EXPECT_NE(converted.listing.find("Plot 1 has no bands: it does not show the fitted curve."), std::string::npos)
        << converted.listing;
    EXPECT_EQ(converted.listing.find("Bands at"), std::string::npos);
    for (const auto& c : cases) {
        const MoxelRun run = runMoxel(std::string("VARIABLES x, y;\nPARAMETERS a = 1;\nFUNCTION y = a * x;\n") +
                                      c.statement + "\nDATA;\n1 2\n2 4\n3 6.1\n");
        EXPECT_NE(run.status, 0) << c.statement;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
    }
}

// With weights the prediction band needs the weight of a new observation: a weight that
// depends only on x is evaluated there (the reference case above); one that reads another
// column cannot be, and the listing says which variance was taken instead.
TEST(BandTable, AWeightFromAnotherColumnIsNamedAsAnAssumption)
{
    const MoxelRun run = runMoxel(
        "VARIABLES t, y, sd;\nPARAMETERS a = 5, k = 0.1, c = 0;\nFUNCTION y = a * exp(-k * t) + c;\n"
        "WEIGHT 1 / sd^2;\nCONFIDENCE 95;\nPLOT PBAND;\nDATA \"" + sourceDir() + "/tests/data/weights/decay.dat\";\n",
        "prog", "", {"-plots"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.listing.find("Prediction band: the weight cannot be evaluated at a new x; a new observation is "
                               "given the mean variance of the observations."),
              std::string::npos)
        << run.listing;
    std::string header;
    const auto rows = readTable(readTextFile(run.folder + "/prog_plot1.csv"), &header);
    ASSERT_EQ(rows.size(), 200u);
    for (const auto& r : rows)
        EXPECT_GT(r[6] - r[1], r[4] - r[1]) << "the prediction band is the wider";
}

}  // namespace

namespace {

// The writer itself: 17 significant digits that read back to the same doubles, empty
// fields for what is not there, the limits fit -/+ half-width; a folder that does not
// exist is refused with a message and leaves nothing behind.
TEST(BandTableFile, WritesEveryColumnAndRefusesAMissingFolder)
{
    double x[2] = {0.1, 1.0 / 3.0};
    double fit[2] = {2.0 / 3.0, NAN};
    double se[2] = {0.0, NAN};
    double variance[2] = {0.25, NAN};
    BandTable table = {};
    table.count = 2;
    table.x = x;
    table.fit = fit;
    table.seFit = se;
    table.newVariance = variance;
    table.summary.t = 2.0;
    table.summary.simultaneous = 3.0;
    const std::string folder = testTempDir();
    std::string message;
    ASSERT_TRUE(bandsWriteTable(table, folder + "/t.csv", &message)) << message;
    const std::vector<std::string> lines = splitLines(readTextFile(folder + "/t.csv"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], HEADER);
    // se_fit 0: the confidence limits equal the fit; prediction 2 * sqrt(0.25) = 1 away.
    EXPECT_EQ(lines[1], "0.10000000000000001,0.66666666666666663,0,0.66666666666666663,0.66666666666666663,"
                        "-0.33333333333333337,1.6666666666666665,0.66666666666666663,0.66666666666666663");
    EXPECT_EQ(lines[2], "0.33333333333333331,,,,,,,,");
    double back = 0;
    const std::string first = lines[2].substr(0, lines[2].find(','));
    std::from_chars(first.data(), first.data() + first.size(), back);
    EXPECT_EQ(back, 1.0 / 3.0);

    EXPECT_FALSE(bandsWriteTable(table, folder + "/missing/t.csv", &message));
    EXPECT_NE(message.find("Cannot open band table file: " + folder + "/missing/t.csv"), std::string::npos) << message;
    EXPECT_TRUE(readTextFile(folder + "/missing/t.csv").empty());
}

}  // namespace
