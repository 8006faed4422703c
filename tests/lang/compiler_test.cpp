// Statement compiler: generated code for whole programs, control flow, segments, the
// loop limit, error recovery with exact messages and lines, and release of all blocks.
#include "exec/interpreter.h"
#include "lang/compiler.h"
#include "lang/data.h"
#include "lang/linesource.h"
#include "lang/options.h"
#include "lang/parser.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/listing.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Compiled {
    Instruction* entry;                 // null when the compile failed
    std::string code;                   // codeDump of the result
    std::vector<std::string> screen;    // screen listing lines
    int errors;                         // compile errors counted
};

class CompilerTest : public ::testing::Test {
protected:
    TextLines lines;
    std::string text;

    void TearDown() override
    {
        compilerReleaseAll();
        listingClear();
    }

    Compiled compile(const std::string& program)
    {
        compilerReleaseAll();
        settingsReset();
        listingClear();
        text = program;
        LineSource source = lineSourceFromText(lines, text.data(), text.size());
        Compiled result;
        result.entry = compileProgram(&source);
        result.code = codeDump(result.entry);
        for (ListingLine* line = listingHead(); line; line = line->next)
            result.screen.push_back(line->text);
        result.errors = compileErrorCount();
        return result;
    }

    // The error lines of the screen listing: each "  %4d: text" header joined to its message.
    static std::vector<std::string> errorsOf(const Compiled& compiled)
    {
        std::vector<std::string> out;
        std::string header;
        for (const std::string& line : compiled.screen) {
            if (line.rfind("Error: ", 0) == 0) {
                out.push_back(header.empty() ? line : header + " | " + line);
                header.clear();
            } else {
                header = line;
            }
        }
        return out;
    }
};

const char* const HEADER = "VARIABLES x, y;\nPARAMETERS a, b;\n";

TEST_F(CompilerTest, StraightLineProgram)
{
    Compiled c = compile(std::string(HEADER) + "DOUBLE t;\nt = a * x;\nFUNCTION y = t + b;\n");
    ASSERT_NE(c.entry, nullptr) << testing::PrintToString(c.screen);
    EXPECT_EQ(c.code,
              "0 LINE 4\n"
              "1 EXPR (= t (* a x))\n"
              "2 LINE 5\n"
              "3 FUNCTION y (+ t b)\n"
              "4 STOP\n");
    EXPECT_EQ(dependentVariable, findSymbol("Y"));
    EXPECT_FALSE(settings.functionMinimization);
}

TEST_F(CompilerTest, IfElseWithAndWithoutParentheses)
{
    Compiled c = compile(std::string(HEADER) + "DOUBLE w;\nif (x > 0) w = 1; else w = 2;\nif x > 0 w = 3;\nFUNCTION y = a + b*w;\n");
    ASSERT_NE(c.entry, nullptr) << testing::PrintToString(c.screen);
    EXPECT_EQ(c.code,
              "0 LINE 4\n"
              "1 JUMP_IF_FALSE (> x 0) ->5\n"
              "2 LINE 4\n"
              "3 EXPR (= w 1)\n"
              "4 JUMP ->7\n"
              "5 LINE 4\n"
              "6 EXPR (= w 2)\n"
              "7 LINE 5\n"
              "8 JUMP_IF_FALSE (> x 0) ->11\n"
              "9 LINE 5\n"
              "10 EXPR (= w 3)\n"
              "11 LINE 6\n"
              "12 FUNCTION y (+ a (* b w))\n"
              "13 STOP\n");
}

