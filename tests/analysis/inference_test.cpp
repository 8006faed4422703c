// Inference beyond the parameter table, end to end: the information criteria and the
// comparison of models against R's nls (logLik, AIC, BIC, anova), kept as data in
// tests/data/inference with the script that made them, and the exit status and notes of
// fits that are doubtful.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/profile.h"
#include "exec/specfun.h"
#include "testutil.h"

namespace {

const std::string DATA_DIR = sourceDir() + "/tests/data/inference/";
const std::string WEIGHTS_DIR = sourceDir() + "/tests/data/weights/";

std::map<std::string, std::vector<double>> loadReference()
{
    return loadReferenceTable(DATA_DIR + "reference.txt");
}

// A folder holding the programs of tests/data/inference and the data they read.
std::string caseFolder()
{
    const std::string folder = testTempDir();
    for (const char* data : {"puromycin.dat", "dnase1.dat"})
        writeTextFile(folder + "/" + data, readTextFile(WEIGHTS_DIR + data));
    for (const char* program : {"puromycin_plain", "puromycin_relative", "puromycin_hill", "dnase_plain",
                                "dnase_relative", "dnase_four"})
        writeTextFile(folder + "/" + program + ".mxl", readTextFile(DATA_DIR + program + ".mxl"));
    return folder;
}

// build/moxel with these arguments in folder; the settings stay inside it.
MoxelRun runArgs(const std::string& folder, const std::vector<std::string>& args)
{
    MoxelRun run;
    run.folder = folder;
    std::string command = "cd '" + folder + "' && XDG_CONFIG_HOME='" + folder + "/config' '" MOXEL_BINARY "'";
    for (const std::string& arg : args)
        command += " '" + arg + "'";
    command += " >stdout.txt 2>stderr.txt </dev/null";
    const int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = readTextFile(folder + "/stdout.txt");
    run.err = readTextFile(folder + "/stderr.txt");
    return run;
}

// The number after "label = " in text.
double valueAfter(const std::string& text, const std::string& label)
{
    const size_t at = text.find(label + " = ");
    EXPECT_NE(at, std::string::npos) << label << " in\n" << text;
    return at == std::string::npos ? NAN : std::strtod(text.c_str() + at + label.size() + 3, nullptr);
}

void expectDigits(double value, double reference, int digits, const std::string& what)
{
    EXPECT_LE(std::fabs(value - reference), std::pow(10.0, -digits) * std::fabs(reference))
        << what << ": " << value << " against R's " << reference;
}

// The AICc R does not print, from its AIC: AIC + 2k(k + 1) / (n - k - 1).
double aiccOf(double aic, int n, int k)
{
    return aic + 2.0 * k * (k + 1.0) / (n - k - 1.0);
}

TEST(InformationCriteria, MatchRUnweightedAndWeighted)
{
    const auto reference = loadReference();
    const struct {
        const char* name;
        int n;
        int k;
    } cases[] = {
        {"puromycin_plain", 12, 3}, {"puromycin_relative", 12, 3}, {"puromycin_hill", 12, 4},
        {"dnase_plain", 16, 4},     {"dnase_relative", 16, 4},     {"dnase_four", 16, 5},
    };
    const std::string folder = caseFolder();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MoxelRun run = runArgs(folder, {"-run", std::string(c.name) + ".mxl"});
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        const std::vector<double>& r = reference.at(std::string(c.name) + " criteria");
        const std::string listing = readTextFile(folder + "/" + c.name + ".lst");
        expectDigits(valueAfter(listing, "Log-likelihood"), r[0], 8, "log-likelihood");
        expectDigits(valueAfter(listing, "AIC"), r[1], 8, "AIC");
        expectDigits(valueAfter(listing, "BIC"), r[2], 8, "BIC");
        expectDigits(valueAfter(listing, "AICc"), aiccOf(r[1], c.n, c.k), 8, "AICc");
        EXPECT_NE(listing.find("(normal errors, k = " + std::to_string(c.k) + ")\n"), std::string::npos);
    }
}

TEST(InformationCriteria, OnlyWhereTheyAreDefined)
{
    // AICc needs n - k - 1 > 0; minimisation has no residuals.
    const MoxelRun fewer = runMoxel("VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a + b * x;\n"
                                    "DATA;\n1 3.1\n2 4.9\n3 7.2\n4 8.8\n");
    EXPECT_NE(fewer.listing.find("AICc = n/a (n - k - 1 = 0)"), std::string::npos) << fewer.listing;
    const MoxelRun minimum = runMoxel("PARAMETERS a = 1;\nFUNCTION (a - 2)^2 + 1;\n");
    ASSERT_NE(minimum.listing.find("Final function value"), std::string::npos) << minimum.out;
    EXPECT_EQ(minimum.listing.find("AIC"), std::string::npos);
}

