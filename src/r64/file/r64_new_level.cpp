// Builds level n+1 of an R64 file from level n with a 2x2 box filter: each target pixel is the
// floor of the mean of its four source pixels, byte by byte. Source pixels beyond an odd right or
// bottom edge are answered by the handle's out-of-range mode. The source is visited tile by tile,
// each source tile filling one 32x32 quarter of a target tile, target tile after target tile; with
// more than one thread, the quarters of a row of blocks are computed on every thread.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <vector>

#include "r64.hpp"
#include "r64/file/r64_new_level.hpp"
#include "parallel.hpp"
#include "r64/file/r64_io.hpp"
#include "r64/file/r64_tile.hpp"
#include "u_math.hpp"

using namespace level_internal;
using r64_internal::fail;

namespace {

constexpr int kQuarter = kTileSide / 2;

// The quarter of a target tile that one source tile reduces to, computed from the source tile's
// buffer at once. It gives exactly the pixels that write_out gives one by one (same reads, same
// sums), and touches the cache in the same order: the source tile first, then the target tile.
class TileReduction {
 public:
  TileReduction(R64_FILE* f, int level, int i, int j, int lim_w, int lim_h)
      : f_(f), level_(level), i_(i), j_(j), lim_w_(lim_w), lim_h_(lim_h), bytes_(f->header.type == 'P' ? 3 : 1) {}

  // Pixel types and out-of-range modes this path serves; the others go pixel by pixel.
  static bool serves(const R64_FILE* f) { return f->header.type != 'B' && (f->rc_type == 0 || f->rc_type == 1); }

  // 0, or -1 after a system error. Refused lookups fall back to the pixel-by-pixel pass.
  int run(bool* done) {
    *done = false;
    const R64_CACHE_ENT* source = r64_internal::find_tile(f_, i_, j_, level_);
    if (source == nullptr) return system_failure(-1) ? -1 : 0;
    average(source);
    *done = true;
    return store();
  }

  // The quarter from a copy of the source tile: reads nothing but the tile and the handle's
  // settings, so quarters are computed on any thread.
  void average_copy(const R64_CACHE_ENT& source) { average(&source); }

  // Writes the quarter into its target tile through the cache. 0, or -1 after a system error.
  int store() {
    int target_level = level_ + 1;
    if (target_level >= kLevels || f_->level_ofs[target_level] == 0) {
      r64_error = kR64NoLevel;  // writes to a level that is not laid out are refused silently
      return 0;
    }
    R64_CACHE_ENT* target = r64_internal::find_tile(f_, i_ / 2, j_ / 2, target_level);
    if (target == nullptr) return system_failure(-1) ? -1 : 0;
    int qx = i_ / 2 - target->w_ofs;
    int qy = j_ / 2 - target->h_ofs;
    int row_bytes = (lim_w_ + 1) / 2 * bytes_;
    for (int m = 0; m < (lim_h_ + 1) / 2; ++m)
      std::memcpy(target->buf + ((qy + m) * target->w_len + qx) * bytes_, &quarter_[m * kQuarter * 3], row_bytes);
    target->flags |= kDirty;
    r64_error = kR64Ok;
    return 0;
  }

 private:
  // Byte k of source pixel (x, y) of this tile, (x, y) up to one beyond the tile's last column or
  // row; beyond the level's edge answered as r64_red answers it.
  unsigned read(const R64_CACHE_ENT* source, int x, int y, int k) const {
    bool beyond = x >= lim_w_ || y >= lim_h_;
    if (beyond && f_->rc_type == 0) return static_cast<unsigned char>(f_->background[k]);
    x = std::min(x, lim_w_ - 1);
    y = std::min(y, lim_h_ - 1);
    return source->buf[(y * source->w_len + x) * bytes_ + k];
  }

  void average(const R64_CACHE_ENT* source) {
    if (bytes_ == 3)
      average_inside<3>(source);
    else
      average_inside<1>(source);
    // An odd last column or row pairs with pixels beyond the level's edge.
    for (int m = 0; m < lim_h_; m += 2)
      if (lim_w_ % 2 == 1) average_at_edge(source, lim_w_ - 1, m);
    if (lim_h_ % 2 == 1)
      for (int n = 0; n < lim_w_ - lim_w_ % 2; n += 2) average_at_edge(source, n, lim_h_ - 1);
  }

  // Every target pixel whose four source pixels all lie in the tile: the rows of a pair are added
  // first, byte by byte (vector code), then neighbouring pixels of the sums.
  template <int kBytes>
  void average_inside(const R64_CACHE_ENT* source) {
    int stride = source->w_len * kBytes;
    int pairs = lim_w_ / 2;
    std::array<uint16_t, kTileSide * 3> column_sums;
    for (int m = 0; m + 1 < lim_h_; m += 2) {
      const unsigned char* top = source->buf + m * stride;
      const unsigned char* bottom = top + stride;
      for (int x = 0; x < 2 * pairs * kBytes; ++x) column_sums[x] = static_cast<uint16_t>(top[x] + bottom[x]);
      unsigned char* out = &quarter_[(m / 2) * kQuarter * 3];
      const uint16_t* sum = column_sums.data();
      for (int n = 0; n < pairs; ++n, sum += 2 * kBytes, out += kBytes)
        for (int k = 0; k < kBytes; ++k) out[k] = static_cast<unsigned char>((sum[k] + sum[k + kBytes]) >> 2);
    }
  }

  void average_at_edge(const R64_CACHE_ENT* source, int n, int m) {
    unsigned char* out = &quarter_[(m / 2) * kQuarter * 3 + (n / 2) * bytes_];
    for (int k = 0; k < bytes_; ++k)
      out[k] = static_cast<unsigned char>(
          (read(source, n, m, k) + read(source, n, m + 1, k) + read(source, n + 1, m, k) + read(source, n + 1, m + 1, k)) >>
          2);
  }

