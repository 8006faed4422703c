#!/usr/bin/env bash
# Large fits in a batch: COUNT files of ROWS rows each (y = a*exp(-k*x) + c with 2 %
# noise), fitted by moxel -data -jobs JOBS -quiet with the table, against the sum of the
# single runs of the same files. Goal: batch time <= 1.1 * (sum of single runs) / JOBS.
# Run from the project's root after building: bash bench/sets-large.sh [COUNT [ROWS [JOBS]]]
set -euo pipefail
count=${1:-100}
rows=${2:-100000}
jobs=${3:-2}
[ -x build/moxel ] || { echo "build/moxel not built"; exit 1; }
dir=build/bench-sets/large-$count-$rows
mkdir -p "$dir"
if [ ! -f "$dir/list.txt" ]; then
  /usr/bin/python3 - "$dir" "$count" "$rows" <<'PY'
import math, os, random, sys
folder, count, rows = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(31)
with open(os.path.join(folder, "list.txt"), "w") as names:
    for k in range(count):
        a, rate, c = 5 + rng.random() * 5, 0.2 + rng.random() * 0.3, 1 + rng.random()
        name = os.path.join(folder, "f%03d.dat" % k)
        names.write(name + "\n")
        with open(name, "w") as f:
            for i in range(rows):
                x = 10.0 * i / rows
                f.write("%.8g %.6g\n" % (x, (a * math.exp(-rate * x) + c) * (1 + rng.gauss(0, 0.02))))
PY
fi
cat > "$dir/decay.mxl" <<MXL
VARIABLES x, y;
PARAMETERS a = 6, k = 0.3, c = 1;
FUNCTION y = a * exp(-k * x) + c;
DATA "f000.dat";
MXL
now() { date +%s%N; }
s=$(now)
while read -r name; do
  sed "s|f000.dat|$(basename "$name")|" "$dir/decay.mxl" > "$dir/single.mxl"
  build/moxel -run "$dir/single.mxl" > /dev/null || true
done < "$dir/list.txt"
e=$(now); single=$(( (e - s) / 1000000 ))
s=$(now); build/moxel -run "$dir/decay.mxl" -data - -jobs "$jobs" -quiet -table "$dir/table.csv" < "$dir/list.txt" > /dev/null || true; e=$(now)
batch=$(( (e - s) / 1000000 ))
echo "$count files of $rows rows: single runs ${single} ms in all, batch -jobs $jobs ${batch} ms"
/usr/bin/python3 -c "import sys; s, b, j = map(float, sys.argv[1:]); print('batch / (single sum / jobs) = %.2f (goal <= 1.1)' % (b / (s / j)))" "$single" "$batch" "$jobs"
