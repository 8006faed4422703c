// Data reading: the number syntax, record rules, line ends of data files, inline data,
// the store and the data messages.
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

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::vector<std::string> screenLines()
{
    std::vector<std::string> lines;
    for (ListingLine* line = listingHead(); line; line = line->next)
        lines.push_back(line->text);
    return lines;
}

std::vector<std::string> errorLines()
{
    std::vector<std::string> errors;
    for (const std::string& line : screenLines())
        if (line.rfind("Error: ", 0) == 0 || line.find("data record") != std::string::npos ||
            line.rfind("Data record", 0) == 0 || line.rfind("Two decimal", 0) == 0)
            errors.push_back(line);
    return errors;
}

// Compiles a program as the Run command does, with the program file in folder.
bool compileText(const std::string& text, const std::string& folder = "/nonexistent")
{
    return compileTextIn(text, folder);
}

std::vector<double> storeValues()
{
    return std::vector<double>(observations, observations + observationCount * inputVariableCount);
}

class DataNumber : public ::testing::Test {
protected:
    void SetUp() override
    {
        freeObservations();
        listingClear();
        compileErrorReset();
    }
};

TEST_F(DataNumber, ReadsEachFieldToItsEnd)
{
    struct Case {
        const char* text;
        double value;
        int consumed;
    } cases[] = {
        {"1.5", 1.5, 3},       {"  -2 x", -2.0, 4},     {"+3,4", 3.0, 2},
        {"1:30", 90.0, 4},     {"1:30:15", 5415.0, 7},  {"1e3", 1000.0, 3},
        {"1E+3", 1000.0, 4},   {"1d3", 1000.0, 3},      {"2.5e-1", 0.25, 6},
        {"2.5D-1", 0.25, 6},   {".5", 0.5, 2},          {"5.", 5.0, 2},
        {"1:30.5", 90.5, 6},   {"1.5:30", 120.0, 6},    {"\t7\t8", 7.0, 2},
        {"0.1", 0.1, 3},       {"-0.000123", -0.000123, 9},
        {"123456789012345", 123456789012345.0, 15},
        {"6.02214076e23", 6.02214076e23, 13},   {"1e-300", 1e-300, 6},
        {"1e23", 1e23, 4},     {"1.602176634e-19", 1.602176634e-19, 15},
    };
    for (const Case& c : cases) {
        const char* cursor = c.text;
        EXPECT_EQ(readDataNumber(&cursor, 1, 1), c.value) << c.text;
        EXPECT_EQ(cursor - c.text, c.consumed) << c.text;
    }
    EXPECT_EQ(compileErrorCount(), 0);
}

// Values beyond the largest double are errors (reported, value 0); the others, however
// many digits they have, read as strtod reads them.
TEST_F(DataNumber, ExtremeExponentsAndLongDigitStringsStayNumbers)
{
    const std::string ones(400, '1');
    struct Case {
        std::string text;
        double value;
    } cases[] = {
        {"0e400", 0.0},
        {"0.0D+999999", 0.0},
        {"1e400", HUGE_VAL},
        {"1e-400", 0.0},
        {std::string("0.").append(ones), 1.0 / 9.0},
        {std::string("1").append(399, '0'), HUGE_VAL},
        {std::string("1").append(300, '0'), 1e300},
        {std::string(ones).append("e-399"), 10.0 / 9.0},
        {std::string("0.").append(300, '0').append("25"), 2.5e-301},
    };
    for (const Case& c : cases) {
        const char* cursor = c.text.c_str();
        const double value = readDataNumber(&cursor, 1, 1);
        EXPECT_EQ(static_cast<size_t>(cursor - c.text.c_str()), c.text.size()) << c.text;
        if (std::isinf(c.value)) {
            EXPECT_EQ(value, 0.0) << c.text;
        } else {
            std::string plain = c.text;
            std::replace(plain.begin(), plain.end(), 'D', 'e');
            EXPECT_EQ(value, std::strtod(plain.c_str(), nullptr)) << c.text;
            EXPECT_NEAR(value, c.value, 1e-15 * c.value) << c.text;
        }
    }
    const std::vector<std::string> lines = screenLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Number out of range on data record 1: 1e400");
    EXPECT_EQ(lines[1].substr(0, 44), "Number out of range on data record 1: 100000");
    EXPECT_EQ(compileErrorCount(), 2);
}

