// End-to-end runs of build/moxel: batch mode, the command line and the start-up trace.
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct RawRun {
    int status;         // exit status
    std::string out;    // standard output
    std::string err;    // standard error
};

// Runs build/moxel in folder with the given arguments, settings under folder/config,
// and no display: without -run the window cannot open.
RawRun runRaw(const std::string& folder, const std::vector<std::string>& args)
{
    std::string command = "cd '" + folder + "' && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_CONFIG_HOME='" +
                          folder + "/config' '" MOXEL_BINARY "'";
    for (const std::string& arg : args)
        command += " '" + arg + "'";
    command += " >'" + folder + "/stdout.txt' 2>'" + folder + "/stderr.txt' </dev/null";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readTextFile(folder + "/stdout.txt"),
            readTextFile(folder + "/stderr.txt")};
}

const char LEXICAL_PROGRAM[] =
    "// Lexical cases\n"
    "DOUBLE s, z, c, d, e, f, g, x;\n"
    "\tPARAMETERS a = 1:30, b = .5;\n"
    "s = \"q \\\"x\\\" \\x41\\n\";   // remark\n"
    "z = 1.2.3;\n"
    "c = a & b | x;\n"
    "d = `;\n"
    "e = 5\t@ 2;\n"
    "#INCLUDE \"other.mxl\"\n"
    "  f = \"open // cut\n"
    "/* block\n"
    "   comment */ g = 2.5e-1;\n";

TEST(Batch, LexicalCasesOnScreenAndInTheListing)
{
    const MoxelRun run = runMoxel(LEXICAL_PROGRAM);
    EXPECT_EQ(run.status, 1);
    // Besides the lexical messages, the compile reports what the damaged tokens leave.
    EXPECT_EQ(run.out,
              "RUN option specified\n"
              "Error: Invalid number\n"
              "     5: z = 1.2.3;\n"
              "Error: Syntax error\n"
              "Error: Invalid operator: &\n"
              "Error: Invalid operator: |\n"
              "     7: d = `;\n"
              "Error: Invalid character \"`\" in string. Missing quotes?\n"
              "Error: Invalid character in program: @ (0x40)\n"
              "     8: e = 5  @ 2;\n"
              "Error: Syntax error\n"
              "    10: f = \"open // cut\n"
              "Error: Semicolon missing at end of previous statement\n"
              "    10: f = \"open // cut\n"
              "Error: Missing quote at end of string\n"
              "    12: comment */ g = 2.5e-1;\n"
              "Error: Semicolon missing at end of previous statement\n");
    EXPECT_EQ(run.listing,
              "   1: // Lexical cases\n"
              "   2: DOUBLE s, z, c, d, e, f, g, x;\n"
              "   3:     PARAMETERS a = 1:30, b = .5;\n"
              "   4: s = \"q \\\"x\\\" \\x41\\n\";   // remark\n"
              "   5: z = 1.2.3;\n"
              "Error: Invalid number\n"
              "Error: Syntax error\n"
              "   6: c = a & b | x;\n"
              "Error: Invalid operator: &\n"
              "Error: Invalid operator: |\n"
              "   7: d = `;\n"
              "Error: Invalid character \"`\" in string. Missing quotes?\n"
              "   8: e = 5   @ 2;\n"
              "Error: Invalid character in program: @ (0x40)\n"
              "Error: Syntax error\n"
              "   9: #INCLUDE \"other.mxl\"\n"
              "  10:   f = \"open // cut\n"
              "Error: Semicolon missing at end of previous statement\n"
              "Error: Missing quote at end of string\n"
              "  11: /* block\n"
              "  12:    comment */ g = 2.5e-1;\n"
              "Error: Semicolon missing at end of previous statement\n");
    EXPECT_EQ(run.err, "");
}

TEST(Batch, UncountedErrorsAloneDoNotFailTheRun)
{
    const MoxelRun run = runMoxel("PARAMETERS a, b;\r\nDOUBLE w;\r\nw = a & b;\r\nFUNCTION (a - 1)**2 @ + b*b;");
    EXPECT_NE(run.status, 1);   // the analysis runs
    EXPECT_EQ(run.out.rfind("RUN option specified\nError: Invalid operator: &\n"
                            "Error: Invalid character in program: @ (0x40)\nBeginning computation...\n", 0), 0u)
        << run.out;
    EXPECT_EQ(run.listing.rfind("   1: PARAMETERS a, b;\n   2: DOUBLE w;\n   3: w = a & b;\nError: Invalid operator: &\n"
                                "   4: FUNCTION (a - 1)**2 @ + b*b;\nError: Invalid character in program: @ (0x40)\n"
                                "\nBeginning computation...\n", 0), 0u)
        << run.listing;
}

