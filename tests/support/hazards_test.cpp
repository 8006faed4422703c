// Runs that once lost data, followed a planted file or waited for ever, through
// build/moxel -run: read errors and odd bytes in the inputs, outputs that share a name,
// a Cancel before any result, pipes and other special files, and long program names.
#include "testutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const char LINE_MODEL[] = "VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a + b * x;\n";
const char LINE_DATA[] = "1 2.1\n2 3.9\n3 6.2\n4 7.8\n5 10.1\n";

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Runs command in a shell; its exit status, -1 when it did not exit.
int shell(const std::string& command)
{
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// build/moxel -run NAME (a program already written in folder, and any options), output
// into folder, after the command words of before (a tracer, say); seconds
// taken are in *seconds.
MoxelRun runWritten(const std::string& folder, const std::string& name, double* seconds,
                    const std::string& before = "")
{
    MoxelRun run;
    run.folder = folder;
    const auto start = std::chrono::steady_clock::now();
    run.status = shell("cd '" + folder + "' && XDG_CONFIG_HOME='" + folder + "/config' " + before + " timeout -s KILL 60 '" +
                       MOXEL_BINARY "' -run " + name + " >stdout.txt 2>stderr.txt </dev/null");
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.out = readTextFile(folder + "/stdout.txt");
    run.err = readTextFile(folder + "/stderr.txt");
    return run;
}

}  // namespace

// A read that fails part-way through a data file is no end of the data: the run fails
// with the file, the record and the system's reason, and fits nothing.
TEST(Hazards, DataReadErrorIsReported)
{
    const std::string folder = testTempDir();
    // Reading this process's memory at address 0 fails with EIO at the first read.
    ASSERT_EQ(symlink("/proc/self/mem", (folder + "/mem.dat").c_str()), 0);
    MoxelRun run = runMoxel(std::string(LINE_MODEL) + "DATA \"mem.dat\";\n", "prog", folder);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.out, "Unable to read data file: " + folder +
                                      "/mem.dat, after data record 0 (" + strerror(EIO) + ")"))
        << run.out;

    // Part-way through a file, where strace can inject the failure of the second read.
    if (shell("command -v strace >/dev/null") != 0)
        GTEST_SKIP() << "strace is not installed";
    std::string rows;
    for (int i = 0; i < 60000; ++i)
        rows += std::to_string(i % 100) + " " + std::to_string(1 + 2 * (i % 100)) + ".25\n";
    writeTextFile(folder + "/big.dat", rows);
    writeTextFile(folder + "/r.mxl", std::string(LINE_MODEL) + "DATA \"big.dat\";\n");
    double seconds = 0;
    run = runWritten(folder, "r.mxl", &seconds, "strace -o /dev/null -f -P big.dat -e inject=read:error=EIO:when=2");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.out, "Unable to read data file: " + folder + "/big.dat, after data record "))
        << run.out << run.err;
    EXPECT_TRUE(contains(run.out, std::string("(") + strerror(EIO) + ")"));
    EXPECT_FALSE(contains(run.out, "Final Results"));
}

