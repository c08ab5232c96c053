#!/usr/bin/env bash
# Times the whole job ("-pr IN OUT.r64 -l -cr OUT.cr" as one command) and each of its phases on
# mosaics of the bundled photos, on one thread and on the default threads, with peak memory, beside
# the peers and floors in the same run:
#   - vips writing a 256-pixel JPEG-tiled pyramid (quality 80), on one thread and on its default
#     threads: the same job for a user who publishes the image;
#   - vips writing an uncompressed 64-pixel-tiled pyramid: the bytes "-pr" and "-l" write;
#   - the JPEG floor: compressing every rectangle and decoding every parent once, on one thread;
#   - "-lh" on one thread and on the default threads (on a smaller mosaic: it is slow).
# Figures are medians of three runs with a warm page cache; ratios are taken within this run.
#   bench/pipeline.sh [SIDE ...]        default: 8192 16384
# Environment: BUILD (build folder, default build-bench), WORK (folder of the mosaics, default
# /tmp/ppm2r64-bench; 1 GB for 16384), OUT (folder of the outputs, default /dev/shm/ppm2r64-bench:
# in memory, so that the disk's writing back of earlier runs does not land on later ones; 3.5 GB
# for 16384), HIFI_SIDE (side of the "-lh" mosaic, default 4096; 0 skips it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-bench}
work=${WORK:-/tmp/ppm2r64-bench}
out=${OUT:-/dev/shm/ppm2r64-bench}
hifi_side=${HIFI_SIDE:-4096}
sides=("$@")
[ ${#sides[@]} -gt 0 ] || sides=(8192 16384)
cores=$(nproc)
tool=$build/ppm2r64

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$cores" --target ppm2r64 make_mosaic measure jpeg_floor >/dev/null
mkdir -p "$work" "$out"
command -v vips >/dev/null || echo "vips not found (Debian: libvips-tools): the peers' lines are left out" >&2

mosaic() {  # side -> path of the mosaic PPM, made once and then kept
  local image=$work/mosaic-$1.ppm
  [ -f "$image" ] || "$build/bench/make_mosaic" "$image" "$1" "$root"/samples/*.p?m
  cat "$image" >/dev/null
  echo "$image"
}

# Median of three runs: "<seconds> <max_rss_kib>". Before each run PREPARE (a shell command) runs
# untimed; then dirty pages are written back, so that no run pays for another's output.
median3() {
  local prepare=$1
  shift
  for _ in 1 2 3; do
    eval "$prepare"
    sync
    read -r s rss status < <("$build/bench/measure" "$@")
    [ "$status" = 0 ] || { echo "failed: $*" >&2; exit 1; }
    echo "$s $rss"
  done | sort -n | sed -n 2p
}

row() {  # side phase threads seconds rss_kib
  awk -v side="$1" -v phase="$2" -v t="$3" -v s="$4" -v rss="$5" \
    'BEGIN { printf "%-6s %-28s %7s %8.2f %8.1f\n", side, phase, t, s, rss / 1024 }'
}

ratio() {  # label numerator denominator target
  awk -v label="$1" -v a="$2" -v b="$3" -v target="$4" \
    'BEGIN { printf "       %-52s %6.2f   (target %s)\n", label, a / b, target }'
}

fresh_outputs() { rm -f "$out/m.r64" "$out/m.cr" "$out/v.tif"; }

printf '%-6s %-28s %7s %8s %8s\n' side phase threads seconds 'RSS MiB'
for side in "${sides[@]}"; do
  image=$(mosaic "$side")
  declare -A whole pr lv cr
  for t in 1 "$cores"; do
    read -r s rss < <(median3 fresh_outputs "$tool" -threads "$t" -pr "$image" "$out/m.r64" -l -cr "$out/m.cr")
    whole[$t]=$s; row "$side" 'whole job (-pr -l -cr)' "$t" "$s" "$rss"
    read -r s rss < <(median3 fresh_outputs "$tool" -threads "$t" -pr "$image" "$out/m.r64")
    pr[$t]=$s; row "$side" '-pr' "$t" "$s" "$rss"
    cp "$out/m.r64" "$out/level0.r64"
    read -r s rss < <(median3 "cp '$out/level0.r64' '$out/m.r64'" "$tool" -threads "$t" -t "$out/m.r64" -l)
    lv[$t]=$s; row "$side" '-l' "$t" "$s" "$rss"
    read -r s rss < <(median3 "rm -f '$out/m.cr'" "$tool" -threads "$t" -t "$out/m.r64" -cr "$out/m.cr")
    cr[$t]=$s; row "$side" '-cr' "$t" "$s" "$rss"
  done
  # The floor's own figure: its time in the codec, not in reading the R64 file.
  floor=$(for _ in 1 2 3; do "$build/bench/jpeg_floor" "$out/m.r64" 256 | awk '/^seconds/ { print $2 }'; done | sort -n | sed -n 2p)
  row "$side" 'JPEG floor' 1 "$floor" 0
  rm -f "$out/level0.r64"

  if command -v vips >/dev/null; then
    jpeg_args=(--tile --tile-width 256 --tile-height 256 --pyramid --compression jpeg --Q 80)
    read -r v1 rss < <(median3 fresh_outputs env VIPS_CONCURRENCY=1 vips tiffsave "$image" "$out/v.tif" "${jpeg_args[@]}")
    row "$side" 'vips JPEG pyramid' 1 "$v1" "$rss"
    read -r vn rss < <(median3 fresh_outputs vips tiffsave "$image" "$out/v.tif" "${jpeg_args[@]}")
    row "$side" 'vips JPEG pyramid' default "$vn" "$rss"
    read -r vu rss < <(median3 fresh_outputs vips tiffsave "$image" "$out/v.tif" --tile --tile-width 64 \
      --tile-height 64 --pyramid --compression none)
    row "$side" 'vips plain 64 pyramid' default "$vu" "$rss"
    best=$(awk -v a="$v1" -v b="$vn" 'BEGIN { print a < b ? a : b }')
    ratio "whole job / faster vips JPEG pyramid, $cores threads" "${whole[$cores]}" "$best" '<= 1.0'
    ratio "whole job / faster vips JPEG pyramid, 1 thread" "${whole[1]}" "$best" '-'
    ratio "(-pr + -l) / vips plain 64 pyramid, $cores threads" "$(awk -v a="${pr[$cores]}" -v b="${lv[$cores]}" 'BEGIN { print a + b }')" "$vu" '<= 1.0'
  fi
  ratio "-cr / JPEG floor, 1 thread" "${cr[1]}" "$floor" '<= 1.3'
  ratio "-cr / JPEG floor, $cores threads" "${cr[$cores]}" "$floor" '<= 0.8'
  fresh_outputs
  unset whole pr lv cr
done

if [ "$hifi_side" != 0 ]; then
  image=$(mosaic "$hifi_side")
  rm -f "$out/m.r64"
  "$tool" -pr "$image" "$out/level0.r64" >/dev/null
  declare -A hifi
  for t in 1 "$cores"; do
    read -r s rss < <(median3 "cp '$out/level0.r64' '$out/m.r64'" "$tool" -threads "$t" -t "$out/m.r64" -lh)
    hifi[$t]=$s; row "$hifi_side" '-lh' "$t" "$s" "$rss"
  done
  ratio "-lh speed-up, $cores threads over 1" "${hifi[1]}" "${hifi[$cores]}" '>= 1.8'
  rm -f "$out/m.r64" "$out/level0.r64"
fi
