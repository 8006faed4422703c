// Lexer: token tables, numbers, strings, comments, the listing echo and the error groups.
#include "lang/lexer.h"
#include "lang/linesource.h"
#include "support/allocator.h"
#include "support/listing.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Reads a whole program and keeps a readable dump of its tokens.
struct Lexed {
    std::vector<std::string> tokens;   // "id:x", "kw14:VARIABLES", "num:1.5", "str:abc", "op:7"
    std::vector<double> numbers;       // values of the number tokens
    std::vector<int> lines;            // line number of each token
    std::vector<std::string> screen;   // screen listing lines
    std::string file;                  // listing file text
    int errors;                        // compile errors counted
    bool fatal;                        // lexerFatalError after the read
};

class LexerTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        lexerReset(nullptr);
        listingClear();
        listingCloseFile();
    }

    Lexed lex(const std::string& program)
    {
        Lexed result;
        const std::string folder = testTempDir();
        const std::string listingPath = folder + "/prog.lst";
        listingClear();
        compileErrorReset();
        EXPECT_TRUE(listingOpenFile(listingPath.c_str()));
        TextLines lines;
        const LineSource source = lineSourceFromText(lines, program.data(), program.size());
        lexerReset(&source);
        for (int guard = 0; guard < 10000; guard++) {
            Token* token = nextToken();
            if (!token || token->kind == TOK_END)
                break;
            std::string text;
            switch (token->kind) {
            case TOK_IDENTIFIER: text = "id:" + std::string(token->text); break;
            case TOK_KEYWORD: text = "kw" + std::to_string(token->keyword) + ":" + token->text; break;
            case TOK_STRING: text = "str:" + std::string(token->text); break;
            case TOK_NUMBER: {
                char value[40];
                snprintf(value, sizeof(value), "num:%.15g", token->number);
                text = value;
                result.numbers.push_back(token->number);
                break;
            }
            default: text = "op:" + std::to_string(token->kind); break;
            }
            result.tokens.push_back(text);
            result.lines.push_back(token->line ? token->line->lineNumber : 0);
            freeToken(token);
        }
        listingCloseFile();
        result.file = readTextFile(listingPath);
        for (ListingLine* line = listingHead(); line; line = line->next)
            result.screen.push_back(line->text);
        result.errors = compileErrorCount();
        result.fatal = lexerFatalError();
        return result;
    }
};

std::string op(int kind)
{
    return "op:" + std::to_string(kind);
}

struct TokenCase {
    const char* program;
    std::vector<std::string> tokens;
};

