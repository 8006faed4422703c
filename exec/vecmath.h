// Vector maths: exp, sin and cos over arrays of values, four at a time on processors with
// AVX2 and FMA, one at a time with the scalar library elsewhere. The vector kernels are
// within a unit in the last place, but not always equal to the scalar library to the last
// bit; so one solve uses one of the two throughout (forward differences subtract values
// of neighbouring points). Each value depends on its own argument only, never on its
// neighbours in the array.
//
// Why kernels of our own rather than a vector maths library: SLEEF 3.5 (Debian's
// libsleef3), its 1-ulp AVX2 functions (Sleef_expd4_u10avx2, ...), measured against ours
// on the same arguments. Largest error against long double over 2^20 random arguments
// per range, in units of the last place (share of values beyond half a unit):
//
//                      ours            SLEEF           scalar library
//   exp [-700, 700]    0.505 (0.06 %)  0.861 (6.0 %)   0.506
//   exp [-1, 1]        0.505 (0.06 %)  0.835 (5.6 %)   0.506
//   sin [-1e5, 1e5]    0.722 (1.4 %)   0.717 (1.7 %)   0.515
//   cos [-4, 4]        0.754 (1.2 %)   0.719 (1.8 %)   0.514
//   cos [-1e5, 1e5]    0.728 (1.4 %)   0.717 (1.7 %)   0.515
//
// Time per value over a block (bench_vecmath, fastest of 15 runs): exp 1.70 ns ours, 1.46
// SLEEF, 5.06 scalar; sin 2.60, 2.16, 9.07; cos 2.52, 2.44, 9.32. With the vector path
// taken at every size, the 54 NIST StRD runs reach the same accuracy goals with either
// (46 with six correct digits in every parameter, 51 with four in everything), and 36
// listings stay identical to the scalar path's with ours, 23 with SLEEF. SLEEF is up to
// a sixth faster but its exp has 1.7 times our worst error, a hundred times as many
// values off by more than half a unit: the kernels stay ours.
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
