#!/usr/bin/env bash
# Whole batch runs of build/moxel on 10^5, 10^6 and 10^7 generated rows of two columns,
# for two models: the four-parameter y = a*exp(-b*x) + c*sin(d*x), and an
# eight-parameter model of exponentials and integer powers. Prints the median wall time
# of three runs and the peak memory (maximum resident set, /usr/bin/time -v) of each.
# With python3-scipy installed it also times SciPy's least_squares(method="lm") fit
# alone on the same data (median of three) and prints the ratio.
# Run from the project's root after building: bash bench/rows.sh [ROWS...]
set -euo pipefail
[ -x build/moxel ] || { echo "build/moxel not built"; exit 1; }
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(100000 1000000 10000000)
dir=build/bench-rows
mkdir -p "$dir"

# Rows x = 10 i / n with a deterministic wiggle standing in for noise.
generate() {
    local model=$1 n=$2 file=$3
    [ -f "$file" ] && return
    awk -v n="$n" -v model="$model" 'BEGIN {
        for (i = 0; i < n; i++) {
            x = 10 * i / n; e = 0.05 * sin(12345.678 * i);
            if (model == "wave") y = 4.5 * exp(-0.25 * x) + 1.2 * sin(1.5 * x) + e;
            else y = 3 * exp(-0.5 * x) + 2 * exp(-1.5 * (x - 2)^2) + exp(-2 * (x - 7)^4) + 0.2 * x + 0.01 * x^3 + e;
            printf "%.6f %.6f\n", x, y;
        }
    }' > "$file"
}

program() {
    local model=$1 data=$2
    if [ "$model" = wave ]; then
        printf 'VARIABLES x, y;\nPARAMETERS a = 4, b = 0.2, c = 1.5, d = 1.4;\nFUNCTION y = a*exp(-b*x) + c*sin(d*x);\nDATA "%s";\n' "$data"
    else
        printf 'VARIABLES x, y;\nPARAMETERS a = 2.5, b = 0.4, c = 1.5, d = 1.2, e = 0.8, f = 1.6, g = 0.15, h = 0.008;\n'
        printf 'FUNCTION y = a*exp(-b*x) + c*exp(-d*(x - 2)^2) + e*exp(-f*(x - 7)^4) + g*x + h*x^3;\nDATA "%s";\n' "$data"
    fi
}

scipy() {
    local model=$1 file=$2
    /usr/bin/python3 -c "import scipy" 2>/dev/null || return 0
    OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 /usr/bin/python3 - "$model" "$file" <<'PY'
import sys, time, statistics, numpy as np
from scipy.optimize import least_squares
x, y = np.loadtxt(sys.argv[2], unpack=True)
if sys.argv[1] == "wave":
    f = lambda p: p[0]*np.exp(-p[1]*x) + p[2]*np.sin(p[3]*x) - y
    start = [4, 0.2, 1.5, 1.4]
else:
    f = lambda p: (p[0]*np.exp(-p[1]*x) + p[2]*np.exp(-p[3]*(x - 2)**2) + p[4]*np.exp(-p[5]*(x - 7)**4)
                   + p[6]*x + p[7]*x**3 - y)
    start = [2.5, 0.4, 1.5, 1.2, 0.8, 1.6, 0.15, 0.008]
ts = []
for _ in range(3):
    t0 = time.perf_counter()
    least_squares(f, start, method="lm", jac="2-point")
    ts.append(time.perf_counter() - t0)
print(round(statistics.median(ts) * 1000))
PY
}

echo "load: $(uptime | sed 's/.*load average: //')"
printf '%-6s %10s %12s %10s %10s %7s\n' model rows "moxel ms" "peak MB" "SciPy ms" ratio
for model in wave power8; do
    for n in "${sizes[@]}"; do
        [ "$model" = power8 ] && [ "$n" = 10000000 ] && continue
        data="${model}_$n.dat"
        generate "$model" "$n" "$dir/$data"
        program "$model" "$data" > "$dir/${model}_$n.mxl"
        times=(); peak=0
        for run in 1 2 3; do
            s=$(date +%s%N)
            /usr/bin/time -v build/moxel -run "$dir/${model}_$n.mxl" >/dev/null 2>"$dir/time.txt" </dev/null || true
            e=$(date +%s%N)
            times+=("$(( (e - s) / 1000000 ))")
            kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$dir/time.txt")
            [ "$kb" -gt "$peak" ] && peak=$kb
        done
        mox=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 2p)
        sci=$(scipy "$model" "$dir/$data")
        ratio=$([ -n "$sci" ] && awk -v m="$mox" -v s="$sci" 'BEGIN { printf "%.2f", m / s }' || echo -)
        printf '%-6s %10s %12s %10s %10s %7s\n' "$model" "$n" "$mox" "$((peak / 1024))" "${sci:--}" "$ratio"
    done
done