TEST_F(DataNumber, InvalidCharacterPassesTheFieldAndReportsTheRest)
{
    const char* text = "  x 12";
    const char* cursor = text;
    EXPECT_EQ(readDataNumber(&cursor, 7, 1), 0.0);
    EXPECT_STREQ(cursor, " 12");
    cursor = "-";
    EXPECT_EQ(readDataNumber(&cursor, 8, 2), 0.0);
    EXPECT_EQ(screenLines(), (std::vector<std::string>{"Invalid character on data record 7: x 12",
                                                        "Invalid character on data record 8: -"}));
    EXPECT_EQ(compileErrorCount(), 2);
}

TEST_F(DataNumber, TwoDecimalPointsGiveZeroAndPassTheField)
{
    const char* text = "1.2.3 4";
    const char* cursor = text;
    EXPECT_EQ(readDataNumber(&cursor, 1, 1), 0.0);
    EXPECT_STREQ(cursor, " 4");
    EXPECT_EQ(screenLines(), std::vector<std::string>{"Two decimal points in number: 1.2.3"});
}

TEST_F(DataNumber, OnlyNineMessagesAreReportedAndCounted)
{
    for (int i = 0; i < 12; ++i) {
        const char* cursor = "?";
        readDataNumber(&cursor, i + 1, 1);
    }
    EXPECT_EQ(screenLines().size(), 9u);
    EXPECT_EQ(compileErrorCount(), 9);
    freeObservations();
    const char* cursor = "?";
    readDataNumber(&cursor, 1, 1);
    EXPECT_EQ(screenLines().size(), 10u) << "the limit restarts with the next analysis";
}

const char* const twoVariableProgram =
    "VARIABLES x, y;\nPARAMETERS a, b;\nFUNCTION y = a + b*x;\n";

class DataFile : public ::testing::Test {
protected:
    void SetUp() override { folder = testTempDir(); }
    bool compileWithFile(const std::string& contents, const std::string& extra = "")
    {
        writeTextFile(folder + "/values.dat", contents);
        return compileText(std::string(twoVariableProgram) + extra + "DATA \"values\"\n", folder);
    }
    std::string folder;
};

TEST_F(DataFile, EveryLineEndAndAMissingLastLineEndAreRead)
{
    const char* files[] = {
        "1 2\n3 4\n5 6\n", "1 2\r\n3 4\r\n5 6\r\n", "1 2\r3 4\r5 6\r",
        "1 2\n3 4\n5 6",   "1 2\r\n3 4\r\n5 6",     "1 2\r3 4\r5 6",
        "\xEF\xBB\xBF" "1 2\n3 4\r\n5 6",
    };
    for (const char* contents : files) {
        ASSERT_TRUE(compileWithFile(contents)) << contents;
        EXPECT_EQ(storeValues(), (std::vector<double>{1, 2, 3, 4, 5, 6})) << contents;
    }
}

TEST_F(DataFile, RecordSyntax)
{
    ASSERT_TRUE(compileWithFile("1.5 2\n1.5,2\n1.5, 2\n1.5\t2\n\n  3 4 // remark\n3 4; 5\n"
                                "1:30 -2e1 99\n"));
    EXPECT_EQ(storeValues(),
              (std::vector<double>{1.5, 2, 1.5, 2, 1.5, 2, 1.5, 2, 3, 4, 3, 4, 90, -20}));
    EXPECT_EQ(inputVariables[0]->lowerBound, 1.5);
    EXPECT_EQ(inputVariables[0]->upperBound, 90.0);
    EXPECT_EQ(inputVariables[1]->lowerBound, -20.0);
    EXPECT_EQ(inputVariables[1]->upperBound, 4.0);
}