// The F test and Prob(F) of each nested pair against R's anova, the Akaike weights
// against R's AIC values.
TEST(ModelComparison, MatchesRAnovaAndAkaikeWeights)
{
    const auto reference = loadReference();
    const std::string folder = caseFolder();
    const struct {
        const char* small;
        const char* large;
    } pairs[] = {{"puromycin_plain", "puromycin_hill"}, {"dnase_plain", "dnase_four"}};
    for (const auto& pair : pairs) {
        SCOPED_TRACE(pair.small);
        const MoxelRun run = runArgs(folder, {"-compare", std::string(pair.small) + ".mxl",
                                              std::string(pair.large) + ".mxl"});
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        const std::vector<double>& anova = reference.at(std::string(pair.small) + "+" + pair.large + " anova");
        expectDigits(valueAfter(run.out, "F"), anova[1], 6, "F");
        expectDigits(valueAfter(run.out, "Prob(F)"), anova[2], 6, "Prob(F)");
        EXPECT_NE(run.out.find("with 1 and "), std::string::npos) << run.out;
        // Each program still gets its own listing file.
        EXPECT_NE(readTextFile(folder + "/" + pair.large + ".lst").find("Final Results"), std::string::npos);

        const double aicSmall = reference.at(std::string(pair.small) + " criteria")[1];
        const double aicLarge = reference.at(std::string(pair.large) + " criteria")[1];
        const double best = std::fmin(aicSmall, aicLarge);
        const double wSmall = std::exp(-0.5 * (aicSmall - best));
        const double wLarge = std::exp(-0.5 * (aicLarge - best));
        const std::vector<std::string> lines = splitLines(run.out);
        std::vector<double> printed;
        for (const std::string& line : lines)
            if (line.rfind(pair.small, 0) == 0 || line.rfind(pair.large, 0) == 0)
                if (line.find("against") == std::string::npos)
                    printed.push_back(std::strtod(splitWords(line).back().c_str(), nullptr));
        ASSERT_EQ(printed.size(), 2u) << run.out;
        EXPECT_NEAR(printed[0], wSmall / (wSmall + wLarge), 1e-4);
        EXPECT_NEAR(printed[1], wLarge / (wSmall + wLarge), 1e-4);
    }
}

