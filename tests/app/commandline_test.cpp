// The moxel command line end to end: help, version, bad options with and without a
// display, a document name, a standard output that cannot be written, and the manual
// page that the installation carries.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

struct Outcome {
    int status;         // exit status; 124 when the command had to be stopped
    std::string out;
    std::string err;
};

// Runs build/moxel in a fresh folder with the settings inside it. display is "" (none),
// "offscreen" (a window would open and wait) or a display name nobody answers.
Outcome runCommand(const std::vector<std::string>& args, const std::string& display,
                   const std::string& stdoutTarget = "")
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/p.mxl", "PARAMETERS p;\nFUNCTION p*p;\n");
    std::string env = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM";
    if (display == "offscreen")
        env += " QT_QPA_PLATFORM=offscreen";
    else if (!display.empty())
        env += " DISPLAY=" + display;
    // A window that opens would wait for its user: the time limit ends it as 124.
    std::string command = "cd '" + folder + "' && " + env + " XDG_CONFIG_HOME='" + folder +
                          "/config' timeout 20 '" MOXEL_BINARY "'";
    for (const std::string& arg : args)
        command += " '" + arg + "'";
    const std::string out = stdoutTarget.empty() ? folder + "/out.txt" : stdoutTarget;
    command += " >'" + out + "' 2>'" + folder + "/err.txt' </dev/null";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, stdoutTarget.empty() ? readTextFile(out) : "",
            readTextFile(folder + "/err.txt")};
}

bool startsWith(const std::string& text, const std::string& start)
{
    return text.compare(0, start.size(), start) == 0;
}

TEST(CommandLine, HelpVersionAndBadOptionsNeverOpenTheWindow)
{
    const struct {
        std::vector<std::string> args;
        const char* display;
        int status;
        const char* out;        // start of standard output
        const char* err;        // start of standard error
    } cases[] = {
        {{"--help"}, "offscreen", 0, "Usage: moxel -run PROGRAM.mxl [-plots] [-json FILE]\n       moxel [PROGRAM.mxl]\n", ""},
        {{"-h"}, "", 0, "Usage: moxel", ""},
        {{"-HELP", "p.mxl"}, "offscreen", 0, "Usage: moxel", ""},
        {{"--version"}, "offscreen", 0, "MOXEL version 5.3\n", ""},
        {{"--frobnicate"}, "offscreen", 2, "Invalid command option: -frobnicate\n", "Usage: moxel"},
        {{"--frobnicate"}, "", 2, "Invalid command option: -frobnicate\n", "Usage: moxel"},
        {{"-runn", "x.mxl"}, "offscreen", 2, "Invalid command option: runn\n", "Usage: moxel"},
        {{"-runn", "x.mxl"}, ":87", 2, "Invalid command option: runn\n", "Usage: moxel"},
        {{"p.mxl", "q.mxl"}, "offscreen", 2, "Invalid command option: q.mxl\n", "Usage: moxel"},
        // A document name is no option: without a display only the advice follows.
        {{"p.mxl"}, "", 1, "", "moxel: no display is available for the window.\n"},
    };
    for (const auto& c : cases) {
        const Outcome outcome = runCommand(c.args, c.display);
        const std::string name = c.args[0] + " with display '" + c.display + "'";
        EXPECT_EQ(outcome.status, c.status) << name << "\n" << outcome.err;
        EXPECT_TRUE(startsWith(outcome.out, c.out)) << name << "\n" << outcome.out;
        EXPECT_TRUE(startsWith(outcome.err, c.err)) << name << "\n" << outcome.err;
        if (c.status == 0) {
            EXPECT_EQ(outcome.err, "") << name;
        }
    }
    EXPECT_EQ(runCommand({"p.mxl"}, "").out.find("Invalid command option"), std::string::npos);
}

TEST(CommandLine, StandardOutputThatCannotBeWrittenIsAFailure)
{
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"-run", "p.mxl"}, 1},     // the analysis itself succeeds
        {{"--help"}, 1},
        {{"-run"}, 2},              // the bad command line keeps its own status
    };
    for (const auto& c : cases) {
        const Outcome outcome = runCommand(c.args, "", "/dev/full");
        EXPECT_EQ(outcome.status, c.status) << c.args.back();
        if (c.status == 1) {
            EXPECT_NE(outcome.err.find("moxel: standard output could not be written"), std::string::npos)
                << outcome.err;
        }
    }
    EXPECT_EQ(runCommand({"-run", "p.mxl"}, "").status, 0) << "the same run to a file";
}

TEST(CommandLine, ManualPageIsInstalledAndReads)
{
    const std::string prefix = testTempDir() + "/install";
    const std::string binary = MOXEL_BINARY;
    const std::string buildDir = binary.substr(0, binary.rfind('/'));
    const std::string install = "cmake --install '" + buildDir + "' --prefix '" + prefix + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(install.c_str()), 0);
    const std::string page = readTextFile(prefix + "/share/man/man1/moxel.1");
    ASSERT_FALSE(page.empty());
    // The sections a user looks for, and every option and exit status of the command.
    for (const char* text : {".SH SYNOPSIS", ".SH OPTIONS", ".SH EXIT STATUS", ".SH FILES", "MOXEL.conf", "\\-run",
                             "\\-plots", "\\-\\-help", "\\-\\-version", ".B 0", ".B 1", ".B 2", ".B 3", ".lst",
                             "_plot"})
        EXPECT_NE(page.find(text), std::string::npos) << text;
    // groff reads it without a warning.
    const std::string check = "groff -man -Tutf8 -ww -z '" + prefix + "/share/man/man1/moxel.1' 2>'" + prefix + "/w.txt'";
    if (std::system("command -v groff >/dev/null 2>&1") == 0) {
        EXPECT_EQ(std::system(check.c_str()), 0);
        EXPECT_EQ(readTextFile(prefix + "/w.txt"), "");
    }
}

}  // namespace