// Columns by name and missing values: each layout gives the same store as the plain
// positional records "1 2 / 3 4 / 5 6", from a file and inline, whatever its line ends.
TEST_F(DataFile, NamedColumnsAndMissingValuesGiveThePlainStore)
{
    const struct {
        const char* contents;
        const char* note;       // the first note, "" for none
    } cases[] = {
        {"x,y\n1,2\n3,4\n5,6\n", "Columns read by name from values.dat: x = 1, y = 2"},
        {"\"Y\",\"label\",X\n2,\"a, \"\"b\"\"\",1\n4,c,3\n4,NA,NA\n6,,5\n",
         "Columns read by name from values.dat: Y = 1, X = 3 (label not used)"},
        {"id y  x\nA 2 1\nB NA 7\n\"C D\" 4 3\nE 6 5\n", "Columns read by name from values.dat: y = 2, x = 3 (id not used)"},
        {"t,x,y,w\n,1,2,\n0,nan,9,0\n,3,4\n1,,8,1\n,5,6,1\n9,7\n",
         "Columns read by name from values.dat: x = 2, y = 3 (t, w not used)"},
        {"1 2\n3 NaN\n3 4\nNA 8\n5 6\n", "2 observations"},
        {"1,2\n,7\n3,4\n9,\n8,,\n5,6\n", "3 observations"},
    };
    for (const auto& c : cases) {
        for (const char* lineEnd : {"\n", "\r\n"}) {
            std::string contents;
            for (const char* k = c.contents; *k; ++k)
                contents += *k == '\n' ? std::string(lineEnd) : std::string(1, *k);
            listingClear();
            ASSERT_TRUE(compileWithFile(contents)) << c.contents;
            EXPECT_EQ(storeValues(), (std::vector<double>{1, 2, 3, 4, 5, 6})) << c.contents;
            EXPECT_EQ(inputVariables[1]->upperBound, 6.0) << "a left-out record widens no bounds";
            const std::vector<std::string> lines = screenLines();
            ASSERT_FALSE(lines.empty()) << c.contents;
            EXPECT_EQ(lines[0].rfind(std::string("Note: ") + c.note, 0), 0u) << lines[0];
        }
        ASSERT_TRUE(compileText(std::string(twoVariableProgram) + "DATA;\n" + c.contents)) << c.contents;
        EXPECT_EQ(storeValues(), (std::vector<double>{1, 2, 3, 4, 5, 6})) << "inline: " << c.contents;
    }
}

TEST_F(DataFile, NamesAndMissingRecordsInTheNotesAndErrors)
{
    ASSERT_TRUE(compileWithFile("x,y\n1,2\n" + std::string(12, '\n') + "1,NA\n,2\n1,\n3,4\n"));
    EXPECT_EQ(screenLines().back(), "Note: 3 observations with missing values left out of the fit: records 15, 16, 17");
    std::string many = "x y\n";
    for (int i = 0; i < 12; ++i)
        many += "1 NA\n";
    listingClear();
    EXPECT_TRUE(compileWithFile(many + "1 2\n"));
    EXPECT_EQ(screenLines()[1], "Note: 12 observations with missing values left out of the fit: records 2, 3, 4, 5, "
                                "6, 7, 8, 9, 10, 11, ...");

    listingClear();
    EXPECT_FALSE(compileWithFile("Subject,X,Dose\nA,1,2\n"));
    EXPECT_EQ(errorLines(), std::vector<std::string>{
                                "Error: The name line of the data lacks the variable y; its names are: Subject, X, Dose"});
    EXPECT_EQ(observationCount, 0);
    // With DATASKIP the names are skipped and the columns taken by position.
    listingClear();
    ASSERT_TRUE(compileWithFile("a,b\n1,2\n3,4\n", "DATASKIP 1;\n"));
    EXPECT_EQ(storeValues(), (std::vector<double>{1, 2, 3, 4}));
    EXPECT_TRUE(screenLines().empty());
}

TEST_F(DataFile, TooFewValuesStopsReadingWithTheLineNumber)
{
    EXPECT_FALSE(compileWithFile("1 2\n\n3\n5 6\n"));
    EXPECT_EQ(observationCount, 1);
    EXPECT_EQ(errorLines(), std::vector<std::string>{"Data record 3 has too few values: 3"});
}

TEST_F(DataFile, TwelveBadRecordsReportNineMessages)
{
    std::string contents;
    for (int i = 0; i < 12; ++i)
        contents += "1 x\n";
    EXPECT_FALSE(compileWithFile(contents));
    EXPECT_EQ(observationCount, 12);
    EXPECT_EQ(errorLines().size(), 9u);
    EXPECT_EQ(errorLines()[8], "Invalid character on data record 9: x");
}

TEST_F(DataFile, DatacountSizesTheStoreButDoesNotLimitIt)
{
    std::string contents;
    for (int i = 0; i < 25; ++i)
        contents += std::to_string(i) + " " + std::to_string(2 * i) + "\n";
    ASSERT_TRUE(compileWithFile(contents, "DATACOUNT 10;\n"));
    EXPECT_EQ(observationCount, 25);
    EXPECT_EQ(observations[24 * 2 + 1], 48.0);
}

