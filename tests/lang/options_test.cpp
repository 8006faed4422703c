// Option statements and plot statements, compiled in small whole programs and read
// back from the settings and plot descriptions; the file-name rule.
#include "lang/compiler.h"
#include "lang/data.h"
#include "lang/lexer.h"
#include "lang/options.h"
#include "lang/symbols.h"
#include "support/allocator.h"
#include "support/listing.h"
#include "testutil.h"
#include "compile_text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

bool compileText(const std::string& text, const std::string& folder = "/home/ann/models")
{
    return compileTextIn(text, folder);
}

std::vector<std::string> errorLines()
{
    std::vector<std::string> errors;
    for (ListingLine* line = listingHead(); line; line = line->next)
        if (std::string(line->text).rfind("Error: ", 0) == 0)
            errors.push_back(line->text);
    return errors;
}

// Input variables x, y and z, parameters a, b and k; by default the model uses x only.
std::string program(const std::string& statements,
                    const std::string& function = "FUNCTION y = a + b*x + k;")
{
    return "VARIABLES x, y, z;\nPARAMETERS a, b, k;\n" + function + "\n" + statements +
           "\nDATA;\n1 2 0\n3 4 1\n5 7 0\n";
}

TEST(Options, DefaultsAfterReset)
{
    ASSERT_TRUE(compileText(program("")));
    EXPECT_EQ(settings.confidenceLevel, 0.0);
    EXPECT_EQ(settings.iterationLimit, 500);
    EXPECT_EQ(settings.tolerance, 1e-10);
    EXPECT_EQ(settings.covarianceCode, -3);
    EXPECT_FALSE(settings.printCovariance);
    EXPECT_EQ(settings.outputMode, 0);
    EXPECT_EQ(settings.printResolution, 1);
    EXPECT_EQ(settings.width, 8.0);
    EXPECT_STREQ(settings.title, "");
    EXPECT_FALSE(settings.anglesInDegrees);
}

TEST(Options, AcceptedStatementsSetTheirFields)
{
    struct Case {
        const char* statements;
        std::function<bool()> check;
    } cases[] = {
        {"CONFIDENCE 95;", [] { return settings.confidenceLevel == 95 * 0.01; }},
        {"CONFIDENCE;", [] { return settings.confidenceLevel == 0.9; }},
        {"confidence = 99.999;", [] { return settings.confidenceLevel == 99.999 * 0.01; }},
        {"ITERATIONS = 50.7;", [] { return settings.iterationLimit == 50; }},
        {"ITERATION 2;", [] { return settings.iterationLimit == 2; }},
        {"TOLERANCE 1e-6;", [] { return settings.tolerance == 1e-6; }},
        {"TOLERANCE = 0.1;", [] { return settings.tolerance == 0.1; }},
        {"COVARIANCE;", [] { return settings.printCovariance && settings.covarianceCode == -3; }},
        {"TITLE \"Growth curve\";", [] { return std::string(settings.title) == "Growth curve"; }},
        {"ANGLETYPE degrees;", [] { return settings.anglesInDegrees; }},
        {"ANGLETYPE DEGREES; ANGLETYPE Radians;", [] { return !settings.anglesInDegrees; }},
        {"DATASKIP = 1.9;", [] { return settings.dataSkip == 1 && observationCount == 2; }},
        {"DATACOUNT 10.9;", [] { return settings.dataCount == 10; }},
        {"PRESOLUTION 300;", [] { return settings.printResolution == 2; }},
        {"WIDTH = 6.5;", [] { return settings.width == 6.5; }},
        {"NOECHO;", [] { return true; }},
        {"CORRELATE;", [] {
             return settings.correlationCount == 3 && settings.correlationVariables[0] ==
                    inputVariables[0] && settings.correlationVariables[2] == inputVariables[2];
         }},
        {"CORRELATE y x;", [] {
             return settings.correlationCount == 2 &&
                    settings.correlationVariables[0] == inputVariables[1];
         }},
        {"POUTPUT \"params\";",
         [] { return settings.parameterOutputFile == "/home/ann/models/params.par"; }},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(compileText(program(c.statements))) << c.statements;
        EXPECT_TRUE(c.check()) << c.statements;
        EXPECT_TRUE(errorLines().empty()) << c.statements;
    }
}

