// The PNG row source: what it reports after opening, and the sample rules it applies, checked on
// reference values: 16-bit scaling as a PPM of maximum 65535, low bit depths as a PGM of maximum
// 2^bits - 1, alpha and tRNS composited over black as round(v * a / max).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/image_files.hpp"
#include "support/support.hpp"

using namespace test_support;

namespace {

// One row of pixels, each given by its samples; decoded back through the row source.
Decoded decode_row(int channels, int bits, const std::vector<std::vector<uint16_t>>& pixels, const PngOptions& options = {}) {
  Samples s{static_cast<int>(pixels.size()), 1, channels, bits, {}};
  for (const auto& p : pixels) s.v.insert(s.v.end(), p.begin(), p.end());
  write_file(scratch_path("row.png"), png_bytes(s, options));
  return read_source(scratch_path("row.png"));
}

std::vector<uint16_t> reds(const Decoded& d) {
  std::vector<uint16_t> r;
  for (size_t i = 0; i < d.rgb.v.size(); i += 3) r.push_back(d.rgb.v[i]);
  return r;
}

TEST(PngSource, ReportsFormatSizesChannelsAndBitsOfTheFile) {
  struct Case { int channels, bits; PngOptions options; int reported_channels; };
  const Case cases[] = {{3, 8, {}, 3}, {4, 16, {}, 4}, {1, 16, {}, 1}, {2, 8, {}, 2}, {1, 8, {.palette = {{1, 2, 3}}}, 3}};
  for (const Case& c : cases) {
    Samples s = Samples::textured(9, 5, c.channels, c.bits);
    if (!c.options.palette.empty()) std::fill(s.v.begin(), s.v.end(), 0);
    write_file(scratch_path("a.png"), png_bytes(s, c.options));
    Decoded d = read_source(scratch_path("a.png"));
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(std::tuple(d.format, d.rgb.w, d.rgb.h, d.channels, d.bits),
              std::tuple(std::string("png"), 9, 5, c.reported_channels, c.bits));
  }
}

TEST(PngSource, SixteenBitSamplesScaleAsAPpmOfMaximum65535) {
  Decoded d = decode_row(1, 16, {{0}, {256}, {257}, {32767}, {32768}, {65534}, {65535}});
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(reds(d), (std::vector<uint16_t>{0, 0, 1, 127, 127, 254, 255}));
  EXPECT_EQ(d.rgb.v[3 * 6 + 1], 255);  // grey fills all three
}

TEST(PngSource, AlphaCompositesOverBlackRoundedToTheNearest) {
  Decoded d8 = decode_row(4, 8, {{200, 0, 0, 128}, {255, 0, 0, 0}, {255, 0, 0, 255}, {1, 0, 0, 128}, {1, 0, 0, 127},
                                 {254, 0, 0, 1}, {100, 0, 0, 255}});
  ASSERT_TRUE(d8.ok) << d8.error;
  EXPECT_EQ(reds(d8), (std::vector<uint16_t>{100, 0, 255, 1, 0, 1, 100}));
  // 16 bits: composited at 16 bits first, then scaled: 65535 at half alpha is 32768, then 127.
  Decoded d16 = decode_row(2, 16, {{65535, 32768}, {65535, 65535}, {25700, 65535}, {65535, 1}, {300, 65535}});
  ASSERT_TRUE(d16.ok) << d16.error;
  EXPECT_EQ(reds(d16), (std::vector<uint16_t>{127, 255, 100, 0, 1}));
}

// A grey colour key makes that one grey transparent, hence black; other greys stay.
TEST(PngSource, TransparencyChunkOfAGreyImageIsAColourKey) {
  Decoded d = decode_row(1, 8, {{10}, {77}, {200}}, {.palette = {}, .palette_alpha = {}, .grey_key = 77});
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(reds(d), (std::vector<uint16_t>{10, 0, 200}));
}

// 1, 2 and 4 bits a sample, written as raw PNG rows (filter byte 0, samples packed high bits first).
TEST(PngSource, LowBitDepthGreyScalesAsAPgmOfItsMaximum) {
  struct Case { uint8_t depth; std::string row; std::vector<uint16_t> expected; };
  const Case cases[] = {
      {1, std::string("\0\xA0", 2), {255, 0, 255, 0}},
      {2, std::string("\0\x1B", 2), {0, 85, 170, 255}},
      {4, std::string("\0\x07\xF0", 3), {0, 119, 255, 0}},
  };
  for (const Case& c : cases) {
    write_file(scratch_path("low.png"), raw_png(4, 1, c.depth, 0, 0, c.row));
    Decoded d = read_source(scratch_path("low.png"));
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(reds(d), c.expected) << int(c.depth);
  }
}

TEST(PngSource, InterlacedImageGivesTheSameRowsAsAPlainOne) {
  Samples s = Samples::textured(61, 19, 3, 8);
  write_file(scratch_path("adam7.png"), raw_png(61, 19, 8, 2, 1, adam7_rows(s)));
  Decoded d = read_source(scratch_path("adam7.png"));
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(d.rgb.v, s.v);
}

}  // namespace
