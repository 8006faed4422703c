// Built-in function library: values in both angle modes against independent reference
// values (Python's math module and SciPy), the domain messages at run time, PRINTF,
// RETURN, RANDOM, and the compile-time evaluation with its own checks and words.
#include <cmath>
#include <string>

#include "exec_fixture.h"
#include "testutil.h"

namespace {

// Tolerance classes: library functions agree to rounding; the special functions to
// the accuracy of their methods.
constexpr double EPS_EXACT = 1e-15;
constexpr double EPS_LIBRARY = 1e-13;
constexpr double EPS_SPECIAL = 1e-6;

class Builtins : public ExecFixture {
protected:
    double run(int code, std::initializer_list<double> args)
    {
        return operatorsEvaluate(callValues(code, args));
    }
    // Result and message of one failing call; the call must yield 0.0.
    std::string failure(int code, std::initializer_list<double> args)
    {
        runFailed = false;
        listingClear();
        double v = run(code, args);
        EXPECT_EQ(v, 0.0);
        EXPECT_TRUE(runFailed);
        std::string text = screenText();
        runFailed = false;
        stopRequested = false;
        return text;
    }
};

struct ValueCase {
    int code;
    double a, b, c;
    int argCount;
    bool degrees;
    double expected;
    double tolerance;
};

TEST_F(Builtins, ValuesInBothAngleModes)
{
    const ValueCase cases[] = {
        {FN_SIN, 0.5, 0, 0, 1, false, 0.479425538604203, EPS_LIBRARY},
        {FN_SIN, 30, 0, 0, 1, true, 0.5, EPS_LIBRARY},
        {FN_SIND, 30, 0, 0, 1, false, 0.5, EPS_LIBRARY},
        {FN_COS, 0.5, 0, 0, 1, false, 0.8775825618903728, EPS_LIBRARY},
        {FN_COS, 60, 0, 0, 1, true, 0.5, EPS_LIBRARY},
        {FN_COSD, 60, 0, 0, 1, false, 0.5, EPS_LIBRARY},
        {FN_TAN, 0.5, 0, 0, 1, false, 0.5463024898437905, EPS_LIBRARY},
        {FN_TAND, 45, 0, 0, 1, false, 1.0, EPS_LIBRARY},
        {FN_COT, 0.5, 0, 0, 1, false, 1.830487721712452, EPS_LIBRARY},
        {FN_COT, 1.5707963267948966, 0, 0, 1, false, 0.0, EPS_EXACT},
        {FN_COTD, 90, 0, 0, 1, false, 0.0, EPS_EXACT},
        {FN_COTD, 45, 0, 0, 1, false, 1.0, EPS_LIBRARY},
        {FN_SEC, 0.5, 0, 0, 1, false, 1.139493927324549, EPS_LIBRARY},
        {FN_SECD, 60, 0, 0, 1, false, 2.0, EPS_LIBRARY},
        {FN_CSC, 0.5, 0, 0, 1, false, 2.085829642933488, EPS_LIBRARY},
        {FN_CSC, 30, 0, 0, 1, true, 2.0, EPS_LIBRARY},
        {FN_ACOS, 0.3, 0, 0, 1, false, 1.2661036727794992, EPS_LIBRARY},
        {FN_ACOS, 0.3, 0, 0, 1, true, 72.54239687627792, EPS_LIBRARY},
        {FN_ACOSD, 0.3, 0, 0, 1, false, 72.54239687627792, EPS_LIBRARY},
        {FN_ASIN, 0.5, 0, 0, 1, true, 30.0, EPS_LIBRARY},
        {FN_ASIND, 0.3, 0, 0, 1, false, 17.457603123722095, EPS_LIBRARY},
        {FN_ATAN, 2, 0, 0, 1, false, 1.1071487177940904, EPS_LIBRARY},
        {FN_ATAND, 2, 0, 0, 1, false, 63.43494882292201, EPS_LIBRARY},
        {FN_HAV, 0.5, 0, 0, 1, false, 0.06120871905481362, EPS_LIBRARY},
        {FN_HAVD, 180, 0, 0, 1, false, 1.0, EPS_LIBRARY},
        {FN_RTOPA, -1, -1, 0, 2, false, 3.9269908169872414, EPS_LIBRARY},
        {FN_RTOPA, -1, -1, 0, 2, true, 225.0, EPS_LIBRARY},
        {FN_RTOPAD, 0, 1, 0, 2, false, 90.0, EPS_LIBRARY},
        {FN_RTOPD, 3, 4, 0, 2, false, 5.0, EPS_EXACT},
        {FN_PTORX, 60, 2, 0, 2, true, 1.0, EPS_LIBRARY},
        {FN_PTORXD, 60, 2, 0, 2, false, 1.0, EPS_LIBRARY},
        {FN_PTORY, 0.5, 2, 0, 2, false, 2 * 0.479425538604203, EPS_LIBRARY},
        {FN_PTORYD, 30, 2, 0, 2, false, 1.0, EPS_LIBRARY},
        {FN_PTOC, 0.25, 0, 0, 1, false, 1.3207963267948966, EPS_LIBRARY},
        {FN_CTOP, -3, 0, 0, 1, false, 4.570796326794897, EPS_LIBRARY},
        {FN_PTOC, 30, 0, 0, 1, true, 60.0, EPS_LIBRARY},
        {FN_PTOCD, 100, 0, 0, 1, false, 350.0, EPS_LIBRARY},
        {FN_CTOPD, -90, 0, 0, 1, false, 180.0, EPS_LIBRARY},
        {FN_DEG, 1.5707963267948966, 0, 0, 1, true, 90.0, EPS_LIBRARY},
        {FN_RAD, 180, 0, 0, 1, false, 3.141592653589793, EPS_LIBRARY},
        {FN_EXP, 1.5, 0, 0, 1, false, 4.4816890703380645, EPS_LIBRARY},
        {FN_EXP, -701, 0, 0, 1, false, 0.0, 0.0},
        {FN_ABS, -2, 0, 0, 1, false, 2.0, 0.0},
        {FN_LN, 2.5, 0, 0, 1, false, 0.9162907318741551, EPS_LIBRARY},
        {FN_LOG10, 2.5, 0, 0, 1, false, 0.3979400086720376, EPS_LIBRARY},
        {FN_LOG2, 2.5, 0, 0, 1, false, 1.3219280948873624, EPS_LIBRARY},
        {FN_SQRT, 2.5, 0, 0, 1, false, 1.5811388300841898, EPS_LIBRARY},
        {FN_COSH, 0.5, 0, 0, 1, false, 1.1276259652063807, EPS_LIBRARY},
        {FN_SINH, 0.5, 0, 0, 1, false, 0.5210953054937474, EPS_LIBRARY},
        {FN_TANH, 0.5, 0, 0, 1, false, 0.46211715726000974, EPS_LIBRARY},
        {FN_NORMAL, 1, 0, 0, 1, false, 0.241970724483523, EPS_LIBRARY},   // scale 0.3989422803427046
        {FN_NPD, 3, 1, 2, 3, false, 0.12098536225957168, EPS_LIBRARY},
        {FN_MAX, 1, 2, 0, 2, false, 2.0, 0.0},
        {FN_MIN, 1, 2, 0, 2, false, 1.0, 0.0},
        {FN_STEP, 2, 2, 0, 2, false, 1.0, 0.0},
        {FN_STEP, 3, 2, 0, 2, false, 0.0, 0.0},
        {FN_PULSE, 1, 2, 2, 3, false, 1.0, 0.0},
        {FN_PULSE, 1, 3, 2, 3, false, 0.0, 0.0},
        {FN_MOD, -7.5, 2, 0, 2, false, -1.5, 0.0},
        {FN_FLOOR, -0.5, 0, 0, 1, false, -1.0, 0.0},
        {FN_CEIL, -0.5, 0, 0, 1, false, 0.0, 0.0},
        {FN_ROUND, 2.5, 0, 0, 1, false, 3.0, 0.0},
        {FN_ROUND, -2.5, 0, 0, 1, false, -3.0, 0.0},
        {FN_ROUND, -2.4, 0, 0, 1, false, -2.0, 0.0},
        {FN_J0, 2.5, 0, 0, 1, false, -0.04838377646819804, EPS_LIBRARY},
        {FN_J1, 2.5, 0, 0, 1, false, 0.497094102464274, EPS_LIBRARY},
        {FN_JN, 3.9, 2.5, 0, 2, false, 0.21660039103911358, EPS_LIBRARY},
        {FN_JN, 2147483647, 0.5, 0, 2, false, 0.0, 0.0},    // underflows at once, no long recurrence
        {FN_JN, -2000, 1000, 0, 2, false, 0.0, 0.0},
        {FN_JN, 2147483647, 2e9, 0, 2, false, 0.0, 0.0},
        {FN_JN, 2000, 0, 0, 2, false, 0.0, 0.0},
        {FN_JN, 2000, 1990, 0, 2, false, jn(2000, 1990), EPS_LIBRARY},
        {FN_JN, 3000, 2000, 0, 2, false, jn(3000, 2000), EPS_LIBRARY},
        {FN_Y0, 2.5, 0, 0, 1, false, 0.498070359615232, EPS_LIBRARY},
        {FN_Y1, 2.5, 0, 0, 1, false, 0.14591813796678577, EPS_LIBRARY},
        {FN_YN, 3, 2.5, 0, 2, false, -0.7560554967536712, EPS_LIBRARY},
        {FN_GAMMA, 4.5, 0, 0, 1, false, 11.631728396567446, EPS_SPECIAL},
        {FN_GAMMAI, 4.5, 0, 0, 1, false, 0.08597174606442003, EPS_SPECIAL},
        {FN_GAMMALN, 4.5, 0, 0, 1, false, 2.453736570842443, EPS_SPECIAL},
        {FN_FAC, 5, 0, 0, 1, false, 120.0, 1e-9},
        {FN_CHEBY, 2.999995, 0.3, 0, 2, false, -0.792, EPS_LIBRARY},
        {FN_CHEBY, 7, 0.3, 0, 2, false, -0.8461632, EPS_LIBRARY},
        {FN_BETAI, 0.4, 2, 3, 3, false, 0.5248, EPS_SPECIAL},
        {FN_ERF, 0.5, 0, 0, 1, false, 0.5204998778130465, EPS_SPECIAL},
        {FN_ERF, -0.5, 0, 0, 1, false, -0.5204998778130465, EPS_SPECIAL},
        {FN_PAREA, 1, 0, 0, 1, false, 0.8413447460685429, EPS_SPECIAL},
        {FN_PAREA, 0, 0, 0, 1, false, 0.5, EPS_SPECIAL},
        {FN_EI1, 0.5, 0.6, 0, 2, false, 0.6079703837648512, EPS_SPECIAL},
        {FN_EI2, 0.5, 0.6, 0, 2, false, 0.5922123085657435, EPS_SPECIAL},
        {FN_EIC1, 0.5, 0, 0, 1, false, 1.674993916092613, EPS_SPECIAL},
        {FN_EIC2, 0.5, 0, 0, 1, false, 1.4762174872846667, EPS_SPECIAL},
        {FN_EI1, 30, 45, 0, 2, true, 0.8043661012320654, EPS_SPECIAL},
        {FN_EI1D, 30, 45, 0, 2, false, 0.8043661012320654, EPS_SPECIAL},
        {FN_EIC1D, 30, 0, 0, 1, false, 1.685750354812596, EPS_SPECIAL},
    };
    for (const ValueCase& c : cases) {
        settings.anglesInDegrees = c.degrees;
        double v;
        if (c.argCount == 1)
            v = run(c.code, {c.a});
        else if (c.argCount == 2)
            v = run(c.code, {c.a, c.b});
        else
            v = run(c.code, {c.a, c.b, c.c});
        EXPECT_NEAR(v, c.expected, c.tolerance * std::fmax(1.0, std::fabs(c.expected)))
            << "code " << c.code << " (" << c.a << ", " << c.b << ", " << c.c << ")"
            << (c.degrees ? " degrees" : " radians");
        EXPECT_FALSE(runFailed) << "code " << c.code;
    }
}

TEST_F(Builtins, MaxMinSelTieRules)
{
    Symbol* c = work("c", 5);
    Symbol* d = work("d", 6);
    EXPECT_EQ(operatorsEvaluate(call(FN_SEL, {num(1), num(1), var(c), var(d)})), 6.0);
    EXPECT_EQ(operatorsEvaluate(call(FN_SEL, {num(0), num(1), var(c), var(d)})), 5.0);
    EXPECT_TRUE(std::signbit(run(FN_MAX, {-0.0, 0.0})));   // equal: the first argument
    EXPECT_FALSE(std::signbit(run(FN_MIN, {0.0, -0.0})));
    EXPECT_TRUE(std::isnan(run(FN_MOD, {1, 0})));           // no zero test for MOD
    EXPECT_FALSE(runFailed);
}

TEST_F(Builtins, DomainMessagesAtRunTime)
{
    struct ErrorCase { int code; std::initializer_list<double> args; bool degrees; const char* message; };
    const ErrorCase cases[] = {
        {FN_ACOS, {1.5}, false, "ACOS argument 1.5 not in range -1 to 1"},
        {FN_ACOSD, {-2}, false, "ACOSD argument -2 not in range -1 to 1"},
        {FN_ASIN, {2}, false, "ASIN argument 2 not in range -1 to 1"},
        {FN_ASIND, {2}, false, "ASIND argument 2 not in range -1 to 1"},
        {FN_EXP, {501}, false, "Argument to exp function is too large (501)"},
        {FN_LN, {0}, false, "Attempt to take log of zero or negative: 0"},
        {FN_LOG10, {-1}, false, "Attempt to take log of zero or negative: -1"},
        {FN_LOG2, {-1}, false, "attempt to take log2 of zero or negative: -1"},
        {FN_SQRT, {-4}, false, "Attempt to take square root of negative number: -4"},
        {FN_TAN, {1.5707963267948966}, false, "TAN function argument = 90 degrees"},
        {FN_TAN, {90}, true, "TAN function argument = 90 degrees"},
        {FN_TAND, {90}, false, "TAND function argument = 90 degrees"},
        {FN_COT, {0}, false, "COT function is infinite"},
        {FN_COT, {3.141592653589793}, false, "COT function is infinite"},
        {FN_COTD, {180}, false, "COTD function is infinite"},
        {FN_CSC, {0}, false, "CSC function is infinite"},
        {FN_CSCD, {180}, false, "CSCD function is infinite"},
        {FN_SEC, {90}, true, "SEC function is infinite"},
        {FN_SECD, {-270}, false, "SECD function is infinite"},
        {FN_GAMMA, {170.1}, false, "Gamma function argument out of range: 170.1"},
        {FN_GAMMA, {-4.5}, false, "Gamma function argument out of range: -4.5"},
        {FN_GAMMA, {0}, false, "Gamma function is infinite"},
        {FN_GAMMAI, {171}, false, "Gammai function argument out of range: 171"},
        {FN_FAC, {169.5}, false, "Factorial function argument out of range: 169.5"},
        {FN_FAC, {-5.5}, false, "Factorial function argument out of range: -5.5"},
        {FN_FAC, {-1}, false, "Factorial function is infinite"},
        {FN_GAMMALN, {0}, false, "Invalid argument to gammln function: 0"},
        {FN_BETAI, {1.5, -1, -1}, false, "Invalid x value for BETAI function: 1.5"},
        {FN_BETAI, {0.5, 0, -1}, false, "Invalid a argument for BETAI function: 0"},
        {FN_BETAI, {0.5, 1, -1}, false, "Invalid b argument for BETAI function: -1"},
        {FN_CHEBY, {-1, 0.5}, false, "Arg 1 (order) negative for Chebyshev function: -1"},
        {FN_CHEBY, {-0.5, 0.5}, false, "Arg 1 (order) negative for Chebyshev function: -1"},
        {FN_Y0, {0}, false, "Argument to Y0 function is negative or zero: 0"},
        {FN_Y1, {-1}, false, "Argument to Y1 function is negative or zero: -1"},
        {FN_YN, {2, -3}, false, "Argument to YN function is negative or zero: -3"},
        {FN_PRINTF, {}, false, "Function has too few arguments"},
        {FN_PRINTF, {1}, false, "Invalid arguments to function"},
        {FN_RETURN, {}, false, "Function has too few arguments"},
        {99, {}, false, "Unknown function"},
    };
    for (const ErrorCase& c : cases) {
        settings.anglesInDegrees = c.degrees;
        runFailed = false;
        listingClear();
        ExprNode* n = call(c.code, {});
        ExprNode** link = &n->firstArg;
        for (double v : c.args) {
            *link = num(v);
            link = &(*link)->nextArg;
        }
        EXPECT_EQ(operatorsEvaluate(n), 0.0) << c.message;
        EXPECT_TRUE(runFailed) << c.message;
        EXPECT_EQ(screenText(), std::string("Error: ") + c.message + "\n");
    }
}

TEST_F(Builtins, BoundaryArgumentsThatAreAccepted)
{
    EXPECT_GT(run(FN_FAC, {169}), 4e304);
    EXPECT_GT(run(FN_GAMMA, {170}), 4e304);
    EXPECT_GT(run(FN_EXP, {-699}), 0.0);
    EXPECT_GT(run(FN_EXP, {500}), 1e217);
    EXPECT_LT(run(FN_TAN, {-1.5707963267948966}), -1e15);   // only +pi/2 is tested
    EXPECT_NEAR(run(FN_GAMMA, {-3.5}), 0.27008820585226917, EPS_SPECIAL);
    EXPECT_FALSE(runFailed);
}

TEST_F(Builtins, HugeChebyshevOrderFinishes)
{
    EXPECT_EQ(run(FN_CHEBY, {1e15, 1.0}), 1.0);
    EXPECT_NEAR(run(FN_CHEBY, {6e12, 0.5}), 1.0, 1e-3);   // T_n(cos t) = cos(n t), t = pi/3
    EXPECT_EQ(run(FN_CHEBY, {2e6 + 1, -2.0}), -INFINITY);
    EXPECT_FALSE(runFailed);
}

TEST_F(Builtins, ThirtyArgumentsAtMost)
{
    ExprNode* n = call(FN_PRINTF, {str("")});
    ExprNode* last = n->firstArg;
    for (int k = 0; k < 30; k++) {
        last->nextArg = num(k);
        last = last->nextArg;
    }
    EXPECT_EQ(operatorsEvaluate(n), 0.0);
    EXPECT_EQ(screenText(), "Error: Too many function argument values specified\n");
}

TEST_F(Builtins, PrintfWritesStandardOutputAndListingFileOnly)
{
    std::string path = testTempDir() + "/print.lst";
    ASSERT_TRUE(listingOpenFile(path.c_str()));
    Symbol* x = work("x", 2.5);
    testing::internal::CaptureStdout();
    double v = operatorsEvaluate(call(FN_PRINTF, {str("x=%lf y=%6.2e %G%% %d %s|%c\n"), var(x), num(1234.5),
                                         num(0.5), num(7.9), num(66)}));
    std::string out = testing::internal::GetCapturedStdout();
    listingCloseFile();
    EXPECT_EQ(v, 1.0);
    // %s takes no double and is written as it stands; %d and %c take the truncated value.
    std::string expected = "x=2.500000 y=1.23e+03 0.5% 7 %s|B\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(readTextFile(path), expected);
    EXPECT_TRUE(screen().empty());
    EXPECT_FALSE(runFailed);
}

TEST_F(Builtins, PrintfMissingValuesAreZeroAndExtrasIgnored)
{
    testing::internal::CaptureStdout();
    operatorsEvaluate(call(FN_PRINTF, {str("%g %g %n %*d")}));
    operatorsEvaluate(callValues(FN_PRINTF, {}));   // no format: reported, nothing printed
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "0 0 %n %*d");
}