// Bytes that are no program text or no data record: each an error at its line, the
// record repeated cut and with its control characters escaped.
TEST(Hazards, OddBytesInProgramsAndDataAreErrorsAtTheirLines)
{
    MoxelRun run = runMoxel(std::string(LINE_MODEL) + "PLOT;" + std::string(1, '\0') + "\nDATA;\n" + LINE_DATA);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.out, "Line 4 holds a NUL byte")) << run.out;

    run = runMoxel(std::string("\xFF\xFE") + "V\0A\0R\0", "wide");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.out, "saved as UTF-16: save it as UTF-8")) << run.out;
    EXPECT_FALSE(contains(run.out, "Invalid character"));

    const std::string folder = testTempDir();
    writeTextFile(folder + "/nul.dat", "1 2\n2 3" + std::string(1, '\0') + "9\n3 4\n");
    run = runMoxel(std::string(LINE_MODEL) + "DATA \"nul.dat\";\n", "prog", folder);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.out, "Data record 2 holds a NUL byte")) << run.out;
    // Two gigabytes of NUL bytes (a sparse file) are neither read through nor held.
    writeTextFile(folder + "/zeros.dat", "");
    ASSERT_EQ(truncate((folder + "/zeros.dat").c_str(), 2L << 30), 0);
    run = runMoxel(std::string(LINE_MODEL) + "DATA \"zeros.dat\";\n", "prog", folder);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.out, "Data record 1 holds a NUL byte")) << run.out;

    run = runMoxel(std::string(LINE_MODEL) + "DATA;\n1 2\n7\x1b[31m" + std::string(200, 'x') + "\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.out, "Invalid number on data record 2, field 1: 7\\x1b[31m" + std::string(74, 'x') + "...\n"))
        << run.out;

    run = runMoxel("VARIABLES x, y;\nPARAMETERS a = 1e999, b = 1;\nFUNCTION y = a + b * x;\nDATA;\n" +
                   std::string(LINE_DATA));
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.out, "The initial value of parameter a is out of range")) << run.out;
}

// A data file that cannot be read says why.
TEST(Hazards, DataFileThatCannotBeOpenedSaysWhy)
{
    const std::string folder = testTempDir();
    mkdir((folder + "/folder.dat").c_str(), 0700);
    mkfifo((folder + "/pipe.dat").c_str(), 0600);
    symlink("loop.dat", (folder + "/loop.dat").c_str());
    symlink("missing.dat", (folder + "/dangling.dat").c_str());
    const std::pair<const char*, std::string> cases[] = {
        {"folder.dat", "(it is a folder)"},
        {"pipe.dat", "(it is a pipe, not a file)"},
        {"loop.dat", std::string("(") + strerror(ELOOP) + ")"},
        {"dangling.dat", std::string("(") + strerror(ENOENT) + ")"},
    };
    for (const auto& [name, reason] : cases) {
        const MoxelRun run = runMoxel(std::string(LINE_MODEL) + "DATA \"" + name + "\";\n", "prog", folder);
        EXPECT_EQ(run.status, 1) << name;
        EXPECT_TRUE(contains(run.out, "Unable to open data file: " + folder + "/" + name + " " + reason)) << run.out;
    }
}

// Two outputs of one name are refused before the run, naming both; neither file is
// touched.
TEST(Hazards, OutputsOfOneNameAreRefused)
{
    struct Case {
        const char* statements;
        const char* message;
    };
    const Case cases[] = {
        {"OUTPUT \"prog.lst\" x, y;", "The listing and OUTPUT name one file"},
        {"POUTPUT \"prog.lst\";", "The listing and POUTPUT name one file"},
        {"OUTPUT \"both\" x, y;\nPOUTPUT \"./sub/../both.out\";", "OUTPUT and POUTPUT name one file"},
        {"OUTPUT \"d.dat\" x, y;", "The data file and OUTPUT name one file"},
    };
    for (const Case& c : cases) {
        const std::string folder = testTempDir();
        mkdir((folder + "/sub").c_str(), 0700);
        writeTextFile(folder + "/d.dat", LINE_DATA);
        writeTextFile(folder + "/both.out", "old\n");
        const MoxelRun run =
            runMoxel(std::string(LINE_MODEL) + c.statements + "\nDATA \"d.dat\";\n", "prog", folder);
        EXPECT_EQ(run.status, 1) << c.statements;
        EXPECT_TRUE(contains(run.out, c.message)) << c.statements << "\n" << run.out;
        EXPECT_EQ(readTextFile(folder + "/d.dat"), LINE_DATA);
        EXPECT_EQ(readTextFile(folder + "/both.out"), "old\n");
    }
    // The plot images of -plots count too.
    const std::string folder = testTempDir();
    const MoxelRun run = runMoxel(std::string(LINE_MODEL) + "OUTPUT \"prog_plot1.jpg\" x, y;\nPLOT;\nDATA;\n" + LINE_DATA,
                                  "prog", folder, {"-plots"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.out, "OUTPUT and the image of plot 1 name one file")) << run.out;
}

