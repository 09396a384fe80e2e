#!/bin/sh
# Renders the PNG sizes of the hicolor theme from the SVG; run it after editing the SVG and
# commit the PNGs, so that building needs no SVG renderer (rsvg-convert is in librsvg2-bin).
set -eu
cd "$(dirname "$0")"
for size in 16 22 24 32 48 64 128 256; do
    rsvg-convert --width "$size" --height "$size" --output "org.quarin.Quarin-$size.png" \
        org.quarin.Quarin.svg
done
