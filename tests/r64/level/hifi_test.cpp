// The windowed-FFT reduction: bit-identical to a straightforward implementation built on the
// allocating transforms and single-pixel reads, its filtering on simple images, the conversion
// of filtered values to bytes, and the passes that cannot run or must stop.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "complex.hpp"
#include "r64/file/r64_new_level.hpp"
#include "r64/level/level_files.hpp"
#include "support/support.hpp"

using namespace level_test;
using test_support::read_file;
using test_support::scratch_path;

namespace {

// ---- The reduction written out plainly: every block read pixel by pixel, every transform
// allocated and released, exactly in the order of the algorithm.

double plain_window(int x, int y) {
  return (1.0 - std::cos(x * 6.283185307179586 / 8.0)) * (1.0 - std::cos(y * 6.283185307179586 / 8.0)) / 4.0;
}

void plain_half_filter(COMPLEX b[8][8]) {
  COMPLEX tmp[8][8];
  for (int n = 0; n < 8; ++n) {
    COMPLEX* t = fastft(b[n], 3);
    for (int i = 0; i < 8; ++i) tmp[i][n] = t[i];
    std::free(t);
  }
  for (int n = 0; n < 8; ++n) {
    COMPLEX* t = fastft(tmp[n], 3);
    for (int i = 0; i < 8; ++i) b[i][n] = t[i];
    std::free(t);
  }
  for (int n = 0; n < 2; ++n)
    for (int c = 0; c < 8; ++c) b[n + 2][c] = b[n + 6][c];
  for (int r = 0; r < 4; ++r)
    for (int n = 0; n < 2; ++n) b[r][n + 2] = b[r][n + 6];
  for (int n = 0; n < 4; ++n) {
    COMPLEX* t = fastdft(b[n], 2);
    for (int i = 0; i < 4; ++i) tmp[i][n] = t[i];
    std::free(t);
  }
  for (int n = 0; n < 4; ++n) {
    COMPLEX* t = fastdft(tmp[n], 2);
    for (int i = 0; i < 4; ++i) b[i][n] = t[i];
    std::free(t);
  }
}

unsigned char plain_byte(double v) {
  double t = std::trunc(v);
  return t > 255.0 ? 255 : t < 0.0 ? 0 : static_cast<unsigned char>(t);
}

int plain_hifi(R64_FILE* f, int level) {
  if (!r64_check_level(f, level)) return -1;
  int w = f->level_w[level], h = f->level_h[level];
  int dest_w = (w >> 1) + (w & 1);
  int vol = f->header.type == 'P' ? 3 : 1;
  int buf_line = dest_w - dest_w % 4 + 12;
  std::vector<double> buf[3];
  for (auto& line : buf) line.assign(4 * buf_line, 0.0);
  for (int i = -4; i < h; i += 4) {
    for (int j = -4; j < w; j += 4) {
      COMPLEX rect[3][8][8];
      unsigned char col[3] = {0, 0, 0};
      for (int n = 0; n < 8; ++n)
        for (int m = 0; m < 8; ++m) {
          r64_red(col, f, j + m, i + n, level);
          for (int k = 0; k < vol; ++k) rect[k][n][m] = COMPLEX{0.0, plain_window(m, n) * col[k]};
        }
      for (int k = 0; k < vol; ++k) plain_half_filter(rect[k]);
      for (int k = 0; k < vol; ++k)
        for (int n = 0; n < 4; ++n)
          for (int m = 0; m < 4; ++m) buf[k][n * buf_line + j / 2 + 2 + m] += rect[k][n][m].re;
    }
    for (int n = 0; n < 2; ++n)
      for (int m = 0; m < dest_w; ++m) {
        unsigned char col[3] = {0, 0, 0};
        for (int k = 0; k < vol; ++k) col[k] = plain_byte(buf[k][n * buf_line + m + 2]);
        r64_set(f, m, i / 2 + n, level + 1, col);
      }
    for (int n = 0; n < 2; ++n)
      for (int c = 0; c < buf_line; ++c)
        for (int k = 0; k < vol; ++k) {
          buf[k][n * buf_line + c] = buf[k][(n + 2) * buf_line + c];
          buf[k][(n + 2) * buf_line + c] = 0.0;
        }
  }
  return 0;
}

// ---- Images.

unsigned char noise(int x, int y, int k) {
  unsigned v = static_cast<unsigned>(x) * 73856093u ^ static_cast<unsigned>(y) * 19349663u ^ static_cast<unsigned>(k) * 83492791u;
  return static_cast<unsigned char>((v * 2654435761u) >> 24);
}

// Smooth gradients, a hard edge that rings past 0 and 255, and some noise.
void photo(int x, int y, unsigned char* col) {
  for (int k = 0; k < 3; ++k) {
    int v = (x * 255) / 40 + (k == 1 ? y * 3 : 0) + (noise(x, y, k) & 31) - 16;
    if ((x / 5 + y / 7 + k) % 3 == 0) v = (x + y) % 2 ? 255 : 0;
    col[k] = static_cast<unsigned char>(std::clamp(v, 0, 255));
  }
}

struct Case {
  const char* name;
  char type;
  int w, h;
  int rc_type;
  unsigned char background;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class HifiExactTest : public testing::TestWithParam<Case> {};

TEST_P(HifiExactTest, EqualsThePlainComputationByteForByte) {
  const Case& c = GetParam();
  std::string fast_path = scratch_path("fast.r64"), plain_path = scratch_path("plain.r64");
  for (const std::string& path : {fast_path, plain_path}) make_r64(path, c.type, c.w, c.h, photo);

  R64_FILE* fast = open_rw(fast_path);
  R64_FILE* plain = open_rw(plain_path);
  for (R64_FILE* f : {fast, plain}) {
    f->rc_type = static_cast<signed char>(c.rc_type);  // also modes r64_ctl would refuse
    f->background[0] = f->background[1] = f->background[2] = static_cast<char>(c.background);
  }
  // Every level that is present once the one below it is built ('B' levels only become present
  // when something is written behind them, so a 'B' file gets one pass).
  int passes = 0;
  for (int level = 0; r64_flush(fast) == 0 && r64_flush(plain) == 0 && r64_check_level(fast, level); ++level) {
    testing::internal::CaptureStdout();
    int result = r64_new_level_hifi(fast, level);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, 0);
    ASSERT_EQ(plain_hifi(plain, level), 0);
    ++passes;
  }
  EXPECT_GE(passes, 1);
  r64_close_file(fast);
  r64_close_file(plain);
  std::string fast_bytes = read_file(fast_path), plain_bytes = read_file(plain_path);
  ASSERT_EQ(fast_bytes.size(), plain_bytes.size());
  EXPECT_TRUE(fast_bytes == plain_bytes);
}

INSTANTIATE_TEST_SUITE_P(Images, HifiExactTest,
                         testing::Values(Case{"colour_odd", 'P', 77, 45, 1, 0}, Case{"colour_tiles", 'P', 150, 70, 1, 0},
                                         Case{"grey_narrowest", 'G', 3, 50, 1, 0}, Case{"grey_nine_rows", 'G', 70, 9, 1, 0},
                                         Case{"grey_background", 'G', 33, 21, 0, 180},
                                         Case{"colour_refused_edges", 'P', 21, 19, 7, 0}, Case{"bits", 'B', 75, 40, 1, 0}),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// ---- Behaviour on simple images.

Image hifi_level_1(char type, int w, int h, const PixelFn& fn) {
  std::string path = scratch_path("simple.r64");
  make_r64(path, type, w, h, fn);
  R64_FILE* f = open_rw(path);
  testing::internal::CaptureStdout();
  EXPECT_EQ(r64_new_level_hifi(f, 0), 0);
  testing::internal::GetCapturedStdout();
  Image target = read_level(f, 1);
  r64_close_file(f);
  return target;
}

TEST(HifiTest, UniformLevelStaysUniform) {
  Image got = hifi_level_1('P', 37, 23, [](int, int, unsigned char* col) {
    col[0] = 10;
    col[1] = 200;
    col[2] = 77;
  });
  for (int y = 0; y < got.h; ++y)
    for (int x = 0; x < got.w; ++x) ASSERT_EQ((std::vector<int>{got.at(x, y, 0), got.at(x, y, 1), got.at(x, y, 2)}),
                                              (std::vector<int>{10, 200, 77})) << x << "," << y;
}

TEST(HifiTest, AlternatingColumnsLoseTheirHighestFrequency) {
  Image got = hifi_level_1('G', 40, 16, [](int x, int, unsigned char* col) { col[0] = x % 2 ? 255 : 0; });
  for (int y = 0; y < got.h; ++y)
    for (int x = 2; x < got.w; ++x) EXPECT_EQ(got.at(x, y, 0), 127) << x << "," << y;
}

// Target pixel (x, y) is sampled at source pixel (2x, 2y).
TEST(HifiTest, NarrowLevelFollowsAVerticalRamp) {
  Image got = hifi_level_1('G', 5, 12, [](int, int y, unsigned char* col) { col[0] = static_cast<unsigned char>(20 * y); });
  ASSERT_EQ(got.w, 3);
  ASSERT_EQ(got.h, 6);
  for (int y = 1; y < 5; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_NEAR(got.at(x, y, 0), 40 * y, 3) << x << "," << y;
}

TEST(HifiTest, FilteredValuesAreTruncatedAndClamped) {
  struct Conversion {
    double value;
    int byte;
  };
  for (Conversion c : {Conversion{254.9, 254}, Conversion{255.99, 255}, Conversion{256.0, 255}, Conversion{1e300, 255},
                       Conversion{0.999, 0}, Conversion{1.0, 1}, Conversion{-0.5, 0}, Conversion{-1.0, 0},
                       Conversion{-1e300, 0}, Conversion{std::nan(""), 0}})
    EXPECT_EQ(level_internal::to_byte(c.value), c.byte) << c.value;
}

TEST(HifiTest, PrintsOneProgressLinePerBlockRow) {
  std::string path = scratch_path("progress.r64");
  make_r64(path, 'G', 10, 9, [](int, int, unsigned char* col) { col[0] = 1; });
  R64_FILE* f = open_rw(path);
  testing::internal::CaptureStdout();
  EXPECT_EQ(r64_new_level_hifi(f, 0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "h = -4/9   \rh = 0/9   \rh = 4/9   \rh = 8/9   \r\n");
  r64_close_file(f);
}

TEST(HifiTest, RefusesALevelThatIsNotThereWithoutOutput) {
  std::string path = scratch_path("small.r64");
  make_r64(path, 'P', 12, 12, [](int, int, unsigned char* col) { col[0] = 1; });
  R64_FILE* f = open_rw(path);
  for (int level : {-1, 1, 32}) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(r64_new_level_hifi(f, level), -1) << level;
    EXPECT_EQ(r64_error, kR64NoLevel) << level;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << level;
  }
  r64_close_file(f);
}

TEST(HifiTest, SystemErrorOnReadEndsThePass) {
  std::string path = scratch_path("unreadable.r64");
  make_r64(path, 'P', 30, 30, [](int, int, unsigned char* col) { col[0] = 5; });
  for (int rc_type : {1, 7}) {
    R64_FILE* f = open_rw(path);
    f->rc_type = static_cast<signed char>(rc_type);
    cripple_descriptor(f, path, O_WRONLY);
    testing::internal::CaptureStdout();
    EXPECT_EQ(r64_new_level_hifi(f, 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "h = -4/30   \r");
    EXPECT_EQ(r64_error, kR64System);
    r64_close_file(f);
  }
}

}  // namespace
