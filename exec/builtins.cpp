// Built-in function library. callBuiltin collects a call's argument values and computes
// the function by its code, reporting a domain error through runtimeError (the call then
// yields 0.0). builtinsFold computes the same definitions at compile time for constant
// folding, with its own shorter table of checks and messages.
//
// Angles: the plain trigonometric functions take (and the inverse ones return) degrees
// when ANGLETYPE DEGREES is in force; the names ending in D always use degrees.
#include "exec/builtins.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "exec/interpreter.h"
#include "exec/operators.h"
#include "exec/specfun.h"
#include "lang/functable.h"
#include "lang/options.h"
#include "lang/parser.h"
#include "lang/symbols.h"
#include "support/listing.h"

namespace {

constexpr double DEG_TO_RAD = 0.0174532925199433;
constexpr double RAD_TO_DEG = 57.29577951308232;
constexpr double HALF_PI = 1.5707963267948966;
constexpr double TWO_PI = 6.283185307179586;
constexpr double NORMAL_DENSITY_SCALE = 0.3989422803427046;   // 1 / sqrt(2 pi)
constexpr double SQRT_TWO_PI = 2.5066282746310002;
constexpr double LOG2_E = 1.4426950408889632;
constexpr double TAN_POLE_DISTANCE = 1e-20;    // TAN's test against +pi/2
constexpr double COT_ZERO_REMAINDER = 1e-10;   // COT is 0 this close to a multiple of pi/2
constexpr double CHEBY_ORDER_NUDGE = 0.00001;  // added to the order before truncation
constexpr long CHEBY_RECURRENCE_MAX = 1000000; // higher orders use the closed form
constexpr double JN_ZERO_ORDER = 2000.0;     // orders from which JN looks for an underflowed value
constexpr double JN_UNDERFLOW_EXPONENT = 746.0; // exp(-746) is below the smallest double
constexpr double BESSEL_ORDER_LIMIT = 100000.0; // larger orders: the library's recurrence, linear in
                                                // the order, takes over a millisecond (10 s at 1e9)
constexpr double EXP_ARG_MAX = 500.0;
constexpr double EXP_ARG_UNDERFLOW = -700.0;
constexpr int PTOC_LOOP_LIMIT = 64;            // turns removed one by one before fmod is used
constexpr int PRINTF_BUFFER = 4096;            // characters of one formatted PRINTF text
constexpr int PRINTF_SPEC_MAX = 32;            // characters of one conversion directive

// Linear congruential generator: state = state * 214013 + 2531011 (mod 2^32), result
// the 15 bits above the low 16, scaled to 0...1 by 1/32767. The Run sequence restarts it
// at 1, so every Run draws the same sequence, whichever threads draw it. One thread
// draws at a time: a program that calls RANDOM is evaluated by the analysis thread alone
// (never shared, never in blocks), and the plots evaluate it only after the analysis.
constexpr uint32_t RANDOM_MULTIPLIER = 214013u;
constexpr uint32_t RANDOM_INCREMENT = 2531011u;
constexpr double RANDOM_SCALE = 3.051850947599719e-05;

struct BuiltinsState {
    uint32_t randomState;   // generator state
};

BuiltinsState builtins = {1u};

double toRadians(double x, bool degrees)
{
    return degrees ? x * DEG_TO_RAD : x;
}

double fromRadians(double x, bool degrees)
{
    return degrees ? x * RAD_TO_DEG : x;
}

// True when x degrees is an exact multiple of step plus offset (both in degrees). Used
// for the infinities of the degree forms: the converted angle is never exactly a multiple
// of pi/2, so the cosine or sine would not come out exactly 0.
bool degreesAt(double x, double step, double offset)
{
    if (!std::isfinite(x))
        return false;
    return std::fmod(std::fabs(x - offset), step) == 0.0;
}

// D codes map to their plain code computed in degrees.
int plainCode(int code, bool* forcedDegrees)
{
    static_assert(FN_CTOPD == 78, "ORDER BUILTIN");
    *forcedDegrees = true;
    switch (code) {
    case FN_EI1D: return FN_EI1;
    case FN_EI2D: return FN_EI2;
    case FN_EIC1D: return FN_EIC1;
    case FN_EIC2D: return FN_EIC2;
    case FN_ACOSD: return FN_ACOS;
    case FN_ASIND: return FN_ASIN;
    case FN_ATAND: return FN_ATAN;
    case FN_COSD: return FN_COS;
    case FN_SIND: return FN_SIN;
    case FN_TAND: return FN_TAN;
    case FN_COTD: return FN_COT;
    case FN_HAVD: return FN_HAV;
    case FN_SECD: return FN_SEC;
    case FN_CSCD: return FN_CSC;
    case FN_RTOPAD: return FN_RTOPA;
    case FN_PTORXD: return FN_PTORX;
    case FN_PTORYD: return FN_PTORY;
    case FN_PTOCD: return FN_PTOC;
    case FN_CTOPD: return FN_CTOP;
    default:
        *forcedDegrees = false;
        return code;
    }
}

// pi/2 - a brought into [0, 2 pi). Whole turns are removed one at a time as the
// definition says; an angle many turns away is reduced with fmod instead, so that a huge
// argument cannot keep the loop going.
double compassTurn(double a)
{
    double r = HALF_PI - a;
    if (!std::isfinite(r))
        return r;
    if (std::fabs(r) > PTOC_LOOP_LIMIT * TWO_PI) {
        r = std::fmod(r, TWO_PI);
        if (r < 0.0)
            r += TWO_PI;
        return r;
    }
    while (r < 0.0)
        r += TWO_PI;
    while (r >= TWO_PI)
        r -= TWO_PI;
    return r;
}

// Where COT is zero or infinite: within the remainder rule of a multiple of pi/2. An odd
// multiple gives 0; an even one (0, pi, ...) is a pole.
enum CotCase { COT_REGULAR, COT_ZERO, COT_POLE };

CotCase cotCase(double theta)
{
    if (std::fabs(std::fmod(theta, HALF_PI)) >= COT_ZERO_REMAINDER)
        return std::tan(theta) == 0.0 ? COT_POLE : COT_REGULAR;
    return std::fabs(std::sin(theta)) > std::fabs(std::cos(theta)) ? COT_ZERO : COT_POLE;
}

// Integer order of JN and YN: truncated toward zero, kept inside the int range.
int besselOrder(double n)
{
    double t = std::trunc(n);
    if (!(t > (double)INT_MIN))
        return INT_MIN + 1;
    if (t > (double)INT_MAX)
        return INT_MAX;
    return (int)t;
}

// True when J_n(x) is 0 in double precision. Kapteyn's inequality bounds it below the
// argument's order: |J_n(n sech a)| <= exp(-n (a - tanh a)). From order JN_ZERO_ORDER on,
// where that bound is below the smallest double, the value is 0; the library's recurrence
// would spend time proportional to n (seconds for a huge order) to arrive at that 0.
bool jnUnderflows(int n, double x)
{
    const double order = std::fabs((double)n);
    const double argument = std::fabs(x);
    if (order < JN_ZERO_ORDER || !(argument < order))
        return false;
    const double a = std::acosh(order / argument);
    return order * (a - std::tanh(a)) > JN_UNDERFLOW_EXPONENT;
}

// J_n(x) for an integer order.
double besselJn(int n, double x)
{
    return jnUnderflows(n, x) ? 0.0 : jn(n, x);
}

// Orders beyond BESSEL_ORDER_LIMIT are refused (a run-time error), except where JN is
// known to be 0: the library would take seconds per call on them.
bool besselOrderUsable(int plain, const double* a)
{
    const int n = besselOrder(a[0]);
    if (std::fabs((double)n) <= BESSEL_ORDER_LIMIT)
        return true;
    return plain == FN_JN && jnUnderflows(n, a[1]);
}

// Chebyshev order from a double: the whole part (rounded down, so that any negative order
// stays negative), kept inside the long range.
long chebyOrder(double n)
{
    double t = std::floor(n);
    if (std::isnan(t))
        return -1;
    if (t >= 9.0e18)
        return (long)9.0e18;
    if (t <= -9.0e18)
        return (long)-9.0e18;
    return (long)t;
}

// T_n(x) for n >= 0. Orders up to CHEBY_RECURRENCE_MAX take the recurrence of the special
// functions; a higher order would keep that loop running for minutes or years, so it is
// computed from the closed form: cos(n acos x) on [-1, 1], cosh(n acosh |x|) outside,
// with the sign (-1)^n for x < -1.
double chebyshevValue(long n, double x)
{
    if (n <= CHEBY_RECURRENCE_MAX)
        return chebyshevT(n, x);
    double order = (double)n;
    if (std::fabs(x) <= 1.0)
        return std::cos(order * std::acos(x));
    double magnitude = std::cosh(order * std::acosh(std::fabs(x)));
    return (x < 0.0 && (n & 1)) ? -magnitude : magnitude;
}

// ORDER BUILTIN: the definitions without their domain checks. Run time and compile time
// check first and then call this. degrees is the effective angle mode; forced marks a D
// form (the elliptic routines read the mode themselves unless forced). status is passed
// to the special functions (null: they report through runtimeError).
double computeBuiltin(int code, const double* a, bool degrees, bool forced,
                      SpecfunStatus* status)
{
    double x = a[0];
    switch (code) {
    case FN_ACOS: return fromRadians(std::acos(x), degrees);
    case FN_ASIN: return fromRadians(std::asin(x), degrees);
    case FN_ATAN: return fromRadians(std::atan(x), degrees);
    case FN_COS: return std::cos(toRadians(x, degrees));
    case FN_EXP: return x < EXP_ARG_UNDERFLOW ? 0.0 : std::exp(x);
    case FN_ABS: return std::fabs(x);
    case FN_LN: return std::log(x);
    case FN_LOG10: return std::log10(x);
    case FN_SIN: return std::sin(toRadians(x, degrees));
    case FN_SQRT: return std::sqrt(x);
    case FN_TAN: return std::tan(toRadians(x, degrees));
    case FN_DEG: return x * RAD_TO_DEG;
    case FN_RAD: return x * DEG_TO_RAD;
    case FN_COT: {
        double theta = toRadians(x, degrees);
        CotCase c = cotCase(theta);
        if (c == COT_ZERO)
            return 0.0;
        return 1.0 / std::tan(theta);
    }
    case FN_HAV: return (1.0 - std::cos(toRadians(x, degrees))) / 2.0;
    case FN_COSH: return std::cosh(x);
    case FN_SINH: return std::sinh(x);
    case FN_TANH: return std::tanh(x);
    case FN_NORMAL: return std::exp(-x * x / 2.0) * NORMAL_DENSITY_SCALE;
    case FN_MAX: return a[0] >= a[1] ? a[0] : a[1];
    case FN_MIN: return a[0] <= a[1] ? a[0] : a[1];
    case FN_STEP: return a[0] <= a[1] ? 1.0 : 0.0;
    case FN_PULSE: return (a[0] <= a[1] && a[1] <= a[2]) ? 1.0 : 0.0;
    case FN_GAMMA: return 1.0 / reciprocalGamma(x);
    case FN_GAMMAI: return reciprocalGamma(x);
    case FN_SEC: return 1.0 / std::cos(toRadians(x, degrees));
    case FN_CSC: return 1.0 / std::sin(toRadians(x, degrees));
    case FN_J0: return j0(x);
    case FN_J1: return j1(x);
    case FN_JN: return besselJn(besselOrder(a[0]), a[1]);
    case FN_Y0: return y0(x);
    case FN_Y1: return y1(x);
    case FN_YN: return yn(besselOrder(a[0]), a[1]);
    case FN_CHEBY: return chebyshevValue(chebyOrder(a[0]), a[1]);
    case FN_FAC: return 1.0 / reciprocalGamma(x + 1.0);
    case FN_SEL: return a[0] < a[1] ? a[2] : a[3];
    case FN_EI1: return ellipticF(a[0], a[1], forced, status);
    case FN_EI2: return ellipticE(a[0], a[1], forced, status);
    case FN_EIC1: return ellipticK(x, forced, status);
    case FN_EIC2: return ellipticEc(x, forced, status);
    case FN_BETAI: return incompleteBeta(a[1], a[2], a[0]);
    case FN_GAMMALN: return logGamma(x);
    case FN_PAREA: return normalArea(x, status);
    case FN_ERF: return errorFunction(x, status);
    case FN_LOG2: return std::log(x) * LOG2_E;
    case FN_NPD: {
        double d = a[0] - a[1];
        return std::exp(-d * d / (2.0 * a[2] * a[2])) / (SQRT_TWO_PI * a[2]);
    }
    case FN_RTOPA: {
        double angle = HALF_PI - std::atan2(a[0], a[1]);
        if (angle < 0.0)
            angle += TWO_PI;
        return fromRadians(angle, degrees);
    }
    case FN_RTOPD: return std::sqrt(a[0] * a[0] + a[1] * a[1]);
    case FN_PTORX: return a[1] * std::cos(toRadians(a[0], degrees));
    case FN_PTORY: return a[1] * std::sin(toRadians(a[0], degrees));
    case FN_PTOC:
    case FN_CTOP: return fromRadians(compassTurn(toRadians(x, degrees)), degrees);
    case FN_MOD: return std::fmod(a[0], a[1]);
    case FN_FLOOR: return std::floor(x);
    case FN_CEIL: return std::ceil(x);
    case FN_ROUND: return x >= 0.0 ? std::floor(x + 0.5) : std::ceil(x - 0.5);
    default: return 0.0;
    }
}

// ---- PRINTF ---------------------------------------------------------------------------

// Appends text to out (of size PRINTF_BUFFER) at *used, cutting at the end.
void appendText(char* out, int* used, const char* text, int length)
{
    int room = PRINTF_BUFFER - 1 - *used;
    if (length > room)
        length = room;
    if (length <= 0)
        return;
    memcpy(out + *used, text, (size_t)length);
    *used += length;
    out[*used] = '\0';
}

// Formats the user's format string with the values as doubles. Each conversion is
// checked and formatted on its own: floating conversions take the next value; integer
// and character conversions take its truncated value; %s, %p, %n, '*' widths and
// unknown conversions are copied as written, since no argument of their type exists.
void formatPrintf(const char* format, const double* values, char* out)
{
    int used = 0;
    int next = 0;
    out[0] = '\0';
    const char* p = format;
    while (*p) {
        if (*p != '%') {
            const char* start = p;
            while (*p && *p != '%')
                p++;
            appendText(out, &used, start, (int)(p - start));
            continue;
        }
        if (p[1] == '%') {
            appendText(out, &used, "%", 1);
            p += 2;
            continue;
        }
        // % [flags] [width] [.precision] [length] conversion
        const char* start = p++;
        char spec[PRINTF_SPEC_MAX];
        int n = 0;
        spec[n++] = '%';
        while (*p && strchr("-+ #0", *p)) {
            if (n < PRINTF_SPEC_MAX - 8)
                spec[n++] = *p;
            p++;
        }
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            if (digits++ < 3)
                spec[n++] = *p;
            p++;
        }
        if (*p == '.') {
            spec[n++] = *p++;
            digits = 0;
            while (*p >= '0' && *p <= '9') {
                if (digits++ < 3)
                    spec[n++] = *p;
                p++;
            }
        }
        while (*p && strchr("hlLqjzt", *p))
            p++;
        char conversion = *p;
        if (conversion)
            p++;
        char piece[PRINTF_BUFFER];
        int length = -1;
        double value = next < PRINTF_VALUES ? values[next] : 0.0;
        if (conversion && strchr("eEfFgGaA", conversion)) {
            spec[n++] = conversion;
            spec[n] = '\0';
            length = snprintf(piece, sizeof piece, spec, value);
            next++;
        } else if (conversion && strchr("diouxXc", conversion)) {
            long long whole = 0;
            if (value >= -9.2e18 && value <= 9.2e18)
                whole = (long long)value;
            if (conversion == 'c') {
                spec[n++] = 'c';
                spec[n] = '\0';
                length = snprintf(piece, sizeof piece, spec, (int)(unsigned char)whole);
            } else {
                spec[n++] = 'l';
                spec[n++] = 'l';
                spec[n++] = conversion;
                spec[n] = '\0';
                length = snprintf(piece, sizeof piece, spec, whole);
            }
            next++;
        }
        if (length < 0)
            appendText(out, &used, start, (int)(p - start));
        else
            appendText(out, &used, piece, length < (int)sizeof piece ? length : (int)sizeof piece - 1);
    }
}

