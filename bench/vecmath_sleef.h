// The same exp, sin and cos by SLEEF's vector functions, where the benchmarks were built
// with it (MOXEL_BENCH_SLEEF); only where vecmathActive().
#pragma once

#include "exec/vecmath.h"

void benchSleefApply(VecFunction f, const double* x, double* out, int n);