TEST(Batch, UnterminatedCommentFailsTheCompileOnly)
{
    const MoxelRun run = runMoxel("DOUBLE x; x = 1;\r/* never closed\rx = 2;\r");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "RUN option specified\n"
                       "Error: Hit end of file while processing comment that started on line 2\n");
    EXPECT_EQ(run.listing, "   1: DOUBLE x; x = 1;\n   2: /* never closed\n   3: x = 2;\n"
                           "Error: Hit end of file while processing comment that started on line 2\n\n");
}

TEST(Batch, EmptyProgram)
{
    const MoxelRun run = runMoxel("");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "RUN option specified\nError: Program must have a FUNCTION statement\n"
                       "Error: You must use some parameters.\n");
    EXPECT_EQ(run.listing, "Error: Program must have a FUNCTION statement\n"
                           "Error: You must use some parameters.\n");
    EXPECT_EQ(run.err, "");
}

TEST(Batch, MissingOrUnreadableProgram)
{
    const std::string folder = testTempDir();
    for (const char* name : {"absent.mxl", "."}) {
        const RawRun run = runRaw(folder, {"-run", name});
        EXPECT_EQ(run.status, 1) << name;
        EXPECT_EQ(run.out, "RUN option specified\n") << name;
        EXPECT_EQ(splitLines(run.err).size(), 1u) << run.err;
        EXPECT_NE(run.err.find(name), std::string::npos) << run.err;
    }
}

TEST(Batch, ListingThatCannotBeWrittenFailsTheRun)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no full device to write to";
    // The listing leads to a device that is always full (written directly, since
    // nothing can be renamed over a device): the run's result is lost.
    const std::string folder = testTempDir();
    ASSERT_EQ(symlink("/dev/full", (folder + "/prog.lst").c_str()), 0);
    writeTextFile(folder + "/prog.mxl", "PARAMETERS b;\nFUNCTION (b - 2) * (b - 2);\n");
    const RawRun run = runRaw(folder, {"-run", "prog.mxl"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("Final Results"), std::string::npos);
    EXPECT_NE(run.err.find("Unable to write listing file: " + folder + "/prog.lst (No space left on device)\n"),
              std::string::npos) << run.err;
}

// A program saved with a UTF-8 byte-order mark runs without a message, and standard
// output carries the listing's UTF-8 text as it stands.
TEST(Batch, ByteOrderMarkIsSkippedAndStandardOutputKeepsUtf8)
{
    const MoxelRun run = runMoxel("\xEF\xBB\xBFTITLE \"Uptake in \xC2\xB5mol/g\";\nVARIABLES c, u;\n"
                                  "PARAMETERS k = 1;\nFUNCTION u = k * c;\nDATA;\n1 2.1\n2 3.9\n3 6.2\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.find("Error"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\nUptake in \xC2\xB5mol/g\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.listing.rfind("   1: TITLE \"Uptake in \xC2\xB5mol/g\";\n", 0), 0u) << run.listing;
}

// A program line over the limit is an error with its number, never a silent cut that
// surfaces later as a misleading message.
TEST(Batch, OverlongProgramLineIsReportedWithItsNumber)
{
    const std::string longLine = "PARAMETERS a = 1," + std::string(600, ' ') + "b = 2;";
    const MoxelRun run = runMoxel("VARIABLES x, y;\n" + longLine + "\nFUNCTION y = a + b * x;\nDATA;\n1 2\n2 3\n3 4\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "RUN option specified\n     2: PARAMETERS a = 1," + std::string(53, ' ') + "\n"
                       "Error: Line too long: a program line holds at most 599 characters\n")
        << run.out;
}