double builtinPrintf(RunFrame* frame, const ExprNode* call, const double* args, int count)
{
    if (count == 0) {
        runtimeError(frame, "Function has too few arguments");
        return 0.0;
    }
    const ExprNode* first = call->firstArg;
    if (first->kind != NODE_STRING || !first->text) {
        runtimeError(frame, "Invalid arguments to function");
        return 0.0;
    }
    double values[PRINTF_VALUES];
    for (int k = 0; k < PRINTF_VALUES; k++)
        values[k] = k + 1 < count ? args[k + 1] : 0.0;
    char text[PRINTF_BUFFER];
    formatPrintf(first->text, values, text);
    fputs(text, stdout);
    fflush(stdout);
    if (FILE* file = listingFile())
        fputs(text, file);
    return 1.0;
}

double builtinReturn(RunFrame* frame, const double* args, int count)
{
    if (count == 0) {
        runtimeError(frame, "Function has too few arguments");
        return 0.0;
    }
    frame->predictedValue = args[0];
    frame->observedValue = count >= 2 ? args[1] : 0.0;
    frame->functionDone = true;
    frame->stopRequested = true;
    return 0.0;
}

// ---- run-time checks ------------------------------------------------------------------

// Reports format with value when bad. Returns true when the argument passes.
bool checkArgument(RunFrame* frame, bool bad, const char* format, double value)
{
    if (!bad)
        return true;
    runtimeError(frame, format, value);
    return false;
}

