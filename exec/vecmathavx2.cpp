// The AVX2 kernels of the vector maths, four values at a time. This file alone is built
// for AVX2 and FMA; its functions run only where the processor has them.
//
// exp(x), |x| <= 700: x = k ln2/128 + r with k = nearest integer to 128x/ln2 and
// |r| <= ln2/256, ln2/128 in two parts so that r is exact to about 2^-61. Then
// exp(x) = 2^(k div 128) * 2^((k mod 128)/128) * e^r, the middle factor from the
// table (hi + lo), e^r - 1 by its Taylor polynomial to r^6 (the next term is below 2^-70),
// and the result hi + (hi (e^r - 1) + lo): about 0.51 units in the last place.
//
// sin(x), cos(x), |x| <= 1e5: x = k pi/2 + r, k the nearest integer to 2x/pi, with pi/2 in
// three parts (159 bits): r is carried as rh + rl, exact to far below its last place even
// next to a multiple of pi/2. sin r and cos r by their Taylor series to r^19 and r^18
// (|r| <= pi/4: the next terms are below 2^-60), each summed so that its leading term is
// added last, then the quadrant k mod 4 picks and signs them: about 0.6 units in the last
// place. |x| < 2^-26 gives sin x = x (its correctly rounded value, -0 kept).
//
// Elsewhere (larger arguments, infinities, NaN) a value is the scalar library's. Each
// value depends on its own argument only.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <immintrin.h>

#include "exec/vecmath.h"

namespace {

constexpr int LANES = 4;

constexpr double SHIFT = 0x1.8p52;                  // adding it rounds to an integer, kept in the low bits
constexpr double EXP_LIMIT = 700.0;                 // |x| beyond: the scalar library
constexpr double EXP_SCALE = 0x1.71547652b82fep+7;  // 128 / ln 2
constexpr double LN2_128_HI = 0x1.62e42fefa39efp-8; // ln 2 / 128, leading part
constexpr double LN2_128_LO = 0x1.abc9e3b39803fp-63;// ln 2 / 128 - LN2_128_HI

constexpr double TRIG_LIMIT = 1e5;                  // |x| beyond: the scalar library
constexpr double TRIG_TINY = 0x1p-26;               // |x| below: sin x = x
constexpr double TWO_OVER_PI = 0x1.45f306dc9c883p-1;
constexpr double PIO2_1 = 0x1.921fb54442d18p+0;     // pi/2 = PIO2_1 + PIO2_2 + PIO2_3
constexpr double PIO2_2 = 0x1.1a62633145c07p-54;
constexpr double PIO2_3 = -0x1.f1976b7ed8fbcp-110;

constexpr double factorialInverse(int n)
{
    double f = 1.0;
    for (int k = 2; k <= n; k++) f *= k;
    return 1.0 / f;
}

// The coefficients of z^0, z^1, ... of sin r = r + r z S(z) and cos r = 1 - z/2 + z^2 C(z),
// z = r^2: S(z) = -1/3! + z/5! - ... - z^8/19!, C(z) = 1/4! - z/6! + ... - z^7/18!.
constexpr double SIN_SERIES[] = {
    -factorialInverse(3), factorialInverse(5), -factorialInverse(7), factorialInverse(9), -factorialInverse(11),
    factorialInverse(13), -factorialInverse(15), factorialInverse(17), -factorialInverse(19)};
constexpr double COS_SERIES[] = {
    factorialInverse(4), -factorialInverse(6), factorialInverse(8), -factorialInverse(10), factorialInverse(12),
    -factorialInverse(14), factorialInverse(16), -factorialInverse(18)};

inline __m256d fma(__m256d a, __m256d b, __m256d c) { return _mm256_fmadd_pd(a, b, c); }
inline __m256d set(double v) { return _mm256_set1_pd(v); }

// sum of coefficient[k] z^k by Horner's rule, from the highest power down.
template <int COUNT>
__m256d series(__m256d z, const double (&coefficient)[COUNT])
{
    __m256d sum = set(coefficient[COUNT - 1]);
    for (int k = COUNT - 2; k >= 0; k--)
        sum = fma(sum, z, set(coefficient[k]));
    return sum;
}

__m256d expKernel(__m256d x)
{
    const __m256d t = fma(x, set(EXP_SCALE), set(SHIFT));
    const __m256d k = _mm256_sub_pd(t, set(SHIFT));
    __m256d r = fma(k, set(-LN2_128_HI), x);
    r = fma(k, set(-LN2_128_LO), r);
    // e^r - 1 = r + r^2 (1/2 + r (1/6 + r (1/24 + r (1/120 + r/720))))
    __m256d q = fma(r, set(factorialInverse(6)), set(factorialInverse(5)));
    q = fma(q, r, set(factorialInverse(4)));
    q = fma(q, r, set(factorialInverse(3)));
    q = fma(q, r, set(0.5));
    const __m256d p = fma(q, _mm256_mul_pd(r, r), r);
    const __m256i ki = _mm256_castpd_si256(t);
    const __m256i j = _mm256_and_si256(ki, _mm256_set1_epi64x(VEC_EXP_TABLE - 1));
    const __m256d hi = _mm256_i64gather_pd(vecExpTable.hi, j, 8);
    const __m256d lo = _mm256_i64gather_pd(vecExpTable.lo, j, 8);
    const __m256d y = _mm256_add_pd(hi, fma(hi, p, lo));
    // (k - j) << 45 is (k div 128) << 52: the power of two added to the exponent field.
    const __m256i scale = _mm256_slli_epi64(_mm256_sub_epi64(ki, j), 45);
    return _mm256_castsi256_pd(_mm256_add_epi64(_mm256_castpd_si256(y), scale));
}

// sin or cos of four arguments; cosine selects which.
__m256d trigKernel(__m256d x, bool cosine)
{
    const __m256d t = fma(x, set(TWO_OVER_PI), set(SHIFT));
    const __m256d k = _mm256_sub_pd(t, set(SHIFT));
    // r = x - k pi/2 as rh + rl: the first part's product cancels exactly; the second's
    // product and difference are formed with their rounding errors.
    const __m256d r1 = fma(k, set(-PIO2_1), x);
    const __m256d ph = _mm256_mul_pd(k, set(PIO2_2));
    const __m256d pl = fma(k, set(PIO2_2), _mm256_sub_pd(_mm256_setzero_pd(), ph));
    const __m256d rh = _mm256_sub_pd(r1, ph);
    const __m256d b = _mm256_sub_pd(rh, r1);
    const __m256d err = _mm256_sub_pd(_mm256_sub_pd(r1, _mm256_sub_pd(rh, b)), _mm256_add_pd(ph, b));
    const __m256d rl = fma(k, set(-PIO2_3), _mm256_sub_pd(err, pl));
    const __m256d z = _mm256_mul_pd(rh, rh);

    // sin(rh + rl) = rh + (rh z S(z) + rl (1 - z/2)), S(z) = -1/3! + z/5! - ... - z^8/19!
    const __m256d sinTail = fma(_mm256_mul_pd(rh, z), series(z, SIN_SERIES), _mm256_mul_pd(rl, fma(z, set(-0.5), set(1.0))));
    const __m256d sinR = _mm256_add_pd(rh, sinTail);

    // cos(rh + rl) = (1 - h) + ((1 - (1 - h)) - h - zl/2 + z^2 C(z) - rh rl), h = z/2,
    // zl = rh^2 - z exactly, C(z) = 1/4! - z/6! + ... - z^7/18!
    const __m256d c = series(z, COS_SERIES);
    const __m256d zl = fma(rh, rh, _mm256_sub_pd(_mm256_setzero_pd(), z));
    const __m256d h = _mm256_mul_pd(z, set(0.5));
    const __m256d w = _mm256_sub_pd(set(1.0), h);
    __m256d cosTail = _mm256_sub_pd(_mm256_sub_pd(set(1.0), w), h);
    cosTail = fma(zl, set(-0.5), cosTail);
    cosTail = _mm256_add_pd(cosTail, fma(_mm256_mul_pd(z, z), c, _mm256_mul_pd(_mm256_sub_pd(_mm256_setzero_pd(), rh), rl)));
    const __m256d cosR = _mm256_add_pd(w, cosTail);

    // Quadrant k mod 4 (the low bits of t): sin x = s, c, -s, -c; cos x = c, -s, -c, s.
    __m256i q = _mm256_castpd_si256(t);
    if (cosine)
        q = _mm256_add_epi64(q, _mm256_set1_epi64x(1));
    const __m256i one = _mm256_set1_epi64x(1);
    const __m256d swap = _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(q, one), one));
    const __m256d value = _mm256_blendv_pd(sinR, cosR, swap);
    const __m256i sign = _mm256_slli_epi64(_mm256_and_si256(q, _mm256_set1_epi64x(2)), 62);
    return _mm256_xor_pd(value, _mm256_castsi256_pd(sign));
}

