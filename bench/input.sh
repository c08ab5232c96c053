#!/usr/bin/env bash
# Times "-ir" on one mosaic of the bundled photos stored as an uncompressed TIFF, a PNG and a JPEG
# (quality 90), against "-pr" of the same pixels as PPM (TIFF) and against the image library alone
# decoding the file row by row (PNG, JPEG), with the peak memory of every run. "-ir" decodes the
# next band while the one before is stored; the runs with "-threads 1" show it without that.
#   bench/input.sh [SIDE]        default: 16384
# Every figure is the best of RUNS runs (default 3): the machine is shared, and the slower runs
# measure the neighbours. The R64 output goes to OUT (default /dev/shm, memory), so that the
# figures are the tool's work and not the disk's write-back, which is the same for every input.
# Environment: BUILD (build folder, default build-bench), WORK (scratch folder, default
# /tmp/ppm2r64-input-bench; needs about 2 GB free for 16384, all removed at the end unless KEEP=1).
# Needs the vips command (Debian's libvips-tools) to write the TIFF, PNG and JPEG files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-bench}
work=${WORK:-/tmp/ppm2r64-input-bench}
side=${1:-16384}
runs=${RUNS:-3}
out=${OUT:-/dev/shm}
[ -d "$out" ] && [ -w "$out" ] || out=$work

command -v vips >/dev/null || { echo "bench/input.sh: vips not found (apt-get install libvips-tools)" >&2; exit 1; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ppm2r64 make_mosaic measure image_floor >/dev/null
mkdir -p "$work"
output=$out/ppm2r64-input-bench-$$.r64
if [ "${KEEP:-0}" = 1 ]; then trap 'rm -f "$output"' EXIT; else trap 'rm -rf "$work" "$output"' EXIT; fi

image=$work/mosaic-$side
[ -f "$image.ppm" ] || "$build/bench/make_mosaic" "$image.ppm" "$side" "$root"/samples/*.p?m
[ -f "$image.tif" ] || vips tiffsave "$image.ppm" "$image.tif"
[ -f "$image.png" ] || vips pngsave "$image.ppm" "$image.png"
[ -f "$image.jpg" ] || vips jpegsave "$image.ppm" "$image.jpg" --Q 90

# Every run starts with its input in the page cache and no dirty pages left by the one before.
measure() {  # label input command...  ->  prints the best run, leaves its seconds in $seconds
  local label=$1 input=$2 best=0 peak=0 s rss status
  shift 2
  for _ in $(seq "$runs"); do
    cat "$input" >/dev/null
    rm -f "$output"
    sync
    read -r s rss status < <("$build/bench/measure" "$@")
    [ "$status" = 0 ] || { echo "$label failed (status $status)" >&2; exit 1; }
    best=$(awk -v a="$best" -v b="$s" 'BEGIN { print (a == 0 || b < a) ? b : a }')
    peak=$((rss > peak ? rss : peak))
  done
  seconds=$best
  printf '%-30s %8.2f s %9.1f MiB peak\n' "$label" "$seconds" "$(awk -v r="$peak" 'BEGIN { print r / 1024 }')"
}

floor() {  # label format file  ->  the library alone, best run; leaves the seconds in $seconds
  local best=0 s
  for _ in $(seq "$runs"); do
    cat "$3" >/dev/null
    s=$("$build/bench/image_floor" "$2" "$3" | awk '{ print $2 }')
    best=$(awk -v a="$best" -v b="$s" 'BEGIN { print (a == 0 || b < a) ? b : a }')
  done
  seconds=$best
  printf '%-30s %8.2f s\n' "$1" "$seconds"
}

ratio() { awk -v a="$2" -v b="$3" -v what="$1" 'BEGIN { printf "  %-36s %.2f\n", what, a / b }'; }

echo "mosaic $side x $side: $(du -m "$image.ppm" | cut -f1) MB PPM, $(du -m "$image.tif" | cut -f1) MB TIFF," \
  "$(du -m "$image.png" | cut -f1) MB PNG, $(du -m "$image.jpg" | cut -f1) MB JPEG"
echo "best of $runs runs; output in $out"
measure "-pr PPM" "$image.ppm" "$build/ppm2r64" -pr "$image.ppm" "$output"; pr=$seconds
measure "-ir TIFF (uncompressed)" "$image.tif" "$build/ppm2r64" -ir "$image.tif" "$output"; tif=$seconds
ratio "-ir TIFF / -pr PPM (target <= 1.1)" "$tif" "$pr"
floor "libspng alone, row by row" png "$image.png"; png_floor=$seconds
measure "-ir PNG" "$image.png" "$build/ppm2r64" -ir "$image.png" "$output"; png=$seconds
ratio "-ir PNG / libspng (target <= 1.2)" "$png" "$png_floor"
measure "-ir PNG, one thread" "$image.png" "$build/ppm2r64" -threads 1 -ir "$image.png" "$output"
ratio "one thread / libspng" "$seconds" "$png_floor"
floor "libjpeg-turbo alone, by rows" jpeg "$image.jpg"; jpeg_floor=$seconds
measure "-ir JPEG (q90)" "$image.jpg" "$build/ppm2r64" -ir "$image.jpg" "$output"; jpeg=$seconds
ratio "-ir JPEG / libjpeg-turbo (target <= 1.2)" "$jpeg" "$jpeg_floor"
measure "-ir JPEG, one thread" "$image.jpg" "$build/ppm2r64" -threads 1 -ir "$image.jpg" "$output"
ratio "one thread / libjpeg-turbo" "$seconds" "$jpeg_floor"
