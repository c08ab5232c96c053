// The two level reductions. The box filter: every level against an independent 2x2 filter in both
// edge modes (its whole-tile path), a target pixel by type (its pixel-by-pixel path), its progress
// lines. The windowed-FFT filter: byte for byte a plain computation on the allocating transforms.
// Both: the levels they refuse. (Failed reads and writes are swept in the tool's runs.)
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "r64/file/r64_new_level.hpp"  // with r64.hpp and complex.hpp
#include "support/support.hpp"

using test_support::scratch_path;

namespace {

using PixelFn = std::function<void(int x, int y, uint8_t* col)>;  // sets every byte the type uses
using Bytes = std::vector<unsigned char>;

// Creates an R64 file whose level 0 holds fn's pixels, then opens it again with the given
// out-of-range mode (also modes that r64_ctl refuses) and background byte.
R64_FILE* open_new(const std::string& path, char type, int w, int h, const PixelFn& fn, int rc_type = 1,
                   int background = 0) {
  test_support::write_r64(path, type, test_support::Image::of(w, h, fn));
  R64_FILE* f = r64_open_file(path.c_str(), O_RDWR, 0644, type, 0, 0);
  f->rc_type = static_cast<signed char>(rc_type);
  std::fill_n(f->background, 3, static_cast<char>(background));
  return f;
}

// Flat bands, where windowed-FFT sums land next to whole numbers, between bands of gradients with
// noise and hard 0/255 edges, where they ring past 0 and 255.
void photo(int x, int y, unsigned char* col) {
  for (int k = 0; k < 3; ++k)
    col[k] = x / 16 % 2 ? 60 * k + 15
                        : (x / 5 + y / 7 + k) % 3 ? (x * 6 + y * k * 3 + (x * 73 ^ y * 19) % 32) % 256 : (x + y) % 2 * 255;
}

// A whole level read back, three bytes per pixel whatever the type, rows top to bottom.
Bytes read_level(R64_FILE* f, int level) {
  Bytes bytes;
  for (int y = 0; y < f->level_h[level]; ++y)
    for (int x = 0; x < f->level_w[level]; ++x) {
      unsigned char col[3] = {0, 0, 0};
      EXPECT_EQ(r64_red(col, f, x, y, level), 0);
      bytes.insert(bytes.end(), col, col + 3);
    }
  return bytes;
}

// Runs one level pass, expecting `result`, and returns what it printed.
std::string run_pass(int (*pass)(R64_FILE*, int), R64_FILE* f, int level, int result) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(pass(f, level), result) << "level " << level;
  return testing::internal::GetCapturedStdout();
}

// The floored 2x2 mean of each byte of a w x h level; a pixel beyond an odd edge is `background`,
// or the nearest edge pixel when background < 0.
Bytes box_filter(const Bytes& s, int w, int h, int background) {
  auto px = [&](int x, int y, int k) -> int {
    if ((x == w || y == h) && background >= 0) return background;
    return s[(std::min(y, h - 1) * w + std::min(x, w - 1)) * 3 + k];
  };
  Bytes d;
  for (int y = 0; y < (h + 1) / 2; ++y)
    for (int x = 0; x < (w + 1) / 2; ++x)
      for (int k = 0; k < 3; ++k)
        d.push_back((px(2 * x, 2 * y, k) + px(2 * x + 1, 2 * y, k) + px(2 * x, 2 * y + 1, k) +
                     px(2 * x + 1, 2 * y + 1, k)) / 4);
  return d;
}

// Each level from the one below it, in both edge modes. (What the smallest level and the call
// after it do is seen in the "-l" runs of the tool.)
TEST(BoxFilterTest, BuildsEveryLevelLikeAnIndependentFilter) {
  for (auto [w, h, background] : {std::tuple{131, 75, -1}, {131, 75, 200}, {1000, 800, -1}}) {  // -1: nearest edge pixel
    R64_FILE* f = open_new(scratch_path("photo.r64"), 'P', w, h, photo, background < 0 ? 1 : 0, background);
    for (int level = 0; f->level_ofs[level + 1] != 0; ++level) {
      r64_flush(f);
      run_pass(r64_new_level, f, level, 0);
      Bytes want = box_filter(read_level(f, level), f->level_w[level], f->level_h[level], background);
      EXPECT_EQ(read_level(f, level + 1), want) << "level " << level + 1 << ", background " << background;
    }
    r64_close_file(f);
  }
}

// Modes other than 0 and 1, and 'B' files, go pixel by pixel rather than tile by tile.
TEST(BoxFilterTest, GreyTakesTheFlooredMeanAndABitIsSetWhenAnySourceBitIs) {
  struct Case { char type; unsigned char block[4]; int rc_type, want; };  // block: (0,0), (1,0), (0,1), (1,1)
  for (const Case& c : {Case{'G', {1, 1, 1, 0}, 1, 0}, Case{'G', {255, 255, 255, 254}, 1, 254},
                        Case{'G', {1, 1, 1, 0}, 7, 0}, Case{'G', {255, 255, 255, 254}, 7, 254},
                        Case{'B', {0, 0, 0, 1}, 1, 255}, Case{'B', {1, 0, 0, 0}, 1, 255}, Case{'B', {0, 0, 0, 0}, 1, 0}}) {
    auto block = [&](int x, int y, unsigned char* col) { col[0] = x < 2 && y < 2 ? c.block[2 * y + x] : 0; };
    R64_FILE* f = open_new(scratch_path("level.r64"), c.type, 6, 6, block, c.rc_type);
    run_pass(r64_new_level, f, 0, 0);
    EXPECT_EQ(read_level(f, 1)[0], c.want) << c.type << c.rc_type << +c.block[3];
    r64_close_file(f);
  }
}

