// Level 0 of a new R64 file of type 'P' from bands of 64 rows, whatever reads them: each band is
// stored tile by tile, so every tile is created once and written back once (a reader that can
// reads the next band meanwhile), and the file is written beside its target and renamed over it
// when complete.
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "parallel.hpp"
#include "ppm2r64.hpp"
#include "r64.hpp"

namespace {

bool fits_r64(unsigned int side) { return side >= 3 && side <= static_cast<unsigned int>(kMaxSide); }

// Stores a band tile by tile, left to right. Writing a tile's first pixel with r64_set makes it
// the newest tile of the cache (creating it, and writing back the oldest tile to make room) and
// marks it changed; its buffer, from r64_plane, then takes the band's rows whole.
int store_band(R64_FILE* f, const unsigned char* band, int width, int top, int rows) {
  size_t band_row = static_cast<size_t>(width) * kPixelBytes;
  for (int left = 0; left < width; left += kTileSide) {
    const unsigned char* first = band + static_cast<size_t>(left) * kPixelBytes;
    if (r64_set(f, left, top, 0, first) != 0) return -1;
    unsigned char* tile;
    int tile_width, tile_height, tile_size;
    if (r64_plane(&tile, &tile_width, &tile_height, &tile_size, f, left, top, 0) != 0) return -1;
    size_t tile_row = static_cast<size_t>(tile_width) * kPixelBytes;
    for (int y = 0; y < rows; ++y) std::memcpy(tile + y * tile_row, first + y * band_row, tile_row);
  }
  return 0;
}

// Stores band after band. A reader that overlaps reads the next band while the band before is
// stored, on two threads when there are; the bands and the file are the same either way.
void store_bands(R64_FILE* f, int width, int height, BandReader& bands) {
  const size_t band_bytes = static_cast<size_t>(kTileSide) * width * kPixelBytes;
  std::vector<unsigned char> current(band_bytes), next(bands.overlaps() ? band_bytes : 0);
  auto rows_of = [height](int top) { return std::min(kTileSide, height - top); };
  bands.read(current, 0, rows_of(0));
  bands.report(0, rows_of(0));
  for (int top = 0; top < height; top += kTileSide) {
    const int next_top = top + kTileSide;
    if (!bands.overlaps()) {
      if (store_band(f, current.data(), width, top, rows_of(top)) != 0) exit_r64_failure();
      if (next_top < height) bands.read(current, next_top, rows_of(next_top));
      continue;
    }
    int stored = 0;
    parallel_for(next_top < height ? 2 : 1, [&](int task) {
      if (task == 0) stored = store_band(f, current.data(), width, top, rows_of(top));
      else bands.read(next, next_top, rows_of(next_top));
    });
    if (stored != 0) exit_r64_failure();
    if (next_top < height) bands.report(next_top, rows_of(next_top));
    current.swap(next);
  }
}

}  // namespace

[[noreturn]] void exit_r64_failure() {
  std::fprintf(stderr, "R64 %i\n", r64_error);
  std::perror("system ");
  std::exit(1);
}

void check_r64_size(unsigned int width, unsigned int height) {
  if (fits_r64(width) && fits_r64(height)) return;
  std::fprintf(stderr, "unsupported image size %ix%i\n", static_cast<int>(width), static_cast<int>(height));
  std::exit(1);
}

void write_level_zero(const char* from, const char* to, int width, int height, BandReader& bands) {
  ReplacingFile out;
  if (!open_output(out, from, to)) exit_r64_failure();
  R64_FILE* f = r64_open_file(out.path(), O_RDWR, 0644, 'P', width, height);
  if (f == nullptr) exit_r64_failure();
  r64_ctl(f, 0, 1);  // reads beyond an edge answer with the nearest edge pixel
  store_bands(f, width, height, bands);
  std::printf("\nEND\n");
  std::fflush(stdout);
  if (r64_close_file(f) != 0) exit_r64_failure();
  if (!out.commit()) {
    r64_error = kR64System;
    exit_r64_failure();
  }
}
