// Packs an open R64 file into a new CR file: depth first from the coarsest level down, each
// rectangle read pixel by pixel, coded as plain pixels (a root) or as offset and companded
// residuals against its rebuilt parent, stored as JPEG or uncompressed, then decoded back and
// rebuilt exactly as a reader will, so that its children are predicted from what a reader sees.
#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "change_endian.hpp"
#include "cr_internal.hpp"
#include "er_panic.hpp"
#include "jpeg.hpp"

unsigned int loading_file_size = 0;
unsigned int indicate_file_size = 0;

namespace {

using cr_internal::fail;
using cr_internal::kMaxRectSize;

constexpr int kMinJpegSide = 16;           // smaller rectangles are stored uncompressed
constexpr unsigned int kProgressStep = 10000;
constexpr int kMaxResidual = 255;          // residuals lie in -255..255
constexpr int kChannels = 3;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, FreeDeleter>;

template <typename T>
Owned<T> allocate(size_t count) {
  return Owned<T>(static_cast<T*>(std::malloc(count * sizeof(T))));
}

using Offsets = std::array<signed char, kChannels>;

// One coded block and the kind it is stored as.
struct Block {
  Owned<unsigned char> data;
  int size = 0;
  char type = 0;
};

size_t pixel_count(const CR_BUFFER& rect) { return static_cast<size_t>(rect.w_len) * static_cast<size_t>(rect.h_len); }

// Where the parent pixels that predict a child rectangle lie: each parent pixel predicts a 2 x 2
// block of child pixels. Column offsets are worked out once per rectangle.
class Predictor {
 public:
  Predictor(const CR_BUFFER& parent, const CR_BUFFER& child) : parent_(parent) {
    for (int x = 0; x < child.w_len; ++x) column_[x] = 4 * (((child.w_ofs + x) >> 1) - parent.w_ofs);
  }
  // Start of the parent row that predicts child row h (in child level coordinates).
  const unsigned char* row(int h) const {
    return parent_.buf + 4 * static_cast<size_t>((h >> 1) - parent_.h_ofs) * static_cast<size_t>(parent_.w_len);
  }
  // The pixel within that row that predicts child column x of the rectangle.
  int column(int x) const { return column_[x]; }

