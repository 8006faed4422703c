#!/usr/bin/env bash
# Many small fits side by side: build/moxel -data and -by with the results table against
# a SciPy curve_fit loop over the same files and a pandas groupby + curve_fit loop over
# the same CSV (reading included), on one generated data set: COUNT data sets of 12
# points of y = a*exp(-k*x) + c with 2 % noise, 3 parameters. Prints each rate (data sets
# per second) and the ratios (goals: files >= 3, groups >= 5 times the Python rate).
# Run from the project's root after building: bash bench/sets.sh [COUNT [JOBS]]
# Needs python3-scipy and python3-pandas. Data go to build/bench-sets/.
set -euo pipefail
count=${1:-10000}
jobs=${2:-2}
[ -x build/moxel ] || { echo "build/moxel not built"; exit 1; }
/usr/bin/python3 -c "import scipy, pandas" 2>/dev/null || { echo "needs python3-scipy and python3-pandas"; exit 1; }
dir=build/bench-sets/$count
mkdir -p "$dir/files"
if [ ! -f "$dir/groups.csv" ]; then
  /usr/bin/python3 - "$dir" "$count" <<'PY'
import math, os, random, sys
folder, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(29)
with open(os.path.join(folder, "groups.csv"), "w") as groups, open(os.path.join(folder, "list.txt"), "w") as names:
    groups.write("set,x,y\n")
    for k in range(count):
        a, rate, c = 5 + rng.random() * 5, 0.2 + rng.random() * 0.3, 1 + rng.random()
        name = os.path.join(folder, "files", "s%05d.csv" % k)
        names.write(name + "\n")
        with open(name, "w") as f:
            f.write("x,y\n")
            for i in range(12):
                x = 0.5 * i
                y = (a * math.exp(-rate * x) + c) * (1 + rng.gauss(0, 0.02))
                f.write("%g,%.6g\n" % (x, y))
                groups.write("s%05d,%g,%.6g\n" % (k, x, y))
PY
fi
cat > "$dir/decay.mxl" <<MXL
VARIABLES x, y;
PARAMETERS a = 6, k = 0.3, c = 1;
FUNCTION y = a * exp(-k * x) + c;
DATA "files/s00000.csv";
MXL
cat > "$dir/decayby.mxl" <<MXL
VARIABLES x, y;
PARAMETERS a = 6, k = 0.3, c = 1;
FUNCTION y = a * exp(-k * x) + c;
DATA "groups.csv";
MXL
seconds() { /usr/bin/python3 -c "import sys; print('%.3f' % (int(sys.argv[2]) / 1e9 - int(sys.argv[1]) / 1e9))" "$1" "$2"; }
s=$(date +%s%N); build/moxel -run "$dir/decay.mxl" -data - -jobs "$jobs" -quiet -table "$dir/files.csv" <"$dir/list.txt" >/dev/null || true; e=$(date +%s%N)
files=$(seconds "$s" "$e")
s=$(date +%s%N); build/moxel -run "$dir/decay.mxl" -data - -jobs "$jobs" -table "$dir/files_lst.csv" <"$dir/list.txt" >/dev/null || true; e=$(date +%s%N)
filesListings=$(seconds "$s" "$e")
s=$(date +%s%N); build/moxel -run "$dir/decayby.mxl" -by set -jobs "$jobs" -quiet -table "$dir/groups_table.csv" >/dev/null || true; e=$(date +%s%N)
groups=$(seconds "$s" "$e")
read -r scipyFiles pandasGroups < <(OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 /usr/bin/python3 - "$dir" <<'PY'
import os, sys, time, warnings
import numpy as np, pandas as pd
from scipy.optimize import curve_fit
warnings.simplefilter("ignore")
folder = sys.argv[1]
model = lambda x, a, k, c: a * np.exp(-k * x) + c
t0 = time.perf_counter()
for name in open(os.path.join(folder, "list.txt")).read().split():
    x, y = np.loadtxt(name, delimiter=",", skiprows=1, unpack=True)
    try:
        curve_fit(model, x, y, p0=(6, 0.3, 1))
    except RuntimeError:
        pass
t1 = time.perf_counter()
frame = pd.read_csv(os.path.join(folder, "groups.csv"))
for _, g in frame.groupby("set", sort=False):
    try:
        curve_fit(model, g["x"].to_numpy(), g["y"].to_numpy(), p0=(6, 0.3, 1))
    except RuntimeError:
        pass
t2 = time.perf_counter()
print("%.3f %.3f" % (t1 - t0, t2 - t1))
PY
)
rate() { /usr/bin/python3 -c "import sys; print('%.0f' % (int(sys.argv[1]) / float(sys.argv[2])))" "$count" "$1"; }
echo "data sets: $count of 12 points, -jobs $jobs"
echo "moxel -data -quiet:        ${files} s  $(rate "$files") /s"
echo "moxel -data with listings: ${filesListings} s  $(rate "$filesListings") /s"
echo "SciPy curve_fit loop:      ${scipyFiles} s  $(rate "$scipyFiles") /s"
echo "moxel -by -quiet:          ${groups} s  $(rate "$groups") /s"
echo "pandas groupby loop:       ${pandasGroups} s  $(rate "$pandasGroups") /s"
/usr/bin/python3 -c "import sys; f, s, g, p = map(float, sys.argv[1:]); print('files: %.2f times SciPy (goal 3); groups: %.2f times pandas (goal 5)' % (s / f, p / g))" "$files" "$scipyFiles" "$groups" "$pandasGroups"
