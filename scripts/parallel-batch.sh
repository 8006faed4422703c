#!/usr/bin/env bash
# Spreads one program over many data files on several machines with GNU parallel: the
# list of files is cut into one part per machine, each machine fits its part with
# moxel -data - and writes its own table, and the tables are joined into one, in the
# order of the list.
#
#   scripts/parallel-batch.sh PROGRAM.mxl FILES.txt RESULTS.csv [SSHLOGINS] [MOXEL]
#
# FILES.txt names one data file per line. SSHLOGINS is GNU parallel's --sshlogin list
# (comma-separated; ":" is this machine, the default); each login may say how many jobs
# it runs ("2/node1"). The folder must be shared (the same path on every machine, as
# with NFS), and MOXEL (default: moxel on the PATH) must run on each. Each machine fits
# its part with -jobs set to its processors. Exit status as moxel's: 0 every fit
# converged, 3 some did not or are doubtful or were not run, 1 some failed or a part's
# table is missing.
set -euo pipefail
if [ $# -lt 3 ]; then
  sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
program=$(realpath "$1")
list=$(realpath "$2")
results=$3
logins=${4:-:}
moxel=${5:-moxel}
command -v parallel >/dev/null || { echo "GNU parallel is needed (apt-get install parallel)" >&2; exit 2; }
parts=$(printf '%s' "$logins" | tr ',' '\n' | grep -c .)
work=$(mktemp -d "$(dirname "$(realpath "$results")")/.parallel-batch.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Part k holds the lines k, k + parts, ... would balance less well than runs of lines
# when files differ in size along the list; contiguous parts keep the joining simple.
total=$(grep -c . "$list" || true)
[ "$total" -gt 0 ] || { echo "no data files in $list" >&2; exit 2; }
per=$(( (total + parts - 1) / parts ))
grep . "$list" | split -d -a 4 -l "$per" - "$work/part"
ls "$work"/part* | parallel --will-cite --sshlogin "$logins" --jobs 1 --halt never \
  "cd $(printf '%q' "$(pwd)") && $moxel -run $(printf '%q' "$program") -data - -quiet -table {}.csv < {} > /dev/null; true"
status=0
first=1
: > "$work/joined"
for part in $(ls "$work"/part* | grep -v '\.csv$'); do
  if [ ! -f "$part.csv" ]; then
    echo "no table from $(basename "$part")" >&2
    status=1
    continue
  fi
  if [ $first -eq 1 ]; then cat "$part.csv" >> "$work/joined"; first=0; else tail -n +2 "$part.csv" >> "$work/joined"; fi
done
mv "$work/joined" "$results"
# The status column is the second field: data set names that hold commas are quoted,
# so read the rows with a CSV reader rather than cut.
worst=$(python3 -c '
import csv, sys
words = [row["status"] for row in csv.DictReader(open(sys.argv[1], newline="", encoding="utf-8"))]
print(1 if "failed" in words else 3 if any(w != "converged" for w in words) else 0)' "$results")
[ "$status" -eq 1 ] || status=$worst
exit "$status"
