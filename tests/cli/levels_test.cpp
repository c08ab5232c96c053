// "-l" and "-lh" end to end: the levels they lay out, the counts they take, and the runs that fail.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "change_endian.hpp"
#include "r64.hpp"
#include "support/support.hpp"

using namespace test_support;

namespace {

const std::string kLevelsBanner = "make multi levels of details\n";

// Converts a photo-like image of the given size into "t.r64" in the scratch directory.
std::string converted(int w, int h) {
  write_photo_ppm("in.ppm", w, h);
  EXPECT_EQ(run_tool({"-pr", "in.ppm", "t.r64"}).status, 0);
  return scratch_path("t.r64");
}

TEST(Levels, BuildAllLevelsFromLevelZero) {
  std::string path = converted(1000, 800);
  RunResult result = run_tool({"-t", "t.r64", "-l"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out.rfind(kLevelsBanner + "from level 0\n", 0), 0u) << result.out;
  EXPECT_EQ(file_size(path), 3200198);  // the end of the 4 x 4 level 8
}

// A count builds that many levels, a later run goes on from the highest level present, and on a
// complete file one more pass rebuilds nothing new while two run past the last level.
TEST(Levels, CountsResumeAndOverrun) {
  std::string path = converted(100, 100);  // levels down to 4 x 4 (level 5)
  ASSERT_EQ(run_tool({"-t", "t.r64", "-lh", "1"}).status, 0);
  EXPECT_EQ(file_size(path), 8 + 100 * 100 * 3 + 50 * 50 * 3);
  RunResult rest = run_tool({"-t", "t.r64", "-l"});
  EXPECT_EQ(rest.out.rfind(kLevelsBanner + "from level 1\n", 0), 0u) << rest.out;
  std::string complete = read_file(path);
  EXPECT_EQ(run_tool({"-t", "t.r64", "-l", "1"}).status, 0);
  EXPECT_EQ(read_file(path), complete);
  RunResult two = run_tool({"-t", "t.r64", "-l", "2"});
  EXPECT_EQ(two.status, 1);
  EXPECT_EQ(two.err.rfind("r64 error: -9\nsystem : ", 0), 0u) << two.err;
}

// A count of levels is built level after level, each written out before the next is made from it.
TEST(Levels, CountBuildsEachLevelFromTheOneBefore) {
  std::string path = converted(1000, 800);
  RunResult result = run_tool({"-t", "t.r64", "-l", "3"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(file_size(path), 3187508);  // the end of the 125 x 100 level 3
}

// A run cut short inside a level (a full disk, then space freed) is finished by the next run,
// which rebuilds that level: the file equals that of a run never interrupted.
TEST(Levels, ResumesALevelCutShort) {
  std::string path = converted(300, 200);
  ASSERT_EQ(run_tool({"-t", "t.r64", "-l"}).status, 0);
  const std::string whole = read_file(path);
  for (size_t cut : {size_t{8 + 180000 + 7000}, size_t{8 + 180000 + 45000 + 3333}, whole.size() - 1}) {
    write_file(path, whole.substr(0, cut));
    RunResult again = run_tool({"-t", "t.r64", "-l"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(read_file(path), whole) << "cut at " << cut;
  }
}

// A bit file's levels fill a byte per 8 pixels of the bytes they reserve: each is found once its
// tiles are written, so one run builds them all.
TEST(Levels, BuildsEveryLevelOfABitFile) {
  check_endian();
  r64_init();
  const std::string path = scratch_path("b.r64");
  R64_FILE* f = r64_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, 'B', 150, 100);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 150; ++x) {
      const unsigned char bit[3] = {static_cast<unsigned char>((x / 3 + y / 5) % 2)};
      r64_set(f, x, y, 0, bit);
    }
  ASSERT_EQ(r64_close_file(f), 0);
  RunResult result = run_tool({"-t", "b.r64", "-l"});
  ASSERT_EQ(result.status, 0) << result.err;
  f = r64_open_file(path.c_str(), O_RDONLY, 0644, 'P', 0, 0);
  int levels = 0;
  while (r64_check_level(f, levels) == 1) ++levels;
  EXPECT_EQ(levels, 6);  // 150 x 100 down to 5 x 4
  r64_close_file(f);
}

TEST(Levels, TargetThatCannotBeOpenedOrGrown) {
  RunResult none = run_tool({"-l"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err.rfind("r64 error: -1\nsystem : ", 0), 0u) << none.err;
  std::string path = converted(1000, 800);
  RunOptions cannot_grow;
  cannot_grow.file_size_limit = file_size(path);
  RunResult limited = run_tool({"-t", "t.r64", "-l"}, cannot_grow);
  EXPECT_EQ(limited.status, 1);
  EXPECT_NE(limited.err.find("r64 error: -1\nsystem : "), std::string::npos) << limited.err;
}

TEST(Levels, HeaderOnlyFileIsBroken) {
  write_file(scratch_path("h.r64"), std::string("R64P\x03\xE8\x03\x20", 8));
  RunResult result = run_tool({"-t", "h.r64", "-l"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, kLevelsBanner + "from level -1\n");
  EXPECT_EQ(result.err, "broken file :: h.r64\n");
}

// "-lh" lays out the same levels as "-l" with pixels close to the 2 x 2 mean.
TEST(Levels, HifiLevelsOfSamplePhoto) {
  std::string photo = sample_path("coffee.ppm");
  RunResult result = run_tool({"-pr", photo, "hifi.r64", "-lh", "-pr", photo, "box.r64", "-l"});
  ASSERT_EQ(result.status, 0) << result.err;
  std::string hifi = read_file(scratch_path("hifi.r64")), box = read_file(scratch_path("box.r64"));
  ASSERT_EQ(hifi.size(), 960119u);  // levels 600 x 400 down to 5 x 4
  const size_t level1 = 8 + 600 * 400 * 3;
  long difference = 0;
  for (size_t i = level1; i < hifi.size(); ++i) difference += std::abs(int(uint8_t(hifi[i])) - uint8_t(box.at(i)));
  EXPECT_LT(double(difference) / double(hifi.size() - level1), 8.0);
}

}  // namespace