// The results files of the command line (-json, and -table of a batch over data sets)
// are refused when they name the listing, the program, the data or an output file: the
// run stops before it writes anything, and every file stays as it was.
TEST(Hazards, ResultsFilesOfTheCommandLineMayNotNameAnotherFile)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {{"-json", "prog.lst"}, 1, "The listing and the -json file name one file"},
        {{"-json", "prog.mxl"}, 1, "The program and the -json file name one file"},
        {{"-json", "./sub/../d.dat"}, 1, "The data file and the -json file name one file"},
        {{"-json", "fit.out"}, 1, "OUTPUT and the -json file name one file"},
        {{"-json", "fit.par"}, 1, "POUTPUT and the -json file name one file"},
        {{"-data", "d.dat", "e.dat", "-table", "prog.mxl"}, 2, "The program and the -table file name one file"},
        {{"-data", "d.dat", "e.dat", "-table", "e.dat"}, 2, "The data file and the -table file name one file"},
        {{"-data", "d.dat", "e.dat", "-table", "sub/../e.lst"}, 2, "The listing and the -table file name one file"},
    };
    for (const Case& c : cases) {
        const bool sets = c.args.front() == "-data";
        const std::string program = std::string(LINE_MODEL) +
                                    (sets ? "" : "OUTPUT \"fit\" x, y;\nPOUTPUT \"fit\";\n") + "DATA \"d.dat\";\n";
        const std::string folder = testTempDir();
        mkdir((folder + "/sub").c_str(), 0700);
        const std::vector<std::pair<std::string, std::string>> files = {
            {"d.dat", LINE_DATA}, {"e.dat", LINE_DATA}, {"prog.lst", "old listing\n"}, {"e.lst", "old e\n"},
            {"fit.out", "old output\n"}, {"fit.par", "old parameters\n"}};
        for (const auto& [name, text] : files)
            writeTextFile(folder + "/" + name, text);
        const std::string text = c.args.back();
        const MoxelRun run = runMoxel(program, "prog", folder, c.args);
        EXPECT_EQ(run.status, c.status) << text;
        EXPECT_TRUE(contains(run.out + run.err, c.message)) << text << "\n" << run.out << run.err;
        for (const auto& [name, old] : files)
            if (!(name == "prog.lst" && !sets))   // the refusal is told in the listing
                EXPECT_EQ(readTextFile(folder + "/" + name), old) << text << ": " << name;
        EXPECT_EQ(readTextFile(folder + "/prog.mxl"), program) << text;
    }
    // Names of their own run as before.
    const std::string folder = testTempDir();
    writeTextFile(folder + "/d.dat", LINE_DATA);
    writeTextFile(folder + "/e.dat", LINE_DATA);
    const std::string program = std::string(LINE_MODEL) + "DATA \"d.dat\";\n";
    EXPECT_EQ(runMoxel(program, "prog", folder, {"-json", "prog.json"}).status, 0);
    EXPECT_NE(readTextFile(folder + "/prog.json").find('{'), std::string::npos);
    EXPECT_EQ(runMoxel(program, "prog", folder, {"-data", "d.dat", "e.dat", "-table", "t.csv"}).status, 0);
    EXPECT_FALSE(readTextFile(folder + "/t.csv").empty());
}

