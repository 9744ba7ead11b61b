#!/usr/bin/env bash
# Renders icon.mvg into the nine images of the tool's icon (48, 32 and 16
# pixels, each at 8, 24 and 32 bits per pixel) and packs them into
# VKKSVInitTool.ico. The .ico is committed; run this only after changing the
# drawing. Needs ImageMagick (convert) and icoutils (icotool).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Draw large once, then scale down, so every size is smoothly anti-aliased.
convert -background none "mvg:$here/icon.mvg" -depth 8 "$work/big.png"

images=()
for size in 48 32 16; do
    # 32 bpp: colour with a full alpha channel.
    convert "$work/big.png" -resize "${size}x${size}" -depth 8 \
            +set date:create +set date:modify -strip "PNG32:$work/$size-32.png"
    # 24 bpp: the same colours, each pixel either opaque or transparent (the
    # icon's mask).
    convert "$work/$size-32.png" -channel A -threshold 50% +channel \
            -strip "PNG32:$work/$size-24.png"
    # 8 bpp: the opaque/transparent image reduced to a palette.
    convert "$work/$size-24.png" +dither -colors 256 -strip "PNG32:$work/$size-8.png"
    images+=(-b 8 "$work/$size-8.png" -b 24 "$work/$size-24.png" -b 32 "$work/$size-32.png")
done

icotool -c -o "$here/VKKSVInitTool.ico" "${images[@]}"
icotool -l "$here/VKKSVInitTool.ico"