// Reports message when pole (the function is infinite there). Returns true otherwise.
bool checkPole(RunFrame* frame, bool pole, const char* message)
{
    if (!pole)
        return true;
    runtimeError(frame, "%s", message);
    return false;
}

// The domain checks and messages of the run-time library. Returns true when the call
// may be computed; otherwise the error has been reported.
bool runtimeArgumentsValid(RunFrame* frame, int code, int plain, const double* a, bool degrees)
{
    double x = a[0];
    bool d = code != plain;   // a D form: its own message names it
    switch (plain) {
    case FN_ACOS:
        return checkArgument(frame, x < -1.0 || x > 1.0, d ? "ACOSD argument %lG not in range -1 to 1"
                                                    : "ACOS argument %lG not in range -1 to 1", x);
    case FN_ASIN:
        return checkArgument(frame, x < -1.0 || x > 1.0, d ? "ASIND argument %lG not in range -1 to 1"
                                                    : "ASIN argument %lG not in range -1 to 1", x);
    case FN_EXP:
        return checkArgument(frame, x > EXP_ARG_MAX, "Argument to exp function is too large (%lG)", x);
    case FN_LN:
    case FN_LOG10:
        return checkArgument(frame, x <= 0.0, "Attempt to take log of zero or negative: %lG", x);
    case FN_LOG2:
        return checkArgument(frame, x <= 0.0, "attempt to take log2 of zero or negative: %lG", x);
    case FN_SQRT:
        return checkArgument(frame, x < 0.0, "Attempt to take square root of negative number: %lG", x);
    case FN_TAN: {
        double theta = toRadians(x, degrees);
        bool pole = std::fabs(theta - HALF_PI) < TAN_POLE_DISTANCE || (degrees && x == 90.0);
        return checkPole(frame, pole, d ? "TAND function argument = 90 degrees"
                                 : "TAN function argument = 90 degrees");
    }
    case FN_COT:
        return checkPole(frame, cotCase(toRadians(x, degrees)) == COT_POLE,
                         d ? "COTD function is infinite" : "COT function is infinite");
    case FN_SEC:
        return checkPole(frame, std::cos(toRadians(x, degrees)) == 0.0
                             || (degrees && degreesAt(x, 180.0, 90.0)),
                         d ? "SECD function is infinite" : "SEC function is infinite");
    case FN_CSC:
        return checkPole(frame, std::sin(toRadians(x, degrees)) == 0.0
                             || (degrees && degreesAt(x, 180.0, 0.0)),
                         d ? "CSCD function is infinite" : "CSC function is infinite");
    case FN_GAMMA:
        return checkArgument(frame, x < -4.0 || x > 170.0 || std::isnan(x),
                             "Gamma function argument out of range: %lG", x)
            && checkPole(frame, reciprocalGamma(x) == 0.0, "Gamma function is infinite");
    case FN_GAMMAI:
        return checkArgument(frame, x < -4.0 || x > 170.0 || std::isnan(x),
                             "Gammai function argument out of range: %lG", x);
    case FN_FAC:
        return checkArgument(frame, x < -5.0 || x > 169.0 || std::isnan(x),
                             "Factorial function argument out of range: %lG", x)
            && checkPole(frame, reciprocalGamma(x + 1.0) == 0.0, "Factorial function is infinite");
    case FN_GAMMALN:
        return checkArgument(frame, x <= 0.0, "Invalid argument to gammln function: %lG", x);
    case FN_BETAI:
        return checkArgument(frame, a[0] < 0.0 || a[0] > 1.0, "Invalid x value for BETAI function: %lG", a[0])
            && checkArgument(frame, a[1] <= 0.0, "Invalid a argument for BETAI function: %lG", a[1])
            && checkArgument(frame, a[2] <= 0.0, "Invalid b argument for BETAI function: %lG", a[2]);
    case FN_Y0:
        return checkArgument(frame, x <= 0.0, "Argument to Y0 function is negative or zero: %lG", x);
    case FN_Y1:
        return checkArgument(frame, x <= 0.0, "Argument to Y1 function is negative or zero: %lG", x);
    case FN_JN:
        return checkArgument(frame, !besselOrderUsable(plain, a), "Order of JN function is too large: %lG", a[0]);
    case FN_YN:
        return checkArgument(frame, a[1] <= 0.0, "Argument to YN function is negative or zero: %lG", a[1])
            && checkArgument(frame, !besselOrderUsable(plain, a), "Order of YN function is too large: %lG", a[0]);
    default:
        return true;
    }
}

