// Reads a rectangle of an R64 level into 4-byte pixels through the tile cache: tile by tile, tile
// columns left to right and each top to bottom, the order in which reading the rectangle column by
// column first meets the tiles, so the cache loads and keeps the same tiles.
#include <algorithm>

#include "cr_internal.hpp"
#include "r64_tile.hpp"

namespace {

using cr_internal::put_pixel;

// Reads the rectangle column by column through r64_red; bit pixels read as 0 or 255.
int read_pixels_one_by_one(CR_BUFFER& rect, R64_FILE* r64, int level) {
  for (int x = 0; x < rect.w_len; ++x)
    for (int y = 0; y < rect.h_len; ++y) {
      unsigned char* pixel = rect.buf + 4 * (static_cast<size_t>(y) * rect.w_len + x);
      if (r64_red(pixel, r64, rect.w_ofs + x, rect.h_ofs + y, level) < 0) return -1;
      pixel[1] = pixel[2] = pixel[0];
      pixel[3] = 0;
    }
  return 0;
}

// Copies the pixels of one tile that lie in the rectangle into rect.buf as 4-byte pixels (the
// fourth byte 0); one-byte pixels serve as red, green and blue.
template <int kBytes>
void copy_tile_part(CR_BUFFER& rect, const R64_CACHE_ENT* tile, int x0, int x1, int y0, int y1) {
  for (int y = y0; y < y1; ++y) {
    const unsigned char* in =
        tile->buf + (static_cast<size_t>(y - tile->h_ofs) * tile->w_len + (x0 - tile->w_ofs)) * kBytes;
    unsigned char* out = rect.buf + 4 * (static_cast<size_t>(y - rect.h_ofs) * rect.w_len + (x0 - rect.w_ofs));
    for (int x = x0; x < x1; ++x, in += kBytes, out += 4) {
      if constexpr (kBytes == 3)
        put_pixel(out, in[0], in[1], in[2]);
      else
        put_pixel(out, in[0], in[0], in[0]);
    }
  }
}

}  // namespace

namespace cr_internal {

// Bit files go pixel by pixel; the others copy whole tile parts.
int read_r64_rect(CR_BUFFER& rect, R64_FILE* r64, int level) {
  if (r64->header.type == 'B') return read_pixels_one_by_one(rect, r64, level);
  if (!r64_internal::laid_out(r64, level)) return r64_internal::fail(kR64NoLevel);
  bool one_byte = r64->header.type == 'G';
  int right = rect.w_ofs + rect.w_len;
  int bottom = rect.h_ofs + rect.h_len;
  for (int x0 = rect.w_ofs; x0 < right; x0 = (x0 / kTileSide + 1) * kTileSide) {
    int x1 = std::min(right, (x0 / kTileSide + 1) * kTileSide);
    for (int y0 = rect.h_ofs; y0 < bottom; y0 = (y0 / kTileSide + 1) * kTileSide) {
      int y1 = std::min(bottom, (y0 / kTileSide + 1) * kTileSide);
      const R64_CACHE_ENT* tile = r64_internal::find_tile(r64, x0, y0, level);
      if (tile == nullptr) return -1;
      if (one_byte)
        copy_tile_part<1>(rect, tile, x0, x1, y0, y1);
      else
        copy_tile_part<3>(rect, tile, x0, x1, y0, y1);
    }
  }
  r64_error = kR64Ok;
  return 0;
}

}  // namespace cr_internal
