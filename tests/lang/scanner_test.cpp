// Number scanner: the forms of the language and their status, and every number of many
// generated shapes read bit for bit as strtod reads it in the C locale, through the
// scanner, the data reader (a data file) and the lexer (program constants).
#include "lang/data.h"
#include "lang/lexer.h"
#include "lang/linesource.h"
#include "lang/scanner.h"
#include "lang/symbols.h"
#include "support/listing.h"
#include "compile_text.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

TEST(Scanner, FormsStatusesAndEnds)
{
    struct Case {
        const char* text;
        bool signAllowed;
        int status;
        double value;
        int consumed;
    } cases[] = {
        {"12", false, SCAN_OK, 12, 2},
        {".5x", false, SCAN_OK, 0.5, 2},
        {"5.;", false, SCAN_OK, 5, 2},
        {"+1.5e+3 ", true, SCAN_OK, 1500, 7},
        {"-2D-1", true, SCAN_OK, -0.2, 5},
        {"+1", false, SCAN_NOT_NUMBER, 0, 0},
        {"x1", true, SCAN_NOT_NUMBER, 0, 0},
        {"-", true, SCAN_NOT_NUMBER, 0, 0},
        {".", true, SCAN_NO_DIGITS, 0, 1},
        {"-.e5", true, SCAN_NO_DIGITS, 0, 2},
        {"1.2.3", false, SCAN_TWO_POINTS, 0, 3},
        {"5e", false, SCAN_INCOMPLETE, 5, 2},
        {"1e+", false, SCAN_INCOMPLETE, 1, 3},
        {"7d-x", false, SCAN_INCOMPLETE, 7, 3},
        {"1:", false, SCAN_INCOMPLETE, 60, 2},
        {"1::30", false, SCAN_INCOMPLETE, 3630, 5},
        {"1:30", false, SCAN_OK, 90, 4},
        {"1:30:15", false, SCAN_OK, 5415, 7},
        {"-1:30.5", true, SCAN_OK, -90.5, 7},
        {"1.5:30", false, SCAN_OK, 120, 6},
        {"1:30.5.1", false, SCAN_TWO_POINTS, 0, 6},
        {"1:30e1", false, SCAN_OK, 900, 6},
        {"0x10", false, SCAN_OK, 0, 1},
        {"1e400", false, SCAN_OUT_OF_RANGE, HUGE_VAL, 5},
        {"-9D999", true, SCAN_OUT_OF_RANGE, -HUGE_VAL, 6},
        {"99999999999999999999:0", false, SCAN_OK, 6e21, 22},
        {"1e-400", false, SCAN_OK, 0, 6},
        {"0e999999999999", false, SCAN_OK, 0, 14},
        {"1.7976931348623158e+308", false, SCAN_OK, DBL_MAX, 23},
        {"1.7976931348623159e+308", false, SCAN_OUT_OF_RANGE, HUGE_VAL, 23},
        {"2.4703282292062328e-324", false, SCAN_OK, 4.9406564584124654e-324, 23},
        {"2.4703282292062327e-324", false, SCAN_OK, 0, 23},
    };
    for (const Case& c : cases) {
        const ScannedNumber number = scannerNumber(c.text, c.signAllowed);
        EXPECT_EQ(number.status, c.status) << c.text;
        EXPECT_EQ(number.value, c.value) << c.text;
        EXPECT_EQ(number.end - c.text, c.consumed) << c.text;
    }
    // A time whose group is past the range stays out of range under any exponent.
    const std::string hugeTime = "1" + std::string(400, '0') + ":0e-999";
    const ScannedNumber huge = scannerNumber(hugeTime.c_str(), false);
    EXPECT_EQ(huge.status, SCAN_OUT_OF_RANGE);
    EXPECT_EQ(huge.value, HUGE_VAL);
    EXPECT_EQ(scannerNumber("1:0e-999", false).value, 0.0);
    EXPECT_TRUE(std::signbit(scannerNumber("-1e-999", true).value));
    EXPECT_TRUE(std::signbit(scannerNumber("-0", true).value));
}