TEST_F(DataFile, StoreGrowsPastItsFirstCapacity)
{
    std::string contents;
    for (int i = 0; i < 5000; ++i)
        contents += std::to_string(i) + " 1\n";
    ASSERT_TRUE(compileWithFile(contents));
    EXPECT_EQ(observationCount, 5000);
    EXPECT_GE(dataCapacity(), 5000);
    EXPECT_EQ(observations[4999 * 2], 4999.0);
    EXPECT_EQ(inputVariables[0]->upperBound, 4999.0);
}

// Records of every kind, plain and odd, around the block boundaries of a data file: the
// file gives the same store, bounds and messages as the same records inline, whatever
// its line ends.
TEST_F(DataFile, FileRecordsReadLikeInlineRecordsAcrossBlocks)
{
    const std::string odd[] = {
        "1 2 3",          "  4, 5 // remark",  "6\t7; 8",        "",
        "1.2.3 4",        "5 x",               "1e400 2",         "1:30 -2.5D-1",
        "12345678901234567890 0.1234567890123456789",             "\t",
        std::string("3").append(1994, ' ').append("12345"),  "+.5 -7.",  "9e 1e-",  "//",
    };
    // A heading that is no line of names: read by position, it is an error.
    std::string records = "x-y z\n";
    bool straddled = false;
    for (int i = 0; records.size() < 700000; ++i) {
        if (!straddled && records.size() > (1u << 18) - 1000) {
            records += odd[10] + "\n";   // across the end of the first block
            straddled = true;
        } else if (i % 997 == 500)
            records += odd[(i / 997) % std::size(odd)] + "\n";
        else
            records += std::to_string(i % 89) + "." + std::to_string(i) + " -" +
                       std::to_string(i % 7) + "e-" + std::to_string(i % 13) + "\n";
    }
    EXPECT_FALSE(compileText(std::string(twoVariableProgram) + "DATA;\n" + records));
    const std::vector<double> inlineValues = storeValues();
    const std::vector<std::string> inlineMessages = screenLines();
    const double bounds[] = {inputVariables[0]->lowerBound, inputVariables[0]->upperBound,
                             inputVariables[1]->lowerBound, inputVariables[1]->upperBound};
    ASSERT_GT(observationCount, 25000);
    ASSERT_EQ(inlineMessages.size(), 11u);   // nine messages and two notes

    for (const char* lineEnd : {"\n", "\r\n", "\r"}) {
        std::string contents;
        for (char c : records)
            contents += c == '\n' ? std::string(lineEnd) : std::string(1, c);
        EXPECT_FALSE(compileWithFile(contents)) << lineEnd;
        EXPECT_TRUE(storeValues() == inlineValues) << lineEnd;
        EXPECT_EQ(screenLines(), inlineMessages) << lineEnd;
        EXPECT_EQ(inputVariables[0]->lowerBound, bounds[0]);
        EXPECT_EQ(inputVariables[0]->upperBound, bounds[1]);
        EXPECT_EQ(inputVariables[1]->lowerBound, bounds[2]);
        EXPECT_EQ(inputVariables[1]->upperBound, bounds[3]);
    }
}

// The store is sized from the records of the first block: a file whose later records are
// much shorter (the store grows) or much longer (it shrinks at the end) reads every row.
TEST_F(DataFile, RowEstimateTooShortOrTooLongReadsEveryRow)
{
    const std::string longRecord = "7 8" + std::string(120, ' ') + "\n";
    std::string longFirst;
    while (longFirst.size() < 300000)
        longFirst += longRecord;
    const int longRows = static_cast<int>(longFirst.size() / longRecord.size());
    std::string shortRecords;
    for (int i = 0; i < 150000; ++i)
        shortRecords.append(std::to_string(i % 10)).append(" ").append(std::to_string(i)).append("\n");

    for (const std::string& contents : {longFirst + shortRecords, shortRecords + longFirst}) {
        ASSERT_TRUE(compileWithFile(contents));
        ASSERT_EQ(observationCount, longRows + 150000);
        EXPECT_EQ(dataCapacity(), observationCount);
        const int firstShort = contents[0] == '7' ? longRows : 0;
        EXPECT_EQ(observations[2 * (firstShort + 149999) + 1], 149999.0);
        EXPECT_EQ(observations[2 * (firstShort + 12345)], 5.0);
        EXPECT_EQ(inputVariables[1]->upperBound, 149999.0);
        EXPECT_EQ(inputVariables[1]->lowerBound, 0.0);
    }
}

