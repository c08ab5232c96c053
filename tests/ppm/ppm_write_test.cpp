// Writing PPM images and the scaled converter: the header text, whole images, box means clipped
// to the source, grey and two-byte sources, and the refusals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <initializer_list>
#include <string>

#include "change_endian.hpp"
#include "ppmlib_types.hpp"
#include "r64.hpp"
#include "support/support.hpp"

namespace {

using test_support::ppm_bytes;

std::string bytes(std::initializer_list<int> values) { return std::string(values.begin(), values.end()); }

// The header overwrites the start of the file, leaving the descriptor and the offset of the first
// pixel behind it; write_ppm writes header and pixels, and fails on a descriptor it cannot write.
TEST(WriteHeader, WritesP6HeaderWhateverTheMagicAndWritePpmAddsThePixels) {
  const std::string path = test_support::scratch_path("image.ppm");
  test_support::write_file(path, std::string(40, 'x'));
  PPM_INFO pi{};
  pi.pi_fd = ::open(path.c_str(), O_RDWR), pi.pi_width = 640, pi.pi_height = 480, pi.pi_max = 255;
  std::snprintf(pi.pi_type, sizeof pi.pi_type, "P5");
  ASSERT_EQ(write_header(&pi), 0);
  EXPECT_EQ(std::pair(::lseek(pi.pi_fd, 0, SEEK_CUR), pi.pi_offset), std::pair(off_t{15}, 15u));
  ::close(pi.pi_fd);
  EXPECT_EQ(test_support::read_file(path), "P6\n640 480\n255\n" + std::string(25, 'x'));
  const unsigned char data[] = {1, 2, 3, 4, 5, 6};
  pi.pi_width = 2, pi.pi_height = 1;
  for (int flags : {O_RDONLY, O_WRONLY | O_TRUNC}) {
    pi.pi_fd = ::open(path.c_str(), flags);
    EXPECT_EQ(write_ppm(&pi, data), flags == O_RDONLY ? -1 : 0);
    ::close(pi.pi_fd);
  }
  EXPECT_EQ(test_support::read_file(path), "P6\n2 1\n255\n" + bytes({1, 2, 3, 4, 5, 6}));
}

// Target (x, y) takes the box around source (x * scale + dx, y * scale + dy); `none` maps nothing.
struct Mapping { int scale = 1, dx = 0, dy = 0, r_width = 0, r_height = 0; bool none = false; };

int map(int* x, int* y, int* r_width, int* r_height, void* work) {
  const Mapping& m = *static_cast<const Mapping*>(work);
  *x = *x * m.scale + m.dx, *y = *y * m.scale + m.dy, *r_width = m.r_width, *r_height = m.r_height;
  return m.none ? -1 : 0;
}

std::string grid4() {  // pixel (x, y) is 40y + 10x, x, y
  std::string pixels;
  for (int i = 0; i < 16; ++i) pixels += bytes({40 * (i / 4) + 10 * (i % 4), i % 4, i / 4});
  return ppm_bytes("P6", 4, 4, 255, pixels);
}

std::string grid3() {  // pixel (x, y) is 3y + x, 9 on the diagonal and 0 elsewhere, 200
  std::string pixels;
  for (int i = 0; i < 9; ++i) pixels += bytes({i, i % 4 == 0 ? 9 : 0, 200});
  return ppm_bytes("P6", 3, 3, 255, pixels);
}

TEST(PpmConverter, TargetPixelsAreClippedBoxMeans) {
  const std::string grey = bytes({128, 128, 128}), grey3 = grey + grey + grey;
  const struct {
    const char* name;
    std::string source;
    int width, height;
    Mapping mapping;
    std::string pixels;  // of the target, whose maximum is 255
  } table[] = {
      {"half-size copy", grid4(), 2, 2, {.scale = 2}, bytes({0, 0, 0, 20, 2, 0, 80, 0, 2, 100, 2, 2})},
      {"3x3 mean, rounded down", grid3(), 1, 1, {.dx = 1, .dy = 1, .r_width = 1, .r_height = 1}, bytes({4, 3, 200})},
      {"boxes clipped at the borders",
       grid3(),
       2,
       2,
       {.scale = 2, .r_width = 1, .r_height = 1},
       bytes({2, 4, 200, 3, 2, 200, 5, 2, 200, 6, 4, 200})},
      {"3x1 box of 1, 2, 2",
       ppm_bytes("P6", 3, 1, 255, bytes({1, 0, 0, 2, 0, 0, 2, 0, 0})),
       1,
       1,
       {.dx = 1, .r_width = 1},
       bytes({1, 0, 0})},
      {"no source anywhere", grid3(), 2, 2, {.none = true}, grey + grey + grey + grey},
      {"centres outside the source",
       grid3(),
       5,
       2,
       {.dx = -1, .dy = 2},
       grey + bytes({6, 0, 200, 7, 0, 200, 8, 9, 200}) + grey3 + grey3},
      {"grey source gives triples",
       ppm_bytes("P5", 3, 1, 255, bytes({10, 21, 40})),
       3,
       1,
       {.r_width = 1},
       bytes({15, 15, 15, 23, 23, 23, 30, 30, 30})},
      {"two-byte samples, most significant first",
       ppm_bytes("P6", 1, 1, 65535, bytes({0x12, 0x34, 0xFF, 0xFF, 0, 0})),
       1,
       1,
       {},
       bytes({18, 255, 0})},
      {"two-byte means scaled",
       ppm_bytes("P5", 2, 1, 1000, bytes({0, 3, 0, 6})),
       1,
       1,
       {.r_width = 1},
       bytes({1, 1, 1})},
      {"two-byte samples rounded down, as \"-pr\" scales them",
       ppm_bytes("P6", 1, 1, 65535, bytes({0x80, 0x00, 0x7F, 0xFF, 0x00, 0x81})),
       1,
       1,
       {},
       bytes({127, 127, 0})},
  };
  std::string from = test_support::scratch_path("from.ppm"), to = test_support::scratch_path("to.ppm");
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    test_support::write_file(from, c.source);
    EXPECT_EQ(ppm_converter(from.c_str(), to.c_str(), c.width, c.height, map, const_cast<Mapping*>(&c.mapping)), 0);
    EXPECT_EQ(test_support::read_file(to), ppm_bytes("P6", c.width, c.height, 255, c.pixels));
  }
}