TEST_F(LexerTest, TokenTable)
{
    const TokenCase cases[] = {
        {"x = .5;", {"id:x", op(TOK_ASSIGN), "num:0.5", op(TOK_SEMICOLON)}},
        {"x = 5.;", {"id:x", op(TOK_ASSIGN), "num:5", op(TOK_SEMICOLON)}},
        {"2:30 1:30:15", {"num:150", "num:5415"}},
        {"1e3 1E+3 1d3 1000 2.5e-1", {"num:1000", "num:1000", "num:1000", "num:1000", "num:0.25"}},
        {"1e 7", {"num:1", "num:7"}},
        {"0e400 0.0D999 1e-400", {"num:0", "num:0", "num:0"}},
        {"1e+x", {"num:1", "id:x"}},
        {"0.1 12.50 3D-2", {"num:0.1", "num:12.5", "num:0.03"}},
        {"a ? 1 : 2", {"id:a", op(TOK_QUESTION), "num:1", op(TOK_COLON), "num:2"}},
        {"a ? 1:2", {"id:a", op(TOK_QUESTION), "num:62"}},
        {"1:30.5 1.5:30 1:", {"num:90.5", "num:120", "num:60"}},
        {"1.5:30.5.1", {"num:0", "num:1"}},
        {"VARIABLES variables Var Variables2",
         {"kw14:VARIABLES", "kw14:variables", "kw14:Var", "id:Variables2"}},
        {"model Function parameter iteration", {"kw23:model", "kw23:Function", "kw10:parameter", "kw26:iteration"}},
        {"width title values grid datacount", {"kw36:width", "kw18:title", "kw39:values", "kw24:grid", "kw56:datacount"}},
        {"_a $b #c x9", {"id:_a", "id:$b", "id:#c", "id:x9"}},
        {"( ) [ ] { } , ; ? : % ^",
         {op(TOK_LPAREN), op(TOK_RPAREN), op(TOK_LBRACKET), op(TOK_RBRACKET), op(TOK_LBRACE),
          op(TOK_RBRACE), op(TOK_COMMA), op(TOK_SEMICOLON), op(TOK_QUESTION), op(TOK_COLON),
          op(TOK_PERCENT), op(TOK_POWER)}},
        {"++ += + -- -= - ** *= * /= /",
         {op(TOK_INCREMENT), op(TOK_PLUS_ASSIGN), op(TOK_PLUS), op(TOK_DECREMENT),
          op(TOK_MINUS_ASSIGN), op(TOK_MINUS), op(TOK_POWER), op(TOK_STAR_ASSIGN), op(TOK_STAR),
          op(TOK_SLASH_ASSIGN), op(TOK_SLASH)}},
        {"== = <= < >= > != ! && ||",
         {op(TOK_EQ), op(TOK_ASSIGN), op(TOK_LE), op(TOK_LT), op(TOK_GE), op(TOK_GT), op(TOK_NE),
          op(TOK_NOT), op(TOK_AND), op(TOK_OR)}},
        {"a+++b", {"id:a", op(TOK_INCREMENT), op(TOK_PLUS), "id:b"}},
        {"x = 1; // a remark ; y", {"id:x", op(TOK_ASSIGN), "num:1", op(TOK_SEMICOLON)}},
        {"x /* note */ = /* multi\nline */ 2;", {"id:x", op(TOK_ASSIGN), "num:2", op(TOK_SEMICOLON)}},
        {"x /** starred **/ y", {"id:x", "id:y"}},
        {"#INCLUDE \"other.mxl\" x", {"str:other.mxl", "id:x"}},
        {"#include y", {"id:y"}},
        {"\"a\\\"b\" \"\\\\y\" \"\\'\\t\"", {"str:a\"b", "str:\\y", "str:'t"}},
        // Any quote after a backslash stays in the string, even after an escaped backslash.
        {"\"a\\\\\" b\"", {"str:a\\\" b"}},
        {"\"\\x41\\x4a\\x7e!\"", {"str:AJ~!"}},
        {"\"\\x41g\"", {"str:Ag"}},
        {"", {}},
        {"\n\n  \t\n", {}},
    };
    for (const TokenCase& c : cases) {
        const Lexed result = lex(c.program);
        EXPECT_EQ(result.tokens, c.tokens) << "program: " << c.program;
        EXPECT_EQ(result.errors, 0) << "program: " << c.program;
    }
}

TEST_F(LexerTest, ControlEscapes)
{
    const Lexed result = lex("\"\\a\\b\\f\\n\\r\"");
    ASSERT_EQ(result.tokens.size(), 1u);
    EXPECT_EQ(result.tokens[0], std::string("str:\a\b\f\n\r"));
}

TEST_F(LexerTest, LongIdentifierKeepsThirtyCharacters)
{
    const std::string forty(40, 'q');
    const Lexed result = lex(forty + " z");
    EXPECT_EQ(result.tokens, (std::vector<std::string>{"id:" + std::string(30, 'q'), "id:z"}));
}

TEST_F(LexerTest, LongStringKeepsLimit)
{
    const std::string body(1200, 's');
    const Lexed result = lex("\"" + body + "\" 5");
    // A line holds 599 characters: a longer one ends the compile before any of it is read.
    EXPECT_TRUE(result.tokens.empty());
    EXPECT_EQ(result.errors, 1);
    EXPECT_TRUE(result.fatal);
}

TEST_F(LexerTest, TokensCarryTheirLines)
{
    const Lexed result = lex("a\r\nb\rc\n\nd");
    EXPECT_EQ(result.tokens, (std::vector<std::string>{"id:a", "id:b", "id:c", "id:d"}));
    EXPECT_EQ(result.lines, (std::vector<int>{1, 2, 3, 5}));
}

struct ErrorCase {
    const char* program;
    std::vector<std::string> tokens;
    std::vector<std::string> screen;
    int errors;
};