TEST_F(DataFile, LongRecordsAreReadWholeAndBinaryFilesGiveMessages)
{
    std::string contents = "1 0." + std::string(5000, '2') + "\n" + std::string(1990, ' ') +
                           "4 5.123456789\n3 4" + std::string(300000, ' ') + "\n";
    ASSERT_TRUE(compileWithFile(contents));
    EXPECT_EQ(storeValues(), (std::vector<double>{1, 2.0 / 9.0, 4, 5.123456789, 3, 4}));

    std::string binary;
    for (int i = 0; i < 20000; ++i)
        binary += static_cast<char>((i * 7919) % 256);
    EXPECT_FALSE(compileWithFile(binary));
    EXPECT_LE(errorLines().size(), 9u);
}

TEST_F(DataFile, MissingFileAndUnquotedName)
{
    EXPECT_FALSE(compileText(std::string(twoVariableProgram) + "DATA \"nothing\"\n", folder));
    const std::vector<std::string> lines = screenLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "Error: Unable to open data file: " + folder + "/nothing.dat (No such file or directory)"),
              lines.end());
    EXPECT_EQ(observationCount, 0);

    std::filesystem::create_directories(folder + "/set.d");
    EXPECT_FALSE(compileText(std::string(twoVariableProgram) + "DATA \"set.d\"\n", folder));
    EXPECT_EQ(errorLines(),
              std::vector<std::string>{"Error: Unable to open data file: " + folder + "/set.d (it is a folder)"});

    EXPECT_FALSE(compileText(std::string(twoVariableProgram) + "DATA values;\n", folder));
    EXPECT_EQ(errorLines().front(), "Error: The file name must be enclosed in quote signs");
}

TEST_F(DataFile, FileNameInASubfolderIsRelativeToTheProgram)
{
    std::filesystem::create_directories(folder + "/sets");
    writeTextFile(folder + "/sets/run1.dat", "7 8\n");
    ASSERT_TRUE(compileText(std::string(twoVariableProgram) + "DATA \"sets/run1\"\n", folder));
    EXPECT_EQ(storeValues(), (std::vector<double>{7, 8}));
}

TEST(DataInline, SkipBlankLinesCommentsAndTheRestOfTheDataLine)
{
    ASSERT_TRUE(compileText(std::string(twoVariableProgram) +
                            "DATASKIP 2;\nDATA; // values follow\nskipped\n\n1 2\n\n3 4\n"));
    EXPECT_EQ(storeValues(), (std::vector<double>{1, 2, 3, 4}));
}

TEST(DataInline, StopAfterTooFewValuesLeavesNoProgramText)
{
    EXPECT_FALSE(compileText(std::string(twoVariableProgram) + "DATACOUNT 1e9;\nDATA;\n1 2\n3 4\n"));
    EXPECT_EQ(errorLines(), std::vector<std::string>{"Error: Insufficient memory space available"});
    EXPECT_EQ(observationCount, 0);

    EXPECT_FALSE(compileText(std::string(twoVariableProgram) + "DATA;\n1 2\n3\n4 5\nzz zz\n"));
    EXPECT_EQ(observationCount, 1);
    EXPECT_EQ(errorLines(), std::vector<std::string>{"Data record 2 has too few values: 3"});
}

}  // namespace

