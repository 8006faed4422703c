// Expression parser: trees as text dumps, precedence and associativity, name resolution,
// call checks, constant folding and the error messages with their lines.
#include "lang/compiler.h"
#include "lang/lexer.h"
#include "lang/linesource.h"
#include "lang/options.h"
#include "lang/parser.h"
#include "lang/symbols.h"
#include "support/listing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

const char* const DECLARATIONS =
    "VARIABLES x, y;\n"
    "PARAMETERS a, b, c;\n"
    "DOUBLE w, t, arr[5], m[2,3];\n"
    "CONSTANT k = 3;\n";
constexpr int DECLARATION_STATEMENTS = 4;

struct Parsed {
    std::string tree;                   // dump, or "<fail>"
    std::vector<std::string> errors;    // "Error: ..." screen lines
    std::vector<std::string> headers;   // the "  %4d: text" lines before them
};

class ParserTest : public ::testing::Test {
protected:
    TextLines lines;
    std::string text;
    LineSource lineSource;

    void TearDown() override
    {
        exprSetFoldHook(nullptr);
        compilerReleaseAll();
        listingClear();
    }

    // Starts a compile of the declarations followed by source; the reader then stands
    // at the first token of source.
    void start(const std::string& source)
    {
        compilerReleaseAll();
        settingsReset();
        listingClear();
        compileErrorReset();
        text = std::string(DECLARATIONS) + source + "\n";
        lineSource = lineSourceFromText(lines, text.data(), text.size());
        lexerReset(&lineSource);
        symbolsCreateSystemVariables();
        for (int i = 0; i < DECLARATION_STATEMENTS; i++)
            compileStatement();
    }

    Parsed collect(const ExprNode* tree)
    {
        Parsed result;
        result.tree = tree ? exprDump(tree) : "<fail>";
        for (ListingLine* line = listingHead(); line; line = line->next) {
            std::string s = line->text;
            if (s.rfind("Error: ", 0) == 0)
                result.errors.push_back(s);
            else
                result.headers.push_back(s);
        }
        return result;
    }

    Parsed parse(const std::string& expression, bool allowComma = true)
    {
        start(expression);
        return collect(parseExpression(allowComma, false));
    }
};

struct TreeCase {
    const char* expression;
    const char* tree;
};

TEST_F(ParserTest, TreesFollowPrecedenceAndFolding)
{
    const TreeCase cases[] = {
        {"a - b - c", "(- (- a b) c)"},
        {"a ** 3 ** 2", "(** a 9)"},
        {"a ** b ** c", "(** a (** b c))"},
        {"a ^ 2", "(** a 2)"},
        {"2 * -3", "-6"},
        {"-2 ** 2", "4"},
        {"-a ** 2", "(** (neg a) 2)"},
        {"+a", "a"},
        {"a + b * x", "(+ a (* b x))"},
        {"(a + b) * x", "(* (+ a b) x)"},
        {"w = t = 0", "(= w (= t 0))"},
        {"w = a, b", "(, (= w a) b)"},
        {"w = 3 ? 4 : 5", "(= w 4)"},
        {"x > 0 ? a : b", "(? (> x 0) a b)"},
        {"x ? a : y ? b : c", "(? x a (? y b c))"},
        {"!x && a || b", "(|| (&& (! x) a) b)"},
        {"x == 1 != y < 2", "(!= (== x 1) (< y 2))"},
        {"x <= 1 >= y > 2", "(> (>= (<= x 1) y) 2)"},
        {"k * x", "(* 3 x)"},
        {"PI * x", "(* 3.14159265358979 x)"},
        {"pi", "3.14159265358979"},
        {"arr[1] + m[1,2]", "(+ arr[1] m[(, 1 2)])"},
        {"arr[1+1]", "arr[(+ 1 1)]"},
        {"x++", "(post++ x)"},
        {"a--", "(post-- a)"},
        {"++w", "(++pre w)"},
        {"--arr[2]", "(--pre arr[2])"},
        {"w += 2", "(+= w 2)"},
        {"w -= 2", "(-= w 2)"},
        {"w *= 2", "(*= w 2)"},
        {"w /= 2", "(/= w 2)"},
        {"MAX(1 2)", "call20(1 2)"},
        {"max(x, y)", "call20(x y)"},
        {"RANDOM()", "call57()"},
        {"PRINTF(\"v=%g\", x)", "call58(\"v=%g\" x)"},
        {"2 + 3 * 4", "14"},
        {"7 % 4", "3"},
        {"-7.5 % 2", "-1.5"},
        {"2 ** 0.5", "1.4142135623731"},
        {"(-8) ** (1 / 3)", "(** -8 0.333333333333333)"},   // not finite: left to the run, which reports it
        {"1e308 * 10", "(* 1e+308 10)"},
        {"1 < 2", "1"},
        {"2 <= 1", "0"},
        {"3 == 3", "1"},
        {"3 != 3", "0"},
        {"2 && 0", "0"},
        {"0 || 5", "1"},
        {"!0", "1"},
        {"!7", "0"},
        {"0 ? 1 : 2", "2"},
        {"", "<end>"},
    };
    for (const TreeCase& row : cases) {
        Parsed parsed = parse(row.expression);
        EXPECT_EQ(parsed.tree, row.tree) << row.expression;
        EXPECT_TRUE(parsed.errors.empty()) << row.expression << ": " << testing::PrintToString(parsed.errors);
    }
}