TEST_F(Builtins, RandomFollowsItsGeneratorAndRestartsEachAnalysis)
{
    // state = state * 214013 + 2531011 from 1; value ((state >> 16) & 0x7FFF) / 32767
    const double expected[] = {41, 18467, 6334, 26500, 19169};
    for (double k : expected)
        EXPECT_DOUBLE_EQ(run(FN_RANDOM, {}), k * 3.051850947599719e-05);
    builtinsReset();
    EXPECT_DOUBLE_EQ(run(FN_RANDOM, {}), 41 * 3.051850947599719e-05);

    // One sequence for the whole Run: the analysis thread and, after it, the thread that
    // draws the plots continue it; only the reset starts it again.
    double next = -1;
    std::thread worker([&] { next = operatorsEvaluate(call(FN_RANDOM, {})); });
    worker.join();
    EXPECT_DOUBLE_EQ(next, 18467 * 3.051850947599719e-05);
}

TEST_F(Builtins, ReturnWithOneArgumentHasNoObservedValue)
{
    observedValue = 5;
    EXPECT_EQ(run(FN_RETURN, {3}), 0.0);
    EXPECT_EQ(predictedValue, 3.0);
    EXPECT_EQ(observedValue, 0.0);
    EXPECT_TRUE(functionDone);
    EXPECT_TRUE(stopRequested);
    EXPECT_FALSE(runFailed);
}

