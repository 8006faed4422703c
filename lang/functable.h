// The built-in function table: every name an analysis program may call, with its code,
// argument count and flags. Several names are aliases sharing one code.
#pragma once

#include <cstdint>

constexpr int BUILTIN_ANY_ARGS = 255;
constexpr int BUILTIN_RANDOM = 57;           // never folded: a new value at every call

struct BuiltinFunction {
    const char* name;           // upper case
    uint8_t code;               // 1 to 78, shared by aliases
    uint8_t argCount;           // exact count, or BUILTIN_ANY_ARGS
    uint8_t noFold;             // never evaluated at compile time
    uint8_t acceptsStrings;     // a string literal may stand among the arguments
    uint32_t extraFlag;         // bit 0 becomes node flag 8
};

extern const BuiltinFunction builtinTable[];
extern const int builtinTableSize;

// First entry whose name equals upperName (already upper case), or null.
const BuiltinFunction* lookupBuiltin(const char* upperName);