TEST(Options, RefusedValuesReportAndFallBack)
{
    struct Case {
        const char* statements;
        const char* message;
        std::function<bool()> check;
    } cases[] = {
        {"CONFIDENCE 45;", "Value must be in the range 50 to 99.999",
         [] { return settings.confidenceLevel == 0.9; }},
        {"ITERATIONS = 1;", "The number of iterations must be at least 2",
         [] { return settings.iterationLimit == 2; }},
        {"ITERATIONS;", "Syntax error: numeric value missing", [] { return true; }},
        {"ITERATIONS -5;", "Syntax error: numeric value missing", [] { return true; }},
        {"TOLERANCE 1e-20;", "TOLERANCE value must be in the range 1E-15 to 1E-1.",
         [] { return settings.tolerance == 1e-10; }},
        {"DATASKIP x;", "Syntax error: numeric value missing", [] { return true; }},
        {"PRESOLUTION 200;", "The resolution value must be 150 or 300.",
         [] { return settings.printResolution == 1; }},
        {"PRESOLUTION;", "Syntax numeric value missing", [] { return true; }},
        {"WIDTH;", "Syntax numeric value missing", [] { return true; }},
        {"TITLE Growth;", "Syntax error.  Title string must be in quotes.", [] { return true; }},
        {"POUTPUT params;", "Syntax error.  File name must be in quotes.", [] { return true; }},
        {"ANGLETYPE GRADS;", "Angle type must be DEGREES or RADIANS", [] { return true; }},
        {"ANGLETYPE 2;", "Syntax error", [] { return true; }},
        {"CORRELATE x;", "There must be at least 2 variables for correlation matrix",
         [] { return true; }},
        {"COVARIANCE\nCONFIDENCE 95;", "Missing semicolon at end of statement",
         [] { return settings.confidenceLevel == 95 * 0.01; }},
        {"CONSTRAIN x = 0, 1;", "Constraints can only apply to parameters", [] { return true; }},
        {"CONSTRAIN 3 = 0, 1;", "Syntax error: parameter name expected", [] { return true; }},
        {"CONSTRAIN a = 2, 1;", "Invalid range of values", [] { return true; }},
        {"SWEEP x = 0, 1, 0.25;", "Sweep can only apply to parameters", [] { return true; }},
        {"SWEEP = 0, 1, 0.25;", "Syntax error: parameter name expected", [] { return true; }},
        {"SWEEP a = 0, 1, 0;", "Invalid range of values", [] { return settings.sweepCount == 0; }},
        {"OUTPUT \"res\";", "Syntax error", [] { return true; }},
        {"OUTPUT x y;", "Syntax error", [] { return true; }},
        {"OUTPUT a;", "A parameter may not be used with OUTPUT", [] { return true; }},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(compileText(program(c.statements))) << c.statements;
        const std::vector<std::string> errors = errorLines();
        ASSERT_FALSE(errors.empty()) << c.statements;
        EXPECT_EQ(errors.front(), std::string("Error: ") + c.message) << c.statements;
        EXPECT_TRUE(c.check()) << c.statements;
    }
}

TEST(Options, ErrorsNameTheStatementLineAndCompilingGoesOn)
{
    EXPECT_FALSE(compileText(program("CONFIDENCE 45;\nITERATIONS 1;\nTOLERANCE 5;")));
    std::vector<std::string> lines;
    for (ListingLine* line = listingHead(); line; line = line->next)
        lines.push_back(line->text);
    const std::vector<std::string> expected = {
        "     4: CONFIDENCE 45;", "Error: Value must be in the range 50 to 99.999",
        "     5: ITERATIONS 1;", "Error: The number of iterations must be at least 2",
        "     6: TOLERANCE 5;", "Error: TOLERANCE value must be in the range 1E-15 to 1E-1."};
    for (const std::string& line : expected)
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
}

TEST(Options, SweepEntries)
{
    for (const char* statement : {"SWEEP k = 0, 1, 0.25;", "SWEEP k 0 1 0.25;"}) {
        ASSERT_TRUE(compileText(program(statement))) << statement;
        ASSERT_EQ(settings.sweepCount, 1);
        const SweepEntry& entry = settings.sweeps[0];
        EXPECT_STREQ(entry.parameter->name, "k");
        EXPECT_EQ(entry.stepCount, 4);
        EXPECT_EQ(entry.bestValue, 0.0);
    }
    ASSERT_TRUE(compileText(program("SWEEP a = 2*3, 1, -2.5; SWEEP b = 0 0.3 0.1;")));
    ASSERT_EQ(settings.sweepCount, 2);
    EXPECT_EQ(settings.sweeps[0].stepCount, 2);
    EXPECT_EQ(settings.sweeps[0].bestValue, 6.0);
    EXPECT_EQ(settings.sweeps[1].stepCount, 3) << "rounding of 0.3 / 0.1 is absorbed";
}