// Notes on likely slips: they are not errors, and the program runs as written.
TEST(Batch, NotesOnLikelySlipsLeaveTheRunAlone)
{
    struct Case {
        std::string program;
        int status;
        std::vector<std::string> notes;   // screen lines that must appear, in order
        int noteCount;                    // "Note: " lines on the screen
    };
    const std::string gauss = "VARIABLES x, y;\nPARAMETERS a = 1, x0 = 0.5;\n";
    const std::string points = "0 0.78\n1 0.78\n2 0.11\n";
    const Case cases[] = {
        {gauss + "FUNCTION y = a * exp(-(x - x0)^2);\nDATA;\n" + points, 0,
         {"     3: FUNCTION y = a * exp(-(x - x0)^2);",
          "Note: The unary minus applies before the power: -a**b is (-a)**b. Write -(a**b) for the "
          "negative of a power."}, 1},
        {gauss + "FUNCTION y = a * exp(-((x - x0)^2)) + 0 * -x0 * 2;\nDATA;\n" + points, 0, {}, 0},
        {gauss + "FUNCTION y = a * exp(-(x - x0) * (x - x0));\nDATA;\nx-value y\n" + points, 1,
         {"Invalid character on data record 1: x-value y",
          "Note: The first data record holds text. If it is a heading line, skip it with DATASKIP 1; before DATA."}, 1},
        {gauss + "FUNCTION y = a * exp(-(x - x0) * (x - x0));\nDATA;\n0 0,78\n1 0,78\n2 0,11\n3 0.01\n", 1,
         {"Data record 1 has decimal commas: 0 0,78",
          "Note: Write each decimal comma as a point (0.5, not 0,5); a comma separates two values."}, 1},
        {gauss + "FUNCTION y = a * exp(-(x - x0) * (x - x0));\nDATA;\n0 0.78 7\n1 0.78 7\n2 0.11 7\n", 0,
         {"Note: Data record 1 has more values than variables; the values after the first 2 are ignored "
          "(a decimal comma, as in 10,1, separates two values)"}, 1},
    };
    for (const Case& c : cases) {
        const MoxelRun run = runMoxel(c.program);
        EXPECT_EQ(run.status == 1, c.status == 1) << c.program << run.out;
        size_t at = 0;
        for (const std::string& line : c.notes) {
            at = run.out.find("\n" + line + "\n", at);
            EXPECT_NE(at, std::string::npos) << line << "\n" << run.out;
        }
        int count = 0;
        for (const std::string& line : splitLines(run.out))
            count += line.rfind("Note: ", 0) == 0;
        EXPECT_EQ(count, c.noteCount) << run.out;
        for (const std::string& line : c.notes) {
            if (line.rfind("Note: ", 0) == 0) {
                EXPECT_NE(run.listing.find("\n" + line + "\n"), std::string::npos) << run.listing;
            }
        }
    }
}

