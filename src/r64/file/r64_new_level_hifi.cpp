// Builds level n+1 of an R64 file from level n with a windowed-FFT filter: overlapping 8x8 source
// blocks (origins 4 apart, from -4) are weighted by a raised-cosine window, cut to their low band
// in the frequency domain and resampled to 4x4; the overlapping results are added into four
// buffered target rows, written out as soon as no later block can reach them.
#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

#include "malloc_ptr.hpp"
#include "parallel.hpp"
#include "r64.hpp"
#include "r64/fft/fastft_internal.hpp"
#include "r64/file/r64_fail.hpp"
#include "r64/file/r64_new_level.hpp"
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

// The source rows that the current block row covers, read once each through r64_red and kept
// while two block rows use them, and room for the four rows the next block row adds, read while
// this one is filtered: sixteen rows of columns -4 .. `last` of three bytes per pixel.
constexpr int kRingRows = 2 * kBlock;

class SourceRows {
 public:
  bool allocate(int w) {
    first_col_ = -kHalf;
    last_col_ = last_block_origin(w) + kBlock - 1;
    stride_ = 3 * (last_col_ - first_col_ + 1);
    bytes_ = calloc_array<unsigned char>(static_cast<size_t>(kRingRows) * stride_);
    return bytes_ != nullptr;
  }

  // Reads rows first..first+count-1 of `level` into their slots; -1 after a system error.
  int load(R64_FILE* f, int first, int count, int level) {
    for (int y = first; y < first + count; ++y) {
      unsigned char* row = bytes_.get() + static_cast<size_t>(y & (kRingRows - 1)) * stride_;
      for (int x = first_col_; x <= last_col_; ++x)
        if (system_failure(r64_red(row + 3 * (x - first_col_), f, x, y, level))) return -1;
    }
    return 0;
  }

  // The three bytes of source pixel (x, y), for a row loaded last or the fifteen before it.
  const unsigned char* pixel(int x, int y) const {
    return bytes_.get() + static_cast<size_t>(y & (kRingRows - 1)) * stride_ + 3 * (x - first_col_);
  }

  static int last_block_origin(int w) { return -kHalf + ((w + kHalf - 1) / kHalf) * kHalf; }

 private:
  MallocPtr<unsigned char> bytes_;
  int first_col_ = 0;
  int last_col_ = 0;
  int stride_ = 0;
};

// Loads the windowed block at (column j, row i) from the cached source rows.
void load_block(const SourceRows& rows, int i, int j, RectBuf rect_buf, int vol) {
  for (int n = 0; n < kBlock; ++n) {
    const unsigned char* pixel = rows.pixel(j, i + n);
    for (int m = 0; m < kBlock; ++m, pixel += 3) {
      double weight = window_fn(m, n);
      for (int k = 0; k < vol; ++k) rect_buf[k][n][m] = COMPLEX{0.0, weight * pixel[k]};
    }
  }
}

// Adds the block with origin column j into the target rows, as set_buf does, but only into the
// buffer columns low .. high - 1.
void add_columns(double* buf[3], int j, const RectBuf rect_buf, int buf_line, int vol, int low, int high) {
  int first = j / 2 + 2;
  for (int k = 0; k < vol; ++k)
    for (int n = 0; n < kHalf; ++n)
      for (int m = std::max(0, low - first); m < std::min(kHalf, high - first); ++m)
        buf[k][n * buf_line + first + m] += rect_buf[k][n][m].re;
}

// Filters the blocks of one block row from the cached source rows and adds them into the target
// rows, the columns spread over the threads. Block b reaches buffer columns 2b .. 2b + 3. Each task
// owns the columns of a run of blocks and adds, block after block, every block that reaches them,
// filtering the block before its run itself too: every sum is made in the same order, and the
// levels are the same, whatever the threads.
class BlockRow {
 public:
  explicit BlockRow(int w) : count_((w + 2 * kHalf - 1) / kHalf) {}  // origins -4, 0, 4, ... below w

