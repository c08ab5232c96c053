#!/usr/bin/env bash
# Rate and distortion of CR files against the peers a user would publish a large image with: a
# libvips pyramid TIFF (JPEG tiles of 256, Q 30 to 95 with its other defaults; Q 85 is there because
# libvips writes RGB tiles without chroma subsampling from Q 90 on, four times the bytes of
# Q 80, so its curve needs a point short of that jump) and a GDAL cloud-optimised GeoTIFF (JPEG
# quality 80, tiles of 256, overviews by AVERAGE resampling, the filter the levels are defined by;
# GDAL's own default is CUBIC). For every file: bytes per level-0 pixel, the PSNR of each level
# against exact 2 x 2 means of the original (the levels every file holds), their mean, and SSIM of
# level 0 on a 2048 x 2048 crop; for each CR setting the byte ratio against libvips at equal PSNR;
# the encode times beside vips'; and a chart (WORK/rd.png).
#   bench/rd.sh [--quick] [--chart PNG] [IMAGE.ppm ...]
# Without images: the 8192 and 16384 photo mosaics (as bench/pipeline.sh makes them) and a
# 12000 x 10000 map made by bench/tools/make_map; --quick: a 4096 mosaic and a 3000 x 2500 map.
# The CR settings are ppm2r64 options put before -cr, one a line in RD_SETTINGS ("default" is no
# option: the classic file); a setting this ppm2r64 refuses ("invalid command", or "invalid" a
# value) is skipped with a note, so that an older build can still be measured.
# This script builds the tools, makes the inputs and runs and times the encoders, as the other
# scripts of bench/ do; bench/rd.py, given the list of files written, reads every level back with
# the format's own reader and does the numbers, tables and chart (numpy, scikit-image, matplotlib).
# Environment: BUILD (build folder, default build-bench), WORK (inputs, outputs and results,
# default /tmp/ppm2r64-rd; a full run needs about 5 GB), RD_SETTINGS, VIPS_QUALITIES (default
# "30 40 50 60 70 80 85 90 95").
# Needs: vips (libvips-tools), gdal_translate (gdal-bin), and Debian's python3-numpy,
# python3-skimage and python3-matplotlib, which /usr/bin/python3 sees.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-bench}
work=${WORK:-/tmp/ppm2r64-rd}
python=/usr/bin/python3
read -ra vips_qualities <<<"${VIPS_QUALITIES:-30 40 50 60 70 80 85 90 95}"

usage() { echo "usage: bench/rd.sh [--quick] [--chart PNG] [IMAGE.ppm ...]" >&2; exit 2; }

quick=0 chart= images=()
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --chart) [ $# -ge 2 ] || usage; chart=$2; shift ;;
    -h | --help) usage ;;
    -*) usage ;;
    *) images+=("$1") ;;
  esac
  shift
done

default_settings() {
  echo default
  for q in 50 60 70 80 90 95; do echo "-crquality $q"; done
  for q in 40 50 60 70 80 90 95; do echo "-crmode efficient -crquality $q"; done
  for p in 30 34 38; do echo "-crmode efficient -crpsnr $p"; done
}
mapfile -t settings < <(if [ -n "${RD_SETTINGS:-}" ]; then printf '%s\n' "$RD_SETTINGS"; else default_settings; fi |
  sed 's/^[[:space:]]*//; s/[[:space:]]*$//' | grep -v '^$')

for tool in vips vipsheader gdal_translate gdalinfo; do
  command -v "$tool" >/dev/null || { echo "bench/rd.sh: $tool not found (apt-get install libvips-tools gdal-bin)" >&2; exit 1; }
done
"$python" -c 'import numpy, skimage, matplotlib' 2>/dev/null ||
  { echo "bench/rd.sh: $python lacks numpy, scikit-image or matplotlib (apt-get install python3-numpy python3-skimage python3-matplotlib)" >&2; exit 1; }

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ppm2r64 cr2ppm make_mosaic make_map measure >/dev/null
tool=$build/ppm2r64
mkdir -p "$work/inputs" "$work/out"