TEST_F(CompilerTest, LoopsPatchBreakAndContinue)
{
    Compiled c = compile(std::string(HEADER) +
                         "DOUBLE i;\n"
                         "while (i < 10) { i++; if (i == 5) break; }\n"
                         "for (i = 0; i < 3; i++) { continue; }\n"
                         "do i--; while (i > 0)\n"
                         "for (;;) break;\n"
                         "FUNCTION y = a + b*x;\n");
    ASSERT_NE(c.entry, nullptr) << testing::PrintToString(c.screen);
    EXPECT_EQ(c.code,
              "0 LINE 4\n"
              "1 JUMP_IF_FALSE (< i 10) ->8\n"
              "2 LINE 4\n"
              "3 EXPR (post++ i)\n"
              "4 LINE 4\n"
              "5 JUMP_IF_FALSE (== i 5) ->7\n"
              "6 JUMP ->8\n"
              "7 JUMP ->0\n"
              "8 LINE 5\n"
              "9 EXPR (= i 0)\n"
              "10 LINE 5\n"
              "11 JUMP_IF_FALSE (< i 3) ->16\n"
              "12 JUMP ->13\n"
              "13 LINE 5\n"
              "14 EXPR (post++ i)\n"
              "15 JUMP ->10\n"
              "16 LINE 6\n"
              "17 LINE 6\n"
              "18 EXPR (post-- i)\n"
              "19 LINE 6\n"
              "20 JUMP_IF_FALSE (> i 0) ->22\n"
              "21 JUMP ->16\n"
              "22 LINE 7\n"
              "23 EXPR <end>\n"
              "24 LINE 7\n"
              "25 JUMP_IF_FALSE 1 ->30\n"
              "26 JUMP ->30\n"
              "27 LINE 7\n"
              "28 EXPR <end>\n"
              "29 JUMP ->24\n"
              "30 LINE 8\n"
              "31 FUNCTION y (+ a (* b x))\n"
              "32 STOP\n");
}

TEST_F(CompilerTest, TwoLoopsEachBreakLeavesItsOwn)
{
    Compiled c = compile(std::string(HEADER) +
                         "DOUBLE i;\n"
                         "for (;;) { while (1) break; break; }\n"
                         "FUNCTION y = a + b*x;\n");
    ASSERT_NE(c.entry, nullptr);
    EXPECT_EQ(c.code,
              "0 LINE 4\n"
              "1 EXPR <end>\n"
              "2 LINE 4\n"
              "3 JUMP_IF_FALSE 1 ->12\n"
              "4 LINE 4\n"
              "5 JUMP_IF_FALSE 1 ->8\n"
              "6 JUMP ->8\n"
              "7 JUMP ->4\n"
              "8 JUMP ->12\n"
              "9 LINE 4\n"
              "10 EXPR <end>\n"
              "11 JUMP ->2\n"
              "12 LINE 5\n"
              "13 FUNCTION y (+ a (* b x))\n"
              "14 STOP\n");
}

TEST_F(CompilerTest, CodeSegmentsAreLinkedByJumps)
{
    // Each statement emits LINE and EXPR: 300 of them cross the 499-slot boundary, and
    // an IF whose body spans the boundary jumps into the second segment.
    std::string program = std::string(HEADER) + "DOUBLE w;\nif (x) {\n";
    for (int i = 0; i < 300; i++)
        program += "w = " + std::to_string(i) + ";\n";
    program += "}\nFUNCTION y = a + b*x;\n";
    Compiled c = compile(program);
    ASSERT_NE(c.entry, nullptr);
    std::vector<std::string> code;
    size_t start = 0;
    for (size_t end; (end = c.code.find('\n', start)) != std::string::npos; start = end + 1)
        code.push_back(c.code.substr(start, end - start));
    ASSERT_EQ(code.size(), 2u + 600u + 1u + 3u);
    EXPECT_EQ(code[1], "1 JUMP_IF_FALSE x ->603");
    EXPECT_EQ(code[498], "498 LINE 253");
    EXPECT_EQ(code[499], "499 JUMP ->500");
    EXPECT_EQ(code[500], "500 EXPR (= w 248)");
    EXPECT_EQ(code[603], "603 LINE 306");
    EXPECT_EQ(code[605], "605 STOP");
    // The link slot really points at the first slot of the next segment.
    Instruction* link = c.entry + 499;
    EXPECT_EQ(link->opcode, OP_JUMP);
    EXPECT_EQ(static_cast<Instruction*>(link->operand1)->opcode, OP_EXPR);
    EXPECT_NE(static_cast<Instruction*>(link->operand1), c.entry + 500);
}

