#!/bin/bash
# Remakes the installer's pictures in app/win32/res from the drawings in this script: the banner
# (bitmaps 137, 138, 139), the application icon (128) and the four frames of the progress
# animation (140-143). ImageMagick draws and quantises; tools/mkpicture writes the exact formats.
#
#   tools/mkpictures.sh [NATIVE_BUILD_DIR]
#
# With a configured native tree (default build/native) its mkpicture target is built and used;
# without one the tool is compiled on its own. PREVIEW_DIR=DIR also writes enlarged PNG previews
# (over the dialog grey) to look at.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
out=$root/app/win32/res
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -f "$build/CMakeCache.txt" ]; then
  cmake --build "$build" --target mkpicture >/dev/null
  mkpicture=$build/tools/mkpicture
else
  c++ -std=c++20 -O2 -I"$root" "$root/tools/mkpicture.cpp" -o "$work/mkpicture"
  mkpicture=$work/mkpicture
fi

fonts=/usr/share/fonts/truetype/dejavu
bold=$fonts/DejaVuSans-Bold.ttf
regular=$fonts/DejaVuSans.ttf
for f in "$bold" "$regular"; do
  [ -f "$f" ] || { echo "mkpictures: $f is missing (fonts-dejavu-core)" >&2; exit 1; }
done
mkdir -p "$out"

# Arithmetic for the drawings.
calc() { awk "BEGIN { print $1 }"; }

# --- Drawings, in units of the 48-pixel icon (affine scales them to the canvas) -----------------

# A wide-format inkjet printer on its stand: roll cover, body with the blue band, the operation
# panel with its lamp, the paper slot and a printed sheet whose ink stripes are the argument
# (a list of colours, top to bottom). The lamp colour is the second argument.
printer() {
  local stripes=$1 lamp=$2 y=32.8 mvg
  mvg="stroke none
fill #4d5b6b rectangle 6,31 8.5,44
fill #4d5b6b rectangle 39.5,31 42,44
fill #4d5b6b roundrectangle 3,42.5 11.5,45 1,1
fill #4d5b6b roundrectangle 36.5,42.5 45,45 1,1
fill #4d5b6b roundrectangle 2.5,13 45.5,23 2.5,2.5
fill #7a8a9c rectangle 5,14.5 43,15.7
fill #e6eaef stroke #4d5b6b stroke-width 0.9 roundrectangle 2.5,20 45.5,32.5 2,2
stroke none
fill #1f6fb2 rectangle 3,21.5 45,23.5
fill #2b3440 roundrectangle 35,25.5 42.5,30 0.8,0.8
fill $lamp circle 37.2,27.7 38.2,27.7
fill #2b3440 rectangle 8,30.2 33,31.8
fill #ffffff stroke #8a96a3 stroke-width 0.7 polygon 10,31 31,31 32.5,40 8.5,40
stroke none"
  local i=0
  for colour in $stripes; do
    mvg+="
fill $colour rectangle $(calc "11.5-0.2*$i"),$y $(calc "29.5+0.2*$i"),$(calc "$y+1.0")"
    y=$(calc "$y+1.5")
    i=$((i + 1))
  done
  echo "$mvg"
}

# The download arrow of the icon, pointing into the printer, its tip at y = 18.5 + $1.
arrow() {
  local d=$1
  echo "fill #2fa84f stroke #ffffff stroke-width 1.2 stroke-linejoin round
polygon 20,$(calc "1.5+$d") 28,$(calc "1.5+$d") 28,$(calc "9+$d") 33.5,$(calc "9+$d") 24,$(calc "18.5+$d") 14.5,$(calc "9+$d") 20,$(calc "9+$d")
stroke none"
}

# The 16-pixel icon, drawn for its size in units of one pixel.
small_icon() {
  echo "stroke none
fill #4d5b6b rectangle 2,11 3,15.5
fill #4d5b6b rectangle 13,11 14,15.5
fill #4d5b6b roundrectangle 0.5,5 15.5,8.5 1,1
fill #e6eaef stroke #4d5b6b stroke-width 0.6 roundrectangle 0.5,7.3 15.5,11.7 0.8,0.8
stroke none
fill #1f6fb2 rectangle 0.8,7.6 15.2,8.5
fill #2b3440 rectangle 11.5,9.3 14,10.6
fill #ffffff stroke #8a96a3 stroke-width 0.5 polygon 4.5,11 11.5,11 12,14.5 4,14.5
stroke none
fill #e0208c rectangle 5,12.3 11.1,13.3
fill #2fa84f stroke #ffffff stroke-width 0.7 stroke-linejoin round
polygon 6.5,0.4 9.5,0.4 9.5,3.2 12,3.2 8,7.2 4,3.2 6.5,3.2"
}

cyan='#00a0e0' magenta='#e0208c' yellow='#f5c400' black='#3a3a3a'

# Renders MVG drawn in units of SIZE/UNITS pixels at 8x and reduces it to SIZE (soft edges).
render() {  # render UNITS SIZE MVG OUT.png
  local units=$1 size=$2 mvg=$3 target=$4 big=$(($2 * 8))
  local scale
  scale=$(calc "$big/$units")
  convert -size ${big}x${big} xc:none -draw "affine $scale,0,0,$scale,0,0 $mvg" \
    -filter Box -resize ${size}x${size} -depth 8 "$target"
}