  // `beside`, when given, runs as one more task: the only one that may touch the tile cache.
  void filter_into(const SourceRows& rows, int i, int vol, double* buf[3], int buf_line,
                   const std::function<void()>& beside) const {
    constexpr int kBlocksPerTask = 64;
    const int extra = beside ? 1 : 0;
    parallel_for((count_ + kBlocksPerTask - 1) / kBlocksPerTask + extra, [&](int task) {
      if (task < extra) return beside();
      task -= extra;
      int first = task * kBlocksPerTask;
      int end = std::min(count_, first + kBlocksPerTask);
      int low = 2 * first;
      int high = end == count_ ? INT_MAX : 2 * end;
      RectBuf block;
      for (int b = std::max(0, first - 1); b < end; ++b) {
        load_block(rows, i, origin(b), block, vol);
        half_filter(block, vol);
        add_columns(buf, origin(b), block, buf_line, vol, low, high);
      }
    });
  }

 private:
  static int origin(int b) { return -kHalf + b * kHalf; }

  int count_ = 0;
};

// The reading of the next block row's rows beside the filtering of this one, on more than one
// thread: how it went, kept until the loop reaches that block row, where one thread meets it.
struct RowsAhead {
  bool on = parallel_threads() > 1;
  int result = 0;
  int error = 0;     // r64_error of the reading thread
  int sys_errno = 0;

  void note(int loaded) {
    result = loaded;
    error = r64_error;
    sys_errno = errno;
  }
  // True, with r64_error and errno as the reading left them, when the rows could not be read.
  bool failed() const {
    if (result == 0) return false;
    r64_error = error;
    errno = sys_errno;
    return true;
  }
};

// Only the handle's out-of-range modes 0 and 1 answer a position the same way whatever read came
// before; with any other mode a refused read repeats the previous pixel, so blocks read alone.
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

void level_internal::set_buf(double* buf[3], int j, const RectBuf rect_buf, int buf_line, int vol) {
  for (int k = 0; k < vol; ++k)
    for (int n = 0; n < kHalf; ++n)
      for (int m = 0; m < kHalf; ++m) buf[k][n * buf_line + j / 2 + 2 + m] += rect_buf[k][n][m].re;
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

int r64_new_level_hifi(R64_FILE* f, int level) {
  int present = r64_check_level(f, level);
  if (present < 0) return -1;
  if (present == 0) return fail(kR64NoLevel);
  int w = f->level_w[level];
  int h = f->level_h[level];
  int dest_w = half_up(w);
  if (dest_w == 0 || half_up(h) == 0) return fail(kR64NoLevel);

  int vol = channels(f);
  int buf_line = dest_w - dest_w % 4 + 12;
  size_t line_values = static_cast<size_t>(kLines) * buf_line;
  MallocPtr<double> lines[3] = {calloc_array<double>(line_values), calloc_array<double>(line_values),
                               calloc_array<double>(line_values)};
  SourceRows rows;
  const BlockRow blocks(w);
  if (!lines[0] || !lines[1] || !lines[2] || !rows.allocate(w)) return fail(kR64Memory);
  double* buf[3] = {lines[0].get(), lines[1].get(), lines[2].get()};
  bool cached = edges_answered_by_position(f);

  RectBuf rect_buf;
  RowsAhead ahead;
  for (int i = -kHalf; i < h; i += kHalf) {
    std::printf("h = %i/%i   \r", i, h);
    std::fflush(stdout);
    // Rows i..i+3 are still cached from the block row before, except for the first one; with more
    // than one thread, the rows i+4..i+7 were read while the block row before was filtered.
    if (cached) {
      if (i == -kHalf || !ahead.on) {
        if (rows.load(f, i == -kHalf ? i : i + kHalf, i == -kHalf ? kBlock : kHalf, level) < 0) return -1;
      } else if (ahead.failed()) {
        return -1;
      }
      std::function<void()> read_next;
      if (ahead.on && i + kHalf < h) read_next = [&] { ahead.note(rows.load(f, i + 2 * kHalf, kHalf, level)); };
      blocks.filter_into(rows, i, vol, buf, buf_line, read_next);
    } else {
      for (int j = -kHalf; j < w; j += kHalf) {
        if (set_rect_buf(f, i, j, rect_buf, level) < 0) return -1;
        half_filter(rect_buf, vol);
        set_buf(buf, j, rect_buf, buf_line, vol);
      }
    }
    if (flush_buf(f, i, buf, level + 1, dest_w, buf_line) < 0) return -1;
  }
  std::printf("\n");
  return 0;
}