// ---- compile-time evaluation ----------------------------------------------------------

class BuiltinFolding : public ExecFixture {
protected:
    // Folds a call; returns whether it folded, with its value and any compile message.
    bool fold(int code, std::initializer_list<double> args, double* value, std::string* message)
    {
        listingClear();
        int before = compileErrorCount();
        *value = -999;
        bool folded = builtinsFold(code, args.begin(), (int)args.size(), nullptr, value);
        *message = compileErrorCount() > before ? screenText() : "";
        return folded;
    }
};

TEST_F(BuiltinFolding, CompileTimeMessagesDifferFromRunTime)
{
    struct Case { int code; std::initializer_list<double> args; bool degrees; const char* message; };
    const Case cases[] = {
        {FN_LN, {0}, false, "Attempt to take log of negative or zero value"},
        {FN_LOG10, {-1}, false, "Attempt to take log10 of negative or zero value"},
        {FN_LOG2, {0}, false, "Attempt to take log of negative or zero number"},
        {FN_SQRT, {-1}, false, "Attempt to take square root of negative number"},
        {FN_COT, {0}, false, "Invalid argument to cotangent function"},
        {FN_COTD, {360}, false, "Invalid argument to COTD function"},
        {FN_SEC, {90}, true, "Invalid argument to secent function"},
        {FN_SECD, {90}, false, "Invalid argument to SECD function"},
        {FN_CSC, {0}, false, "Invalid argument to cosecant function"},
        {FN_CSCD, {0}, false, "Invalid argument to CSCD function"},
        {FN_GAMMA, {170.5}, false, "Gamma function argument out of range"},
        {FN_GAMMA, {0}, false, "Gamma function argument out of range"},
        {FN_GAMMAI, {-4.5}, false, "Gamma function argument out of range"},
        {FN_FAC, {-4.5}, false, "Invalid argument to factorial function"},
        {FN_FAC, {170.5}, false, "Invalid argument to factorial function"},
        {FN_FAC, {-1}, false, "Invalid argument to inverse gamma function"},
        {FN_Y0, {0}, false, "Argument to Bessel function is negative or zero"},
        {FN_Y1, {-1}, false, "Argument to Bessel function is negative or zero"},
        {FN_YN, {1, 0}, false, "Argument to Bessel function is negative or zero"},
        {FN_BETAI, {2, 1, 1}, false, "Invalid x value for BETAI function"},
        {FN_BETAI, {0.5, -1, 1}, false, "Invalid a argument for BETAI function"},
        {FN_BETAI, {0.5, 1, 0}, false, "Invalid b argument for BETAI function"},
        {FN_GAMMALN, {-3}, false, "Invalid argument to gammln function"},
    };
    for (const Case& c : cases) {
        settings.anglesInDegrees = c.degrees;
        double value;
        std::string message;
        EXPECT_FALSE(fold(c.code, c.args, &value, &message)) << c.message;
        EXPECT_EQ(value, 0.0);
        EXPECT_EQ(message, std::string("Error: ") + c.message + "\n");
    }
    EXPECT_FALSE(runFailed);   // compile-time checks never touch the run state
}

