#!/usr/bin/env python3
"""Writes the data files that the examples of docs/Manual.txt read into examples/.

The values are simulated measurements: a known model plus normally distributed
errors from a fixed seed, so that running the script again gives the same files and
the figures quoted in the manual stay true.

    python3 scripts/make_manual_data.py
"""
import math
import os
import random

FOLDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")


def write(name, heading, rows):
    with open(os.path.join(FOLDER, name), "w", newline="\n") as out:
        if heading:
            out.write(heading + "\n")
        for row in rows:
            out.write(row + "\n")


def michaelis_menten(rng):
    # Initial rates v (umol/min) of an enzyme at substrate concentrations S (mM), in
    # duplicate; the error grows with the rate (3 % of v plus 0.05 umol/min).
    vmax, km = 12.4, 1.85
    rows = []
    for s in (0.1, 0.2, 0.4, 0.7, 1.0, 1.5, 2.0, 3.0, 5.0, 8.0, 12.0, 20.0):
        for _ in range(2):
            v = vmax * s / (km + s)
            v += rng.gauss(0.0, 0.03 * v + 0.05)
            rows.append("%6.2f  %7.3f" % (s, v))
    return rows


def station(rng):
    # Hourly air temperature (deg C) at a weather station over five days: a daily cycle
    # peaking at 14:00, a slow warming and measurement noise of 0.4 deg C.
    mean, drift, amplitude, phase = 14.2, 0.35, 4.8, 210.0
    rows = []
    for day in range(1, 6):
        for hour in range(0, 24):
            temp = mean + drift * day + amplitude * math.cos(math.radians(15 * hour - phase))
            temp += rng.gauss(0.0, 0.4)
            rows.append("%d  %2d  %6.2f" % (day, hour, temp))
    return rows


def oscillation(rng):
    # An undamped oscillation sampled every 0.25 s with noise of 0.15.
    amplitude, omega, offset = 2.5, 2.2, 1.0
    rows = []
    for k in range(41):
        t = 0.25 * k
        y = amplitude * math.sin(omega * t) + offset + rng.gauss(0.0, 0.15)
        rows.append("%5.2f  %7.3f" % (t, y))
    return rows


def growth(rng):
    # Size y of a growing organism at age x (days) after an onset at x0 = 1.2 days,
    # following a power law with 2 % relative error.
    a, x0, b = 2.0, 1.2, 0.55
    rows = []
    for x in (2, 3, 4, 5, 6, 8, 10, 12, 15, 18, 22, 26, 30):
        y = a * (x - x0) ** b
        y *= 1.0 + rng.gauss(0.0, 0.02)
        rows.append("%3d  %7.3f" % (x, y))
    return rows


def plate(rng):
    # A plate of twelve wells, eight doses each, read dose by dose across the wells as a
    # plate reader writes them: a four-parameter logistic response with an EC50 that
    # varies from well to well, and 1.5 units of error.
    doses = (0.01, 0.03, 0.1, 0.3, 1.0, 3.0, 10.0, 30.0)
    wells = ["%s%d" % (row, col) for row in "AB" for col in range(1, 7)]
    ec50 = {well: 0.5 * 1.25 ** k for k, well in enumerate(wells)}
    rows = []
    for dose in doses:
        for well in wells:
            y = 2.0 + 96.0 / (1.0 + (ec50[well] / dose) ** 1.1)
            rows.append("%s,%g,%.2f" % (well, dose, y + rng.gauss(0.0, 1.5)))
    return rows


def main():
    rng = random.Random(20261207)
    write("mm.dat", "S(mM)  v(umol/min)", michaelis_menten(rng))
    write("station3.dat", "", station(rng))
    write("oscillation.dat", "", oscillation(rng))
    write("growth.dat", "", growth(rng))
    write("plate.csv", "well,dose,response", plate(random.Random(29)))


if __name__ == "__main__":
    main()
