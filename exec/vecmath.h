// Vector maths: exp, sin and cos over arrays of values, four at a time on processors with
// AVX2 and FMA, one at a time with the scalar library elsewhere. The vector kernels are
// accurate to about half a unit in the last place, like the scalar library, but not
// always equal to it to the last bit; so one solve uses one of the two throughout
// (forward differences subtract values of neighbouring points). Each value depends on its
// own argument only, never on its neighbours in the array.
#pragma once

enum VecFunction {
    VEC_EXP,      // e^x
    VEC_SIN,      // sine, radians
    VEC_COS,      // cosine, radians
};

// True when the processor has the vector kernels (AVX2 and FMA).
bool vecmathActive();

// out[i] = f(x[i]), i < n. out may be x.
void vecmathApply(VecFunction f, const double* x, double* out, int n);
// The same by the scalar library, on any processor.
void vecmathApplyScalar(VecFunction f, const double* x, double* out, int n);

// ---- shared by the two files of the vector maths ----

constexpr int VEC_EXP_TABLE = 128;      // 2^(j/128), j < 128, as a pair of doubles
// The table's values (hi + lo), filled once at start-up by the scalar file, so that no
// AVX2 instruction runs before the processor is known to have it.
struct VecExpTable {
    double hi[VEC_EXP_TABLE];           // 2^(j/128) rounded
    double lo[VEC_EXP_TABLE];           // 2^(j/128) - hi, rounded
};
extern const VecExpTable vecExpTable;

// f(x) by the scalar library.
double vecmathScalar(VecFunction f, double x);

// The AVX2 kernels of vecmathApply: only where vecmathActive().
void vecmathApplyAvx2(VecFunction f, const double* x, double* out, int n);
