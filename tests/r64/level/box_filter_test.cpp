// The 2x2 box-filter reduction: the value of a target pixel by pixel type, odd edges answered by
// the out-of-range mode, its progress lines, and the passes that cannot run or must stop.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "r64/file/r64_new_level.hpp"
#include "r64/level/level_files.hpp"
#include "support/support.hpp"

using namespace level_test;
using test_support::scratch_path;

namespace {

// A 6x6 source level whose top-left 4x4 pixels are four 2x2 blocks, each listed as its pixels
// (x, y) = (0,0), (1,0), (0,1), (1,1); returns the four target pixels of those blocks.
Image reduce_blocks(char type, const std::array<std::array<std::array<unsigned char, 3>, 4>, 4>& blocks) {
  std::string path = scratch_path("blocks.r64");
  make_r64(path, type, 6, 6, [&](int x, int y, unsigned char* col) {
    if (x >= 4 || y >= 4) return;
    const auto& pixel = blocks[(y / 2) * 2 + x / 2][(y % 2) * 2 + x % 2];
    std::copy(pixel.begin(), pixel.end(), col);
  });
  R64_FILE* f = open_rw(path);
  EXPECT_EQ(r64_new_level(f, 0), 0);
  Image target = read_level(f, 1);
  r64_close_file(f);
  Image corner{2, 2, target.bpp, {}};
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 2; ++x)
      for (int k = 0; k < target.bpp; ++k) corner.bytes.push_back(target.at(x, y, k));
  return corner;
}

TEST(BoxFilterTest, GreyTargetIsTheFlooredMean) {
  Image got = reduce_blocks('G', {{{{{1}, {1}, {1}, {0}}}, {{{255}, {255}, {255}, {254}}}, {{{3}, {4}, {5}, {6}}},
                                   {{{0}, {0}, {0}, {0}}}}});
  EXPECT_EQ(got.bytes, (std::vector<uint8_t>{0, 254, 4, 0}));
}

TEST(BoxFilterTest, ColourBytesAreAveragedSeparately) {
  Image got = reduce_blocks('P', {{{{{255, 0, 10}, {0, 255, 20}, {255, 0, 30}, {0, 255, 41}}},
                                   {{{255, 255, 255}, {255, 255, 255}, {255, 255, 255}, {255, 255, 254}}},
                                   {{{1, 2, 3}, {1, 2, 3}, {1, 2, 3}, {1, 2, 3}}},
                                   {{{0, 0, 0}, {0, 0, 0}, {0, 0, 4}, {0, 0, 0}}}}});
  EXPECT_EQ(got.bytes, (std::vector<uint8_t>{127, 127, 25, 255, 255, 254, 1, 2, 3, 0, 0, 1}));
}

TEST(BoxFilterTest, BitTargetIsSetWhenAnySourceBitIs) {
  Image got = reduce_blocks('B', {{{{{0}, {0}, {0}, {1}}}, {{{0}, {0}, {0}, {0}}}, {{{1}, {1}, {1}, {1}}},
                                   {{{1}, {0}, {0}, {0}}}}});
  EXPECT_EQ(got.bytes, (std::vector<uint8_t>{255, 0, 255, 255}));
}

Image reduce_5x5(int rc_type, unsigned char background) {
  std::string path = scratch_path("odd.r64");
  make_r64(path, 'G', 5, 5, [](int x, int y, unsigned char* col) { col[0] = static_cast<unsigned char>(40 * y + 8 * x); });
  R64_FILE* f = open_rw(path);
  r64_ctl(f, 0, rc_type);
  r64_ctl(f, 1, &background);
  EXPECT_EQ(r64_new_level(f, 0), 0);
  Image target = read_level(f, 1);
  r64_close_file(f);
  return target;
}

TEST(BoxFilterTest, OddEdgesAreAveragedWithTheNearestEdgePixel) {
  // Source row y holds 40y, 40y + 8, ..., 40y + 32.
  Image got = reduce_5x5(1, 0);
  ASSERT_EQ(got.w, 3);
  ASSERT_EQ(got.h, 3);
  EXPECT_EQ(got.bytes, (std::vector<uint8_t>{24, 40, 52, 104, 120, 132, 164, 180, 192}));
}

TEST(BoxFilterTest, OddEdgesTakeTheBackgroundInBackgroundMode) {
  Image got = reduce_5x5(0, 200);
  EXPECT_EQ(got.bytes, (std::vector<uint8_t>{24, 40, (32 + 72 + 400) / 4, 104, 120, (112 + 152 + 400) / 4,
                                             (160 + 168 + 400) / 4, (176 + 184 + 400) / 4, (192 + 600) / 4}));
}

