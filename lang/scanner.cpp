// Number scanner. One pass checks the syntax and, for the usual short numbers, builds the
// value on Clinger's fast path: an integer of at most 2^53 and a power of ten of at most
// 10^22 are both exact doubles, so one multiplication or division rounds once and gives
// the nearest double. Every other number goes to std::from_chars, which rounds correctly
// for any count of digits and any exponent and ignores the locale. The D exponent and the
// ':' groups of a time are the language's own forms and are handled around it.
#include "lang/scanner.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <system_error>

namespace {

constexpr int FAST_DIGITS = 19;                      // digits a uint64_t takes without overflow
constexpr uint64_t FAST_MANTISSA_MAX = 1ULL << 53;   // integers up to this are exact doubles
constexpr int FAST_POWER_MAX = 22;                   // 10^22 is the largest exact power of ten
constexpr int SHORT_DIGITS = 15;                     // any integer of this many digits is below 2^53
constexpr long long EXPONENT_LIMIT = 1000000000;     // exponent digits past this change nothing
// Significant digits kept when a number is rewritten for from_chars. Whether a decimal
// rounds up or down is settled within its first 768 significant digits (an exact halfway
// point between two doubles has at most 767); beyond them only "is any digit nonzero"
// counts, which one appended digit 1 keeps.
constexpr int KEPT_DIGITS = 800;
constexpr int EXPONENT_TEXT = 24;                    // 'e', a sign and a long long's digits
constexpr double SECONDS_PER_MINUTE = 60.0;          // base of the ':' groups
// The characters that may follow a data value, as bits of one mask (all are below 64).
constexpr uint64_t FIELD_END_MASK = 1ULL << ' ' | 1ULL << '\t' | 1ULL << ',' | 1ULL << ';' |
                                    1ULL << '\n' | 1ULL << '\r';

const double powersOfTen[FAST_POWER_MAX + 1] = {
    1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// One group of digits with at most one point.
struct Group {
    const char* start;      // first digit or point
    const char* end;        // after the group
    uint64_t digits;        // the digits as an integer, meaningful up to FAST_DIGITS of them
    int digitCount;         // digits before and after the point
    int fractionDigits;     // digits after the point
    bool twoPoints;         // the group stopped at a second point (end is there)
};

struct Exponent {
    long long value;        // the exponent, 0 when absent or without digits
    char letter;            // E, e, D, d, or 0 when absent
    bool complete;          // absent, or letter with at least one digit
    const char* end;        // after the exponent's text
};

// Past FAST_DIGITS digits the integer wraps around, unused.
[[gnu::always_inline]] inline Group scanGroup(const char* c)
{
    Group group{c, c, 0, 0, 0, false};
    uint64_t digits = 0;
    for (; isDigit(*c); ++c)
        digits = 10 * digits + static_cast<uint64_t>(*c - '0');
    long count = c - group.start;
    if (*c == '.') {
        const char* fractionStart = ++c;
        for (; isDigit(*c); ++c)
            digits = 10 * digits + static_cast<uint64_t>(*c - '0');
        group.fractionDigits = static_cast<int>(c - fractionStart);
        count += group.fractionDigits;
        group.twoPoints = *c == '.';
    }
    group.digits = digits;
    group.digitCount = static_cast<int>(count);
    group.end = c;
    return group;
}

// exponent -> (D|E|d|e) ['+'|'-'] {digit}; the letter is taken even without digits.
[[gnu::always_inline]] inline Exponent scanExponent(const char* c)
{
    Exponent exponent{0, 0, true, c};
    if (*c != 'E' && *c != 'e' && *c != 'D' && *c != 'd')
        return exponent;
    exponent.letter = *c++;
    bool negative = false;
    if (*c == '+' || *c == '-')
        negative = *c++ == '-';
    const char* digitsStart = c;
    for (; isDigit(*c); ++c)
        if (exponent.value < EXPONENT_LIMIT)
            exponent.value = 10 * exponent.value + (*c - '0');
    exponent.complete = c > digitsStart;
    if (negative)
        exponent.value = -exponent.value;
    exponent.end = c;
    return exponent;
}

// Decimal position of the group's first nonzero digit under the exponent: positive when
// the value is at least 1, so it tells an overflow from an underflow when from_chars
// finds the value out of range. Called only then, for a group with a nonzero digit.
long long decimalMagnitude(const char* start, long long exponent)
{
    const char* c = start;
    while (*c == '0')
        ++c;
    if (isDigit(*c)) {
        long long integerDigits = 0;
        for (; isDigit(*c); ++c)
            ++integerDigits;
        return exponent + integerDigits;
    }
    long long leadingZeros = 0;
    for (++c; *c == '0'; ++c)
        ++leadingZeros;
    return exponent - leadingZeros;
}

// from_chars over [start, end); out of range is an overflow (*overflow set, HUGE_VAL) or
// an underflow to zero, decided by magnitude().
template <typename Magnitude>
double fromChars(const char* start, const char* end, Magnitude magnitude, bool* overflow)
{
    double value = 0.0;
    const std::from_chars_result result = std::from_chars(start, end, value);
    if (result.ec == std::errc::result_out_of_range) {
        if (magnitude() > 0) {
            *overflow = true;
            return HUGE_VAL;
        }
        return 0.0;
    }
    return value;
}

// The group's digits times 10^exponent rewritten as "digits e power" for from_chars,
// which knows no D exponent: leading zeros dropped, at most KEPT_DIGITS significant
// digits and one digit 1 for any nonzero digit dropped after them.
double rewrittenNearest(const char* start, const char* end, long long exponent, bool* overflow)
{
    char text[KEPT_DIGITS + 1 + EXPONENT_TEXT];
    int length = 0;
    long long shift = 0;     // power of ten of the last digit kept
    bool leading = true;
    bool fraction = false;
    bool dropped = false;
    for (const char* c = start; c < end; ++c) {
        if (*c == '.') {
            fraction = true;
            continue;
        }
        if (leading && *c == '0') {
            shift -= fraction ? 1 : 0;
            continue;
        }
        leading = false;
        if (length < KEPT_DIGITS) {
            text[length++] = *c;
            shift -= fraction ? 1 : 0;
        } else {
            shift += fraction ? 0 : 1;
            dropped = dropped || *c != '0';
        }
    }
    if (length == 0)
        return 0.0;
    if (dropped) {
        text[length++] = '1';
        --shift;
    }
    const long long power = exponent + shift;
    text[length] = 'e';
    const std::to_chars_result written = std::to_chars(text + length + 1, text + sizeof text, power);
    return fromChars(text, written.ptr, [&] { return power + length; }, overflow);
}

// The double nearest the group [start, end) times 10 to the exponent written after it
// (none when withExponent is false), for the numbers off the fast path. Only pointers
// cross the call, so the fast path keeps its values in registers.
[[gnu::noinline]] double nearestByLibrary(const char* start, const char* end, bool withExponent, bool* overflow)
{
    const Exponent exponent = withExponent ? scanExponent(end) : Exponent{0, 0, true, end};
    if (!exponent.complete || exponent.letter == 0)
        return fromChars(start, end, [&] { return decimalMagnitude(start, 0); }, overflow);
    if (exponent.letter == 'D' || exponent.letter == 'd')
        return rewrittenNearest(start, end, exponent.value, overflow);
    return fromChars(start, exponent.end, [&] { return decimalMagnitude(start, exponent.value); }, overflow);
}

// The double nearest the group times 10 to the exponent.
[[gnu::always_inline]] inline double nearest(const Group& group, const Exponent& exponent, bool* overflow)
{
    if (group.digitCount <= FAST_DIGITS && group.digits <= FAST_MANTISSA_MAX) {
        if (group.digits == 0)
            return 0.0;
        const long long power = exponent.value - group.fractionDigits;
        const double digits = static_cast<double>(group.digits);
        if (power >= 0 && power <= FAST_POWER_MAX)
            return digits * powersOfTen[power];
        if (power < 0 && power >= -FAST_POWER_MAX)
            return digits / powersOfTen[-power];
    }
    return nearestByLibrary(group.start, group.end, exponent.letter != 0, overflow);
}

// A time: groups joined by ':', each worth 60 of the next (1:30:15 is 5415 seconds). The
// groups are read exactly and joined in double arithmetic, exact for whole numbers; an
// exponent after the last group scales the whole value.
// start is the first group's first character.
[[gnu::noinline]] ScannedNumber scanTime(const char* start, bool negative)
{
    Group group = scanGroup(start);
    const Exponent none{0, 0, true, nullptr};
    double total = 0.0;
    bool complete = true;
    for (;;) {
        if (group.twoPoints)
            return {0.0, group.end, SCAN_TWO_POINTS};
        bool overflow = false;
        double value = 0.0;
        if (group.digitCount == 0)
            complete = false;
        else
            value = nearest(group, none, &overflow);
        if (*group.end != ':') {
            total += value;
            break;
        }
        total = (total + value) * SECONDS_PER_MINUTE;
        group = scanGroup(group.end + 1);
    }
    const Exponent exponent = scanExponent(group.end);
    complete = complete && exponent.complete;
    // An infinite total stays out of range whatever the exponent (inf / 10^400 is NaN).
    if (std::isinf(total))
        return {negative ? -HUGE_VAL : HUGE_VAL, exponent.end, SCAN_OUT_OF_RANGE};
    if (exponent.value != 0 && total != 0.0) {
        const long long magnitude = exponent.value < 0 ? -exponent.value : exponent.value;
        const double scale = magnitude <= FAST_POWER_MAX ? powersOfTen[magnitude]
                                                         : std::pow(10.0, static_cast<double>(magnitude));
        total = exponent.value > 0 ? total * scale : total / scale;
    }
    if (std::isinf(total))
        return {negative ? -HUGE_VAL : HUGE_VAL, exponent.end, SCAN_OUT_OF_RANGE};
    return {negative ? -total : total, exponent.end, complete ? SCAN_OK : SCAN_INCOMPLETE};
}

}  // namespace

namespace {

// number -> ['+'|'-'] group {':' group} [exponent]
// group -> digit {digit} ['.' {digit}] | '.' digit {digit}
[[gnu::noinline]] ScannedNumber scanAnyNumber(const char* text, bool signAllowed)
{
    const char* c = text;
    bool negative = false;
    if (signAllowed && (*c == '+' || *c == '-'))
        negative = *c++ == '-';
    if (!isDigit(*c) && *c != '.')
        return {0.0, text, SCAN_NOT_NUMBER};
    const Group group = scanGroup(c);
    if (group.twoPoints)
        return {0.0, group.end, SCAN_TWO_POINTS};
    if (*group.end == ':')
        return scanTime(c, negative);
    if (group.digitCount == 0)
        return {0.0, group.end, SCAN_NO_DIGITS};
    const Exponent exponent = scanExponent(group.end);
    bool overflow = false;
    const double value = nearest(group, exponent, &overflow);
    if (overflow)
        return {negative ? -HUGE_VAL : HUGE_VAL, exponent.end, SCAN_OUT_OF_RANGE};
    return {negative ? -value : value, exponent.end, exponent.complete ? SCAN_OK : SCAN_INCOMPLETE};
}

// scanAnyNumber for the usual forms, in straight-line code: one group with a complete
// exponent or none. Up to SHORT_DIGITS digits under an exact power of ten it is Clinger's
// fast path; other such numbers go to the library directly. Times, second points,
// incomplete exponents and empty groups are left to scanAnyNumber. Either way the value
// is the same double.
[[gnu::always_inline]] inline ScannedNumber scanNumber(const char* text, bool signAllowed)
{
    const char* c = text;
    bool negative = false;
    if (signAllowed && (*c == '+' || *c == '-'))
        negative = *c++ == '-';
    const char* first = c;
    uint64_t digits = 0;
    for (; isDigit(*c); ++c)
        digits = 10 * digits + static_cast<uint64_t>(*c - '0');
    long count = c - first;
    long fractionDigits = 0;
    if (*c == '.') {
        const char* fractionStart = ++c;
        for (; isDigit(*c); ++c)
            digits = 10 * digits + static_cast<uint64_t>(*c - '0');
        fractionDigits = c - fractionStart;
        count += fractionDigits;
    }
    if (count == 0 || *c == '.' || *c == ':')
        return scanAnyNumber(text, signAllowed);
    const Exponent exponent = scanExponent(c);
    if (!exponent.complete)
        return scanAnyNumber(text, signAllowed);
    const long long power = exponent.value - fractionDigits;
    double value;
    if (count <= SHORT_DIGITS && power <= FAST_POWER_MAX && power >= -FAST_POWER_MAX) {
        value = power >= 0 ? static_cast<double>(digits) * powersOfTen[power]
                           : static_cast<double>(digits) / powersOfTen[-power];
    } else {
        bool overflow = false;
        value = nearestByLibrary(first, c, exponent.letter != 0, &overflow);
        if (overflow)
            return {negative ? -HUGE_VAL : HUGE_VAL, exponent.end, SCAN_OUT_OF_RANGE};
    }
    return {negative ? -value : value, exponent.end, SCAN_OK};
}

}  // namespace

ScannedNumber scannerNumber(const char* text, bool signAllowed)
{
    return scanNumber(text, signAllowed);
}

int scannerFields(const char* text, double* values, int count, const char** end)
{
    const char* c = text;
    int read = 0;
    for (; read < count; ++read) {
        while (*c == ' ' || *c == '\t')
            ++c;
        const ScannedNumber number = scanNumber(c, true);
        const auto after = static_cast<unsigned char>(*number.end);
        if (number.status != SCAN_OK || after >= 64 || !((1ULL << after) & FIELD_END_MASK))
            break;
        values[read] = number.value;
        c = number.end;
        while (*c == ' ' || *c == '\t' || *c == ',')
            ++c;
    }
    *end = c;
    return read;
}
