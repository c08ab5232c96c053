#!/usr/bin/env bash
# Times each phase of the whole job ("-pr", "-l", "-cr") on mosaics of the bundled photos, with
# peak memory, beside the floor of the JPEG work and, where Debian's libvips-tools is installed,
# vips writing a 256-pixel JPEG-tiled pyramid of the same image on one thread.
#   bench/pipeline.sh [SIDE ...]        default: 4096 8192 16384
# Environment: BUILD (build folder, default build-bench), WORK (scratch folder, default
# /tmp/ppm2r64-bench; needs about 4 GB free for 16384), HIFI=1 to time "-lh" as well (slow).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-bench}
work=${WORK:-/tmp/ppm2r64-bench}
sides=("$@")
[ ${#sides[@]} -gt 0 ] || sides=(4096 8192 16384)

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ppm2r64 make_mosaic measure jpeg_floor >/dev/null
mkdir -p "$work"

# Source pixels of every level pass: each laid-out level is read once.
level_pixels() {
  local w=$1 h=$2 sum=0
  while [ "$w" -ge 3 ] && [ "$h" -ge 3 ]; do
    sum=$((sum + w * h))
    w=$(((w + 1) / 2))
    h=$(((h + 1) / 2))
  done
  echo "$sum"
}

report() {  # phase side seconds rss_kib megapixels
  awk -v phase="$1" -v side="$2" -v s="$3" -v rss="$4" -v mp="$5" \
    'BEGIN { printf "%-6s %-18s %8.2f %9.1f %9.1f\n", side, phase, s, mp / s, rss / 1024 }'
}

# Each phase starts with the page cache warm and no dirty pages left by the one before, so that
# no phase pays for writing back another's output.
measure() {
  sync
  "$build/bench/measure" "$@"
}

printf '%-6s %-18s %8s %9s %9s\n' side phase seconds 'MP/s' 'RSS MiB'
for side in "${sides[@]}"; do
  image=$work/mosaic-$side.ppm
  [ -f "$image" ] || "$build/bench/make_mosaic" "$image" "$side" "$root"/samples/*.p?m
  cat "$image" >/dev/null
  mp0=$(awk -v p="$((side * side))" 'BEGIN { print p / 1e6 }')
  mpl=$(awk -v p="$(level_pixels "$side" "$side")" 'BEGIN { print p / 1e6 }')

  read -r s1 rss status < <(measure "$build/ppm2r64" -pr "$image" "$work/m.r64")
  [ "$status" = 0 ] || { echo "-pr failed" >&2; exit 1; }
  report '-pr' "$side" "$s1" "$rss" "$mp0"
  if [ "${HIFI:-0}" = 1 ]; then
    cp "$work/m.r64" "$work/hifi.r64"
    read -r sh rss status < <(measure "$build/ppm2r64" -t "$work/hifi.r64" -lh)
    [ "$status" = 0 ] || { echo "-lh failed" >&2; exit 1; }
    report '-lh (source px)' "$side" "$sh" "$rss" "$mpl"
    rm -f "$work/hifi.r64"
  fi
  read -r s2 rss status < <(measure "$build/ppm2r64" -t "$work/m.r64" -l)
  [ "$status" = 0 ] || { echo "-l failed" >&2; exit 1; }
  report '-l (source px)' "$side" "$s2" "$rss" "$mpl"
  read -r s3 rss status < <(measure "$build/ppm2r64" -t "$work/m.r64" -cr "$work/m.cr")
  [ "$status" = 0 ] || { echo "-cr failed" >&2; exit 1; }
  report '-cr' "$side" "$s3" "$rss" "$mp0"
  whole=$(awk -v a="$s1" -v b="$s2" -v c="$s3" 'BEGIN { print a + b + c }')
  report 'whole job' "$side" "$whole" 0 "$mp0"

  floor=$("$build/bench/jpeg_floor" "$work/m.r64" 256 | awk '/^seconds/ { print $2 }')
  report 'JPEG floor' "$side" "$floor" 0 "$mp0"
  awk -v cr="$s3" -v f="$floor" 'BEGIN { printf "       -cr / JPEG floor = %.2f\n", cr / f }'

  if command -v vips >/dev/null; then
    rm -f "$work/vips.tif"
    read -r sv rss status < <(VIPS_CONCURRENCY=1 measure vips tiffsave "$image" "$work/vips.tif" --tile \
      --tile-width 256 --tile-height 256 --pyramid --compression jpeg --Q 80)
    report 'vips pyramid' "$side" "$sv" "$rss" "$mp0"
    awk -v w="$whole" -v v="$sv" 'BEGIN { printf "       whole job / vips = %.2f\n", w / v }'
  fi
  rm -f "$work/m.r64" "$work/m.cr" "$work/vips.tif"
done
