#!/usr/bin/env bash
# Drives the window as a new user would, under a private Xvfb display with xdotool,
# and keeps a screenshot of every step (and the printed PDF pages) in the folder given
# as the first argument (build/window-check by default). Needs build/moxel, Xvfb,
# xdotool, imagemagick and poppler-utils. Without a window manager the main window
# stands at (0, 0), so menus are reached at fixed positions.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/window-check}")
moxel=$(realpath build/moxel)
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d /tmp/moxel-window-XXXXXX)
cp examples/* "$work/"
export XDG_CONFIG_HOME="$work/config"
export DISPLAY=:${WINDOW_CHECK_DISPLAY:-97}

Xvfb "$DISPLAY" -screen 0 1024x768x24 >/dev/null 2>&1 &
xvfb=$!
app=
cleanup() {
  [ -n "$app" ] && kill "$app" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
sleep 1

shot() { sleep "${2:-0.7}"; import -window root "$out/$1.png"; echo "  $1.png"; }
click() { xdotool mousemove "$1" "$2" click 1; sleep 0.4; }
focus() {   # focuses the first window whose title matches
  local id
  for _ in $(seq 50); do
    id=$(xdotool search --name "$1" 2>/dev/null | head -1) && [ -n "$id" ] && break
    sleep 0.2
  done
  xdotool windowfocus --sync "$id"
}
start() {   # starts the window on a program of the work folder
  (cd "$work" && exec "$moxel" "$work/$1" >"$work/moxel.out" 2>&1) &
  app=$!
  sleep 2
}
wait_exit() {
  for _ in $(seq 50); do kill -0 "$app" 2>/dev/null || { app=; return 0; }; sleep 0.2; done
  echo "the window did not close" >&2; return 1
}
view_item() { click 181 9; click 215 "$1"; }      # the View menu's items
plot_item() { click 181 9; click 210 73; click 350 "$1"; }

echo "First start, tutorial, run and views:"
start plots.mxl
shot 01-first-start-offer
focus "Introductory tutorial for MOXEL"
xdotool key Return
shot 02-tutorial-page1
for page in 2 3 4 5; do
  focus "Introductory tutorial"
  xdotool key alt+n
  shot "02-tutorial-page$page"
done
focus "Introductory tutorial"
xdotool key Return
focus "plots.mxl"
xdotool key alt+r
shot 03-listing 2
view_item 117; shot 04-parameters
view_item 95; shot 05-variables
plot_item 73; shot 06-function-plot
plot_item 97; shot 07-scatter-plot
plot_item 121; shot 08-residual-plot
plot_item 145; shot 09-normal-plot
plot_item 73

echo "Save the plot as JPEG and as BMP:"
click 290 9
xdotool key ctrl+a
xdotool type "$work/saved.jpg"
shot 10-save-plot-dialog
xdotool key Return
shot 11-saved-jpeg-message 1.5
xdotool key Return
click 290 9
click 315 197
xdotool key ctrl+a
xdotool type "$work/saved.bmp"
xdotool key Return
shot 12-saved-bmp-message 1.5
xdotool key Return
convert "$work/saved.jpg" "$out/13-saved-jpeg.png"
convert "$work/saved.bmp" "$out/14-saved-bmp.png"

echo "Change the screen colours:"
click 228 9; click 250 29
shot 15-colour-dialog
click 248 381; click 456 366
shot 16-standard-white
click 392 421
shot 17-plot-white-background

echo "Print the plot and the listing to PDF files:"
focus "plots.mxl"
xdotool key ctrl+p
shot 18-print-dialog 1.5
click 327 212; xdotool key ctrl+a; xdotool type "$work/plot.pdf"; click 339 253
sleep 2
view_item 51
focus "plots.mxl"
xdotool key ctrl+p
sleep 1.5
click 327 212; xdotool key ctrl+a; xdotool type "$work/listing.pdf"; click 339 253
sleep 2
pdftoppm -png -r 50 "$work/plot.pdf" "$out/19-printed-plot"
pdftoppm -png -r 50 -l 2 "$work/listing.pdf" "$out/20-printed-listing"
ls "$out" | grep printed | sed 's/^/  /'

echo "The manual, the examples and the memory listing:"
click 379 9; click 420 51
focus "MOXEL manual"
xdotool key ctrl+f
xdotool type "SWEEP"
xdotool key Return
shot 24-manual-find
xdotool key ctrl+w 2>/dev/null || true
focus "MOXEL manual"
xdotool windowclose "$(xdotool search --name "MOXEL manual" | head -1)" 2>/dev/null || true
focus "plots.mxl"
click 379 9; click 420 95
shot 25-examples
xdotool key Return
focus "plots.mxl"
xdotool key ctrl+shift+m
shot 26-memory-block-types
xdotool key Return
focus "plots.mxl"
xdotool key alt+f x
wait_exit

echo "Cancel a long sweep, then close with unsaved changes:"
cat >"$work/long.mxl" <<'PROGRAM'
// A grid of 400 starting points over a model that loops for every observation.
VARIABLES x, y;
PARAMETERS a = 1, b = 0.1;
DOUBLE i, s;
s = 0; FOR (i = 0; i < 20000; i++) s += i;
FUNCTION y = a * exp(b * x) + 0 * s;
SWEEP a = 1, 20, 1;
SWEEP b = 0.05, 1, 0.05;
DATA;
0 1.1
1 2.6
2 7.5
3 19.8
4 55.1
PROGRAM
start long.mxl
focus "long.mxl"
xdotool key alt+r
shot 21-progress 2
focus "Performing analysis..."
xdotool key Escape
shot 22-cancelled-listing 2
grep -q "Stopped due to: Analysis was aborted" "$work/long.lst" && echo "  long.lst: Analysis was aborted"
view_item 29
click 300 120
xdotool type "// an unsaved change"
xdotool key alt+f x
shot 23-unsaved-question
xdotool key alt+n
wait_exit
echo "Screenshots in $out"
