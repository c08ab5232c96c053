#!/usr/bin/env bash
# Builds and runs every test three times: the optimised build, a build under AddressSanitizer and
# UndefinedBehaviorSanitizer, and one under ThreadSanitizer (the tools run their phases on every
# core), with a few seconds of every fuzz target after the first. Exits non-zero on the first
# failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
# Each stage's start, with the seconds since the first.
stage() { echo "== ${SECONDS} s: $*"; }

# Without link-time optimisation: every test program would otherwise optimise the library again
# as it links, for minutes, and the code under test is the same.
stage "the optimised build and its tests"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPPM2R64_BENCH=OFF -DPPM2R64_LTO=OFF
cmake --build "$root/build" -j "$jobs"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

# A short run of every fuzz target; fuzz/run.sh 600 searches longer.
stage "the fuzz targets"
"$root/fuzz/run.sh" 3

stage "AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S "$root" -B "$root/build-sanitize" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPPM2R64_SANITIZE=ON
cmake --build "$root/build-sanitize" -j "$jobs"
# The memory ceilings measure what AddressSanitizer inflates: the optimised build checks them. The
# fault sweeps fail at most 20 positions of each call here (the ends and a spread), every one there.
FAULT_SWEEP_MOST=20 ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$root/build-sanitize" --output-on-failure -j "$jobs" \
  -E '^(HostileCr\.BlocksPaddedToTheirLargestStayWithinTheStatedMemory|HostileFile\.PaddedBlocksKeepTheServerWithinItsMemory)$'

stage "ThreadSanitizer"
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPPM2R64_TSAN=ON
cmake --build "$root/build-tsan" -j "$jobs"
# Left to the other two builds: the fault sweeps (they run on one thread), the memory ceilings
# (ThreadSanitizer inflates what they measure), and the largest images and cr2ppm's sweeps of every
# coding and damage, which take minutes here; the Threads tests run cr2ppm's threads here.
tsan_left_out=(
  '(FaultInjection|HostileCr|HostileFile)\..*'
  'FolderTest\.ConcurrentLargeImagesKeepTheServerWithinItsBands'
  'HttpRulesTest\.LargeImagesAreSentAsTheyAreMade'
  'Cr2ppm\.(DamagedFilesFailCleanly|EveryCodingComesBackAsTheRuleRebuildsIt|PhotosComeBackAsTheRuleRebuildsThem)'
  'CrCoding\.EveryRectangleMeetsThePsnrTarget'
)
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$root/build-tsan" --output-on-failure -j "$jobs" \
  -E "^($(IFS='|'; echo "${tsan_left_out[*]}"))\$"
stage "done"
