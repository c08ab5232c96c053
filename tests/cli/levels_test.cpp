// "-l" and "-lh" run end to end: the levels they build, their messages, the counts they take,
// and the runs that must fail.
#include <gtest/gtest.h>

#include <string>

#include "r64/level/level_files.hpp"
#include "support/support.hpp"

using namespace test_support;
using level_test::box_filter;
using level_test::layout;
using level_test::level_from_bytes;

namespace {

constexpr char kSystemLine[] = "system : ";

// Converts a photo-like image of the given size into "t.r64" in the scratch directory.
std::string converted(int w, int h) {
  write_photo_ppm("in.ppm", w, h);
  RunResult result = run_tool({"-pr", "in.ppm", "t.r64"});
  EXPECT_EQ(result.status, 0) << result.err;
  return scratch_path("t.r64");
}

uint64_t end_of_last_level(char type, int w, int h) {
  auto levels = layout(type, w, h);
  const auto& last = levels.back();
  return last.ofs + static_cast<uint64_t>(last.w) * last.h * (type == 'P' ? 3 : 1);
}

bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

TEST(LevelsCommand, BuildsEveryLevelAsTheBoxFilterOfTheOneBelow) {
  std::string path = converted(1000, 800);
  RunResult result = run_tool({"-t", "t.r64", "-l"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(starts_with(result.out, "make multi levels of details\nfrom level 0\n")) << result.out;
  EXPECT_EQ(result.err, "");

  std::string bytes = read_file(path);
  ASSERT_EQ(bytes.size(), 3200198u);
  auto below = level_from_bytes(bytes, 'P', 1000, 800, 0);
  for (int k = 1; k <= 8; ++k) {
    auto level = level_from_bytes(bytes, 'P', 1000, 800, k);
    EXPECT_TRUE(level.bytes == box_filter(below).bytes) << "level " << k;
    below = level;
  }
}

TEST(LevelsCommand, CountedRunsBuildThatManyLevels) {
  std::string path = converted(300, 200);  // levels down to 5 x 4 (level 6)
  RunResult two = run_tool({"-t", "t.r64", "-l", "2"});
  ASSERT_EQ(two.status, 0) << two.err;
  EXPECT_EQ(file_size(path), static_cast<long>(layout('P', 300, 200).at(3).ofs));

  RunResult rest = run_tool({"-t", "t.r64", "-l", "0"});
  ASSERT_EQ(rest.status, 0) << rest.err;
  EXPECT_TRUE(starts_with(rest.out, "make multi levels of details\nfrom level 2\n")) << rest.out;
  EXPECT_EQ(file_size(path), static_cast<long>(end_of_last_level('P', 300, 200)));
}

TEST(LevelsCommand, OnACompleteFileOneMorePassSucceedsAndTwoFail) {
  std::string path = converted(100, 100);
  ASSERT_EQ(run_tool({"-t", "t.r64", "-l"}).status, 0);
  std::string complete = read_file(path);

  RunResult one = run_tool({"-t", "t.r64", "-l", "1"});
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(read_file(path), complete);

  RunResult two = run_tool({"-t", "t.r64", "-l", "2"});
  EXPECT_EQ(two.status, 1);
  EXPECT_TRUE(starts_with(two.err, std::string("r64 error: -9\n") + kSystemLine)) << two.err;
}

TEST(LevelsCommand, WithoutTargetFailsToOpen) {
  RunResult result = run_tool({"-l"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "make multi levels of details\n");
  EXPECT_TRUE(starts_with(result.err, std::string("r64 error: -1\n") + kSystemLine)) << result.err;
}

TEST(LevelsCommand, HeaderOnlyFileIsBroken) {
  write_file(scratch_path("h.r64"), std::string("R64P\x03\xE8\x03\x20", 8));
  RunResult result = run_tool({"-t", "h.r64", "-l"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "make multi levels of details\nfrom level -1\n");
  EXPECT_EQ(result.err, "broken file :: h.r64\n");
}

TEST(LevelsCommand, DashArgumentIsTheNextCommand) {
  std::string path = converted(64, 64);
  RunResult result = run_tool({"-t", "t.r64", "-l", "-foo"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "invalid command \"-foo\"\n");
  EXPECT_EQ(file_size(path), static_cast<long>(end_of_last_level('P', 64, 64)));
}

TEST(LevelsCommand, ProgressOfEachPass) {
  converted(64, 64);
  RunResult result = run_tool({"-t", "t.r64", "-l"});
  ASSERT_EQ(result.status, 0) << result.err;
  // 64 -> 32 -> 16 -> 8 -> 4; the pass from the 4 x 4 level writes nothing.
  EXPECT_EQ(result.out,
            "make multi levels of details\nfrom level 0\ntotal = 1/1  \r\ntotal = 0/0  \r\ntotal = 0/0  \r\n"
            "total = 0/0  \r\ntotal = 0/0  \r\n");
}

TEST(LevelsCommand, FileThatCannotGrowIsASystemError) {
  for (const char* command : {"-l", "-lh"}) {
    std::string path = converted(1000, 800);
    RunOptions cannot_grow;
    cannot_grow.file_size_limit = file_size(path);
    RunResult result = run_tool({"-t", "t.r64", command}, cannot_grow);
    EXPECT_EQ(result.status, 1) << command;
    EXPECT_NE(result.err.find(std::string("r64 error: -1\n") + kSystemLine), std::string::npos) << command << ": " << result.err;
    EXPECT_EQ(file_size(path), cannot_grow.file_size_limit);
  }
}

TEST(HifiLevelsCommand, BuildsEveryLevelOfThePhoto) {
  RunResult result = run_tool({"-pr", sample_path("coffee.ppm"), "c.r64", "-lh"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("make multi levels of details\nfrom level 0\nh = -4/400   \r"), std::string::npos);
  std::string bytes = read_file(scratch_path("c.r64"));
  EXPECT_EQ(bytes.size(), end_of_last_level('P', 600, 400));

  // Smooth areas keep their colour: level 1 stays close to the box filter of level 0.
  auto level0 = level_from_bytes(bytes, 'P', 600, 400, 0);
  auto level1 = level_from_bytes(bytes, 'P', 600, 400, 1);
  auto box = box_filter(level0);
  long total_difference = 0;
  for (size_t i = 0; i < box.bytes.size(); ++i) total_difference += std::abs(box.bytes[i] - level1.bytes[i]);
  EXPECT_LT(static_cast<double>(total_difference) / box.bytes.size(), 8.0);
}

TEST(HifiLevelsCommand, TakesItsCountLikeTheBoxFilter) {
  std::string path = converted(100, 100);
  RunResult result = run_tool({"-t", "t.r64", "-lh", "1"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(file_size(path), static_cast<long>(layout('P', 100, 100).at(2).ofs));
  RunResult too_many = run_tool({"-t", "t.r64", "-lh", "9"});
  EXPECT_EQ(too_many.status, 1);
  EXPECT_TRUE(starts_with(too_many.err, std::string("r64 error: -9\n") + kSystemLine)) << too_many.err;
}

}  // namespace
