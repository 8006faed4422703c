// Code interpreter: instruction dispatch, the FUNCTION statement's values, work variables
// across observations, runReset, runtime error headers, quiet mode and Cancel.
#include <atomic>
#include <chrono>
#include <thread>

#include "exec_fixture.h"
#include "testutil.h"

namespace {

class Interpreter : public ExecFixture {
protected:
    // VARIABLES x, y; PARAMETERS a; FUNCTION y = a * x; over three observations.
    void linearModel()
    {
        x = input("x");
        y = input("y");
        a = parameter("a", 2);
        dependentVariable = y;
        emitAt(OP_LINE, (void*)line(3, "FUNCTION y = a * x;"), nullptr);
        emitAt(OP_FUNCTION, y, bin(NODE_MUL, var(a), var(x)));
        emitAt(OP_STOP, nullptr, nullptr);
        useProgram();
        setData({1, 2.5, 2, 3.5, 3, 7});
    }
    void setData(std::vector<double> values)
    {
        data = std::move(values);
        observations = data.data();
        observationCount = (int)data.size() / inputVariableCount;
    }
    Symbol* x = nullptr;
    Symbol* y = nullptr;
    Symbol* a = nullptr;
    std::vector<double> data;
};

TEST_F(Interpreter, FunctionStatementDeliversPredictedObservedAndResidual)
{
    linearModel();
    runReset();
    EXPECT_EQ(val(x), 1.0);   // the first observation is loaded by runReset
    double predicted = -1, observed = -1;
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(runObservation(i, nullptr, &predicted, &observed));
        EXPECT_EQ(predicted, 2.0 * data[i * 2]);
        EXPECT_EQ(observed, data[i * 2 + 1]);
        EXPECT_EQ(val(symbolPredicted), predicted);
        EXPECT_EQ(val(symbolResidual), observed - predicted);
        EXPECT_EQ(val(symbolObs), i + 1.0);
        EXPECT_EQ(currentLine, nullptr);
    }
    // Values given by the caller replace the store's row.
    const double point[2] = {10, 0};
    ASSERT_TRUE(runObservation(0, point, &predicted, nullptr));
    EXPECT_EQ(predicted, 20.0);
}

TEST_F(Interpreter, FunctionWithoutDependentVariable)
{
    Symbol* p = parameter("p", 3);
    emitAt(OP_FUNCTION, nullptr, bin(NODE_MUL, var(p), var(p)));
    emitAt(OP_STOP, nullptr, nullptr);
    useProgram();
    double predicted, observed = -1;
    ASSERT_TRUE(runObservation(0, nullptr, &predicted, &observed));
    EXPECT_EQ(predicted, 9.0);
    EXPECT_EQ(observed, 0.0);
    EXPECT_EQ(val(symbolPredicted), 9.0);
    EXPECT_EQ(val(symbolResidual), 9.0);
}

TEST_F(Interpreter, WorkVariablesAccumulateAndResetWithRunReset)
{
    // DOUBLE s = 10; DOUBLE v[3] = {1, 2}; s++; v[2] += 1; FUNCTION s;
    Symbol* s = work("s", 10);
    Symbol* v = array("v", 3, 0, {1, 2});
    emitAt(OP_EXPR, assign(NODE_POSTINC, var(s), nullptr), nullptr);
    emitAt(OP_EXPR, assign(NODE_ADD_ASSIGN, element(v, num(2)), num(1)), nullptr);
    emitAt(OP_FUNCTION, nullptr, var(s));
    emitAt(OP_STOP, nullptr, nullptr);
    useProgram();
    runReset();
    double predicted = 0;
    for (int k = 1; k <= 3; k++) {
        ASSERT_TRUE(runObservation(k - 1, nullptr, &predicted, nullptr));
        EXPECT_EQ(predicted, 10.0 + k);
    }
    EXPECT_EQ(elem(v)[2], 3.0);
    runReset();
    EXPECT_EQ(val(s), 10.0);
    EXPECT_EQ(elem(v)[0], 1.0);
    EXPECT_EQ(elem(v)[1], 2.0);
    EXPECT_EQ(elem(v)[2], 0.0);
}

