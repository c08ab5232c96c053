// Test support for CR files: a fixture that sets up the library, packing an image, and an
// independent reading of CR files - table entries straight from the file's bytes, blocks decoded to
// coded samples, every level rebuilt by the reconstruction rule with the sample mapping written
// out from its definition.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>

#include "change_endian.hpp"
#include "jpeg.hpp"
#include "r64.hpp"
#include "support/support.hpp"

namespace cr_test {

using test_support::Image;

struct CrTest : ::testing::Test {
  void SetUp() override { check_endian(); r64_init(); }
};

// The big-endian unsigned number of `n` bytes at `at`.
inline uint32_t be(const std::string& bytes, size_t at, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | static_cast<uint8_t>(bytes[at + i]);
  return v;
}

struct Entry { uint32_t ofs; char type; int cal[3]; uint32_t size; };  // cal read as signed

inline Entry entry(const std::string& cr, size_t index) {
  const size_t at = 16 + 12 * index;
  return {be(cr, at, 4), cr[at + 4], {int8_t(cr[at + 5]), int8_t(cr[at + 6]), int8_t(cr[at + 7])}, be(cr, at + 8, 4)};
}

// Coded samples of a block, 3 per pixel; empty unless it decodes to exactly w x h pixels.
inline std::vector<uint8_t> decode_block(const std::string& block, char type, int w, int h) {
  const size_t n = static_cast<size_t>(w) * h;
  if (type == 'n') {
    if (block.size() != 2 + 3 * n || uint8_t(block[0]) != w - 1 || uint8_t(block[1]) != h - 1) return {};
    return {block.begin() + 2, block.end()};
  }
  int dw = 0, dh = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(block.data());
  unsigned char* pixels = type == 'j' ? jpeg_uncompress(&dw, &dh, data, static_cast<int>(block.size())) : nullptr;
  std::vector<uint8_t> samples;
  for (size_t i = 0; pixels != nullptr && dw == w && dh == h && i < 4 * n; ++i)
    if (i % 4 != 3) samples.push_back(pixels[i]);
  std::free(pixels);
  return samples;
}

// The sample mapping (divisions truncate toward zero).
inline int code_sample(int residual, int offset) {
  const int t = residual + offset;
  return (t > 223 ? (32 * t - 7168) / 332 + 224 : t < 32 ? (32 * t - 1024) / 332 + 32 : t) & 0xff;
}
inline int residual_of(int s, int offset) {
  return (s > 223 ? (332 * s - 74368) / 32 + 224 : s < 32 ? (332 * s - 10624) / 32 + 32 : s) - offset;
}

// What rebuild_and_check asks of the blocks: by default, the classic ones.
struct BlockRules {
  bool classic_jpeg = true;   // each 'j' block exactly the coded residuals' JPEG at quality 80
  bool plain_anywhere = false;  // a rectangle of any size may be stored plain (a target beyond JPEG)
};

// Rebuilds every level of the CR file `cr` into `out` (empty), coarsest first, every rectangle of
// the coarsest level being a root of plain pixels. On the way it checks against `source` (the R64
// file's levels, finest first) that every rectangle of every level has a block of the kind its size
// calls for, that each offset centres the rectangle's residuals against the rebuilt parent (so the
// writer predicted from exactly these pixels), that each 'n' block holds exactly the coded
// residuals and, with the classic rules, each 'j' block is exactly their JPEG at quality 80;
// entries past the last level stay zero.
inline void rebuild_and_check(const std::string& cr, const std::vector<Image>& source, std::vector<Image>& out,
                              const BlockRules& rules = {}) {
  const int rect = static_cast<int>(be(cr, 8, 2)), top = static_cast<int>(source.size()) - 1;
  auto count = [rect](int side) { return static_cast<size_t>(side + rect - 1) / rect; };  // rectangles along a side
  std::vector<size_t> first = {0};                                                          // each level's first entry
  for (const Image& s : source) first.push_back(first.back() + count(s.w) * count(s.h));
  for (const Image& s : source) out.emplace_back(s.w, s.h);
  for (size_t i = first.back(); i < be(cr, 12, 4); ++i) EXPECT_EQ(entry(cr, i).size, 0u) << "entry " << i;
  for (int level = top; level >= 0; --level)
    for (int y0 = 0; y0 < source[level].h; y0 += rect)
      for (int x0 = 0; x0 < source[level].w; x0 += rect) {
        SCOPED_TRACE("level " + std::to_string(level) + " at " + std::to_string(x0) + "," + std::to_string(y0));
        const int w = std::min(rect, source[level].w - x0), h = std::min(rect, source[level].h - y0);
        const Entry e = entry(cr, first[level] + y0 / rect * count(source[level].w) + x0 / rect);
        const char kind = w >= 16 && h >= 16 ? 'j' : 'n';
        EXPECT_TRUE(e.type == kind || (rules.plain_anywhere && e.type == 'n')) << e.type;
        const std::string block = e.ofs != 0 ? cr.substr(e.ofs, e.size) : "";
        const std::vector<uint8_t> samples = decode_block(block, e.type, w, h);
        ASSERT_FALSE(samples.empty()) << "a block that decodes to " << w << "x" << h;
        std::vector<uint8_t> coded(4 * static_cast<size_t>(w) * h);  // what the block must hold
        for (int c = 0; c < 3; ++c) {
          std::vector<int> parent, residual;  // the rebuilt parent pixel (0 for a root), the residual
          for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
              parent.push_back(level == top ? 0 : out[level + 1].at((x0 + x) >> 1, (y0 + y) >> 1)[c]);
              residual.push_back(source[level].at(x0 + x, y0 + y)[c] - parent.back());
            }
          const auto [low, high] = std::minmax_element(residual.begin(), residual.end());
          EXPECT_EQ(e.cal[c], std::clamp(128 - (*high + *low) / 2, -128, 127)) << "channel " << c;
          int wrong = 0;
          for (size_t i = 0; i < residual.size(); ++i) {
            const int s = samples[3 * i + c];
            coded[4 * i + c] = static_cast<uint8_t>(level == top ? residual[i] : code_sample(residual[i], e.cal[c]));
            wrong += e.type == 'n' && s != coded[4 * i + c];
            out[level].at(x0 + static_cast<int>(i) % w, y0 + static_cast<int>(i) / w)[c] =
                static_cast<uint8_t>(level == top ? s : std::clamp(parent[i] + residual_of(s, e.cal[c]), 0, 255));
          }
          EXPECT_EQ(wrong, 0) << "samples of channel " << c << " that are not the coded residuals";
        }
        if (e.type == 'j' && rules.classic_jpeg) {  // the coded residuals compressed at quality 80, and nothing else
          int length = 0;
          unsigned char* expected = jpeg_compress(&length, coded.data(), w, h, 80);
          EXPECT_TRUE(block == std::string(reinterpret_cast<char*>(expected), static_cast<size_t>(length)));
          std::free(expected);
        }
      }
}