TEST_F(BuiltinFolding, FoldsWithTheAngleModeAndWithoutRunTimeChecks)
{
    double value;
    std::string message;
    ASSERT_TRUE(fold(FN_SQRT, {4}, &value, &message));
    EXPECT_EQ(value, 2.0);
    ASSERT_TRUE(fold(FN_SIN, {90}, &value, &message));
    EXPECT_NEAR(value, 0.8939966636005579, EPS_LIBRARY);   // 90 radians
    settings.anglesInDegrees = true;
    ASSERT_TRUE(fold(FN_SIN, {90}, &value, &message));
    EXPECT_NEAR(value, 1.0, EPS_LIBRARY);
    settings.anglesInDegrees = false;

    // Run-time-only checks do not apply: the library's value is folded.
    ASSERT_TRUE(fold(FN_ACOS, {2}, &value, &message));
    EXPECT_TRUE(std::isnan(value));
    ASSERT_TRUE(fold(FN_EXP, {1000}, &value, &message));
    EXPECT_TRUE(std::isinf(value));
    ASSERT_TRUE(fold(FN_COT, {1.5707963267948966}, &value, &message));
    EXPECT_EQ(value, 0.0);
    ASSERT_TRUE(fold(FN_FAC, {170}, &value, &message));   // the run-time limit is 169
    EXPECT_GT(value, 7e306);
    EXPECT_EQ(message, "");
    EXPECT_FALSE(runFailed);
}