TEST(Scanner, FieldsStopAtTheFirstFieldThatIsNotAWholeNumber)
{
    struct Case {
        const char* text;
        int count;
        int read;
        const char* rest;
    } cases[] = {
        {"1 2,3\n", 3, 3, "\n"},
        {" -1.5\t+2e3 , 4 ;x", 3, 3, ";x"},
        {"1 2.1mg 3", 3, 1, "2.1mg 3"},
        {"1 5e 3", 3, 1, "5e 3"},
        {"1 2", 3, 1, "2"},   // a NUL may be the end of a file block, not of the record
        {"1 2 3 4\r", 2, 2, "3 4\r"},
        {"1/2 3", 2, 0, "1/2 3"},
    };
    for (const Case& c : cases) {
        double values[4] = {};
        const char* end = nullptr;
        EXPECT_EQ(scannerFields(c.text, values, c.count, &end), c.read) << c.text;
        EXPECT_STREQ(end, c.rest) << c.text;
    }
}

// Numbers of every shape the readers meet, with what strtod makes of them. Exponent
// letters are E, e, D or d; a D exponent is read by strtod as E.
struct GeneratedNumber {
    std::string text;       // as written, without a sign
    double expected;        // strtod of the text in the C locale
};

class NumberGenerator {
public:
    explicit NumberGenerator(uint64_t seed) : random(seed) {}

    std::vector<GeneratedNumber> make(int count)
    {
        std::vector<GeneratedNumber> numbers;
        numbers.reserve(count);
        for (int i = 0; i < count; ++i) {
            std::string text;
            switch (i % 8) {
            case 0: text = digits(1 + below(6)) + exponent(-330, 310); break;
            case 1: text = withPoint(digits(16 + below(10))) + exponent(-340, 300); break;
            case 2: text = withPoint(digits(1 + below(15))) + exponent(-22, 22); break;
            case 3: text = std::string(1, '.').append(digits(1 + below(20))).append(exponent(-320, 320)); break;
            case 4: text = printed(below(2) ? "%.17g" : "%.18G"); break;
            case 5: text = halfway(); break;
            case 6: text = withPoint(digits(26 + below(60))) + exponent(-360, 330); break;
            default: text = digits(1 + below(19)); break;
            }
            std::string plain = text;
            std::replace(plain.begin(), plain.end(), 'D', 'e');
            std::replace(plain.begin(), plain.end(), 'd', 'e');
            numbers.push_back({text, std::strtod(plain.c_str(), nullptr)});
        }
        return numbers;
    }

private:
    int below(int n) { return static_cast<int>(random() % static_cast<uint64_t>(n)); }

    std::string digits(int count)
    {
        std::string text;
        for (int k = 0; k < count; ++k)
            text += static_cast<char>('0' + below(10));
        return text;
    }

    std::string withPoint(const std::string& digits)
    {
        const int at = below(static_cast<int>(digits.size()) + 1);
        return digits.substr(0, at) + "." + digits.substr(at);
    }

    std::string exponent(int low, int high)
    {
        if (below(6) == 0)
            return "";
        static const char* const letters[] = {"E", "e", "D", "d"};
        const int value = low + below(high - low + 1);
        std::string text = letters[below(4)];
        if (value >= 0 && below(2))
            text += "+";
        return text + std::to_string(value);
    }

    // A random double (any finite bit pattern, subnormals included) as printf writes it.
    std::string printed(const char* format)
    {
        double value;
        do
            value = std::bit_cast<double>(random() & 0x7FFFFFFFFFFFFFFFULL);
        while (!std::isfinite(value));
        char text[64];
        snprintf(text, sizeof text, format, value);
        return text;
    }

