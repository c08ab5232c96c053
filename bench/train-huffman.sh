#!/usr/bin/env bash
# Trains the Huffman tables of the efficient coding on the bundled photos and a mosaic of them,
# packed at the qualities whose steps cover every class, and writes them to
# src/r64/file/cr_huffman_tables.hpp. The symbols counted are those of the blocks' coefficients,
# whatever tables coded them, so the tables in use do not change the training.
#   bench/train-huffman.sh     Environment: BUILD (default build-bench), WORK (default /tmp/ppm2r64-train)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-bench}
work=${WORK:-/tmp/ppm2r64-train}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target ppm2r64 make_mosaic train_huffman >/dev/null
mkdir -p "$work"
"$build/bench/make_mosaic" "$work/mosaic.ppm" 2048 "$root"/samples/*.p?m
files=()
for image in "$root"/samples/*.p?m "$work/mosaic.ppm"; do
  name=$(basename "${image%.*}")
  "$build/ppm2r64" -pr "$image" "$work/$name.r64" -l >/dev/null
  for quality in 100 98 95 90 80 60 40 20; do
    "$build/ppm2r64" -t "$work/$name.r64" -crmode efficient -crquality "$quality" -cr "$work/$name-$quality.cr" >/dev/null
    files+=("$work/$name-$quality.cr")
  done
done
"$build/bench/train_huffman" "${files[@]}" >"$root/src/r64/file/cr_huffman_tables.hpp"
echo "wrote src/r64/file/cr_huffman_tables.hpp from ${#files[@]} files"
