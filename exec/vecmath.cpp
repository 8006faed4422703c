// Vector maths over arrays: the AVX2 kernels behind a run-time test of the processor, the
// scalar library as the fallback, and the table the exp kernel reads.
#include "exec/vecmath.h"

#include <cmath>

namespace {

// 2^(j/128) in extended precision (64-bit significand), split into two doubles: hi + lo
// carries about 64 bits, far beyond what the kernel's rounding can see.
VecExpTable makeExpTable()
{
    VecExpTable table{};
    for (int j = 0; j < VEC_EXP_TABLE; j++) {
        const long double value = exp2l((long double)j / VEC_EXP_TABLE);
        table.hi[j] = (double)value;
        table.lo[j] = (double)(value - (long double)table.hi[j]);
    }
    return table;
}

}  // namespace

const VecExpTable vecExpTable = makeExpTable();

double vecmathScalar(VecFunction f, double x)
{
    switch (f) {
    case VEC_EXP: return std::exp(x);
    case VEC_SIN: return std::sin(x);
    case VEC_COS: return std::cos(x);
    }
    return NAN;
}

bool vecmathActive()
{
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

void vecmathApply(VecFunction f, const double* x, double* out, int n)
{
    if (vecmathActive()) {
        vecmathApplyAvx2(f, x, out, n);
        return;
    }
    vecmathApplyScalar(f, x, out, n);
}

void vecmathApplyScalar(VecFunction f, const double* x, double* out, int n)
{
    switch (f) {
    case VEC_EXP: for (int i = 0; i < n; i++) out[i] = std::exp(x[i]); return;
    case VEC_SIN: for (int i = 0; i < n; i++) out[i] = std::sin(x[i]); return;
    case VEC_COS: for (int i = 0; i < n; i++) out[i] = std::cos(x[i]); return;
    }
}