struct ErrorCase {
    const char* expression;
    const char* message;
};

TEST_F(ParserTest, ErrorsAreReportedOnceWithTheirLine)
{
    const ErrorCase cases[] = {
        {"w = (a, b)", "Missing right parenthesis"},
        {"x = 1", "Input variables may not be assigned values"},
        {"a = 1", "Parameters may not be assigned values"},
        {"w = ", "Invalid syntax"},
        {"a +", "Syntax error"},
        {"a * * b", "Syntax error"},
        {"x ? a b", "Syntax error"},
        {"SQR(2)", "Unrecognized function name: SQR"},
        {"MAX(1)", "Incorrect number of arguments for function"},
        {"RANDOM(1)", "Incorrect number of arguments for function"},
        {"SIN(\"a\")", "Invalid argument to function"},
        {"MAX(1, 2", "Missing right parenthesis"},
        {"arr", "Array variable does not have a subscript: arr"},
        {"arr[1,2]", "Array variable should have only single subscript: arr"},
        {"m[1]", "Array variable should have two subscripts: m"},
        {"arr[1", "Missing right bracket for subscript"},
        {"++3", "Invalid use of ++ operator"},
        {"--k", "Invalid use of -- operator"},
        {"(a+b)--", "Invalid use of -- operator"},
        {"- -x", "Syntax error"},
    };
    for (const ErrorCase& row : cases) {
        Parsed parsed = parse(row.expression);
        EXPECT_EQ(parsed.tree, "<fail>") << row.expression;
        ASSERT_EQ(parsed.errors.size(), 1u) << row.expression << ": " << testing::PrintToString(parsed.errors);
        EXPECT_EQ(parsed.errors[0], std::string("Error: ") + row.message) << row.expression;
        ASSERT_EQ(parsed.headers.size(), 1u) << row.expression;
        EXPECT_EQ(parsed.headers[0], std::string("     5: ") + row.expression) << row.expression;
    }
}

TEST_F(ParserTest, DivisionByZeroIsFoldedToZeroWithAnError)
{
    for (const char* expression : {"1 / 0", "5 % 0", "w = 2 * (1 / (3 - 3))"}) {
        Parsed parsed = parse(expression);
        EXPECT_NE(parsed.tree, "<fail>") << expression;
        ASSERT_EQ(parsed.errors.size(), 1u) << expression;
        EXPECT_EQ(parsed.errors[0], "Error: Division by zero");
    }
    EXPECT_EQ(parse("w = 2 * (1 / (3 - 3))").tree, "(= w 0)");
}

TEST_F(ParserTest, UndefinedNameIsReportedOnceAndParsingGoesOn)
{
    Parsed parsed = parse("zz + zz * ZZ");
    EXPECT_EQ(parsed.tree, "(+ zz (* zz zz))");
    EXPECT_EQ(parsed.errors, std::vector<std::string>{"Error: Undefined variable name: zz"});
    Symbol* placeholder = findSymbol("zz");
    ASSERT_NE(placeholder, nullptr);
    EXPECT_EQ(placeholder->kind, SYM_PLACEHOLDER);
}

TEST_F(ParserTest, CommaLevelOnlyWhenAllowed)
{
    start("w = a, b;");
    ExprNode* tree = parseExpression(false, false);
    EXPECT_EQ(exprDump(tree), "(= w a)");
    Token* token = nextToken();
    EXPECT_EQ(token->kind, TOK_COMMA);   // left for the caller
    freeToken(token);
}