// A Cancel that comes while the data are read, before any point is computed, keeps the
// OUTPUT and POUTPUT files of the earlier run byte for byte, and the listing says why.
TEST(Hazards, EarlyCancelKeepsTheOldResults)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/small.dat", LINE_DATA);
    const std::string program = std::string(LINE_MODEL) + "OUTPUT \"fit\" x, y, $PREDICTED;\nPOUTPUT \"fit\";\n";
    MoxelRun run = runMoxel(program + "DATA \"small.dat\";\n", "fit", folder);
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string oldOutput = readTextFile(folder + "/fit.out");
    const std::string oldParameters = readTextFile(folder + "/fit.par");
    ASSERT_FALSE(oldOutput.empty());

    std::string rows;
    for (int i = 0; i < 3000000; ++i)
        rows += "1 2\n";
    writeTextFile(folder + "/big.dat", rows);
    writeTextFile(folder + "/fit.mxl", program + "DATA \"big.dat\";\n");
    // SIGINT once the run has opened its listing, while it reads the data.
    const std::string command = "cd '" + folder + "' || exit 9; XDG_CONFIG_HOME='" + folder + "/config' '" MOXEL_BINARY
                                "' -run fit.mxl >stdout.txt 2>stderr.txt </dev/null & pid=$!; "
                                "for i in $(seq 4000); do ls fit.lst.part.* >/dev/null 2>&1 && break; sleep 0.005; done; "
                                "kill -INT $pid; wait $pid";
    const int status = shell(command);
    EXPECT_NE(status, 0);
    EXPECT_EQ(readTextFile(folder + "/fit.out"), oldOutput);
    EXPECT_EQ(readTextFile(folder + "/fit.par"), oldParameters);
    EXPECT_TRUE(contains(readTextFile(folder + "/fit.lst"), "cancelled")) << readTextFile(folder + "/fit.lst");
}

// Pipes and special files never hold a run: an OUTPUT pipe without a reader fails at
// once, and a program, settings or trace file that is a pipe is refused.
TEST(Hazards, PipesFailAtOnce)
{
    const std::string folder = testTempDir();
    ASSERT_EQ(mkfifo((folder + "/out.fifo").c_str(), 0600), 0);
    writeTextFile(folder + "/p.mxl", std::string(LINE_MODEL) + "OUTPUT \"out.fifo\" x, y;\nDATA;\n" + LINE_DATA);
    double seconds = 0;
    MoxelRun run = runWritten(folder, "p.mxl", &seconds);
    EXPECT_EQ(run.status, 1);
    EXPECT_LT(seconds, 10.0);
    EXPECT_TRUE(contains(run.out, "no program reads from this pipe")) << run.out;

    ASSERT_EQ(mkfifo((folder + "/q.mxl").c_str(), 0600), 0);
    run = runWritten(folder, "q.mxl", &seconds);
    EXPECT_EQ(run.status, 1);
    EXPECT_LT(seconds, 10.0);
    EXPECT_TRUE(contains(run.err, "not a regular file")) << run.err;

    // The settings file and trace.dat as pipes: the run goes on without them.
    const std::string other = testTempDir();
    mkdir((other + "/config").c_str(), 0700);
    mkdir((other + "/config/MOXEL").c_str(), 0700);
    ASSERT_EQ(mkfifo((other + "/config/MOXEL/MOXEL.conf").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((other + "/config/MOXEL/trace.dat").c_str(), 0600), 0);
    writeTextFile(other + "/s.mxl", std::string(LINE_MODEL) + "PLOT;\nDATA;\n" + LINE_DATA);
    run = runWritten(other, "s.mxl -plots", &seconds);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_LT(seconds, 10.0);
}

// Statements after "DATA;" on its line are program text; the data begin on the next line.
TEST(Hazards, StatementsAfterInlineDataOnItsLine)
{
    MoxelRun run = runMoxel(std::string(LINE_MODEL) + "DATA; CONFIDENCE 95;\n" + LINE_DATA);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(contains(run.listing, "95.000% Confidence Intervals")) << run.listing;
    run = runMoxel(std::string(LINE_MODEL) + "DATA; foo bar\n" + LINE_DATA);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.out, "Error")) << run.out;
}

// Program names up to the longest a folder allows run, and their temporaries fit.
TEST(Hazards, LongProgramNamesRun)
{
    const std::string folder = testTempDir();
    for (const size_t length : {244u, 250u, 255u}) {
        const std::string name = std::string(length - 4, 'p');
        const MoxelRun run = runMoxel(std::string(LINE_MODEL) + "DATA;\n" + LINE_DATA, name, folder);
        EXPECT_EQ(run.status, 0) << length << ": " << run.out << run.err;
        EXPECT_FALSE(run.listing.empty()) << length;
    }
}