// The lanes of x whose magnitude is at most limit (NaN never is), as a 4-bit mask.
int lanesWithin(__m256d x, double limit)
{
    const __m256d magnitude = _mm256_andnot_pd(set(-0.0), x);
    return _mm256_movemask_pd(_mm256_cmp_pd(magnitude, set(limit), _CMP_LE_OQ));
}

// Four values of f at x into out; lanes outside the kernel's range from the scalar library.
void group(VecFunction f, const double* x, double* out)
{
    const __m256d v = _mm256_loadu_pd(x);
    __m256d y;
    int inside;
    if (f == VEC_EXP) {
        y = expKernel(v);
        inside = lanesWithin(v, EXP_LIMIT);
    } else {
        y = trigKernel(v, f == VEC_COS);
        inside = lanesWithin(v, TRIG_LIMIT);
        if (f == VEC_SIN)
            y = _mm256_blendv_pd(y, v, _mm256_cmp_pd(_mm256_andnot_pd(set(-0.0), v), set(TRIG_TINY), _CMP_LT_OQ));
    }
    if (inside == (1 << LANES) - 1) {
        _mm256_storeu_pd(out, y);
        return;
    }
    double values[LANES];
    _mm256_storeu_pd(values, y);
    for (int i = 0; i < LANES; i++)
        if (!(inside & (1 << i)))
            values[i] = vecmathScalar(f, x[i]);
    memcpy(out, values, sizeof values);
}

}  // namespace

void vecmathApplyAvx2(VecFunction f, const double* x, double* out, int n)
{
    int i = 0;
    for (; i + LANES <= n; i += LANES)
        group(f, x + i, out + i);
    if (i < n) {
        // The last partial group through a padded copy (padding 0: inside every range).
        double in[LANES] = {0.0, 0.0, 0.0, 0.0};
        double values[LANES];
        memcpy(in, x + i, sizeof(double) * (size_t)(n - i));
        group(f, in, values);
        memcpy(out + i, values, sizeof(double) * (size_t)(n - i));
    }
}
