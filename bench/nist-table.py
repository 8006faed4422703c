#!/usr/bin/env python3
"""The 54 NIST StRD nonlinear runs (each problem from both starts) through build/moxel
-run, with differences and with DERIVATIVES EXACT, side by side: the digits (log
relative error, LRE) of the worst estimate, the worst standard error and the residual sum
of squares against the certified values, and the exit status.

  python3 bench/nist-table.py            from the project's root, after building

Data come from tests/data/nist; programs and listings go to build/bench-nist/.
"""
import math
import os
import re
import subprocess
import sys

CHWIRUT = "y = exp(-b1 * x) / (b2 + b3 * x)"
LANCZOS = "y = b1 * exp(-b2 * x) + b3 * exp(-b4 * x) + b5 * exp(-b6 * x)"
GAUSS = ("y = b1 * exp(-b2 * x) + b3 * exp(-(x - b4) * (x - b4) / (b5 * b5)) + "
         "b6 * exp(-(x - b7) * (x - b7) / (b8 * b8))")
RATIONAL = "y = (b1 + b2 * x + b3 * x * x + b4 * x * x * x) / (1 + b5 * x + b6 * x * x + b7 * x * x * x)"
MODELS = [
    ("Misra1a", "y, x", "", "y = b1 * (1 - exp(-b2 * x))"),
    ("Chwirut2", "y, x", "", CHWIRUT), ("Chwirut1", "y, x", "", CHWIRUT),
    ("Lanczos3", "y, x", "", LANCZOS), ("Gauss1", "y, x", "", GAUSS), ("Gauss2", "y, x", "", GAUSS),
    ("DanWood", "y, x", "", "y = b1 * x ^ b2"),
    ("Misra1b", "y, x", "", "y = b1 * (1 - (1 + b2 * x / 2) ^ (-2))"),
    ("Kirby2", "y, x", "", "y = (b1 + b2 * x + b3 * x * x) / (1 + b4 * x + b5 * x * x)"),
    ("Hahn1", "y, x", "", RATIONAL),
    ("Nelson", "y, x1, x2", "DOUBLE logy; logy = log(y);", "logy = b1 - b2 * x1 * exp(-b3 * x2)"),
    ("MGH17", "y, x", "", "y = b1 + b2 * exp(-x * b4) + b3 * exp(-x * b5)"),
    ("Lanczos1", "y, x", "", LANCZOS), ("Lanczos2", "y, x", "", LANCZOS), ("Gauss3", "y, x", "", GAUSS),
    ("Misra1c", "y, x", "", "y = b1 * (1 - (1 + 2 * b2 * x) ^ (-0.5))"),
    ("Misra1d", "y, x", "", "y = b1 * b2 * x * ((1 + b2 * x) ^ (-1))"),
    ("Roszman1", "y, x", "", "y = b1 - b2 * x - atan(b3 / (x - b4)) / pi"),
    ("ENSO", "y, x", "",
     "y = b1 + b2 * cos(2 * pi * x / 12) + b3 * sin(2 * pi * x / 12) + b5 * cos(2 * pi * x / b4) + "
     "b6 * sin(2 * pi * x / b4) + b8 * cos(2 * pi * x / b7) + b9 * sin(2 * pi * x / b7)"),
    ("MGH09", "y, x", "", "y = b1 * (x * x + x * b2) / (x * x + x * b3 + b4)"),
    ("Thurber", "y, x", "", RATIONAL),
    ("BoxBOD", "y, x", "", "y = b1 * (1 - exp(-b2 * x))"),
    ("Rat42", "y, x", "", "y = b1 / (1 + exp(b2 - b3 * x))"),
    ("MGH10", "y, x", "", "y = b1 * exp(b2 / (x + b3))"),
    ("Eckerle4", "y, x", "", "y = (b1 / b2) * exp(-0.5 * ((x - b3) / b2) * ((x - b3) / b2))"),
    ("Rat43", "y, x", "", "y = b1 / ((1 + exp(b2 - b3 * x)) ^ (1 / b4))"),
    ("Bennett5", "y, x", "", "y = b1 * (b2 + x) ^ (-1 / b3)"),
]


