#!/usr/bin/env bash
# Drives the window as a new user would, under a private Xvfb display of 1600x1000 with
# xdotool, and keeps a screenshot of every step (and the printed PDF pages) in the
# folder given as the first argument (build/window-check by default). WINDOW_CHECK_SIZE
# sets another screen size (1024x700, say); WINDOW_CHECK_PART=workbench stops after the
# workbench steps (the split, the tables, the banners). Needs build/moxel,
# Xvfb, xdotool, imagemagick, poppler-utils and util-linux (setpriv). Menus are reached
# by their mnemonics, so that nothing depends on where the window stands.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/window-check}")
moxel=$(realpath build/moxel)
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d /tmp/moxel-window-XXXXXX)
chmod 755 "$work"
cp examples/* "$work/"
export XDG_CONFIG_HOME="$work/config"
export DISPLAY=:${WINDOW_CHECK_DISPLAY:-97}

Xvfb "$DISPLAY" -screen 0 "${WINDOW_CHECK_SIZE:-1600x1000}x24" -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
app=
cleanup() {
  [ -n "$app" ] && kill "$app" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
sleep 1

shot() { sleep "${2:-0.7}"; import -window root "$out/$1.png"; echo "  $1.png"; }
key() { xdotool key --delay 120 "$@"; sleep 0.4; }
# Without a window manager the keyboard focus stays where a closed dialog left it: each
# step on the main window gives it the focus first.
main_key() { focus "$main"; key "$@"; }
window_id() {   # the first window whose title matches
  local id=
  for _ in $(seq 50); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1) && [ -n "$id" ] && break
    sleep 0.2
  done
  echo "$id"
}
focus() { xdotool windowfocus --sync "$(window_id "$1")"; sleep 0.2; }
# Clicks at x, y inside the window whose title matches.
click_in() {
  local id x y
  id=$(window_id "$1")
  eval "$(xdotool getwindowgeometry --shell "$id" | grep -E '^(X|Y)=')"
  xdotool mousemove $((X + $2)) $((Y + $3)) click 1
  sleep 0.5
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
plot_item() { main_key alt+v l; for _ in $(seq 2 "$1"); do key Down; done; key Return; }

echo "The workbench: the split after Run, the tables, a doubtful fit, a failed start:"
cat >"$work/product.mxl" <<'PROGRAM'
// Only the product a * b is determined by the data.
TITLE "A product of two parameters";
VARIABLES x, y;
PARAMETERS a = 1, b = 1, c = 0;
FUNCTION y = a * b * x + c;
PLOT TITLE = "Straight line";
DATA;
0 1.1
1 2.9
2 5.2
3 7.1
4 8.8
PROGRAM
cat >"$work/nostart.mxl" <<'PROGRAM'
VARIABLES x, y;
PARAMETERS a = 1, b = 10;
FUNCTION y = a * log(x - b);
DATA;
1 2
2 3
3 4
PROGRAM
main=bands.mxl
start bands.mxl
focus "Introductory tutorial for MOXEL"
key Escape
main_key alt+r
shot w1-split-after-run 2
main_key alt+v r
shot w2-parameter-table
main_key ctrl+a
main_key alt+v a
shot w3-listing-beside-plot
main_key alt+f x
wait_exit
main=product.mxl
start product.mxl
main_key alt+r
shot w4-banner-doubtful 2
main_key alt+v r
shot w5-marked-parameters
main_key alt+f x
wait_exit
main=nostart.mxl
start nostart.mxl
main_key alt+r
shot w6-failed-start 2
main_key alt+v a
shot w7-failed-start-listing
main_key alt+v p
main_key ctrl+End
xdotool type --delay 150 "CON"
shot w8-completion
key Escape
main_key alt+f x
key alt+n
wait_exit
[ "${WINDOW_CHECK_PART:-}" = workbench ] && { echo "Screenshots in $out"; exit 0; }
rm -rf "$work/config"

echo "First start and Run:"
main=plots.mxl
start plots.mxl
shot 01-first-start-offer
focus "Introductory tutorial for MOXEL"
key Escape
shot 02-first-window
main_key alt+r
shot 03-after-run 2
main_key alt+v r; shot 04-parameters
main_key alt+v v; shot 05-variables

echo "Each plot kind in the default screen colours:"
plot_item 1; shot 06-function-plot
plot_item 2; shot 07-scatter-plot
plot_item 3; shot 08-residual-plot
plot_item 4; shot 09-normal-plot

echo "Save-plot: the proposed name, the status bar, the question before replacing:"
plot_item 1
main_key alt+p
shot 10-save-plot-dialog
key Return
shot 11-saved-in-status-bar 1.5
main_key alt+p
key Return
shot 12-replace-question
key alt+y
sleep 1
cp "$work/plots_plot1.png" "$out/13-saved-png.png"

echo "The colour dialog and the colour chooser:"
main_key alt+c Return
shot 14-colour-dialog
click_in "Screen plot color selection" "${SWATCH_X:-353}" "${SWATCH_Y:-173}"
shot 15-colour-chooser
key Escape
focus "Screen plot color selection"
key Escape

echo "Print and print preview of the plot, and the printed listing:"
main_key ctrl+p
shot 16-print-dialog 1.5
key Return
sleep 2
mv "$work/plots.pdf" "$work/plot-page.pdf"
pdftoppm -png -r 60 "$work/plot-page.pdf" "$out/17-printed-plot"
main_key alt+f v
shot 18-print-preview 2
key Escape
main_key alt+v a
main_key ctrl+p
sleep 1.5
key Return
sleep 2
pdftoppm -png -r 60 -l 3 "$work/plots.pdf" "$out/19-printed-listing"
ls "$out" | grep printed | sed 's/^/  /'

echo "Find in the program, the manual's contents:"
main_key alt+v p
main_key ctrl+f
xdotool type "RPLOT"
key Return
shot 20-find
key Escape
main_key alt+d v
focus "MOXEL manual"
key Down Down Down Down Return
shot 21-manual-contents 1.5
key Escape
main_key alt+f x
wait_exit

echo "A failed run shows its first error:"
{
  for i in $(seq 1 30); do echo "DOUBLE w$i;"; done
  printf 'VARIABLES x, y;\nPARAMETERS a;\nFUNCTION y = a * ;\nq = ;\nDATA;\n1 2\n3 4\n'
} >"$work/broken.mxl"
main=broken.mxl
start broken.mxl
main_key alt+r
shot 22-failed-run 1.5
main_key alt+f x
wait_exit

echo "Progress of a long sweep, then Cancel:"
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
main=long.mxl
start long.mxl
main_key alt+r
shot 23-progress 2.5
focus "Performing analysis..."
key Escape
shot 24-cancelled-listing 2
grep -q "Stopped due to: Analysis was aborted" "$work/long.lst" && echo "  long.lst: Analysis was aborted"
main_key alt+f x
wait_exit

echo "An installed example in a read-only folder, run by an ordinary user:"
installed="$work/installed"
mkdir -p "$installed" "$work/home"
cp examples/michaelis.mxl examples/michaelis.dat "$installed/"
chmod 555 "$installed"
# Root writes anywhere: as root the window runs as the ordinary user "nobody".
as_user=()
if [ "$(id -u)" = 0 ]; then
  chown nobody "$work/home"
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
(cd / && exec "${as_user[@]}" \
  env HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" "$moxel" "$installed/michaelis.mxl" \
  >"$work/nobody.out" 2>&1) &
app=$!
sleep 2
focus "Introductory tutorial for MOXEL"
key Escape
main=michaelis.mxl
main_key alt+r
shot 25-read-only-offer
key alt+y
shot 26-copy-run 2
ls "$work/home/MOXEL/examples" | sed 's/^/  copied: /'
main_key alt+f x
wait_exit
echo "A listing of two pages, printed:"
main=logistic.mxl
start logistic.mxl
main_key alt+r
sleep 2
main_key ctrl+p
sleep 1.5
key Return
sleep 2
pdftoppm -png -r 60 "$work/logistic.pdf" "$out/27-printed-long-listing"
ls "$out" | grep long-listing | sed 's/^/  /'
main_key alt+f x
wait_exit
echo "Bands on the function plot, on screen and printed:"
main=bands.mxl
start bands.mxl
main_key alt+r
sleep 2
plot_item 1; shot 28-bands-on-screen
main_key ctrl+p
sleep 1.5
key Return
sleep 2
pdftoppm -png -r 60 "$work/bands.pdf" "$out/29-printed-bands"
main_key alt+f x
wait_exit
echo "A semi-log plot with error bars: the legend, zoom, values and tooltip, the axis dialog:"
sed -e 's/^PLOT;/PLOT LOGY ERRORBARS = sd TITLE = "Semi-log decay with error bars";/' \
    -e 's/^OUTPUT.*//' examples/weights.mxl >"$work/semilog.mxl"