TEST_F(BuiltinFolding, CallsThatStayCalls)
{
    double value;
    std::string message;
    EXPECT_FALSE(fold(FN_RANDOM, {}, &value, &message));
    EXPECT_FALSE(fold(FN_PRINTF, {0}, &value, &message));
    EXPECT_FALSE(fold(FN_RETURN, {1}, &value, &message));
    // CHEBY folds with the order as written; a negative order waits for the run.
    ASSERT_TRUE(fold(FN_CHEBY, {2.999995, 0.3}, &value, &message));
    EXPECT_NEAR(value, 2 * 0.3 * 0.3 - 1, EPS_LIBRARY);
    EXPECT_FALSE(fold(FN_CHEBY, {-1, 0.3}, &value, &message));
    EXPECT_EQ(message, "");
    // An elliptic argument the special function would report stays for the run.
    EXPECT_FALSE(fold(FN_EIC1D, {90}, &value, &message));
    EXPECT_EQ(message, "");
    EXPECT_FALSE(runFailed);
    EXPECT_TRUE(screen().empty());
}

// ---- folding through the parser --------------------------------------------------------

class FoldingPrograms : public ProgramFixture {
protected:
    std::string codeOf(const std::string& program)
    {
        Instruction* entry = compile(program);
        return entry ? codeDump(entry) : "<failed>";
    }
};

