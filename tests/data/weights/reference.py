#!/usr/bin/env python3
"""Independent reference for the weighted fits of this folder, by SciPy's curve_fit.

Run with python3 (SciPy and NumPy) in this folder; it rewrites reference.txt. The test
program reads reference.txt only, so the tests need neither Python nor SciPy.

Relative weights w are sigma = 1/sqrt(w) with absolute_sigma=False (covariance scaled by
sum w r^2 / (n - p)); absolute weights the same sigma with absolute_sigma=True. The
derived half-life ln(2)/k has the analytic gradient -ln(2)/k^2, so its standard error is
ln(2)/k^2 * se(k) exactly.

Weights that follow the model (1/Predicted) make the objective sum (y - f)^2 / f, which
curve_fit cannot state; that case is solved by least_squares on the residuals
(f - y)/sqrt(f) with their analytic Jacobian f' (f + y) / (2 f^1.5), and its covariance
is s^2 (J'J)^-1 of those residuals, weights' own dependence on the parameters included.
"""
import math
import numpy as np
from scipy.optimize import curve_fit, least_squares
from scipy.stats import chi2


from reference_models import decay, load, logistic, michaelis


conc, rate = load("puromycin.dat")
dconc, density = load("dnase1.dat")
t, y, sd = load("decay.dat")

cases = [
    ("puromycin_relative", michaelis, conc, rate, 1 / rate, False, [200, 0.1]),
    ("puromycin_absolute", michaelis, conc, rate, 1 / (0.04 * rate) ** 2, True, [200, 0.1]),
    ("dnase_relative", logistic, dconc, density, 1 / density ** 2, False, [3, 0, 1]),
    ("dnase_absolute", logistic, dconc, density, 1 / (0.01 + 0.02 * density) ** 2, True, [3, 0, 1]),
    ("decay_relative", decay, t, y, 1 / sd ** 2, False, [5, 0.1, 0]),
    ("decay_absolute", decay, t, y, 1 / sd ** 2, True, [5, 0.1, 0]),
]

with open("reference.txt", "w") as out:
    out.write("# case item values; written by reference.py (SciPy curve_fit), do not edit\n")
    for name, f, x, obs, w, absolute, start in cases:
        b, cov = curve_fit(f, x, obs, p0=start, sigma=1 / np.sqrt(w), absolute_sigma=absolute,
                           method="lm", ftol=1e-15, xtol=1e-15, gtol=1e-15, maxfev=100000)
        r = obs - f(x, *b)
        wss = float(np.sum(w * r * r))
        n, p = len(obs), len(b)
        se = np.sqrt(np.diag(cov))
        out.write("%s estimate %s\n" % (name, " ".join("%.15e" % v for v in b)))
        out.write("%s stderr %s\n" % (name, " ".join("%.15e" % v for v in se)))
        out.write("%s t %s\n" % (name, " ".join("%.15e" % v for v in b / se)))
        out.write("%s wss %.15e\n" % (name, wss))
        out.write("%s ss %.15e\n" % (name, float(np.sum(r * r))))
        out.write("%s covariance %s\n" % (name, " ".join("%.15e" % v for v in cov.ravel())))
        if absolute:
            out.write("%s chisquare %.15e %.15e\n" % (name, wss, chi2.sf(wss, n - p)))
        if f is decay:
            k, sek = b[1], se[1]
            out.write("%s halflife %.15e %.15e\n" % (name, math.log(2) / k, math.log(2) / k ** 2 * sek))

    # Weights 1/Predicted (Poisson-like counts), relative.
    name = "puromycin_predicted"
    def residual(b):
        f = michaelis(conc, *b)
        return (f - rate) / np.sqrt(f)
    def jacobian(b):
        f = michaelis(conc, *b)
        df = np.stack([conc / (b[1] + conc), -b[0] * conc / (b[1] + conc) ** 2], 1)
        return df * ((f + rate) / (2 * f ** 1.5))[:, None]
    fit = least_squares(residual, [200, 0.1], jac=jacobian, method="lm", xtol=1e-15, ftol=1e-15, gtol=1e-15)
    b = fit.x
    r = fit.fun
    wss = float(np.sum(r * r))
    J = jacobian(b)
    cov = wss / (len(rate) - 2) * np.linalg.inv(J.T @ J)
    se = np.sqrt(np.diag(cov))
    out.write("%s estimate %s\n" % (name, " ".join("%.15e" % v for v in b)))
    out.write("%s stderr %s\n" % (name, " ".join("%.15e" % v for v in se)))
    out.write("%s t %s\n" % (name, " ".join("%.15e" % v for v in b / se)))
    out.write("%s wss %.15e\n" % (name, wss))
    out.write("%s ss %.15e\n" % (name, float(np.sum((rate - michaelis(conc, *b)) ** 2))))
    out.write("%s covariance %s\n" % (name, " ".join("%.15e" % v for v in cov.ravel())))
