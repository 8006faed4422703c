#!/usr/bin/env bash
# Replays the ways a run can lose files, against build/moxel:
#  1. a loop of runs killed at random moments (SIGKILL and SIGTERM, alternately) while
#     they write a large OUTPUT file;
#  2. runs on a small, nearly full tmpfs (root only: skipped with a message elsewhere);
#  3. rounds of ten -plots runs of one program at once, at two image sizes; and
#  4. -plots runs killed at random moments while they write a large image.
# After each run every file the run writes (listing, OUTPUT, POUTPUT, image) must be
# either the old file, byte for byte, or a whole new one. Prints how many old files were
# kept intact (goal: all), how many temporary files were left after SIGTERM (goal: none)
# and how many a SIGKILL left that the next run did not clear (goal: none).
#
# Environment: RUNS (kill loop, default 40), ROWS (data rows, default 300000),
# DISK_RUNS (full-disk scenarios, default 40), PLOT_ROUNDS (rounds of ten concurrent
# -plots runs, default 5), PLOT_KILLS (killed -plots runs, default 20).
set -u
cd "$(dirname "$0")/.."
moxel=$(realpath build/moxel)
runs=${RUNS:-40}
rows=${ROWS:-300000}
disk_runs=${DISK_RUNS:-40}
plot_rounds=${PLOT_ROUNDS:-5}
plot_kills=${PLOT_KILLS:-20}
work=$(mktemp -d "${TMPDIR:-/tmp}/moxel-file-safety-XXXXXX")
mounted=
cleanup() {
  [ -n "$mounted" ] && umount "$mounted" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$work/config"

# fit.mxl in folder $1 with $2 data rows: OUTPUT and POUTPUT files beside the listing.
make_program() {
  {
    printf 'VARIABLES x, y;\nPARAMETERS a = 1, b = 0.1, c = 0.001;\n'
    printf 'FUNCTION y = a + b * x + c * x * x;\nOUTPUT "fit" x, y, $PREDICTED, $RESIDUAL;\nPOUTPUT "fit";\nDATA;\n'
    awk -v n="$2" 'BEGIN { for (i = 0; i < n; i++) printf "%d %.4f\n", i % 1000, 3 + 0.5 * (i % 1000) + 0.001 * (i % 1000) ^ 2 + (i % 7) * 0.01 }'
  } >"$1/fit.mxl"
}

# Whole-file checks: a file is kept intact when it is the old file byte for byte, or a
# new file that is complete.
whole_listing() {   # the Final Results with every parameter row, ended by an empty line or
                    # by the messages that follow the listing (an output file not written);
                    # or, for a run cancelled while it read the data, the program and
                    # the line that says so
  local last
  last=$(tail -n 1 "$1")
  case $last in
    "Error: Reading the data was cancelled after "*" observations") grep -q '^   6: DATA;$' "$1" && return 0 ;;
  esac
  grep -q '^   ----  Final Results  ----$' "$1" && grep -q '^         c ' "$1" &&
    [ "$(tail -c 1 "$1" | od -An -c | tr -d ' ')" = '\n' ] &&
    { [ -z "$last" ] || [ "${last#Error: }" != "$last" ]; }
}
whole_output() {    # one row of four values per observation
  awk -v n="$2" 'NF != 4 { bad = 1 } END { exit !(NR == n && !bad) }' "$1"
}
whole_parameters() {   # one estimate per parameter
  awk 'NF != 1 { bad = 1 } END { exit !(NR == 3 && !bad) }' "$1"
}

# Counts, for the files of folder $1 ($2 data rows, run $3) against the old copies in
# folder $4, how many are intact; adds to the globals kept and checked.
check_files() {
  local folder=$1 n=$2 old=$4 name
  for name in fit.lst fit.out fit.par; do
    checked=$((checked + 1))
    if cmp -s "$folder/$name" "$old/$name"; then
      kept=$((kept + 1))
      continue
    fi
    case $name in
      fit.lst) whole_listing "$folder/$name" && kept=$((kept + 1)) && continue ;;
      fit.out) whole_output "$folder/$name" "$n" && kept=$((kept + 1)) && continue ;;
      fit.par) whole_parameters "$folder/$name" && kept=$((kept + 1)) && continue ;;
    esac
    echo "  damaged: $name after run $3 ($(wc -c <"$folder/$name" 2>/dev/null || echo missing) bytes)"
  done
}

temporaries() { find "$1" -maxdepth 1 -name '*.part.*' | wc -l; }

