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
