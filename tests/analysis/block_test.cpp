// Block evaluation against the per-observation path, and Jacobian columns on two threads
// against one: the same residuals, messages and solves to the last bit.
#include <gtest/gtest.h>

#include <atomic>

#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "analysis/driver.h"
#include "analysis/helper.h"
#include "solver/solver.h"
#include "exec/block.h"
#include "exec/interpreter.h"
#include "lang/compiler.h"
#include "lang/data.h"
#include "lang/linesource.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "support/listing.h"
#include "testutil.h"

namespace {

// rows observations (x = 1 .. rows, y = a smooth curve); 700: more than two blocks and a
// partial one.
std::string dataLines(int rows = 700)
{
    std::string text = "DATA;\n";
    for (int i = 1; i <= rows; ++i)
        text += std::to_string(i) + " " + std::to_string(0.5 + std::sin(i * 0.01)) + "\n";
    return text;
}

std::vector<std::string> screenLines()
{
    std::vector<std::string> out;
    for (ListingLine* line = listingHead(); line; line = line->next)
        out.push_back(line->text);
    return out;
}

struct Residuals {
    std::vector<double> r;      // the residual vector
    int nf;                     // the routine's verdict
    std::vector<std::string> screen;    // messages written
};

class BlockPath : public ::testing::Test {
protected:
    void TearDown() override
    {
        runFrameRelease(&frame);
        driverRelease();
        compilerReleaseAll();
        settingsReset();
        listingClear();
    }

    bool compile(const std::string& program)
    {
        runFrameRelease(&frame);
        blockRelease();
        compilerReleaseAll();
        settingsReset();
        listingClear();
        text = program;
        LineSource source = lineSourceFromText(lines, text.data(), text.size());
        return compileProgram(&source) != nullptr;
    }

    // Residuals at the parameters' initial values, by the block path when block is set.
    Residuals residuals(bool block)
    {
        if (block)
            blockPrepare(runProgram());
        else
            blockRelease();
        listingClear();
        Residuals out;
        out.r.assign((size_t)observationCount, NAN);
        out.nf = 1;
        std::vector<double> x;
        for (int j = 0; j < parameterCount; ++j)
            x.push_back(parameters[j]->initialValue);
        driverResiduals(&frame, observationCount, parameterCount, x.data(), &out.nf, out.r.data());
        out.screen = screenLines();
        return out;
    }

