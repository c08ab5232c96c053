#!/usr/bin/env bash
# Times reading a CR file back on mosaics of the bundled photos: "-x" of level 0 beside the floor
# of decoding every block once on one thread (decode_floor), with peak memory, and "-xr" of a
# 1024 x 1024 region in the middle of level 0; on one thread and on every core. Medians of three
# runs, warm page cache.
#   bench/cr2ppm.sh [SIDE ...]          default: 16384
# Environment: BUILD (build folder, default build-bench), WORK (scratch folder, default
# /tmp/ppm2r64-bench; needs about 2 GB free for 16384), RECT (rectangle size, default 256).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-bench}
work=${WORK:-/tmp/ppm2r64-bench}
rect=${RECT:-256}
sides=("$@")
[ ${#sides[@]} -gt 0 ] || sides=(16384)

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ppm2r64 cr2ppm make_mosaic measure decode_floor >/dev/null
mkdir -p "$work"

# Median of three runs of a command writing OUT: "<seconds> <max_rss_kib>". Each run starts with
# OUT gone and no dirty pages, so that none pays for writing back or dropping another's output.
median3() {
  local out=$1
  shift
  for _ in 1 2 3; do
    rm -f "$out"
    sync
    read -r s rss status < <("$build/bench/measure" "$@")
    [ "$status" = 0 ] || { echo "failed: $*" >&2; exit 1; }
    echo "$s $rss"
  done | sort -n | sed -n 2p
}

printf '%-6s %-24s %8s %9s\n' side phase seconds 'RSS MiB'
for side in "${sides[@]}"; do
  image=$work/mosaic-$side.ppm
  packed=$work/read-$side-$rect.cr
  [ -f "$image" ] || "$build/bench/make_mosaic" "$image" "$side" "$root"/samples/*.p?m
  if [ ! -f "$packed" ]; then
    "$build/ppm2r64" -pr "$image" "$work/read.r64" -l -crsize "$rect" -cr "$packed" >/dev/null
    rm -f "$work/read.r64"
  fi
  cat "$packed" >/dev/null

  floors=$(for _ in 1 2 3; do "$build/bench/decode_floor" "$packed" | awk '/^seconds/ { print $2 }'; done)
  floor=$(echo "$floors" | sort -n | sed -n 2p)
  printf '%-6s %-24s %8.3f\n' "$side" 'decode floor' "$floor"
  for threads in 1 "$(nproc)"; do
    read -r sx rss < <(median3 "$work/back.ppm" "$build/cr2ppm" -threads "$threads" -x "$packed" 0 "$work/back.ppm")
    printf '%-6s %-24s %8.3f %9.1f\n' "$side" "-x level 0, $threads thr" "$sx" "$(awk -v r="$rss" 'BEGIN { print r / 1024 }')"
    awk -v x="$sx" -v f="$floor" 'BEGIN { printf "       -x / decode floor = %.2f\n", x / f }'
  done
  at=$(((side - 1024) / 2 + 37))
  for threads in 1 "$(nproc)"; do
    read -r sr rss < <(median3 "$work/region.ppm" "$build/cr2ppm" -threads "$threads" -xr "$packed" 0 "$at" "$at" 1024 1024 "$work/region.ppm")
    printf '%-6s %-24s %8.3f %9.1f\n' "$side" "-xr 1024 x 1024, $threads thr" "$sr" "$(awk -v r="$rss" 'BEGIN { print r / 1024 }')"
  done
  rm -f "$work/back.ppm" "$work/region.ppm"
done
