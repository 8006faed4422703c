// One program fitted to many data sets (-by, -data): the results table, end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "testutil.h"

namespace {

const char* const PROGRAM =
    "VARIABLES Time, conc;\n"
    "PARAMETERS a = 10, k = 0.3;\n"
    "FUNCTION conc = a * exp(-k * Time);\n"
    "DERIVED half = log(2) / k;\n"
    "CONFIDENCE 95;\n"
    "DATA \"plate.csv\";\n";

// Groups whose records are interleaved, with commas, quotes, blanks and UTF-8 in their
// names; one group too small to fit and one whose model cannot be computed at the start.
std::string groupedData()
{
    const char* groups[] = {"S1", "\"S 2, \"\"x\"\"\"", "Ünï", "lone", "far"};
    std::string text = "Subject,Time,conc,Wt\n";
    for (int t = 0; t < 8; ++t)
        for (int g = 0; g < 5; ++g) {
            if (g == 3 && t > 0)
                continue;
            const double time = g == 4 ? -5000.0 - t : 0.5 + 1.5 * t;
            const double conc = (10 + g) * std::exp(-(0.2 + 0.05 * g) * time) * (1 + 0.01 * ((t * 7 + g) % 5 - 2));
            char line[200];
            snprintf(line, sizeof line, "%s,%g,%.6g,70\n", groups[g], time, g == 4 ? 1.0 : conc);
            text += line;
        }
    return text;
}

std::string runShell(const std::string& command, int* status)
{
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    size_t n;
    while (pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    const int raw = pipe ? pclose(pipe) : -1;
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

std::string checkTable(const std::string& folder, const std::string& table, const std::string& mode)
{
    int status = 0;
    const std::string out = runShell("python3 " + sourceDir() + "/tests/data/batch/check_table.py '" MOXEL_BINARY
                                     "' " + folder + "/fit.mxl " + folder + "/" + table + " " + mode + " 2>&1",
                                     &status);
    return status == 0 ? "" : out + " (status " + std::to_string(status) + ")";
}

TEST(BatchSets, GroupsGiveTheSingleRunsFitsInOneTableWhateverTheJobs)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/plate.csv", groupedData());
    const MoxelRun one = runMoxel(PROGRAM, "fit", folder, {"-by", "Subject", "-table", "one.csv", "-jobs", "1"});
    EXPECT_EQ(one.status, 1) << "a failed group makes the status 1\n" << one.out << one.err;
    const std::string table = readTextFile(folder + "/one.csv");
    const std::vector<std::string> rows = splitLines(table);
    ASSERT_EQ(rows.size(), 6u) << table;
    EXPECT_EQ(rows[0], "Subject,status,stop_reason,iterations,n,ss,s,r2,a,a_se,a_lower,a_upper,k,k_se,k_lower,"
                       "k_upper,half,half_se,half_lower,half_upper,message");
    EXPECT_EQ(rows[2].rfind("\"S 2, \"\"x\"\"\",converged,", 0), 0u) << rows[2];
    EXPECT_EQ(rows[3].rfind("Ünï,converged,", 0), 0u) << rows[3];
    EXPECT_EQ(rows[4], "lone,failed,,,,,,,,,,,,,,,,,,,Fewer data observations than parameters");
    EXPECT_EQ(rows[5].rfind("far,not_converged,Function cannot be computed", 0), 0u) << rows[5];
    EXPECT_NE(one.out.find(table), std::string::npos) << "the rows stream to standard output";
    EXPECT_NE(readTextFile(folder + "/fit_S_2___x_.lst").find("Number of observations = 8"), std::string::npos);
    EXPECT_EQ(checkTable(folder, "one.csv", "by Subject " + folder + "/plate.csv"), "");

    const MoxelRun two = runMoxel(PROGRAM, "fit", folder, {"-by", "1", "-table", "two.csv", "-jobs", "2", "-quiet"});
    EXPECT_EQ(two.status, 1);
    EXPECT_EQ(readTextFile(folder + "/two.csv"), std::string("1") + table.substr(table.find(',')))
        << "same rows, same numbers from two worker processes";
}

TEST(BatchSets, FilesFromTheCommandLineOrStandardInputAndChains)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/fit.mxl", PROGRAM);
    const std::string points[] = {"0.5 9.1\n2 6.6\n4 3.9\n6 2.4\n8 1.4\n10 0.88\n",
                                  "0.5 8.2\n2 6.1\n4 3.3\n6 2.3\n8 1.5\n10 0.98\n"};
    writeTextFile(folder + "/a, \"1\".dat", points[0]);
    writeTextFile(folder + "/b.dat", points[1]);
    writeTextFile(folder + "/inline.mxl", "VARIABLES x, y;\nPARAMETERS a;\nFUNCTION y = a * x;\nDATA;\n1 2\n2 4\n");
    int status = 0;
    const std::string moxel = "XDG_CONFIG_HOME=" + folder + "/config '" MOXEL_BINARY "' -run ";
    const std::string base = "cd " + folder + " && " + moxel;
    runShell(base + "fit.mxl -data 'a, \"1\".dat' missing.dat b.dat -table files.csv", &status);
    EXPECT_EQ(status, 1) << "a missing file is a failed row";
    const std::vector<std::string> rows = splitLines(readTextFile(folder + "/files.csv"));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[1].rfind("\"a, \"\"1\"\".dat\",converged,", 0), 0u) << rows[1];
    EXPECT_EQ(rows[2].rfind("missing.dat,failed,", 0), 0u) << rows[2];
    EXPECT_NE(rows[2].find("Unable to open data file"), std::string::npos) << rows[2];
    EXPECT_NE(readTextFile(folder + "/b.lst").find("Final Results"), std::string::npos) << "listing beside the data";
    EXPECT_EQ(checkTable(folder, "files.csv", "files"), "");

