#!/usr/bin/env python3
"""Reads a results table with the csv module and checks every row against a single run
of that data set: each data set is cut into a file of its own (a group's records under
the data file's name line) and run alone with -json; every number must be the same
double, and the status the same word.

usage: check_table.py MOXEL PROGRAM.mxl TABLE.csv (by COLUMN DATA.csv | files)
Prints one line per disagreement and exits 1 when there is any."""
import csv
import json
import os
import re
import subprocess
import sys
import tempfile

moxel, program_path, table_path, mode = sys.argv[1:5]
program = open(program_path, encoding="utf-8").read()
folder = os.path.dirname(os.path.abspath(program_path))
with open(table_path, newline="", encoding="utf-8") as f:
    table = list(csv.DictReader(f))
faults = []

groups = {}
if mode == "by":
    column, data_path = sys.argv[5], sys.argv[6]
    with open(data_path, newline="", encoding="utf-8") as f:
        reader = csv.reader(f)
        header = next(reader)
        index = header.index(column)
        for record in reader:
            if record:
                groups.setdefault(record[index], []).append(record)
    if [row[column] for row in table] != list(groups):
        faults.append("groups or their order differ: %r" % [row[column] for row in table])

work = tempfile.mkdtemp(dir=folder)
for k, row in enumerate(table):
    if mode == "by":
        name = row[column]
        data = os.path.join(work, "set%d.csv" % k)
        with open(data, "w", newline="", encoding="utf-8") as f:
            w = csv.writer(f)
            w.writerow(header)
            w.writerows(groups[name])
    else:
        name = row["file"]
        # A copy under a plain name: a DATA statement cannot hold every file name.
        data = os.path.join(work, "set%d%s" % (k, os.path.splitext(name)[1]))
        source = os.path.join(folder, name)
        if os.path.exists(source):
            open(data, "wb").write(open(source, "rb").read())
    single = re.sub(r'DATA\s*"[^"]*"', 'DATA "%s"' % data.replace("\\", "/"), program)
    path = os.path.join(work, "single%d.mxl" % k)
    open(path, "w", encoding="utf-8").write(single)
    result = os.path.join(work, "single%d.json" % k)
    subprocess.run([moxel, "-run", path, "-json", result], cwd=work, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    doc = json.load(open(result, encoding="utf-8"))
    status = doc["status"]
    if status == "converged" and doc["exit_status"] == 1:
        status = "failed"
    if row["status"] != status:
        faults.append("%s: status %s, single run %s" % (name, row["status"], status))
    if status == "failed":
        continue

    def same(key, value):
        text = row[key]
        got = float(text) if text != "" else None
        if got != value:
            faults.append("%s: %s %r, single run %r" % (name, key, text, value))

    st = doc["statistics"]
    same("n", st["n"])
    same("ss", st["residual_ss"])
    same("s", st["s"])
    same("r2", st["r2"])
    same("iterations", doc["iterations"])
    if row["stop_reason"] != doc["stop_reason"]:
        faults.append("%s: stop reason differs" % name)
    for p in doc["parameters"]:
        same(p["name"], p["estimate"])
        for key in ("se", "lower", "upper"):
            same(p["name"] + "_" + key, p[key])
    for d in doc["derived"]:
        same(d["name"], d["value"])
        for key in ("se", "lower", "upper"):
            same(d["name"] + "_" + key, d[key])

for fault in faults:
    print(fault)
sys.exit(1 if faults else 0)
