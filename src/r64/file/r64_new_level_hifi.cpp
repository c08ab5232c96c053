// Builds level n+1 of an R64 file from level n with a windowed-FFT filter: overlapping 8x8 source
// blocks (origins 4 apart, from -4) are weighted by a raised-cosine window, cut to their low band
// in the frequency domain and resampled to 4x4; the overlapping results are added into four
// buffered target rows, written out as soon as no later block can reach them. Each run of blocks
// of a block row is read straight from the file and filtered as an item of an ordered run, on as
// many threads as the call is given; the results are added in block order on the caller's thread,
// so every sum, and the level, is the same whatever the threads.
#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "malloc_ptr.hpp"
#include "parallel.hpp"
#include "r64.hpp"
#include "../fft/fastft_internal.hpp"
#include "r64_fail.hpp"
#include "r64_new_level.hpp"
#include "r64_tile.hpp"
#include "u_math.hpp"

using namespace level_internal;
using r64_internal::fail;

namespace {

constexpr int kBlock = 8;   // source block side
constexpr int kHalf = 4;    // target block side, and the step between block origins
constexpr int kLines = 4;   // target rows held in the line buffers
// The 8-point frequency indices that survive the low-pass cut: 0, +1, -2, -1.
constexpr int kKeptFrequencies[] = {0, 1, 6, 7};

int channels(const R64_FILE* f) { return f->header.type == 'P' ? 3 : 1; }

// Twiddle tables of the two transforms the filter runs, built exactly as the shared table of
// fastft/fastdft is, so results match the allocating transforms bit for bit.
struct Twiddles {
  COMPLEX forward8[8];
  COMPLEX inverse4[4];
};

const Twiddles& twiddles() {
  static const Twiddles tables = [] {
    Twiddles t;
    fft_internal::fill_twiddles(t.forward8, 8, -1);
    fft_internal::fill_twiddles(t.inverse4, 4, +1);
    return t;
  }();
  return tables;
}

// fastft of 8 values into `out`, without allocating: the same butterflies, then the 1/8 scaling.
inline void forward8(const COMPLEX* in, COMPLEX* out, const COMPLEX* w) {
  fft_internal::transform_into(in, out, 3, w);
  const double a = 1.0 / 8;
  for (int i = 0; i < 8; ++i) {
    out[i].re *= a;
    out[i].im *= a;
  }
}

// fastdft of 4 values into `out`, without allocating.
inline void inverse4(const COMPLEX* in, COMPLEX* out, const COMPLEX* w) { fft_internal::transform_into(in, out, 2, w); }

// The blocks of a block row are filtered in runs of this many, one run an item.
constexpr int kBlocksPerRun = 64;

int block_origin(int b) { return -kHalf + b * kHalf; }

// The source pixels a run of blocks covers: rows i .. i+7 and its columns, as 4-byte pixels, read
// straight from the file; positions outside the level are answered as r64_red answers them for the
// out-of-range modes 0 and 1 (the background pixel, or the nearest pixel on the level's edge).
class RunPixels {
 public:
  // Reads the pixels of blocks b0 .. b1 - 1 of block row i. 0, or -1 with r64_error set.
  int load(const R64_FILE* f, int level, int i, int b0, int b1, std::span<unsigned char> scratch) {
    first_col_ = block_origin(b0);
    cols_ = block_origin(b1 - 1) + kBlock - first_col_;
    first_row_ = i;
    pixels_.resize(static_cast<size_t>(kBlock) * cols_ * 4);
    const int w = f->level_w[level], h = f->level_h[level];
    const int x0 = std::max(first_col_, 0), x1 = std::min(first_col_ + cols_, w);
    const int y0 = std::max(i, 0), y1 = std::min(i + kBlock, h);
    if (r64_internal::read_pixels(f, level, {x0, y0, x1 - x0, y1 - y0}, at(x0, y0), static_cast<size_t>(cols_), scratch) < 0)
      return -1;
    // Columns beyond the level's sides in the rows inside it, then the rows above and below it.
    for (int y = y0; y < y1; ++y) {
      for (int x = first_col_; x < x0; ++x) answer(f, x, y, at(x0, y));
      for (int x = x1; x < first_col_ + cols_; ++x) answer(f, x, y, at(x1 - 1, y));
    }
    for (int y = i; y < i + kBlock; ++y)
      if (y < y0 || y >= y1)
        for (int x = first_col_; x < first_col_ + cols_; ++x) answer(f, x, y, at(x, std::clamp(y, y0, y1 - 1)));
    return 0;
  }

  // Answers (x, y), outside the level, with the background or with `edge`, the nearest pixel on
  // the level's edge.
  void answer(const R64_FILE* f, int x, int y, const unsigned char* edge) {
    if (f->rc_type == 0)
      std::memcpy(at(x, y), f->background, 3);
    else
      std::memcpy(at(x, y), edge, 4);
  }

  // The pixel at (x, y), which the run covers.
  unsigned char* at(int x, int y) {
    return pixels_.data() + 4 * (static_cast<size_t>(y - first_row_) * cols_ + (x - first_col_));
  }

