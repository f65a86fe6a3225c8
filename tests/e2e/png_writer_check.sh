#!/bin/bash
# Usage: png_writer_check.sh SAMPLE_COMMAND...   (png_writer_sample, called with OUT WIDTH HEIGHT)
# The PNG encoder's files read by ImageMagick: for a few sizes (one stored block, several, several
# IDAT chunks) `identify` must accept the file with the right size and depth, and `convert` must
# give back exactly the pixels that were encoded.
set -euo pipefail
sample=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
for size in "1 1" "3 2" "200 150" "1024 768" "257 1031"; do
  read -r w h <<<"$size"
  "${sample[@]}" "$work/p" "$w" "$h"
  info=$(identify -format '%m %w %h %z %[channels]' "$work/p.png")
  case "$info" in
    "PNG $w $h 8 srgb"*) ;;
    *) echo "FAIL ${w}x${h}: identify says '$info'"; fail=1; continue ;;
  esac
  convert "$work/p.png" -depth 8 rgb:"$work/back.rgb"
  if cmp -s "$work/p.rgb" "$work/back.rgb"; then
    echo "ok   ${w}x${h}: $info, pixels equal"
  else
    echo "FAIL ${w}x${h}: pixels differ"; fail=1
  fi
done
exit $fail