TEST(BoxFilterTest, CountsTilesDownFromAreaOver4096) {
  for (auto [side, want] : {std::pair{100, "total = 2/2  \rtotal = 1/2  \rtotal = 0/2  \rtotal = -1/2  \r\n"},
                            std::pair{64, "total = 1/1  \r\n"}}) {
    R64_FILE* f = open_new(scratch_path("progress.r64"), 'G', side, side, photo);
    EXPECT_EQ(run_pass(r64_new_level, f, 0, 0), want);
    r64_close_file(f);
  }
}

TEST(LevelPassTest, RefusesALevelThatIsNotThereWithoutOutput) {
  // Levels 10x10, 5x5, 3x3: level 1 is laid out but not yet in the file, level 3 is not laid out.
  R64_FILE* f = open_new(scratch_path("small.r64"), 'G', 10, 10, photo);
  for (auto pass : {r64_new_level, r64_new_level_hifi})
    for (int level : {-1, 1, 3, 32}) {
      EXPECT_EQ(run_pass(pass, f, level, -1), "");
      EXPECT_EQ(r64_error, kR64NoLevel) << level;
    }
  r64_close_file(f);
}

using Block = COMPLEX[8][8];

// Transforms the first 2^beki rows of `from` into the columns of `to`.
void transform_rows(COMPLEX* (*transform)(const COMPLEX*, int), int beki, Block from, Block to) {
  for (int n = 0; n < (1 << beki); ++n) {
    COMPLEX* t = transform(from[n], beki);
    for (int i = 0; i < (1 << beki); ++i) to[i][n] = t[i];
    std::free(t);
  }
}

double hann(int t) { return 1.0 - std::cos(t * 6.283185307179586 / 8.0); }

// The windowed-FFT reduction written out plainly: 8x8 blocks 4 apart from -4, read pixel by
// pixel, windowed, cut to frequencies 0, 1, -2, -1, resampled to 4x4 and added up over the level.
void plain_hifi(R64_FILE* f, int level) {
  int w = f->level_w[level], h = f->level_h[level], vol = f->header.type == 'P' ? 3 : 1, line = w / 2 + 8;
  // Target pixel (x, y) at (y + 2) * line + x + 2 of its channel.
  std::vector<std::vector<double>> sum(3, std::vector<double>((h / 2 + 8) * line, 0.0));
  for (int i = -4; i < h; i += 4)
    for (int j = -4; j < w; j += 4) {
      Block b[3], low, tmp;
      unsigned char col[3] = {0, 0, 0};
      for (int n = 0; n < 8; ++n)
        for (int m = 0; m < 8; ++m) {
          r64_red(col, f, j + m, i + n, level);
          for (int k = 0; k < vol; ++k) b[k][n][m] = COMPLEX{0.0, hann(m) * hann(n) / 4.0 * col[k]};
        }
      for (int k = 0; k < vol; ++k) {
        transform_rows(fastft, 3, b[k], tmp);
        transform_rows(fastft, 3, tmp, b[k]);
        const int keep[4] = {0, 1, 6, 7};
        for (int p = 0; p < 4; ++p)
          for (int q = 0; q < 4; ++q) low[p][q] = b[k][keep[p]][keep[q]];
        transform_rows(fastdft, 2, low, tmp);
        transform_rows(fastdft, 2, tmp, low);
        for (int p = 0; p < 4; ++p)
          for (int q = 0; q < 4; ++q) sum[k][(i / 2 + p + 2) * line + j / 2 + q + 2] += low[p][q].re;
      }
    }
  for (int y = 0; y < (h + 1) / 2; ++y)
    for (int x = 0; x < (w + 1) / 2; ++x) {
      unsigned char col[3] = {0, 0, 0};
      for (int k = 0; k < vol; ++k)
        col[k] = static_cast<unsigned char>(std::clamp(std::trunc(sum[k][(y + 2) * line + x + 2]), 0.0, 255.0));
      r64_set(f, x, y, level + 1, col);
    }
}

TEST(HifiTest, EqualsThePlainComputationByteForByte) {
  // Type, size, out-of-range mode (7: reads beyond the edge fail and repeat a pixel), background.
  for (auto [type, w, h, rc_type, background] :
       {std::tuple{'P', 77, 45, 1, 0}, std::tuple{'G', 70, 9, 1, 0}, std::tuple{'G', 3, 50, 1, 0},
        std::tuple{'P', 700, 11, 1, 0},  // wider than the blocks of one task
        std::tuple{'B', 75, 40, 1, 0}, std::tuple{'G', 33, 21, 0, 180}, std::tuple{'P', 21, 19, 7, 0}}) {
    std::string paths[2] = {scratch_path("fast.r64"), scratch_path("plain.r64")};
    R64_FILE* fast = open_new(paths[0], type, w, h, photo, rc_type, background);
    R64_FILE* plain = open_new(paths[1], type, w, h, photo, rc_type, background);
    // Every level present once the one below is built (a 'B' file has just one).
    int level = 0;
    for (; r64_flush(fast) == 0 && r64_flush(plain) == 0 && r64_check_level(fast, level); ++level) {
      run_pass(r64_new_level_hifi, fast, level, 0);
      plain_hifi(plain, level);
    }
    EXPECT_GE(level, 1);
    r64_close_file(fast);
    r64_close_file(plain);
    EXPECT_TRUE(test_support::read_file(paths[0]) == test_support::read_file(paths[1])) << type << w << 'x' << h;
  }
}

}  // namespace
