#!/bin/sh
# Makes the PNG icons in icons/ from org.tove.Tove.svg (needs rsvg-convert, librsvg2-bin).
# The PNGs are checked in, so that building Tove needs no SVG renderer; run this after
# changing the SVG.
set -eu
cd "$(dirname "$0")"
for size in 16 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" org.tove.Tove.svg -o "icons/${size}x${size}.png"
done
