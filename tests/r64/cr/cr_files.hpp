// Test helpers for CR files: R64 files with every level written through the library, a reading of
// a CR file's header, table and blocks that does not go through the CR layer, and the sample
// mapping written out again from its definition.
#pragma once

#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "jpeg.hpp"
#include "r64.hpp"

namespace cr_test {

// An image held in memory: 3 bytes per pixel, rows top to bottom.
struct Image {
  int w = 0;
  int h = 0;
  std::vector<uint8_t> rgb;
  uint8_t* at(int x, int y) { return &rgb[3 * (static_cast<size_t>(y) * w + x)]; }
  const uint8_t* at(int x, int y) const { return &rgb[3 * (static_cast<size_t>(y) * w + x)]; }
};

// Level sizes as the raster lays them out: a level exists while both sides are at least 3.
inline std::vector<std::pair<int, int>> level_sizes(int w, int h) {
  std::vector<std::pair<int, int>> sizes;
  while (w >= 3 && h >= 3 && sizes.size() < 32) {
    sizes.emplace_back(w, h);
    w = (w >> 1) + (w & 1);
    h = (h >> 1) + (h & 1);
  }
  return sizes;
}

// The next coarser level by 2 x 2 averages, edges repeated.
inline Image halve(const Image& src) {
  Image out{(src.w >> 1) + (src.w & 1), (src.h >> 1) + (src.h & 1), {}};
  out.rgb.resize(3 * static_cast<size_t>(out.w) * out.h);
  for (int y = 0; y < out.h; ++y)
    for (int x = 0; x < out.w; ++x)
      for (int c = 0; c < 3; ++c) {
        int x1 = std::min(2 * x + 1, src.w - 1);
        int y1 = std::min(2 * y + 1, src.h - 1);
        int sum = src.at(2 * x, 2 * y)[c] + src.at(x1, 2 * y)[c] + src.at(2 * x, y1)[c] + src.at(x1, y1)[c];
        out.at(x, y)[c] = static_cast<uint8_t>((sum + 2) / 4);
      }
  return out;
}

// Every level of a base image, finest first.
inline std::vector<Image> pyramid(const Image& base) {
  std::vector<Image> levels;
  auto sizes = level_sizes(base.w, base.h);
  for (size_t k = 0; k < sizes.size(); ++k) levels.push_back(k == 0 ? base : halve(levels.back()));
  return levels;
}

inline Image make_image(int w, int h, const std::function<void(int, int, uint8_t*)>& pixel) {
  Image image{w, h, std::vector<uint8_t>(3 * static_cast<size_t>(w) * h)};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) pixel(x, y, image.at(x, y));
  return image;
}

// Writes the given levels (finest first) into a new R64 file of `type`; 'G' and 'B' take the
// first byte of each pixel. Returns false when the library refuses.
inline bool write_r64(const std::string& path, const std::vector<Image>& levels, char type = 'P') {
  R64_FILE* f = r64_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, type, levels[0].w, levels[0].h);
  if (f == nullptr) return false;
  bool ok = true;
  for (size_t k = 0; k < levels.size(); ++k)
    for (int y = 0; y < levels[k].h; ++y)
      for (int x = 0; x < levels[k].w; ++x)
        ok = r64_set(f, x, y, static_cast<int>(k), levels[k].at(x, y)) == 0 && ok;
  r64_close_file(f);
  return ok;
}

inline uint32_t be32(const std::string& bytes, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 8 | static_cast<uint8_t>(bytes[at + 3]);
}
inline int be16(const std::string& bytes, size_t at) {
  return static_cast<uint8_t>(bytes[at]) << 8 | static_cast<uint8_t>(bytes[at + 1]);
}

struct Entry {
  uint32_t ofs = 0;
  char type = 0;
  int cal[3] = {0, 0, 0};  // signed
  uint32_t size = 0;
  bool present() const { return ofs != 0 && size != 0; }
};

// A CR file read straight from its bytes.
struct CrFile {
  std::string bytes;
  int width = 0;
  int height = 0;
  int rect_size = 0;
  uint32_t count = 0;