// ---- compile-time checks --------------------------------------------------------------

// The compile-time table: returns the message of a failed check, or null.
const char* foldCheck(int code, int plain, const double* a, bool degrees)
{
    double x = a[0];
    bool d = code != plain;
    switch (plain) {
    case FN_LN:
        return x <= 0.0 ? "Attempt to take log of negative or zero value" : nullptr;
    case FN_LOG10:
        return x <= 0.0 ? "Attempt to take log10 of negative or zero value" : nullptr;
    case FN_LOG2:
        return x <= 0.0 ? "Attempt to take log of negative or zero number" : nullptr;
    case FN_SQRT:
        return x < 0.0 ? "Attempt to take square root of negative number" : nullptr;
    case FN_COT:
        if (cotCase(toRadians(x, degrees)) == COT_POLE)
            return d ? "Invalid argument to COTD function" : "Invalid argument to cotangent function";
        return nullptr;
    case FN_SEC:
        if (std::cos(toRadians(x, degrees)) == 0.0 || (degrees && degreesAt(x, 180.0, 90.0)))
            return d ? "Invalid argument to SECD function" : "Invalid argument to secent function";
        return nullptr;
    case FN_CSC:
        if (std::sin(toRadians(x, degrees)) == 0.0 || (degrees && degreesAt(x, 180.0, 0.0)))
            return d ? "Invalid argument to CSCD function" : "Invalid argument to cosecant function";
        return nullptr;
    case FN_GAMMA:
        if (x < -4.0 || x > 170.0 || std::isnan(x) || reciprocalGamma(x) == 0.0)
            return "Gamma function argument out of range";
        return nullptr;
    case FN_GAMMAI:
        if (x < -4.0 || x > 170.0 || std::isnan(x))
            return "Gamma function argument out of range";
        return nullptr;
    case FN_FAC:
        if (x < -4.0 || x > 170.0 || std::isnan(x))
            return "Invalid argument to factorial function";
        if (reciprocalGamma(x + 1.0) == 0.0)
            return "Invalid argument to inverse gamma function";
        return nullptr;
    case FN_Y0:
    case FN_Y1:
        return x <= 0.0 ? "Argument to Bessel function is negative or zero" : nullptr;
    case FN_YN:
        return a[1] <= 0.0 ? "Argument to Bessel function is negative or zero" : nullptr;
    case FN_BETAI:
        if (a[0] < 0.0 || a[0] > 1.0)
            return "Invalid x value for BETAI function";
        if (a[1] <= 0.0)
            return "Invalid a argument for BETAI function";
        if (a[2] <= 0.0)
            return "Invalid b argument for BETAI function";
        return nullptr;
    case FN_GAMMALN:
        return x <= 0.0 ? "Invalid argument to gammln function" : nullptr;
    default:
        return nullptr;
    }
}

