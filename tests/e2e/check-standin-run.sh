#!/bin/bash
# Usage: check-standin-run.sh SCREENSHOT_DIR RUN_COMMAND...
# Empties SCREENSHOT_DIR, runs RUN_COMMAND (run-scenario.sh ... --screenshots SCREENSHOT_DIR -- e2e_scenarios.exe),
# and then checks with ImageMagick what the scenarios left there: every PNG is one ImageMagick reads,
# and at each point of a .probe file (lines "X Y RRGGBB", written by the scenario from the pixels it
# captured) the PNG beside it has that colour; the first point is the stand-in's magenta marker.
set -u
dir="$1"; shift
rm -rf "$dir"
"$@"
rc=$?
[ $rc = 0 ] || exit $rc

fail=0
shopt -s nullglob
pngs=("$dir"/*.png)
probes=("$dir"/*.probe)
if [ ${#pngs[@]} = 0 ] || [ ${#probes[@]} = 0 ]; then
  echo "check: no screenshots or probes in $dir"; exit 1
fi
for png in "${pngs[@]}"; do
  if ! info=$(identify -format '%m %wx%h %z' "$png" 2>&1) || [[ "$info" != "PNG "*" 8" ]]; then
    echo "check: $png is not an 8-bit PNG: $info"; fail=1
  fi
done
for probe in "${probes[@]}"; do
  png="${probe%.probe}.png"
  first=1
  while read -r x y want; do
    want=${want%$'\r'}
    [ $first = 1 ] && [ "$want" != FF00FF ] && { echo "check: the marker was not captured: $want"; fail=1; }
    first=0
    got=$(convert "$png" -format "%[hex:u.p{$x,$y}]" info: 2>&1)
    if [ "${got:0:6}" != "$want" ]; then
      echo "check: $(basename "$png") at $x,$y is $got, the capture had $want"; fail=1
    fi
  done <"$probe"
done
[ $fail = 0 ] && echo "check: ${#pngs[@]} screenshots read by ImageMagick, $(cat "${probes[@]}" | wc -l) probed pixels match"
exit $fail
