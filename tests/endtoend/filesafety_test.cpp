// Files that are never lost, through build/moxel -run: a write that fails part way (the
// file-size limit of the process stands in for a full disk), two runs of one program at
// once, signals during a run, a run out of memory, and a decimal-comma locale.
#include "testutil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Runs a shell command in folder with settings under folder/config; its exit status,
// 128 + the signal when a signal ended it, -1 when it could not run.
int runIn(const std::string& folder, const std::string& command)
{
    const std::string line = "cd '" + folder + "' && export XDG_CONFIG_HOME='" + folder + "/config' && (" + command + ")";
    const int raw = std::system(line.c_str());
    if (!WIFEXITED(raw))
        return -1;
    return WEXITSTATUS(raw);
}

const std::string MOXEL = "'" MOXEL_BINARY "'";

// Names in folder that are temporaries of the safe writer (NAME.part.XXXXXX).
std::vector<std::string> temporaries(const std::string& folder)
{
    std::vector<std::string> found;
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return found;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.find(".part") != std::string::npos)
            found.push_back(name);
    }
    closedir(dir);
    return found;
}

// A fit with OUTPUT and POUTPUT; rows extra data lines make the files as large as wanted.
std::string fitProgram(int rows, bool outputIntoListing = false)
{
    std::string program = "VARIABLES x, y;\nPARAMETERS a = 1, b = 0.1;\nFUNCTION y = a + b * x;\n";
    program += outputIntoListing ? "OUTPUT x, y, $PREDICTED;\n" : "OUTPUT \"fit\" x, y, $PREDICTED;\n";
    program += "POUTPUT \"fit\";\nDATA;\n";
    for (int i = 0; i < rows; ++i)
        program += std::to_string(i) + " " + std::to_string(2 * i + 1 + (i % 3) * 0.25) + "\n";
    return program;
}

const char OLD_LISTING[] = "old listing\n";
const char OLD_OUTPUT[] = "old output\n";
const char OLD_PARAMETERS[] = "old parameters\n";

void writeOldFiles(const std::string& folder)
{
    writeTextFile(folder + "/fit.lst", OLD_LISTING);
    writeTextFile(folder + "/fit.out", OLD_OUTPUT);
    writeTextFile(folder + "/fit.par", OLD_PARAMETERS);
}

}  // namespace

// A write that fails part way (the disk is full) loses no old file: the new file is not
// put in place, the message names the file with its full path and the reason, and the
// run fails.
TEST(FileSafety, FailedWriteKeepsTheOldFile)
{
    struct Case {
        const char* name;
        int rows;                 // data rows
        bool outputIntoListing;   // the OUTPUT table goes into the listing
        bool listingLost;         // the listing is the file that cannot be written
        const char* message;      // on standard error (listing lost) or in the new listing
    };
    const Case cases[] = {
        {"listing", 2000, true, true, "Unable to write listing file: %s/fit.lst (File too large)\n"},
        {"output file", 2000, false, false, "Error: unable to write output file: %s/fit.out (File too large)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = testTempDir();
        writeOldFiles(folder);
        writeTextFile(folder + "/fit.mxl", fitProgram(c.rows, c.outputIntoListing));
        // 16 KB: the listing of the fit fits, the 2000 rows of the table do not.
        const int status = runIn(folder, "prlimit --fsize=16384 " + MOXEL + " -run fit.mxl >/dev/null 2>err.txt");
        EXPECT_EQ(status, 1);
        char message[512];
        snprintf(message, sizeof message, c.message, folder.c_str());
        const std::string listing = readTextFile(folder + "/fit.lst");
        if (c.listingLost) {
            EXPECT_EQ(listing.substr(0, 100), OLD_LISTING);
            EXPECT_NE(readTextFile(folder + "/err.txt").find(message), std::string::npos)
                << readTextFile(folder + "/err.txt");
        } else {
            EXPECT_EQ(readTextFile(folder + "/fit.out").substr(0, 100), OLD_OUTPUT);
            EXPECT_NE(listing.find(message), std::string::npos) << listing.substr(0, 2000);
            EXPECT_NE(readTextFile(folder + "/fit.par"), OLD_PARAMETERS);
        }
        EXPECT_EQ(temporaries(folder), std::vector<std::string>{});
    }
}

// Two runs of one program at once each write their own temporaries: both succeed, and
// the files in place are whole files of one run.
TEST(FileSafety, TwoRunsAtOnceEachPutWholeFilesInPlace)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/fit.mxl", fitProgram(20000));
    const int status = runIn(folder, MOXEL + " -run fit.mxl >a.txt 2>&1 & first=$!; " + MOXEL +
                                         " -run fit.mxl >b.txt 2>&1; second=$?; wait $first; "
                                         "test $? -eq 0 && test $second -eq 0");
    EXPECT_EQ(status, 0) << readTextFile(folder + "/a.txt").substr(0, 300) << readTextFile(folder + "/b.txt").substr(0, 300);
    const std::string listing = readTextFile(folder + "/fit.lst");
    EXPECT_EQ(listing.rfind("   1: VARIABLES x, y;\n", 0), 0u);
    EXPECT_EQ(listing.find("Final Results"), listing.rfind("Final Results"));
    EXPECT_NE(listing.find("Parameter values will be written to"), std::string::npos);
    EXPECT_EQ(splitLines(readTextFile(folder + "/fit.out")).size(), 20000u);
    EXPECT_EQ(splitLines(readTextFile(folder + "/fit.par")).size(), 2u);
    EXPECT_EQ(temporaries(folder), std::vector<std::string>{});
}

