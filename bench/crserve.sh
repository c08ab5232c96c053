#!/usr/bin/env bash
# Loads crserve on the CR file of a SIDE x SIDE mosaic of the bundled photos (default 16384) with
# random full-resolution tiles from 8 keep-alive clients over loopback for 10 s each: first with
# no tile cache (every tile rebuilt and encoded), then with the default cache warmed with 1024
# tiles. Prints tiles/s, latency percentiles, failures and the server's peak memory, then the time
# the viewer page takes to show its first screen of tiles in headless Chromium (when installed).
#   bench/crserve.sh [SIDE]
# Environment: BUILD (build folder, default build-bench), WORK (scratch folder, default
# /tmp/crserve-bench), CLIENTS (8), SECONDS_EACH (10), THREADS (crserve -threads; default its own),
# CRSERVE (the server loaded, default the build's: another build's, to compare two versions).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-bench}
work=${WORK:-/tmp/crserve-bench}
side=${1:-16384}
clients=${CLIENTS:-8}
seconds=${SECONDS_EACH:-10}
threads=(${THREADS:+-threads "$THREADS"})
server=${CRSERVE:-$build/crserve}

. "$root/bench/crserve-common.sh"

# Level and tile grid of the full-resolution Deep Zoom level.
level=0
while [ $((1 << level)) -lt "$side" ]; do level=$((level + 1)); done
tiles=$(((side + 255) / 256))

run() {  # label cache_mb distinct
  local port peak
  start_server "$cr" "${threads[@]}" -cache "$2"
  port=$(echo "$url" | sed -n 's/.*:\([0-9]*\)\/$/\1/p')
  printf "%-9s " "$1"
  "$build/bench/crserve_load" 127.0.0.1 "$port" "$level" "$tiles" "$tiles" "$clients" "$seconds" "$3" || true
  peak=$(awk '/^VmHWM:/ { print int($2 / 1024) }' "/proc/$pid/status")
  printf "%-9s server peak RSS %s MiB (-cache %s)\n" "" "$peak" "$2"
  stop_server
}

echo "$server on $cr ($side x $side), $clients clients, $seconds s each, $(nproc) cores"
run uncached 0 0
run cached 64 1024

# The viewer's first screen, each run with an empty browser cache and a fresh server.
if [ -x /usr/bin/chromium ] && [ -x /usr/bin/chromedriver ]; then
  start_server "$cr" "${threads[@]}"
  /usr/bin/python3 "$root/bench/first_screen.py" "$url" 1 || true
  stop_server
fi
