// The helper services a caller offers the solver: a solve of a tall problem whose linear
// algebra and Jacobian columns are shared with a second thread gives the answer of the
// solve on one thread to the last bit, and a helper that refuses every task changes
// nothing either.
#include "solver/solver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// y = 2.5 exp(-0.4 x) + 0.3 with a deterministic wiggle; rows enough for the tall loops
// to post their halves.
struct Curve {
    std::vector<double> x, y;
};

Curve makeCurve(int n)
{
    Curve curve;
    for (int i = 0; i < n; ++i) {
        const double x = 10.0 * i / n;
        curve.x.push_back(x);
        curve.y.push_back(2.5 * std::exp(-0.4 * x) + 0.3 + 0.01 * std::sin(7919.0 * i));
    }
    return curve;
}

void curveResiduals(int n, int p, const double* b, int* nf, double* r, void* context)
{
    const Curve& curve = *static_cast<const Curve*>(context);
    for (int i = 0; i < n; ++i)
        r[i] = b[0] * std::exp(-b[1] * curve.x[i]) + b[2] - curve.y[i];
}

// A second thread per posted task; refuse turns every post down. The tasks post too (a
// Jacobian column's residuals take their maxima in halves): the helper turns them down.
struct TestHelper {
    std::thread thread;
    int taken = 0;
    bool refuse = false;
};
TestHelper testHelper;
thread_local bool onHelper = false;

bool testPost(void (*task)(void*), void* argument)
{
    if (onHelper || testHelper.refuse || testHelper.thread.joinable())
        return false;
    ++testHelper.taken;
    testHelper.thread = std::thread([task, argument] {
        onHelper = true;
        task(argument);
    });
    return true;
}

bool testCollect()
{
    if (!testHelper.thread.joinable())
        return false;
    testHelper.thread.join();
    return true;
}

struct Outcome {
    std::vector<double> x;
    std::vector<int> iv;
    std::vector<double> v;
};

Outcome solve(const Curve& curve, bool twoColumns)
{
    const int n = (int)curve.x.size(), p = 3;
    Outcome out{{2.0, 0.3, 0.0}, std::vector<int>(solverIntsLength(p)), std::vector<double>(solverRealsLength(n, p))};
    solverDefaults(1, out.iv.data(), (int)out.iv.size(), out.v.data(), (long)out.v.size());
    solverApplySettings(out.iv.data(), out.v.data(), 100, 1e-10, -3);
    SolverCallbacks callbacks{curveResiduals, nullptr, const_cast<Curve*>(&curve)};
    if (twoColumns) {
        callbacks.quietResiduals = curveResiduals;
        callbacks.helperContext = const_cast<Curve*>(&curve);
    }
    solverSolve(n, p, out.x.data(), callbacks, out.iv.data(), (int)out.iv.size(), out.v.data(), (long)out.v.size());
    return out;
}

void expectSameBits(const Outcome& a, const Outcome& b)
{
    ASSERT_EQ(a.x.size(), b.x.size());
    EXPECT_EQ(std::memcmp(a.x.data(), b.x.data(), a.x.size() * sizeof(double)), 0);
    EXPECT_EQ(a.iv[IV_RETURN_CODE], b.iv[IV_RETURN_CODE]);
    EXPECT_EQ(a.iv[IV_NITER], b.iv[IV_NITER]);
    EXPECT_EQ(a.iv[IV_NFCALL], b.iv[IV_NFCALL]);
    EXPECT_EQ(std::memcmp(&a.v[V_F], &b.v[V_F], sizeof(double)), 0);
    std::vector<double> ca(9), cb(9);
    EXPECT_EQ(solverCovariance(3, a.iv.data(), a.v.data(), ca.data()),
              solverCovariance(3, b.iv.data(), b.v.data(), cb.data()));
    EXPECT_EQ(std::memcmp(ca.data(), cb.data(), ca.size() * sizeof(double)), 0);
}

}  // namespace

TEST(SolverHelper, OfferedThreadGivesTheSerialAnswerToTheLastBit)
{
    const Curve curve = makeCurve(300000);
    solverSetHelper(nullptr);
    const Outcome serial = solve(curve, false);
    ASSERT_GE(serial.iv[IV_RETURN_CODE], SOLVER_X_CONVERGED);
    ASSERT_LE(serial.iv[IV_RETURN_CODE], SOLVER_ABSOLUTE_CONVERGED);

    const SolverHelper services = {testPost, testCollect};
    solverSetHelper(&services);
    for (bool refuse : {false, true}) {
        SCOPED_TRACE(refuse ? "helper refuses" : "helper takes the tasks");
        testHelper.refuse = refuse;
        testHelper.taken = 0;
        expectSameBits(serial, solve(curve, true));
        if (refuse)
            EXPECT_EQ(testHelper.taken, 0);
        else
            EXPECT_GT(testHelper.taken, 0);
    }
    solverSetHelper(nullptr);
    EXPECT_FALSE(testHelper.thread.joinable());
}
