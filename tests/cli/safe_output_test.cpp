// Outputs never destroy data: an output that is the command's own input (by name or through a
// link) or not a regular file is refused before anything is written, and a run that fails (with
// its message) leaves an older file of the output's name as it was, with no temporary file behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/support.hpp"

using namespace test_support;

namespace {

TEST(SafeOutput, RefusesAnOutputThatIsTheInput) {
  write_photo_ppm("a.ppm", 40, 30);
  const std::string photo = read_file(scratch_path("a.ppm"));
  ASSERT_EQ(symlink("a.ppm", scratch_path("soft.ppm").c_str()), 0);
  ASSERT_EQ(link(scratch_path("a.ppm").c_str(), scratch_path("hard.ppm").c_str()), 0);
  for (const char* output : {"a.ppm", "soft.ppm", "hard.ppm"}) {
    RunResult r = run_tool({"-pr", "a.ppm", output});
    EXPECT_EQ(std::pair(r.status, r.err),
              std::pair(1, "the output \"" + std::string(output) + "\" is the same file as the input \"a.ppm\"\n"));
    EXPECT_EQ(read_file(scratch_path("a.ppm")), photo) << output;
  }
  ASSERT_EQ(run_tool({"-pr", "a.ppm", "x.r64", "-l"}).status, 0);
  const std::string r64 = read_file(scratch_path("x.r64"));
  RunResult r = run_tool({"-t", "x.r64", "-cr", "x.r64"});
  EXPECT_EQ(std::pair(r.status, r.err), std::pair(1, std::string("the output \"x.r64\" is the same file as the input \"x.r64\"\n")));
  EXPECT_EQ(read_file(scratch_path("x.r64")), r64);
}

TEST(SafeOutput, FailedRunsLeaveTheOldFileAsItWas) {
  write_photo_ppm("a.ppm", 300, 200);
  ASSERT_EQ(run_tool({"-pr", "a.ppm", "good.r64", "-l", "-cr", "good.cr"}).status, 0);
  const std::string r64 = read_file(scratch_path("good.r64")), cr = read_file(scratch_path("good.cr"));

  write_file(scratch_path("cut.ppm"), "P6\n32767 32767\n255\nabc");
  EXPECT_EQ(run_tool({"-pr", "cut.ppm", "good.r64"}).status, 1);
  ASSERT_EQ(run_tool({"-pr", "a.ppm", "level0.r64"}).status, 0);
  RunResult r = run_tool({"-t", "level0.r64", "-cr", "good.cr"});  // its levels are not built
  EXPECT_EQ(std::pair(r.status, r.err), std::pair(1, "r64 error: " + std::to_string(kR64ReadOnly) +
                                                        "\n-cr needs the levels of \"level0.r64\": run -l first\n"));
  r = run_tool({"-t", "good.r64", "-cr", "good.cr"}, {.file_size_limit = static_cast<long>(cr.size()) / 2, .env = {}});
  EXPECT_EQ(std::pair(r.status, r.err),
            std::pair(1, std::string("r64 error: -1\nsystem : File too large\n"
                                     "cannot pack \"good.r64\" into \"good.cr\": File too large\n")));

  EXPECT_EQ(read_file(scratch_path("good.r64")), r64);
  EXPECT_EQ(read_file(scratch_path("good.cr")), cr);
  EXPECT_EQ(leftover_temporaries(), 0);
}

TEST(SafeOutput, RefusesAnOutputThatIsNoRegularFile) {
  write_photo_ppm("a.ppm", 40, 30);
  ASSERT_EQ(mkfifo(scratch_path("fifo").c_str(), 0644), 0);
  for (std::string output : {"fifo", "."}) {
    RunResult r = run_tool({"-pr", "a.ppm", output});
    EXPECT_EQ(std::pair(r.status, r.err), std::pair(1, "the output \"" + output + "\" is not a regular file\n"));
  }
}

}  // namespace
