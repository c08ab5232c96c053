#!/usr/bin/env bash
# What crserve costs beyond tiles:
# 1. IIIF full/max of the CR file of a SIDE x SIDE mosaic of the bundled photos (default 16384) at
#    the default limit (4096 x 4096): its time and the server's peak memory, beside the time
#    `cr2ppm -x` takes for the level it reads (the coarsest at least as large: level 2 of 16384);
#    then 16 such requests at once, with the server's peak memory (-cache 0, so that it is the
#    server's own).
# 2. A folder of COUNT small CR files (default 10000, in 100 subfolders): the time of the list and
#    of a first tile of a random image, and the server's memory after listing and a first tile of
#    50 random images, beside the same on a folder of 10 files.
#   bench/crserve-images.sh [SIDE] [COUNT]
# Environment: BUILD (build folder, default build-bench), WORK (scratch folder, default
# /tmp/crserve-bench), CRSERVE (the server, default the build's).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-bench}
work=${WORK:-/tmp/crserve-bench}
side=${1:-16384}
count=${2:-10000}
server=${CRSERVE:-$build/crserve}

. "$root/bench/crserve-common.sh"

mib() { awk -v f="$1" '$1 == f":" { print int($2 / 1024) }' "/proc/$pid/status"; }

echo "$server, $(nproc) cores"
echo "== full/max of $cr ($side x $side)"
start_server "$cr" -cache 0
for run in 1 2 3; do
  curl -s -o /dev/null -w "full/max run $run: %{time_total} s, %{size_download} bytes\n" "${url}iiif/full/max/0/default.jpg"
done
echo "server peak RSS $(mib VmHWM) MiB"
stop_server
level=0
while [ $((side >> (level + 1))) -ge 4096 ]; do level=$((level + 1)); done
for run in 1 2 3; do
  /usr/bin/time -f "cr2ppm -x level $level run $run: %e s, peak %M KiB" "$build/cr2ppm" -x "$cr" "$level" /dev/shm/crserve-bench-level.ppm >/dev/null
done
rm -f /dev/shm/crserve-bench-level.ppm
start_server "$cr" -cache 0
start=$(date +%s%N)
clients=()
for _ in $(seq 16); do
  curl -s -o /dev/null "${url}iiif/full/max/0/default.jpg" &
  clients+=($!)
done
wait "${clients[@]}"
echo "16 full/max at once: $((($(date +%s%N) - start) / 1000000)) ms, server peak RSS $(mib VmHWM) MiB"
stop_server

# A folder of n copies of one small CR file in 100 subfolders.
make_folder() {
  local dir=$1 n=$2 small=$work/small.cr
  if [ ! -f "$small" ]; then
    { printf 'P6\n96 64\n255\n'; head -c $((96 * 64 * 3)) /dev/urandom; } >"$work/small.ppm"
    "$build/ppm2r64" -pr "$work/small.ppm" "$work/small.r64" -l -cr "$small" >/dev/null
  fi
  [ -d "$dir" ] && [ "$(find "$dir" -name '*.cr' | wc -l)" -eq "$n" ] && return
  rm -rf "$dir"
  for i in $(seq 0 $((n - 1))); do
    mkdir -p "$dir/d$((i % 100))"
    cp "$small" "$dir/d$((i % 100))/image$i.cr"
  done
}

folder_run() {  # dir n
  start_server "$1" -cache 0
  curl -s -o /dev/null -w "list of $2 images: %{time_total} s\n" "$url"
  local i=$(((RANDOM * 32768 + RANDOM) % $2))
  curl -s -o /dev/null -w "first tile of image$i: %{time_total} s (%{http_code})\n" "${url}dzi/d$((i % 100))%2Fimage${i}_files/7/0_0.jpg"
  for _ in $(seq 50); do
    i=$(((RANDOM * 32768 + RANDOM) % $2))
    curl -s -o /dev/null "${url}dzi/d$((i % 100))%2Fimage${i}_files/7/0_0.jpg"
  done
  echo "after the list and 51 first tiles: server RSS $(mib VmRSS) MiB, peak $(mib VmHWM) MiB"
  stop_server
}

echo "== folders"
make_folder "$work/folder-10" 10
make_folder "$work/folder-$count" "$count"
folder_run "$work/folder-10" 10
folder_run "$work/folder-$count" "$count"
folder_run "$work/folder-$count" "$count"