    TextLines lines;
    std::string text;
    RunFrame frame{};
};

// Bit for bit, NaN included (the part of a vector that a failure left unwritten).
bool sameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

struct BlockCase {
    const char* name;
    const char* body;       // statements between the declarations and the data
    bool block;             // the program has a block form
};

const BlockCase blockCases[] = {
    {"arithmetic", "FUNCTION y = a*x + b - x/c + (x - b)*(x + a)/7;", true},
    {"negation", "FUNCTION y = -a*x + -(b*c);", true},
    {"comparisons and logic",
     "FUNCTION y = a*(x < 300) + b*(x <= 2) + c*(x > 650) + (x >= 10)*(x == 20) + (x != 5)"
     " + ((x > 100) && (x < 200)) + ((x < 3) || (x > 690)) + !(x - 7);", true},
    {"conditional", "FUNCTION y = x > 350 ? a*x : b/x;", true},
    {"powers", "FUNCTION y = a*(x/700)**2 + b*(x/700)^3 + c*(x/700)**7 + (x/700)**0 + (x/700)**b"
               " + (x/700)**20 + (x/700)**21 + (x/350 - 1)**4;", true},
    {"modulo", "FUNCTION y = a*mod(x, 7) + b*(x % 5) + c;", true},
    {"work variables", "t = a*x; u = t/(b + x); FUNCTION y = u + t*c; u = 5;", true},
    {"exponentials and trigonometry",
     "FUNCTION y = a*exp(-b*x/100) + c*sin(x/50) + cos(a*x) + tan(x/1000) + sqrt(x) + abs(b - x);", true},
    {"logarithms and hyperbolic", "FUNCTION y = a*ln(x) + b*log10(x) + c*log2(x) + cosh(x/700) + tanh(x - 300);", true},
    {"special functions", "FUNCTION y = a*gammaln(x) + erf(x/700) + j0(x) + normal(x/100) + max(x, 300)"
                          " + min(b, x) + step(x, 200) + pulse(100, x, 200) + sel(x, 350, a, c) + y0(x) + eic1(x/800);", true},
    {"constant folding and constants", "CONSTANT k = 4; FUNCTION y = a*x + 2*3 + PI + b*k + c;", true},
    {"degrees", "ANGLETYPE DEGREES; FUNCTION y = a*sin(x) + b*cos(x) + c*sind(x);", true},
    {"no dependent variable", "FUNCTION a*x + b + c;", true},
    // not observation-independent: the per-observation path
    {"accumulating work variable", "s = s + x; FUNCTION y = a*s/1000;", false},
    {"work variable read before written", "FUNCTION y = a*t + b; t = x;", false},
    {"observation counter", "FUNCTION y = a*Obs + b;", false},
    {"array never written", "DOUBLE v[3] = {1, 2, 3}; FUNCTION y = a*v[1]*x + b + v[2];", true},
    {"table never written", "DOUBLE m[2, 3] = {1, 2, 3, 4, 5, 6}; FUNCTION y = a*m[1, 0]*x + b*m[0, 2] + m[1, 2];", true},
    {"array elements written first", "DOUBLE v[2, 2]; v[0, 1] = a*x; v[1, 1] = exp(-x/(700*b)); FUNCTION y = v[0, 1] + v[1, 1];", true},
    {"array element read before written", "DOUBLE v[3]; FUNCTION y = a*v[1]*x + b; v[1] = x;", false},
    {"array with a variable subscript", "DOUBLE v[3] = {1, 2, 3}; t = 1; FUNCTION y = a*v[t]*x + b;", false},
    {"if else", "if (x > 300) t = a*x; else t = b*x; FUNCTION y = t;", true},
    {"if without else", "t = b*x; if (x > 300) { t = a*x; u = exp(-c*x/700); } FUNCTION y = t;", true},
    {"nested if", "t = x; if (x > 200) { if (x < 500) t = a*sin(x/b/700); else t = ln(x); } else u = 1; FUNCTION y = t;", true},
    {"if with a domain error in the branch not taken", "t = 0; if (x > 350) t = ln(x - 350); FUNCTION y = a*x + t;", true},
    {"variable set in one branch only, read after", "if (x > 300) u = a*x; FUNCTION y = u;", false},
    {"function in a branch", "if (x > 300) FUNCTION y = a*x; else FUNCTION y = b*x;", false},
    {"while loop", "t = 0; while (t < 3) t = t + 1; FUNCTION y = a*x*t;", false},
    {"increment", "t = x; t++; FUNCTION y = a*t;", false},
    {"compound assignment", "t = x; t *= a; FUNCTION y = t;", false},
    {"random", "FUNCTION y = a*x + 0*RANDOM();", false},
    {"return", "FUNCTION y = b*x + c; RETURN(a*x, y);", false},
    {"assignment inside an expression", "t = b, c*x; FUNCTION y = -a*x + t;", false},
    {"reads Predicted", "FUNCTION y = a*x; t = Predicted;", false},
};

TEST_F(BlockPath, SameResidualsAsPerObservationOnEveryProgram)
{
    for (const BlockCase& c : blockCases) {
        std::string program = std::string("VARIABLES x, y;\nPARAMETERS a = 1.5, b = 0.25, c = 3;\nDOUBLE s, t, u;\n") +
                              c.body + "\n" + dataLines();
        ASSERT_TRUE(compile(program)) << c.name << testing::PrintToString(screenLines());
        EXPECT_EQ(blockPrepare(runProgram()), c.block) << c.name;
        const Residuals reference = residuals(false);
        const Residuals block = residuals(true);
        EXPECT_EQ(reference.nf, 1) << c.name << testing::PrintToString(reference.screen);
        EXPECT_TRUE(sameBits(reference.r, block.r)) << c.name;
        EXPECT_EQ(reference.screen, block.screen) << c.name;
    }
}

// A run of evaluations as a solve makes them: a point, its Jacobian columns (one
// parameter moved each), a new point, a column whose move meets an error in the middle of
// a block, a column after that failure, and back to the first point. On the analysis frame
// the block path keeps and takes values between them; each must still equal the
// per-observation path at the same point, bit for bit, with the same messages.
TEST_F(BlockPath, KeptValuesGiveTheSameResidualsAcrossASolvesEvaluations)
{
    const double points[][3] = {
        {1.5, 0.25, 3}, {1.5 + 1e-7, 0.25, 3}, {1.5, 0.25 + 1e-7, 3}, {1.5, 0.25, 3 + 1e-7},
        {1.6, 0.3, 2.9}, {1.6, 0.3 + 1e-7, 2.9}, {1.6, 0.3, -2.17}, {1.6 + 1e-7, 0.3, 2.9},
        {1.5, 0.25, 3}, {1.5, 0.25 + 1e-7, 3}, {1.5, 0.25 + 1e-7, 3},
    };
    auto run = [&](RunFrame* target, int k) {
        Residuals out;
        out.r.assign((size_t)observationCount, NAN);
        out.nf = 1;
        listingClear();
        driverResiduals(target, observationCount, parameterCount, points[k], &out.nf, out.r.data());
        out.screen = screenLines();
        return out;
    };
    std::vector<std::string> bodies = {"FUNCTION y = a*sin(b*x/100) + ln(x + 100*c - 300) + b*exp(-x/(100*c));"};
    for (const BlockCase& c : blockCases)
        if (c.block)
            bodies.push_back(c.body);
    for (const std::string& body : bodies) {
        std::string program = std::string("VARIABLES x, y;\nPARAMETERS a = 1.5, b = 0.25, c = 3;\nDOUBLE s, t, u;\n") +
                              body + "\n" + dataLines();
        ASSERT_TRUE(compile(program)) << body;
        blockRelease();
        std::vector<Residuals> reference;
        for (size_t k = 0; k < std::size(points); ++k)
            reference.push_back(run(&frame, (int)k));
        ASSERT_TRUE(blockPrepare(runProgram())) << body;
        for (size_t k = 0; k < std::size(points); ++k) {
            const Residuals block = run(driverFrame(), (int)k);
            EXPECT_EQ(reference[k].nf, block.nf) << body << " point " << k;
            // A failed evaluation's vector is never read; the other half of the blocks may
            // have filled it past the failure.
            if (reference[k].nf != 0) {
                EXPECT_TRUE(sameBits(reference[k].r, block.r)) << body << " point " << k;
            }
            EXPECT_EQ(reference[k].screen, block.screen) << body << " point " << k;
        }
    }
}

TEST_F(BlockPath, RuntimeErrorInTheMiddleOfABlockReportsTheSameObservation)
{
    struct ErrorCase {
        const char* body;
        const char* message;
    };
    const ErrorCase cases[] = {
        {"FUNCTION y = a/(x - 517);", "Error: Attempted division of 1.5 by zero"},
        {"t = x - 300; FUNCTION y = a*sqrt(t);", "Error: Attempt to take square root of negative number: -299"},
        {"FUNCTION y = a*ln(x - 400);", "Error: Attempt to take log of zero or negative: -399"},
        {"FUNCTION y = (x - 517)**b;", "Error: Raising negative value (-516) to power (0.25)"},
        {"FUNCTION y = a*exp(x - 100);", "Error: Argument to exp function is too large (501)"},
        {"FUNCTION y = a*gammaln(x - 517);", "Error: Invalid argument to gammln function: -516"},
    };
    for (const ErrorCase& c : cases) {
        std::string program = std::string("VARIABLES x, y;\nPARAMETERS a = 1.5, b = 0.25;\nDOUBLE t;\n") + c.body +
                              "\n" + dataLines();
        ASSERT_TRUE(compile(program)) << c.body;
        ASSERT_TRUE(blockPrepare(runProgram())) << c.body;
        const Residuals reference = residuals(false);
        const Residuals block = residuals(true);
        EXPECT_EQ(reference.nf, 0) << c.body;
        EXPECT_EQ(block.nf, 0) << c.body;
        ASSERT_EQ(reference.screen.size(), 2u) << c.body << testing::PrintToString(reference.screen);
        EXPECT_EQ(reference.screen[1], c.message);
        EXPECT_EQ(reference.screen, block.screen) << c.body;
        EXPECT_TRUE(sameBits(reference.r, block.r)) << c.body;
    }
}

TEST_F(BlockPath, NonFiniteResidualStopsAtTheSameObservationWithoutAMessage)
{
    ASSERT_TRUE(compile("VARIABLES x, y;\nPARAMETERS a = 1.5;\nFUNCTION y = a*(((x == 517) ? 0 : 1)**(-1));\n" + dataLines()));
    const Residuals reference = residuals(false);
    const Residuals block = residuals(true);
    EXPECT_EQ(reference.nf, 0);
    EXPECT_EQ(block.nf, 0);
    EXPECT_EQ(reference.screen, block.screen);
    EXPECT_EQ(block.r[516], 0.0);
    EXPECT_EQ(block.r[515], reference.r[515]);
}

// From BLOCK_VECTOR_ROWS observations on, exp, sin and cos are the vector maths': the
// residuals stay within a unit or so of the per-observation path's, and a runtime error
// is still reported at its observation with its message.
TEST_F(BlockPath, LongRunsStayWithinAUnitOfThePerObservationPath)
{
    const int rows = BLOCK_VECTOR_ROWS + 700;
    const char* const bodies[] = {
        "FUNCTION y = a*exp(-b*x/1000) + c*sin(x/50) - cos(a*x/3000);",
        "t = exp(-x/(3000*b)); FUNCTION y = a*t*t + sin(c*x)/(1 + t);",
    };
    for (const char* body : bodies) {
        ASSERT_TRUE(compile(std::string("VARIABLES x, y;\nPARAMETERS a = 1.5, b = 0.25, c = 3;\nDOUBLE t;\n") + body +
                            "\n" + dataLines(rows)));
        const Residuals reference = residuals(false);
        const Residuals block = residuals(true);
        ASSERT_EQ(reference.nf, 1) << body;
        ASSERT_EQ(block.nf, 1) << body;
        double worst = 0.0;
        for (int i = 0; i < rows; ++i)
            worst = std::max(worst, std::fabs(block.r[(size_t)i] - reference.r[(size_t)i]));
        EXPECT_LE(worst, 1e-14) << body;
    }
    ASSERT_TRUE(compile("VARIABLES x, y;\nPARAMETERS a = 1.5;\nFUNCTION y = a*cos(x)*exp(x - 10100);\n" + dataLines(rows)));
    const Residuals reference = residuals(false);
    const Residuals block = residuals(true);
    EXPECT_EQ(block.nf, 0);
    ASSERT_EQ(reference.screen.size(), 2u);
    EXPECT_EQ(reference.screen[1], "Error: Argument to exp function is too large (501)");
    EXPECT_EQ(reference.screen, block.screen);
}

// Cancel in the middle of a long sweep of a block program, whose evaluations and Jacobian
// columns run on both cores: the analysis ends aborted, with "Aborting analysis..." at
// most once.
TEST(TwoThreadsCancel, EndsAbortedWithOneMessage)
{
    std::string text = "VARIABLES x, y;\nPARAMETERS a = 1, b = 0.5, c = 1, d = 1;\n"
                       "SWEEP d = 0.5, 500, 0.5;\nFUNCTION y = a*exp(-b*x/5000) + c*sin(d*x/5000);\nDATA;\n";
    for (int i = 1; i <= 20000; ++i)
        text += std::to_string(i) + " " + std::to_string(2.0 * std::exp(-0.3 * i / 5000.0) + std::sin(1.7 * i / 5000.0)) + "\n";
    driverRelease();
    compilerReleaseAll();
    settingsReset();
    listingClear();
    TextLines lines;
    const LineSource source = lineSourceFromText(lines, text.c_str(), text.size());
    ASSERT_TRUE(compileProgram(&source));
    // the results are read only after the end-of-run signal, as the window does
    static std::atomic<bool> ended{false};
    ended.store(false);
    driverSetEndHandler([](int) { ended.store(true); });
    ASSERT_TRUE(driverStart());
    while (progressSweepStep.load() < 3 && !ended.load())
        std::this_thread::yield();
    abortRequested.store(true);
    driverWait();
    driverSetEndHandler(nullptr);
    analysisRunning.store(false);
    abortRequested.store(false);
    EXPECT_EQ(analysis.stopCode, STOP_ABORTED);
    int aborting = 0;
    for (const std::string& line : screenLines())
        aborting += line == "Error: Aborting analysis...";
    EXPECT_LE(aborting, 1);
    driverRelease();
    compilerReleaseAll();
    settingsReset();
    listingClear();
}

// ---- two threads ------------------------------------------------------------------------

// y = b1 (1 - exp(-b2 t)) + b3 t on 5000 points; the routine refuses b2 above a limit, so
// that difference steps are retried.
struct Curve {
    std::vector<double> t, y;
    double refuseAbove = INFINITY;
};

void curveResiduals(int n, int p, const double* x, int* nf, double* r, void* context)
{
    const Curve& c = *static_cast<const Curve*>(context);
    if (x[1] > c.refuseAbove) {
        *nf = 0;
        return;
    }
    for (int i = 0; i < n; ++i)
        r[i] = x[0] * (1.0 - std::exp(-x[1] * c.t[i])) + x[2] * c.t[i] - c.y[i];
}

struct SolveResult {
    std::vector<double> x;
    std::vector<int> iv;
    std::vector<double> v;
};

SolveResult solveCurve(const Curve& curve, bool twoThreads, std::vector<double> start)
{
    const int n = (int)curve.t.size();
    const int p = 3;
    SolveResult out{start, std::vector<int>(solverIntsLength(p)), std::vector<double>(solverRealsLength(n, p))};
    solverDefaults(1, out.iv.data(), (int)out.iv.size(), out.v.data(), (long)out.v.size());
    solverApplySettings(out.iv.data(), out.v.data(), 500, 1e-10, -3);
    SolverCallbacks callbacks{curveResiduals, nullptr, const_cast<Curve*>(&curve)};
    if (twoThreads) {
        callbacks.quietResiduals = curveResiduals;
        callbacks.helperContext = const_cast<Curve*>(&curve);
    }
    // The odd columns go to the analysis's helper thread, which runs for this solve.
    const bool helper = twoThreads && helperStart();
    solverSolve(n, p, out.x.data(), callbacks, out.iv.data(), (int)out.iv.size(), out.v.data(), (long)out.v.size());
    if (helper)
        helperStop();
    return out;
}

TEST(TwoThreads, SolveIsBitIdenticalToTheSerialOne)
{
    Curve curve;
    for (int i = 0; i < 5000; ++i) {
        const double t = i * 0.002;
        curve.t.push_back(t);
        curve.y.push_back(2.0 * (1.0 - std::exp(-1.3 * t)) + 0.4 * t + 0.01 * std::sin(37.0 * i));
    }
    struct Start {
        std::vector<double> x;
        double refuseAbove;
    };
    const Start starts[] = {{{1, 1, 0}, INFINITY}, {{5, 0.2, 1}, INFINITY}, {{1, 1, 0}, 1.35}};
    for (const Start& s : starts) {
        curve.refuseAbove = s.refuseAbove;
        const SolveResult serial = solveCurve(curve, false, s.x);
        const SolveResult parallel = solveCurve(curve, true, s.x);
        EXPECT_EQ(memcmp(serial.x.data(), parallel.x.data(), 3 * sizeof(double)), 0);
        EXPECT_EQ(serial.iv[IV_RETURN_CODE], parallel.iv[IV_RETURN_CODE]);
        EXPECT_EQ(serial.iv[IV_NITER], parallel.iv[IV_NITER]);
        EXPECT_EQ(serial.iv[IV_NFCALL], parallel.iv[IV_NFCALL]);
        EXPECT_EQ(serial.iv[IV_NGCALL], parallel.iv[IV_NGCALL]);
        EXPECT_EQ(memcmp(&serial.v[V_F], &parallel.v[V_F], sizeof(double)), 0);
        EXPECT_EQ(serial.iv[IV_COVARIANCE] > 0, parallel.iv[IV_COVARIANCE] > 0);
    }
}

}  // namespace

