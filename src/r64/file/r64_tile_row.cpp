// Rows of tiles at their place in the file, past the tile cache: a band of pixel rows goes into its
// row of tiles with one gathering write, and tiles come back with positional reads (a row of tiles
// with one read where whole tiles are wanted), cut short as the cache would be. Nothing here
// touches the cache or any global but r64_error and r64_errno, so threads read at once while
// another thread works on the cache.
#include <sys/stat.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "fd_io.hpp"
#include "pixel_kernels.hpp"
#include "r64_tile.hpp"

using namespace r64_internal;

namespace {

// The length of the file, or -1 with r64_error set.
off_t file_length_of(const R64_FILE* f) {
  struct stat st;
  if (::fstat(f->fd, &st) != 0) return fail(kR64System);
  return st.st_size;
}

bool held(const TilePlace& tile, off_t length) { return static_cast<off_t>(tile.end()) <= length; }

// Why a read-only handle cannot load `tile` from a file of `length` bytes: it is cut short, or lies
// wholly beyond the end.
int missing(const TilePlace& tile, off_t length) {
  return fail(static_cast<off_t>(tile.offset) < length ? kR64Short : kR64ReadOnly);
}

// Reads `n` bytes at `offset` that the file holds; a read that stops short is a failure too.
int read_held(const R64_FILE* f, unsigned char* into, size_t n, off_t offset) {
  ssize_t got = fd_io::read_at(f->fd, into, n, offset);
  if (got == static_cast<ssize_t>(n)) return 0;
  if (got >= 0) errno = EIO;  // the file was cut meanwhile
  return fail(kR64System);
}

// Reads rows first .. first + rows - 1 of `tile` as the file stores them. For a tile the file does
// not wholly hold, which only a read-write handle reads, what lies beyond the file's end is the
// background, as in a tile the cache creates.
int read_tile_rows(const R64_FILE* f, const TilePlace& tile, int first, int rows, unsigned char* into, off_t length) {
  const size_t n = static_cast<size_t>(rows) * static_cast<size_t>(tile.stride);
  const off_t offset = static_cast<off_t>(tile.offset) + static_cast<off_t>(first) * tile.stride;
  if (held(tile, length)) return read_held(f, into, n, offset);
  fill_background_pattern(f, into, n);  // rows of 'P' tiles start on a pixel boundary
  if (offset >= length) return 0;
  return fd_io::read_at(f->fd, into, std::min<size_t>(n, static_cast<size_t>(length - offset)), offset) < 0 ? fail(kR64System) : 0;
}

// Calls visit(tile) for every tile that holds pixels of `area`, tile columns left to right and
// each top to bottom: the order in which reading the area column by column meets them. Stops at
// the first visit that returns false.
template <typename Visit>
bool each_tile_by_columns(const R64_FILE* f, int level, const PixelArea& area, Visit visit) {
  for (int x = area.x - area.x % kTileSide; x < area.x + area.w; x += kTileSide)
    for (int y = area.y - area.y % kTileSide; y < area.y + area.h; y += kTileSide)
      if (!visit(tile_place(f, level, x, y))) return false;
  return true;
}

// Copies the pixels of `tile` in columns x0 .. x1 - 1 and rows y0 .. y1 - 1 of the level from
// `bytes`, the tile's rows from row y0 on as the file stores them, into `out` as 4-byte pixels.
void spread_tile_part(char type, const TilePlace& tile, const unsigned char* bytes, int x0, int x1, int y0, int y1,
                      unsigned char* out, size_t out_stride) {
  const kernels::PixelKernels& k = kernels::pixel_kernels();
  for (int y = y0; y < y1; ++y, out += 4 * out_stride, bytes += tile.stride) {
    const int first = x0 - tile.w_ofs;
    if (type == 'P') {
      k.spread_pixels(bytes + 3 * first, out, x1 - x0);
    } else if (type == 'G') {
      for (int x = 0; x < x1 - x0; ++x) kernels::put_pixel(out + 4 * x, bytes[first + x], bytes[first + x], bytes[first + x]);
    } else {
      for (int x = 0; x < x1 - x0; ++x) {
        const int bit = first + x;
        const uint32_t v = bytes[bit / 8] & (0x80u >> (bit % 8)) ? 255 : 0;
        kernels::put_pixel(out + 4 * x, v, v, v);
      }
    }
  }
}

}  // namespace

