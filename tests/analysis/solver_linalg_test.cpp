// The solver's tall-matrix routines (QR with Q^T r, norms, maxima, difference columns,
// column dot products) against plain one-column-at-a-time computations, bit for bit, on
// awkward columns; and the residual-size limit at the start point, which the evaluation
// tests from a bound.
#include "analysis/helper.h"
#include "solver/solver.h"
#include "solver/solverint.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

// The analysis's helper thread for the lifetime of the scope, when on: the tall cases run
// both alone and with it.
struct HelperScope {
    bool on;
    explicit HelperScope(bool on) : on(on && helperStart()) {}
    ~HelperScope()
    {
        if (on) helperStop();
    }
};

// Reference routines: each sum is one loop in element order.
double plainNorm(int m, const double* x)
{
    double scale = 0.0;
    for (int i = 0; i < m; ++i) scale = std::fabs(x[i]) > scale ? std::fabs(x[i]) : scale;
    if (scale == 0.0 || !std::isfinite(scale)) return scale;
    double sum = 0.0;
    for (int i = 0; i < m; ++i) sum += (x[i] / scale) * (x[i] / scale);
    return scale * std::sqrt(sum);
}

void plainQr(int n, int m, double* a, double* beta)
{
    for (int k = 0; k < m; ++k) {
        double* col = a + (long)k * n;
        beta[k] = 0.0;
        if (k >= n) continue;
        double norm = plainNorm(n - k, col + k);
        if (norm == 0.0) continue;
        double alpha = col[k] >= 0.0 ? -norm : norm;
        double vk = col[k] - alpha;
        for (int i = k + 1; i < n; ++i) col[i] /= vk;
        double vtv = 1.0;
        for (int i = k + 1; i < n; ++i) vtv += col[i] * col[i];
        beta[k] = 2.0 / vtv;
        col[k] = alpha;
        for (int j = k + 1; j < m; ++j) {
            double* cj = a + (long)j * n;
            double dot = cj[k];
            for (int i = k + 1; i < n; ++i) dot += col[i] * cj[i];
            double d = dot * beta[k];
            cj[k] -= d;
            for (int i = k + 1; i < n; ++i) cj[i] -= d * col[i];
        }
    }
}

void plainApplyQt(int n, int m, const double* a, const double* beta, double* y)
{
    for (int k = 0; k < m && k < n; ++k) {
        if (beta[k] == 0.0) continue;
        const double* col = a + (long)k * n;
        double dot = y[k];
        for (int i = k + 1; i < n; ++i) dot += col[i] * y[i];
        dot *= beta[k];
        y[k] -= dot;
        for (int i = k + 1; i < n; ++i) y[i] -= dot * col[i];
    }
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Column kinds that stress the scaled norm and the reflectors.
enum Fill { FILL_SMOOTH, FILL_HUGE, FILL_TINY, FILL_SUBNORMAL, FILL_ZERO, FILL_REPEAT, FILL_SPARSE };

double entry(Fill fill, int i, int k)
{
    double wave = std::sin(0.37 * i + 1.3 * k) + 0.01 * ((i * 7 + k) % 5);
    switch (fill) {
    case FILL_SMOOTH: return std::exp(-0.01 * i * (k + 1)) * (k + 1) + wave;
    case FILL_HUGE: return 1e300 * wave;
    case FILL_TINY: return 1e-300 * wave;
    case FILL_SUBNORMAL: return 4.9e-322 * ((i + k) % 7 - 3);
    case FILL_ZERO: return 0.0;
    case FILL_REPEAT: return 1.0 + k;                        // identical rows: dependent columns
    case FILL_SPARSE: return i % 97 == k ? -3.5 * (k + 1) : 0.0;
    }
    return 0.0;
}

// Jacobian of n rows and m columns whose column k is of kind fills[k % count].
std::vector<double> matrix(int n, int m, const std::vector<Fill>& fills)
{
    std::vector<double> a((size_t)n * m);
    for (int k = 0; k < m; ++k)
        for (int i = 0; i < n; ++i) a[(size_t)k * n + i] = entry(fills[k % fills.size()], i, k);
    return a;
}

std::vector<double> residuals(int n)
{
    std::vector<double> r(n);
    for (int i = 0; i < n; ++i) r[i] = 0.25 * std::cos(1.7 * i) - (i % 11 == 0 ? 3.0 : 0.0);
    return r;
}

const int ROW_COUNTS[] = {1, 2, 3, 5, 8, 31, 33, 257, 1001, 4099};

const std::vector<std::vector<Fill>> FILL_SETS = {
    {FILL_SMOOTH},
    {FILL_HUGE, FILL_SMOOTH, FILL_TINY},
    {FILL_SMOOTH, FILL_ZERO, FILL_SUBNORMAL},
    {FILL_REPEAT, FILL_SMOOTH},
    {FILL_SPARSE, FILL_HUGE},
};

}  // namespace

