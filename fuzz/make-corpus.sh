#!/usr/bin/env bash
# Regenerates the seed corpora of fuzz/corpus/TARGET/ from small crops of the sample photos, run
# through the built tool: PPM headers, R64 files, CR files of every rectangle size, and JPEG and
# plain blocks cut out of those CR files. Usage: fuzz/make-corpus.sh [PATH/TO/ppm2r64]
# (default build/ppm2r64). Needs python3 for the cropping and cutting.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tool=${1:-$root/build/ppm2r64}
corpus=$root/fuzz/corpus
samples=$root/samples
[[ -x $tool ]] || { echo "make-corpus.sh: no tool at $tool (build it first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# crop SOURCE X Y W H OUT: the W x H piece at (X, Y) of a raw P5 or P6 image, same format.
crop() {
  python3 - "$@" <<'EOF'
import re, sys
source, x, y, w, h, out = sys.argv[1], *map(int, sys.argv[2:6]), sys.argv[6]
magic, width, height, rest = open(source, 'rb').read().split(maxsplit=3)
pixels = rest[re.match(rb'\d+', rest).end() + 1:]  # one whitespace byte ends the maximum
channels = 3 if magic == b'P6' else 1
width = int(width)
rows = [pixels[((y + r) * width + x) * channels:((y + r) * width + x + w) * channels] for r in range(h)]
open(out, 'wb').write(magic + b'\n%d %d\n255\n' % (w, h) + b''.join(rows))
EOF
}

# pixels IMAGE: the pixel bytes of an image made by crop, whose header is "P6\nW H\n255\n".
pixels() { python3 -c 'import sys; sys.stdout.buffer.write(open(sys.argv[1], "rb").read().split(b"\n", 3)[3])' "$1"; }

# blocks CR TYPE PREFIX: every block of TYPE ('j' or 'n') of a CR file, as PREFIX-LEVEL-X-Y.
blocks() {
  python3 - "$@" <<'EOF'
import struct, sys
path, kind, prefix = sys.argv[1], sys.argv[2].encode(), sys.argv[3]
data = open(path, 'rb').read()
width, height, side, entries = struct.unpack('>hhHxxI', data[4:16])
first, level = 0, 0
while first < entries and width >= 1 and height >= 1:
    columns, rows = -(-width // side), -(-height // side)
    for index in range(first, min(first + columns * rows, entries)):
        ofs, type_, size = struct.unpack('>Ic3xI', data[16 + 12 * index:28 + 12 * index])
        if type_ == kind and ofs and size:
            column, row = (index - first) % columns, (index - first) // columns
            open('%s-%d-%d-%d' % (prefix, level, column, row), 'wb').write(data[ofs:ofs + size])
    first += columns * rows
    width, height, level = (width + 1) // 2, (height + 1) // 2, level + 1
EOF
}

# pack OUT W H TYPE FFT RECT PIXELS: an input of r64_pack (four bytes of choices, then pixels).
pack() {
  python3 - "$@" <<'EOF'
import sys
out, w, h, kind, fft, rect, source = sys.argv[1:8]
w, h, fft, rect = int(w), int(h), int(fft), int(rect)
type_byte = next(b for b in range(256) if b % 3 == 'PGB'.index(kind) and (b >> 7) == fft)
head = bytes([w - 3, h - 3, type_byte, [64, 128, 256].index(rect)])
open(out, 'wb').write(head + open(source, 'rb').read())
EOF
}

# gradient W H OUT: a P6 image written here, red rising from left to right, whose JPEG blocks
# stay small at any size.
gradient() {
  python3 - "$@" <<'EOF'
import sys
w, h, out = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
pixels = bytes(v for y in range(h) for x in range(w) for v in (x * 255 // w, 96, 160))
open(out, 'wb').write(b'P6\n%d %d\n255\n' % (w, h) + pixels)
EOF
}

# reframe BLOCK W H OUT: a JPEG block whose frame header claims W x H pixels.
reframe() {
  python3 - "$@" <<'EOF'
import struct, sys
block, w, h, out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
data = bytearray(open(block, 'rb').read())
sof = next(i for i in range(len(data) - 1) if data[i] == 0xFF and data[i + 1] in (0xC0, 0xC1, 0xC2))
data[sof + 5:sof + 9] = struct.pack('>HH', h, w)
open(out, 'wb').write(data)
EOF
}

for target in ppm_header r64_file r64_pack cr_file jpeg_decode none_block; do
  rm -rf "${corpus:?}/$target"
  mkdir -p "$corpus/$target"
done

crop "$samples/coffee.ppm" 300 200 12 9 "$work/coffee-12x9.ppm"
crop "$samples/coffee.ppm" 200 150 24 20 "$work/coffee-24x20.ppm"
crop "$samples/coffee.ppm" 100 100 70 6 "$work/coffee-70x6.ppm"
crop "$samples/coffee.ppm" 250 180 70 20 "$work/coffee-70x20.ppm"
crop "$samples/coffee.ppm" 260 160 80 80 "$work/coffee-80x80.ppm"
crop "$samples/hubble.ppm" 500 400 5 70 "$work/hubble-5x70.ppm"
crop "$samples/camera.pgm" 200 100 66 20 "$work/camera-66x20.pgm"
crop "$samples/camera.pgm" 240 240 16 41 "$work/camera-16x41.pgm"
crop "$samples/camera.pgm" 100 300 64 40 "$work/camera-64x40.pgm"
gradient 256 256 "$work/gradient-256x256.ppm"

# ---- ppm_header: headers of every kind, with and without their pixels.
out=$corpus/ppm_header
cp "$work/coffee-12x9.ppm" "$out/p6-12x9"
cp "$work/camera-16x41.pgm" "$out/p5-16x41"
{ printf 'P6\n# cut short\n20 20\n255\n'; pixels "$work/coffee-12x9.ppm" | head -c 100; } >"$out/p6-cut-short"
{ printf 'P5 # comment after the magic\r5\t2\n# the maximum\n255 '; head -c 10 /dev/zero; } >"$out/p5-comments"
{ printf 'P6\n2 2\n65535\n'; pixels "$work/coffee-12x9.ppm" | head -c 24; } >"$out/p6-16bit"
printf 'P4\n8 2\n\xa5\x5a' >"$out/p4-8x2"
{ printf 'P6\t0x4\r010\n0377\n'; pixels "$work/coffee-12x9.ppm" | head -c 96; } >"$out/p6-hex-octal"

# ---- r64_file: R64 files made by the tool, a cut one, and grey and bit files written here.
out=$corpus/r64_file
for image in coffee-12x9 coffee-70x6 hubble-5x70; do
  "$tool" -pr "$work/$image.ppm" "$work/$image.r64" -l >/dev/null
  cp "$work/$image.r64" "$out/$image-levels"
done
head -c 200 "$work/coffee-12x9.r64" >"$out/coffee-12x9-cut"
{ printf 'R64G\x00\x42\x00\x14'; pixels "$work/camera-66x20.pgm"; pixels "$work/camera-16x41.pgm" | head -c 442; } >"$out/grey-66x20"
{ printf 'R64B\x00\x46\x00\x0a'; pixels "$work/camera-66x20.pgm" | head -c 929; } >"$out/bits-70x10"

# ---- cr_file: CR files of every rectangle size, some with JPEG and plain blocks side by side.
out=$corpus/cr_file
"$tool" -pr "$work/coffee-24x20.ppm" "$work/coffee-24x20.r64" -l >/dev/null
"$tool" -pr "$work/coffee-70x20.ppm" "$work/coffee-70x20.r64" -l >/dev/null
"$tool" -pr "$work/coffee-80x80.ppm" "$work/coffee-80x80.r64" -l >/dev/null
for size in 64 128 256; do
  "$tool" -t "$work/coffee-24x20.r64" -crsize $size -cr "$work/coffee-24x20-rect$size.cr" >/dev/null
  cp "$work/coffee-24x20-rect$size.cr" "$out/coffee-24x20-rect$size"
done
"$tool" -t "$work/coffee-70x20.r64" -crsize 64 -cr "$work/coffee-70x20-rect64.cr" >/dev/null
cp "$work/coffee-70x20-rect64.cr" "$out/coffee-70x20-rect64"
"$tool" -t "$work/coffee-70x6.r64" -crsize 256 -cr "$work/coffee-70x6-rect256.cr" >/dev/null
cp "$work/coffee-70x6-rect256.cr" "$out/coffee-70x6-rect256"
"$tool" -t "$work/coffee-80x80.r64" -crsize 64 -cr "$work/coffee-80x80-rect64.cr" >/dev/null
"$tool" -pr "$work/gradient-256x256.ppm" "$work/gradient-256x256.r64" -l -cr "$work/gradient-256x256-rect256.cr" >/dev/null
cp "$work/gradient-256x256-rect256.cr" "$out/gradient-256x256-rect256"

# ---- jpeg_decode: JPEG blocks cut out of CR files, bare and behind the two bytes of their size.
out=$corpus/jpeg_decode
blocks "$work/coffee-24x20-rect256.cr" j "$out/coffee-24x20"
blocks "$work/coffee-70x20-rect64.cr" j "$out/coffee-70x20"
blocks "$work/coffee-80x80-rect64.cr" j "$out/coffee-80x80"
blocks "$work/gradient-256x256-rect256.cr" j "$out/gradient-256x256"
reframe "$out/coffee-24x20-0-0-0" 300 20 "$out/frame-300x20"
reframe "$out/coffee-24x20-0-0-0" 4000 4000 "$out/frame-4000x4000"
{ printf '\x17\x13'; cat "$out/coffee-24x20-0-0-0"; } >"$out/sized-24x20"
{ printf '\x3f\x13'; cat "$out/coffee-70x20-0-0-0"; } >"$out/sized-64x20"
{ printf '\x0b\x08'; pixels "$work/coffee-12x9.ppm"; } >"$out/round-trip-12x9"

# ---- none_block: plain blocks cut out of CR files, and one written here.
out=$corpus/none_block
blocks "$work/coffee-24x20-rect256.cr" n "$out/coffee-24x20"
blocks "$work/coffee-70x20-rect64.cr" n "$out/coffee-70x20"
printf '\x01\x01\xff\x00\x00\x00\xff\x00\x00\x00\xff\x80\x80\x80' >"$out/rgb-2x2"

# ---- r64_pack: small images with every pixel type, level filter and rectangle size.
out=$corpus/r64_pack
pixels "$work/coffee-12x9.ppm" >"$work/coffee-12x9.bytes"
pixels "$work/coffee-24x20.ppm" >"$work/coffee-24x20.bytes"
pixels "$work/camera-16x41.pgm" >"$work/camera-16x41.bytes"
pixels "$work/camera-64x40.pgm" >"$work/camera-64x40.bytes"
pixels "$work/camera-66x20.pgm" | head -c 700 >"$work/bits-70x10.bytes"
pack "$out/colour-12x9-rect64" 12 9 P 0 64 "$work/coffee-12x9.bytes"
pack "$out/colour-24x20-fft-rect256" 24 20 P 1 256 "$work/coffee-24x20.bytes"
pack "$out/grey-16x41-rect128" 16 41 G 0 128 "$work/camera-16x41.bytes"
pack "$out/grey-64x40-fft-rect64" 64 40 G 1 64 "$work/camera-64x40.bytes"
pack "$out/bits-70x10-rect256" 70 10 B 0 256 "$work/bits-70x10.bytes"

du -sh "$corpus"
for target in "$corpus"/*/; do echo "$(basename "$target"): $(ls "$target" | wc -l) files"; done