    const std::string fromInput =
        runShell("cd " + folder + " && printf 'b.dat\\r\\n\\na, \"1\".dat\\n' | " + moxel +
                     "fit.mxl -data - -table input.csv -quiet", &status);
    EXPECT_EQ(status, 0) << fromInput;
    const std::vector<std::string> inputRows = splitLines(readTextFile(folder + "/input.csv"));
    ASSERT_EQ(inputRows.size(), 3u);
    EXPECT_EQ(inputRows[1].rfind("b.dat,converged", 0), 0u);

    runShell(base + "fit.mxl -data b.dat 'a, \"1\".dat' -chain -table chain.csv", &status);
    EXPECT_EQ(status, 0);
    // The second fit starts from the first one's estimates.
    const std::string first = splitLines(readTextFile(folder + "/chain.csv"))[1];
    const std::string listing = readTextFile(folder + "/a, \"1\".lst");
    char a[64];
    double value = 0;
    ASSERT_EQ(sscanf(listing.substr(listing.find("\n         a ")).c_str(), " a %lf", &value), 1);
    snprintf(a, sizeof a, "%.9g", value);
    EXPECT_NE(first.find(std::string(",") + a), std::string::npos) << first << " starts " << a;

    runShell(base + "fit.mxl -data b.dat -chain -jobs 2 2>&1", &status);
    EXPECT_EQ(status, 2) << "-chain and more than one job are refused";
    const std::string refused = runShell(base + "inline.mxl -data b.dat 2>&1", &status);
    EXPECT_EQ(status, 2);
    EXPECT_NE(refused.find("inline data"), std::string::npos) << refused;
}

// Ctrl+C in the middle: the rows done are kept, and every other data set is listed as
// not run, in a complete table.
TEST(BatchSets, InterruptKeepsFinishedRowsAndListsTheRestAsNotRun)
{
    const std::string folder = testTempDir();
    std::string data = "g,Time,conc\n";
    for (int g = 0; g < 400; ++g)
        for (int t = 0; t < 12; ++t)
            data += std::to_string(g) + "," + std::to_string(t) + "," + std::to_string(10 * std::exp(-0.3 * t) + 0.01 * (t % 3)) + "\n";
    writeTextFile(folder + "/plate.csv", data);
    writeTextFile(folder + "/fit.mxl", PROGRAM);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        ASSERT_EQ(chdir(folder.c_str()), 0);
        execl(MOXEL_BINARY, MOXEL_BINARY, "-run", "fit.mxl", "-by", "g", "-table", "t.csv", "-jobs", "1", (char*)nullptr);
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buffer[4096];
    bool sent = false;
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
        out.append(buffer, static_cast<size_t>(n));
        if (!sent && splitLines(out).size() > 5) {
            kill(child, SIGINT);
            sent = true;
        }
    }
    close(fds[0]);
    int raw = 0;
    waitpid(child, &raw, 0);
    ASSERT_TRUE(sent);
    EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 3);
    const std::vector<std::string> rows = splitLines(readTextFile(folder + "/t.csv"));
    ASSERT_EQ(rows.size(), 401u);
    EXPECT_EQ(rows[1].rfind("0,converged,", 0), 0u);
    EXPECT_EQ(rows[400].rfind("399,not_run,", 0), 0u) << rows[400];
}

