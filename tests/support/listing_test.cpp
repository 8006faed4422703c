// Listing output: screen-line rules, the reporters on both sinks, and the file-name helpers.
#include "lang/lexer.h"
#include "support/allocator.h"
#include "support/listing.h"
#include "support/paths.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> sinkLines;

void captureLine(const char* text)
{
    sinkLines.push_back(text);
}

class ListingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        listingClear();
        compileErrorReset();
        sinkLines.clear();
        listingSetSink(captureLine);
        filePath = testTempDir() + "/run.lst";
        ASSERT_TRUE(listingOpenFile(filePath.c_str()));
    }
    void TearDown() override
    {
        listingSetSink(nullptr);
        listingCloseFile();
        listingClear();
        traceSetSink(nullptr);
    }

    std::vector<std::string> screen() const
    {
        std::vector<std::string> lines;
        for (ListingLine* line = listingHead(); line; line = line->next)
            lines.push_back(line->text);
        return lines;
    }

    std::string fileText()
    {
        listingCloseFile();
        return readTextFile(filePath);
    }

    std::string filePath;
};

SourceLine makeLine(int number, const char* text)
{
    return SourceLine{nullptr, number, const_cast<char*>(text)};
}

// The screen keeps 197 plain characters; the sink (standard output in batch mode) gets
// the whole line with its UTF-8 bytes.
TEST_F(ListingTest, ScreenLineRules)
{
    struct Case {
        std::string text;
        std::string shown;
        std::string sent;
    };
    const Case cases[] = {
        {"\n\n   ----  Final Results  ----\n\n", "   ----  Final Results  ----", "   ----  Final Results  ----"},
        {"a\tb", "a  b", "a  b"},
        {"caf\xC3\xA9\x01\x7F!", "caf\x7F!", "caf\xC3\xA9\x7F!"},
        {"", "", ""},
        {"\n", "", ""},
        {std::string(300, 'x'), std::string(197, 'x'), std::string(300, 'x')},
        {std::string(196, 'x') + "\tyz", std::string(196, 'x') + "  ", std::string(196, 'x') + "  yz"},
        {std::string(197, 'x') + "\t", std::string(197, 'x'), std::string(197, 'x') + "  "},
    };
    for (const Case& c : cases)
        listingAppendLine(c.text.c_str());
    const std::vector<std::string> lines = screen();
    ASSERT_EQ(lines.size(), std::size(cases));
    ASSERT_EQ(sinkLines.size(), std::size(cases));
    for (size_t i = 0; i < lines.size(); i++) {
        EXPECT_EQ(lines[i], cases[i].shown) << "row " << i;
        EXPECT_EQ(sinkLines[i], cases[i].sent) << "row " << i;
    }
    EXPECT_EQ(listingCount(), static_cast<int>(std::size(cases)));
    EXPECT_EQ(fileText(), "");
}

TEST_F(ListingTest, PrintFormatsAndClearReleasesLines)
{
    const long before = memLiveBlockCount();
    listingPrint("%s = %8.3f", "a", 1.5);
    listingPrint("100%%");
    EXPECT_EQ(screen(), (std::vector<std::string>{"a =    1.500", "100%"}));
    EXPECT_EQ(memLiveBlockCount(), before + 2);
    listingClear();
    EXPECT_EQ(listingHead(), nullptr);
    EXPECT_EQ(listingCount(), 0);
    EXPECT_EQ(memLiveBlockCount(), before);
    listingAppendLine("again");
    EXPECT_EQ(screen(), (std::vector<std::string>{"again"}));
}

TEST_F(ListingTest, CompileErrorShowsTheTrimmedLineAndCounts)
{
    const SourceLine indented = makeLine(7, "\t\t  y = a *\tx % 2");
    const std::string longText = "  " + std::string(80, 'q');
    const SourceLine longLine = makeLine(1234, longText.c_str());
    EXPECT_EQ(compileError(&indented, "Syntax error %s"), 1);
    EXPECT_EQ(compileError(&longLine, "Too long"), 2);
    EXPECT_EQ(compileError(nullptr, "No line"), 3);
    EXPECT_EQ(compileErrorCount(), 3);
    EXPECT_EQ(screen(), (std::vector<std::string>{"     7: y = a *  x % 2", "Error: Syntax error %s",
                                                  "  1234: " + std::string(70, 'q'), "Error: Too long",
                                                  "Error: No line"}));
    EXPECT_EQ(fileText(), "Error: Syntax error %s\nError: Too long\nError: No line\n");
    compileErrorReset();
    EXPECT_EQ(compileErrorCount(), 0);
}