TEST_F(Interpreter, JumpsLoopsAndStop)
{
    // i = 0; L: if !(i < 5) goto E; i++; goto L; E: FUNCTION i; STOP; FUNCTION 99;
    Symbol* i = work("i", 0);
    emitAt(OP_EXPR, assign(NODE_ASSIGN, var(i), num(0)), nullptr);
    Instruction* test = emitAt(OP_JUMP_IF_FALSE, bin(NODE_LT, var(i), num(5)), nullptr);
    emitAt(OP_EXPR, assign(NODE_PREINC, var(i), nullptr), nullptr);
    emitAt(OP_JUMP, test, nullptr);
    test->operand2 = emitAt(OP_FUNCTION, nullptr, var(i));
    emitAt(OP_STOP, nullptr, nullptr);
    emitAt(OP_FUNCTION, nullptr, num(99));
    useProgram();
    double predicted = 0;
    ASSERT_TRUE(runObservation(0, nullptr, &predicted, nullptr));
    EXPECT_EQ(predicted, 5.0);
}

TEST_F(Interpreter, LaterFunctionStatementReplacesEarlier)
{
    emitAt(OP_FUNCTION, nullptr, num(1));
    emitAt(OP_FUNCTION, nullptr, num(2));
    emitAt(OP_STOP, nullptr, nullptr);
    useProgram();
    double predicted = 0;
    ASSERT_TRUE(runObservation(0, nullptr, &predicted, nullptr));
    EXPECT_EQ(predicted, 2.0);
}

TEST_F(Interpreter, FunctionInUntakenBranchFailsWithoutLineHeader)
{
    // IF Obs == 2 FUNCTION 5;
    emitAt(OP_LINE, (void*)line(4, "IF (Obs == 2) FUNCTION 5;"), nullptr);
    Instruction* branch = emitAt(OP_JUMP_IF_FALSE, bin(NODE_EQ, var(symbolObs), num(2)), nullptr);
    emitAt(OP_FUNCTION, nullptr, num(5));
    branch->operand2 = emitAt(OP_STOP, nullptr, nullptr);
    useProgram();
    double predicted = -1, observed = -1;
    EXPECT_TRUE(runObservation(1, nullptr, &predicted, &observed));
    EXPECT_EQ(predicted, 5.0);
    EXPECT_FALSE(runObservation(0, nullptr, &predicted, &observed));
    EXPECT_EQ(screen(), std::vector<std::string>{"Error: FUNCTION statement was not executed."});
}

TEST_F(Interpreter, RuntimeErrorHeaderCutsIndentAndLength)
{
    std::string text = "\t  \tz = 1 / 0; // " + std::string(100, 'x');
    emitAt(OP_LINE, (void*)line(12, text.c_str()), nullptr);
    emitAt(OP_EXPR, bin(NODE_DIV, num(1), num(0)), nullptr);
    emitAt(OP_FUNCTION, nullptr, num(1));
    emitAt(OP_STOP, nullptr, nullptr);
    useProgram();

    std::string folder = testTempDir();
    std::string path = folder + "/run.lst";
    ASSERT_TRUE(listingOpenFile(path.c_str()));
    double predicted = -1;
    EXPECT_FALSE(runObservation(0, nullptr, &predicted, nullptr));
    listingCloseFile();

    std::string shown = text.substr(4, 70);
    std::string header = "Error executing line 12: " + shown;
    EXPECT_EQ(screen(), (std::vector<std::string>{header, "Error: Attempted division of 1 by zero"}));
    EXPECT_EQ(readTextFile(path), "\n" + header + "\nError: Attempted division of 1 by zero\n");
    // The FUNCTION statement after the failing line never ran.
    EXPECT_FALSE(functionDone);
}

TEST_F(Interpreter, TwoErrorsInOneStatementWriteTwoHeaders)
{
    emitAt(OP_LINE, (void*)line(2, "q = 1/0 + 2/0;"), nullptr);
    emitAt(OP_EXPR, bin(NODE_ADD, bin(NODE_DIV, num(1), num(0)), bin(NODE_DIV, num(2), num(0))),
           nullptr);
    emitAt(OP_STOP, nullptr, nullptr);
    useProgram();
    EXPECT_FALSE(runObservation(0, nullptr, nullptr, nullptr));
    EXPECT_EQ(screen(), (std::vector<std::string>{
                            "Error executing line 2: q = 1/0 + 2/0;",
                            "Error: Attempted division of 1 by zero",
                            "Error executing line 2: q = 1/0 + 2/0;",
                            "Error: Attempted division of 2 by zero"}));
}

TEST_F(Interpreter, QuietErrorsWriteNothingButStillFail)
{
    emitAt(OP_LINE, (void*)line(1, "FUNCTION 1/0;"), nullptr);
    emitAt(OP_FUNCTION, nullptr, bin(NODE_DIV, num(1), num(0)));
    emitAt(OP_STOP, nullptr, nullptr);
    useProgram();
    quietErrors = true;
    EXPECT_FALSE(runObservation(0, nullptr, nullptr, nullptr));
    EXPECT_TRUE(screen().empty());
    quietErrors = false;
}