TEST(Batch, DataFileNamedLikeTheListingIsKept)
{
    const std::string folder = testTempDir();
    const std::string data = "1 2.1\n2 3.9\n3 6.2\n";
    writeTextFile(folder + "/prog.lst", data);
    writeTextFile(folder + "/prog.mxl", "VARIABLES x, y;\nPARAMETERS b;\nFUNCTION y = b * x;\n"
                                        "DATA \"prog.lst\";\n");
    const RawRun run = runRaw(folder, {"-run", "prog.mxl"});
    EXPECT_EQ(run.status, 1);   // no listing, no result
    EXPECT_EQ(readTextFile(folder + "/prog.lst"), data);
    EXPECT_NE(run.out.find("Number of observations = 3"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("Unable to create listing file: " + folder + "/prog.lst (it is the data file)\n"),
              std::string::npos) << run.err;
    EXPECT_EQ(std::system(("test -z \"$(ls -A '" + folder + "' | grep part)\"").c_str()), 0);
}

TEST(Batch, ProgramNamedLikeItsListingIsKept)
{
    const std::string folder = testTempDir();
    const std::string program = "PARAMETERS b;\nFUNCTION (b - 2) * (b - 2);\n";
    writeTextFile(folder + "/prog.lst", program);
    const RawRun run = runRaw(folder, {"-run", "prog.lst"});
    EXPECT_EQ(run.status, 1);   // no listing, no result
    EXPECT_EQ(readTextFile(folder + "/prog.lst"), program);
    EXPECT_NE(run.out.find("Final Results"), std::string::npos);
    EXPECT_NE(run.err.find("Unable to create listing file: " + folder + "/prog.lst (it is the program file)\n"),
              std::string::npos) << run.err;
}

TEST(Batch, ListingNameReplacesTheExtension)
{
    const std::string folder = testTempDir();
    ASSERT_EQ(std::system(("mkdir -p '" + folder + "/v1.2'").c_str()), 0);
    writeTextFile(folder + "/v1.2/model", "PARAMETERS a;\nFUNCTION a*a;\n");
    writeTextFile(folder + "/two.dots.mxl", "PARAMETERS b;\nFUNCTION b*b;\n");
    EXPECT_EQ(runRaw(folder, {"-run", "v1.2/model"}).status, 0);
    EXPECT_EQ(runRaw(folder, {"-run", folder + "/two.dots.mxl"}).status, 0);
    EXPECT_EQ(readTextFile(folder + "/v1.2/model.lst").rfind("   1: PARAMETERS a;\n   2: FUNCTION a*a;\n\n", 0), 0u);
    EXPECT_EQ(readTextFile(folder + "/two.dots.lst").rfind("   1: PARAMETERS b;\n   2: FUNCTION b*b;\n\n", 0), 0u);
}

TEST(CommandLine, UnknownOptionInBatchModeIsABadCommandLine)
{
    const MoxelRun run = runMoxel("x;\n", "prog", "", {"-bogus"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "Invalid command option: bogus\nRUN option specified\n");
    EXPECT_EQ(run.listing, "");
}

TEST(CommandLine, OptionValuesAndSpellings)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/p.mxl", "PARAMETERS p;\nFUNCTION p*p;\n");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    const Case cases[] = {
        {{"-RUN"}, 2, "RUN option specified\n"},
        {{"/Run"}, 2, "RUN option specified\n"},
        {{"-run", "-plots"}, 2, "RUN option specified\n"},
        {{"-run", "-plots", "p.mxl"}, 0, "RUN option specified\n"},
        {{"p.mxl", "-run"}, 0, "RUN option specified\n"},
        {{"-plots", "p.mxl", "-RUN"}, 0, "RUN option specified\n"},
        {{"-run", "-bogus", "p.mxl"}, 2, "Invalid command option: bogus\nRUN option specified\n"},
        {{"-params", "-run", "p.mxl"}, 0, "RUN option specified\n"},
        {{"-params", "anything", "-Run", "p.mxl"}, 0, "RUN option specified\n"},
        {{"/params", "/run", folder + "/p.mxl"}, 0, "RUN option specified\n"},
        {{"-run", "p.mxl", "extra.mxl"}, 2, "Invalid command option: extra.mxl\nRUN option specified\n"},
        {{"/runx", "-run", "p.mxl"}, 2, "Invalid command option: /runx\nRUN option specified\n"},
    };
    for (const Case& c : cases) {
        const RawRun run = runRaw(folder, c.args);
        EXPECT_EQ(run.status, c.status) << c.args[0];
        // A run with a program goes on with the analysis after these lines.
        EXPECT_EQ(run.out.rfind(c.out, 0), 0u) << c.args[0] << run.out;
        // A bad command line runs nothing and says how to call the program.
        if (c.status == 2) {
            EXPECT_EQ(run.out, c.out) << c.args[0];
            EXPECT_EQ(run.err, "Usage: moxel -run PROGRAM.mxl [-plots] [-json FILE]\n") << c.args[0];
        } else {
            EXPECT_NE(run.out.find("Stopped due to"), std::string::npos) << c.args[0];
        }
    }
    EXPECT_EQ(readTextFile(folder + "/p.lst").rfind("   1: PARAMETERS p;\n   2: FUNCTION p*p;\n", 0), 0u);
}

TEST(CommandLine, TraceIsWrittenInTheSettingsFolder)
{
    const std::string folder = testTempDir();
    const RawRun run = runRaw(folder, {"-RUN", "x y"});
    EXPECT_EQ(run.status, 1);   // "x y" is the program, and there is none
    EXPECT_EQ(readTextFile(folder + "/config/MOXEL/trace.dat"),
              std::string("Num arg = 3\narg[0] = ") + MOXEL_BINARY + "\narg[1] = -RUN\narg[2] = x y\nCmdRun=1\n");
    EXPECT_EQ(readTextFile(folder + "/trace.dat"), "");

    runRaw(folder, {"doc.mxl"});
    const std::vector<std::string> lines = splitLines(readTextFile(folder + "/config/MOXEL/trace.dat"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "arg[1] = doc.mxl");
    EXPECT_EQ(lines[3], "CmdRun=0");
}

TEST(CommandLine, WithoutRunAndWithoutDisplaySuggestsRun)
{
    const RawRun run = runRaw(testTempDir(), {"doc.mxl"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "") << "a document name is no invalid option";
    EXPECT_EQ(run.err, "moxel: no display is available for the window.\n"
                       "To run a program without a window, use: moxel -run PROGRAM.mxl\n");
}

} // namespace