// A program slow enough to be interrupted before it has evaluated its first point.
const char SLOW_PROGRAM[] =
    "VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nDOUBLE i;\ni = 0;\nWHILE (i < 300000000) i = i + 1;\n"
    "FUNCTION y = a * exp(b * x);\nOUTPUT \"slow\" x, y;\nDATA;\n0 1.1\n1 2.6\n2 7.5\n3 19.8\n";

// Ctrl+C, SIGTERM and SIGHUP in batch mode cancel the run: the cancelled listing is
// written in place of the old one, no temporary is left, the status is 3, and the
// figures that were never computed say so instead of showing a perfect fit.
TEST(FileSafety, SignalsCancelTheRunAndLeaveNoTemporaries)
{
    for (const char* signalName : {"INT", "TERM", "HUP"}) {
        SCOPED_TRACE(signalName);
        const std::string folder = testTempDir();
        writeTextFile(folder + "/slow.mxl", SLOW_PROGRAM);
        writeTextFile(folder + "/slow.lst", OLD_LISTING);
        const int status = runIn(folder, std::string("timeout --preserve-status -s ") + signalName + " 1 " + MOXEL +
                                             " -run slow.mxl >out.txt 2>err.txt");
        EXPECT_EQ(status, 3);
        const std::string listing = readTextFile(folder + "/slow.lst");
        EXPECT_NE(listing.find("\nStopped due to: Analysis was aborted\n"), std::string::npos) << listing;
        for (const char* figure : {"Final sum of squared deviations", "Final sum of deviations",
                                   "Standard error of estimate", "Average deviation",
                                   "Maximum deviation for any observation"})
            EXPECT_NE(listing.find(std::string("\n") + figure + " = not computed (the analysis was cancelled first)\n"),
                      std::string::npos) << figure << "\n" << listing;
        EXPECT_EQ(listing.find("Analysis of Variance"), std::string::npos);
        EXPECT_EQ(temporaries(folder), std::vector<std::string>{});
    }
}

// A second SIGTERM while the run cannot finish (its OUTPUT file is a pipe held open but
// never read, which fills) ends the process at once: the temporary listing is removed
// and the old one stays.
TEST(FileSafety, SecondSignalEndsTheRunAndRemovesItsTemporaries)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/fit.mxl", fitProgram(20000));
    writeTextFile(folder + "/fit.lst", OLD_LISTING);
    ASSERT_EQ(mkfifo((folder + "/fit.out").c_str(), 0600), 0);
    const int status = runIn(folder, "exec 3<>fit.out; " + MOXEL +
                                         " -run fit.mxl >out.txt 2>&1 & run=$!; sleep 1; kill -TERM $run; "
                                         "sleep 0.5; kill -TERM $run; wait $run");
    EXPECT_EQ(status, 128 + SIGTERM);
    EXPECT_EQ(readTextFile(folder + "/fit.lst"), OLD_LISTING);
    EXPECT_EQ(temporaries(folder), std::vector<std::string>{});
}

// Out of memory in the analysis (a Jacobian of 200000 x 500 doubles under a 400 MB
// address space): the message is in the listing too, and the status is 1.
TEST(FileSafety, OutOfMemoryIsInTheListingAndFailsTheRun)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer reserves terabytes of address space at start: no address-space limit
    // leaves it room to start.
    GTEST_SKIP() << "an address-space limit stops a sanitized program before it starts";