TEST_F(Interpreter, AbortIsReportedOnceAndLeavesOutputsUntouched)
{
    emitAt(OP_LINE, (void*)line(1, "FUNCTION 1;"), nullptr);
    emitAt(OP_FUNCTION, nullptr, num(1));
    emitAt(OP_STOP, nullptr, nullptr);
    useProgram();
    abortRequested = true;
    quietErrors = true;   // an abort is written even during quiet SWEEP steps
    double predicted = -7;
    EXPECT_FALSE(runObservation(0, nullptr, &predicted, nullptr));
    EXPECT_FALSE(runObservation(1, nullptr, &predicted, nullptr));
    EXPECT_EQ(predicted, -7.0);
    EXPECT_EQ(screen(), std::vector<std::string>{"Error: Aborting analysis..."});
    EXPECT_EQ(currentLine, nullptr);
    // The next Run writes its own Cancel once again.
    runResetState();
    useProgram();
    abortRequested = true;
    EXPECT_FALSE(runObservation(0, nullptr, &predicted, nullptr));
    EXPECT_EQ(screen(), (std::vector<std::string>{"Error: Aborting analysis...", "Error: Aborting analysis..."}));
    abortRequested = false;
}

TEST_F(Interpreter, CancelFromAnotherThreadEndsAnEndlessLoop)
{
    // for (;;) n++;  only Cancel ends it.
    Symbol* n = work("n", 0);
    emitAt(OP_LINE, (void*)line(7, "for (;;) n++;"), nullptr);
    Instruction* loop = emitAt(OP_EXPR, assign(NODE_POSTINC, var(n), nullptr), nullptr);
    emitAt(OP_JUMP, loop, nullptr);
    useProgram();
    std::thread canceller([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        abortRequested.store(true, std::memory_order_relaxed);
    });
    EXPECT_FALSE(runObservation(0, nullptr, nullptr, nullptr));
    canceller.join();
    EXPECT_GT(val(n), 0.0);
    EXPECT_EQ(screen(), (std::vector<std::string>{"Error executing line 7: for (;;) n++;",
                                                  "Error: Aborting analysis..."}));
    abortRequested = false;
}

TEST_F(Interpreter, InvalidOpcodeEndsAtOnce)
{
    double predicted = -3;
    emitAt(42, nullptr, nullptr);
    useProgram();
    EXPECT_FALSE(runObservation(0, nullptr, &predicted, nullptr));
    EXPECT_EQ(predicted, -3.0);
    EXPECT_EQ(screen(), std::vector<std::string>{"Error: Invalid opcode in generated code: 42"});
}

TEST_F(Interpreter, ReturnEndsTheEvaluationWithItsValues)
{
    // RETURN(4, 6); FUNCTION 1;  -- the FUNCTION never runs, Predicted is untouched.
    val(symbolPredicted) = -1;
    emitAt(OP_EXPR, callValues(FN_RETURN, {4, 6}), nullptr);
    emitAt(OP_FUNCTION, nullptr, num(1));
    emitAt(OP_STOP, nullptr, nullptr);
    useProgram();
    double predicted = 0, observed = 0;
    ASSERT_TRUE(runObservation(0, nullptr, &predicted, &observed));
    EXPECT_EQ(predicted, 4.0);
    EXPECT_EQ(observed, 6.0);
    EXPECT_EQ(val(symbolPredicted), -1.0);
}

// ---- whole programs through the compiler ----------------------------------------------

class Programs : public ProgramFixture {
protected:
    // Compiles program, sets its parameter a and resets the run; a failure carries the
    // compile messages.
    ::testing::AssertionResult start(const std::string& program, double a)
    {
        if (!compile(program))
            return ::testing::AssertionFailure() << ::testing::PrintToString(screen());
        setParameter("a", a);
        runReset();
        return ::testing::AssertionSuccess();
    }
};

TEST_F(Programs, ModelOverInlineDataWithAccumulatingWorkVariable)
{
    ASSERT_NE(compile("VARIABLES x, y;\n"
                      "PARAMETERS a;\n"
                      "DOUBLE total = 100;\n"
                      "total += x;\n"
                      "FUNCTION y = a * x;\n"
                      "DATA;\n"
                      "1 2.5\n"
                      "2 3.5\n"
                      "3 7\n"),
              nullptr)
        << ::testing::PrintToString(screen());
    ASSERT_EQ(observationCount, 3);
    setParameter("a", 2);
    runReset();
    const double expectedTotal[] = {101, 103, 106};
    for (int i = 0; i < 3; i++) {
        double predicted = 0, observed = 0;
        ASSERT_TRUE(runObservation(i, nullptr, &predicted, &observed));
        EXPECT_EQ(predicted, 2.0 * (i + 1));
        EXPECT_EQ(observed, observations[i * 2 + 1]);
        EXPECT_EQ(valueOf("Residual"), observed - predicted);
        EXPECT_EQ(valueOf("total"), expectedTotal[i]);
    }
    runReset();
    EXPECT_EQ(valueOf("total"), 100.0);
}