// The script that spreads a batch over machines with GNU parallel, on this machine taken
// twice: the joined table is the table of one moxel -data over the same list.
TEST(BatchSets, ParallelScriptJoinsOneTablePerMachine)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/fit.mxl", std::string(PROGRAM).replace(std::string(PROGRAM).find("plate.csv"), 9, "d1.dat"));
    std::string list;
    for (int k = 1; k <= 5; ++k) {
        if (k != 3)
            writeTextFile(folder + "/d" + std::to_string(k) + ".dat",
                          "0.5 9." + std::to_string(k) + "\n2 6.6\n4 3.9\n6 2.4\n8 1.4\n10 0.88\n");
        list += "d" + std::to_string(k) + ".dat\n";
    }
    writeTextFile(folder + "/list.txt", list);
    int status = 0;
    const std::string out = runShell("cd " + folder + " && XDG_CONFIG_HOME=" + folder + "/config " + sourceDir() +
                                         "/scripts/parallel-batch.sh fit.mxl list.txt all.csv ':,:' '" MOXEL_BINARY
                                         "' 2>&1",
                                     &status);
    EXPECT_EQ(status, 1) << "the missing file failed\n" << out;
    runShell("cd " + folder + " && XDG_CONFIG_HOME=" + folder + "/config '" MOXEL_BINARY
             "' -run fit.mxl -data - -quiet -table one.csv < list.txt",
             &status);
    const std::string joined = readTextFile(folder + "/all.csv");
    EXPECT_EQ(splitLines(joined).size(), 6u) << joined;
    EXPECT_EQ(joined, readTextFile(folder + "/one.csv"));
}

// Fields of a CSV line without quoted commas, their quotes taken off.
std::vector<std::string> plainFields(const std::string& line)
{
    std::vector<std::string> fields(1);
    for (char c : line) {
        if (c == ',')
            fields.emplace_back();
        else if (c != '"')
            fields.back() += c;
    }
    return fields;
}

// The twelve subjects of the theophylline study, fitted per subject, against R's
// nlsList (reference numbers and the script that made them in tests/data/theoph).
TEST(BatchSets, TheophyllineSubjectsAgreeWithNlsList)
{
    const std::string folder = testTempDir();
    const std::string data = sourceDir() + "/tests/data/theoph/";
    writeTextFile(folder + "/theoph.csv", readTextFile(data + "theoph.csv"));
    const MoxelRun run = runMoxel(readTextFile(data + "theoph.mxl"), "theoph", folder,
                                  {"-by", "Subject", "-table", "fits.csv", "-quiet"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::vector<std::vector<std::string>> fits;
    for (const std::string& line : splitLines(readTextFile(folder + "/fits.csv")))
        fits.push_back(plainFields(line));
    const std::vector<std::string> reference = splitLines(readTextFile(data + "nlslist.csv"));
    ASSERT_EQ(reference.size(), 13u);
    ASSERT_EQ(fits.size(), 13u);
    const std::vector<std::string> names = plainFields(reference[0]);
    int compared = 0;
    for (size_t r = 1; r < reference.size(); ++r) {
        const std::vector<std::string> want = plainFields(reference[r]);
        const auto row = std::find_if(fits.begin(), fits.end(), [&](const auto& f) { return f[0] == want[0]; });
        ASSERT_NE(row, fits.end()) << "subject " << want[0];
        EXPECT_EQ((*row)[1], "converged");
        for (size_t c = 1; c < names.size(); ++c) {
            const size_t column = std::find(fits[0].begin(), fits[0].end(), names[c]) - fits[0].begin();
            ASSERT_LT(column, fits[0].size()) << names[c];
            const double expected = std::stod(want[c]);
            const double got = std::stod((*row)[column]);
            // Estimates to 6 digits, standard errors to 4.
            const double digits = names[c].find("_se") == std::string::npos ? 1e-6 : 1e-4;
            EXPECT_NEAR(got, expected, digits * std::fabs(expected)) << "subject " << want[0] << " " << names[c];
            ++compared;
        }
    }
    EXPECT_EQ(compared, 72);
}

}  // namespace
