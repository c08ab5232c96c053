// Reads a rectangle of an R64 level into 4-byte pixels through the tile cache: tile by tile, tile
// columns left to right and each top to bottom, the order in which reading the rectangle column by
// column first meets the tiles, so the cache loads and keeps the same tiles. A read-only handle's
// cache holds nothing the file does not, so its rectangles can also be read straight from the file,
// on any thread.
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "cr_internal.hpp"
#include "r64_tile.hpp"
#include "r64_io.hpp"

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

// Copies a 3-byte pixel that another byte follows, with one read and one write.
void put_pixel_of_word(unsigned char* out, const unsigned char* in) {
  uint32_t word;
  std::memcpy(&word, in, 4);
  word &= std::endian::native == std::endian::little ? 0x00FFFFFFu : 0xFFFFFF00u;
  std::memcpy(out, &word, 4);
}

// Spreads `count` 3-byte pixels into 4-byte pixels, the fourth byte 0. Reads stay inside the
// row: every read of four bytes is followed by the next pixel, and the last pixel goes alone.
void spread_pixels_plain(const unsigned char* in, unsigned char* out, int count) {
  int x = 0;
  for (; x + 1 < count; ++x, in += 3, out += 4) put_pixel_of_word(out, in);
  for (; x < count; ++x, in += 3, out += 4) put_pixel(out, in[0], in[1], in[2]);
}

#if defined(__x86_64__) || defined(__i386__)
// Four pixels per byte shuffle, where the processor has one. A read of 16 bytes covers five
// pixels and a byte of a sixth, so the vector loop stops while six pixels remain.
[[gnu::target("ssse3")]] void spread_pixels_shuffled(const unsigned char* in, unsigned char* out, int count) {
  const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  int x = 0;
  for (; x + 6 <= count; x += 4, in += 12, out += 16)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), spread));
  spread_pixels_plain(in, out, count - x);
}

void spread_pixels(const unsigned char* in, unsigned char* out, int count) {
  static const bool shuffles = __builtin_cpu_supports("ssse3");
  if (shuffles)
    spread_pixels_shuffled(in, out, count);
  else
    spread_pixels_plain(in, out, count);
}
#else
void spread_pixels(const unsigned char* in, unsigned char* out, int count) { spread_pixels_plain(in, out, count); }
#endif

// Copies the pixels of one tile that lie in the rectangle into rect.buf as 4-byte pixels (the
// fourth byte 0); one-byte pixels serve as red, green and blue.
template <int kBytes>
void copy_tile_part(CR_BUFFER& rect, const R64_CACHE_ENT* tile, int x0, int x1, int y0, int y1) {
  for (int y = y0; y < y1; ++y) {
    const unsigned char* in =
        tile->buf + (static_cast<size_t>(y - tile->h_ofs) * tile->w_len + (x0 - tile->w_ofs)) * kBytes;
    unsigned char* out = rect.buf + 4 * (static_cast<size_t>(y - rect.h_ofs) * rect.w_len + (x0 - rect.w_ofs));
    if constexpr (kBytes == 3)
      spread_pixels(in, out, x1 - x0);
    else
      for (int x = x0; x < x1; ++x, ++in, out += 4) put_pixel(out, in[0], in[0], in[0]);
  }
}

// Calls `visit(x0, x1, y0, y1)` for the part of every tile the rectangle covers, in the order the
// cache meets them: tile columns left to right, each top to bottom.
template <typename Visit>
bool each_tile_part(const CR_BUFFER& rect, Visit visit) {
  int right = rect.w_ofs + rect.w_len;
  int bottom = rect.h_ofs + rect.h_len;
  for (int x0 = rect.w_ofs; x0 < right; x0 = (x0 / kTileSide + 1) * kTileSide)
    for (int y0 = rect.h_ofs; y0 < bottom; y0 = (y0 / kTileSide + 1) * kTileSide)
      if (!visit(x0, std::min(right, (x0 / kTileSide + 1) * kTileSide), y0,
                 std::min(bottom, (y0 / kTileSide + 1) * kTileSide)))
        return false;
  return true;
}

// The tile of `level` whose top-left pixel is (w_ofs, h_ofs), as the file stores it.
R64_CACHE_ENT tile_at(const R64_FILE* r64, int level, int w_ofs, int h_ofs) {
  R64_CACHE_ENT tile{};
  tile.level = static_cast<signed char>(level);
  tile.w_ofs = w_ofs;
  tile.h_ofs = h_ofs;
  tile.w_len = static_cast<signed char>(std::min(kTileSide, r64->level_w[level] - w_ofs));
  tile.h_len = static_cast<signed char>(std::min(kTileSide, r64->level_h[level] - h_ofs));
  return tile;
}