TEST_F(CompilerTest, LoopNestingLimit)
{
    auto nested = [](int depth) {
        std::string program = std::string(HEADER);
        for (int i = 0; i < depth; i++)
            program += "while (1)\n";
        return program + ";\nFUNCTION y = a + b*x;\n";
    };
    Compiled ok = compile(nested(MAX_LOOP_DEPTH));
    EXPECT_NE(ok.entry, nullptr) << testing::PrintToString(ok.screen);
    Compiled deep = compile(nested(MAX_LOOP_DEPTH + 1));
    EXPECT_EQ(deep.entry, nullptr);
    EXPECT_EQ(errorsOf(deep), std::vector<std::string>{"    32: while (1) | Error: Statements are nested too deeply"});

    std::string dos = std::string(HEADER);
    for (int i = 0; i <= MAX_LOOP_DEPTH; i++)
        dos += "do\n";
    dos += ";";
    for (int i = 0; i <= MAX_LOOP_DEPTH; i++)
        dos += " while (0)";
    Compiled deepDo = compile(dos + "\nFUNCTION y = a + b*x;\n");
    EXPECT_EQ(deepDo.entry, nullptr);
    ASSERT_FALSE(errorsOf(deepDo).empty());
    EXPECT_EQ(errorsOf(deepDo)[0], "    32: do | Error: Statements are nested too deeply");
}

struct ErrorCase {
    const char* body;                       // statements from line 4 on
    std::vector<std::string> errors;        // header | message
};

TEST_F(CompilerTest, StatementErrorsWithTheirLines)
{
    const ErrorCase cases[] = {
        {"x = 1;", {"     4: x = 1; | Error: Input variables may not be assigned values"}},
        {"break;", {"     4: break; | Error: BREAK statement is not in range of WHILE or FOR statment."}},
        {"continue;", {"     4: continue; | Error: CONTINUE statement is not in range of WHILE or FOR statment."}},
        {"else t = 1;", {"     4: else t = 1; | Error: This ELSE is not within an IF statement"}},
        {"}", {"     4: } | Error: There is no matching open brace for this close brace"}},
        {"! t;", {"     4: ! t; | Error: Misuse of '!' character (comments begin with '//')"}},
        {"grid;", {"     4: grid; | Error: Unrecognized statement"}},
        {"1 2;", {"     4: 1 2; | Error: Syntax error (missing DATA statement?)", "     4: 1 2; | Error: Syntax error"}},
        {"t = 1\nt = 2;", {"     5: t = 2; | Error: Semicolon missing at end of previous statement"}},
        {"t = 1 )", {"     4: t = 1 ) | Error: Syntax error"}},
        {"while t > 0;", {"     4: while t > 0; | Error: Missing left parenthesis"}},
        {"do ; until (t);", {"     4: do ; until (t); | Error: Expected keyword WHILE"}},
        {"do ; while t;", {"     4: do ; while t; | Error: Missing left parenthesis"}},
        {"for t = 0;", {"     4: for t = 0; | Error: Missing left parenthesis"}},
        {"for (; t) ;", {"     4: for (; t) ; | Error: Syntax error"}},
        {"for (;; t;", {"     4: for (;; t; | Error: Missing right parenthesis"}},
        {"stop", {"     4: stop | Error: Missing semicolon at end of statement"}},
        {"FUNCTION a = x;", {"     4: FUNCTION a = x; | Error: A parameter may not be used as dependent variable: a"}},
        {"FUNCTION y = a*x;\nFUNCTION x = a;", {"     5: FUNCTION x = a; | Error: A different dependent variable was used in an earlier MODEL"}},
        {"FUNCTION y = a*x )", {"     4: FUNCTION y = a*x ) | Error: Invalid Function expression syntax"}},
        {"FUNCTION y = a*x\nDOUBLE u;", {"     4: FUNCTION y = a*x | Error: Missing semicolon at end of statement"}},
        {"{ t = 1;", {"     4: { t = 1; | Error: The open brace on line 4 is not properly matched"}},
        {"t = (1;", {"     4: t = (1; | Error: Missing right parenthesis"}},
        {"if (t = ) t = 2;", {"     4: if (t = ) t = 2; | Error: Invalid syntax"}},
        {"VARIABLES z w;", {"     4: VARIABLES z w; | Error: Syntax error"}},
        {"VARIABLES z\nDOUBLE u;", {"     4: VARIABLES z | Error: Missing semicolon at end of statement"}},
    };
    for (const ErrorCase& row : cases) {
        std::string program = std::string("VARIABLES x, y;\nPARAMETERS a;\nDOUBLE t;\n") + row.body + "\n";
        if (std::string(row.body).rfind("FUNCTION", 0) != 0)
            program += "FUNCTION y = a*x;\n";
        Compiled c = compile(program);
        EXPECT_EQ(c.entry, nullptr) << row.body;
        EXPECT_EQ(errorsOf(c), row.errors) << row.body;
        EXPECT_EQ(c.code, "") << row.body;
    }
}

