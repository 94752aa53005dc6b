#!/usr/bin/env bash
# Renders renumber.svg at the usual icon sizes and packs them into renumber.ico.
# Needs ImageMagick (convert) and icoutils (icotool).
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for size in 16 24 32 48 64 256; do
  convert -background none -density 384 renumber.svg -resize "${size}x${size}" "PNG32:$work/icon-$size.png"
done
icotool --create --output=renumber.ico --raw="$work/icon-256.png" "$work"/icon-{16,24,32,48,64}.png
echo "wrote renumber.ico"