// Exact argument count of a code from the function table, or BUILTIN_ANY_ARGS; -1 for
// a code the table does not hold.
int tableArgCount(int code)
{
    for (int k = 0; k < builtinTableSize; k++)
        if (builtinTable[k].code == code)
            return builtinTable[k].argCount;
    return -1;
}

// Constants and scalar variables are read in place; a string literal counts as 0.
inline double argumentValue(RunFrame* frame, const ExprNode* arg)
{
    if (arg->kind == NODE_VAR)
        return frame->values[arg->symbol->slot];
    if (arg->kind == NODE_CONST)
        return arg->value;
    if (arg->kind == NODE_STRING)
        return 0.0;
    return operatorsEvaluate(frame, arg);
}

// The checks with their messages and the definitions, for argument values already
// collected (args holds at least 4 values, the missing ones 0).
__attribute__((noinline)) double applyBuiltin(RunFrame* frame, const ExprNode* call, const double* args, int count)
{
    int code = call->function;
    switch (code) {
    case FN_RANDOM: {
        BuiltinsState& state = builtins;
        state.randomState = state.randomState * RANDOM_MULTIPLIER + RANDOM_INCREMENT;
        return (double)((state.randomState >> 16) & 0x7FFFu) * RANDOM_SCALE;
    }
    case FN_PRINTF:
        return builtinPrintf(frame, call, args, count);
    case FN_RETURN:
        return builtinReturn(frame, args, count);
    case FN_CHEBY: {
        long n = chebyOrder(args[0] + CHEBY_ORDER_NUDGE);
        if (n < 0) {
            runtimeError(frame, "Arg 1 (order) negative for Chebyshev function: %ld", n);
            return 0.0;
        }
        return chebyshevValue(n, args[1]);
    }
    default:
        break;
    }
    if (code < 1 || code > FN_CTOPD) {
        runtimeError(frame, "Unknown function");
        return 0.0;
    }

    bool forced;
    int plain = plainCode(code, &forced);
    bool degrees = forced || settings.anglesInDegrees;
    if (!runtimeArgumentsValid(frame, code, plain, args, degrees))
        return 0.0;
    // The special functions report their own failures, through this call's frame.
    runReportFrame = frame;
    return computeBuiltin(plain, args, degrees, forced, nullptr);
}

