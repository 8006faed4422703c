// Expression evaluator: operators, power rules, no short-circuit, assignment forms,
// increments and array addressing with its subscript messages.
#include <cmath>

#include "exec_fixture.h"

namespace {

class Operators : public ExecFixture {};

TEST_F(Operators, ArithmeticComparisonAndLogicTable)
{
    struct Case { int kind; double l, r, expected; };
    const Case cases[] = {
        {NODE_ADD, 2, 3, 5},      {NODE_SUB, 2, 3, -1},    {NODE_MUL, 2, -3, -6},
        {NODE_DIV, 7, 2, 3.5},    {NODE_MOD, 7.5, 2, 1.5}, {NODE_MOD, -7.5, 2, -1.5},
        {NODE_COMMA, 1, 9, 9},    {NODE_LT, 1, 2, 1},      {NODE_LT, 2, 2, 0},
        {NODE_LE, 2, 2, 1},       {NODE_GT, 3, 2, 1},      {NODE_GE, 1, 2, 0},
        {NODE_EQ, 0.1, 0.1, 1},   {NODE_NE, 1, 1, 0},      {NODE_AND, 2, -1, 1},
        {NODE_AND, 2, 0, 0},      {NODE_OR, 0, 0, 0},      {NODE_OR, 0, 0.5, 1},
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(operatorsEvaluate(bin(c.kind, num(c.l), num(c.r))), c.expected)
            << "kind " << c.kind << " with " << c.l << ", " << c.r;
    }
    EXPECT_EQ(operatorsEvaluate(unary(NODE_NEG, num(4))), -4.0);
    EXPECT_EQ(operatorsEvaluate(unary(NODE_NOT, num(0))), 1.0);
    EXPECT_EQ(operatorsEvaluate(unary(NODE_NOT, num(-3))), 0.0);
    EXPECT_EQ(operatorsEvaluate(node(NODE_END)), 0.0);
    EXPECT_FALSE(runFailed);
}

TEST_F(Operators, PowerRulesInTheirOrder)
{
    struct Case { double l, r, expected; bool fails; };
    const Case cases[] = {
        {-8, 3, -512, false},         // whole exponent 3, no pow
        {-3, 2, 9, false},
        {0, 0, 1, false},             // 0 ** 0 is 1
        {-2, 0, 1, false},
        {-2, 20, 1048576, false},     // repeated multiplication up to 20
        {-2, 21, 0, true},            // beyond 20 with a negative base
        {-2, -1, 0, true},            // negative whole exponent
        {-8, 1.0 / 3.0, 0, true},
        {2, 0.5, std::sqrt(2.0), false},
        {2, -2, 0.25, false},
    };
    for (const Case& c : cases) {
        runFailed = false;
        listingClear();
        EXPECT_DOUBLE_EQ(operatorsEvaluate(bin(NODE_POW, num(c.l), num(c.r))), c.expected)
            << c.l << " ** " << c.r;
        EXPECT_EQ(runFailed, c.fails) << c.l << " ** " << c.r;
    }
    runFailed = false;
    listingClear();
    operatorsEvaluate(bin(NODE_POW, num(-2), num(-1)));
    EXPECT_EQ(screenText(), "Error: Raising negative value (-2) to power (-1)\n");
}

TEST_F(Operators, DivisionAndModuloByZeroReportAndYieldZero)
{
    Symbol* x = work("x", 5);
    EXPECT_EQ(operatorsEvaluate(bin(NODE_DIV, var(x), num(0))), 0.0);
    EXPECT_TRUE(runFailed);
    EXPECT_TRUE(stopRequested);
    EXPECT_EQ(operatorsEvaluate(bin(NODE_MOD, num(3), num(0))), 0.0);
    EXPECT_EQ(screenText(), "Error: Attempted division of 5 by zero\nError: Modulo 0 attempted\n");
}

TEST_F(Operators, LogicalOperatorsAndConditionalEvaluateBothSides)
{
    // y = (x > 3) || (z = 1) assigns z although the left side is already true.
    Symbol* x = work("x", 5);
    Symbol* z = work("z", 0);
    operatorsEvaluate(bin(NODE_OR, bin(NODE_GT, var(x), num(3)), assign(NODE_ASSIGN, var(z), num(1))));
    EXPECT_EQ(val(z), 1.0);

    // c ? a / b : 0 with c = 0 still reports the division.
    Symbol* b = work("b", 0);
    double v = operatorsEvaluate(cond(num(0), bin(NODE_DIV, num(1), var(b)), num(7)));
    EXPECT_EQ(v, 7.0);
    EXPECT_TRUE(runFailed);
    EXPECT_EQ(screenText(), "Error: Attempted division of 1 by zero\n");

    runFailed = false;
    Symbol* n = work("n", 0);
    EXPECT_EQ(operatorsEvaluate(cond(num(2), assign(NODE_POSTINC, var(n), nullptr),
                            assign(NODE_PREINC, var(n), nullptr))), 0.0);
    EXPECT_EQ(val(n), 2.0);
}

TEST_F(Operators, AssignmentFormsAndIncrements)
{
    Symbol* x = work("x", 10);
    EXPECT_EQ(operatorsEvaluate(assign(NODE_ADD_ASSIGN, var(x), num(5))), 15.0);
    EXPECT_EQ(operatorsEvaluate(assign(NODE_SUB_ASSIGN, var(x), num(3))), 12.0);
    EXPECT_EQ(operatorsEvaluate(assign(NODE_MUL_ASSIGN, var(x), num(2))), 24.0);
    EXPECT_EQ(operatorsEvaluate(assign(NODE_DIV_ASSIGN, var(x), num(8))), 3.0);
    EXPECT_EQ(operatorsEvaluate(assign(NODE_POSTINC, var(x), nullptr)), 3.0);
    EXPECT_EQ(val(x), 4.0);
    EXPECT_EQ(operatorsEvaluate(assign(NODE_PREINC, var(x), nullptr)), 5.0);
    EXPECT_EQ(operatorsEvaluate(assign(NODE_POSTDEC, var(x), nullptr)), 5.0);
    EXPECT_EQ(operatorsEvaluate(assign(NODE_PREDEC, var(x), nullptr)), 3.0);
    EXPECT_FALSE(runFailed);

    // a = b = 0 assigns both; the value of an assignment is the value stored.
    Symbol* a = work("a", 1);
    Symbol* b = work("b", 1);
    EXPECT_EQ(operatorsEvaluate(assign(NODE_ASSIGN, var(a), assign(NODE_ASSIGN, var(b), num(0)))), 0.0);
    EXPECT_EQ(val(a) + val(b), 0.0);

    // x /= 0 leaves x alone and reports its own words.
    val(x) = 6;
    EXPECT_EQ(operatorsEvaluate(assign(NODE_DIV_ASSIGN, var(x), num(0))), 0.0);
    EXPECT_EQ(val(x), 6.0);
    EXPECT_TRUE(runFailed);
    EXPECT_EQ(screenText(), "Error: Attempted division by zero\n");
}

TEST_F(Operators, OneSubscriptArraysTruncateAndCheck)
{
    Symbol* a = array("A", 3);
    elem(a)[0] = 10;
    elem(a)[2] = 12;
    struct Case { double subscript; double expected; bool fails; };
    const Case cases[] = {{2.7, 12, false}, {-0.4, 10, false}, {3, 10, true}, {-1, 10, true},
                          {1e30, 10, true}, {NAN, 10, true}};
    for (const Case& c : cases) {
        runFailed = false;
        EXPECT_EQ(operatorsEvaluate(element(a, num(c.subscript))), c.expected) << c.subscript;
        EXPECT_EQ(runFailed, c.fails) << c.subscript;
    }
    listingClear();
    operatorsEvaluate(element(a, num(3)));
    EXPECT_EQ(screenText(), "Error: Subscript value of 3 is invalid for A\n");

    // A bad subscript on the left of an assignment still writes inside the array.
    runFailed = false;
    operatorsEvaluate(assign(NODE_ASSIGN, element(a, num(7)), num(99)));
    EXPECT_EQ(elem(a)[0], 99.0);
}

TEST_F(Operators, TwoSubscriptArraysAreRowMajor)
{
    Symbol* b = array("B", 2, 3);
    operatorsEvaluate(assign(NODE_ASSIGN, element(b, num(1), num(2)), num(5)));
    EXPECT_EQ(elem(b)[1 * 3 + 2], 5.0);
    EXPECT_FALSE(runFailed);

    // B[1, 3] reports the second subscript and uses B[1, 0].
    elem(b)[3] = 42;
    EXPECT_EQ(operatorsEvaluate(element(b, num(1), num(3))), 42.0);
    EXPECT_EQ(screenText(), "Error: Subscript value of 3 is invalid for B\n");

    // Both subscripts bad: two messages, element 0.
    listingClear();
    elem(b)[0] = 7;
    EXPECT_EQ(operatorsEvaluate(element(b, num(-1), num(9))), 7.0);
    EXPECT_EQ(screenText(), "Error: Subscript value of -1 is invalid for B\n"
                            "Error: Subscript value of 9 is invalid for B\n");

    // Both subscripts are evaluated before the first one is checked.
    listingClear();
    operatorsEvaluate(element(b, num(5), bin(NODE_DIV, num(1), num(0))));
    EXPECT_EQ(screenText(), "Error: Attempted division of 1 by zero\n"
                            "Error: Subscript value of 5 is invalid for B\n");
}

TEST_F(Operators, SubscriptSideEffectsHappenOnce)
{
    Symbol* a = array("A", 4);
    Symbol* i = work("i", 1);
    operatorsEvaluate(assign(NODE_ASSIGN, element(a, assign(NODE_POSTINC, var(i), nullptr)), num(3)));
    EXPECT_EQ(val(i), 2.0);
    EXPECT_EQ(elem(a)[1], 3.0);
    operatorsEvaluate(assign(NODE_ADD_ASSIGN, element(a, assign(NODE_PREDEC, var(i), nullptr)), num(1)));
    EXPECT_EQ(val(i), 1.0);
    EXPECT_EQ(elem(a)[1], 4.0);
    EXPECT_EQ(operatorsEvaluate(element(a, assign(NODE_POSTINC, var(i), nullptr))), 4.0);
    EXPECT_EQ(val(i), 2.0);
}

TEST_F(Operators, ScalarWithSubscriptStaysInsideItsValue)
{
    Symbol* s = work("s", 8);
    EXPECT_EQ(operatorsEvaluate(element(s, num(0))), 8.0);
    EXPECT_FALSE(runFailed);
    EXPECT_EQ(operatorsEvaluate(element(s, num(2))), 8.0);
    EXPECT_TRUE(runFailed);
}

TEST_F(Operators, ParsingOnlyNodesAreReportedNotCrashed)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(operatorsEvaluate(bin(NODE_ADD, num(1), str("text"))), 1.0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "op = 34\n");
    EXPECT_TRUE(runFailed);
    EXPECT_EQ(screenText(), "Error: Invalid item in expression tree\n");

    listingClear();
    EXPECT_EQ(elementAddress(fitted(), num(1)), nullptr);
    EXPECT_EQ(screenText(), "Error: Invalid token type for lvalue\n");
}

TEST_F(Operators, ErrorInsideExpressionFinishesTheRest)
{
    // (1 / 0) + (k = 4): the assignment still happens and the sum uses 0.
    Symbol* k = work("k", 0);
    double v = operatorsEvaluate(bin(NODE_ADD, bin(NODE_DIV, num(1), num(0)),
                            assign(NODE_ASSIGN, var(k), num(4))));
    EXPECT_EQ(v, 4.0);
    EXPECT_EQ(val(k), 4.0);
    EXPECT_TRUE(runFailed);
}

}  // namespace