TEST_F(CompilerTest, ManyErrorsAreAllListed)
{
    Compiled c = compile("VARIABLES x, y;\n"
                         "PARAMETERS a;\n"
                         "x = 1;\n"
                         "zz = 2;\n"
                         "zz = 3;\n"
                         "break;\n"
                         "t = 4\n"
                         "FUNCTION y = a * x;\n"
                         "w = (1;\n"
                         "a++;\n"
                         "}\n");
    EXPECT_EQ(c.entry, nullptr);
    EXPECT_EQ(errorsOf(c), (std::vector<std::string>{
                               "     3: x = 1; | Error: Input variables may not be assigned values",
                               "     4: zz = 2; | Error: Undefined variable name: zz",
                               "     6: break; | Error: BREAK statement is not in range of WHILE or FOR statment.",
                               "     7: t = 4 | Error: Undefined variable name: t",
                               "     8: FUNCTION y = a * x; | Error: Semicolon missing at end of previous statement",
                               "     9: w = (1; | Error: Undefined variable name: w",
                               "     9: w = (1; | Error: Missing right parenthesis",
                               "    11: } | Error: There is no matching open brace for this close brace",
                           }));
    EXPECT_EQ(c.errors, 8);
}

TEST_F(CompilerTest, ProgramChecks)
{
    Compiled none = compile("VARIABLES x;\nPARAMETERS a;\nDOUBLE t;\nt = a * x;\n");
    EXPECT_EQ(none.entry, nullptr);
    ASSERT_EQ(errorsOf(none).size(), 1u);
    EXPECT_NE(errorsOf(none)[0].find("Error: Program must have a FUNCTION statement"), std::string::npos);

    Compiled anonymous = compile("VARIABLES x;\nPARAMETERS a, b;\nFUNCTION a*exp(b*x);\n");
    ASSERT_NE(anonymous.entry, nullptr);
    EXPECT_EQ(dependentVariable, nullptr);
    EXPECT_NE(anonymous.code.find("FUNCTION - (* a call5((* b x)))"), std::string::npos) << anonymous.code;

    Compiled minimise = compile("PARAMETERS a, b, unused;\nFUNCTION (a - 1)**2 + (b - 2)**2;\n");
    ASSERT_NE(minimise.entry, nullptr);
    EXPECT_TRUE(settings.functionMinimization);
    EXPECT_EQ(parameterCount, 2);
    EXPECT_EQ(observationCount, 2);
}

TEST_F(CompilerTest, ReleaseLeavesNoLiveBlocks)
{
    compilerReleaseAll();
    listingClear();
    long before = memLiveBlockCount();
    Compiled c = compile("VARIABLES x, y;\n"
                         "PARAMETERS a = 2, b;\n"
                         "DOUBLE t[3] = {1, 2, 3}, m[2,2], s = 4;\n"
                         "CONSTANT k = 2, tab[2] = {5, 6};\n"
                         "for (t[0] = 0; t[0] < k; t[0]++) { if (x > tab[1]) continue; s += PRINTF(\"%g\", x); }\n"
                         "FUNCTION y = a * exp(b * x) + s;\n");
    ASSERT_NE(c.entry, nullptr) << testing::PrintToString(c.screen);
    // Tokens are freed as they are consumed: none is left once the compile is done.
    for (const MemTagGroup& group : memListGroups()) {
        EXPECT_NE(group.tag, "li");
        EXPECT_NE(group.tag, "listr");
    }
    compilerReleaseAll();
    listingClear();
    EXPECT_EQ(memLiveBlockCount(), before) << testing::PrintToString(memFormatGroups());

    // A failed compile releases its code at once and the rest on release.
    Compiled failed = compile("VARIABLES x;\nPARAMETERS a;\nw = \"s\" + (;\nFUNCTION y = a;\n");
    EXPECT_EQ(failed.entry, nullptr);
    for (const MemTagGroup& group : memListGroups()) {
        EXPECT_NE(group.tag, "opcodes");
        EXPECT_NE(group.tag, "opseg");
    }
    compilerReleaseAll();
    listingClear();
    EXPECT_EQ(memLiveBlockCount(), before) << testing::PrintToString(memFormatGroups());
}