// The fused QR with Q^T r gives the factor, the reflector factors and Q^T r of the plain
// routines to the last bit, for 1 to 9 columns (groups of four and a remainder, more
// columns than rows), every column kind and columns long enough for two threads; so do
// linalgQr and linalgApplyQt alone.
TEST(SolverLinalg, QrAndQtrMatchThePlainRoutinesBitForBit)
{
    struct Shape {
        int n, m;
        bool helper;    // the helper thread runs
    };
    std::vector<Shape> shapes;
    for (int n : ROW_COUNTS)
        for (int m = 1; m <= 9; ++m) shapes.push_back({n, m, false});
    // columns long enough for the updates to go to the helper thread
    shapes.push_back({100003, 4, false});
    shapes.push_back({100003, 4, true});
    shapes.push_back({100003, 9, true});
    for (const Shape& shape : shapes)
        for (size_t set = 0; set < FILL_SETS.size(); ++set) {
            const int n = shape.n, m = shape.m;
            const HelperScope helper(shape.helper);
            SCOPED_TRACE(testing::Message() << "n " << n << " m " << m << " set " << set << " helper " << shape.helper);
            const std::vector<double> a0 = matrix(n, m, FILL_SETS[set]);
            std::vector<double> aRef = a0, betaRef(m), yRef = residuals(n);
            plainQr(n, m, aRef.data(), betaRef.data());
            plainApplyQt(n, m, aRef.data(), betaRef.data(), yRef.data());

            // A cancel flag that stays false changes nothing.
            const std::atomic<bool> running{false};
            std::vector<double> a = a0, beta(m, -1.0), y = residuals(n);
            linalgQrApply(n, m, a.data(), beta.data(), y.data(), &running);
            EXPECT_TRUE(sameBits(a, aRef));
            EXPECT_TRUE(sameBits(beta, betaRef));
            EXPECT_TRUE(sameBits(y, yRef));

            std::vector<double> a2 = a0, beta2(m, -1.0), y2 = residuals(n);
            linalgQr(n, m, a2.data(), beta2.data());
            linalgApplyQt(n, m, a2.data(), beta2.data(), y2.data());
            EXPECT_TRUE(sameBits(a2, aRef));
            EXPECT_TRUE(sameBits(y2, yRef));
        }
}

// A Cancel already requested ends the factorisation before its first column: nothing is
// reflected and every beta is 0.
TEST(SolverLinalg, QrStopsWhenCancelled)
{
    const int n = 100003, m = 4;
    const std::vector<double> a0 = matrix(n, m, FILL_SETS[0]);
    const std::atomic<bool> cancelled{true};
    std::vector<double> a = a0, beta(m, -1.0), y = residuals(n);
    linalgQrApply(n, m, a.data(), beta.data(), y.data(), &cancelled);
    EXPECT_TRUE(sameBits(a, a0));
    EXPECT_TRUE(sameBits(y, residuals(n)));
    EXPECT_EQ(beta, std::vector<double>(m, 0.0));
}

