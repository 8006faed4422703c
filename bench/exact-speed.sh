#!/usr/bin/env bash
# Whole batch runs of build/moxel with differences and with DERIVATIVES EXACT on the same
# generated data: the four-parameter y = a*exp(-b*x) + c*sin(d*x), and an eight-parameter
# model of two Gaussian peaks on a linear baseline. Prints the median wall time of three
# runs, the ratio exact / differences, and the peak memory (maximum resident set,
# /usr/bin/time -v) of each.
# Run from the project's root after building: bash bench/exact-speed.sh [ROWS]
set -euo pipefail
[ -x build/moxel ] || { echo "build/moxel not built"; exit 1; }
n=${1:-1000000}
dir=build/bench-exact
mkdir -p "$dir"

# Rows x = 10 i / n with a deterministic wiggle standing in for noise.
generate() {
    local model=$1 file=$2
    [ -f "$file" ] && return
    awk -v n="$n" -v model="$model" 'BEGIN {
        for (i = 0; i < n; i++) {
            x = 10 * i / n; e = 0.05 * sin(12345.678 * i);
            if (model == "wave") y = 5 * exp(-0.3 * x) + 2 * sin(1.5 * x) + e;
            else y = 0.5 + 0.1 * x + 3 * exp(-((x - 3) / 0.8)^2) + 2 * exp(-((x - 6.5) / 1.2)^2) + e;
            printf "%.6f %.6f\n", x, y;
        }
    }' > "$file"
}

program() {
    local model=$1 exact=$2 file=$3
    echo "VARIABLES x, y;"
    [ "$exact" = 1 ] && echo "DERIVATIVES EXACT;"
    if [ "$model" = wave ]; then
        echo "PARAMETERS a = 4, b = 0.2, c = 1.5, d = 1.4;"
        echo "FUNCTION y = a*exp(-b*x) + c*sin(d*x);"
    else
        echo "PARAMETERS c0 = 0.4, c1 = 0.12, h1 = 2.5, m1 = 2.8, w1 = 1, h2 = 1.5, m2 = 6.3, w2 = 1;"
        echo "FUNCTION y = c0 + c1*x + h1*exp(-(x - m1)*(x - m1)/(w1*w1)) + h2*exp(-(x - m2)*(x - m2)/(w2*w2));"
    fi
    echo "DATA \"$file\";"
}

for model in wave peaks; do
    generate "$model" "$dir/$model-$n.txt"
    declare -A median
    for exact in 0 1; do
        prog="$dir/$model-$exact.mxl"
        program "$model" "$exact" "$model-$n.txt" > "$prog"
        times=()
        for i in 1 2 3; do
            s=$(date +%s%N); build/moxel -run "$prog" >/dev/null 2>&1 </dev/null || true; e=$(date +%s%N)
            times+=("$(( (e - s) / 1000000 ))")
        done
        median[$exact]=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 2p)
        /usr/bin/time -v -o "$dir/time.txt" build/moxel -run "$prog" >/dev/null 2>&1 </dev/null || true
        rss=$(awk '/Maximum resident/ { print $NF }' "$dir/time.txt")
        stop=$(grep -m1 "Stopped due to" "${prog%.mxl}.lst" | sed 's/Stopped due to: //')
        iters=$(grep -m1 "Number of iterations performed" "${prog%.mxl}.lst" | sed 's/.*= *//')
        ss=$(grep -m1 "Final sum of squared deviations" "${prog%.mxl}.lst" | sed 's/.*= *//')
        printf "%-6s %-11s %7d ms  peak %7d kB  %3s iterations  SS %s  %s\n" "$model" \
            "$([ "$exact" = 1 ] && echo exact || echo differences)" "${median[$exact]}" "$rss" "$iters" "$ss" "$stop"
    done
    awk -v e="${median[1]}" -v d="${median[0]}" -v m="$model" 'BEGIN { printf "%-6s exact / differences: %.2f\n", m, e / d }'
done