#endif
    const std::string folder = testTempDir();
    std::string program = "VARIABLES x, y;\nPARAMETERS p1";
    std::string model = "FUNCTION y = p1 * x";
    for (int j = 2; j <= 500; ++j) {
        program += ",\n p" + std::to_string(j);
        model += "\n + p" + std::to_string(j);
    }
    writeTextFile(folder + "/big.mxl", program + ";\n" + model + ";\nDATA \"big.dat\";\n");
    std::string data;
    for (int i = 0; i < 200000; ++i)
        data += std::to_string(i % 100) + " " + std::to_string(i % 7) + "\n";
    writeTextFile(folder + "/big.dat", data);
    const int status = runIn(folder, "prlimit --as=400000000 " + MOXEL + " -run big.mxl >out.txt 2>err.txt");
    EXPECT_EQ(status, 1);
    const std::string listing = readTextFile(folder + "/big.lst");
    EXPECT_NE(listing.find("\nError: Insufficient free memory space is available.\n"), std::string::npos)
        << listing.substr(listing.size() > 300 ? listing.size() - 300 : 0);
    EXPECT_NE(readTextFile(folder + "/err.txt").find("Error: Insufficient free memory space is available.\n"),
              std::string::npos);
}

// Whatever the user's locale, batch mode reads and writes numbers with decimal points.
TEST(FileSafety, DecimalCommaLocaleChangesNoNumber)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/fit.mxl", fitProgram(6));
    ASSERT_EQ(runIn(folder, MOXEL + " -run fit.mxl >/dev/null 2>&1 && mv fit.lst c.lst && mv fit.out c.out"), 0);
    ASSERT_EQ(runIn(folder, "LC_ALL=de_DE.UTF-8 " + MOXEL + " -run fit.mxl >/dev/null 2>&1"), 0);
    const auto withoutStamp = [](const std::string& text) { return text.substr(0, text.find("Analysis completed")); };
    EXPECT_EQ(withoutStamp(readTextFile(folder + "/fit.lst")), withoutStamp(readTextFile(folder + "/c.lst")));
    EXPECT_EQ(readTextFile(folder + "/fit.out"), readTextFile(folder + "/c.out"));
}

int countOf(const std::string& text, const std::string& part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// Floods of errors: the compile stops after 100 errors with a line that says so, on the
// screen and in the listing, however many more the program holds.
TEST(Floods, CompileStopsAfterOneHundredErrors)
{
    struct Case {
        const char* name;
        std::string body;     // between the declarations and the FUNCTION statement
        const char* repeated; // the message that would flood
    };
    std::string undefined;
    for (int i = 0; i < 50000; ++i)
        undefined += "x = u" + std::to_string(i) + ";\n";
    std::string braces;
    for (int i = 0; i < 10000; ++i)
        braces += "{\n";
    braces += "x = 1;\n";
    for (int i = 0; i < 10000; ++i)
        braces += "}\n";
    std::string ninetyNine;
    for (int i = 0; i < 99; ++i)
        ninetyNine += "x = u" + std::to_string(i) + ";\n";
    const Case cases[] = {
        {"50000 undefined names", undefined, "Error: Undefined variable name: "},
        {"10000 nested braces", braces, "Error: "},
        {"99 errors", ninetyNine, "Error: Undefined variable name: "},
    };
    const std::string stop = "Error: Too many errors: the compile stops after 100 errors\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const MoxelRun run = runMoxel("PARAMETERS a;\nDOUBLE x;\n" + c.body + "FUNCTION a*a;\n");
        EXPECT_EQ(run.status, 1);
        const bool flood = c.body != ninetyNine;
        EXPECT_EQ(countOf(run.out, stop), flood ? 1 : 0);
        EXPECT_EQ(countOf(run.listing, stop), flood ? 1 : 0);
        // The 100 errors and the stop line; the last statement is never reached.
        EXPECT_EQ(countOf(run.out, "\nError: "), flood ? 101 : 99) << run.out.substr(0, 2000);
        if (flood) {
            EXPECT_EQ(run.out.size() - run.out.rfind(stop), stop.size());
            EXPECT_EQ(run.listing.find("FUNCTION a*a;"), std::string::npos);
        }
    }
}