// Source rows visited column by column in tall boxes, more rows than stay in memory: every target
// pixel is still the plain mean of its clipped box.
TEST(PpmConverter, TransposedTallBoxesMatchPlainMeans) {
  constexpr int kW = 23, kH = 41, kR = 9;
  std::string pixels = test_support::photo_pixels(kW, kH, 7);
  std::string from = test_support::scratch_path("from.ppm"), to = test_support::scratch_path("to.ppm");
  test_support::write_file(from, ppm_bytes("P6", kW, kH, 255, pixels));
  auto transpose = [](int* x, int* y, int* r_width, int* r_height, void*) {
    std::swap(*x, *y), *r_width = 1, *r_height = kR;
    return 0;
  };
  ASSERT_EQ(ppm_converter(from.c_str(), to.c_str(), kH, kW, transpose, nullptr), 0);

  std::string expected;
  for (int i = 0; i < kW * kH * 3; ++i) {
    int sx = i / 3 / kH, sy = i / 3 % kH, sum = 0, count = 0;
    for (int y = std::max(0, sy - kR); y <= std::min(kH - 1, sy + kR); ++y)
      for (int x = std::max(0, sx - 1); x <= std::min(kW - 1, sx + 1); ++x, ++count)
        sum += static_cast<unsigned char>(pixels[(y * kW + x) * 3 + i % 3]);
    expected.push_back(static_cast<char>(sum / count));
  }
  EXPECT_EQ(test_support::read_file(to), ppm_bytes("P6", kH, kW, 255, expected));
}

// Two-byte samples become bytes the way "-pr" stores them (v x 255 / max, truncated): a copy made
// by the converter holds the pixels of level 0 of the R64 file "-pr" writes from the same image.
TEST(PpmConverter, TwoByteSamplesBecomeTheBytesConversionStores) {
  constexpr int kW = 256, kH = 3;
  for (int max : {65535, 1000, 256}) {
    SCOPED_TRACE("maximum " + std::to_string(max));
    std::string samples;
    for (long i = 0, n = kW * kH * 3; i < n; ++i) {  // 0 to max in steps of about a tenth of a byte
      const long v = i * max / (n - 1);
      samples += static_cast<char>(v >> 8);
      samples += static_cast<char>(v & 0xFF);
    }
    test_support::write_file(test_support::scratch_path("in.ppm"), ppm_bytes("P6", kW, kH, max, samples));
    Mapping copy;
    ASSERT_EQ(ppm_converter(test_support::scratch_path("in.ppm").c_str(), test_support::scratch_path("copy.ppm").c_str(),
                            kW, kH, map, &copy),
              0);
    ASSERT_EQ(test_support::run_tool({"-pr", "in.ppm", "in.r64"}).status, 0);
    check_endian();
    r64_init();
    R64_FILE* f = r64_open_file(test_support::scratch_path("in.r64").c_str(), O_RDONLY, 0644, 'P', 0, 0);
    ASSERT_NE(f, nullptr);
    const std::vector<test_support::Image> levels = test_support::read_levels(f);
    r64_close_file(f);
    ASSERT_FALSE(levels.empty());
    const std::string stored(levels[0].rgb.begin(), levels[0].rgb.end());
    EXPECT_EQ(test_support::read_file(test_support::scratch_path("copy.ppm")), ppm_bytes("P6", kW, kH, 255, stored));
  }
}

TEST(PpmConverter, RefusesWithAMessageAndCreatesNoTarget) {
  std::string from = test_support::scratch_path("from.ppm"), to = test_support::scratch_path("to.ppm");
  std::string missing = test_support::scratch_path("missing.ppm"), no_dir = test_support::scratch_path("no/t.ppm");
  const struct { std::string source, from, to, message; } table[] = {
      {"", missing, to, "cannot open the file \"" + missing + "\"\n"},
      {"P6 1 x\n", from, to, "cannot read the PPM header of \"" + from + "\"\n"},
      {grid3(), from, no_dir, "cannot open the file \"" + no_dir + "\"\n"},
      {grid3(), from, from, "cannot open the file \"" + from + "\"\n"},  // the source itself
  };
  Mapping m;
  for (const auto& r : table) {
    test_support::write_file(from, r.source);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ppm_converter(r.from.c_str(), r.to.c_str(), 1, 1, map, &m), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), r.message);
    EXPECT_FALSE(std::filesystem::exists(to));
    EXPECT_EQ(test_support::read_file(from), r.source);
  }
}

}  // namespace
