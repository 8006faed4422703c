// Symbol table: declarations, their limits and messages, look-up rules, and the
// elimination of unused parameters.
#include "lang/compiler.h"
#include "lang/data.h"
#include "lang/declarations.h"
#include "lang/linesource.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "support/listing.h"

#include <gtest/gtest.h>

#include "testutil.h"

#include <cmath>

#include <string>
#include <vector>

namespace {

class SymbolsTest : public ::testing::Test {
protected:
    TextLines lines;
    std::string text;
    Instruction* entry = nullptr;

    void TearDown() override
    {
        compilerReleaseAll();
        listingClear();
    }

    // Compiles a program; returns the "Error: " lines of the screen listing.
    std::vector<std::string> compile(const std::string& program)
    {
        compilerReleaseAll();
        settingsReset();
        listingClear();
        text = program;
        LineSource source = lineSourceFromText(lines, text.data(), text.size());
        entry = compileProgram(&source);
        std::vector<std::string> errors;
        for (ListingLine* line = listingHead(); line; line = line->next) {
            if (std::string(line->text).rfind("Error: ", 0) == 0)
                errors.push_back(line->text);
        }
        return errors;
    }

    static std::vector<double> elements(const Symbol* symbol)
    {
        return std::vector<double>(symbol->elements, symbol->elements + symbol->elementCount);
    }
    static std::vector<double> initial(const Symbol* symbol)
    {
        return std::vector<double>(symbol->initialElements, symbol->initialElements + symbol->initialCount);
    }
};

using Errors = std::vector<std::string>;

TEST_F(SymbolsTest, ParameterListsWithAndWithoutCommas)
{
    for (const char* declaration : {"PARAMETERS a, b=2, c;", "PARAMETERS a b=2 c;", "PARAMETER a,, b = 1+1, c;"}) {
        EXPECT_EQ(compile(std::string("VARIABLES x;\n") + declaration + "\nFUNCTION a + b*x + c;\n"), Errors{})
            << declaration;
        ASSERT_EQ(parameterCount, 3) << declaration;
        EXPECT_EQ(parameters[0]->value, 1.0);
        EXPECT_EQ(parameters[1]->value, 2.0);
        EXPECT_EQ(parameters[1]->initialValue, 2.0);
        EXPECT_EQ(parameters[2]->value, 1.0);
        EXPECT_EQ(parameters[1]->index, 1);
        EXPECT_EQ(parameters[0]->lowerBound, -1e50);
        EXPECT_EQ(parameters[0]->upperBound, 1e50);
        EXPECT_EQ(parameters[0]->constrained, 0);
    }
}

TEST_F(SymbolsTest, SystemVariablesComeFirst)
{
    ASSERT_EQ(compile("VARIABLES x;\nPARAMETERS a;\nDOUBLE w;\nFUNCTION a*x;\n"), Errors{});
    ASSERT_EQ(workVariableCount, 4);
    EXPECT_STREQ(workVariables[0]->name, "Predicted");
    EXPECT_STREQ(workVariables[1]->name, "Residual");
    EXPECT_STREQ(workVariables[2]->name, "Obs");
    EXPECT_STREQ(workVariables[3]->name, "w");
    EXPECT_EQ(workVariables[3]->index, 3);
    EXPECT_EQ(symbolObs, workVariables[2]);
    EXPECT_EQ(findSymbol("OBS"), symbolObs);
}

TEST_F(SymbolsTest, ArrayDeclarations)
{
    Errors errors = compile("VARIABLES x;\nPARAMETERS a;\n"
                            "DOUBLE t[30000], m[200,200], v[3] = {1, 2, 3, 4}, s = {-5}, u[4] = 2*3, g[2,3] = {1, +2, 3, 4};\n"
                            "FUNCTION a*x;\n");
    EXPECT_EQ(errors, (Errors{"Error: The maximum allowable array size is 20000",
                              "Error: The maximum allowable array size is 20000",
                              "Error: Too many initial values specified"}));
    const Symbol* t = findSymbol("t");
    EXPECT_EQ(t->elementCount, 20000);
    EXPECT_EQ(t->dim1, 20000);
    const Symbol* m = findSymbol("m");
    EXPECT_EQ(m->dim1, 200);
    EXPECT_EQ(m->dim2, 100);
    EXPECT_EQ(m->dimensions, 2);
    EXPECT_EQ(m->elementCount, 20000);
    const Symbol* v = findSymbol("v");
    EXPECT_EQ(elements(v), (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(initial(v), (std::vector<double>{1, 2, 3}));
    const Symbol* s = findSymbol("s");
    EXPECT_EQ(s->dimensions, 0);
    EXPECT_EQ(s->value, -5.0);
    EXPECT_EQ(s->initialValue, -5.0);
    const Symbol* u = findSymbol("u");
    EXPECT_EQ(elements(u), (std::vector<double>{6, 0, 0, 0}));
    EXPECT_EQ(initial(u), (std::vector<double>{6}));
    const Symbol* g = findSymbol("g");
    EXPECT_EQ(elements(g), (std::vector<double>{1, 2, 3, 4, 0, 0}));
    EXPECT_EQ(g->initialCount, 4);
}

TEST_F(SymbolsTest, ArraySizesAtTheLimit)
{
    EXPECT_EQ(compile("VARIABLES x;\nPARAMETERS a;\nDOUBLE t[20000], m[100,200], n[2.9];\nFUNCTION a*x;\n"), Errors{});
    EXPECT_EQ(findSymbol("t")->elementCount, 20000);
    EXPECT_EQ(findSymbol("m")->elementCount, 20000);
    EXPECT_EQ(findSymbol("n")->elementCount, 2);
    EXPECT_EQ(compile("VARIABLES x;\nPARAMETERS a;\nDOUBLE t[20001];\nFUNCTION a*x;\n"),
              Errors{"Error: The maximum allowable array size is 20000"});
    EXPECT_EQ(compile("VARIABLES x;\nPARAMETERS a;\nDOUBLE m[101,200];\nFUNCTION a*x;\n"),
              Errors{"Error: The maximum allowable array size is 20000"});
    EXPECT_EQ(findSymbol("m")->dim2, 198);
    for (const char* bad : {"DOUBLE z[0];", "DOUBLE z[-3];", "DOUBLE z[2, 0];", "DOUBLE z[0.5];"}) {
        EXPECT_EQ(compile(std::string("VARIABLES x;\nPARAMETERS a;\n") + bad + "\nFUNCTION a*x;\n"),
                  Errors{"Error: Array sizes must be at least 1"})
            << bad;
        EXPECT_GE(findSymbol("z")->elementCount, 1) << bad;
    }
}

struct DeclarationErrorCase {
    const char* declarations;
    Errors errors;
};

TEST_F(SymbolsTest, DeclarationErrors)
{
    const DeclarationErrorCase cases[] = {
        {"VARIABLES x, X;", {"Error: Variable defined more than once: X"}},
        {"VARIABLES x; DOUBLE x;", {"Error: Variable defined more than once: x"}},
        {"VARIABLES x; PARAMETERS a, A;", {"Error: Parameter defined more than once: A"}},
        {"VARIABLES x; PARAMETERS b = x;", {"Error: Only a constant expression may be specified."}},
        {"VARIABLES x; CONSTANT k;", {"Error: CONSTANT variable must have initialization value"}},
        {"VARIABLES x; CONSTANT k[2];", {"Error: CONSTANT variable must have initialization value"}},
        {"VARIABLES x; DOUBLE v[3 = 1;", {"Error: Right bracket missing"}},
        {"VARIABLES x; DOUBLE v[3] = {1, 2;", {"Error: Right brace missing or misplaced"}},
        {"VARIABLES x; DOUBLE v[3] = {1, x};", {"Error: Right brace missing or misplaced"}},
        {"VARIABLES x; DOUBLE v w;", {"Error: Syntax error"}},
        {"VARIABLES x; DOUBLE 3;", {"Error: Syntax error"}},
        {"VARIABLES x, 2;", {"Error: Syntax error"}},
        {"VARIABLES width;", {"Error: Syntax error"}},
        {"VARIABLES x; PARAMETERS 5;", {"Error: Syntax error"}},
    };
    for (const DeclarationErrorCase& row : cases) {
        std::string program = std::string(row.declarations) + "\nPARAMETERS p;\nFUNCTION p;\n";
        EXPECT_EQ(compile(program), row.errors) << row.declarations;
        EXPECT_EQ(entry, nullptr) << row.declarations;
    }
}

// The rows of the observation store are laid out for the input variables declared
// before DATA: a later VARIABLES statement is refused instead of misreading them.
TEST(SymbolsBatch, VariablesAfterDataAreRefused)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/points.dat", "1 2\n2 4\n");
    const MoxelRun run = runMoxel("PARAMETERS a;\nDATA \"points\";\nVARIABLES x, y;\nFUNCTION a;\n",
                                  "late", folder);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("     3: VARIABLES x, y;\nError: VARIABLES must be declared before the DATA "
                           "statement\n"), std::string::npos) << run.out;
}

TEST_F(SymbolsTest, UndefinedNameIsReportedOnce)
{
    EXPECT_EQ(compile("VARIABLES x;\nPARAMETERS a;\nFUNCTION a*x + q;\nDOUBLE w;\nw = q + Q;\n"),
              Errors{"Error: Undefined variable name: q"});
}

struct LimitCase {
    const char* keyword;
    int limit;
    const char* message;
};

TEST_F(SymbolsTest, ListLimits)
{
    const LimitCase cases[] = {
        {"VARIABLES", MAX_INPUT_VARIABLES, "Error: MOXEL can handle only 500 input variables"},
        {"PARAMETERS", MAX_PARAMETERS, "Error: MOXEL can only handle 500 parameters."},
        {"DOUBLE", MAX_WORK_VARIABLES - 3, "Error: MOXEL can only handle 500 work variables"},
    };
    for (const LimitCase& row : cases) {
        for (int count : {row.limit, row.limit + 1}) {
            std::string program = std::string(row.keyword) + " ";
            std::string sum = "0";
            for (int i = 0; i < count; i++) {
                program += (i ? ",\nn" : "n") + std::to_string(i);
                sum += "\n+ n" + std::to_string(i);
            }
            program += ";\n";
            std::string keyword = row.keyword;
            if (keyword == "VARIABLES")
                program += "PARAMETERS p;\nFUNCTION p * (" + sum + ");\n";
            else if (keyword == "PARAMETERS")
                program += "VARIABLES x;\nFUNCTION x * (" + sum + ");\n";
            else
                program += "VARIABLES x;\nPARAMETERS p;\nFUNCTION p*x + " + sum + ";\n";
            Errors expected;
            if (count > row.limit)
                expected.push_back(row.message);
            EXPECT_EQ(compile(program), expected) << row.keyword << " " << count;
        }
    }
}

TEST_F(SymbolsTest, UnusedParametersAreEliminated)
{
    EXPECT_EQ(compile("VARIABLES x;\nPARAMETERS a, unused = 7, b;\nFUNCTION a + b*x;\n"), Errors{});
    ASSERT_EQ(parameterCount, 2);
    EXPECT_STREQ(parameters[0]->name, "a");
    EXPECT_STREQ(parameters[1]->name, "b");
    EXPECT_EQ(parameters[1]->index, 1);
    EXPECT_EQ(parameters[2], nullptr);
    EXPECT_EQ(findSymbol("unused")->index, -1);

    EXPECT_EQ(compile("VARIABLES x;\nPARAMETERS a;\nFUNCTION 2*x;\n"),
              Errors{"Error: You must use some parameters."});
    EXPECT_EQ(entry, nullptr);
}

TEST_F(SymbolsTest, EliminationCorrectsBoundsAndDropsSweeps)
{
    compilerReleaseAll();
    settingsReset();
    compileErrorReset();
    Symbol* low = defineSymbol("low", SYM_PARAMETER, nullptr);
    Symbol* gone = defineSymbol("gone", SYM_PARAMETER, nullptr);
    Symbol* high = defineSymbol("high", SYM_PARAMETER, nullptr);
    Symbol* nan = defineSymbol("nan", SYM_PARAMETER, nullptr);
    low->flags = high->flags = nan->flags = SYMF_REFERENCED;
    low->value = -5;
    low->lowerBound = 0;
    low->upperBound = 1;
    high->value = 5;
    high->lowerBound = 0;
    high->upperBound = 1;
    nan->value = std::nan("");
    nan->lowerBound = -2;
    settings.sweeps[0].parameter = gone;
    settings.sweeps[1].parameter = high;
    settings.sweepCount = 2;
    eliminateUnusedParameters();
    ASSERT_EQ(parameterCount, 3);
    EXPECT_EQ(low->value, 0.0);
    EXPECT_EQ(low->initialValue, 0.0);
    EXPECT_EQ(high->value, 1.0);
    EXPECT_EQ(high->initialValue, 1.0);
    EXPECT_EQ(nan->value, -2.0);
    ASSERT_EQ(settings.sweepCount, 1);
    EXPECT_EQ(settings.sweeps[0].parameter, high);
    EXPECT_EQ(compileErrorCount(), 0);
}

TEST_F(SymbolsTest, NamesIgnoreCaseAndNewestWins)
{
    compilerReleaseAll();
    Symbol* first = defineSymbol("Alpha", SYM_WORK, nullptr);
    EXPECT_EQ(findSymbol("ALPHA"), first);
    EXPECT_EQ(findSymbol("alpha"), first);
    EXPECT_EQ(findSymbol("alph"), nullptr);
    Symbol* second = defineSymbol("alpha", SYM_CONSTANT, nullptr);
    EXPECT_EQ(findSymbol("Alpha"), second);
    EXPECT_EQ(second->index, -1);   // constants belong to no list
}

} // namespace
