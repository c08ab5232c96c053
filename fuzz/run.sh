#!/usr/bin/env bash
# Builds the fuzz targets (build-fuzz: clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS seconds (default 5), starting from its seed
# corpus in fuzz/corpus/TARGET, which stays untouched: new inputs go to a scratch directory.
# Exits non-zero at the first target that finds a crash, leak, timeout or failed check; the input
# is kept in build-fuzz/findings/TARGET/. Usage: fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-5}
shift $(($# > 0 ? 1 : 0))
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(ppm_header r64_file r64_pack cr_file jpeg_decode none_block png_source tiff_source jpeg_source crserve_routes)
build=$root/build-fuzz

if ! command -v clang++ >/dev/null; then
  echo "fuzz/run.sh: clang++ not found; install clang, libclang-rt-dev and llvm" >&2
  exit 1
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPPM2R64_FUZZ=ON -DBUILD_TESTING=OFF -DPPM2R64_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for target in "${targets[@]}"; do
  findings=$build/findings/$target
  mkdir -p "$scratch/$target" "$findings"
  log=$scratch/$target.log
  # -close_fd_mask=1: the library's progress lines on standard output would only slow the run.
  if ! UBSAN_OPTIONS=print_stacktrace=1 "$build/fuzz/fuzz_$target" "$scratch/$target" "$root/fuzz/corpus/$target" \
      -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -close_fd_mask=1 -print_final_stats=1 \
      -artifact_prefix="$findings/" >"$log" 2>&1; then
    tail -n 80 "$log" >&2
    echo "fuzz/run.sh: $target found a fault; the input is in $findings/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz $target: ${runs:-?} runs in ${seconds} s, nothing found"
done