TEST_F(CompilerTest, ProgramChecksWithOptions)
{
    // Initial values are pulled inside CONSTRAIN bounds; SWEEPs of eliminated parameters go.
    Compiled c = compile("VARIABLES x, y;\nPARAMETERS p = 5, q, gone;\nCONSTRAIN p = 0, 1;\n"
                         "SWEEP gone = 0, 1, 0.5;\nSWEEP q = 1, 2, 0.5;\nFUNCTION y = p + q*x;\n"
                         "PLOT;\n");
    ASSERT_NE(c.entry, nullptr) << testing::PrintToString(c.screen);
    EXPECT_EQ(findSymbol("p")->value, 1.0);
    EXPECT_EQ(findSymbol("p")->initialValue, 1.0);
    ASSERT_EQ(settings.sweepCount, 1);
    EXPECT_EQ(settings.sweeps[0].parameter, findSymbol("q"));
    ASSERT_NE(plotList, nullptr);
    EXPECT_EQ(plotList->xVar, findSymbol("x"));

    // A function minimisation drops its plots.
    Compiled minimise = compile("PARAMETERS a;\nPLOT;\nNPLOT;\nFUNCTION (a - 3)**2;\n");
    ASSERT_NE(minimise.entry, nullptr) << testing::PrintToString(minimise.screen);
    EXPECT_TRUE(settings.functionMinimization);
    EXPECT_EQ(plotList, nullptr);
}

// Random token soups: every compile ends, failed compiles keep no code, and the release
// leaves no block behind.
TEST_F(CompilerTest, RandomTokenSequencesNeverBreakTheCompiler)
{
    const char* const pieces[] = {
        "VARIABLES", "PARAMETERS", "DOUBLE", "CONSTANT", "FUNCTION", "if", "else", "while", "do",
        "for", "break", "continue", "stop", "DATA", "PLOT", "SWEEP", "CONSTRAIN", "grid", "x", "y",
        "a", "t", "arr", "m", "k", "PI", "SQRT", "MAX", "PRINTF", "1", "2.5", "0", "\"s\"", "(", ")",
        "[", "]", "{", "}", ",", ";", ";", ";", "=", "+=", "++", "--", "+", "-", "*", "/", "%", "**",
        "?", " : ", "&&", "||", "!", "<", "==", "\n", "\n", "/*", "*/", "//",
    };
    const int pieceCount = sizeof pieces / sizeof pieces[0];
    unsigned state = 12345;
    auto next = [&state]() {
        state = state * 1103515245u + 12345u;
        return (state >> 16) & 0x7fff;
    };
    compilerReleaseAll();
    listingClear();
    long before = memLiveBlockCount();
    for (int program = 0; program < 300; program++) {
        std::string text = "VARIABLES x, y;\nPARAMETERS a;\nDOUBLE t, arr[3], m[2,2];\nCONSTANT k = 2;\n";
        int length = 5 + next() % 60;
        for (int i = 0; i < length; i++) {
            text += pieces[next() % pieceCount];
            text += ' ';
        }
        Compiled c = compile(text + "\nFUNCTION y = a*x;\n");
        if (!c.entry) {
            EXPECT_EQ(c.code, "") << text;
        }
    }
    compilerReleaseAll();
    listingClear();
    EXPECT_EQ(memLiveBlockCount(), before) << testing::PrintToString(memFormatGroups());
}

