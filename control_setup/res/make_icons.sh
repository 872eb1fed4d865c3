#!/usr/bin/env bash
# Draws ControlSetup's two icons with ImageMagick and writes them beside this script. The .ico files are kept in
# the repository, so building never needs ImageMagick; run this only to change the pictures.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The program's icon: a video frame with a play mark, in the control's blue.
convert -size 32x32 xc:none -fill '#1f5fbf' -stroke '#0b2e66' -strokewidth 2 -draw 'roundrectangle 1,4 30,27 5,5' \
  -fill white -stroke none -draw 'polygon 12,10 23,16 12,22' "$work/frame32.png"
# The dialog's picture: a box receiving an arrow, for "install".
convert -size 32x32 xc:none -fill '#c8962e' -stroke '#5c4210' -strokewidth 2 -draw 'rectangle 4,17 27,29' \
  -fill '#2e9e3e' -stroke '#14501c' -strokewidth 1 -draw 'polygon 12,2 20,2 20,10 26,10 16,20 6,10 12,10' \
  "$work/install32.png"

for name in frame install; do
  convert "$work/${name}32.png" -resize 16x16 "$work/${name}16.png"
  convert "$work/${name}32.png" "$work/${name}16.png" "$name.ico"
done
mv frame.ico control_setup.ico
mv install.ico install_picture.ico
