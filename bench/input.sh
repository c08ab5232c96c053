#!/usr/bin/env bash
# Times "-ir" on one mosaic of the bundled photos stored as an uncompressed TIFF, a PNG and a JPEG
# (quality 90), against "-pr" of the same pixels as PPM (TIFF) and against the image library alone
# decoding the file row by row (PNG, JPEG), with the peak memory of every run.
#   bench/input.sh [SIDE]        default: 16384
# Environment: BUILD (build folder, default build-bench), WORK (scratch folder, default
# /tmp/ppm2r64-input-bench; needs about 3 GB free for 16384, all removed at the end unless KEEP=1).
# Needs the vips command (Debian's libvips-tools) to write the TIFF, PNG and JPEG files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-bench}
work=${WORK:-/tmp/ppm2r64-input-bench}
side=${1:-16384}

command -v vips >/dev/null || { echo "bench/input.sh: vips not found (apt-get install libvips-tools)" >&2; exit 1; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ppm2r64 make_mosaic measure image_floor >/dev/null
mkdir -p "$work"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT

image=$work/mosaic-$side
[ -f "$image.ppm" ] || "$build/bench/make_mosaic" "$image.ppm" "$side" "$root"/samples/*.p?m
[ -f "$image.tif" ] || vips tiffsave "$image.ppm" "$image.tif"
[ -f "$image.png" ] || vips pngsave "$image.ppm" "$image.png"
[ -f "$image.jpg" ] || vips jpegsave "$image.ppm" "$image.jpg" --Q 90

# Every run starts with its input in the page cache and no dirty pages left by the one before.
measure() {  # label command...  ->  prints a line, leaves the seconds in $seconds
  local label=$1 rss status
  shift
  cat "${@: -2:1}" >/dev/null 2>&1 || true
  sync
  read -r seconds rss status < <("$build/bench/measure" "$@")
  [ "$status" = 0 ] || { echo "$label failed (status $status)" >&2; exit 1; }
  printf '%-28s %8.2f s %9.1f MiB\n' "$label" "$seconds" "$(awk -v r="$rss" 'BEGIN { print r / 1024 }')"
}

floor() {  # label format file  ->  the library alone; leaves the seconds in $seconds
  cat "$3" >/dev/null
  seconds=$("$build/bench/image_floor" "$2" "$3" | awk '{ print $2 }')
  printf '%-28s %8.2f s\n' "$1" "$seconds"
}

ratio() { awk -v a="$2" -v b="$3" -v what="$1" 'BEGIN { printf "  %-36s %.2f\n", what, a / b }'; }

echo "mosaic $side x $side: $(du -m "$image.ppm" | cut -f1) MB PPM, $(du -m "$image.tif" | cut -f1) MB TIFF," \
  "$(du -m "$image.png" | cut -f1) MB PNG, $(du -m "$image.jpg" | cut -f1) MB JPEG"
measure "-pr PPM" "$build/ppm2r64" -pr "$image.ppm" "$work/out.r64"; pr=$seconds
measure "-ir TIFF (uncompressed)" "$build/ppm2r64" -ir "$image.tif" "$work/out.r64"; tif=$seconds
ratio "-ir TIFF / -pr PPM (target <= 1.1)" "$tif" "$pr"
floor "libspng alone, row by row" png "$image.png"; png_floor=$seconds
measure "-ir PNG" "$build/ppm2r64" -ir "$image.png" "$work/out.r64"; png=$seconds
ratio "-ir PNG / libspng (target <= 1.2)" "$png" "$png_floor"
floor "libjpeg-turbo alone, by rows" jpeg "$image.jpg"; jpeg_floor=$seconds
measure "-ir JPEG (q90)" "$build/ppm2r64" -ir "$image.jpg" "$work/out.r64"; jpeg=$seconds
ratio "-ir JPEG / libjpeg-turbo (target <= 1.2)" "$jpeg" "$jpeg_floor"