    // The exact decimal midpoint between two neighbouring doubles, or that midpoint with
    // its last digits changed: the hardest cases for rounding. The midpoint is exact in
    // long double for normal doubles, and printf writes it exactly.
    std::string halfway()
    {
        double value;
        do
            value = std::bit_cast<double>(random() & 0x7FEFFFFFFFFFFFFFULL);
        while (!std::isnormal(value) || value == DBL_MAX);
        const long double middle = (static_cast<long double>(value) + std::nextafter(value, HUGE_VAL)) / 2;
        char text[1200];
        snprintf(text, sizeof text, "%.*Le", 40 + below(760), middle);
        std::string written = text;
        const size_t e = written.find('e');
        std::string mantissa = written.substr(0, e);
        while (mantissa.back() == '0')
            mantissa.pop_back();
        switch (below(3)) {
        case 0: break;
        case 1: mantissa += std::string(below(30), '0') + "1"; break;
        default:
            if (mantissa.back() != '.')
                mantissa.back() = static_cast<char>(mantissa.back() - 1);
            mantissa += std::string(below(30), '9');
            break;
        }
        return mantissa + written.substr(e);
    }

    std::mt19937_64 random;
};

constexpr int GENERATED_COUNT = 120000;

std::vector<GeneratedNumber> generatedNumbers()
{
    NumberGenerator generator(20260101);
    return generator.make(GENERATED_COUNT);
}