mosaic() {  # side -> path of the mosaic PPM, made once and then kept
  local image=$work/inputs/mosaic-$1.ppm
  [ -f "$image" ] || "$build/bench/make_mosaic" "$image" "$1" "$root"/samples/*.p?m
  echo "$image"
}

map() {  # width height -> path of the map PPM, made once and then kept
  local image=$work/inputs/map-$1x$2.ppm
  [ -f "$image" ] || "$build/bench/make_map" "$image" "$1" "$2"
  echo "$image"
}

if [ ${#images[@]} -eq 0 ]; then
  if [ "$quick" = 1 ]; then
    images=("$(mosaic 4096)" "$(map 3000 2500)")
  else
    images=("$(mosaic 8192)" "$(mosaic 16384)" "$(map 12000 10000)")
  fi
fi

manifest=$work/manifest.tsv
: >"$manifest"
errors=$work/stderr.txt

record() {  # image-name image-path codec setting file seconds
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$@" >>"$manifest"
}

# Runs a command through measure; prints its wall seconds. Its standard error goes to $errors.
timed() {
  local s rss status
  read -r s rss status < <("$build/bench/measure" "$@" 2>"$errors")
  echo "$s $status"
}

slug() { [ "$1" = default ] && echo default || echo "$1" | sed 's/^-//; s/ -/-/g; s/ /-/g'; }

encode_cr() {  # name image r64 setting
  local name=$1 image=$2 r64=$3 setting=$4 options=() s status out
  [ "$setting" = default ] || read -ra options <<<"$setting"
  out=$work/out/$name/cr-$(slug "$setting").cr
  rm -f "$out"
  read -r s status < <(timed "$tool" -threads 2 -t "$r64" -crsize 256 "${options[@]}" -cr "$out")
  # ppm2r64 refuses an unknown option with "invalid command" and a bad value with "invalid ...".
  if [ "$status" = 1 ] && grep -q -e '^invalid ' -e '^too few argu*ments' "$errors"; then
    echo "  skipped \"$setting\": this ppm2r64 refuses it ($(head -n 1 "$errors"))"
    record "$name" "$image" refused "$setting" - 0
    return
  fi
  [ "$status" = 0 ] || { echo "ppm2r64 failed on \"$setting\":" >&2; cat "$errors" >&2; exit 1; }
  record "$name" "$image" cr "$([ "$setting" = default ] || echo "$setting")" "$out" "$s"
  echo "  CR $setting: ${s} s"
}

encode_vips() {  # name image quality
  local out=$work/out/$1/vips-q$3.tif s status
  rm -f "$out"
  read -r s status < <(timed vips tiffsave "$2" "$out" --tile --tile-width 256 --tile-height 256 --pyramid \
    --compression jpeg --Q "$3")
  [ "$status" = 0 ] || { cat "$errors" >&2; exit 1; }
  record "$1" "$2" vips "Q $3" "$out" "$s"
  echo "  libvips Q $3: ${s} s"
}

encode_gdal() {  # name image
  local out=$work/out/$1/gdal-q80.tif s status
  rm -f "$out"
  read -r s status < <(timed gdal_translate -q -of COG -co COMPRESS=JPEG -co QUALITY=80 -co BLOCKSIZE=256 \
    -co OVERVIEW_RESAMPLING=AVERAGE "$2" "$out")
  [ "$status" = 0 ] || { cat "$errors" >&2; exit 1; }
  record "$1" "$2" gdal "Q 80 AVERAGE" "$out" "$s"
  echo "  GDAL COG Q 80: ${s} s"
}

for image in "${images[@]}"; do
  name=$(basename "$image" .ppm)
  mkdir -p "$work/out/$name"
  echo "encoding $name"
  r64=$work/out/$name/levels.r64
  rm -f "$r64"
  read -r s status < <(timed "$tool" -threads 2 -pr "$image" "$r64" -l)
  [ "$status" = 0 ] || { cat "$errors" >&2; exit 1; }
  record "$name" "$image" prep - "$r64" "$s"
  for setting in "${settings[@]}"; do encode_cr "$name" "$image" "$r64" "$setting"; done
  rm -f "$r64"
  for q in "${vips_qualities[@]}"; do encode_vips "$name" "$image" "$q"; done
  encode_gdal "$name" "$image"
done

"$python" "$root/bench/rd.py" "$manifest" --work "$work" --cr2ppm "$build/cr2ppm" ${chart:+--chart "$chart"}
echo "bench/rd.sh: $SECONDS s in all"