// ---- whole runs -------------------------------------------------------------------------

namespace {

// 3000 rows of x, z and y (y a sum of exponentials, a wave and powers with a wiggle).
std::string wideData()
{
    std::string text = "DATA;\n";
    char row[120];
    for (int i = 0; i < 3000; ++i) {
        const double x = 10.0 * i / 3000, z = 2 * std::cos(i * 0.37);
        const double y = 3 * std::exp(-0.5 * x) + 2 * std::exp(-1.5 * (x - 2) * (x - 2)) + 0.8 * std::sin(1.3 * x) +
                         0.2 * x + 0.01 * x * x * x + 0.3 * z + 0.05 * std::sin(12345.678 * i);
        snprintf(row, sizeof row, "%.6f %.6f %.6f\n", x, z, y);
        text += row;
    }
    return text;
}

// The listing from its Final Results on, without the runtime line.
std::string finalResults(const std::string& listing)
{
    std::string out;
    const size_t at = listing.find("----  Final Results  ----");
    for (const std::string& line : splitLines(at == std::string::npos ? "" : listing.substr(at)))
        if (line.find("Runtime = ") == std::string::npos)
            out += line + "\n";
    return out;
}

}  // namespace

// A whole fit by the block path (kept values, both cores) and by the per-observation path
// (reading the observation counter keeps the program off the block path) gives the same
// listing to the last printed digit, iteration counts and stop reason included.
TEST(BlockRuns, WholeFitEqualsThePerObservationFit)
{
    const char* const models[] = {
        "PARAMETERS a = 4, b = 0.2, c = 1.5, d = 1.4;\nFUNCTION y = a*exp(-b*x) + c*sin(d*x);",
        "PARAMETERS a = 2.5, b = 0.4, c = 1.5, d = 1.2, e = 2.2, f = 0.6, g = 1.1, h = 0.1;\n"
        "u = x - e;\nFUNCTION y = a*exp(-b*x) + c*exp(-d*u^2) + f*sin(g*x) + h*x + 0.01*x^3;",
        "PARAMETERS a = 2, b = 0.3, c = 0.5, k = 1.1;\nw = sqrt(x + 1) ** k;\n"
        "FUNCTION y = a*exp(-b*x) + c*z + ln(w + 2) - cos(z/3);",
        "PARAMETERS a = 3, b = 0.5, c = 0.2, e = 4;\nIF (x < e) w = a*exp(-b*x); ELSE w = a*exp(-b*e) + c*(x - e);\n"
        "FUNCTION y = w + 0.3*z;",
    };
    for (const char* model : models) {
        const std::string head = "VARIABLES x, z, y;\nDOUBLE u, w, o;\n";
        const std::string body = std::string(model) + "\n";
        const MoxelRun block = runMoxel(head + body + wideData(), "block");
        std::string reference = head + body;
        reference.insert(reference.find("FUNCTION"), "o = Obs;\n");
        const MoxelRun serial = runMoxel(reference + wideData(), "serial");
        ASSERT_NE(finalResults(block.listing), "") << model << block.out << block.err;
        EXPECT_EQ(finalResults(block.listing), finalResults(serial.listing)) << model;
    }
}
