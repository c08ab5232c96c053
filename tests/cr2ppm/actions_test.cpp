// cr2ppm's commands called from a program linking the library: each returns its status with the
// message the tool prints, never ends the process, and leaves no open descriptor, temporary file
// or changed older output behind, however often it runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "change_endian.hpp"
#include "cr2ppm/cr2ppm.hpp"
#include "support/support.hpp"

using namespace test_support;

namespace {

ActionRun run_in_process(const std::vector<std::string>& args) {
  return run_action([&] {
    check_endian();  // what a program does once before its first action, as main does
    r64_init();
    std::vector<const char*> argv = {"cr2ppm"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    return cr2ppm::run_commands(static_cast<int>(argv.size()), argv.data());
  });
}

// A 150 x 90 photo packed with rectangles of 64, its R64 file, and the CR file with bits flipped
// in its last blocks.
void make_files() {
  write_photo_ppm("in.ppm", 150, 90);
  ASSERT_EQ(run_tool({"-pr", "in.ppm", "in.r64", "-l", "-crsize", "64", "-cr", "in.cr"}).status, 0);
  std::string damaged = read_file(scratch_path("in.cr"));
  for (size_t at = damaged.size() - 600; at < damaged.size(); at += 5) damaged[at] ^= 0x5A;
  write_file(scratch_path("damaged.cr"), damaged);
  write_file(scratch_path("old.ppm"), "an older image");
}

TEST(Cr2ppmActions, RunTwiceInOneProcessTheyWriteAndSayWhatTheToolDoes) {
  make_files();
  const std::vector<std::string> job = {"-info", "in.cr", "-x", "in.cr", "0",        "level.ppm", "-xr",   "in.cr", "1",
                                        "10",    "5",     "40", "30",    "part.ppm", "-psnr",     "in.cr", "in.r64"};
  RunResult tool = run_cr2ppm(job);
  ASSERT_EQ(tool.status, 0);
  const std::string level = read_file(scratch_path("level.ppm")), part = read_file(scratch_path("part.ppm"));
  for (int run = 0; run < 2; ++run) {
    std::filesystem::remove(scratch_path("level.ppm"));
    ActionRun action = run_in_process(job);
    EXPECT_EQ(std::tuple(action.status.exit_status, action.status.message, action.out), std::tuple(0, "", tool.out));
    EXPECT_EQ(action.descriptors_left, 0);
    EXPECT_TRUE(read_file(scratch_path("level.ppm")) == level && read_file(scratch_path("part.ppm")) == part);
  }
}

TEST(Cr2ppmActions, FailuresReturnTheToolsMessageAndLeaveNothingBehind) {
  make_files();
  const std::vector<std::vector<std::string>> failing = {
      {"-x", "damaged.cr", "0", "old.ppm"}, {"-x", "in.cr", "9", "old.ppm"},
      {"-x", "missing.cr", "0", "old.ppm"}, {"-x", "in.r64", "0", "old.ppm"},
      {"-x", "in.cr", "0", "in.cr"},        {"-xr", "in.cr", "0", "1", "2", "0", "4", "old.ppm"},
      {"-psnr", "damaged.cr", "in.r64"},    {"-psnr", "in.cr", "in.ppm"},
      {"-info", "in.cr", "-threads", "0"},  {"-xr", "in.cr", "0", "500", "0", "8", "8", "old.ppm"},
  };
  expect_failures_as_the_tools(CR2PPM_BINARY, failing, run_in_process);
  EXPECT_EQ(read_file(scratch_path("old.ppm")), "an older image");
  EXPECT_EQ(leftover_temporaries(), 0);
}

}  // namespace