TEST(ModelComparison, RefusesOtherObservationsAndBadCommandLines)
{
    const std::string folder = caseFolder();
    std::string changed = readTextFile(WEIGHTS_DIR + "puromycin.dat");
    changed.replace(changed.find("0.06   97"), 9, "0.06   98");
    writeTextFile(folder + "/changed.dat", changed);
    std::string program = readTextFile(DATA_DIR + "puromycin_hill.mxl");
    program.replace(program.find("puromycin.dat"), 13, "changed.dat");
    writeTextFile(folder + "/changed.mxl", program);
    const struct {
        std::vector<std::string> args;
        int status;
        const char* err;
    } cases[] = {
        {{"-compare", "puromycin_plain.mxl", "dnase_plain.mxl"},
         1,
         "The models cannot be compared: they were not fitted to the same observations (dnase_plain.mxl has 16 "
         "observations, puromycin_plain.mxl has 12).\n"},
        {{"-compare", "puromycin_plain.mxl", "changed.mxl"},
         1,
         "The models cannot be compared: they were not fitted to the same observations (observation 3 differs: 97 "
         "in puromycin_plain.mxl, 98 in changed.mxl).\n"},
        {{"-compare", "puromycin_plain.mxl", "missing.mxl"}, 1, "Unable to open program file: missing.mxl"},
        {{"-compare", "puromycin_plain.mxl"}, 2, "-compare needs two or more program files"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        const MoxelRun run = runArgs(folder, c.args);
        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        EXPECT_EQ(run.err.rfind(c.err, 0), 0u) << run.err;
        EXPECT_EQ(run.out.find("Model Comparison"), std::string::npos);
    }
}

// The manual's worked comparison: the table and the F test it quotes are what
// -compare prints for the two example programs.
TEST(ModelComparison, TheManualExampleIsWhatTheProgramPrints)
{
    const std::string folder = testTempDir();
    for (const char* file : {"michaelis.mxl", "hill.mxl", "michaelis.dat"})
        writeTextFile(folder + "/" + file, readTextFile(sourceDir() + "/examples/" + file));
    const MoxelRun run = runArgs(folder, {"-compare", "michaelis.mxl", "hill.mxl"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::string manual = readTextFile(sourceDir() + "/docs/Manual.txt");
    int quoted = 0;
    for (const std::string& line : splitLines(run.out)) {
        if (line.find("mxl") == std::string::npos)
            continue;
        EXPECT_NE(manual.find("\n    " + line + "\n"), std::string::npos) << line;
        ++quoted;
    }
    EXPECT_EQ(quoted, 3);
}

// A program of tests/data/inference with PROFILE and other statements added after its
// CONFIDENCE line, into folder.
void writeWithStatements(const std::string& folder, const std::string& name, const std::string& statements)
{
    std::string program = readTextFile(DATA_DIR + name + ".mxl");
    const size_t at = program.find("CONFIDENCE 95;\n") + 15;
    program.insert(at, statements);
    writeTextFile(folder + "/" + name + ".mxl", program);
}

TEST(ProfileIntervals, MatchRConfint)
{
    const auto reference = loadReference();
    const struct {
        const char* name;
        int p;
    } cases[] = {{"puromycin_plain", 2}, {"dnase_plain", 3}};
    const std::string folder = caseFolder();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeWithStatements(folder, c.name, "PROFILE;\n");
        const MoxelRun run = runArgs(folder, {"-run", std::string(c.name) + ".mxl"});
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        const std::vector<std::string> lines = splitLines(readTextFile(folder + "/" + c.name + ".lst"));
        size_t k = 0;
        while (k < lines.size() && lines[k].find("95.000% Profile Confidence Intervals") == std::string::npos)
            ++k;
        ASSERT_LT(k + 4 + c.p, lines.size() + 1) << run.out;
        const std::vector<double>& lower = reference.at(std::string(c.name) + " profile_lower");
        const std::vector<double>& upper = reference.at(std::string(c.name) + " profile_upper");
        for (int j = 0; j < c.p; ++j) {
            const std::vector<std::string> w = splitWords(lines[k + 4 + j]);
            ASSERT_EQ(w.size(), 4u) << lines[k + 4 + j];
            // R interpolates its profile by a spline: 4 significant digits are what it holds.
            expectDigits(std::strtod(w[1].c_str(), nullptr), lower[j], 4, "lower " + w[0]);
            expectDigits(std::strtod(w[3].c_str(), nullptr), upper[j], 4, "upper " + w[0]);
        }
    }
}

TEST(ProfileIntervals, ASideEndingAtABoundIsNotBounded)
{
    const std::string folder = caseFolder();
    writeWithStatements(folder, "puromycin_plain", "PROFILE;\nCONSTRAIN K = 0.06, 1;\nDOUBLE profile;\nprofile = 1;\n");
    const MoxelRun run = runArgs(folder, {"-run", "puromycin_plain.mxl"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::string listing = readTextFile(folder + "/puromycin_plain.lst");
    const size_t at = listing.find("Profile Confidence Intervals");
    ASSERT_NE(at, std::string::npos) << listing;
    const std::vector<std::string> k = splitWords(listing.substr(listing.find("\n         K ", at), 80));
    ASSERT_GE(k.size(), 5u);
    EXPECT_EQ(k[1] + " " + k[2], "not bounded");
    EXPECT_NEAR(std::strtod(k[4].c_str(), nullptr), 0.08616, 1e-4);
}

// Where the model is linear, S is exactly quadratic in each parameter and the profile
// limits are the Wald limits: the search alone is tested, against the closed form.
struct Line {
    std::vector<double> x, y;
};

bool lineHeld(int j, double value, double* b, double* ss, void* context)
{
    const Line& d = *static_cast<const Line*>(context);
    const size_t n = d.x.size();
    double sxx = 0, sxr = 0, sr = 0;
    for (size_t i = 0; i < n; ++i) {
        sxx += d.x[i] * d.x[i];
        sxr += d.x[i] * (d.y[i] - value);
        sr += d.y[i] - value * d.x[i];
    }
    b[j] = value;
    b[1 - j] = j == 0 ? sxr / sxx : sr / n;
    *ss = 0;
    for (size_t i = 0; i < n; ++i) {
        const double r = d.y[i] - b[0] - b[1] * d.x[i];
        *ss += r * r;
    }
    return true;
}

TEST(ProfileSearch, LinearModelGivesTheWaldLimits)
{
    Line d = {{1, 2, 3, 4, 5, 6}, {2.1, 3.9, 6.2, 7.8, 10.1, 11.7}};
    const double n = 6, sx = 21, sxx = 91;
    double sy = 0, sxy = 0;
    for (int i = 0; i < 6; ++i) {
        sy += d.y[i];
        sxy += d.x[i] * d.y[i];
    }
    const double det = n * sxx - sx * sx;
    const double b = (n * sxy - sx * sy) / det;
    const double a = (sy - b * sx) / n;
    double ss = 0;
    for (int i = 0; i < 6; ++i)
        ss += (d.y[i] - a - b * d.x[i]) * (d.y[i] - a - b * d.x[i]);
    const double s2 = ss / 4;
    const double estimate[2] = {a, b};
    const double se[2] = {std::sqrt(s2 * sxx / det), std::sqrt(s2 * n / det)};
    const double none[2] = {0, 0};   // no standard error known: the search steps by the size
    const double low[2] = {-HUGE_VAL, -HUGE_VAL};
    const double high[2] = {HUGE_VAL, HUGE_VAL};
    const double t975 = inverseStudentT(0.975, 4);   // as the search takes it
    for (const double* step : {se, none}) {
        const ProfileProblem problem = {6, 2, estimate, step, low, high, ss, 0.95, lineHeld, &d, nullptr};
        double work[2];
        ProfileLimits limits[2];
        ASSERT_TRUE(profileCompute(problem, work, limits));
        for (int j = 0; j < 2; ++j) {
            ASSERT_TRUE(limits[j].lowerFound && limits[j].upperFound);
            EXPECT_NEAR(limits[j].lower, estimate[j] - t975 * se[j], 1e-9 * se[j]);
            EXPECT_NEAR(limits[j].upper, estimate[j] + t975 * se[j], 1e-9 * se[j]);
        }
    }
    // No residual degrees of freedom, or no scatter: no level, no table.
    double work[2];
    ProfileLimits limits[2];
    EXPECT_FALSE(profileCompute({2, 2, estimate, se, low, high, ss, 0.95, lineHeld, &d, nullptr}, work, limits));
    EXPECT_FALSE(profileCompute({6, 2, estimate, se, low, high, 0.0, 0.95, lineHeld, &d, nullptr}, work, limits));
}

// The standard-error column of the parameter table, by parameter name.
std::map<std::string, double> standardErrors(const std::string& listing)
{
    std::map<std::string, double> se;
    const std::vector<std::string> lines = splitLines(listing);
    size_t k = 0;
    while (k < lines.size() && lines[k].find("Calculated Parameter Values") == std::string::npos)
        ++k;
    for (k += 3; k < lines.size() && lines[k].find("----") == std::string::npos; ++k) {
        const std::vector<std::string> w = splitWords(lines[k]);
        if (w.size() == 6)
            se[w[0]] = std::strtod(w[3].c_str(), nullptr);
    }
    return se;
}

TEST(BoundedFit, NoBoundActiveGivesTheUnboundedStatistics)
{
    const std::string folder = caseFolder();
    const MoxelRun free = runArgs(folder, {"-run", "puromycin_plain.mxl"});
    ASSERT_EQ(free.status, 0) << free.out;
    const std::map<std::string, double> unbounded = standardErrors(free.out);
    writeWithStatements(folder, "puromycin_plain", "CONSTRAIN K = 0.01, 1;\nCONSTRAIN Vm = 0, 1000;\n"
                                                   "DERIVED half = K / 2;\n");
    const MoxelRun run = runArgs(folder, {"-run", "puromycin_plain.mxl"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("No bound is active at the solution: the statistics are those of the fit without "
                           "bounds.\n"),
              std::string::npos)
        << run.out;
    const std::map<std::string, double> bounded = standardErrors(run.out);
    ASSERT_EQ(bounded.size(), 2u) << run.out;
    for (const auto& [name, se] : unbounded)
        expectDigits(bounded.at(name), se, 6, "standard error of " + name);
    EXPECT_NE(run.out.find("Derived Quantities (95.000% limits)"), std::string::npos);
    EXPECT_NE(run.out.find("95.000% Confidence Intervals"), std::string::npos);
    EXPECT_EQ(run.out.find("constraints were specified"), std::string::npos);
}

TEST(DoubtfulFit, WorseThanTheMeanExitsThree)
{
    // From Vm = 1, K = 1 the rates converge to K < 0, a pole among the concentrations.
    const MoxelRun run = runMoxel("VARIABLES conc, rate;\nPARAMETERS Vm = 1, K = 1;\n"
                                  "FUNCTION rate = Vm * conc / (K + conc);\nDATA \"" +
                                  WEIGHTS_DIR + "puromycin.dat\";\n");
    EXPECT_NE(run.listing.find("The model fits worse than a horizontal line at the mean"), std::string::npos)
        << run.listing;
    EXPECT_EQ(run.status, 3);
}

TEST(ParameterNotUsed, NotedInTheListing)
{
    const MoxelRun run = runMoxel("VARIABLES x, y;\nPARAMETERS a = 1, b = 1, c = 5;\nFUNCTION y = a + b * x;\n"
                                  "DATA;\n1 3.1\n2 4.9\n3 7.2\n4 8.8\n5 11.1\n");
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.listing.find("Note: Parameter c is never used and was left out\n"), std::string::npos)
        << run.listing;
    EXPECT_NE(run.out.find("Note: Parameter c is never used and was left out\n"), std::string::npos);
}

}  // namespace
