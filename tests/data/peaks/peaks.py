#!/usr/bin/env python3
# Writes peaks.dat: three Lorentzian peaks on a sloping baseline, 2000 points, with
# Gaussian noise from a fixed seed, for the end-to-end tests of peak fits.
#
#     y = b0 + b1 x + sum_k A_k / (1 + ((x - c_k) / w_k)^2) + noise
import random

B0, B1 = 1.0, 0.02
PEAKS = [(10.0, 30.0, 3.0), (8.0, 40.0, 4.0), (12.0, 55.0, 2.5)]   # (A, c, w)
NOISE = 0.1

random.seed(35)
with open("peaks.dat", "w") as out:
    for i in range(2000):
        x = i * 0.05
        y = B0 + B1 * x
        for a, c, w in PEAKS:
            y += a / (1.0 + ((x - c) / w) ** 2)
        y += random.gauss(0.0, NOISE)
        out.write("%.2f %.6f\n" % (x, y))
