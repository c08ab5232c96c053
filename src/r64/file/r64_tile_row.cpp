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

// Reads the n bytes at `offset` of one or more tiles, from a row of a tile on. What lies beyond the
// end of the file is the background on a read-write handle, as in the tiles the cache creates: the
// pattern goes on from where the file stops, since reads start on a pixel boundary. Returns the
// bytes the file held (fewer than n only at its end), or -1 with r64_error set.
ssize_t read_part(const R64_FILE* f, unsigned char* into, size_t n, off_t offset) {
  const ssize_t got = fd_io::read_at(f->fd, into, n, offset);
  if (got < 0) return fail(kR64System);
  if (static_cast<size_t>(got) < n && f->fctl != 0) fill_background_pattern(f, into + got, n - got, static_cast<size_t>(got));
  return got;
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

// Reads an area of a level for read_pixels, row of tiles after row of tiles: whole tiles with one
// read for the row, others tile by tile, only the rows wanted. A read-only handle refuses the area
// at the first tile the file does not wholly hold, in the order reading column by column meets
// them; the length of the file comes from a read that stopped at its end, or from the system when
// only some rows of tiles are read.
class AreaReader {
 public:
  AreaReader(const R64_FILE* f, int level, const PixelArea& area, unsigned char* out, size_t out_stride,
             std::span<unsigned char> scratch)
      : f_(f), level_(level), area_(area), out_(out), out_stride_(out_stride), scratch_(scratch), checked_(f->fctl != 0) {}

  int read() {
    for (int top = area_.y - area_.y % kTileSide; top < area_.y + area_.h; top += kTileSide)
      if (read_row_of_tiles(top) < 0) return -1;
    return 0;
  }

 private:
  int read_row_of_tiles(int top) {
    const int right = area_.x + area_.w;
    const TilePlace first = tile_place(f_, level_, area_.x, top);
    const TilePlace last = tile_place(f_, level_, right - 1, top);
    const int y0 = std::max(area_.y, top), y1 = std::min(area_.y + area_.h, top + first.h_len);
    const size_t run = last.end() - first.offset;
    const bool whole = y0 == top && y1 == top + first.h_len && run <= scratch_.size();
    if (whole ? read_whole(first, run) < 0 : check_length() < 0) return -1;
    for (TilePlace tile = first;; tile = tile_place(f_, level_, tile.w_ofs + kTileSide, top)) {
      const unsigned char* bytes = scratch_.data() + (whole ? tile.offset - first.offset : 0);
      if (!whole && read_rows(tile, y0 - top, y1 - top) < 0) return -1;
      const int x0 = std::max(area_.x, tile.w_ofs), x1 = std::min(right, tile.w_ofs + tile.w_len);
      unsigned char* into = out_ + 4 * (static_cast<size_t>(y0 - area_.y) * out_stride_ + static_cast<size_t>(x0 - area_.x));
      spread_tile_part(f_->header.type, tile, bytes + (whole ? static_cast<size_t>(y0 - top) * tile.stride : 0), x0, x1, y0,
                       y1, into, out_stride_);
      if (tile.w_ofs == last.w_ofs) return 0;
    }
  }

  // The tiles of a row of tiles, `run` bytes from `first` on, with one read.
  int read_whole(const TilePlace& first, size_t run) {
    const ssize_t got = read_part(f_, scratch_.data(), run, first.offset);
    if (got < 0) return -1;
    if (static_cast<size_t>(got) == run || f_->fctl != 0) return 0;
    return checked_ ? cut_meanwhile() : refuse(static_cast<off_t>(first.offset) + got);
  }

  // Rows r0 .. r1 - 1 of `tile`.
  int read_rows(const TilePlace& tile, int r0, int r1) {
    const size_t n = static_cast<size_t>(r1 - r0) * static_cast<size_t>(tile.stride);
    const ssize_t got = read_part(f_, scratch_.data(), n, static_cast<off_t>(tile.offset) + static_cast<off_t>(r0) * tile.stride);
    if (got < 0) return -1;
    return static_cast<size_t>(got) == n || f_->fctl != 0 ? 0 : cut_meanwhile();
  }

  // Before rows of tiles are read only in part: whether the file holds all the area's tiles whole.
  int check_length() {
    if (checked_) return 0;
    const off_t length = file_length_of(f_);
    if (length < 0) return -1;
    if (!each_tile_by_columns(f_, level_, area_, [&](const TilePlace& tile) { return held(tile, length); })) return refuse(length);
    checked_ = true;
    return 0;
  }

  int refuse(off_t length) {
    each_tile_by_columns(f_, level_, area_, [&](const TilePlace& tile) {
      if (held(tile, length)) return true;
      missing(tile, length);
      return false;
    });
    return -1;
  }

  static int cut_meanwhile() {
    errno = EIO;  // the file was cut since its length was had
    return fail(kR64System);
  }

  const R64_FILE* f_;
  const int level_;
  const PixelArea area_;
  unsigned char* const out_;
  const size_t out_stride_;
  const std::span<unsigned char> scratch_;
  bool checked_;  // every tile of the area is known to be whole in the file, or need not be
};

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
  const ssize_t got = read_part(f, into, static_cast<size_t>(tile.bytes()), tile.offset);
  if (got < 0) return -1;
  if (got < tile.bytes() && f->fctl == 0) return missing(tile, static_cast<off_t>(tile.offset) + got);
  return 0;
}

int read_pixels(const R64_FILE* f, int level, const PixelArea& area, unsigned char* out, size_t out_stride,
                std::span<unsigned char> scratch) {
  return AreaReader(f, level, area, out, out_stride, scratch).read();
}

}  // namespace r64_internal