def read_problem(path):
    lines = open(path).read().splitlines()
    first = last = 0
    names, starts, certified, errors, rss = [], ([], []), [], [], 0.0
    for line in lines:
        m = re.match(r"\s*Data\s+\(lines (\d+) to (\d+)\)", line)
        if m:
            first, last = int(m.group(1)), int(m.group(2))
            break
    for line in lines:
        w = line.split()
        if len(w) >= 6 and w[0].startswith("b") and w[1] == "=":
            names.append(w[0]); starts[0].append(w[2]); starts[1].append(w[3])
            certified.append(float(w[4])); errors.append(float(w[5]))
        m = re.match(r"\s*Residual Sum of Squares:\s+(\S+)", line)
        if m:
            rss = float(m.group(1))
    return names, starts, certified, errors, rss, lines[first - 1:last]


def number(words, k):
    try:
        return float(words[k])
    except (IndexError, ValueError):
        return float("nan")


def lre(value, certified):
    if value is None or math.isnan(value):
        return 0.0
    if value == certified:
        return 15.0
    return max(0.0, min(15.0, -math.log10(abs(value - certified) / abs(certified))))


def run(name, variables, prelude, function, problem, start, exact, folder):
    names, starts, certified, errors, rss, data = problem
    text = "VARIABLES %s;\nPARAMETERS %s;\nITERATIONS 1000;\n%s%s\nFUNCTION %s;\nDATA;\n%s\n" % (
        variables, ", ".join("%s = %s" % (n, s) for n, s in zip(names, starts[start])),
        "DERIVATIVES EXACT;\n" if exact else "", prelude, function, "\n".join(data))
    stem = os.path.join(folder, "%s_%d%s" % (name, start + 1, "_exact" if exact else ""))
    with open(stem + ".mxl", "w") as fh:
        fh.write(text)
    status = subprocess.run(["build/moxel", "-run", stem + ".mxl"], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL).returncode
    listing = open(stem + ".lst").read() if os.path.exists(stem + ".lst") else ""
    m = re.search(r"Final sum of squared deviations =\s*(\S+)", listing)
    got_rss = float(m.group(1)) if m else float("nan")
    estimates, stderrs = [], []
    at = listing.find("----  Calculated Parameter Values  ----")
    if at >= 0:
        for line in listing[at:].splitlines()[4:4 + len(names)]:
            w = line.split()
            estimates.append(number(w, 2))
            stderrs.append(number(w, 3))
    if len(estimates) != len(names):
        return status, 0.0, 0.0, 0.0
    p = min(lre(v, c) for v, c in zip(estimates, certified))
    e = min(lre(v, c) for v, c in zip(stderrs, errors))
    return status, p, e, lre(got_rss, rss)


def main():
    folder = "build/bench-nist"
    os.makedirs(folder, exist_ok=True)
    totals = {False: [0, 0, 0], True: [0, 0, 0]}
    print("%-9s %s | %-22s | %-22s" % ("problem", "st", "differences: exit P E S", "exact: exit P E S"))
    for name, variables, prelude, function in MODELS:
        problem = read_problem(os.path.join("tests/data/nist", name + ".dat"))
        for start in (0, 1):
            cells = []
            for exact in (False, True):
                status, p, e, s = run(name, variables, prelude, function, problem, start, exact, folder)
                t = totals[exact]
                t[0] += p >= 4 and e >= 4 and s >= 4
                t[1] += p >= 6
                t[2] += status == 0 and p < 4
                cells.append("%d %5.1f %5.1f %5.1f" % (status, p, e, s))
            print("%-9s %d  | %-22s | %-22s" % (name, start + 1, cells[0], cells[1]))
    for exact in (False, True):
        t = totals[exact]
        print("%s: %d runs with all three LREs >= 4, %d with every estimate >= 6, %d converged at a wrong answer"
              % ("exact" if exact else "differences", t[0], t[1], t[2]))


if __name__ == "__main__":
    sys.exit(main())
