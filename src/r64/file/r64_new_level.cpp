// Builds level n+1 of an R64 file from level n with a 2x2 box filter: each target pixel is the
// floor of the mean of its four source pixels, byte by byte. Source pixels beyond an odd right or
// bottom edge are answered by the handle's out-of-range mode. The source is taken in blocks of 2 x 2
// tiles, the four that make one target tile, blocks row by row: each block is read straight from the
// file and reduced as an item of an ordered run, on as many threads as the call is given, and its
// target tile stored through the cache in order, so every target tile is written back once, in file
// order. 'B' files and out-of-range modes other than 0 and 1 go pixel by pixel through the pixel calls.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "parallel.hpp"
#include "r64.hpp"
#include "r64_new_level.hpp"
#include "r64_tile.hpp"
#include "u_math.hpp"

using namespace level_internal;
using r64_internal::fail;

namespace {

constexpr int kBlock = 2 * kTileSide;  // a block of source tiles: those of one target tile

// Pixel types and out-of-range modes the tile path serves; the others go pixel by pixel.
bool reduces_by_tiles(const R64_FILE* f) { return f->header.type != 'B' && (f->rc_type == 0 || f->rc_type == 1); }

// The source tiles of a block, in the order the pass takes them: its left column of tiles, then
// its right one, each top to bottom.
struct BlockTiles {
  int count = 0;
  std::array<std::pair<int, int>, 4> at;  // top-left pixels
};

BlockTiles tiles_of_block(int left, int top, int w, int h) {
  BlockTiles tiles;
  for (int i = left; i < std::min(w, left + kBlock); i += kTileSide)
    for (int j = top; j < std::min(h, top + kBlock); j += kTileSide) tiles.at[static_cast<size_t>(tiles.count++)] = {i, j};
  return tiles;
}

// Calls visit(left, top) for each block of a w x h level, blocks row by row.
template <typename Visit>
int each_block(int w, int h, Visit visit) {
  for (int top = 0; top < h; top += kBlock)
    for (int left = 0; left < w; left += kBlock)
      if (visit(left, top) < 0) return -1;
  return 0;
}

// The quarter of a target tile that one source tile reduces to, computed from the source tile's
// bytes at once: exactly the pixels that write_out gives one by one (same reads, same sums).
class TileReduction {
 public:
  // `source`: a tile of lim_w x lim_h pixels as the file stores it; `out`: its quarter's first
  // pixel in a target tile whose rows are kTileSide pixels apart.
  TileReduction(const R64_FILE* f, const unsigned char* source, int lim_w, int lim_h)
      : f_(f), source_(source), lim_w_(lim_w), lim_h_(lim_h), bytes_(f->header.type == 'P' ? 3 : 1) {}

  void reduce_into(unsigned char* out) const {
    if (bytes_ == 3)
      average_inside<3>(out);
    else
      average_inside<1>(out);
    // An odd last column or row pairs with pixels beyond the level's edge.
    for (int m = 0; m < lim_h_; m += 2)
      if (lim_w_ % 2 == 1) average_at_edge(out, lim_w_ - 1, m);
    if (lim_h_ % 2 == 1)
      for (int n = 0; n < lim_w_ - lim_w_ % 2; n += 2) average_at_edge(out, n, lim_h_ - 1);
  }

 private:
  // Byte k of source pixel (x, y) of this tile, (x, y) up to one beyond the tile's last column or
  // row; beyond the level's edge answered as r64_red answers it.
  unsigned read(int x, int y, int k) const {
    bool beyond = x >= lim_w_ || y >= lim_h_;
    if (beyond && f_->rc_type == 0) return static_cast<unsigned char>(f_->background[k]);
    x = std::min(x, lim_w_ - 1);
    y = std::min(y, lim_h_ - 1);
    return source_[(y * lim_w_ + x) * bytes_ + k];
  }