// Every call the fast path of callBuiltin does not take: collects the argument values
// into the buffer and applies the function.
__attribute__((noinline)) double callBuiltinGeneral(RunFrame* frame, const ExprNode* call)
{
    double args[BUILTIN_MAX_ARGS];
    args[0] = args[1] = args[2] = args[3] = 0.0;
    int count = 0;
    for (const ExprNode* arg = call->firstArg; arg; arg = arg->nextArg) {
        if (count == BUILTIN_MAX_ARGS) {
            runtimeError(frame, "Too many function argument values specified");
            return 0.0;
        }
        args[count++] = argumentValue(frame, arg);
    }
    return applyBuiltin(frame, call, args, count);
}

// A one-argument call whose value is known, through the checks and messages.
double applyOne(RunFrame* frame, const ExprNode* call, double x)
{
    const double args[4] = {x, 0.0, 0.0, 0.0};
    return applyBuiltin(frame, call, args, 1);
}

}  // namespace

// ---- public ---------------------------------------------------------------------------

// The one-argument functions that models use most are computed here at once, on a small
// frame; everything else, and every argument error, goes through callBuiltinGeneral.
double callBuiltin(RunFrame* frame, const ExprNode* call)
{
    const ExprNode* arg = call->firstArg;
    if (!arg || arg->nextArg)
        return callBuiltinGeneral(frame, call);
    switch (call->function) {
    case FN_EXP: {
        double x = argumentValue(frame, arg);
        if (x > EXP_ARG_MAX)
            return applyOne(frame, call, x);
        return x < EXP_ARG_UNDERFLOW ? 0.0 : std::exp(x);
    }
    case FN_SIN:
        return std::sin(toRadians(argumentValue(frame, arg), settings.anglesInDegrees));
    case FN_COS:
        return std::cos(toRadians(argumentValue(frame, arg), settings.anglesInDegrees));
    case FN_ABS:
        return std::fabs(argumentValue(frame, arg));
    case FN_SQRT: {
        double x = argumentValue(frame, arg);
        if (x < 0.0)
            return applyOne(frame, call, x);
        return std::sqrt(x);
    }
    default:
        return callBuiltinGeneral(frame, call);
    }
}