# 1. Kills at random moments.
folder="$work/kill"
mkdir -p "$folder/old"
make_program "$folder" "$rows"
start=$(date +%s%N)
(cd "$folder" && "$moxel" -run fit.mxl >/dev/null 2>&1)
full_ms=$(( ($(date +%s%N) - start) / 1000000 ))
cp "$folder"/fit.lst "$folder"/fit.out "$folder"/fit.par "$folder/old/"
echo "Kill loop: $runs runs of $rows rows (an uninterrupted run takes $full_ms ms)"
kept=0 checked=0 term_runs=0 kill_runs=0 term_left=0 kill_left=0 late=0 kill_stale=0
for ((k = 1; k <= runs; k++)); do
  (cd "$folder" && exec "$moxel" -run fit.mxl >/dev/null 2>&1) &
  pid=$!
  delay_ms=$((RANDOM % (full_ms + 1)))
  sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
  if ((k % 2)); then
    signal=KILL kill_runs=$((kill_runs + 1))
  else
    signal=TERM term_runs=$((term_runs + 1))
  fi
  kill -s "$signal" "$pid" 2>/dev/null || late=$((late + 1))
  wait "$pid" 2>/dev/null
  left=$(temporaries "$folder")
  if [ "$signal" = TERM ]; then
    term_left=$((term_left + left))
  else
    kill_left=$((kill_left + left))
  fi
  check_files "$folder" "$rows" "$k" "$folder/old"
  # What SIGKILL leaves the killed process cannot remove: the next run that writes the
  # same file clears it. Those it did not clear are counted, then removed.
  if [ "$signal" = KILL ] && [ "$left" -gt 0 ]; then
    (cd "$folder" && "$moxel" -run fit.mxl >/dev/null 2>&1)
    stale=$(temporaries "$folder")
    kill_stale=$((kill_stale + stale))
    find "$folder" -maxdepth 1 -name '*.part.*' -delete
  fi
  cp "$folder"/fit.lst "$folder"/fit.out "$folder"/fit.par "$folder/old/"
done
echo "  old or whole files kept intact: $kept of $checked"
echo "  temporaries left after SIGTERM: $term_left (in $term_runs runs)"
echo "  temporaries left after SIGKILL: $kill_left (in $kill_runs runs; a killed process cannot remove them)"
echo "  of those, still there after the next run: $kill_stale"
echo "  runs that had ended before their signal: $late"

