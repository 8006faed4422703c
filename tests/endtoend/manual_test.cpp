// The user manual against the program: every complete example program of
// docs/Manual.txt runs through build/moxel, and the listing lines the manual quotes
// after it (an indented block introduced by a line ending in "(abridged):") must be
// in its listing, in that order.
#include "testutil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char* INDENT = "    ";          // example blocks are indented by four blanks
constexpr const char* EXCERPT_MARK = "(abridged):";
constexpr const char* STATUS_3_MARK = "(exit status 3):";   // a program shown failing on purpose
constexpr double RELATIVE_TOLERANCE = 1e-4;     // figures may move this much with the solver

struct Example {
    int line;                             // manual line of the program's first line
    std::string program;                  // the program, indentation removed
    std::vector<std::string> excerpt;     // quoted listing lines, indentation removed
    int status;                           // exit status the text before it announces, else 0
};

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A complete program declares parameters, has a model, and reads data unless it is a
// function minimisation; fragments and syntax summaries are none.
bool isCompleteProgram(const std::string& block)
{
    const auto has = [&block](const char* pattern) {
        return std::regex_search(block, std::regex(pattern, std::regex::icase | std::regex::multiline));
    };
    const bool model = has("^(FUNCTION|MODEL)\\b");
    const bool parameters = has("^PARAMETERS?\\b");
    const bool variables = has("^(VARIABLES?|VAR)\\b");
    const bool data = has("^DATA\\b");
    return model && parameters && (data || !variables);
}

// The indented blocks of the manual: programs, and the excerpts that follow them.
std::vector<Example> manualExamples(const std::vector<std::string>& lines)
{
    std::vector<Example> examples;
    std::string lastText;   // the last line of running text before the current block
    for (size_t i = 0; i < lines.size();) {
        if (!startsWith(lines[i], INDENT)) {
            if (!lines[i].empty())
                lastText = lines[i];
            i++;
            continue;
        }
        const int first = static_cast<int>(i) + 1;
        std::vector<std::string> block;
        std::string text;
        for (; i < lines.size() && startsWith(lines[i], INDENT); i++) {
            block.push_back(lines[i].substr(4));
            text += block.back() + "\n";
        }
        if (endsWith(lastText, EXCERPT_MARK)) {
            if (!examples.empty())
                examples.back().excerpt.insert(examples.back().excerpt.end(), block.begin(), block.end());
        } else if (isCompleteProgram(text)) {
            examples.push_back({first, text, {}, endsWith(lastText, STATUS_3_MARK) ? 3 : 0});
        }
    }
    return examples;
}

// Same words; numbers agree to the tolerance.
bool sameLine(const std::string& quoted, const std::string& listed)
{
    const std::vector<std::string> a = splitWords(quoted);
    const std::vector<std::string> b = splitWords(listed);
    if (a.size() != b.size() || a.empty())
        return false;
    for (size_t k = 0; k < a.size(); k++) {
        if (a[k] == b[k])
            continue;
        char* endA = nullptr;
        char* endB = nullptr;
        const double x = strtod(a[k].c_str(), &endA);
        const double y = strtod(b[k].c_str(), &endB);
        if (*endA != '\0' || *endB != '\0' || endA == a[k].c_str() || endB == b[k].c_str())
            return false;
        if (!(std::fabs(x - y) <= RELATIVE_TOLERANCE * std::max(std::fabs(x), std::fabs(y))))
            return false;
    }
    return true;
}

// The data file a program reads: the name in DATA "name", with ".dat" when it has no
// extension; empty for inline data.
std::string dataFileName(const std::string& program)
{
    std::smatch match;
    if (!std::regex_search(program, match, std::regex("^DATA\\s*\"([^\"]+)\"", std::regex::icase | std::regex::multiline)))
        return "";
    const std::string name = match[1];
    return name.find('.') == std::string::npos ? name + ".dat" : name;
}

TEST(Manual, EveryExampleRunsAndPrintsWhatTheManualQuotes)
{
    const std::vector<std::string> lines = splitLines(readTextFile(sourceDir() + "/docs/Manual.txt"));
    ASSERT_FALSE(lines.empty());
    const std::vector<Example> examples = manualExamples(lines);
    // The quick start, the minimisation and the five examples of the last section.
    ASSERT_GE(examples.size(), 7u);
    for (const Example& example : examples) {
        SCOPED_TRACE("program at manual line " + std::to_string(example.line));
        // Each example quotes what it prints, so that the manual shows results and this
        // test has something to hold them to.
        EXPECT_FALSE(example.excerpt.empty());
        const std::string folder = testTempDir();
        const std::string dataName = dataFileName(example.program);
        if (!dataName.empty()) {
            const std::string data = readTextFile(sourceDir() + "/examples/" + dataName);
            ASSERT_FALSE(data.empty()) << "examples/" << dataName << " is missing";
            writeTextFile(folder + "/" + dataName, data);
        }
        const MoxelRun run = runMoxel(example.program, "example", folder);
        EXPECT_EQ(run.status, example.status) << run.out;
        const std::vector<std::string> listed = splitLines(run.listing);
        size_t at = 0;
        for (const std::string& quoted : example.excerpt) {
            size_t found = at;
            while (found < listed.size() && !sameLine(quoted, listed[found]))
                found++;
            EXPECT_LT(found, listed.size()) << "not in the listing, or out of order: " << quoted << "\n"
                                            << run.listing;
            if (found < listed.size())
                at = found + 1;
        }
    }
}

// The figures are compared with a tolerance, the words exactly.
TEST(Manual, QuotedLinesMatchWordsExactlyAndFiguresClosely)
{
    struct Case {
        const char* quoted;
        const char* listed;
        bool same;
    };
    const Case cases[] = {
        {"Standard error of estimate = 0.0459748", "Standard error of estimate = 0.0459748", true},
        {"Standard error of estimate = 0.0459748", "Standard error of estimate = 0.0459750", true},
        {"Standard error of estimate = 0.0459748", "Standard error of estimate = 0.0460748", false},
        {"         a     10   10.0338075", "a 10 10.0338075", true},
        {"Stopped due to: Relative function convergence.", "Stopped due to: Parameter convergence.", false},
        {"Number of iterations performed = 3", "Number of iterations performed = 4", false},
        {"R^2 = 0.9995  (99.95%)", "R^2 = 0.9995  (99.96%)", false},
        {"", "", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sameLine(c.quoted, c.listed), c.same) << c.quoted << " | " << c.listed;
}

}  // namespace