TEST(Options, ConstrainSetsBoundsAndCountsStatements)
{
    ASSERT_TRUE(compileText(
        "VARIABLES x, y;\nPARAMETERS p = 5, q;\nCONSTRAIN p = 0, 1;\nCONSTRAIN p -1 2;\n"
        "CONSTRAIN q = -2*2, 4;\nFUNCTION y = p + q*x;\nDATA;\n1 2\n3 4\n"));
    EXPECT_EQ(settings.constrainCount, 3);
    EXPECT_EQ(parameters[0]->constrained, 1);
    EXPECT_EQ(parameters[0]->lowerBound, -1.0);
    EXPECT_EQ(parameters[0]->upperBound, 2.0);
    EXPECT_EQ(parameters[1]->lowerBound, -4.0);
}

TEST(Options, OutputItemsAndFiles)
{
    ASSERT_TRUE(compileText(program("OUTPUT TO \"res\" x, $obs, $Predicted;\nOUTPUT y, $RESIDUAL;")));
    EXPECT_EQ(settings.outputMode, 1);
    EXPECT_EQ(settings.outputFile, "/home/ann/models/res.out");
    ASSERT_EQ(settings.outputCount, 5);
    const char* names[] = {"x", "$OBS", "$PREDICTED", "y", "$RESIDUAL"};
    for (int i = 0; i < 5; ++i)
        EXPECT_STREQ(settings.outputVariables[i]->name, names[i]);
    EXPECT_EQ(findSymbol("$OBS"), nullptr) << "special items stay out of the symbol table";

    std::string many = "OUTPUT x";
    for (int i = 1; i < MAX_OUTPUT_VARIABLES; ++i)
        many += i % 50 ? ", $obs" : ",\n$obs";
    ASSERT_TRUE(compileText(program(many + ";")));
    EXPECT_EQ(settings.outputCount, MAX_OUTPUT_VARIABLES);
    EXPECT_FALSE(compileText(program(many + ", y;")));
    EXPECT_EQ(errorLines(), std::vector<std::string>{"Error: MOXEL can only handle 505 output variables"});

    ASSERT_TRUE(compileText(program("OUTPUT x;")));
    EXPECT_EQ(settings.outputMode, -1);
    ASSERT_TRUE(compileText(program("OUTPUT \"RES\" x;")));
    EXPECT_EQ(settings.outputFile, "/home/ann/models/RES.OUT");
}