main=semilog.mxl
start semilog.mxl
main_key alt+r
sleep 2
plot_item 1; shot 30-log-axis-error-bars
# The plot fills the window below the toolbar: its middle is near the window's middle.
id=$(window_id semilog.mxl)
eval "$(xdotool getwindowgeometry --shell "$id" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2))
sleep 0.5
xdotool click 4 click 4
shot 31-zoomed-by-the-wheel
xdotool click --repeat 2 1
xdotool mousemove_relative 3 3
shot 32-reset-and-pointer-values
# A data mark, found in the screenshot by its screen colour; the pointer rests on it.
mark=$(/usr/bin/python3 -c "
from PIL import Image
im = Image.open('$out/30-log-axis-error-bars.png').convert('RGB')
w, h = im.size
px = im.load()
found = [(x, y) for y in range(h) for x in range(w)
         if sum(abs(a - b) for a, b in zip(px[x, y], (80, 160, 255))) < 40]
x, y = min(found, key=lambda p: (p[0] - w / 2) ** 2 + (p[1] - h / 2) ** 2) if found else (w // 2, h // 2)
print(x, y)")
xdotool mousemove ${mark% *} ${mark#* }
sleep 0.3
xdotool mousemove_relative 1 0
shot 33-mark-tooltip 2
main_key alt+v x
shot 34-axis-dialog
key Escape
main_key alt+f x
wait_exit
echo "The same at twice the pixels (QT_SCALE_FACTOR=2):"
main=semilog.mxl
QT_SCALE_FACTOR=2 start semilog.mxl
main_key alt+r
sleep 2
plot_item 1; shot 35-twice-the-pixels
main_key alt+f x
wait_exit
echo "Screenshots in $out"
