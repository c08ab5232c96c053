#!/usr/bin/env bash
# Builds and runs every test three times: the optimised build, a build under AddressSanitizer and
# UndefinedBehaviorSanitizer, and one under ThreadSanitizer (the tools run their phases on every
# core), with a few seconds of every fuzz target after the first. Exits non-zero on the first
# failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPPM2R64_BENCH=OFF
cmake --build "$root/build" -j "$jobs"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

# A short run of every fuzz target; fuzz/run.sh 600 searches longer.
"$root/fuzz/run.sh" 5

cmake -S "$root" -B "$root/build-sanitize" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPPM2R64_SANITIZE=ON
cmake --build "$root/build-sanitize" -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$root/build-sanitize" --output-on-failure -j "$jobs"

cmake -S "$root" -B "$root/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPPM2R64_TSAN=ON
cmake --build "$root/build-tsan" -j "$jobs"
# The fault sweeps and the memory ceilings run one thread or measure what ThreadSanitizer inflates:
# the other two builds cover them.
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$root/build-tsan" --output-on-failure -j "$jobs" \
  -E '^(FaultInjection|HostileCr|HostileFile)\.'