// cr_write_file's result and r64_error, what it printed, the CR file's bytes, and the levels of the
// R64 file read back through r64_red.
struct Packed { int result = -100, error = 0; std::string out, cr, cr_path; std::vector<Image> levels; };

// Writes `base` as a new R64 file of `type` with every level built (unless `build` is false) and
// packs it in rectangles of `rect`, coded as `coding` says (the classic blocks when null).
inline Packed pack(const Image& base, int rect, char type = 'P', bool build = true, const CR_CODING* coding = nullptr) {
  const std::string r64_path = test_support::scratch_path("a.r64");
  test_support::write_r64(r64_path, type, base, build);
  Packed p;
  p.cr_path = test_support::scratch_path("a.cr");
  R64_FILE* f = r64_open_file(r64_path.c_str(), O_RDONLY, 0644, 'P', 0, 0);
  p.levels = test_support::read_levels(f);
  testing::internal::CaptureStdout();
  p.result = coding ? cr_write_file_with(p.cr_path.c_str(), 0644, rect, f, coding) : cr_write_file(p.cr_path.c_str(), 0644, rect, f);
  p.error = r64_error;
  p.out = testing::internal::GetCapturedStdout();
  r64_close_file(f);
  p.cr = test_support::read_file(p.cr_path);
  return p;
}

// A valid JPEG stream of a 256 x 256 rectangle, its header followed by comment segments up to
// `bytes` in all: as long as a block may be, or longer, for what it costs a reader.
inline std::string padded_jpeg(size_t bytes) {
  std::vector<unsigned char> pixels(4 * 256 * 256);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned char>(i * 7 % 251);
  int length = 0;
  unsigned char* jpeg = jpeg_compress(&length, pixels.data(), 256, 256, 80);
  std::string stream(reinterpret_cast<char*>(jpeg), static_cast<size_t>(length));
  std::free(jpeg);
  std::string comments;
  while (stream.size() + comments.size() < bytes) {
    size_t payload = std::min<size_t>(65533, bytes - stream.size() - comments.size() - 4);
    comments += "\xFF\xFE";
    comments += static_cast<char>((payload + 2) >> 8);
    comments += static_cast<char>((payload + 2) & 0xFF);
    comments += std::string(payload, 'x');
  }
  return stream.insert(2, comments);  // right after the start-of-image marker
}

// Packs a width x height photo into p.cr of the scratch folder (rectangles of 256), then appends
// `block` and points every rectangle of level 0 at it.
inline void write_cr_of_one_block(int width, int height, const std::string& block) {
  using namespace test_support;
  write_photo_ppm("p.ppm", width, height);
  RunResult job = run_tool({"-pr", "p.ppm", "p.r64", "-l", "-cr", "p.cr"});
  ASSERT_EQ(job.status, 0) << job.err;
  std::string cr = read_file(scratch_path("p.cr"));
  auto put_be32 = [&cr](size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) cr[at + i] = static_cast<char>(value >> (24 - 8 * i));
  };
  const uint32_t at = static_cast<uint32_t>(cr.size());
  cr += block;
  for (size_t index = 0; index < static_cast<size_t>((width + 255) / 256) * ((height + 255) / 256); ++index) {
    put_be32(16 + 12 * index, at);
    cr[16 + 12 * index + 4] = 'j';
    put_be32(16 + 12 * index + 8, static_cast<uint32_t>(block.size()));
  }
  write_file(scratch_path("p.cr"), cr);
}

}  // namespace cr_test