TEST_F(ParserTest, ReferencesAreMarked)
{
    start("a * x + w;");
    ASSERT_NE(parseExpression(true, false), nullptr);
    EXPECT_EQ(findSymbol("a")->flags, (unsigned)SYMF_REFERENCED);
    EXPECT_EQ(findSymbol("b")->flags, 0u);
    ExprNode* tree = parseExpression(true, true);   // the ';' gives an empty expression
    EXPECT_EQ(exprDump(tree), "<end>");

    start("a * x");
    ASSERT_NE(parseExpression(true, true), nullptr);
    EXPECT_EQ(findSymbol("a")->flags, (unsigned)(SYMF_REFERENCED | SYMF_IN_FUNCTION));
    EXPECT_EQ(findSymbol("x")->flags, (unsigned)(SYMF_REFERENCED | SYMF_IN_FUNCTION));
}

TEST_F(ParserTest, AssignmentTargetsAreFlaggedWritten)
{
    start("w = arr[2]++");
    ExprNode* tree = parseExpression(true, false);
    ASSERT_NE(tree, nullptr);
    EXPECT_TRUE(tree->left->nodeFlags & NODEF_WRITTEN);
    EXPECT_FALSE(tree->right->nodeFlags & NODEF_WRITTEN);
    EXPECT_TRUE(tree->right->left->nodeFlags & NODEF_WRITTEN);
}

TEST_F(ParserTest, CallsTakeTheTableFlags)
{
    start("PRINTF(\"%g\", RANDOM())");
    ExprNode* tree = parseExpression(true, false);
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(tree->kind, NODE_CALL);
    EXPECT_EQ(tree->nodeFlags, (unsigned)(NODEF_NO_FOLD | NODEF_STRINGS));
    EXPECT_EQ(tree->firstArg->kind, NODE_STRING);
    EXPECT_EQ(tree->firstArg->nextArg->nodeFlags, (unsigned)NODEF_NO_FOLD);
}

TEST_F(ParserTest, ParseConstant)
{
    start("2 * k + 1;");
    EXPECT_EQ(parseConstant(), 7.0);
    EXPECT_EQ(compileErrorCount(), 0);

    start("x + 1;");
    EXPECT_EQ(parseConstant(), 0.0);
    Parsed parsed = collect(nullptr);
    EXPECT_EQ(parsed.errors, std::vector<std::string>{"Error: Only a constant expression may be specified."});
}

// A stand-in for the run-time definitions: SQRT and MAX, with a domain error.
bool testFoldHook(int function, const double* args, int argCount, const SourceLine* line, double* value)
{
    if (function == 10) {
        if (args[0] < 0) {
            compileError(line, "Attempt to take square root of negative number");
            *value = 0.0;
            return true;
        }
        *value = std::sqrt(args[0]);
        return true;
    }
    if (function == 20 && argCount == 2) {
        *value = args[0] > args[1] ? args[0] : args[1];
        return true;
    }
    return false;
}

TEST_F(ParserTest, CallsFoldThroughTheHook)
{
    exprSetFoldHook(testFoldHook);
    const TreeCase cases[] = {
        {"SQRT(4)", "2"},
        {"sqrt(2 * 8) + x", "(+ 4 x)"},
        {"MAX(1 + 1, SQRT(9))", "3"},
        {"MAX(x, 2)", "call20(x 2)"},
        {"SIN(1)", "call9(1)"},            // the hook declines: stays a call
        {"RANDOM()", "call57()"},
        {"PRINTF(\"%g\", 1)", "call58(\"%g\" 1)"},
    };
    for (const TreeCase& row : cases) {
        Parsed parsed = parse(row.expression);
        EXPECT_EQ(parsed.tree, row.tree) << row.expression;
        EXPECT_TRUE(parsed.errors.empty()) << row.expression;
    }
    Parsed parsed = parse("w = SQRT(-1)");
    EXPECT_EQ(parsed.tree, "(= w 0)");
    EXPECT_EQ(parsed.errors, std::vector<std::string>{"Error: Attempt to take square root of negative number"});
}

TEST_F(ParserTest, PiAndConstantsAgainstDeclaredNames)
{
    start("");
    lexerReset(nullptr);
    compilerReleaseAll();

    text = "VARIABLES PI;\nPI * x\n";
    TextLines textLines;
    LineSource source = lineSourceFromText(textLines, text.data(), text.size());
    lexerReset(&source);
    symbolsCreateSystemVariables();
    defineSymbol("x", SYM_WORK, nullptr);
    compileStatement();
    EXPECT_EQ(exprDump(parseExpression(true, false)), "(* 3.14159265358979 x)");
    compilerReleaseAll();

    text = "CONSTANT PI = 3;\nPI * 2\n";
    source = lineSourceFromText(textLines, text.data(), text.size());
    lexerReset(&source);
    symbolsCreateSystemVariables();
    compileStatement();
    EXPECT_EQ(exprDump(parseExpression(true, false)), "6");
    compilerReleaseAll();
}

} // namespace
