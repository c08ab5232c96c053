// "-ppmtype" and "-pr" end to end: the header line, the R64 file a conversion writes (byte for
// byte against a tile layout computed here), the scaling of samples, and every refusal.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "support/support.hpp"

using namespace test_support;

namespace {

// Level 0 of a 'P' file: the 8-byte header, then 64 x 64 tiles band by band, left to right, each
// tile its rows top to bottom.
std::string tiled_r64(int w, int h, const std::string& rgb) {
  std::string file = {'R', '6', '4', 'P', char(w >> 8), char(w & 0xFF), char(h >> 8), char(h & 0xFF)};
  for (int top = 0; top < h; top += 64)
    for (int left = 0; left < w; left += 64)
      for (int y = top; y < std::min(h, top + 64); ++y)
        file.append(rgb, (size_t(y) * w + left) * 3, size_t(std::min(64, w - left)) * 3);
  return file;
}

// One line per file, until a file that cannot be opened or whose header cannot be read ends the run.
TEST(PpmType, PrintsOneHeaderLinePerFile) {
  write_file(scratch_path("a.ppm"), ppm_bytes("P6", 640, 480, 255, ""));
  write_file(scratch_path("b.pgm"), ppm_bytes("P5", 32, 8, 1023, ""));
  write_file(scratch_path("bad.ppm"), "P6\n640 480\n");
  const struct { std::vector<std::string> args; const char *out, *err; } cases[] = {
      {{"-ppmtype", "a.ppm", "-ppmtype", "b.pgm"}, "P6 640 480 255\nP5 32 8 1023\n", ""},
      {{"-ppmtype", "a.ppm", "-ppmtype", "x", "-ppmtype", "b.pgm"}, "P6 640 480 255\n", "cannot open the file \"x\"\n"},
      {{"-ppmtype", "bad.ppm", "-ppmtype", "a.ppm"}, "", "cannot read the PPM header of \"bad.ppm\"\n"},
  };
  for (const auto& c : cases) {
    RunResult result = run_tool(c.args);
    EXPECT_EQ(std::tuple(result.status, result.out, result.err), std::tuple(c.err[0] ? 1 : 0, c.out, c.err));
  }
}

// A photo of partial tiles in both directions, and a single band wider than the tile cache; the
// output replaces a larger file of the same name.
TEST(Convert, WritesTiledLevelZeroAndReportsEachRow) {
  for (auto [w, h] : {std::pair{1000, 800}, std::pair{20480, 3}}) {
    std::string pixels = photo_pixels(w, h);
    write_file(scratch_path("in.ppm"), ppm_bytes("P6", w, h, 255, pixels));
    write_file(scratch_path("out.r64"), std::string(3000000, 'z'));
    RunResult result = run_tool({"-pr", "in.ppm", "out.r64"});
    ASSERT_EQ(result.status, 0) << result.err;
    std::string out = "convert in.ppm(ppm) to out.r64(r64)\n";
    for (int y = 0; y < h; ++y) out += "h = " + std::to_string(y) + "/" + std::to_string(h) + "   \r";
    EXPECT_EQ(result.out + result.err, out + "\nEND\n");
    EXPECT_TRUE(read_file(scratch_path("out.r64")) == tiled_r64(w, h, pixels)) << w << "x" << h;
  }
}

// 3 x 3 images (one tile, so the pixels follow the header in order): grey samples give grey
// pixels, and every maximum scales to 0..255, two bytes high first above 255.
TEST(Convert, ScalesSamplesToBytes) {
  struct Case { const char* magic; int max; std::vector<int> samples, expected; };  // both repeat over the image
  const Case cases[] = {
      {"P5", 255, {0, 128, 255}, {0, 128, 255}},
      {"P6", 15, {0, 1, 7, 8, 15, 16, 200}, {0, 17, 119, 136, 255, 255, 255}},
      {"P6", 1023, {0, 4, 5, 512, 1023, 1024, 65535}, {0, 0, 1, 127, 255, 255, 255}},
      {"P5", 1000, {0, 500, 1000}, {0, 127, 255}},
  };
  for (const Case& c : cases) {
    int count = c.magic[1] == '5' ? 9 : 27;
    std::string data, expected = {'R', '6', '4', 'P', 0, 3, 0, 3};
    for (int i = 0; i < count; ++i) {
      int sample = c.samples[i % c.samples.size()];
      if (c.max > 255) data += char(sample >> 8);
      data += char(sample & 0xFF);
      expected.append(count == 9 ? 3 : 1, char(c.expected[i % c.expected.size()]));
    }
    write_file(scratch_path("in.ppm"), ppm_bytes(c.magic, 3, 3, c.max, data));
    EXPECT_EQ(run_tool({"-pr", "in.ppm", "out.r64"}).status, 0);
    EXPECT_EQ(read_file(scratch_path("out.r64")), expected) << c.magic << " max " << c.max;
  }
}

TEST(Convert, RefusedImagesEndTheRun) {
  const std::pair<std::string, std::string> cases[] = {
      {"P4\n8 8\n" + std::string(8, '\xAA'), "not support the  format P4\n"},
      {"P3\n3 3\n255\n0 0 0\n", "not support the  format P3\n"},
      {ppm_bytes("P6", 2, 100, 255, std::string(600, 'a')), "unsupported image size 2x100\n"},
      {ppm_bytes("P5", 100, 2, 255, std::string(200, 'a')), "unsupported image size 100x2\n"},
      {ppm_bytes("P6", 32768, 3, 255, ""), "unsupported image size 32768x3\n"},
      {ppm_bytes("P6", 70, 70, 255, std::string(70 * 70 * 3 - 1, 'a')),
       "the PPM file \"in.ppm\" ends before its last pixel\n"},
      {ppm_bytes("P5", 3, 3, 1000, std::string(17, 'a')), "the PPM file \"in.ppm\" ends before its last pixel\n"},
  };
  for (const auto& [ppm, message] : cases) {
    write_file(scratch_path("in.ppm"), ppm);
    RunResult result = run_tool({"-pr", "in.ppm", "out.r64"});
    EXPECT_EQ(std::pair(result.status, result.err), std::pair(1, message));
    EXPECT_FALSE(result.out.ends_with("END\n")) << message;
    // Pixel data that end early are found after the R64 file was created.
    if (!message.starts_with("the PPM")) {
      EXPECT_EQ(file_size(scratch_path("out.r64")), -1) << message;
    }
  }
}

// A file that cannot be created; a band of a narrow image that does not fit; the last band of an
// image, with room for all but its last bytes. Each band is written as soon as it is read, so a
// failed write ends the run before "END".
TEST(Convert, FailedWritesOfTheR64FileAreSystemErrors) {
  const struct { std::string ppm, output; long limit; } cases[] = {
      {ppm_bytes("P6", 3, 3, 255, std::string(27, 'a')), "no-such-dir/out.r64", -1},
      {ppm_bytes("P5", 3, 20417, 255, std::string(3 * 20417, 'g')), "out.r64", 100},
      {ppm_bytes("P6", 200, 200, 255, photo_pixels(200, 200)), "out.r64", 119900},
  };
  for (const auto& c : cases) {
    write_file(scratch_path("in.ppm"), c.ppm);
    RunResult result = run_tool({"-pr", "in.ppm", c.output}, {.file_size_limit = c.limit, .env = {}});
    EXPECT_EQ(result.status, 1) << c.limit;
    EXPECT_FALSE(result.out.ends_with("\nEND\n")) << c.limit;
    EXPECT_TRUE(result.err.ends_with(c.limit < 0 ? "R64 -1\nsystem : No such file or directory\n"
                                                   "cannot create \"no-such-dir/out.r64\": No such file or directory\n"
                                                 : "R64 -1\nsystem : File too large\n"
                                                   "cannot write \"out.r64\": File too large\n")) << result.err;
  }
}

}  // namespace