 private:
  std::vector<unsigned char> pixels_;
  int first_col_ = 0, cols_ = 0, first_row_ = 0;
};

// Loads the windowed block at (column j, row i) from the run's pixels.
void load_block(RunPixels& pixels, int i, int j, RectBuf rect_buf, int vol) {
  for (int n = 0; n < kBlock; ++n) {
    const unsigned char* pixel = pixels.at(j, i + n);
    for (int m = 0; m < kBlock; ++m, pixel += 4) {
      double weight = window_fn(m, n);
      for (int k = 0; k < vol; ++k) rect_buf[k][n][m] = COMPLEX{0.0, weight * pixel[k]};
    }
  }
}

// One item: a run of blocks of a block row, its source pixels, and what each of its blocks adds
// to the target rows.
struct BlockRun {
  RunPixels pixels;
  std::vector<unsigned char> tiles;  // scratch the pixels are read through
  BlockSums sums[kBlocksPerRun];
  bool filtered = false;
};

// Only the handle's out-of-range modes 0 and 1 answer a position the same way whatever read came
// before; with any other mode a refused read repeats the previous pixel, so blocks are read pixel
// by pixel through the cache, on the caller's thread.
bool edges_answered_by_position(const R64_FILE* f) { return f->rc_type == 0 || f->rc_type == 1; }

}  // namespace

double level_internal::window_fn(int x, int y) {
  // Built once, before any thread reads it: block filtering runs on every thread.
  static const auto weight = [] {
    std::array<std::array<double, 8>, 8> w{};
    for (int a = 0; a < 8; ++a)
      for (int b = 0; b < 8; ++b)
        w[a][b] = (1.0 - std::cos(a * fft_internal::kTwoPi / 8.0)) * (1.0 - std::cos(b * fft_internal::kTwoPi / 8.0)) / 4.0;
    return w;
  }();
  return weight[x][y];
}

int level_internal::set_rect_buf(R64_FILE* f, int i, int j, RectBuf rect_buf, int level) {
  int vol = channels(f);
  unsigned char col[3] = {0, 0, 0};
  for (int n = 0; n < kBlock; ++n) {
    for (int m = 0; m < kBlock; ++m) {
      if (system_failure(r64_red(col, f, j + m, i + n, level))) return -1;
      for (int k = 0; k < vol; ++k) rect_buf[k][n][m] = COMPLEX{0.0, window_fn(m, n) * col[k]};
    }
  }
  return 0;
}

void level_internal::half_filter(RectBuf rect_buf, int vol) {
  const Twiddles& w = twiddles();
  for (int k = 0; k < vol; ++k) {
    COMPLEX(&b)[8][8] = rect_buf[k];
    COMPLEX tmp[8][8];
    COMPLEX t[8];
    for (int n = 0; n < 8; ++n) {  // rows forward; tmp is transposed
      forward8(b[n], t, w.forward8);
      for (int i = 0; i < 8; ++i) tmp[i][n] = t[i];
    }
    // Columns forward: b[u][v], u vertical, v horizontal frequency. Only the columns of the kept
    // frequencies are ever read again, so the other four transforms are skipped.
    for (int n : kKeptFrequencies) {
      forward8(tmp[n], t, w.forward8);
      for (int i = 0; i < 8; ++i) b[i][n] = t[i];
    }
    // Keep frequencies 0, +1, -2, -1 (indices 0, 1, 6, 7) in the top-left 4x4 corner.
    for (int n = 0; n < 2; ++n)
      for (int c = 0; c < 8; ++c) b[n + 2][c] = b[n + 6][c];
    for (int r = 0; r < 4; ++r)
      for (int n = 0; n < 2; ++n) b[r][n + 2] = b[r][n + 6];
    for (int n = 0; n < 4; ++n) {  // rows back, at half the resolution
      inverse4(b[n], t, w.inverse4);
      for (int i = 0; i < 4; ++i) tmp[i][n] = t[i];
    }
    for (int n = 0; n < 4; ++n) {  // columns back
      inverse4(tmp[n], t, w.inverse4);
      for (int i = 0; i < 4; ++i) b[i][n] = t[i];
    }
  }
}

void level_internal::keep_sums(const RectBuf rect_buf, BlockSums sums, int vol) {
  for (int k = 0; k < vol; ++k)
    for (int n = 0; n < kHalf; ++n)
      for (int m = 0; m < kHalf; ++m) sums[k][n][m] = rect_buf[k][n][m].re;
}

void level_internal::set_buf(double* buf[3], int j, const BlockSums sums, int buf_line, int vol) {
  for (int k = 0; k < vol; ++k)
    for (int n = 0; n < kHalf; ++n)
      for (int m = 0; m < kHalf; ++m) buf[k][n * buf_line + j / 2 + 2 + m] += sums[k][n][m];
}