TEST_F(FoldingPrograms, ConstantCallsBecomeConstantsUnderTheAngleModeThenInForce)
{
    std::string code = codeOf("PARAMETERS p; DOUBLE q, r, s;\n"
                              "q = SQRT(4) + SIN(90);\n"
                              "ANGLETYPE DEGREES;\n"
                              "r = SIN(90);\n"
                              "s = RANDOM() + MAX(1 2);\n"
                              "FUNCTION p * p;\n");
    EXPECT_NE(code.find("(= q 2.89399666360056)"), std::string::npos) << code;   // 2 + sin(90 rad)
    EXPECT_NE(code.find("(= r 1)"), std::string::npos) << code;
    EXPECT_NE(code.find("(= s (+ call57() 2))"), std::string::npos) << code;   // RANDOM stays
    setParameter("p", 3);
    runReset();
    double predicted = 0;
    ASSERT_TRUE(runObservation(0, nullptr, &predicted, nullptr));
    EXPECT_EQ(valueOf("r"), 1.0);
    EXPECT_EQ(predicted, 9.0);
}

TEST_F(FoldingPrograms, ConstantArgumentErrorsAreCompileErrors)
{
    EXPECT_EQ(compile("PARAMETERS p; DOUBLE q;\n"
                      "q = SQRT(-1);\n"
                      "q = LN(0) + GAMMA(171);\n"
                      "FUNCTION p * p;\n"),
              nullptr);
    EXPECT_EQ(screen(), (std::vector<std::string>{
                            "     2: q = SQRT(-1);",
                            "Error: Attempt to take square root of negative number",
                            "     3: q = LN(0) + GAMMA(171);",
                            "Error: Attempt to take log of negative or zero value",
                            "     3: q = LN(0) + GAMMA(171);",
                            "Error: Gamma function argument out of range"}));
}

TEST_F(FoldingPrograms, RunTimeOnlyChecksStillReportAtRunTime)
{
    // ACOS(2) has no value to fold (the library's is a NaN): it stays a call and reports
    // at its own line when it runs, like ACOS of a variable, instead of a silent NaN.
    ASSERT_NE(compile("VARIABLES x, y; PARAMETERS a;\n"
                      "DOUBLE q;\n"
                      "q = ACOS(2);\n"
                      "FUNCTION y = a * ACOS(x);\n"
                      "DATA;\n2 1\n"),
              nullptr)
        << ::testing::PrintToString(screen());
    runReset();
    listingClear();
    EXPECT_FALSE(runObservation(0, nullptr, nullptr, nullptr));
    EXPECT_FALSE(std::isnan(valueOf("q")));
    EXPECT_EQ(screen(), (std::vector<std::string>{"Error executing line 3: q = ACOS(2);",
                                                  "Error: ACOS argument 2 not in range -1 to 1"}));
}

}  // namespace