TEST(BoxFilterTest, MatchesAnIndependentFilterOnEveryLevel) {
  std::string path = scratch_path("photo.r64");
  make_r64(path, 'P', 131, 75, [](int x, int y, unsigned char* col) {
    col[0] = static_cast<unsigned char>(x * 7 + y);
    col[1] = static_cast<unsigned char>((x * y) ^ 0x5a);
    col[2] = static_cast<unsigned char>(255 - 3 * y);
  });
  R64_FILE* f = open_rw(path);
  Image below = read_level(f, 0);
  for (int level = 0; f->level_ofs[level + 1] != 0; ++level) {
    r64_flush(f);
    ASSERT_EQ(r64_new_level(f, level), 0);
    Image got = read_level(f, level + 1);
    Image want = box_filter(below);
    EXPECT_EQ(got.bytes, want.bytes) << "level " << level + 1;
    below = got;
  }
  r64_close_file(f);
}

std::string progress_of(int w, int h) {
  std::string path = scratch_path("progress.r64");
  make_r64(path, 'G', w, h, [](int, int, unsigned char* col) { col[0] = 9; });
  R64_FILE* f = open_rw(path);
  testing::internal::CaptureStdout();
  EXPECT_EQ(r64_new_level(f, 0), 0);
  std::string out = testing::internal::GetCapturedStdout();
  r64_close_file(f);
  return out;
}

TEST(BoxFilterTest, CountsTilesDownFromAreaOver4096) {
  EXPECT_EQ(progress_of(100, 100), "total = 2/2  \rtotal = 1/2  \rtotal = 0/2  \rtotal = -1/2  \r\n");
  EXPECT_EQ(progress_of(64, 64), "total = 1/1  \r\n");
}

TEST(BoxFilterTest, RefusesALevelThatIsNotThereWithoutOutput) {
  std::string path = scratch_path("small.r64");
  make_r64(path, 'G', 10, 10, [](int, int, unsigned char* col) { col[0] = 1; });
  R64_FILE* f = open_rw(path);
  for (int level : {-1, 1, 2, 31, 32}) {
    r64_error = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(r64_new_level(f, level), -1) << level;
    EXPECT_EQ(r64_error, kR64NoLevel) << level;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << level;
  }
  r64_close_file(f);
}

TEST(BoxFilterTest, SmallestLevelReducesToNothingAndTheNextCallEnds) {
  std::string path = scratch_path("smallest.r64");
  make_r64(path, 'G', 6, 6, [](int x, int, unsigned char* col) { col[0] = static_cast<unsigned char>(x); });
  R64_FILE* f = open_rw(path);
  ASSERT_EQ(r64_new_level(f, 0), 0);  // 6x6 -> 3x3, the last level laid out
  r64_flush(f);
  long before = test_support::file_size(path);
  EXPECT_EQ(r64_new_level(f, 1), 0);  // 3x3 -> 2x2, which is not laid out
  r64_flush(f);
  EXPECT_EQ(test_support::file_size(path), before);
  EXPECT_EQ(r64_new_level(f, 2), -1);
  EXPECT_EQ(r64_error, kR64NoLevel);
  r64_close_file(f);
}

TEST(BoxFilterTest, SystemErrorOnReadEndsThePass) {
  std::string path = scratch_path("unreadable.r64");
  make_r64(path, 'G', 100, 100, [](int, int, unsigned char* col) { col[0] = 5; });
  R64_FILE* f = open_rw(path);
  cripple_descriptor(f, path, O_WRONLY);
  testing::internal::CaptureStdout();
  EXPECT_EQ(r64_new_level(f, 0), -1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(r64_error, kR64System);
  r64_close_file(f);
}

TEST(BoxFilterTest, SystemErrorOnWriteBackEndsThePass) {
  // 20 x 20 source tiles and 10 x 10 target tiles overflow the 319 cached tiles, so dirty target
  // tiles are written back during the pass, which the read-only descriptor refuses.
  std::string path = scratch_path("unwritable.r64");
  make_r64(path, 'G', 1280, 1280, [](int x, int y, unsigned char* col) { col[0] = static_cast<unsigned char>(x ^ y); });
  R64_FILE* f = open_rw(path);
  cripple_descriptor(f, path, O_RDONLY);
  testing::internal::CaptureStdout();
  EXPECT_EQ(r64_new_level(f, 0), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r64_error, kR64System);
  EXPECT_EQ(out.find('\n'), std::string::npos);  // stopped before the end of the pass
  r64_close_file(f);
}

}  // namespace