# 2. A full disk.
full_disk() {
disk="$work/disk"
mkdir -p "$disk"
if [ "$(id -u)" != 0 ] || ! mount -t tmpfs -o size=64k tmpfs "$disk" 2>/dev/null; then
  echo "Full disk: skipped (mounting a 64 KB tmpfs needs root)"
  return
fi
mounted=$disk
disk_rows=300
make_program "$disk" "$disk_rows"
(cd "$disk" && "$moxel" -run fit.mxl >/dev/null 2>&1)
mkdir -p "$work/diskold"
cp "$disk"/fit.lst "$disk"/fit.out "$disk"/fit.par "$work/diskold/"
echo "Full disk: $disk_runs runs on a 64 KB tmpfs holding the program and its old files"
kept=0 checked=0 left=0 failed=0 succeeded=0
for ((k = 0; k < disk_runs; k++)); do
  cp "$work"/diskold/* "$disk/"
  # Fill the disk, then free k KB of it again.
  dd if=/dev/zero of="$disk/filler" bs=1k 2>/dev/null
  truncate -s "-$((k))K" "$disk/filler" 2>/dev/null || true
  (cd "$disk" && "$moxel" -run fit.mxl >/dev/null 2>"$work/disk-err.txt")
  status=$?
  if [ "$status" = 0 ]; then succeeded=$((succeeded + 1)); else failed=$((failed + 1)); fi
  rm -f "$disk/filler"
  check_files "$disk" "$disk_rows" "$k" "$work/diskold"
  left=$((left + $(temporaries "$disk")))
done
echo "  old or whole files kept intact: $kept of $checked"
echo "  runs that reported a file they could not write (status 1): $failed; runs that wrote all: $succeeded"
echo "  temporaries left: $left"
umount "$disk" 2>/dev/null && mounted=
}
full_disk

# The plot program: a line fit with one plot; -plots writes p_plot1.jpg.
plot_program() {
  {
    printf 'VARIABLES x, y;\nPARAMETERS a = 1, b = 1;\nFUNCTION y = a + b * x;\nPLOT;\nDATA;\n'
    awk 'BEGIN { for (i = 0; i < 50; i++) printf "%d %.3f\n", i, 2 + 3 * i + (i % 5) * 0.1 }'
  } >"$1/p.mxl"
}
# Settings folder $1/$2 for images of $3 x $4 pixels, of type $5 (0 JPEG, 1 BMP).
plot_settings() {
  mkdir -p "$1/$2/MOXEL"
  printf '[General]\nFirstTime=1\nBMPwidth=%d\nBMPheight=%d\nPlotFileType=%d\n' "$3" "$4" "$5" >"$1/$2/MOXEL/MOXEL.conf"
}

# 3. Concurrent -plots runs: every run succeeds and the image in place is always one of
# the two whole images (JPEG writing is deterministic: each size has one right file).
plots="$work/plots"
mkdir -p "$plots"
plot_program "$plots"
plot_settings "$plots" large 700 550 0
plot_settings "$plots" small 320 240 0
for size in large small; do
  (cd "$plots" && XDG_CONFIG_HOME="$plots/$size" "$moxel" -run p.mxl -plots >/dev/null 2>&1)
  cp "$plots/p_plot1.jpg" "$plots/$size.jpg"
done
echo "Concurrent -plots: $plot_rounds rounds of 10 runs at once, two image sizes"
failed=0 whole=0 runs_done=0
for ((round = 0; round < plot_rounds; round++)); do
  for ((k = 0; k < 10; k++)); do
    if ((k % 2)); then size=small; else size=large; fi
    (cd "$plots" && XDG_CONFIG_HOME="$plots/$size" exec "$moxel" -run p.mxl -plots >/dev/null 2>>"$work/plots-err.txt") &
  done
  for job in $(jobs -p); do
    wait "$job"
    status=$?
    runs_done=$((runs_done + 1))
    [ "$status" = 0 ] || failed=$((failed + 1))
  done
  if cmp -s "$plots/p_plot1.jpg" "$plots/large.jpg" || cmp -s "$plots/p_plot1.jpg" "$plots/small.jpg"; then
    whole=$((whole + 1))
  else
    echo "  round $round: the image is neither whole image ($(wc -c <"$plots/p_plot1.jpg") bytes)"
  fi
done
echo "  runs that failed: $failed of $runs_done"
echo "  rounds that ended with a whole image: $whole of $plot_rounds"
echo "  temporaries left: $(temporaries "$plots")"

# 4. Kills while a large image is written (a 6000 x 4000 BMP, 72 MB).
big="$work/bigplot"
mkdir -p "$big"
plot_program "$big"
plot_settings "$big" config 6000 4000 1
start=$(date +%s%N)
(cd "$big" && XDG_CONFIG_HOME="$big/config" "$moxel" -run p.mxl -plots >/dev/null 2>&1)
full_ms=$(( ($(date +%s%N) - start) / 1000000 ))
cp "$big/p_plot1.bmp" "$work/whole.bmp"
echo "Kills during image writing: $plot_kills runs (an uninterrupted run takes $full_ms ms)"
kept=0 term_left=0 kill_left=0 kill_stale=0 late=0
for ((k = 1; k <= plot_kills; k++)); do
  cp "$big/p_plot1.bmp" "$work/old.bmp"
  (cd "$big" && XDG_CONFIG_HOME="$big/config" exec "$moxel" -run p.mxl -plots >/dev/null 2>&1) &
  pid=$!
  delay_ms=$((RANDOM % (full_ms + 1)))
  sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
  if ((k % 2)); then signal=KILL; else signal=TERM; fi
  kill -s "$signal" "$pid" 2>/dev/null || late=$((late + 1))
  wait "$pid" 2>/dev/null
  left=$(temporaries "$big")
  # The old image, or a whole new one: the fitted curve's, or (after a SIGTERM, which
  # cancels the fit) one at the point the fit had reached, whole if it has every byte.
  if cmp -s "$big/p_plot1.bmp" "$work/old.bmp" || cmp -s "$big/p_plot1.bmp" "$work/whole.bmp" ||
     { [ "$signal" = TERM ] && [ "$(wc -c <"$big/p_plot1.bmp")" = "$(wc -c <"$work/whole.bmp")" ] &&
       [ "$(head -c 2 "$big/p_plot1.bmp")" = BM ]; }; then
    kept=$((kept + 1))
  else
    echo "  damaged: p_plot1.bmp after run $k ($(wc -c <"$big/p_plot1.bmp" 2>/dev/null || echo missing) bytes)"
  fi
  if [ "$signal" = TERM ]; then
    term_left=$((term_left + left))
  elif [ "$left" -gt 0 ]; then
    kill_left=$((kill_left + left))
    (cd "$big" && XDG_CONFIG_HOME="$big/config" "$moxel" -run p.mxl -plots >/dev/null 2>&1)
    kill_stale=$((kill_stale + $(temporaries "$big")))
    find "$big" -maxdepth 1 -name '*.part.*' -delete
  fi
done
echo "  old or whole images kept intact: $kept of $plot_kills"
echo "  temporaries left after SIGTERM: $term_left"
echo "  temporaries left after SIGKILL: $kill_left; still there after the next run: $kill_stale"
echo "  runs that had ended before their signal: $late"