  explicit CrFile(std::string file_bytes) : bytes(std::move(file_bytes)) {
    if (bytes.size() < 16) return;
    width = static_cast<int16_t>(be16(bytes, 4));
    height = static_cast<int16_t>(be16(bytes, 6));
    rect_size = be16(bytes, 8);
    count = be32(bytes, 12);
  }
  Entry entry(size_t index) const {
    size_t at = 16 + 12 * index;
    Entry e;
    e.ofs = be32(bytes, at);
    e.type = bytes[at + 4];
    for (int c = 0; c < 3; ++c) e.cal[c] = static_cast<int8_t>(bytes[at + 5 + c]);
    e.size = be32(bytes, at + 8);
    return e;
  }
  std::string block(const Entry& e) const { return bytes.substr(e.ofs, e.size); }
};

// Coded samples of a block, 3 per pixel; empty when the block does not decode to w x h.
inline std::vector<uint8_t> decode_block(const std::string& block, char type, int w, int h) {
  std::vector<uint8_t> samples;
  if (type == 'n') {
    if (block.size() != 2 + 3 * static_cast<size_t>(w) * h) return samples;
    if (static_cast<uint8_t>(block[0]) != w - 1 || static_cast<uint8_t>(block[1]) != h - 1) return samples;
    samples.assign(block.begin() + 2, block.end());
    return samples;
  }
  if (type != 'j') return samples;
  int dw = 0;
  int dh = 0;
  unsigned char* pixels =
      jpeg_uncompress(&dw, &dh, reinterpret_cast<const unsigned char*>(block.data()), static_cast<int>(block.size()));
  if (pixels != nullptr && dw == w && dh == h) {
    samples.resize(3 * static_cast<size_t>(w) * h);
    for (size_t i = 0; i < static_cast<size_t>(w) * h; ++i)
      for (int c = 0; c < 3; ++c) samples[3 * i + c] = pixels[4 * i + c];
  }
  std::free(pixels);
  return samples;
}

// The sample mapping, from its definition (divisions truncate toward zero).
inline int code_sample(int residual, int offset) {
  int t = residual + offset;
  if (t > 223) t = (32 * t - 7168) / 332 + 224;
  else if (t < 32) t = (32 * t - 1024) / 332 + 32;
  return t & 0xff;
}
inline int residual_of(int sample, int offset) {
  int t = sample;
  if (t > 223) t = (332 * t - 74368) / 32 + 224;
  else if (t < 32) t = (332 * t - 10624) / 32 + 32;
  return t - offset;
}
inline int centring_offset(int low, int high) { return std::clamp(128 - (high + low) / 2, -128, 127); }

}  // namespace cr_test

#include <gtest/gtest.h>

#include <cmath>
#include <map>

