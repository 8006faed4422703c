// SLEEF's 1-ulp AVX2 exp, sin and cos over an array, for the comparison in bench_vecmath.
// Built for AVX2 and FMA; called only where the processor has them.
#include "bench/vecmath_sleef.h"

#include <cstring>
#include <immintrin.h>
#include <sleef.h>

namespace {

__m256d sleefGroup(VecFunction f, __m256d x)
{
    switch (f) {
    case VEC_EXP: return Sleef_expd4_u10avx2(x);
    case VEC_SIN: return Sleef_sind4_u10avx2(x);
    case VEC_COS: return Sleef_cosd4_u10avx2(x);
    }
    return x;
}

}  // namespace

void benchSleefApply(VecFunction f, const double* x, double* out, int n)
{
    int i = 0;
    for (; i + 4 <= n; i += 4)
        _mm256_storeu_pd(out + i, sleefGroup(f, _mm256_loadu_pd(x + i)));
    if (i < n) {
        double in[4] = {0.0, 0.0, 0.0, 0.0};
        double values[4];
        memcpy(in, x + i, sizeof(double) * (size_t)(n - i));
        _mm256_storeu_pd(values, sleefGroup(f, _mm256_loadu_pd(in)));
        memcpy(out + i, values, sizeof(double) * (size_t)(n - i));
    }
}