TEST_F(Programs, LoopsWithBreakAndContinue)
{
    ASSERT_TRUE(start("VARIABLES x, y; PARAMETERS a;\n"
                      "DOUBLE i, s, k;\n"
                      "s = 0;\n"
                      "for (i = 0; i < 10; i++) { if (i == 3) continue; if (i == 6) break; s += i; }\n"
                      "k = 0; while (1) { k++; if (k >= 4) break; }\n"
                      "do { k += 10; } while (k < 30)\n"
                      "FUNCTION y = a * s + k;\n"
                      "DATA;\n1 1\n",
                      1));
    double predicted = 0;
    ASSERT_TRUE(runObservation(0, nullptr, &predicted, nullptr));
    EXPECT_EQ(valueOf("s"), 0.0 + 1 + 2 + 4 + 5);
    EXPECT_EQ(valueOf("k"), 34.0);
    EXPECT_EQ(predicted, 12.0 + 34.0);
}

TEST_F(Programs, FunctionInUntakenBranchAndRuntimeErrorHeaders)
{
    ASSERT_TRUE(start("VARIABLES x, y; PARAMETERS a;\n"
                      "DOUBLE z;\n"
                      "  \t z = a / (x - 2);\n"
                      "if (x > 1) FUNCTION y = a * x + z;\n"
                      "DATA;\n1 1\n2 2\n3 3\n",
                      1));
    listingClear();
    double predicted = 0;
    EXPECT_FALSE(runObservation(0, nullptr, &predicted, nullptr));
    EXPECT_EQ(screen(), std::vector<std::string>{"Error: FUNCTION statement was not executed."});

    listingClear();
    EXPECT_FALSE(runObservation(1, nullptr, &predicted, nullptr));
    EXPECT_EQ(screen(), (std::vector<std::string>{"Error executing line 3: z = a / (x - 2);",
                                                  "Error: Attempted division of 1 by zero"}));
    listingClear();
    EXPECT_TRUE(runObservation(2, nullptr, &predicted, nullptr));
    EXPECT_EQ(predicted, 4.0);
    EXPECT_TRUE(screen().empty());
}

TEST_F(Programs, ReturnRandomAndAngleMode)
{
    ASSERT_TRUE(start("VARIABLES x, y; PARAMETERS a;\n"
                      "ANGLETYPE DEGREES;\n"
                      "if (x > 100) RETURN(a * 10, y);\n"
                      "FUNCTION y = a * SIN(x) + RANDOM();\n"
                      "DATA;\n30 1\n200 5\n",
                      2));
    double predicted = 0, observed = 0;
    ASSERT_TRUE(runObservation(0, nullptr, &predicted, &observed));
    EXPECT_NEAR(predicted, 1.0 + 41 * 3.051850947599719e-05, 1e-12);
    ASSERT_TRUE(runObservation(1, nullptr, &predicted, &observed));
    EXPECT_EQ(predicted, 20.0);
    EXPECT_EQ(observed, 5.0);

    // A new analysis restarts the generator.
    builtinsReset();
    ASSERT_TRUE(runObservation(0, nullptr, &predicted, &observed));
    EXPECT_NEAR(predicted, 1.0 + 41 * 3.051850947599719e-05, 1e-12);
}

TEST_F(Programs, ArraysAndShortCircuitFreeLogic)
{
    ASSERT_TRUE(start("VARIABLES x, y; PARAMETERS a;\n"
                      "DOUBLE v[3] = {1, 2, 3}, m[2, 2], z, i;\n"
                      "z = 0; (x > 0) || (z = 5);\n"
                      "for (i = 0; i < 3; i++) m[i % 2, 1] += v[i];\n"
                      "FUNCTION y = a * (m[0, 1] * 10 + m[1, 1]) + z;\n"
                      "DATA;\n1 1\n",
                      1));
    double predicted = 0;
    ASSERT_TRUE(runObservation(0, nullptr, &predicted, nullptr));
    EXPECT_EQ(valueOf("z"), 5.0);
    EXPECT_EQ(predicted, (1 + 3) * 10 + 2 + 5.0);
}

}  // namespace
