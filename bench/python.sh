#!/usr/bin/env bash
# Times the Python package against the command-line tools in the same run, on mosaics of the
# bundled photos:
#   - level 0 of the 16384 mosaic's CR file (rectangles of 256) read into numpy, beside
#     "cr2ppm -x" of the same level to /dev/shm; peak memory beside the array's size;
#   - a Dask sum over the lazy level-0 array on a local cluster of 2 workers, beside the in-memory
#     read and the lazy array on threads;
#   - 100 images of 4096 x 4096 (four mosaics, 25 names each) converted by the batch on a local
#     cluster of 2 workers, beside "ppm2r64 -ir IN OUT.r64 -l -cr OUT.cr" over them two at a time
#     (xargs -P 2); with and without the PSNR of level 0 in the manifest, the former also beside
#     the tools doing as much ("cr2ppm -psnr" after each conversion, over every level).
# The runs compared take turns (the tool, then Python, and again), so that other work on the
# machine weighs on both alike; medians of three with a warm page cache (BATCH_RUNS turns of the
# batch, default 1). The batch converts each image on as many threads as the tool takes (the
# cores), so that both ask the same of the system.
#   bench/python.sh
# Environment: BUILD (build folder, default build-bench), WORK (mosaics and the CR file, default
# /tmp/ppm2r64-bench; 1.2 GB), OUT (outputs, default /dev/shm/ppm2r64-bench; 7 GB while the
# batch runs), IMAGES (default 100), BATCH_SIDE (default 4096).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-bench}
work=${WORK:-/tmp/ppm2r64-bench}
out=${OUT:-/dev/shm/ppm2r64-bench}
images=${IMAGES:-100}
batch_side=${BATCH_SIDE:-4096}
batch_runs=${BATCH_RUNS:-1}
python=/usr/bin/python3

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ppm2r64 cr2ppm make_mosaic measure r64_python >/dev/null
export PYTHONPATH=$build/python:$root/python
mkdir -p "$work" "$out"
samples=("$root"/samples/*.p?m)

mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

# Reading level 0.
image=$work/mosaic-16384.ppm
packed=$work/read-16384-256.cr
[ -f "$image" ] || "$build/bench/make_mosaic" "$image" 16384 "${samples[@]}"
if [ ! -f "$packed" ]; then
  "$build/ppm2r64" -pr "$image" "$work/read.r64" -l -cr "$packed" >/dev/null
  rm -f "$work/read.r64"
fi
cat "$packed" >/dev/null
# cr2ppm -x to a fresh file with no dirty pages left ("<seconds> <max_rss_kib> <status>"), then
# the numpy read ("<seconds> <peak_kib> <baseline_kib> <array_bytes>"), three times.
tool_reads=() numpy_reads=()
for _ in 1 2 3; do
  rm -f "$out/back.ppm" && sync
  tool_reads+=("$("$build/bench/measure" "$build/cr2ppm" -x "$packed" 0 "$out/back.ppm")")
  rm -f "$out/back.ppm" && sync
  numpy_reads+=("$("$python" "$root/bench/python.py" read "$packed")")
done
read -r sx rss_x status < <(printf '%s\n' "${tool_reads[@]}" | sort -n | sed -n 2p)
[ "$status" = 0 ] || { echo "cr2ppm -x failed" >&2; exit 1; }
read -r sp peak baseline bytes < <(printf '%s\n' "${numpy_reads[@]}" | sort -n | sed -n 2p)
echo "reading level 0 of the 16384 mosaic (rectangles of 256), default threads ($(nproc))"
printf '  %-44s %8.3f s  peak %8s MiB\n' "cr2ppm -x to /dev/shm" "$sx" "$(mib "$rss_x")"
printf '  %-44s %8.3f s  peak %8s MiB\n' "CrFile.read_level(0) into numpy" "$sp" "$(mib "$peak")"
awk -v p="$sp" -v x="$sx" 'BEGIN { printf "  numpy read / cr2ppm -x = %.2f (target <= 1.1)\n", p / x }'
awk -v peak="$peak" -v base="$baseline" -v bytes="$bytes" 'BEGIN {
  printf "  peak - array = %.1f MiB, of which %.1f MiB Python, numpy and r64 before the read\n",
    peak / 1024 - bytes / 1048576, base / 1024
  print "  (target: the array + at most 64 MiB)" }'

# The Dask sum.
echo "a sum over level 0 of the 16384 mosaic (medians of three)"
"$python" "$root/bench/python.py" dask "$packed" 3 | awk '{
  printf "  %-44s %8.3f s\n", "in memory: read_level(0).sum()", $2
  printf "  %-44s %8.3f s\n", "lazy array, threads", $4
  printf "  %-44s %8.3f s   (%d chunks; the cluster started in %.1f s)\n",
    "lazy array, local cluster of 2 workers", $6, $10, $8 }'

# The batch.
inputs=()
for k in 0 1 2 3; do
  mosaic=$work/batch-$batch_side-$k.ppm
  if [ ! -f "$mosaic" ]; then
    rotated=("${samples[@]:k}" "${samples[@]:0:k}")  # another photo in each cell
    "$build/bench/make_mosaic" "$mosaic" "$batch_side" "${rotated[@]}"
  fi
  cat "$mosaic" >/dev/null
done
mkdir -p "$work/batch-in"
for ((i = 0; i < images; i++)); do
  name=$work/batch-in/image$i.ppm
  ln -sf "$work/batch-$batch_side-$((i % 4)).ppm" "$name"
  inputs+=("$name")
done
fresh() { rm -rf "$out/batch"; mkdir -p "$out/batch"; sync; }
echo "$images images of $batch_side x $batch_side"
# Wall time of the tools over the inputs two at a time; with "psnr", each conversion followed by
# cr2ppm -psnr.
tools_two_at_a_time() {
  local started
  started=$(date +%s.%N)
  printf '%s\n' "${inputs[@]}" | xargs -P 2 -I{} sh -c 'n=$(basename "$1" .ppm)
    "$2" -ir "$1" "$4/$n.r64" -l -cr "$4/$n.cr" >/dev/null
    [ "$5" != psnr ] || "$3" -psnr "$4/$n.cr" "$4/$n.r64" >/dev/null' \
    _ {} "$build/ppm2r64" "$build/cr2ppm" "$out/batch" "$1"
  awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { print b - a }'
}
cli=() cli_psnr=() whole=() converting=() no_psnr=()
for ((run = 0; run < batch_runs; run++)); do
  fresh
  cli+=("$(tools_two_at_a_time plain)")
  fresh
  read -r up conv total < <("$python" "$root/bench/python.py" batch-no-psnr "$(nproc)" "$out/batch" "${inputs[@]}")
  no_psnr+=("$conv")
  fresh
  cli_psnr+=("$(tools_two_at_a_time psnr)")
  fresh
  read -r up conv total < <("$python" "$root/bench/python.py" batch "$(nproc)" "$out/batch" "${inputs[@]}")
  whole+=("$total") converting+=("$conv")
done
rm -rf "$out/batch"
pick() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }
c=$(pick "${cli[@]}") p=$(pick "${cli_psnr[@]}") w=$(pick "${whole[@]}") v=$(pick "${converting[@]}")
n=$(pick "${no_psnr[@]}")
line() {  # label seconds [baseline label]
  if [ $# -eq 2 ]; then printf '  %-58s %8.2f s\n' "$1" "$2"; return; fi
  printf '  %-58s %8.2f s  %.2f x %s\n' "$1" "$2" "$(awk -v a="$2" -v b="$3" 'BEGIN { print a / b }')" "$4"
}
line "ppm2r64 -ir ... -l -cr ..., xargs -P 2" "$c"
line "the same, each followed by cr2ppm -psnr" "$p"
line "batch without the PSNR, on the started cluster" "$n" "$c" "the tools"
line "batch, on the started cluster" "$v" "$c" "the tools"
line "" "$v" "$p" "the tools with -psnr"
line "batch, whole (cluster start included)" "$w" "$c" "the tools"
echo "  (target: batch <= 1.1 x the tools two at a time)"
