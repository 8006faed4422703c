#!/usr/bin/env python3
"""Reads the CSV and JSON result files of one run with the csv and json modules, as a
script of the user's would, and compares every number with the listing (to the digits
the listing prints) and with the plain OUTPUT table of the same run.

usage: check_results.py LISTING RESULTS.json PARAMS.csv OUTPUT.csv OUTPUT.out
Prints one line per disagreement and exits 1 when there is any."""
import csv
import json
import math
import re
import sys

listing_path, json_path, par_path, out_csv_path, out_txt_path = sys.argv[1:6]
listing = open(listing_path, encoding="utf-8").read()
doc = json.load(open(json_path, encoding="utf-8"))
faults = []


def near(a, b, printed):
    """True when a agrees with the printed text b to the digits b shows."""
    if a is None:
        return False
    digits = len(re.sub(r"[^0-9]", "", b.split("E")[0].split("e")[0]).lstrip("0")) or 1
    return math.isclose(a, float(b), rel_tol=0.6 * 10 ** (1 - digits), abs_tol=1e-300)


def check(what, value, printed):
    if not near(value, printed, printed):
        faults.append(f"{what}: file {value!r}, listing {printed}")


def line_value(label):
    m = re.search(re.escape(label) + r"\s*=\s*(\S+)", listing)
    if not m:
        faults.append(f"listing lacks {label}")
        return "nan"
    return m.group(1)


st = doc["statistics"]
if st["n"] != int(line_value("Number of observations")):
    faults.append("n differs")
check("residual_ss", st["residual_ss"], line_value("Final sum of squared deviations"))
check("sum_of_deviations", st["sum_of_deviations"], line_value("Final sum of deviations"))
check("s", st["s"], line_value("Standard error of estimate"))
check("r2", st["r2"], line_value("Proportion of variance explained (R^2)"))
check("adjusted_r2", st["adjusted_r2"], line_value("Adjusted coefficient of multiple determination (Ra^2)"))
check("durbin_watson", st["durbin_watson"], line_value("Durbin-Watson test for autocorrelation"))
if doc["iterations"] != int(line_value("Number of iterations performed")):
    faults.append("iterations differ")
if "Stopped due to: " + doc["stop_reason"] not in listing:
    faults.append("stop reason differs")

# The parameter table, the derived quantities and the confidence intervals.
params = {p["name"]: p for p in doc["parameters"]}
derived = {d["name"]: d for d in doc["derived"]}
rows = re.findall(r"^\s*(\w+)\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)\s*$", listing, re.M)
for name, initial, estimate, se, t, prob in rows:
    if name in params:
        p = params[name]
        for key, text in (("initial", initial), ("estimate", estimate), ("se", se), ("t", t)):
            check(f"{name}.{key}", p[key], text)
limits = re.findall(r"^\s*(\w+)\s+(\S+)\s+(\S+)\s+(\S+)\s*$", listing, re.M)
for name, lower, best, upper in limits:
    if name in params:
        check(f"{name}.lower", params[name]["lower"], lower)
        check(f"{name}.upper", params[name]["upper"], upper)
for name, value, se, t, prob, lower, upper in re.findall(
        r"^\s*(\w+)\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)\s*$", listing, re.M):
    if name in derived:
        for key, text in (("value", value), ("se", se), ("lower", lower), ("upper", upper)):
            check(f"{name}.{key}", derived[name][key], text)
aov = doc["analysis_of_variance"]
m = re.search(r"^Regression\s+(\d+)\s+(\S+)\s+(\S+)\s+(\S+)", listing, re.M)
check("regression_ss", aov["regression_ss"], m.group(2))
check("F", aov["F"], m.group(4))
m = re.search(r"^Error\s+(\d+)\s+(\S+)\s+(\S+)", listing, re.M)
check("error_ss", aov["error_ss"], m.group(2))
check("error_mean_square", aov["error_mean_square"], m.group(3))

# The parameter CSV holds the same figures as the JSON, to the last bit.
with open(par_path, newline="", encoding="utf-8") as f:
    table = list(csv.DictReader(f))
if [r["name"] for r in table] != list(params) + list(derived):
    faults.append("parameter CSV rows differ")
for r in table:
    source = params.get(r["name"]) if r["kind"] == "parameter" else derived.get(r["name"])
    for key in ("se", "t", "prob_t", "lower", "upper"):
        want = source[key]
        got = float(r[key]) if r[key] != "" else None
        if got != want:
            faults.append(f"{r['name']}.{key}: CSV {r[key]!r}, JSON {want!r}")
    value = source["estimate"] if r["kind"] == "parameter" else source["value"]
    if float(r["estimate"]) != value:
        faults.append(f"{r['name']}.estimate differs")

# The OUTPUT CSV against the plain OUTPUT table of the same run.
with open(out_csv_path, newline="", encoding="utf-8") as f:
    out = list(csv.reader(f))
plain = [line.split() for line in open(out_txt_path, encoding="utf-8") if line.strip()]
if len(out) != len(plain) + 1 or len(out) - 1 != st["n"]:
    faults.append(f"OUTPUT rows: {len(out) - 1} CSV, {len(plain)} plain, n {st['n']}")
for row, text in zip(out[1:], plain):
    for value, printed in zip(row, text):
        if abs(float(value) - float(printed)) > 0.6 * 10 ** -(len(printed.split(".")[1]) if "." in printed else 0):
            faults.append(f"OUTPUT value {value} against {printed}")

for fault in faults:
    print(fault)
sys.exit(1 if faults else 0)