 private:
  const CR_BUFFER& parent_;
  std::array<int, kMaxRectSize> column_;
};

// Per channel, the lowest and the highest residual of a rectangle.
struct Range {
  std::array<int, kChannels> low{INT_MAX, INT_MAX, INT_MAX};
  std::array<int, kChannels> high{INT_MIN, INT_MIN, INT_MIN};
  void add(int c, int residual) {
    low[c] = std::min(low[c], residual);
    high[c] = std::max(high[c], residual);
  }
};

// Columns read before they are turned into rows: a strip's rows are one cache line of rect.buf.
constexpr int kStripColumns = 16;
using Strip = std::array<std::array<std::array<unsigned char, kChannels>, kMaxRectSize>, kStripColumns>;

// Reads columns x0 .. x0 + n - 1 of the rectangle, column by column, into the strip.
int read_strip(Strip& strip, const CR_BUFFER& rect, int x0, int n, R64_FILE* r64, int level) {
  bool one_byte = r64->header.type != 'P';
  for (int dx = 0; dx < n; ++dx)
    for (int y = 0; y < rect.h_len; ++y) {
      unsigned char* pixel = strip[dx][y].data();
      if (r64_red(pixel, r64, rect.w_ofs + x0 + dx, rect.h_ofs + y, level) < 0) return -1;
      if (one_byte) pixel[1] = pixel[2] = pixel[0];
    }
  return 0;
}

// Reads the rectangle column by column into rect.buf as plain pixels (fourth byte 0). Columns
// go through a strip first, so that the stores into rect.buf run along its rows.
int read_pixels(CR_BUFFER& rect, R64_FILE* r64, int level) {
  Strip strip;
  for (int x0 = 0; x0 < rect.w_len; x0 += kStripColumns) {
    int n = std::min(kStripColumns, rect.w_len - x0);
    if (read_strip(strip, rect, x0, n, r64, level) < 0) return -1;
    for (int y = 0; y < rect.h_len; ++y) {
      unsigned char* out = rect.buf + 4 * (static_cast<size_t>(y) * rect.w_len + x0);
      for (int dx = 0; dx < n; ++dx, out += 4) {
        const unsigned char* pixel = strip[dx][y].data();
        out[0] = pixel[0];
        out[1] = pixel[1];
        out[2] = pixel[2];
        out[3] = 0;
      }
    }
  }
  return 0;
}

// Per channel, the range of the residuals: against the predicting parent pixel, or of the pixel
// itself for a root.
Range residual_range(const CR_BUFFER& rect, const CR_BUFFER* parent) {
  Range range;
  const unsigned char* pixel = rect.buf;
  size_t pixels = pixel_count(rect);
  if (parent == nullptr) {
    for (size_t i = 0; i < pixels; ++i, pixel += 4)
      for (int c = 0; c < kChannels; ++c) range.add(c, pixel[c]);
    return range;
  }
  Predictor predictor(*parent, rect);
  for (int y = 0; y < rect.h_len; ++y) {
    const unsigned char* predicted_row = predictor.row(rect.h_ofs + y);
    for (int x = 0; x < rect.w_len; ++x, pixel += 4) {
      const unsigned char* predicted = predicted_row + predictor.column(x);
      for (int c = 0; c < kChannels; ++c) range.add(c, pixel[c] - predicted[c]);
    }
  }
  return range;
}

void report_progress(const CR_BUFFER& rect) {
  loading_file_size += static_cast<unsigned int>(3 * pixel_count(rect));
  if (loading_file_size < indicate_file_size) return;
  std::printf("loading %i   \r", static_cast<int>(loading_file_size));
  std::fflush(stdout);
  indicate_file_size += kProgressStep;
}

// Per channel, the offset that centres the residuals' range on 128.
Offsets channel_offsets(const Range& range) {
  Offsets cal{};
  for (int c = 0; c < kChannels; ++c)
    cal[c] = static_cast<signed char>(std::clamp(128 - (range.high[c] + range.low[c]) / 2, -128, 127));
  return cal;
}

// Replaces the plain pixels in rect.buf by the coded samples of their residuals.
void code_residuals(CR_BUFFER& rect, const CR_BUFFER& parent, const Offsets& cal) {
  std::array<std::array<unsigned char, 2 * kMaxResidual + 1>, kChannels> coded;
  for (int c = 0; c < kChannels; ++c)
    for (int r = -kMaxResidual; r <= kMaxResidual; ++r) coded[c][r + kMaxResidual] = cr_cal(r, cal[c]);
  Predictor predictor(parent, rect);
  unsigned char* out = rect.buf;
  for (int y = 0; y < rect.h_len; ++y) {
    const unsigned char* predicted_row = predictor.row(rect.h_ofs + y);
    for (int x = 0; x < rect.w_len; ++x, out += 4) {
      const unsigned char* predicted = predicted_row + predictor.column(x);
      const int pixel[kChannels] = {out[0], out[1], out[2]};  // all loads before the stores
      for (int c = 0; c < kChannels; ++c) out[c] = coded[c][pixel[c] - predicted[c] + kMaxResidual];
    }
  }
}

Block compress(const CR_BUFFER& rect) {
  Block block;
  if (rect.w_len >= kMinJpegSide && rect.h_len >= kMinJpegSide) {
    block.data.reset(jpeg_compress(&block.size, rect.buf, rect.w_len, rect.h_len, kJpegQuality));
    block.type = 'j';
  } else {
    block.data.reset(none_compress(&block.size, rect.buf, rect.w_len, rect.h_len));
    block.type = 'n';
  }
  return block;
}

// Appends the block at write_ofs and then writes its table entry, so that an entry never points
// at a block that is not wholly on disk.
int store_block(CR_FILE* f, const CR_BUFFER& rect, int level, const Block& block, const Offsets& cal) {
  unsigned int size = static_cast<unsigned int>(block.size);
  if (size > UINT32_MAX - f->write_ofs) {
    errno = EFBIG;  // block offsets are 32-bit
    return fail(kR64System);
  }
  CR_TBL entry{};
  entry.ofs = f->write_ofs;
  entry.type = block.type;
  for (int c = 0; c < kChannels; ++c) entry.cal[c] = static_cast<unsigned char>(cal[c]);
  entry.size = size;
  if (!cr_internal::seek_to(f->fd, f->write_ofs) || !cr_internal::write_all(f->fd, block.data.get(), size))
    return fail(kR64System);
  f->write_ofs += size;
  change_endian_cr_tbl(&entry);
  if (!cr_internal::seek_to(f->fd, get_tbl_ofs(f, rect.w_ofs, rect.h_ofs, level)) ||
      !cr_internal::write_all(f->fd, &entry, sizeof entry))
    return fail(kR64System);
  return 0;
}

// Decodes the block just written; a block that does not give back the rectangle is a fault of
// the codec, not of the data, and ends the process.
Owned<unsigned char> decode(const Block& block, const CR_BUFFER& rect) {
  int w = 0;
  int h = 0;
  Owned<unsigned char> pixels;
  if (block.type == 'j')
    pixels.reset(jpeg_uncompress(&w, &h, block.data.get(), block.size));
  else if (block.type == 'n')
    pixels.reset(none_uncompress(&w, &h, block.data.get(), block.size));
  else
    er_panic("_cr_write(1)");
  if (!pixels || w != rect.w_len || h != rect.h_len) er_panic("_cr_write(2)");
  return pixels;
}

// Rebuilds the rectangle's pixels from its decoded samples, as a reader does.
void rebuild(CR_BUFFER& rect, const CR_BUFFER* parent, const unsigned char* decoded, const Offsets& cal) {
  size_t pixels = pixel_count(rect);
  if (parent == nullptr) {
    std::copy(decoded, decoded + 4 * pixels, rect.buf);
    return;
  }
  std::array<std::array<int, 256>, kChannels> residual_of;
  for (int c = 0; c < kChannels; ++c)
    for (int s = 0; s < 256; ++s) residual_of[c][s] = cr_inv_cal(s, cal[c]);
  Predictor predictor(*parent, rect);
  unsigned char* out = rect.buf;
  const unsigned char* in = decoded;
  for (int y = 0; y < rect.h_len; ++y) {
    const unsigned char* predicted_row = predictor.row(rect.h_ofs + y);
    for (int x = 0; x < rect.w_len; ++x, out += 4, in += 4) {
      const unsigned char* predicted = predicted_row + predictor.column(x);
      for (int c = 0; c < kChannels; ++c)
        out[c] = static_cast<unsigned char>(std::clamp(predicted[c] + residual_of[c][in[c]], 0, 255));
      out[3] = 0;
    }
  }
}

// Codes, stores and (above level 0) rebuilds one rectangle; its pixels end in rect.buf.
int write_rectangle(CR_BUFFER& rect, const CR_BUFFER* parent, CR_FILE* f, R64_FILE* r64, int level) {
  if (read_pixels(rect, r64, level) < 0) return -1;
  report_progress(rect);

  Offsets cal = channel_offsets(residual_range(rect, parent));
  if (parent != nullptr) code_residuals(rect, *parent, cal);  // a root keeps its plain pixels
  Block block = compress(rect);
  if (!block.data) return fail(kR64Memory);
  if (store_block(f, rect, level, block, cal) < 0) return -1;
  if (level == 0) return 0;  // nothing is predicted from level 0

  Owned<unsigned char> decoded = decode(block, rect);
  block.data.reset();
  rebuild(rect, parent, decoded.get(), cal);
  return 0;
}

}  // namespace