namespace cr_test {

// Reads every level of an R64 file back through the library.
inline std::vector<Image> read_r64_levels(const std::string& path) {
  std::vector<Image> levels;
  R64_FILE* f = r64_open_file(path.c_str(), O_RDONLY, 0644, 'P', 0, 0);
  if (f == nullptr) return levels;
  for (int k = 0; k < 32 && f->level_ofs[k] != 0; ++k) {
    Image level{f->level_w[k], f->level_h[k], std::vector<uint8_t>(3 * static_cast<size_t>(f->level_w[k]) * f->level_h[k])};
    for (int y = 0; y < level.h; ++y)
      for (int x = 0; x < level.w; ++x) r64_red(level.at(x, y), f, x, y, k);
    levels.push_back(std::move(level));
  }
  r64_close_file(f);
  return levels;
}

inline double psnr(const Image& a, const Image& b) {
  double sum = 0;
  for (size_t i = 0; i < a.rgb.size(); ++i) {
    double d = static_cast<double>(a.rgb[i]) - b.rgb[i];
    sum += d * d;
  }
  double mse = sum / static_cast<double>(a.rgb.size());
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// Index of each level's first table entry, and the rectangles across and down each level.
struct Layout {
  int rect = 0;
  std::vector<int> first;
  std::vector<int> across;
  std::vector<int> down;
  int index(int level, int x, int y) const { return first[level] + (y / rect) * across[level] + x / rect; }
};

inline Layout layout_of(const std::vector<Image>& levels, int rect) {
  Layout layout{rect, {}, {}, {}};
  int n = 0;
  for (const Image& level : levels) {
    layout.first.push_back(n);
    layout.across.push_back((level.w + rect - 1) / rect);
    layout.down.push_back((level.h + rect - 1) / rect);
    n += layout.across.back() * layout.down.back();
  }
  return layout;
}

// Rebuilds every level of a CR file by the reconstruction rule, checking on the way that each
// entry is of the kind its size calls for, that each offset is the centring one for the source
// residuals against the rebuilt parent, and that each uncompressed block holds exactly the coded
// residuals. Returns the rebuilt levels, finest first.
inline std::vector<Image> rebuild_and_check(const CrFile& cr, const std::vector<Image>& source) {
  const int rect = cr.rect_size;
  Layout layout = layout_of(source, rect);
  std::vector<Image> rebuilt;
  for (const Image& level : source) rebuilt.push_back(Image{level.w, level.h, std::vector<uint8_t>(level.rgb.size())});
  const int coarsest = static_cast<int>(source.size()) - 1;

  for (int level = coarsest; level >= 0; --level) {
    const Image& src = source[level];
    Image& out = rebuilt[level];
    for (int y0 = 0; y0 < src.h; y0 += rect)
      for (int x0 = 0; x0 < src.w; x0 += rect) {
        SCOPED_TRACE("level " + std::to_string(level) + " at " + std::to_string(x0) + "," + std::to_string(y0));
        int w = std::min(rect, src.w - x0);
        int h = std::min(rect, src.h - y0);
        Entry e = cr.entry(static_cast<size_t>(layout.index(level, x0, y0)));
        EXPECT_TRUE(e.present());
        if (!e.present()) continue;
        EXPECT_EQ(e.type, w >= 16 && h >= 16 ? 'j' : 'n');
        std::string block = cr.block(e);
        if (e.type == 'j') {
          EXPECT_EQ(block.substr(0, 2), "\xFF\xD8");
          EXPECT_EQ(block.substr(block.size() - 2), "\xFF\xD9");  // exactly the finished stream
        }
        std::vector<uint8_t> samples = decode_block(block, e.type, w, h);
        EXPECT_FALSE(samples.empty());
        if (samples.empty()) continue;

        // The residuals the writer had to code, against what a reader rebuilds for the parent.
        std::vector<int> residual(3 * static_cast<size_t>(w) * h);
        int low[3] = {1000, 1000, 1000};
        int high[3] = {-1000, -1000, -1000};
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
              int v = src.at(x0 + x, y0 + y)[c];
              if (level != coarsest) v -= rebuilt[level + 1].at((x0 + x) >> 1, (y0 + y) >> 1)[c];
              residual[3 * (static_cast<size_t>(y) * w + x) + c] = v;
              low[c] = std::min(low[c], v);
              high[c] = std::max(high[c], v);
            }
        for (int c = 0; c < 3; ++c) EXPECT_EQ(e.cal[c], static_cast<int8_t>(centring_offset(low[c], high[c])));

        bool exact = true;
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
              size_t i = 3 * (static_cast<size_t>(y) * w + x) + c;
              int s = samples[i];
              if (level == coarsest) {
                exact = exact && s == residual[i];
                out.at(x0 + x, y0 + y)[c] = static_cast<uint8_t>(s);
              } else {
                exact = exact && s == code_sample(residual[i], e.cal[c]);
                int parent = rebuilt[level + 1].at((x0 + x) >> 1, (y0 + y) >> 1)[c];
                out.at(x0 + x, y0 + y)[c] = static_cast<uint8_t>(std::clamp(parent + residual_of(s, e.cal[c]), 0, 255));
              }
            }
        if (e.type == 'n') {
          EXPECT_TRUE(exact) << "uncompressed samples differ from the coded residuals";
        }
      }
  }
  return rebuilt;
}

// The blocks of all present entries tile the data area without gaps, in the order given.
inline void expect_contiguous_blocks(const CrFile& cr, const std::vector<int>& order) {
  uint32_t next = 16 + 12 * cr.count;
  for (int index : order) {
    Entry e = cr.entry(static_cast<size_t>(index));
    EXPECT_EQ(e.ofs, next) << "entry " << index;
    next = e.ofs + e.size;
  }
  EXPECT_EQ(next, cr.bytes.size());
}

}  // namespace cr_test
