// The vector maths against the exact values (long double) and the scalar library: within
// a unit in the last place, the scalar library's answers outside the kernels' ranges, and
// each value a function of its own argument alone.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "exec/vecmath.h"

namespace {

const char* const names[] = {"exp", "sin", "cos"};

long double exact(VecFunction f, double x)
{
    switch (f) {
    case VEC_EXP: return expl(x);
    case VEC_SIN: return sinl(x);
    case VEC_COS: return cosl(x);
    }
    return NAN;
}

double scalar(VecFunction f, double x)
{
    switch (f) {
    case VEC_EXP: return std::exp(x);
    case VEC_SIN: return std::sin(x);
    case VEC_COS: return std::cos(x);
    }
    return NAN;
}

// |value - exact| in units of the last place of the exact value rounded to double.
double ulps(double value, long double exactValue)
{
    const double rounded = (double)exactValue;
    const double unit = std::nextafter(std::fabs(rounded), INFINITY) - std::fabs(rounded);
    return (double)(fabsl((long double)value - exactValue) / unit);
}

bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST(VecMath, WithinAUnitInTheLastPlaceAcrossTheKernelsRanges)
{
    struct Range {
        VecFunction f;
        double low, high;
        double bound;       // worst error allowed, in units of the last place
    };
    const Range ranges[] = {
        {VEC_EXP, -700, 700, 0.52}, {VEC_EXP, -1, 1, 0.52}, {VEC_EXP, -1e-6, 1e-6, 0.52},
        {VEC_SIN, -4, 4, 0.75}, {VEC_SIN, -100, 100, 0.75}, {VEC_SIN, -1e5, 1e5, 0.75},
        {VEC_COS, -4, 4, 0.75}, {VEC_COS, -100, 100, 0.75}, {VEC_COS, -1e5, 1e5, 0.75},
    };
    std::mt19937_64 random(20261208);
    for (const Range& range : ranges) {
        std::uniform_real_distribution<double> pick(range.low, range.high);
        std::vector<double> x(1 << 15), out(x.size());
        for (double& v : x) v = pick(random);
        vecmathApply(range.f, x.data(), out.data(), (int)x.size());
        double worst = 0.0;
        for (size_t i = 0; i < x.size(); ++i)
            worst = std::max(worst, ulps(out[i], exact(range.f, x[i])));
        EXPECT_LE(worst, range.bound) << names[range.f] << " on [" << range.low << ", " << range.high << "]";
    }
}

// Zeros keep their sign where the function does; infinities, NaN and arguments beyond the
// kernels' ranges give the scalar library's values; multiples of pi/2 and the ends of the
// exp range stay within a unit.
TEST(VecMath, SpecialArgumentsAsTheScalarLibrary)
{
    const double arguments[] = {0.0, -0.0, 1e-300, -5e-324, 1e-9, -3e-8, INFINITY, -INFINITY, NAN,
                                700.0, -700.0, 700.5, -745.2, 709.78, 1e5, -1e5, 100000.5, 1e300,
                                M_PI / 2, M_PI, -M_PI, 3 * M_PI / 2, 2 * M_PI, 6381956970095103.0 * 0x1p-52 * 8};
    for (int f = VEC_EXP; f <= VEC_COS; ++f) {
        for (double x : arguments) {
            double out = 0.0;
            vecmathApply((VecFunction)f, &x, &out, 1);
            const double expected = scalar((VecFunction)f, x);
            const bool beyond = !(std::fabs(x) <= (f == VEC_EXP ? 700.0 : 1e5));
            if (std::isnan(expected)) {
                EXPECT_TRUE(std::isnan(out)) << names[f] << "(" << x << ")";
            } else if (std::isinf(expected) || expected == 0.0 || beyond) {
                EXPECT_TRUE(sameBits(out, expected)) << names[f] << "(" << x << ") = " << out;
            } else {
                EXPECT_LE(ulps(out, exact((VecFunction)f, x)), 0.75) << names[f] << "(" << x << ")";
            }
        }
    }
}

// The same argument gives the same value at every position of an array, next to any
// neighbours (arguments outside the kernels' ranges, NaN), in the partial last group, and
// computed in place.
TEST(VecMath, EachValueDependsOnItsArgumentOnly)
{
    const double probe = 2.718281828459045;
    const double neighbours[] = {1e6, NAN, -0.0, 701.0, 0.3};
    for (int f = VEC_EXP; f <= VEC_COS; ++f) {
        double alone = 0.0;
        vecmathApply((VecFunction)f, &probe, &alone, 1);
        for (int n = 1; n <= 11; ++n) {
            for (int at = 0; at < n; ++at) {
                for (double neighbour : neighbours) {
                    std::vector<double> x((size_t)n, neighbour), out((size_t)n);
                    x[(size_t)at] = probe;
                    vecmathApply((VecFunction)f, x.data(), out.data(), n);
                    EXPECT_TRUE(sameBits(out[(size_t)at], alone)) << names[f] << " n " << n << " at " << at;
                    vecmathApply((VecFunction)f, x.data(), x.data(), n);
                    EXPECT_TRUE(sameBits(x[(size_t)at], alone)) << names[f] << " in place, n " << n;
                }
            }
        }
    }
}
