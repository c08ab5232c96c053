// Builds level n+1 of an R64 file from level n with a 2x2 box filter: each target pixel is the
// floor of the mean of its four source pixels, byte by byte. Source pixels beyond an odd right or
// bottom edge are answered by the handle's out-of-range mode. The source is visited tile by tile.
#include <cstdio>

#include "r64.hpp"
#include "r64/file/r64_new_level.hpp"
#include "u_math.hpp"

using namespace level_internal;

namespace {

int fail(int code) {
  r64_error = code;
  return -1;
}

}  // namespace

int level_internal::write_out(R64_FILE* f, int level, int x, int y) {
  unsigned int result[3] = {0, 0, 0};
  unsigned char col[3] = {0, 0, 0};
  for (int dx = 0; dx < 2; ++dx) {
    for (int dy = 0; dy < 2; ++dy) {
      // A refused read leaves col as the previous read left it; only a system error stops.
      if (system_failure(r64_red(col, f, x + dx, y + dy, level))) return -1;
      result[0] += col[0];
      result[1] += col[1];
      result[2] += col[2];
    }
  }
  for (int k = 0; k < 3; ++k) col[k] = static_cast<unsigned char>(result[k] >> 2);
  return system_failure(r64_set(f, x / 2, y / 2, level + 1, col)) ? -1 : 0;
}

int r64_new_level(R64_FILE* f, int level) { return r64_new_level_lofi(f, level); }

int r64_new_level_lofi(R64_FILE* f, int level) {
  if (!r64_check_level(f, level)) return fail(kR64NoLevel);
  int w = f->level_w[level];
  int h = f->level_h[level];
  if (half_up(w) == 0 || half_up(h) == 0) return fail(kR64NoLevel);

  int total = (w * h) / (kTileSide * kTileSide);
  int remain = total;
  // Each source tile fills one 32x32 quarter of a target tile before the pass moves on.
  for (int i = 0; i < w; i += kTileSide) {
    for (int j = 0; j < h; j += kTileSide) {
      std::printf("total = %i/%i  \r", remain, total);
      --remain;
      int lim_w = w - i < kTileSide ? w - i : kTileSide;
      int lim_h = h - j < kTileSide ? h - j : kTileSide;
      for (int n = 0; n < lim_w; n += 2)
        for (int m = 0; m < lim_h; m += 2)
          if (write_out(f, level, i + n, j + m) < 0) return -1;
    }
  }
  std::printf("\n");
  return 0;
}