TEST_F(LexerTest, LexicalErrors)
{
    const ErrorCase cases[] = {
        {"1.2.3", {"num:0", "num:3"}, {"Error: Invalid number"}, 0},
        {"a & b", {"id:a", op(TOK_AND), "id:b"}, {"Error: Invalid operator: &"}, 0},
        {"a |b", {"id:a", op(TOK_OR), "id:b"}, {"Error: Invalid operator: |"}, 0},
        {"x @ y", {"id:x", "id:y"}, {"Error: Invalid character in program: @ (0x40)"}, 0},
        {".x", {"id:x"}, {"Error: Invalid character in program: . (0x2E)"}, 0},
        {"  t = `;", {"id:t", op(TOK_ASSIGN), "str:`", op(TOK_SEMICOLON)},
         {"     1: t = `;", "Error: Invalid character \"`\" in string. Missing quotes?"}, 1},
        {"s = \"abc // def\";", {"id:s", op(TOK_ASSIGN), "str:abc "},
         {"     1: s = \"abc // def\";", "Error: Missing quote at end of string"}, 1},
        {"s = \"open\nx", {"id:s", op(TOK_ASSIGN), "str:open", "id:x"},
         {"     1: s = \"open", "Error: Missing quote at end of string"}, 1},
    };
    for (const ErrorCase& c : cases) {
        const Lexed result = lex(c.program);
        EXPECT_EQ(result.tokens, c.tokens) << "program: " << c.program;
        EXPECT_EQ(result.screen, c.screen) << "program: " << c.program;
        EXPECT_EQ(result.errors, c.errors) << "program: " << c.program;
        EXPECT_FALSE(result.fatal);
    }
}

TEST_F(LexerTest, HighBytesAreInvalidOutsideStringsAndKeptInside)
{
    const Lexed result = lex("x \xE9 \"\xE9t\xE9\" /* \xFF */ y");
    EXPECT_EQ(result.tokens, (std::vector<std::string>{"id:x", "str:\xE9t\xE9", "id:y"}));
    ASSERT_EQ(result.screen.size(), 1u);
    EXPECT_EQ(result.screen[0], "Error: Invalid character in program:  (0xE9)");
    EXPECT_NE(result.file.find("Error: Invalid character in program: \xE9 (0xE9)\n"), std::string::npos);
}

TEST_F(LexerTest, UnterminatedCommentEndsTheCompileWithACountedError)
{
    const Lexed result = lex("x = 1;\n/* open\ny = 2;\n");
    EXPECT_EQ(result.tokens, (std::vector<std::string>{"id:x", op(TOK_ASSIGN), "num:1", op(TOK_SEMICOLON)}));
    EXPECT_TRUE(result.fatal);
    EXPECT_EQ(result.errors, 1);
    EXPECT_EQ(result.screen,
              (std::vector<std::string>{"Error: Hit end of file while processing comment that started on line 2"}));
    EXPECT_NE(result.file.find("Error: Hit end of file while processing comment that started on line 2\n\n"),
              std::string::npos);
    // Every later request gives end of input again.
    Token* token = nextToken();
    ASSERT_NE(token, nullptr);
    EXPECT_EQ(token->kind, TOK_END);
}

TEST_F(LexerTest, EchoExpandsTabsAndCutsLongLines)
{
    const Lexed result = lex("\tx\nabc\ty\n// NOECHO\n" + std::string(700, 'w'));
    const std::vector<std::string> lines = splitLines(result.file);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[4], "Error: Line too long: a program line holds at most 599 characters");
    EXPECT_EQ(lines[0], "   1:     x");
    EXPECT_EQ(lines[1], "   2: abc y");
    EXPECT_EQ(lines[2], "   3: // NOECHO");
    EXPECT_EQ(lines[3], "   4: " + std::string(594, 'w'));
    EXPECT_EQ(result.screen, (std::vector<std::string>{
                                 "     4: " + std::string(70, 'w'),
                                 "Error: Line too long: a program line holds at most 599 characters"}));
}