// A SWEEP grid of more than a million points is told at compile time with its size; up
// to a million, nothing new is said.
TEST(Floods, LargeSweepGridIsReportedAtCompileTime)
{
    struct Case {
        const char* sweeps;
        const char* note;   // expected note, null when none
    };
    const Case cases[] = {
        {"SWEEP a = 1, 1000, 1;\nSWEEP b = 1, 1000, 1;\n", nullptr},
        {"SWEEP a = 1, 1000, 1;\nSWEEP b = 1, 1001, 1;\n",
         "     4: SWEEP b = 1, 1001, 1;\nNote: The SWEEP grid has 1001000 points (more than 1000000): the parameters "
         "are fitted once from each point, which may take hours. Check the steps.\n"},
        {"SWEEP a = 0, 1, 0.0000001;\n",
         "     3: SWEEP a = 0, 1, 0.0000001;\nNote: The SWEEP grid has 10000001 points (more than 1000000)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sweeps);
        // The undefined name stops the run after the compile.
        const MoxelRun run = runMoxel(std::string("VARIABLES x, y;\nPARAMETERS a, b;\n") + c.sweeps +
                                      "FUNCTION y = a * x + b + nothing;\nDATA;\n1 2\n2 3\n");
        EXPECT_EQ(run.status, 1);
        if (c.note) {
            EXPECT_NE(run.out.find(c.note), std::string::npos) << run.out;
            EXPECT_EQ(countOf(run.listing, "\nNote: The SWEEP grid has "), 1) << run.listing;
        } else {
            EXPECT_EQ(run.out.find("Note:"), std::string::npos) << run.out;
        }
    }
}

// A long fit whose standard error is no terminal (a log file) still says every 10 s that
// it is alive.
TEST(Floods, LongFitPrintsProgressLinesToALogFile)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/slow.mxl", SLOW_PROGRAM);
    const int status = runIn(folder, "timeout --preserve-status -s INT 11 " + MOXEL + " -run slow.mxl >out.txt 2>err.txt");
    EXPECT_EQ(status, 3);
    const std::string err = readTextFile(folder + "/err.txt");
    EXPECT_EQ(err.rfind("Running for 10 s: first iteration\n", 0), 0u) << err;
    EXPECT_EQ(err.find('\r'), std::string::npos);
}

// No listing, no result: a run whose listing cannot be created exits with status 1
// after saying why, with the full path.
TEST(FileSafety, NoListingMeansFailure)
{
    const std::string folder = testTempDir();
    ASSERT_EQ(mkdir((folder + "/fit.lst").c_str(), 0755), 0);
    writeTextFile(folder + "/fit.mxl", fitProgram(6));
    const int status = runIn(folder, MOXEL + " -run fit.mxl >out.txt 2>err.txt");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(readTextFile(folder + "/err.txt"), "Unable to create listing file: " + folder + "/fit.lst (Is a directory)\n");
    EXPECT_NE(readTextFile(folder + "/out.txt").find("Final Results"), std::string::npos);
    EXPECT_EQ(temporaries(folder), std::vector<std::string>{});
}

// A reader of standard output that goes away during the run (a pipe into head) does not
// end the run half-way: the listing and the output file are written whole, without
// temporaries.
TEST(FileSafety, ClosedStandardOutputLosesOnlyTheScreenLines)
{
    const std::string folder = testTempDir();
    // A fit of about a second: the screen lines after the first come after the reader
    // has gone.
    std::string program = fitProgram(2000, true);
    program.insert(program.find("FUNCTION"), "DOUBLE i;\ni = 0;\nWHILE (i < 500) i = i + 1;\n");
    writeTextFile(folder + "/fit.mxl", program);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ends[0]);
        dup2(ends[1], STDOUT_FILENO);
        if (chdir(folder.c_str()) != 0)
            _exit(99);
        setenv("XDG_CONFIG_HOME", (folder + "/config").c_str(), 1);
        signal(SIGPIPE, SIG_DFL);
        execl(MOXEL_BINARY, MOXEL_BINARY, "-run", "fit.mxl", static_cast<char*>(nullptr));
        _exit(98);
    }
    close(ends[1]);
    // The reader takes the first line and goes.
    char c = 0;
    while (read(ends[0], &c, 1) == 1 && c != '\n') {
    }
    close(ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    // The screen lines were lost, so the run says so (status 1); its files are whole.
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    const std::string listing = readTextFile(folder + "/fit.lst");
    EXPECT_NE(listing.find("Final Results"), std::string::npos);
    EXPECT_EQ(countOf(listing, "\n1999 "), 1);
    EXPECT_EQ(splitLines(readTextFile(folder + "/fit.par")).size(), 2u);
    EXPECT_EQ(temporaries(folder), std::vector<std::string>{});
}