TEST_F(ListingTest, DataAndLexicalErrors)
{
    dataError("Bad value in record %d\n", 3);
    lexError("Invalid number");
    EXPECT_EQ(compileErrorCount(), 1);
    EXPECT_EQ(screen(), (std::vector<std::string>{"Bad value in record 3", "Error: Invalid number"}));
    EXPECT_EQ(fileText(), "Error: Bad value in record 3\n\nError: Invalid number\n");
}

TEST_F(ListingTest, TabStaysInTheFile)
{
    listingPrint("a\tb");
    listingFilePrint("a\tb\n");
    EXPECT_EQ(screen(), (std::vector<std::string>{"a  b"}));
    EXPECT_EQ(fileText(), "a\tb\n");
}

TEST_F(ListingTest, UncreatableFileLeavesTheScreen)
{
    EXPECT_FALSE(listingOpenFile((testTempDir() + "/missing/folder/x.lst").c_str()));
    EXPECT_EQ(listingFile(), nullptr);
    EXPECT_EQ(compileError(nullptr, "still shown"), 1);
    EXPECT_EQ(screen(), (std::vector<std::string>{"Error: still shown"}));
}

TEST_F(ListingTest, ErrorBoxAndTrace)
{
    std::vector<std::string> seen;
    static std::vector<std::string>* target;
    target = &seen;
    errorBoxSetHandler([](const char* text) { target->push_back(text); });
    errorBox("\nMemory %s\n", "x");
    errorBox("%s", std::string(400, 'e').c_str());
    errorBoxSetHandler(nullptr);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "\nMemory x\n");
    EXPECT_EQ(seen[1], std::string(255, 'e'));

    traceLine("nowhere %d", 1);
    traceSetSink(captureLine);
    traceLine("trace %d", 2);
    EXPECT_EQ(sinkLines, (std::vector<std::string>{"trace 2"}));
    EXPECT_TRUE(screen().empty());
}

TEST(FileNames, AddDefaultExtension)
{
    struct Case {
        const char* path;
        const char* extension;
        const char* result;
    };
    const Case cases[] = {
        {"results", "out", "results.out"},
        {"RESULTS", "out", "RESULTS.OUT"},
        {"Results", "OUT", "Results.out"},
        {"my.data", "dat", "my.data"},
        {"run1 \t", "dat", "run1.dat"},
        {"file", "toolongext", "file.toolong"},
        {"run.1/results", "out", "run.1/results.out"},
        {"C:\\v1.2\\DATA", "dat", "C:\\v1.2\\DATA.DAT"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(addDefaultExtension(c.path, c.extension), c.result) << c.path;
}

TEST(FileNames, ResolveRelativePath)
{
    struct Case {
        const char* name;
        const char* base;
        const char* result;
    };
    const Case cases[] = {
        {"out.txt", "C:\\work\\model.mxl", "C:\\work\\out.txt"},
        {"D:out.txt", "C:\\work\\model.mxl", "D:out.txt"},
        {"sub\\x.dat", "/home/u/model.mxl", "sub\\x.dat"},
        {"out.txt", "/home/u/model.mxl", "/home/u/out.txt"},
        {"data/run1.dat", "/home/u/model.mxl", "/home/u/data/run1.dat"},
        {"/tmp/abs.dat", "/home/u/model.mxl", "/tmp/abs.dat"},
        {"x.dat", "model.mxl", "x.dat"},
        {"x.dat", "A:model.mxl", "A:x.dat"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(resolveRelativePath(c.name, c.base), c.result) << c.name << " " << c.base;
}

} // namespace
