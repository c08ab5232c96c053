// The floor of the JPEG work of packing an R64 file: every rectangle of every level compressed
// once at the packing quality and every rectangle above level 0 decoded once, through the same
// codec calls as the writer. Pixels are loaded level by level beforehand and not timed.
//   jpeg_floor FILE.r64 [RECT_SIZE]   (all levels built; RECT_SIZE 256 by default)
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "change_endian.hpp"
#include "jpeg.hpp"
#include "r64.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Rect {
  int w = 0;
  int h = 0;
  std::vector<unsigned char> pixels;  // 4 bytes a pixel, as the codec takes them
};

struct Totals {
  double compress_seconds = 0;
  double decode_seconds = 0;
  long compressed = 0;
  long decoded = 0;
  double pixels = 0;
};

// Every rectangle of one level, read through the R64 layer.
bool load_level(R64_FILE* f, int level, int side, std::vector<Rect>* rects) {
  rects->clear();
  int lw = f->level_w[level];
  int lh = f->level_h[level];
  unsigned char pixel[3];
  for (int y0 = 0; y0 < lh; y0 += side)
    for (int x0 = 0; x0 < lw; x0 += side) {
      Rect r{std::min(side, lw - x0), std::min(side, lh - y0), {}};
      r.pixels.assign(4 * static_cast<size_t>(r.w) * r.h, 0);
      for (int y = 0; y < r.h; ++y)
        for (int x = 0; x < r.w; ++x) {
          if (r64_red(pixel, f, x0 + x, y0 + y, level) < 0) return false;
          unsigned char* out = &r.pixels[4 * (static_cast<size_t>(y) * r.w + x)];
          std::copy(pixel, pixel + 3, out);
        }
      rects->push_back(std::move(r));
    }
  return true;
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void time_level(const std::vector<Rect>& rects, bool decode, Totals* totals) {
  std::vector<std::pair<unsigned char*, int>> streams;
  auto start = Clock::now();
  for (const Rect& r : rects) {
    int size = 0;
    streams.emplace_back(jpeg_compress(&size, r.pixels.data(), r.w, r.h, kJpegQuality), 0);
    streams.back().second = size;
  }
  totals->compress_seconds += seconds_since(start);
  totals->compressed += static_cast<long>(rects.size());
  if (decode) {
    start = Clock::now();
    for (const auto& [stream, size] : streams) {
      int w = 0;
      int h = 0;
      std::free(jpeg_uncompress(&w, &h, stream, size));
    }
    totals->decode_seconds += seconds_since(start);
    totals->decoded += static_cast<long>(rects.size());
  }
  for (const auto& stream : streams) std::free(stream.first);
  for (const Rect& r : rects) totals->pixels += static_cast<double>(r.w) * r.h;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: jpeg_floor FILE.r64 [RECT_SIZE]\n");
    return 2;
  }
  int side = argc > 2 ? std::atoi(argv[2]) : 256;
  if (side < 16 || side > 256) {
    std::fprintf(stderr, "rectangle size must lie in 16..256\n");
    return 2;
  }
  check_endian();
  r64_init();
  R64_FILE* f = r64_open_file(argv[1], O_RDONLY, 0644, 'P', 0, 0);
  if (f == nullptr) {
    std::fprintf(stderr, "r64 error: %i\n", r64_error);
    return 1;
  }
  Totals totals;
  std::vector<Rect> rects;
  for (int level = 0; level < kLevels && f->level_ofs[level] != 0; ++level) {
    if (!load_level(f, level, side, &rects)) {
      std::fprintf(stderr, "level %i: r64 error: %i\n", level, r64_error);
      return 1;
    }
    time_level(rects, level > 0, &totals);
  }
  r64_close_file(f);

  double seconds = totals.compress_seconds + totals.decode_seconds;
  std::printf("rectangles %ld compressed, %ld decoded\n", totals.compressed, totals.decoded);
  std::printf("compress_seconds %.4f\n", totals.compress_seconds);
  std::printf("decode_seconds %.4f\n", totals.decode_seconds);
  std::printf("seconds %.4f\n", seconds);
  std::printf("megapixels_per_second %.2f\n", totals.pixels / 1e6 / seconds);
  return 0;
}