  // Every target pixel whose four source pixels all lie in the tile: the rows of a pair are added
  // first, byte by byte (vector code), then neighbouring pixels of the sums.
  template <int kBytes>
  void average_inside(unsigned char* quarter) const {
    int stride = lim_w_ * kBytes;
    int pairs = lim_w_ / 2;
    std::array<uint16_t, kTileSide * 3> column_sums;
    for (int m = 0; m + 1 < lim_h_; m += 2) {
      const unsigned char* top = source_ + m * stride;
      const unsigned char* bottom = top + stride;
      for (int x = 0; x < 2 * pairs * kBytes; ++x) column_sums[x] = static_cast<uint16_t>(top[x] + bottom[x]);
      unsigned char* out = quarter + (m / 2) * kTileSide * kBytes;
      const uint16_t* sum = column_sums.data();
      for (int n = 0; n < pairs; ++n, sum += 2 * kBytes, out += kBytes)
        for (int k = 0; k < kBytes; ++k) out[k] = static_cast<unsigned char>((sum[k] + sum[k + kBytes]) >> 2);
    }
  }

  void average_at_edge(unsigned char* quarter, int n, int m) const {
    unsigned char* out = quarter + ((m / 2) * kTileSide + n / 2) * bytes_;
    for (int k = 0; k < bytes_; ++k)
      out[k] = static_cast<unsigned char>((read(n, m, k) + read(n, m + 1, k) + read(n + 1, m, k) + read(n + 1, m + 1, k)) >> 2);
  }

  const R64_FILE* f_;
  const unsigned char* source_;
  int lim_w_, lim_h_, bytes_;
};

// A target tile being made from its block: its pixels in rows of kTileSide, and how many of the
// block's source tiles were reduced into it before one could not be read.
struct TargetTile {
  std::array<unsigned char, kTileBytesP> pixels;
  int reduced = 0;
};

// Reads the source tiles of the block at (left, top) of `level` straight from the file and reduces
// them into `target`. 0, or -1 with r64_error set at the first tile that cannot be read.
int reduce_block(const R64_FILE* f, int level, int left, int top, TargetTile& target, unsigned char* source) {
  const BlockTiles tiles = tiles_of_block(left, top, f->level_w[level], f->level_h[level]);
  const int bytes = f->header.type == 'P' ? 3 : 1;
  for (target.reduced = 0; target.reduced < tiles.count; ++target.reduced) {
    auto [i, j] = tiles.at[static_cast<size_t>(target.reduced)];
    const r64_internal::TilePlace tile = r64_internal::tile_place(f, level, i, j);
    if (r64_internal::read_tile(f, tile, source) < 0) return -1;
    unsigned char* quarter = target.pixels.data() + (((j - top) / 2) * kTileSide + (i - left) / 2) * bytes;
    TileReduction(f, source, tile.w_len, tile.h_len).reduce_into(quarter);
  }
  return 0;
}

// The target tile of the block at (left, top) in the cache, found or made, in *tile; null when it
// is dropped: a level that is not laid out, or a write refused otherwise. 0, or -1 after a system
// error.
int find_target(R64_FILE* f, int level, int left, int top, R64_CACHE_ENT** tile) {
  *tile = nullptr;
  const int target_level = level + 1;
  if (target_level >= kLevels || f->level_ofs[target_level] == 0) {
    r64_error = kR64NoLevel;
    return 0;
  }
  *tile = r64_internal::find_tile(f, left / 2, top / 2, target_level);
  return *tile == nullptr && system_failure(-1) ? -1 : 0;
}

void store_target(const R64_FILE* f, const TargetTile& target, R64_CACHE_ENT* tile) {
  const int bytes = f->header.type == 'P' ? 3 : 1;
  for (int m = 0; m < tile->h_len; ++m)
    std::memcpy(tile->buf + m * tile->w_len * bytes, target.pixels.data() + m * kTileSide * bytes, tile->w_len * bytes);
  tile->flags |= kDirty;
  r64_error = kR64Ok;
}

// The progress lines of a pass: one per source tile, counting down from w * h / 4096.
class Progress {
 public:
  Progress(int w, int h) : total_((w * h) / (kTileSide * kTileSide)), remain_(total_) {}
  void tile() { std::printf("total = %i/%i  \r", remain_--, total_); }