// A line of 599 characters is whole; one more is a counted error, never a silent cut.
// A UTF-8 byte-order mark opens the first line only.
TEST_F(LexerTest, LineLengthLimitAndByteOrderMark)
{
    struct Case {
        std::string program;
        std::vector<std::string> tokens;
        int errors;
    };
    const Case cases[] = {
        {std::string(597, ' ') + "ab", {"id:ab"}, 0},
        {std::string(598, ' ') + "ab", {}, 1},
        {"\xEF\xBB\xBFx = 1;", {"id:x", "op:" + std::to_string(TOK_ASSIGN), "num:1", "op:" + std::to_string(TOK_SEMICOLON)}, 0},
        {"x\n\xEF\xBB\xBF", {"id:x"}, 0},
    };
    for (const Case& c : cases) {
        const Lexed result = lex(c.program);
        EXPECT_EQ(result.tokens, c.tokens) << c.program.size();
        EXPECT_EQ(result.errors, c.errors) << c.program.size();
    }
    EXPECT_EQ(splitLines(lex("\xEF\xBB\xBFx;").file).at(0), "   1: x;");
}

TEST_F(LexerTest, EchoTabNearTheColumnLimit)
{
    const Lexed result = lex(std::string(593, 'a') + "\tb");
    const std::vector<std::string> lines = splitLines(result.file);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "   1: " + std::string(593, 'a') + " ");
}

TEST_F(LexerTest, PushBackIsLastInFirstOut)
{
    const std::string program = "a b c";
    TextLines lines;
    const LineSource source = lineSourceFromText(lines, program.data(), program.size());
    lexerReset(&source);
    Token* a = nextToken();
    Token* b = nextToken();
    pushBackToken(a);
    pushBackToken(b);
    EXPECT_EQ(nextToken(), b);
    EXPECT_EQ(nextToken(), a);
    Token* c = nextToken();
    EXPECT_STREQ(c->text, "c");
    EXPECT_EQ(nextToken()->kind, TOK_END);
    EXPECT_EQ(nextToken()->kind, TOK_END);
    pushBackToken(c);
    freeAllTokens();
    EXPECT_EQ(nextToken()->kind, TOK_END);
}

TEST_F(LexerTest, RawLinesShareTheLineIndex)
{
    const std::string program = "DATA;\n1 2\r\n\n3 4";
    TextLines lines;
    const LineSource source = lineSourceFromText(lines, program.data(), program.size());
    lexerReset(&source);
    EXPECT_EQ(nextToken()->kind, TOK_KEYWORD);
    EXPECT_EQ(nextToken()->kind, TOK_SEMICOLON);
    char buffer[16];
    std::vector<std::string> data;
    while (lexerTakeRawLine(buffer, sizeof(buffer)))
        data.push_back(buffer);
    EXPECT_EQ(data, (std::vector<std::string>{"1 2", "", "3 4"}));
    EXPECT_EQ(nextToken()->kind, TOK_END);
}

// A raw line that fills the buffer is taken again, whole, into a larger one; the line
// index does not move.
TEST_F(LexerTest, RawLineTakenAgainIntoALargerBuffer)
{
    const std::string longLine = "1" + std::string(40, ' ') + "2";
    const std::string program = "DATA;\n" + longLine + "\n3 4\n";
    TextLines lines;
    const LineSource source = lineSourceFromText(lines, program.data(), program.size());
    lexerReset(&source);
    char small[8];
    EXPECT_FALSE(lexerRetakeRawLine(small, sizeof small)) << "no line taken yet";
    nextToken();
    nextToken();
    ASSERT_TRUE(lexerTakeRawLine(small, sizeof small));
    EXPECT_STREQ(small, "1      ");
    char large[64];
    ASSERT_TRUE(lexerRetakeRawLine(large, sizeof large));
    EXPECT_EQ(std::string(large), longLine);
    ASSERT_TRUE(lexerTakeRawLine(small, sizeof small));
    EXPECT_STREQ(small, "3 4");
}

TEST_F(LexerTest, WholeReadReleasesEveryBlock)
{
    const long before = memLiveBlockCount();
    const std::string program = "VARIABLES x, y;\nPARAMETERS a = 1:30;\n/* c */ s = \"q\\x41\";\n"
                                "FUNCTION y = a * x; // end\n#INCLUDE \"f\"\n";
    TextLines lines;
    const LineSource source = lineSourceFromText(lines, program.data(), program.size());
    lexerReset(&source);
    // Tokens are left unfreed on purpose, some of them pushed back, as after a failed compile.
    Token* token;
    Token* last = nullptr;
    while ((token = nextToken())->kind != TOK_END)
        last = token;
    pushBackToken(last);
    EXPECT_GT(memLiveBlockCount(), before);
    freeAllTokens();
    freeSourceLines();
    EXPECT_EQ(memLiveBlockCount(), before);
}

} // namespace