namespace {

TEST(DataEndToEnd, DataMessagesReachTheListingFileAndFailTheRun)
{
    std::string program = std::string(twoVariableProgram) + "DATA;\n";
    for (int i = 0; i < 12; ++i)
        program += "1 x\n";
    const MoxelRun run = runMoxel(program);
    EXPECT_EQ(run.status, 1);
    int inListing = 0;
    for (const std::string& line : splitLines(run.listing))
        inListing += line.rfind("Error: Invalid character on data record ", 0) == 0;
    int onScreen = 0;
    for (const std::string& line : splitLines(run.out))
        onScreen += line.rfind("Invalid character on data record ", 0) == 0;
    EXPECT_EQ(inListing, 9);
    EXPECT_EQ(onScreen, 9);
}


// A field that is not one whole number in the data syntax fails the run with one message
// naming the record (its line in the data, blank lines counted) and the field.
TEST(DataEndToEnd, FieldsThatAreNotWholeNumbersFailTheRun)
{
    struct Case {
        const char* record;
        const char* message;
    } cases[] = {
        {"1 0x10", "Invalid number on data record 4, field 2: 0x10"},
        {"1 1/2", "Invalid number on data record 4, field 2: 1/2"},
        {"1 2.1mg", "Invalid number on data record 4, field 2: 2.1mg"},
        {"1 7.5%", "Invalid number on data record 4, field 2: 7.5%"},
        {"1 5e", "Invalid number on data record 4, field 2: 5e"},
        {"1e 2", "Invalid number on data record 4, field 1: 1e"},
        {"1e+,2", "Invalid number on data record 4, field 1: 1e+"},
        {"1 1d", "Invalid number on data record 4, field 2: 1d"},
        {"1: 2", "Invalid number on data record 4, field 1: 1:"},
        {". 2", "Invalid number on data record 4, field 1: ."},
        {"3 -.", "Invalid number on data record 4, field 2: -."},
        {"1 2.5.1", "Two decimal points in number: 2.5.1"},
        {"1 1e999", "Number out of range on data record 4: 1e999"},
        {"1 y", "Invalid character on data record 4: y"},
        {"0,435 1,286",
         "Data record 4 has decimal commas: 0,435 1,286\n\n"
         "Note: Write each decimal comma as a point (0.5, not 0,5); a comma separates two values."},
        {"0,5 7", "Data record 4 has decimal commas: 0,5 7\n\n"
                  "Note: Write each decimal comma as a point (0.5, not 0,5); a comma separates two values."},
    };
    for (const Case& c : cases) {
        // The same record inline, after a blank line, and in a data file, after a skipped
        // heading line: line 4 of the data either way.
        const std::string folder = testTempDir();
        writeTextFile(folder + "/bad.dat", std::string("x y\r\n1 2\r\n2 3.5\r\n") + c.record + "\r\n4 5\r\n");
        const MoxelRun runs[] = {
            runMoxel(std::string(twoVariableProgram) + "DATA;\n1 2\n\n2 3.5\n" + c.record + "\n4 5\n"),
            runMoxel(std::string(twoVariableProgram) + "DATASKIP 1;\nDATA \"bad\"\n", "prog", folder),
        };
        for (const MoxelRun& run : runs) {
            EXPECT_EQ(run.status, 1) << c.record;
            const std::string expected = std::string("Error: ") + c.message + "\n";
            EXPECT_NE(run.listing.find(expected), std::string::npos) << c.record << "\n" << run.listing;
            size_t errors = 0;
            for (size_t at = run.listing.find("Error: "); at != std::string::npos;
                 at = run.listing.find("Error: ", at + 1))
                ++errors;
            EXPECT_EQ(errors, 1u) << c.record;
        }
    }
}

// Records that are whole numbers however they are written: commas that separate as many
// values as there are variables, a record past the first record buffer, times, signs,
// points at either end, D exponents.
TEST(DataEndToEnd, RecordsOfWholeNumbersRunWithTheirValues)
{
    struct Case {
        std::string record;
        double x;
        double y;
    } cases[] = {
        {"1.5,2", 1.5, 2},
        {"0,5", 0, 5},
        {"0,5 // 0,5 as two values", 0, 5},
        {std::string(1990, ' ') + "4 5.123456789", 4, 5.123456789},
        {"7" + std::string(5000, '\t') + "-8", 7, -8},
        {"1:30.5 -2D-1", 90.5, -0.2},
        {"+.5, 7.", 0.5, 7},
    };
    for (const Case& c : cases) {
        const MoxelRun run = runMoxel(std::string(twoVariableProgram) + "OUTPUT \"xy\" x, y;\nDATA;\n1 2\n2 3.5\n" +
                                      c.record + "\n");
        EXPECT_EQ(run.status, 0) << c.record << "\n" << run.listing;
        const std::vector<std::string> rows = splitLines(readTextFile(run.folder + "/xy.out"));
        ASSERT_EQ(rows.size(), 3u) << c.record;
        double x = NAN;
        double y = NAN;
        ASSERT_EQ(sscanf(rows[2].c_str(), "%lf %lf", &x, &y), 2) << rows[2];
        EXPECT_NEAR(x, c.x, 1e-7 * std::fabs(c.x)) << c.record;
        EXPECT_NEAR(y, c.y, 1e-7 * std::fabs(c.y)) << c.record;
    }
}
}  // namespace