int level_internal::flush_buf(R64_FILE* f, int i, double* buf[3], int level, int dest_w, int buf_line) {
  int vol = channels(f);
  unsigned char col[3] = {0, 0, 0};
  for (int n = 0; n < 2; ++n) {
    for (int m = 0; m < dest_w; ++m) {
      for (int k = 0; k < vol; ++k) col[k] = to_byte(buf[k][n * buf_line + m + 2]);
      // Rows before the first and after the last target row are refused and dropped.
      if (system_failure(r64_set(f, m, i / 2 + n, level, col))) return -1;
    }
  }
  for (int n = 0; n < 2; ++n)
    for (int c = 0; c < buf_line; ++c)
      for (int k = 0; k < vol; ++k) {
        buf[k][n * buf_line + c] = buf[k][(n + 2) * buf_line + c];
        buf[k][(n + 2) * buf_line + c] = 0.0;
      }
  return 0;
}

void level_internal::save_test(double* buf[3], int size) {
  std::printf("save_test %i %i\n", size, 8);
  R64_FILE* f = r64_open_file("test.r64", O_RDWR | O_CREAT | O_TRUNC, 0644, 'P', size, 8);
  if (f == nullptr) return;
  for (int n = 0; n < 4; ++n) {
    for (int m = 0; m < size; ++m) {
      unsigned char col[3] = {255, 0, 0};
      if (n != 3 && m != size - 1)
        for (int k = 0; k < 3; ++k) col[k] = to_byte(buf[k][n * size + m]);
      r64_set(f, m, n, 0, col);
    }
  }
  r64_close_file(f);
}

int r64_new_level_hifi(R64_FILE* f, int level) { return r64_new_level_hifi_with(f, level, kEveryCore); }

int r64_new_level_hifi_with(R64_FILE* f, int level, int threads) {
  int w = 0, h = 0;
  if (source_level_size(f, level, &w, &h) < 0) return -1;
  int dest_w = half_up(w);

  int vol = channels(f);
  int buf_line = dest_w - dest_w % 4 + 12;
  size_t line_values = static_cast<size_t>(kLines) * buf_line;
  MallocPtr<double> lines[3] = {calloc_array<double>(line_values), calloc_array<double>(line_values),
                               calloc_array<double>(line_values)};
  if (!lines[0] || !lines[1] || !lines[2]) return fail(kR64Memory);
  double* buf[3] = {lines[0].get(), lines[1].get(), lines[2].get()};

  const bool straight = edges_answered_by_position(f);
  // The source level is read straight from the file: the cache must hold nothing newer.
  if (straight && r64_flush(f) < 0) return -1;
  const int threads_used = straight ? threads_or_cores(threads) : 1;
  const int blocks = (w + 2 * kHalf - 1) / kHalf;  // origins -4, 0, 4, ... below w
  const int runs = ceil_div(blocks, kBlocksPerRun);
  const int ahead = 2 * threads_used;
  std::vector<std::unique_ptr<BlockRun>> slots(static_cast<size_t>(ahead));
  for (auto& slot : slots) {
    slot.reset(new (std::nothrow) BlockRun);
    if (!slot) return fail(kR64Memory);
  }
  auto first_block = [&](int run) { return run * kBlocksPerRun; };
  auto end_block = [&](int run) { return std::min(blocks, (run + 1) * kBlocksPerRun); };
  auto row_of = [&](int item) { return block_origin(item / runs); };
  const int result = run_ordered(
      {.threads = threads_used,
       .items = runs * ceil_div(h + kHalf, kHalf),
       .ahead = ahead,
       .work = [&](int item, int) {
         BlockRun& run = *slots[static_cast<size_t>(item % ahead)];
         const int i = row_of(item), b0 = first_block(item % runs), b1 = end_block(item % runs);
         run.filtered = false;
         if (straight) {
           run.tiles.resize(r64_internal::tile_row_scratch_bytes(block_origin(b1 - 1) + kBlock - block_origin(b0)));
           if (run.pixels.load(f, level, i, b0, b1, run.tiles) < 0) return -1;
         }
         RectBuf block;
         for (int b = b0; b < b1; ++b) {
           if (straight)
             load_block(run.pixels, i, block_origin(b), block, vol);
           else if (set_rect_buf(f, i, block_origin(b), block, level) < 0)
             return -1;
           half_filter(block, vol);
           keep_sums(block, run.sums[b - b0], vol);
         }
         run.filtered = true;
         return 0;
       },
       .commit = [&](int item) {
         const BlockRun& run = *slots[static_cast<size_t>(item % ahead)];
         const int i = row_of(item), b0 = first_block(item % runs), b1 = end_block(item % runs);
         if (b0 == 0) {
           std::printf("h = %i/%i   \r", i, h);
           std::fflush(stdout);
         }
         if (!run.filtered) return -1;  // its source could not be read
         for (int b = b0; b < b1; ++b) set_buf(buf, block_origin(b), run.sums[b - b0], buf_line, vol);
         return b1 == blocks ? flush_buf(f, i, buf, level + 1, dest_w, buf_line) : 0;
       }});
  if (result < 0) return -1;
  std::printf("\n");
  return 0;
}
