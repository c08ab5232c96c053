// Helpers of the level-builder tests: R64 files made pixel by pixel, whole levels read back, an
// independent reading of the on-disk tile layout, and an independent 2x2 box filter.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "r64.hpp"

namespace level_test {

// A level as plain pixels: w x h pixels of `bpp` bytes, rows top to bottom.
struct Image {
  int w = 0;
  int h = 0;
  int bpp = 1;
  std::vector<uint8_t> bytes;

  uint8_t at(int x, int y, int k) const { return bytes[(static_cast<size_t>(y) * w + x) * bpp + k]; }
  uint8_t& at(int x, int y, int k) { return bytes[(static_cast<size_t>(y) * w + x) * bpp + k]; }
};

inline int bytes_per_pixel(char type) { return type == 'P' ? 3 : 1; }

using PixelFn = std::function<void(int x, int y, unsigned char* col)>;

// Creates an R64 file of the given type and size whose level 0 holds fn's pixels.
inline void make_r64(const std::string& path, char type, int w, int h, const PixelFn& fn) {
  R64_FILE* f = r64_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, type, w, h);
  ASSERT_NE(f, nullptr) << r64_error;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      unsigned char col[3] = {0, 0, 0};
      fn(x, y, col);
      ASSERT_EQ(r64_set(f, x, y, 0, col), 0);
    }
  // The tiles of a 'B' level use only part of its region; a (background) pixel of the next level
  // extends the file past it, so that level 0 counts as present.
  if (type == 'B' && f->level_ofs[1] != 0) {
    unsigned char clear[3] = {0, 0, 0};
    ASSERT_EQ(r64_set(f, 0, 0, 1, clear), 0);
  }
  r64_close_file(f);
}

inline R64_FILE* open_rw(const std::string& path) { return r64_open_file(path.c_str(), O_RDWR, 0644, 'P', 0, 0); }

// Reads a whole level back through the pixel calls.
inline Image read_level(R64_FILE* f, int level) {
  Image image{f->level_w[level], f->level_h[level], bytes_per_pixel(f->header.type), {}};
  image.bytes.resize(static_cast<size_t>(image.w) * image.h * image.bpp);
  for (int y = 0; y < image.h; ++y)
    for (int x = 0; x < image.w; ++x) {
      unsigned char col[3] = {0, 0, 0};
      EXPECT_EQ(r64_red(col, f, x, y, level), 0);
      for (int k = 0; k < image.bpp; ++k) image.at(x, y, k) = col[k];
    }
  return image;
}

// The levels a file of this size lays out, by the halving rule: (w, h, offset) per level.
struct LevelPlace {
  int w, h;
  uint64_t ofs;
};

inline std::vector<LevelPlace> layout(char type, int w, int h) {
  std::vector<LevelPlace> levels;
  uint64_t ofs = 8;
  while (levels.size() < 32 && w >= 3 && h >= 3) {
    levels.push_back({w, h, ofs});
    ofs += static_cast<uint64_t>(w) * h * bytes_per_pixel(type);
    w = (w + 1) / 2;
    h = (h + 1) / 2;
  }
  return levels;
}

// Level `k` of a 'P' or 'G' file read straight from its bytes: tiles of 64 x 64, band by band.
inline Image level_from_bytes(const std::string& file, char type, int w0, int h0, int k) {
  LevelPlace place = layout(type, w0, h0).at(k);
  int bpp = bytes_per_pixel(type);
  Image image{place.w, place.h, bpp, std::vector<uint8_t>(static_cast<size_t>(place.w) * place.h * bpp)};
  for (int y = 0; y < place.h; ++y)
    for (int x = 0; x < place.w; ++x) {
      int w_ofs = x / 64 * 64, h_ofs = y / 64 * 64;
      int w_len = std::min(64, place.w - w_ofs), h_len = std::min(64, place.h - h_ofs);
      uint64_t at = place.ofs + static_cast<uint64_t>(h_ofs) * place.w * bpp +
                    static_cast<uint64_t>(w_ofs / 64) * h_len * 64 * bpp +
                    static_cast<uint64_t>(y - h_ofs) * w_len * bpp + static_cast<uint64_t>(x - w_ofs) * bpp;
      for (int c = 0; c < bpp; ++c) image.at(x, y, c) = static_cast<uint8_t>(file.at(at + c));
    }
  return image;
}

// The 2x2 mean, rounded down, with the last column or row of an odd size averaged with itself.
inline Image box_filter(const Image& src) {
  Image dst{(src.w + 1) / 2, (src.h + 1) / 2, src.bpp, {}};
  dst.bytes.resize(static_cast<size_t>(dst.w) * dst.h * dst.bpp);
  for (int y = 0; y < dst.h; ++y)
    for (int x = 0; x < dst.w; ++x)
      for (int k = 0; k < src.bpp; ++k) {
        int sum = 0;
        for (int dy = 0; dy < 2; ++dy)
          for (int dx = 0; dx < 2; ++dx) sum += src.at(std::min(2 * x + dx, src.w - 1), std::min(2 * y + dy, src.h - 1), k);
        dst.at(x, y, k) = static_cast<uint8_t>(sum / 4);
      }
  return dst;
}

// Replaces the handle's descriptor by one opened on the same file with other flags, so that its
// reads (O_WRONLY) or writes (O_RDONLY) fail with a system error.
inline void cripple_descriptor(R64_FILE* f, const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags);
  ASSERT_GE(fd, 0);
  ASSERT_GE(::dup2(fd, f->fd), 0);
  ::close(fd);
}

}  // namespace level_test