# --- Icon 128: 48 and 32 pixels from the full drawing, 16 from its own ---------------------------
icon_art="$(printer "$cyan $magenta $yellow" '#4cd964')
$(arrow 0)"
render 48 48 "$icon_art" "$work/icon48.png"
render 48 32 "$icon_art" "$work/icon32.png"
render 16 16 "$(small_icon)" "$work/icon16.png"

entries32=() entries8=()
for s in 48 32 16; do
  png=$work/icon$s.png
  convert "$png" -depth 8 rgba:"$work/icon$s.rgba"
  entries32+=("32:$s:$work/icon$s.rgba")
  # The 256-colour image: opacity cut at one half, at most 255 colours for the opaque pixels,
  # black where the AND mask lets the screen through.
  convert "$png" -channel A -threshold 50% +channel +dither -colors 255 -background black -alpha remove \
    -depth 8 rgb:"$work/icon$s.rgb"
  convert "$png" -alpha extract -threshold 50% -depth 8 gray:"$work/icon$s.mask"
  entries8+=("8:$s:$work/icon$s.rgb:$work/icon$s.mask")
done
"$mkpicture" ico --out "$out/installer.ico" "${entries32[@]}" "${entries8[@]}"

# --- Icons 140-143: data flows into the printer, the sheet is printed stripe by stripe ---------
# The arrow moves down behind the printer's cover; one more ink stripe per frame; the lamp blinks.
stripes=("$cyan" "$cyan $magenta" "$cyan $magenta $yellow" "$cyan $magenta $yellow $black")
lamps=('#4cd964' '#1e6b30' '#4cd964' '#1e6b30')
for k in 0 1 2 3; do
  d=$(calc "2.6*$k")
  frame_art="$(arrow "$d")
$(printer "${stripes[$k]}" "${lamps[$k]}")"
  render 48 48 "$frame_art" "$work/frame$k.png"
  convert "$work/frame$k.png" -depth 8 rgba:"$work/frame$k.rgba"
  "$mkpicture" ico --out "$out/animation$((k + 1)).ico" "32:48:$work/frame$k.rgba"
done

# --- Bitmaps 137-139: the banner, 144 x 29 ----------------------------------------------------
# Drawn at 4x: the printer with a soft shadow, "Corvane" over an ink band, "Firmware Installer".
convert -size 576x116 xc:none \
  \( -size 576x116 xc:none -fill 'rgba(0,0,0,0.45)' -draw "ellipse 80,108 66,5 0,360" -blur 0x5 \) -composite \
  -draw "affine 3.2,0,0,3.2,4,-35.6 $(printer "$cyan $magenta $yellow" '#4cd964')" \
  -font "$bold" -pointsize 70 -fill '#1b3a6b' -annotate +170+62 'Corvane' \
  -draw "fill $cyan rectangle 172,70 266,76 fill $magenta rectangle 266,70 360,76 fill $yellow rectangle 360,70 454,76" \
  -font "$regular" -pointsize 38 -fill '#3e4c5a' -annotate +170+108 'Firmware Installer' \
  -filter Box -resize 144x29 -depth 8 "$work/banner.png"

# 139: the opacity. 138: the colours beneath it (256 at most). 137: 138 over the dialog grey.
convert "$work/banner.png" -alpha extract -depth 8 gray:"$work/banner.alpha"
"$mkpicture" bmp-alpha8 --width 144 --height 29 --gray "$work/banner.alpha" --out "$out/banner_alpha.bmp"
convert "$work/banner.png" -alpha off +dither -colors 256 -depth 8 rgb:"$work/banner.rgb"
"$mkpicture" bmp-rle8 --width 144 --height 29 --rgb "$work/banner.rgb" --out "$out/banner_color.bmp"
convert -size 144x29 -depth 8 rgb:"$work/banner.rgb" \( -size 144x29 -depth 8 gray:"$work/banner.alpha" \) \
  -alpha off -compose CopyOpacity -composite -compose Over -background 'rgb(240,240,240)' -flatten -alpha off \
  +dither -colors 256 -depth 8 rgb:"$work/banner_shown.rgb"
"$mkpicture" bmp-rle8 --width 144 --height 29 --rgb "$work/banner_shown.rgb" --out "$out/banner.bmp"

# --- What was written ---------------------------------------------------------------------------
for f in banner.bmp banner_color.bmp banner_alpha.bmp installer.ico animation1.ico animation2.ico animation3.ico animation4.ico; do
  echo "$f: $(file -b "$out/$f")"
done

if [ -n "${PREVIEW_DIR:-}" ]; then
  mkdir -p "$PREVIEW_DIR"
  convert "$out/banner.bmp" -alpha off -filter point -resize 600% "$PREVIEW_DIR/banner137.png"
  convert "$out/banner_color.bmp" -alpha off -filter point -resize 600% "$PREVIEW_DIR/banner138.png"
  convert "$out/banner_alpha.bmp" -alpha off -filter point -resize 600% "$PREVIEW_DIR/banner139.png"
  for ico in installer animation1 animation2 animation3 animation4; do
    n=$(identify "$out/$ico.ico" | wc -l)
    for ((i = 0; i < n; i++)); do
      convert "$out/$ico.ico[$i]" -background 'rgb(240,240,240)' -flatten -filter point -resize 800% \
        "$PREVIEW_DIR/$ico-$i.png"
    done
  done
fi
