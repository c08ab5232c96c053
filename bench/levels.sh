#!/usr/bin/env bash
# Times "-l" (box filter) and "-lh" (windowed FFT) building all levels of the R64 file of a
# photo-like mosaic, with peak memory. Throughput counts the source pixels of every pass.
#   bench/levels.sh [SIDE ...]      default: 16384
# Environment: BUILD (Release build folder, default build-levels-rel), WORK (scratch folder,
# default /tmp/ppm2r64-levels; needs about 2.5 GB free for 16384), SKIP_HIFI=1 to time "-l" only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-levels-rel}
work=${WORK:-/tmp/ppm2r64-levels}
sides=("$@")
[ ${#sides[@]} -gt 0 ] || sides=(16384)

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ppm2r64 make_mosaic measure >/dev/null
mkdir -p "$work"

level_pixels() {  # source pixels of every pass: each laid-out level but the last is read once
  local w=$1 h=$2 sum=0
  while [ "$w" -ge 3 ] && [ "$h" -ge 3 ]; do
    sum=$((sum + w * h))
    w=$(((w + 1) / 2))
    h=$(((h + 1) / 2))
  done
  echo "$sum"
}

printf '%-6s %-4s %9s %9s %9s\n' side cmd seconds 'MP/s' 'RSS MiB'
for side in "${sides[@]}"; do
  image=$work/mosaic-$side.ppm
  base=$work/level0-$side.r64
  [ -f "$image" ] || "$build/bench/make_mosaic" "$image" "$side" "$root"/samples/*.p?m
  [ -f "$base" ] || "$build/ppm2r64" -pr "$image" "$base" >/dev/null
  mp=$(level_pixels "$side" "$side")
  commands=(-l)
  [ "${SKIP_HIFI:-0}" = 1 ] || commands+=(-lh)
  for cmd in "${commands[@]}"; do
    cp "$base" "$work/run.r64"
    cat "$work/run.r64" >/dev/null  # warm page cache
    read -r s rss status < <("$build/bench/measure" "$build/ppm2r64" -t "$work/run.r64" "$cmd")
    [ "$status" = 0 ] || { echo "$cmd failed" >&2; exit 1; }
    awk -v side="$side" -v cmd="$cmd" -v s="$s" -v rss="$rss" -v mp="$mp" \
      'BEGIN { printf "%-6s %-4s %9.2f %9.1f %9.1f\n", side, cmd, s, mp / 1e6 / s, rss / 1024 }'
  done
  rm -f "$work/run.r64"
done
