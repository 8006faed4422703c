#!/usr/bin/env python3
"""Independent reference for the curve bands, by NumPy and SciPy.

Run with python3 in this folder; it rewrites reference.txt from the data files of
../weights. The tests read reference.txt only, so they need neither Python nor SciPy.

Each case is fitted by SciPy's curve_fit (Levenberg-Marquardt, tight tolerances). The
model's gradient in the parameters at each of 200 even curve points over the data's x
range is taken by this script's own central differences (step 1e-5 * max(|b_j|, se_j)),
se_fit^2 = g' C g with the full covariance, and the half-widths are
    confidence    t(1 - a/2; n - p) se_fit
    prediction    t(1 - a/2; n - p) sqrt(se_fit^2 + v0 / w(x))      (w = 1 unweighted)
with v0 = s^2, or 1 for absolute weights (1/sigma^2, covariance not scaled).
    simultaneous  sqrt(p F(1 - a; p, n - p)) se_fit
The file also keeps what the tests need to compute the formulas that are easy to get
wrong: the gradient at each point, C, s, the normal quantile and F at the wrong level
(1 - a/2), and the mean and spread of the x values for the straight-line formula.
"""
import numpy as np
from scipy.optimize import curve_fit
from scipy.stats import f as fdist, norm, t as tdist


import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "weights"))
from reference_models import decay, load, logistic, michaelis  # noqa: E402


conc, rate = load("puromycin.dat")
dconc, density = load("dnase1.dat")
t, y, _ = load("decay.dat")
level = 0.95

# name, model, x, y, weight as a function of x (None: unweighted), absolute, start
cases = [
    ("puromycin", michaelis, conc, rate, None, False, [200, 0.1]),
    ("dnase", logistic, dconc, density, None, False, [3, 0, 1]),
    ("decay", decay, t, y, None, False, [5, 0.1, 0]),
    ("puromycin_weighted", michaelis, conc, rate, lambda x: 1 / (1 + x), False, [200, 0.1]),
    ("puromycin_absolute", michaelis, conc, rate, lambda x: 1 / (100 * (1 + x)), True, [200, 0.1]),
]

with open("reference.txt", "w") as out:
    out.write("# written by reference.py (NumPy, SciPy), do not edit\n")
    out.write("# case NAME n p level s v0 t z F Fwrong; cov NAME C row-major; xstats NAME mean Sxx\n")
    out.write("# point NAME x fit se_fit g_1..g_p w(x)\n")
    for name, f, x, obs, weight, absolute, start in cases:
        w = weight(x) if weight else np.ones_like(x)
        b, cov = curve_fit(f, x, obs, p0=start, sigma=1 / np.sqrt(w), absolute_sigma=absolute, method="lm",
                           ftol=1e-15, xtol=1e-15, gtol=1e-15, maxfev=100000)
        n, p = len(obs), len(b)
        r = obs - f(x, *b)
        s = float(np.sqrt(np.sum(w * r * r) / (n - p)))
        v0 = 1.0 if absolute else s * s
        tq = tdist.ppf(0.5 * (1 + level), n - p)
        zq = norm.ppf(0.5 * (1 + level))
        fq = fdist.ppf(level, p, n - p)
        fwrong = fdist.ppf(0.5 * (1 + level), p, n - p)
        out.write("case %s %d %d %.17g %.17g %.17g %.17g %.17g %.17g %.17g\n"
                  % (name, n, p, level, s, v0, tq, zq, fq, fwrong))
        out.write("cov %s %s\n" % (name, " ".join("%.17g" % v for v in cov.ravel())))
        out.write("xstats %s %.17g %.17g\n" % (name, x.mean(), np.sum((x - x.mean()) ** 2)))
        se = np.sqrt(np.diag(cov))
        for xi in np.linspace(x.min(), x.max(), 200):
            g = np.empty(p)
            for j in range(p):
                h = 1e-5 * max(abs(b[j]), se[j])
                up, down = b.copy(), b.copy()
                up[j] += h
                down[j] -= h
                g[j] = (f(xi, *up) - f(xi, *down)) / (2 * h)
            sefit = float(np.sqrt(g @ cov @ g))
            wx = weight(xi) if weight else 1.0
            out.write("point %s %.17g %.17g %.17g %s %.17g\n"
                      % (name, xi, f(xi, *b), sefit, " ".join("%.17g" % v for v in g), wx))
