// Data as other tools write it (names, quotes, text columns, gaps) and results as other
// tools read them (CSV and JSON), end to end through the moxel command.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "testutil.h"

namespace {

const char* const PROGRAM_HEAD =
    "VARIABLES Time, conc;\n"
    "PARAMETERS a = 10, k = 0.3;\n"
    "FUNCTION conc = a * exp(-k * Time);\n"
    "DERIVED half = log(2) / k;\n"
    "CONFIDENCE 95;\n";

// The same eight observations as a spreadsheet exports them, and cut by hand.
const char* const SPREADSHEET =
    "\"Subject\",Dose,\"conc\",\"Time\",Note\r\n"
    "A,3,9.1,0.5,\"ok, fine\"\r\n"
    "A,3,NA,1,\r\n"
    "B,3,6.6,2,x\r\n"
    "B,3,,3,y\r\n"
    "C,3,3.9,4,\"say \"\"hi\"\"\"\r\n"
    "C,3,2.4,6,z\r\n"
    "\"D\",3,1.4,8,w\r\n"
    "D,3,0.88,10,q\r\n"
    "E,3,0.51,12,\r\n";
const char* const BY_HAND = "0.5 9.1\n2 6.6\n4 3.9\n6 2.4\n8 1.4\n10 0.88\n12 0.51\n";

std::string program(const std::string& data, const std::string& extra = "")
{
    return std::string(PROGRAM_HEAD) + extra + "DATA \"" + data + "\";\n";
}

TEST(ResultsFiles, SpreadsheetCsvFitsAsTheDataCutByHand)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/sheet.csv", SPREADSHEET);
    writeTextFile(folder + "/hand.dat", BY_HAND);
    const MoxelRun sheet = runMoxel(program("sheet.csv", "POUTPUT \"sheet_par.csv\";\n"), "sheet", folder);
    const MoxelRun hand = runMoxel(program("hand.dat", "POUTPUT \"hand_par.csv\";\n"), "hand", folder);
    ASSERT_EQ(sheet.status, 0) << sheet.out;
    ASSERT_EQ(hand.status, 0) << hand.out;
    EXPECT_NE(sheet.out.find("Note: Columns read by name from sheet.csv: conc = 3, Time = 4 "
                             "(Subject, Dose, Note not used)"),
              std::string::npos);
    EXPECT_NE(sheet.out.find("Note: 2 observations with missing values left out of the fit: records 3, 5"),
              std::string::npos);
    EXPECT_NE(sheet.listing.find("Number of observations = 7"), std::string::npos);
    const std::string parameters = readTextFile(folder + "/sheet_par.csv");
    EXPECT_EQ(parameters.rfind("name,kind,estimate,se,t,prob_t,lower,upper\na,parameter,", 0), 0u) << parameters;
    EXPECT_EQ(parameters, readTextFile(folder + "/hand_par.csv")) << "same estimates to the last bit";
}

TEST(ResultsFiles, NameLineLackingAVariableAndEveryRecordMissing)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/lacking.csv", "Subject,time,Conc.x\nA,1,2\n");
    const MoxelRun lacking = runMoxel(program("lacking.csv"), "lacking", folder, {"-json", folder + "/l.json"});
    EXPECT_EQ(lacking.status, 1);
    EXPECT_NE(lacking.out.find("Error: The name line of the data lacks the variable conc; its names are: "
                               "Subject, time, Conc.x"),
              std::string::npos)
        << lacking.out;
    const std::string json = readTextFile(folder + "/l.json");
    EXPECT_NE(json.find("\"status\": \"failed\""), std::string::npos) << json;
    EXPECT_NE(json.find("lacks the variable conc"), std::string::npos) << json;

    writeTextFile(folder + "/gaps.csv", "Time,conc\n1,NA\n2,\n,3\nnan,4\n");
    const MoxelRun gaps = runMoxel(program("gaps.csv"), "gaps", folder);
    EXPECT_EQ(gaps.status, 1);
    EXPECT_NE(gaps.out.find("Note: 4 observations with missing values left out of the fit: records 2, 3, 4, 5"),
              std::string::npos);
    EXPECT_EQ(gaps.out.find("Final Results"), std::string::npos) << "no fit without observations";
}

// The CSV and JSON files read back with Python's csv and json modules; every number is
// compared with the listing and with the plain OUTPUT table.
TEST(ResultsFiles, CsvAndJsonReadBackAsTheListingSays)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/sheet.csv", SPREADSHEET);
    const std::string plain =
        program("sheet.csv", "OUTPUT TO \"out.out\" Time, conc, PREDICTED, RESIDUAL;\nPOUTPUT \"par.csv\";\n");
    ASSERT_EQ(runMoxel(plain, "plain", folder).status, 0);
    const std::string csvProgram =
        program("sheet.csv", "OUTPUT TO \"out.csv\" Time, conc, PREDICTED, RESIDUAL;\nPOUTPUT \"par.csv\";\n");
    const MoxelRun run = runMoxel(csvProgram, "fit", folder, {"-json", folder + "/fit.json"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(readTextFile(folder + "/out.csv").rfind("Time,conc,Predicted,Residual\n0.5,9.0999999999999996,", 0), 0u);
    const std::string command = "python3 " + sourceDir() + "/tests/data/results/check_results.py " + folder +
                                "/fit.lst " + folder + "/fit.json " + folder + "/par.csv " + folder + "/out.csv " +
                                folder + "/out.out 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string faults;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe))
        faults += buffer;
    EXPECT_EQ(pclose(pipe), 0) << faults;
    EXPECT_EQ(faults, "");
}

}  // namespace