 private:
  int total_;
  int remain_;
};

// The blocks as items of an ordered run: read and reduced on any thread, a few ahead, and stored on
// the caller's in order, each after the progress lines of its source tiles; a source tile that
// cannot be read ends the pass after its line, as reading them in turn would.
int reduce_by_tiles(R64_FILE* f, int level, int threads, Progress& progress) {
  const int w = f->level_w[level], h = f->level_h[level];
  const int across = ceil_div(w, kBlock);
  const int threads_used = threads_or_cores(threads);
  const int ahead = 4 * threads_used;
  std::vector<TargetTile> targets(static_cast<size_t>(ahead));
  std::vector<std::array<unsigned char, kTileBytesP>> sources(static_cast<size_t>(threads_used));
  auto place = [&](int item) { return std::pair{item % across * kBlock, item / across * kBlock}; };
  return run_ordered({.threads = threads_used,
                      .items = across * ceil_div(h, kBlock),
                      .ahead = ahead,
                      .work = [&](int item, int worker) {
                        auto [left, top] = place(item);
                        return reduce_block(f, level, left, top, targets[static_cast<size_t>(item % ahead)],
                                            sources[static_cast<size_t>(worker)].data());
                      },
                      .commit = [&](int item) {
                        auto [left, top] = place(item);
                        const TargetTile& target = targets[static_cast<size_t>(item % ahead)];
                        R64_CACHE_ENT* tile = nullptr;
                        for (int t = 0; t < tiles_of_block(left, top, w, h).count; ++t) {
                          progress.tile();
                          if (t == target.reduced) return -1;  // its source tile could not be read
                          // Found or made with the first quarter, as pixel writes would.
                          if (t == 0 && find_target(f, level, left, top, &tile) < 0) return -1;
                        }
                        if (tile != nullptr) store_target(f, target, tile);
                        return 0;
                      }});
}

// One source tile, pixel pair by pixel pair through the pixel calls.
int reduce_pixel_by_pixel(R64_FILE* f, int level, int i, int j) {
  const int lim_w = std::min(f->level_w[level] - i, kTileSide), lim_h = std::min(f->level_h[level] - j, kTileSide);
  for (int n = 0; n < lim_w; n += 2)
    for (int m = 0; m < lim_h; m += 2)
      if (write_out(f, level, i + n, j + m) < 0) return -1;
  return 0;
}

// The blocks in turn through the pixel calls, on the caller's thread.
int reduce_by_pixels(R64_FILE* f, int level, Progress& progress) {
  const int w = f->level_w[level], h = f->level_h[level];
  return each_block(w, h, [&](int left, int top) {
    const BlockTiles tiles = tiles_of_block(left, top, w, h);
    for (int t = 0; t < tiles.count; ++t) {
      progress.tile();
      if (reduce_pixel_by_pixel(f, level, tiles.at[static_cast<size_t>(t)].first, tiles.at[static_cast<size_t>(t)].second) < 0)
        return -1;
    }
    return 0;
  });
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

int r64_new_level(R64_FILE* f, int level) { return r64_new_level_with(f, level, kEveryCore); }

int r64_new_level_lofi(R64_FILE* f, int level) { return r64_new_level_with(f, level, kEveryCore); }

int level_internal::source_level_size(R64_FILE* f, int level, int* w, int* h) {
  int present = r64_check_level(f, level);
  if (present < 0) return -1;
  if (present == 0) return fail(kR64NoLevel);
  *w = f->level_w[level];
  *h = f->level_h[level];
  return half_up(*w) == 0 || half_up(*h) == 0 ? fail(kR64NoLevel) : 0;
}

int r64_new_level_with(R64_FILE* f, int level, int threads) {
  int w = 0, h = 0;
  if (source_level_size(f, level, &w, &h) < 0) return -1;

  Progress progress(w, h);
  if (reduces_by_tiles(f)) {
    // The source level is read straight from the file: the cache must hold nothing newer.
    if (r64_flush(f) < 0 || reduce_by_tiles(f, level, threads, progress) < 0) return -1;
  } else if (reduce_by_pixels(f, level, progress) < 0) {
    return -1;
  }
  std::printf("\n");
  return 0;
}