namespace cr_internal {

int _cr_write(CR_BUFFER* parent, CR_FILE* f, R64_FILE* r64, int w_ofs, int h_ofs, int level) {
  int level_w = f->level_w[level];
  int level_h = f->level_h[level];
  if (w_ofs >= level_w || h_ofs >= level_h) return 0;

  int side = f->header.rect_size;
  CR_BUFFER rect{w_ofs, h_ofs, std::min(side, level_w - w_ofs), std::min(side, level_h - h_ofs), nullptr};
  auto pixels = allocate<unsigned char>(4 * pixel_count(rect));
  if (!pixels) return fail(kR64Memory);
  rect.buf = pixels.get();
  if (write_rectangle(rect, parent, f, r64, level) < 0) return -1;
  if (level == 0) return 0;

  const int children[4][2] = {{0, 0}, {side, 0}, {0, side}, {side, side}};
  for (const auto& child : children)
    if (_cr_write(&rect, f, r64, 2 * w_ofs + child[0], 2 * h_ofs + child[1], level - 1) < 0) return -1;
  return 0;
}

}  // namespace cr_internal

namespace {

int coarsest_level(const R64_FILE* r64) {
  for (int level = kLevels - 1; level >= 0; --level)
    if (r64->level_ofs[level] != 0) return level;
  return -1;
}

// Every rectangle of the coarsest level roots a tree of its own: an elongated image's coarsest
// level spans several rectangles.
int write_roots(CR_FILE* f, R64_FILE* r64, int level) {
  int side = f->header.rect_size;
  for (int h = 0; h < f->level_h[level]; h += side)
    for (int w = 0; w < f->level_w[level]; w += side)
      if (cr_internal::_cr_write(nullptr, f, r64, w, h, level) < 0) return -1;
  return 0;
}

}  // namespace

int cr_write_file(const char* filename, int mode, int rect_size, R64_FILE* r64) {
  loading_file_size = 0;
  CR_FILE* f = cr_open_file(filename, O_RDWR | O_CREAT | O_TRUNC, mode, rect_size, r64->header.width,
                            r64->header.height);
  if (f == nullptr) return -1;
  int level = coarsest_level(r64);
  if (level < 0 || !cr_check_level(f, level)) {
    cr_close_file(f);
    return fail(kR64OutOfRange);
  }
  int result = write_roots(f, r64, level);
  int error = r64_error;
  cr_close_file(f);
  std::printf("\n");
  if (result < 0) return fail(error);
  return 0;
}