double builtinApply(RunFrame* frame, const ExprNode* call, const double* args, int count)
{
    return applyBuiltin(frame, call, args, count);
}

void builtinsReset()
{
    builtins.randomState = 1u;
}

void builtinsInstallFoldHook()
{
    exprSetFoldHook(builtinsFold);
}

bool builtinsFold(int function, const double* args, int argCount, const SourceLine* line,
                  double* value)
{
    if (function < 1 || function > FN_CTOPD || function == FN_RANDOM ||
        function == FN_PRINTF || function == FN_RETURN)
        return false;
    int expected = tableArgCount(function);
    if (expected != BUILTIN_ANY_ARGS && expected != argCount)
        return false;

    double a[4] = {0.0, 0.0, 0.0, 0.0};
    for (int k = 0; k < argCount && k < 4; k++)
        a[k] = args[k];

    bool forced;
    int plain = plainCode(function, &forced);
    bool degrees = forced || settings.anglesInDegrees;

    if (const char* message = foldCheck(function, plain, a, degrees)) {
        compileError(line, message);
        *value = 0.0;
        return false;
    }
    if (plain == FN_CHEBY) {
        // Folded with the order truncated as written; a negative order stays for the
        // run-time check and its message.
        if (!(a[0] >= 0.0))
            return false;
        long n = chebyOrder(a[0]);
        *value = chebyshevValue(n, a[1]);
        return true;
    }

    // A Bessel order too large to compute stays for the run-time message.
    if ((plain == FN_JN || plain == FN_YN) && !besselOrderUsable(plain, a))
        return false;
    // The special functions report nothing here: a failure they would report at run time
    // leaves the call for the run-time message.
    SpecfunStatus status = {SPECFUN_OK, 0.0};
    double result = computeBuiltin(plain, a, degrees, forced, &status);
    if (status.code != SPECFUN_OK)
        return false;
    *value = result;
    return true;
}