// Pathological nesting and length end in a message, never in a stack overflow.
TEST_F(CompilerTest, NestingAndLengthLimits)
{
    auto parens = [](int depth) {
        std::string text = std::string(HEADER) + "DOUBLE t;\nt =";
        for (int i = 0; i < depth; i++)
            text += i % 100 == 99 ? "(\n" : "(";
        text += "1";
        for (int i = 0; i < depth; i++)
            text += i % 100 == 99 ? ")\n" : ")";
        return text + ";\nFUNCTION y = a + b*x;\n";
    };
    EXPECT_NE(compile(parens(150)).entry, nullptr);
    Compiled deep = compile(parens(100000));
    EXPECT_EQ(deep.entry, nullptr);
    ASSERT_FALSE(errorsOf(deep).empty());
    EXPECT_NE(errorsOf(deep)[0].find("Error: Expression is too complex"), std::string::npos);

    std::string chain = std::string(HEADER) + "DOUBLE t;\nt = 0";
    for (int i = 0; i < 20000; i++)
        chain += i % 50 == 49 ? " + x\n" : " + x";
    Compiled longChain = compile(chain + ";\nFUNCTION y = a + b*x;\n");
    EXPECT_EQ(longChain.entry, nullptr);
    ASSERT_FALSE(errorsOf(longChain).empty());
    EXPECT_NE(errorsOf(longChain)[0].find("Error: Expression is too complex"), std::string::npos);

    std::string braces = std::string(HEADER);
    for (int i = 0; i < 100000; i++)
        braces += i % 100 == 99 ? "{\n" : "{";
    Compiled blocks = compile(braces + "\nFUNCTION y = a + b*x;\n");
    EXPECT_EQ(blocks.entry, nullptr);
    ASSERT_FALSE(errorsOf(blocks).empty());
    EXPECT_NE(errorsOf(blocks)[0].find("Error: Statements are nested too deeply"), std::string::npos);

    std::string ifs = std::string(HEADER) + "DOUBLE t;\n";
    for (int i = 0; i < 400; i++)
        ifs += "if (x > " + std::to_string(i) + ") t = 1; else\n";
    Compiled elseIfs = compile(ifs + "t = 2;\nFUNCTION y = a + b*x;\n");
    EXPECT_NE(elseIfs.entry, nullptr) << testing::PrintToString(errorsOf(elseIfs));
}

// The generated control flow, run by the interpreter: the predicted value tells which
// paths were taken.
TEST_F(CompilerTest, GeneratedControlFlowRuns)
{
    struct Case {
        const char* body;
        double predicted;
    };
    const Case cases[] = {
        {"i = 0; while (i < 10) { i++; if (i == 5) break; } FUNCTION i;", 5},
        {"s = 0; for (i = 0; i < 5; i++) { if (i == 2) continue; s += 10; } FUNCTION s + i;", 45},
        {"i = 0; for (;;) { if (++i >= 7) break; } FUNCTION i;", 7},
        {"i = 10; do i -= 3; while (i > 0) FUNCTION i;", -2},
        {"i = 0; do { i++; if (i < 3) continue; break; } while (1) FUNCTION i;", 3},
        {"if (x > 0) s = 1; else s = 2; FUNCTION s;", 1},
        {"if x < 0 s = 1; else if (x == 3) s = 2; else s = 3; FUNCTION s;", 2},
        {"s = 0; for (i = 0; i < 3; i++) for (j = 0; j < 4; j++) { if (j == 2) break; s++; } FUNCTION s;", 6},
        {"FUNCTION 1; STOP; FUNCTION 2;", 1},
        {"s = 0; for (i = 0; i < 300; i++) { s = s + 1; s = s + 1; } FUNCTION s;", 600},
    };
    for (const Case& row : cases) {
        // The parameter is used in a statement that never runs, so that it is kept.
        std::string program = std::string("VARIABLES x;\nPARAMETERS a;\nDOUBLE i, j, s;\n") + row.body
                              + "\nif (0) FUNCTION a;\n";
        Compiled run = compile(program);
        ASSERT_NE(run.entry, nullptr) << row.body << testing::PrintToString(run.screen);
        RunFrame frame{};
        runReset(&frame);
        double values[1] = {3.0};
        double predicted = 0;
        ASSERT_TRUE(runObservation(&frame, 0, values, &predicted, nullptr)) << row.body;
        runFrameRelease(&frame);
        EXPECT_EQ(predicted, row.predicted) << row.body;
    }
}

TEST(CompilerBatch, CleanProgramExitsWithZero)
{
    MoxelRun run = runMoxel("VARIABLES x, y;\nPARAMETERS a, b;\nFUNCTION y = a + b*x;\nDATA;\n1 2\n2 4.1\n3 5.9\n");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.rfind("RUN option specified\nBeginning computation...\n", 0), 0u) << run.out;
    EXPECT_EQ(splitLines(run.listing).at(2), "   3: FUNCTION y = a + b*x;");
}