int r64_write_tile_row(R64_FILE* f, int level, int top, const unsigned char* pixels) {
  if (!laid_out(f, level)) return fail(kR64NoLevel);
  if (top < 0 || top >= f->level_h[level] || top % kTileSide != 0) return fail(kR64Position);
  if (f->header.type == 'B') return fail(kR64NotR64);
  const int w = f->level_w[level];
  const int rows = std::min(kTileSide, f->level_h[level] - top);
  const size_t pixel_bytes = f->header.type == 'P' ? 3 : 1;
  // The tiles of a row of tiles lie side by side, each one row after row: the rows' pieces in that
  // order, gathered by the system from the band itself.
  std::vector<iovec> pieces;
  pieces.reserve(static_cast<size_t>(tiles_across(f, level)) * static_cast<size_t>(rows));
  for (int left = 0; left < w; left += kTileSide) {
    const size_t bytes = static_cast<size_t>(std::min(kTileSide, w - left)) * pixel_bytes;
    for (int y = 0; y < rows; ++y) {
      const unsigned char* piece = pixels + (static_cast<size_t>(y) * w + left) * pixel_bytes;
      pieces.push_back(iovec{const_cast<unsigned char*>(piece), bytes});  // only read by the system
    }
  }
  if (!fd_io::write_pieces_at(f->fd, pieces, tile_place(f, level, 0, top).offset)) return fail(kR64System);
  r64_error = kR64Ok;
  return 0;
}

namespace r64_internal {

int read_tile(const R64_FILE* f, const TilePlace& tile, unsigned char* into) {
  const off_t length = file_length_of(f);
  if (length < 0) return -1;
  if (f->fctl == 0 && !held(tile, length)) return missing(tile, length);
  return read_tile_rows(f, tile, 0, tile.h_len, into, length);
}

int read_pixels(const R64_FILE* f, int level, const PixelArea& area, unsigned char* out, size_t out_stride,
                std::span<unsigned char> scratch) {
  const off_t length = file_length_of(f);
  if (length < 0) return -1;
  const bool readable = f->fctl != 0 || each_tile_by_columns(f, level, area, [&](const TilePlace& tile) {
    if (held(tile, length)) return true;
    missing(tile, length);
    return false;
  });
  if (!readable) return -1;
  const int right = area.x + area.w;
  for (int top = area.y - area.y % kTileSide; top < area.y + area.h; top += kTileSide) {
    const TilePlace first = tile_place(f, level, area.x, top);
    const TilePlace last = tile_place(f, level, right - 1, top);
    const int y0 = std::max(area.y, top), y1 = std::min(area.y + area.h, top + first.h_len);
    unsigned char* rows_out = out + 4 * (static_cast<size_t>(y0 - area.y) * out_stride);
    // Whole tiles the file holds come with one read for the row of tiles; others tile by tile,
    // only the rows wanted.
    const size_t run = last.end() - first.offset;
    const bool whole = y0 == top && y1 == top + first.h_len && run <= scratch.size() && held(last, length);
    if (whole && read_held(f, scratch.data(), run, first.offset) < 0) return -1;
    for (TilePlace tile = first;; tile = tile_place(f, level, tile.w_ofs + kTileSide, top)) {
      const unsigned char* bytes = scratch.data() + (whole ? tile.offset - first.offset : 0);
      if (!whole && read_tile_rows(f, tile, y0 - top, y1 - y0, scratch.data(), length) < 0) return -1;
      const int x0 = std::max(area.x, tile.w_ofs), x1 = std::min(right, tile.w_ofs + tile.w_len);
      spread_tile_part(f->header.type, tile, bytes + (whole ? static_cast<size_t>(y0 - top) * tile.stride : 0), x0, x1, y0,
                       y1, rows_out + 4 * static_cast<size_t>(x0 - area.x), out_stride);
      if (tile.w_ofs == last.w_ofs) break;
    }
  }
  return 0;
}

}  // namespace r64_internal
