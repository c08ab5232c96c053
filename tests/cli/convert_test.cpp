// "-pr" end to end: the R64 file it writes, byte for byte against a file laid out independently
// here, the scaling of samples, and every refusal with its message, status and left-over files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "ppm2r64/ppm2r64.hpp"
#include "support/support.hpp"

using test_support::file_size;
using test_support::photo_pixels;
using test_support::ppm_bytes;
using test_support::read_file;
using test_support::RunOptions;
using test_support::run_tool;
using test_support::sample_path;
using test_support::scratch_path;
using test_support::write_file;

namespace {

constexpr int kTile = 64;

// Byte offset of pixel (x, y) in level 0 of a 'P' file of the given width and height: tiles band
// by band, left to right, each tile its rows top to bottom.
size_t pixel_offset(int width, int height, int x, int y) {
  int band_top = y / kTile * kTile;
  int band_rows = std::min(kTile, height - band_top);
  int tile_left = x / kTile * kTile;
  int tile_width = std::min(kTile, width - tile_left);
  return 8 + static_cast<size_t>(band_top) * width * 3 + static_cast<size_t>(tile_left) * band_rows * 3 +
         (static_cast<size_t>(y - band_top) * tile_width + (x - tile_left)) * 3;
}

// The R64 file that level 0 of an image of RGB `pixels` must give.
std::string expected_r64(int width, int height, const std::string& pixels) {
  std::string file = {'R', '6', '4', 'P', static_cast<char>(width >> 8), static_cast<char>(width & 0xFF),
                      static_cast<char>(height >> 8), static_cast<char>(height & 0xFF)};
  file.resize(8 + static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      file.replace(pixel_offset(width, height, x, y), 3, pixels, (static_cast<size_t>(y) * width + x) * 3, 3);
  return file;
}

std::string expected_output(const std::string& from, const std::string& to, int height) {
  std::string out = "convert " + from + "(ppm) to " + to + "(r64)\n";
  for (int h = 0; h < height; ++h) out += "h = " + std::to_string(h) + "/" + std::to_string(height) + "   \r";
  return out + "\nEND\n";
}

std::string pixel_at(const std::string& r64, int width, int height, int x, int y) {
  return r64.substr(pixel_offset(width, height, x, y), 3);
}

// Converts a PPM file of the given bytes and returns the R64 file; the run must succeed.
std::string convert(const std::string& ppm) {
  write_file(scratch_path("in.ppm"), ppm);
  auto result = run_tool({"-pr", "in.ppm", "out.r64"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  return read_file(scratch_path("out.r64"));
}

TEST(Convert, PhotoGivesHeaderAndTiledLevelZero) {
  std::string pixels = photo_pixels(1000, 800);
  write_file(scratch_path("in.ppm"), ppm_bytes("P6", 1000, 800, 255, pixels));
  auto result = run_tool({"-pr", "in.ppm", "out.r64"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, expected_output("in.ppm", "out.r64", 800));
  std::string r64 = read_file(scratch_path("out.r64"));
  ASSERT_EQ(r64.size(), 2400008u);
  EXPECT_EQ(r64.substr(0, 8), std::string("\x52\x36\x34\x50\x03\xE8\x03\x20", 8));
  EXPECT_TRUE(r64 == expected_r64(1000, 800, pixels)) << "level 0 differs from the tile layout";
}

// The bands and tile columns of odd sizes, a single tile, and a band wider than the tile cache.
class ConvertSize : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(ConvertSize, MatchesTileLayout) {
  auto [width, height] = GetParam();
  std::string pixels = photo_pixels(width, height, 7);
  std::string r64 = convert(ppm_bytes("P6", width, height, 255, pixels));
  EXPECT_EQ(r64.size(), 8 + static_cast<size_t>(width) * height * 3);
  EXPECT_TRUE(r64 == expected_r64(width, height, pixels));
}

INSTANTIATE_TEST_SUITE_P(Convert, ConvertSize,
                         ::testing::Values(std::pair{3, 3}, std::pair{64, 64}, std::pair{65, 65},
                                           std::pair{130, 129}, std::pair{3, 200}, std::pair{20480, 3}),
                         [](const auto& info) {
                           return std::to_string(info.param.first) + "x" + std::to_string(info.param.second);
                         });

TEST(Convert, TwoTileBandLayout) {
  std::string pixels;
  for (int i = 0; i < 65 * 3; ++i) pixels += {static_cast<char>(i), static_cast<char>(i >> 8), 'x'};
  std::string r64 = convert(ppm_bytes("P6", 65, 3, 255, pixels));
  ASSERT_EQ(r64.size(), 593u);
  EXPECT_EQ(r64.substr(200, 3), pixels.substr(65 * 3, 3));            // pixel (0, 1)
  EXPECT_EQ(r64.substr(584, 3), pixels.substr(64 * 3, 3));            // pixel (64, 0)
  EXPECT_EQ(r64.substr(590, 3), pixels.substr((2 * 65 + 64) * 3, 3));  // pixel (64, 2)
}

TEST(Convert, GreyImageGivesGreyPixels) {
  std::string r64 = convert(ppm_bytes("P5", 3, 3, 255, std::string("\x00\x80\xff\x00\x80\xff\x00\x80\xff", 9)));
  ASSERT_EQ(r64.size(), 8u + 27u);
  EXPECT_EQ(r64[3], 'P');
  for (int y = 0; y < 3; ++y) {
    EXPECT_EQ(pixel_at(r64, 3, 3, 0, y), std::string(3, '\x00'));
    EXPECT_EQ(pixel_at(r64, 3, 3, 1, y), std::string(3, '\x80'));
    EXPECT_EQ(pixel_at(r64, 3, 3, 2, y), std::string(3, '\xff'));
  }
}

struct Scaling {
  const char* name;
  int max;
  std::vector<unsigned> samples;  // one or two bytes each by the maximum
  std::vector<unsigned> expected;
};

void PrintTo(const Scaling& s, std::ostream* os) { *os << s.name; }

class SampleScaling : public ::testing::TestWithParam<Scaling> {};

// Nine RGB pixels of a 3x3 image carry 27 samples; each must scale to its expected byte.
TEST_P(SampleScaling, ScalesEverySampleTo255) {
  const Scaling& s = GetParam();
  ASSERT_EQ(s.samples.size(), 27u);
  std::string data;
  for (unsigned sample : s.samples) {
    if (s.max > 255) data += static_cast<char>(sample >> 8);
    data += static_cast<char>(sample & 0xFF);
  }
  std::string r64 = convert(ppm_bytes("P6", 3, 3, s.max, data));
  ASSERT_EQ(r64.size(), 35u);
  for (size_t i = 0; i < 27; ++i)
    EXPECT_EQ(static_cast<unsigned char>(r64[8 + i]), s.expected[i]) << "sample " << i << " = " << s.samples[i];
}

std::vector<unsigned> repeat_to_27(std::vector<unsigned> values) {
  std::vector<unsigned> all;
  while (all.size() < 27) all.push_back(values[all.size() % values.size()]);
  return all;
}

INSTANTIATE_TEST_SUITE_P(
    Convert, SampleScaling,
    ::testing::Values(
        Scaling{"Max255KeepsValues", 255, repeat_to_27({0, 1, 127, 128, 254, 255}),
                repeat_to_27({0, 1, 127, 128, 254, 255})},
        Scaling{"Max15", 15, repeat_to_27({0, 1, 7, 8, 14, 15, 16, 200, 255}),
                repeat_to_27({0, 17, 119, 136, 238, 255, 255, 255, 255})},
        Scaling{"Max1", 1, repeat_to_27({0, 1, 2}), repeat_to_27({0, 255, 255})},
        Scaling{"Max1023TwoBytesHighFirst", 1023, repeat_to_27({0, 1, 4, 5, 256, 512, 1023, 1024, 65535}),
                repeat_to_27({0, 0, 0, 1, 63, 127, 255, 255, 255})},
        Scaling{"Max256", 256, repeat_to_27({0, 255, 256, 257}), repeat_to_27({0, 254, 255, 255})},
        Scaling{"Max65535", 65535, repeat_to_27({0, 257, 32768, 65534, 65535}),
                repeat_to_27({0, 1, 127, 254, 255})}),
    [](const auto& info) { return info.param.name; });

TEST(Convert, GreyTwoByteSamples) {
  std::string data;
  for (unsigned sample : {0u, 500u, 1000u, 0u, 500u, 1000u, 0u, 500u, 1000u}) {
    data += static_cast<char>(sample >> 8);
    data += static_cast<char>(sample & 0xFF);
  }
  std::string r64 = convert(ppm_bytes("P5", 3, 3, 1000, data));
  ASSERT_EQ(r64.size(), 35u);
  EXPECT_EQ(pixel_at(r64, 3, 3, 0, 2), std::string(3, '\x00'));
  EXPECT_EQ(pixel_at(r64, 3, 3, 1, 2), std::string(3, static_cast<char>(127)));  // 500 * 255 / 1000
  EXPECT_EQ(pixel_at(r64, 3, 3, 2, 2), std::string(3, '\xff'));
}

TEST(AdjustMax, TruncatesAndClamps) {
  struct Case {
    unsigned max, col, expected;
  };
  for (auto c : {Case{255, 200, 200}, Case{15, 15, 255}, Case{15, 7, 119}, Case{15, 16, 255},
                 Case{1023, 512, 127}, Case{1023, 1023, 255}, Case{65535, 65535, 255}, Case{65535, 257, 1},
                 Case{3, 1, 85}, Case{3, 2, 170}})
    EXPECT_EQ(adjust_max(c.max, c.col), c.expected) << c.col << "/" << c.max;
}

// Comments and CR LF line ends as other tools write them: the pixel data start after the one
// whitespace byte that ends the maximum.
TEST(Convert, HeaderWithCommentAndCarriageReturn) {
  std::string pixels = photo_pixels(3, 3, 3);
  std::string r64 = convert("P6\r# written by a camera\r\n3 3\r\n255\r" + pixels);
  EXPECT_TRUE(r64 == expected_r64(3, 3, pixels));
}

TEST(Convert, RealPhoto) {
  std::string ppm = read_file(sample_path("coffee.ppm"));
  std::string header = "P6\n600 400\n255\n";
  ASSERT_EQ(ppm.substr(0, header.size()), header);
  std::string pixels = ppm.substr(header.size());
  ASSERT_EQ(pixels.size(), 600u * 400u * 3u);
  auto result = run_tool({"-pr", sample_path("coffee.ppm"), "coffee.r64"});
  ASSERT_EQ(result.status, 0) << result.err;
  std::string r64 = read_file(scratch_path("coffee.r64"));
  ASSERT_EQ(r64.size(), 8u + 600u * 400u * 3u);
  int wrong = 0;
  for (int y = 0; y < 400; ++y)
    for (int x = 0; x < 600; ++x)
      if (pixel_at(r64, 600, 400, x, y) != pixels.substr((static_cast<size_t>(y) * 600 + x) * 3, 3)) ++wrong;
  EXPECT_EQ(wrong, 0);
}

TEST(Convert, ReplacesAnExistingLargerFile) {
  write_file(scratch_path("out.r64"), std::string(10000, 'z'));
  std::string pixels = photo_pixels(3, 3);
  std::string r64 = convert(ppm_bytes("P6", 3, 3, 255, pixels));
  EXPECT_TRUE(r64 == expected_r64(3, 3, pixels));
}

// ---- refusals ----

struct Refusal {
  const char* name;
  std::string ppm;
  const char* message;
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class RefusedImage : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusedImage, ReportsAndCreatesNoFile) {
  write_file(scratch_path("in.ppm"), GetParam().ppm);
  auto result = run_tool({"-pr", "in.ppm", "out.r64"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, GetParam().message);
  EXPECT_EQ(result.out, "convert in.ppm(ppm) to out.r64(r64)\n");
  EXPECT_EQ(file_size(scratch_path("out.r64")), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Convert, RefusedImage,
    ::testing::Values(
        Refusal{"Bitmap", "P4\n8 8\n" + std::string(8, '\xAA'), "not support the  format P4\n"},
        Refusal{"PlainText", "P3\n3 3\n255\n0 0 0\n", "not support the  format P3\n"},
        Refusal{"PlainBitmap", "P1 3 3 1\n", "not support the  format P1\n"},
        Refusal{"PlainGrey", "P2 3 3 255\n", "not support the  format P2\n"},
        Refusal{"UnknownMagic", "Q9 3 3 255\n" + std::string(27, 'a'), "not support the  format Q9\n"},
        Refusal{"HeaderCutShort", "P6\n640 480\n", "cannot read the PPM header of \"in.ppm\"\n"},
        Refusal{"NotAnImage", "hello world, this is text\n", "cannot read the PPM header of \"in.ppm\"\n"},
        Refusal{"MaximumZero", "P6 3 3 0\n" + std::string(27, 'a'), "cannot read the PPM header of \"in.ppm\"\n"},
        Refusal{"EmptyFile", "", "cannot read the PPM header of \"in.ppm\"\n"},
        Refusal{"TooNarrow", ppm_bytes("P6", 2, 100, 255, std::string(600, 'a')), "unsupported image size 2x100\n"},
        Refusal{"TooLow", ppm_bytes("P5", 100, 2, 255, std::string(200, 'a')), "unsupported image size 100x2\n"},
        Refusal{"Empty", ppm_bytes("P6", 0, 0, 255, ""), "unsupported image size 0x0\n"},
        Refusal{"TooWide", ppm_bytes("P6", 32768, 3, 255, ""), "unsupported image size 32768x3\n"},
        Refusal{"TooHigh", ppm_bytes("P5", 3, 40000, 255, ""), "unsupported image size 3x40000\n"}),
    [](const auto& info) { return info.param.name; });

TEST(Convert, MissingInput) {
  auto result = run_tool({"-pr", "missing.ppm", "out.r64"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "cannot open the file \"missing.ppm\"\n");
  EXPECT_EQ(file_size(scratch_path("out.r64")), -1);
}

TEST(Convert, OutputCannotBeCreated) {
  write_file(scratch_path("in.ppm"), ppm_bytes("P6", 3, 3, 255, photo_pixels(3, 3)));
  auto result = run_tool({"-pr", "in.ppm", "no-such-dir/out.r64"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "R64 -1\nsystem : No such file or directory\n");
}

TEST(Convert, PixelDataEndingEarly) {
  std::string pixels = photo_pixels(70, 70);
  pixels.pop_back();
  write_file(scratch_path("short.ppm"), ppm_bytes("P6", 70, 70, 255, pixels));
  auto result = run_tool({"-pr", "short.ppm", "out.r64"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "the PPM file \"short.ppm\" ends before its last pixel\n");
  EXPECT_FALSE(result.out.ends_with("\nEND\n"));
  EXPECT_TRUE(result.out.ends_with("h = 69/70   \r")) << result.out;
}

TEST(Convert, TwoByteDataEndingEarly) {
  write_file(scratch_path("short.ppm"), ppm_bytes("P5", 3, 3, 1000, std::string(17, '\x01')));
  auto result = run_tool({"-pr", "short.ppm", "out.r64"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "the PPM file \"short.ppm\" ends before its last pixel\n");
}

// A tile that cannot be written back while the cache makes room ends the run at once: 3 x 20417
// pixels make 320 tiles, one more than the cache holds, and the file may not grow past 100 bytes.
TEST(Convert, FailedTileWriteDuringConversion) {
  write_file(scratch_path("in.ppm"), ppm_bytes("P5", 3, 20417, 255, std::string(3 * 20417, 'g')));
  RunOptions limited;
  limited.file_size_limit = 100;
  auto result = run_tool({"-pr", "in.ppm", "out.r64"}, limited);
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(result.err.ends_with("R64 -1\nsystem : File too large\n")) << result.err;
  EXPECT_FALSE(result.out.ends_with("\nEND\n"));
}

// The tiles still cached at the end cannot all be written: the close reports it. With the larger
// limit the gap before the last tile can be filled and only the tile itself does not fit.
TEST(Convert, FailedWriteBackAtClose) {
  write_file(scratch_path("in.ppm"), ppm_bytes("P6", 200, 200, 255, photo_pixels(200, 200)));
  for (long limit : {100000L, 119900L}) {
    RunOptions limited;
    limited.file_size_limit = limit;
    auto result = run_tool({"-pr", "in.ppm", "out.r64"}, limited);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("R64 -1\nsystem : "), std::string::npos) << result.err;
    EXPECT_TRUE(result.out.ends_with("\nEND\n"));
    EXPECT_LE(file_size(scratch_path("out.r64")), limit);
    if (limit == 119900L) {
      EXPECT_EQ(result.err, "R64 -1\nsystem : File too large\n");
    }
  }
}

// The converted file becomes the target of the commands that follow.
TEST(Convert, OutputBecomesTarget) {
  write_file(scratch_path("in.ppm"), ppm_bytes("P6", 8, 8, 255, photo_pixels(8, 8)));
  auto result = run_tool({"-t", "other.r64", "-pr", "in.ppm", "out.r64", "-l"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(file_size(scratch_path("out.r64")), 8 + 8 * 8 * 3 + 4 * 4 * 3);
  EXPECT_EQ(file_size(scratch_path("other.r64")), -1);
}

}  // namespace