bool sameBits(double a, double b)
{
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

TEST(Scanner, GeneratedNumbersReadAsStrtodReadsThem)
{
    const std::vector<GeneratedNumber> numbers = generatedNumbers();
    int wrong = 0;
    int overflows = 0;
    int subnormals = 0;
    for (const GeneratedNumber& number : numbers) {
        for (const char* sign : {"", "-"}) {
            const std::string text = sign + number.text;
            const ScannedNumber scanned = scannerNumber(text.c_str(), true);
            const double expected = *sign ? -number.expected : number.expected;
            const bool ok = sameBits(scanned.value, expected) &&
                            scanned.end == text.c_str() + text.size() &&
                            scanned.status == (std::isinf(expected) ? SCAN_OUT_OF_RANGE : SCAN_OK);
            if (!ok && ++wrong <= 10)
                ADD_FAILURE() << text << " reads as " << scanned.value << ", strtod gives " << expected;
        }
        overflows += std::isinf(number.expected);
        subnormals += std::fpclassify(number.expected) == FP_SUBNORMAL;
    }
    EXPECT_EQ(wrong, 0);
    // The generator reaches both ends of the range.
    EXPECT_GT(overflows, 100);
    EXPECT_GT(subnormals, 100);
}

// A data file of the generated numbers, one per record with a sign on every other one:
// each value in the store is strtod's, bit for bit (an overflow is an error and reads 0).
TEST(Scanner, DataFileValuesReadAsStrtodReadsThem)
{
    const std::vector<GeneratedNumber> numbers = generatedNumbers();
    std::string contents;
    for (size_t i = 0; i < numbers.size(); ++i)
        contents += (i % 2 ? "-" : i % 4 ? "+" : "") + numbers[i].text + "\n";
    const std::string folder = testTempDir();
    writeTextFile(folder + "/numbers.dat", contents);
    compileTextIn("VARIABLES x;\nPARAMETERS a;\nFUNCTION x = a;\nDATA \"numbers\"\n", folder);
    ASSERT_EQ(observationCount, static_cast<int>(numbers.size()));
    int wrong = 0;
    for (size_t i = 0; i < numbers.size(); ++i) {
        double expected = i % 2 ? -numbers[i].expected : numbers[i].expected;
        if (std::isinf(expected))
            expected = 0.0;
        if (!sameBits(observations[i], expected) && ++wrong <= 10)
            ADD_FAILURE() << numbers[i].text << " reads as " << observations[i];
    }
    EXPECT_EQ(wrong, 0);
}

// The same numbers as program constants, one per line: each number token holds strtod's
// value (an overflow is infinite, as a constant past the range has always read).
TEST(Scanner, ProgramConstantsReadAsStrtodReadsThem)
{
    const std::vector<GeneratedNumber> numbers = generatedNumbers();
    std::string program;
    size_t kept = 0;
    for (const GeneratedNumber& number : numbers) {
        if (number.text.size() > SOURCE_LINE_MAX)
            continue;
        program += number.text + "\n";
        ++kept;
    }
    TextLines lines;
    const LineSource source = lineSourceFromText(lines, program.data(), program.size());
    listingClear();
    lexerReset(&source);
    int wrong = 0;
    size_t index = 0;
    for (const GeneratedNumber& number : numbers) {
        if (number.text.size() > SOURCE_LINE_MAX)
            continue;
        Token* token = nextToken();
        ASSERT_EQ(token->kind, TOK_NUMBER) << number.text;
        if (!sameBits(token->number, number.expected) && ++wrong <= 10)
            ADD_FAILURE() << number.text << " reads as " << token->number;
        freeToken(token);
        ++index;
    }
    EXPECT_EQ(nextToken()->kind, TOK_END);
    EXPECT_EQ(index, kept);
    EXPECT_GT(kept, static_cast<size_t>(GENERATED_COUNT) * 9 / 10);
    EXPECT_EQ(wrong, 0);
    lexerReset(nullptr);
}

// End to end: numbers as program constants and as data give the same double as the
// shortest text that strtod turns back into its own value (written with %.17g). The
// program flags each observation whose data value or constant differs from it.
TEST(ScannerEndToEnd, ConstantsAndDataMatchStrtodInARun)
{
    std::vector<GeneratedNumber> numbers;
    for (const char* text : {"1e-30", "1e23", "1.602176634e-19", "3.14159265358979323846",
                             "123456789012345678", "1.7976931348623158e+308", "2.4703282292062328e-324",
                             "4.9406564584124654E-324", "2.2250738585072011e-308", "0.1", "9007199254740993"})
        numbers.push_back({text, std::strtod(text, nullptr)});
    NumberGenerator generator(7);
    for (const GeneratedNumber& number : generator.make(3000))
        if (number.text.size() <= 120 && std::isfinite(number.expected) && numbers.size() < 400)
            numbers.push_back(number);
    ASSERT_EQ(numbers.size(), 400u);
    std::string program = "VARIABLES x, s, y;\nPARAMETERS a = 1, b = 1;\nDOUBLE c, wrongData, wrongConstant;\n";
    std::string data;
    for (size_t i = 0; i < numbers.size(); ++i) {
        char shortest[40];
        snprintf(shortest, sizeof shortest, "%.17g", numbers[i].expected);
        program += "IF (Obs == " + std::to_string(i + 1) + ") c = " + numbers[i].text + ";\n";
        data += numbers[i].text + " " + shortest + " " + std::to_string(i + 1) + "." +
                std::to_string(i % 7) + "\n";
    }
    program += "wrongData = x != s;\nwrongConstant = c != s;\nFUNCTION y = a + b * Obs;\n"
               "OUTPUT \"check\" $OBS, wrongData, wrongConstant;\nDATA;\n" + data;
    const MoxelRun run = runMoxel(program);
    ASSERT_EQ(run.status, 0) << run.listing;
    const std::vector<std::string> rows = splitLines(readTextFile(run.folder + "/check.out"));
    ASSERT_EQ(rows.size(), numbers.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        double observation = 0;
        double wrongData = 1;
        double wrongConstant = 1;
        ASSERT_EQ(sscanf(rows[i].c_str(), "%lf %lf %lf", &observation, &wrongData, &wrongConstant), 3);
        EXPECT_EQ(observation, i + 1.0);
        EXPECT_EQ(wrongData, 0.0) << numbers[i].text;
        EXPECT_EQ(wrongConstant, 0.0) << numbers[i].text;
    }
}

}  // namespace