unsigned int offset_of(const R64_FILE* r64, const R64_CACHE_ENT& tile) {
  return r64_internal::tile_offset(r64, tile.level, tile.w_ofs, tile.h_ofs, tile.h_len);
}

off_t bytes_of(const R64_FILE* r64, const R64_CACHE_ENT& tile) {
  return r64_internal::tile_bytes(r64->header.type, tile.w_len, tile.h_len);
}

// The code the cache would leave for the first tile of the rectangle that a file of `length`
// bytes does not wholly hold, or 0.
int missing_tile_code(const CR_BUFFER& rect, const R64_FILE* r64, int level, off_t length) {
  int code = kR64Ok;
  each_tile_part(rect, [&](int x0, int, int y0, int) {
    R64_CACHE_ENT tile = tile_at(r64, level, x0 - x0 % kTileSide, y0 - y0 % kTileSide);
    off_t offset = offset_of(r64, tile);
    if (offset + bytes_of(r64, tile) <= length) return true;
    code = offset < length ? kR64Short : kR64ReadOnly;
    return false;
  });
  return code;
}

}  // namespace

namespace cr_internal {

bool reads_in_parallel(const R64_FILE* r64, int level) {
  return r64->fctl == 0 && (r64->header.type == 'P' || r64->header.type == 'G') && r64_internal::laid_out(r64, level);
}

// The tiles of a row of tiles lie side by side in the file: each row of tiles the rectangle
// covers takes one positional read.
int read_r64_rect_direct(CR_BUFFER& rect, const R64_FILE* r64, int level, std::span<unsigned char> band) {
  struct stat st;
  if (fstat(r64->fd, &st) != 0) return kR64System;
  if (int code = missing_tile_code(rect, r64, level, st.st_size); code != kR64Ok) return code;
  int last_column = (rect.w_ofs + rect.w_len - 1) / kTileSide * kTileSide;
  for (int y0 = rect.h_ofs - rect.h_ofs % kTileSide; y0 < rect.h_ofs + rect.h_len; y0 += kTileSide) {
    R64_CACHE_ENT first = tile_at(r64, level, rect.w_ofs - rect.w_ofs % kTileSide, y0);
    R64_CACHE_ENT last = tile_at(r64, level, last_column, y0);
    size_t bytes = offset_of(r64, last) + bytes_of(r64, last) - offset_of(r64, first);
    if (bytes > band.size()) return kR64OutOfRange;
    if (r64_internal::read_at(r64->fd, band.data(), bytes, offset_of(r64, first)) != static_cast<ssize_t>(bytes))
      return kR64System;
    for (R64_CACHE_ENT tile = first; tile.w_ofs <= last_column; tile = tile_at(r64, level, tile.w_ofs + kTileSide, y0)) {
      tile.buf = band.data() + (offset_of(r64, tile) - offset_of(r64, first));
      int x0 = std::max(rect.w_ofs, tile.w_ofs), x1 = std::min(rect.w_ofs + rect.w_len, tile.w_ofs + tile.w_len);
      int y1 = std::min(rect.h_ofs + rect.h_len, tile.h_ofs + tile.h_len);
      if (r64->header.type == 'G')
        copy_tile_part<1>(rect, &tile, x0, x1, std::max(rect.h_ofs, y0), y1);
      else
        copy_tile_part<3>(rect, &tile, x0, x1, std::max(rect.h_ofs, y0), y1);
    }
  }
  return kR64Ok;
}

// Bit files go pixel by pixel; the others copy whole tile parts.
int read_r64_rect(CR_BUFFER& rect, R64_FILE* r64, int level) {
  if (r64->header.type == 'B') return read_pixels_one_by_one(rect, r64, level);
  if (!r64_internal::laid_out(r64, level)) return r64_internal::fail(kR64NoLevel);
  bool one_byte = r64->header.type == 'G';
  bool read = each_tile_part(rect, [&](int x0, int x1, int y0, int y1) {
    const R64_CACHE_ENT* tile = r64_internal::find_tile(r64, x0, y0, level);
    if (tile == nullptr) return false;
    if (one_byte)
      copy_tile_part<1>(rect, tile, x0, x1, y0, y1);
    else
      copy_tile_part<3>(rect, tile, x0, x1, y0, y1);
    return true;
  });
  if (!read) return -1;
  r64_error = kR64Ok;
  return 0;
}

}  // namespace cr_internal
