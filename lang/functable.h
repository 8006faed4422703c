// The built-in function table: every name an analysis program may call, with its code
// (BuiltinCode, on which the library in exec/ dispatches), argument count and flags.
// Several names are aliases sharing one code.
#pragma once

#include <cstdint>

// ORDER BUILTIN: function codes of the built-in table; aliases share a code.
enum BuiltinCode {
    FN_ACOS = 1, FN_ASIN = 2, FN_ATAN = 3, FN_COS = 4, FN_EXP = 5, FN_ABS = 6, FN_LN = 7,
    FN_LOG10 = 8, FN_SIN = 9, FN_SQRT = 10, FN_TAN = 11, FN_DEG = 12, FN_RAD = 13,
    FN_COT = 14, FN_HAV = 15, FN_COSH = 16, FN_SINH = 17, FN_TANH = 18, FN_NORMAL = 19,
    FN_MAX = 20, FN_MIN = 21, FN_STEP = 22, FN_PULSE = 23, FN_GAMMA = 24, FN_GAMMAI = 25,
    FN_SEC = 26, FN_CSC = 27, FN_J0 = 28, FN_J1 = 29, FN_JN = 30, FN_Y0 = 31, FN_Y1 = 32,
    FN_YN = 33, FN_CHEBY = 34, FN_FAC = 35, FN_SEL = 36, FN_EI1 = 37, FN_EI2 = 38,
    FN_EIC1 = 39, FN_EIC2 = 40, FN_BETAI = 41, FN_GAMMALN = 42, FN_PAREA = 43, FN_ERF = 44,
    FN_LOG2 = 45, FN_NPD = 46, FN_RTOPA = 47, FN_RTOPD = 48, FN_PTORX = 49, FN_PTORY = 50,
    FN_PTOC = 51, FN_CTOP = 52, FN_MOD = 53, FN_FLOOR = 54, FN_CEIL = 55, FN_ROUND = 56,
    FN_RANDOM = 57, FN_PRINTF = 58, FN_RETURN = 59,
    FN_EI1D = 60, FN_EI2D = 61, FN_EIC1D = 62, FN_EIC2D = 63, FN_ACOSD = 64, FN_ASIND = 65,
    FN_ATAND = 66, FN_COSD = 67, FN_SIND = 68, FN_TAND = 69, FN_COTD = 70, FN_HAVD = 71,
    FN_SECD = 72, FN_CSCD = 73, FN_RTOPAD = 74, FN_PTORXD = 75, FN_PTORYD = 76,
    FN_PTOCD = 77, FN_CTOPD = 78
};

constexpr int BUILTIN_ANY_ARGS = 255;

struct BuiltinFunction {
    const char* name;           // upper case
    uint8_t code;               // BuiltinCode, shared by aliases
    uint8_t argCount;           // exact count, or BUILTIN_ANY_ARGS
    uint8_t noFold;             // never evaluated at compile time
    uint8_t acceptsStrings;     // a string literal may stand among the arguments
    uint32_t extraFlag;         // bit 0 becomes node flag 8
};

extern const BuiltinFunction builtinTable[];
extern const int builtinTableSize;

// First entry whose name equals upperName (already upper case), or null.
const BuiltinFunction* lookupBuiltin(const char* upperName);
