#!/usr/bin/env bash
# Draws Kestrane's icon (a handheld sending its data upwards) and writes
# app/kestrane.ico with every size Windows asks for, from 16 to 256 pixels.
# Run it again only when the design changes; the .ico is kept in the repo.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

convert -size 256x256 xc:none \
  -fill '#1f5fa8' -draw 'roundrectangle 8,8 247,247 44,44' \
  -fill '#ffffff' -draw 'roundrectangle 70,92 160,236 16,16' \
  -fill '#1f5fa8' -draw 'rectangle 84,108 146,170' \
  -fill '#1f5fa8' -draw 'circle 115,206 115,194' \
  -fill '#ffb020' -draw 'polygon 196,28 244,86 212,86 212,150 180,150 180,86 148,86' \
  "$work/master.png"

images=()
for size in 16 20 24 32 40 48 64 128 256; do
  convert "$work/master.png" -filter Lanczos -resize "${size}x${size}" -depth 8 "$work/icon-$size.png"
  images+=("$work/icon-$size.png")
done
convert "${images[@]}" app/kestrane.ico
echo "wrote app/kestrane.ico"