TEST(Options, ProgramFileRule)
{
    programPath = "/home/ann/fits.v2/model.mxl";
    struct Case {
        const char* name;
        const char* extension;
        const char* path;
    } cases[] = {
        {"res", "out", "/home/ann/fits.v2/res.out"},
        {"RES", "out", "/home/ann/fits.v2/RES.OUT"},
        {"Res1", "par", "/home/ann/fits.v2/Res1.par"},
        {"res.txt", "out", "/home/ann/fits.v2/res.txt"},
        {"runs/run1", "dat", "/home/ann/fits.v2/runs/run1.dat"},
        {"../runs.old/run1", "dat", "/home/ann/fits.v2/../runs.old/run1.dat"},
        {"/tmp/x.y/data", "dat", "/tmp/x.y/data.dat"},
        {"/tmp/data.csv", "dat", "/tmp/data.csv"},
        {"data \t", "dat", "/home/ann/fits.v2/data.dat"},
        {"C:\\runs\\a", "dat", "C:\\runs\\a.dat"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(resolveProgramFile(c.name, c.extension), c.path) << c.name;
}

const PlotSpec* plotAt(int index)
{
    const PlotSpec* plot = plotList;
    for (int i = 0; plot && i < index; ++i)
        plot = plot->next;
    return plot;
}

TEST(Plots, CompletionFillsVariablesTitlesAndLabels)
{
    ASSERT_TRUE(compileText(program("TITLE \"Fit\";\nPLOT;\nRPLOT;\nNPLOT;\nSPLOT xvar=x, yvar y;",
                                    "FUNCTION y = a + b*x + k;")));
    const PlotSpec* plot = plotAt(0);
    ASSERT_NE(plot, nullptr);
    EXPECT_EQ(plot->plotKind, PLOT_FUNCTION);
    EXPECT_EQ(plot->xVar, inputVariables[0]);
    EXPECT_EQ(plot->yVar, inputVariables[1]);
    EXPECT_STREQ(plot->title, "Fit");
    EXPECT_STREQ(plot->xLabel, "x");
    EXPECT_STREQ(plot->yLabel, "y");
    EXPECT_EQ(plot->plotFlags, unsigned(PLOTF_GRID));
    EXPECT_TRUE(plot->completed);

    plot = plotAt(1);
    EXPECT_EQ(plot->xVar, inputVariables[0]);
    EXPECT_STREQ(plot->title, "Plot of Residuals");
    EXPECT_STREQ(plot->yLabel, "Residual");

    plot = plotAt(2);
    EXPECT_EQ(plot->plotFlags, 0u);
    EXPECT_STREQ(plot->title, "Normal probability plot of residuals");
    EXPECT_STREQ(plot->xLabel, "Expected residuals");
    EXPECT_STREQ(plot->yLabel, "Actual residuals");

    plot = plotAt(3);
    EXPECT_EQ(plot->plotKind, PLOT_SCATTER);
    EXPECT_STREQ(plot->title, "Fit");
    EXPECT_TRUE(plot->completed);
}

TEST(Plots, OptionBits)
{
    ASSERT_TRUE(compileText(program(
        "PLOT grid nogrid, residual, iterations, print nopause notitle values noxlabel "
        "noylabel connect connect2 nomark nomark2 domain = -1, 5;\nNPLOT, grid,;\n"
        "RPLOT title = \"R\" xlabel = \"X\" ylabel = \"Y\" iteration;")));
    EXPECT_EQ(plotAt(0)->plotFlags, 0x3FFEu);
    EXPECT_EQ(plotAt(0)->domainLow, -1.0);
    EXPECT_EQ(plotAt(0)->domainHigh, 5.0);
    EXPECT_STREQ(plotAt(0)->title, "");
    EXPECT_STREQ(plotAt(0)->xLabel, "");
    EXPECT_EQ(plotAt(1)->plotFlags, unsigned(PLOTF_GRID));
    EXPECT_STREQ(plotAt(2)->title, "R");
    EXPECT_STREQ(plotAt(2)->xLabel, "X");
    EXPECT_STREQ(plotAt(2)->yLabel, "Y");
    EXPECT_EQ(settings.iterationPlotCount, 2);
    EXPECT_EQ(settings.valuesPlotCount, 1);
}

TEST(Plots, Conversions)
{
    // Without a dependent variable a PLOT shows the residuals.
    ASSERT_TRUE(compileText(program("PLOT;", "FUNCTION a*exp(b*x) + k;")));
    EXPECT_EQ(plotAt(0)->plotKind, PLOT_RESIDUAL);
    EXPECT_EQ(plotAt(0)->yVar, nullptr);
    EXPECT_EQ(plotAt(0)->xVar, inputVariables[0]);

    // With the observed variable inside the model there is no x axis for the residuals.
    EXPECT_FALSE(compileText(program("RPLOT;", "FUNCTION a*exp(b*x) + k - y;")));
    EXPECT_EQ(errorLines(),
              std::vector<std::string>{"Error: You must specify the independent variable for plot"});

    // XVAR naming a work variable makes a scatter plot.
    ASSERT_TRUE(compileText(program("DOUBLE w;\nPLOT xvar = w;",
                                    "FUNCTION y = a + b*x + k;")));
    EXPECT_EQ(plotAt(0)->plotKind, PLOT_SCATTER);
    EXPECT_EQ(plotAt(0)->xVar, findSymbol("w"));

    // A model of a computed variable only is drawn against it with the predicted values.
    ASSERT_TRUE(compileText("VARIABLES x, y;\nPARAMETERS a, b;\nDOUBLE u;\nu = 2*x;\n"
                            "FUNCTION y = a + b*u;\nPLOT;\nDATA;\n1 2\n3 4\n"));
    const PlotSpec* plot = plotAt(0);
    EXPECT_EQ(plot->plotKind, PLOT_SCATTER);
    EXPECT_EQ(plot->xVar, findSymbol("u"));
    EXPECT_EQ(plot->x2Var, findSymbol("u"));
    EXPECT_EQ(plot->yVar, findSymbol("y"));
    EXPECT_EQ(plot->y2Var, symbolPredicted);
    EXPECT_EQ(plot->plotFlags & (PLOTF_CONNECT2 | PLOTF_NOMARK2),
              unsigned(PLOTF_CONNECT2 | PLOTF_NOMARK2));
}

TEST(Plots, Messages)
{
    struct Case {
        const char* statements;
        const char* function;
        std::vector<std::string> messages;
    } cases[] = {
        {"PLOT;", "FUNCTION y = a + b*x + k*z;",
         {"Error: Function has more than one independent variable. Cannot plot.",
          "Error: You may be able to use SPLOT statement rather than PLOT."}},
        {"SPLOT;", "FUNCTION y = a + b*x + k*z;",
         {"Error: You must specify the independent variable for plot"}},
        {"SPLOT xvar = x;", "FUNCTION a*exp(b*x) + k;",
         {"Error: You must specify the dependent variable for plot"}},
        {"PLOT xvar=y;", "FUNCTION y = a + b*x + k;",
         {"Error: The same variable (y) is specified for plot X and Y axes."}},
        {"PLOT domain = 5, 1;", "FUNCTION y = a + b*x + k;", {"Error: Invalid domain"}},
        {"PLOT domain 5, 1;", "FUNCTION y = a + b*x + k;",
         {"Error: Missing equal sign after DOMAIN"}},
        {"PLOT domain = a, 1;", "FUNCTION y = a + b*x + k;",
         {"Error: Syntax error: numeric value missing"}},
        {"PLOT title \"t\";", "FUNCTION y = a + b*x + k;",
         {"Error: Missing equal sign after TITLE"}},
        {"PLOT ylabel \"t\";", "FUNCTION y = a + b*x + k;",
         {"Error: Missing equal sign after YLABEL"}},
        {"PLOT title = t;", "FUNCTION y = a + b*x + k;",
         {"Error: Syntax error.  Title string must be in quotes."}},
        {"PLOT xlabel = x;", "FUNCTION y = a + b*x + k;",
         {"Error: Syntax error.  Label string must be in quotes."}},
        {"PLOT yvar = 3;", "FUNCTION y = a + b*x + k;",
         {"Error: Syntax error: variable name must follow YVAR"}},
        {"PLOT xvar = a;", "FUNCTION y = a + b*x + k;",
         {"Error: A parameter may not be used as a plot variable"}},
        {"PLOT grid, sideways;", "FUNCTION y = a + b*x + k;",
         {"Error: Invalid item in plot option list: sideways"}},
        {"PLOT width;", "FUNCTION y = a + b*x + k;",
         {"Error: Invalid item in plot option list: width"}},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(compileText(program(c.statements, c.function))) << c.statements;
        std::vector<std::string> errors = errorLines();
        errors.resize(std::min(errors.size(), c.messages.size()));
        EXPECT_EQ(errors, c.messages) << c.statements;
    }
}

}  // namespace

namespace {

const char* const lineFit = "VARIABLES x, y;\nPARAMETERS a, b;\nFUNCTION y = a + b*x;\n";
const char* const lineData = "DATA;\n1 2.1\n2 3.9\n3 6.2\n4 7.8\n";

TEST(OptionsEndToEnd, OutputFileNamesFollowTheProgramFolder)
{
    const std::string folder = testTempDir();
    std::filesystem::create_directories(folder + "/runs");
    struct Case {
        const char* statements;
        std::vector<const char*> files;
    } cases[] = {
        {"OUTPUT TO \"res\" x, y;\nPOUTPUT \"res\";", {"res.out", "res.par"}},
        {"OUTPUT \"RES\" x;\nPOUTPUT \"PAR\";", {"RES.OUT", "PAR.PAR"}},
        {"OUTPUT \"runs/r1\" x;\nPOUTPUT \"runs/p1.txt\";", {"runs/r1.out", "runs/p1.txt"}},
    };
    for (const Case& c : cases) {
        const MoxelRun run = runMoxel(std::string(lineFit) + c.statements + "\n" + lineData,
                                      "prog", folder);
        EXPECT_EQ(run.status, 0) << c.statements << run.out;
        for (const char* file : c.files)
            EXPECT_FALSE(readTextFile(folder + "/" + file).empty()) << file;
    }
    const std::string absolute = folder + "/abs";
    const MoxelRun run = runMoxel(std::string(lineFit) + "OUTPUT \"" + absolute + "\" x;\n" +
                                  lineData, "prog", testTempDir());
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_FALSE(readTextFile(absolute + ".out").empty());
}

TEST(OptionsEndToEnd, ScatterPlotWithoutAnyYVariableFailsTheRun)
{
    const MoxelRun run = runMoxel(
        "VARIABLES x, y;\nPARAMETERS a, b;\nFUNCTION a + b*x - y;\nSPLOT xvar = x;\n" +
        std::string(lineData));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.listing.find("Error: You must specify the dependent variable for plot"),
              std::string::npos) << run.listing;
}

}  // namespace