// A reserved word where a declaration expects a name: one syntax error and one note for
// the statement, in every declaring statement; a keyword after a complete PARAMETERS list
// without a comma still starts the next statement.
TEST(CompilerBatch, ReservedWordAsANameGivesOneNote)
{
    struct Case {
        const char* declaration;
        const char* word;
    };
    const Case cases[] = {
        {"PARAMETERS a = 1, width = 5;\nDOUBLE q;", "width"},
        {"PARAMETERS width = 5, a = 1;\nDOUBLE q;", "width"},
        {"PARAMETERS a = 1;\nDOUBLE q, grid;", "grid"},
        {"VARIABLES z, title;\nPARAMETERS a = 1;\nDOUBLE q;", "title"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.declaration);
        const MoxelRun run =
            runMoxel(std::string("VARIABLES x, y;\n") + c.declaration + "\nFUNCTION y = a * x;\nDATA;\n1 2\n2 4\n");
        EXPECT_EQ(run.status, 1);
        std::vector<std::string> messages;
        for (const std::string& line : splitLines(run.listing))
            if (line.rfind("Error:", 0) == 0 || line.rfind("Note:", 0) == 0)
                messages.push_back(line);
        // Later statements may fail for the name that is missing; the declaring one says no more.
        if (messages.size() > 2)
            messages.resize(2);
        EXPECT_EQ(messages, (std::vector<std::string>{"Error: Syntax error", std::string("Note: ") + c.word +
                                                          " is a reserved word and cannot be a name: choose "
                                                          "another name."}))
            << run.listing;
        EXPECT_EQ(run.listing.find("Missing semicolon"), std::string::npos) << run.listing;
    }
    const MoxelRun run = runMoxel("VARIABLES x, y;\nPARAMETERS a = 1\nFUNCTION y = a * x;\nDATA;\n1 2\n2 4\n");
    EXPECT_NE(run.listing.find("Error: Missing semicolon at end of statement"), std::string::npos) << run.listing;
    EXPECT_EQ(run.listing.find("reserved"), std::string::npos) << run.listing;
}

TEST(CompilerBatch, ErrorsGoToStandardOutputAndTheListing)
{
    MoxelRun run = runMoxel("VARIABLES x, y;\nPARAMETERS a;\nx = 1;\n\tzz = 2;\nFUNCTION y = a*x;\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "RUN option specified\n"
                       "     3: x = 1;\n"
                       "Error: Input variables may not be assigned values\n"
                       "     4: zz = 2;\n"
                       "Error: Undefined variable name: zz\n");
    EXPECT_EQ(run.listing, "   1: VARIABLES x, y;\n"
                           "   2: PARAMETERS a;\n"
                           "   3: x = 1;\n"
                           "Error: Input variables may not be assigned values\n"
                           "   4:     zz = 2;\n"
                           "Error: Undefined variable name: zz\n"
                           "   5: FUNCTION y = a*x;\n");
}

TEST(CompilerBatch, BuiltinCallsFoldAtCompileTime)
{
    MoxelRun run = runMoxel("PARAMETERS a;\nDOUBLE t;\nt = SQRT(-1);\nFUNCTION (a - t)**2;\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "RUN option specified\n     3: t = SQRT(-1);\n"
                       "Error: Attempt to take square root of negative number\n");
}

TEST(CompilerBatch, WholeProgramChecksAllRun)
{
    // A missing FUNCTION does not stop the unused-parameter pass.
    MoxelRun run = runMoxel("VARIABLES x, y;\nPARAMETERS a;\nDATA;\n1 2\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "RUN option specified\n"
                       "     3: DATA;\n"
                       "Error: Program must have a FUNCTION statement\n"
                       "     3: DATA;\n"
                       "Error: You must use some parameters.\n");
}

TEST(CompilerBatch, FewerObservationsThanParameters)
{
    MoxelRun run = runMoxel("VARIABLES x, y;\nPARAMETERS a, b, c;\nFUNCTION y = a + b*x + c*x*x;\nDATA;\n1 2\n2 4\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "RUN option specified\nError: Fewer data observations than parameters\n");
    EXPECT_NE(run.listing.find("\nError: Fewer data observations than parameters\n"), std::string::npos);

    // As many observations as parameters is enough; a minimisation has no data at all.
    EXPECT_EQ(runMoxel("VARIABLES x, y;\nPARAMETERS a, b;\nFUNCTION y = a + b*x;\nDATA;\n1 2\n2 4\n").status, 0);
    // (The minimum |F| = 0 sits at the tip of a cone of residuals, so the solver may
    // report false convergence there: the run starts, whatever its stop code.)
    EXPECT_NE(runMoxel("PARAMETERS a, b;\nFUNCTION (a - 1)**2 + (b - 2)**2;\n").status, 1);
}

} // namespace