  R64_FILE* f_;
  int level_, i_, j_, lim_w_, lim_h_, bytes_;
  std::array<unsigned char, kQuarter * kQuarter * 3> quarter_;
};

// One source tile, pixel pair by pixel pair through the pixel calls.
int reduce_pixel_by_pixel(R64_FILE* f, int level, int i, int j, int lim_w, int lim_h) {
  for (int n = 0; n < lim_w; n += 2)
    for (int m = 0; m < lim_h; m += 2)
      if (write_out(f, level, i + n, j + m) < 0) return -1;
  return 0;
}

int reduce_tile(R64_FILE* f, int level, int i, int j, int lim_w, int lim_h) {
  if (TileReduction::serves(f)) {
    bool done;
    TileReduction reduction(f, level, i, j, lim_w, lim_h);
    if (reduction.run(&done) < 0) return -1;
    if (done) return 0;
  }
  return reduce_pixel_by_pixel(f, level, i, j, lim_w, lim_h);
}


// A source tile of a row of blocks: its place, its quarter, and how reading it straight from the
// file went: read, failed (with errno), or cut short.
struct SourceTile {
  int i, j, lim_w, lim_h;
  TileReduction reduction;
  ssize_t got = 0;
  int error = 0;
};

// The source tile at (i, j) of `level`, read straight from the file into `buf`: the level is wholly
// in the file and the cache was written back, so the file holds what the cache would give. Returns
// the bytes read, or -1 with errno set.
ssize_t read_source_tile(const R64_FILE* f, int level, int i, int j, unsigned char* buf, R64_CACHE_ENT* tile) {
  tile->level = static_cast<signed char>(level);
  tile->w_ofs = i;
  tile->h_ofs = j;
  tile->w_len = static_cast<signed char>(std::min(kTileSide, f->level_w[level] - i));
  tile->h_len = static_cast<signed char>(std::min(kTileSide, f->level_h[level] - j));
  tile->buf = buf;
  size_t bytes = static_cast<size_t>(r64_internal::tile_bytes(f->header.type, tile->w_len, tile->h_len));
  off_t offset = r64_internal::tile_offset(f, level, i, j, tile->h_len);
  ssize_t got = r64_internal::read_at(f->fd, buf, bytes, offset);
  return got == static_cast<ssize_t>(bytes) ? got : got < 0 ? -1 : 0;
}

// Reduces a row of blocks on every thread: the quarters are computed from source tiles read
// straight from the file, then stored through the cache in the order one thread stores them, with
// the same progress lines. A failed read ends the pass as it ends it on one thread; a tile the file
// no longer holds whole takes the one-thread path, which says what is missing.
int reduce_block_row_in_parallel(R64_FILE* f, int level, std::vector<SourceTile>& tiles, int& remain, int total) {
  parallel_for(static_cast<int>(tiles.size()), [&](int k) {
    thread_local std::array<unsigned char, kTileBytesP> buf;
    SourceTile& tile = tiles[static_cast<size_t>(k)];
    R64_CACHE_ENT source{};
    tile.got = read_source_tile(f, level, tile.i, tile.j, buf.data(), &source);
    tile.error = errno;
    if (tile.got > 0) tile.reduction.average_copy(source);
  });
  for (SourceTile& tile : tiles) {
    std::printf("total = %i/%i  \r", remain, total);
    --remain;
    if (tile.got < 0) {
      errno = tile.error;
      return fail(kR64System);
    }
    int result = tile.got > 0 ? tile.reduction.store() : reduce_tile(f, level, tile.i, tile.j, tile.lim_w, tile.lim_h);
    if (result < 0) return -1;
  }
  return 0;
}

bool reduces_in_parallel(const R64_FILE* f) { return TileReduction::serves(f) && parallel_threads() > 1; }

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
  int present = r64_check_level(f, level);
  if (present < 0) return -1;
  if (present == 0) return fail(kR64NoLevel);
  int w = f->level_w[level];
  int h = f->level_h[level];
  if (half_up(w) == 0 || half_up(h) == 0) return fail(kR64NoLevel);

  int total = (w * h) / (kTileSide * kTileSide);
  int remain = total;
  // Source tiles are taken in blocks of 2 x 2, the four that make one target tile, and the blocks
  // row by row: every target tile is finished before the next one is started, so it is written
  // back once, in file order, whatever the width of the level.
  constexpr int kBlock = 2 * kTileSide;
  bool parallel = reduces_in_parallel(f);
  // With threads, the source level is read straight from the file: the cache must hold nothing newer.
  if (parallel && r64_flush(f) < 0) return -1;
  std::vector<SourceTile> tiles;
  for (int top = 0; top < h; top += kBlock) {
    tiles.clear();
    for (int left = 0; left < w; left += kBlock) {
      for (int i = left; i < std::min(w, left + kBlock); i += kTileSide) {
        for (int j = top; j < std::min(h, top + kBlock); j += kTileSide) {
          int lim_w = std::min(w - i, kTileSide);
          int lim_h = std::min(h - j, kTileSide);
          if (parallel) {
            tiles.push_back(SourceTile{i, j, lim_w, lim_h, TileReduction(f, level, i, j, lim_w, lim_h)});
            continue;
          }
          std::printf("total = %i/%i  \r", remain, total);
          --remain;
          if (reduce_tile(f, level, i, j, lim_w, lim_h) < 0) return -1;
        }
      }
    }
    if (parallel && reduce_block_row_in_parallel(f, level, tiles, remain, total) < 0) return -1;
  }
  std::printf("\n");
  return 0;
}