// Norms, maxima, the finite test, the difference quotients and the column dot products
// against single loops, on columns of every kind, with an infinity or a NaN planted at
// the start, middle or end; the last row count is tall enough for the sweeps to split
// between two threads.
TEST(SolverLinalg, NormsMaximaAndDotsMatchSingleLoops)
{
    std::vector<int> rowCounts(std::begin(ROW_COUNTS), std::end(ROW_COUNTS));
    rowCounts.push_back(300007);
    rowCounts.push_back(-300007);    // the same with the helper thread
    for (int count : rowCounts)
        for (size_t set = 0; set < FILL_SETS.size(); ++set) {
            const int n = count < 0 ? -count : count;
            const HelperScope helper(count < 0);
            SCOPED_TRACE(testing::Message() << "n " << n << " set " << set << " helper " << (count < 0));
            const int m = 9;
            const std::vector<double> a = matrix(n, m, FILL_SETS[set]);
            const std::vector<double> y = residuals(n);
            std::vector<double> dots(m);
            linalgColumnDots(n, m, a.data(), y.data(), dots.data());
            for (int k = 0; k < m; ++k) {
                const double* col = a.data() + (size_t)k * n;
                const double step = k % 2 ? 1.4901161193847656e-8 : -3e-5;
                std::vector<double> quotient(n), fused(col, col + n);
                double dot = 0.0, big = 0.0, quotientBig = 0.0, change = 0.0;
                for (int i = 0; i < n; ++i) {
                    dot += col[i] * y[i];
                    big = std::fabs(col[i]) > big ? std::fabs(col[i]) : big;
                    quotient[i] = (col[i] - y[i]) / step;
                    quotientBig = std::fabs(quotient[i]) > quotientBig ? std::fabs(quotient[i]) : quotientBig;
                    change = std::fabs(quotient[i] * step) > change ? std::fabs(quotient[i] * step) : change;
                }
                EXPECT_EQ(std::memcmp(&dots[k], &dot, sizeof dot), 0) << "column " << k;
                EXPECT_EQ(linalgMaxAbs(n, col), big);
                double fusedBig = -1.0;
                EXPECT_EQ(linalgDifference(n, fused.data(), y.data(), step, &fusedBig), change);
                EXPECT_EQ(fusedBig, quotientBig);
                EXPECT_TRUE(sameBits(fused, quotient));
                const double norm = linalgNorm(n, col), ref = plainNorm(n, col);
                EXPECT_EQ(std::memcmp(&norm, &ref, sizeof norm), 0) << "column " << k;
                EXPECT_EQ(linalgNormWithMax(n, col, big), ref);
                bool finite = false;
                EXPECT_EQ(linalgMaxAbsFinite(n, col, &finite), big);
                EXPECT_TRUE(finite);
            }
            const double planted[] = {INFINITY, -INFINITY, NAN};
            for (double bad : planted)
                for (int at : {0, n / 2, n - 1}) {
                    std::vector<double> x(a.begin(), a.begin() + n);
                    x[at] = bad;
                    double big = 0.0;
                    for (int i = 0; i < n; ++i) big = std::fabs(x[i]) > big ? std::fabs(x[i]) : big;
                    bool finite = true;
                    EXPECT_EQ(linalgMaxAbsFinite(n, x.data(), &finite), big);
                    EXPECT_FALSE(finite) << "bad value at " << at;
                    EXPECT_EQ(linalgMaxAbs(n, x.data()), big);
                }
        }
}

namespace {

struct FixedResiduals {
    std::vector<double> r;
};

void fixedResiduals(int n, int p, const double* x, int* nf, double* r, void* context)
{
    const FixedResiduals& fixed = *static_cast<FixedResiduals*>(context);
    for (int i = 0; i < n; ++i) r[i] = fixed.r[i] * x[0];
}

int startCode(std::vector<double> r)
{
    const int n = (int)r.size(), p = 1;
    FixedResiduals fixed{std::move(r)};
    std::vector<int> iv(solverIntsLength(p));
    std::vector<double> v(solverRealsLength(n, p));
    std::vector<double> x = {1.0};
    solverDefaults(1, iv.data(), (int)iv.size(), v.data(), (long)v.size());
    solverApplySettings(iv.data(), v.data(), 0, 1e-10, -3);
    SolverCallbacks callbacks{fixedResiduals, nullptr, &fixed};
    solverSolve(n, p, x.data(), callbacks, iv.data(), (int)iv.size(), v.data(), (long)v.size());
    return iv[IV_RETURN_CODE];
}

}  // namespace

// A start point whose residual norm exceeds V(46) = 1.34e154 cannot be computed, also
// when no single residual does; one just below the limit is taken although the bound
// largest * sqrt(n) lies above it.
TEST(SolverLinalg, ResidualLimitAtTheStartPoint)
{
    EXPECT_EQ(startCode({1e154, 1e154, 1e154, 1e154}), SOLVER_BAD_START);
    EXPECT_EQ(startCode({7e153, 7e153, 7e153, 7e153}), SOLVER_BAD_START);
    EXPECT_EQ(startCode({1.3e154, 0.0, 0.0, 0.0}), SOLVER_ITER_LIMIT);
    EXPECT_EQ(startCode({1.3e154, 1e-300, -2.0, 0.0}), SOLVER_ITER_LIMIT);
    EXPECT_EQ(startCode({1.0, -2.0, 3.0}), SOLVER_ITER_LIMIT);
}
