// The driver's actions called from a program linking the library, as the Python package calls
// them: each returns its status with the message the tool prints, never ends the process, and
// leaves no open descriptor, temporary file or changed older output behind, however often it runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "change_endian.hpp"
#include "ppm2r64/ppm2r64.hpp"
#include "support/image_files.hpp"
#include "support/support.hpp"

using namespace test_support;

namespace {

// The command line run in this process from a fresh program state; the target is let go after.
ActionRun run_in_process(std::vector<std::string> args) {
  return run_action([&] {
    check_endian();  // what a program does once before its first action, as main does
    r64_init();
    std::vector<const char*> argv = {"ppm2r64"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    set_target(nullptr);
    rect_size = 256;
    cr_coding = cr_classic_coding();
    TOOL_STATUS status = run_commands(static_cast<int>(argv.size()), argv.data());
    set_target(nullptr);
    return status;
  });
}

// The job twice in one process writes and prints what the tool does with the job given twice
// (the CR writer's progress lines go on from where the first packing left them).
TEST(Actions, RunTwiceInOneProcessTheyWriteAndSayWhatTheToolDoes) {
  write_photo_ppm("in.ppm", 150, 90);
  const std::vector<std::string> job = {"-pr", "in.ppm", "out.r64", "-l", "-crsize", "64", "-cr", "out.cr"};
  std::vector<std::string> twice = job;
  twice.insert(twice.end(), job.begin(), job.end());
  RunResult tool = run_tool(twice);
  ASSERT_EQ(tool.status, 0);
  const std::string r64 = read_file(scratch_path("out.r64")), cr = read_file(scratch_path("out.cr"));
  std::string out;
  for (int run = 0; run < 2; ++run) {
    std::filesystem::remove(scratch_path("out.cr"));
    ActionRun action = run_in_process(job);
    EXPECT_EQ(std::pair(action.status.exit_status, action.status.message), std::pair(0, std::string()));
    EXPECT_EQ(action.descriptors_left, 0);
    EXPECT_TRUE(read_file(scratch_path("out.r64")) == r64 && read_file(scratch_path("out.cr")) == cr) << run;
    out += action.out;
  }
  EXPECT_EQ(out, tool.out);
  EXPECT_EQ(leftover_temporaries(), 0);
}

// Every failure gives the tool's message, printed output and exit status, twice in a row, and
// leaves the older outputs as they were.
TEST(Actions, FailuresReturnTheToolsMessageAndLeaveNothingBehind) {
  write_photo_ppm("in.ppm", 150, 90);
  ASSERT_EQ(run_tool({"-pr", "in.ppm", "level0.r64", "-pr", "in.ppm", "base.r64", "-l"}).status, 0);
  write_file(scratch_path("cut.ppm"), ppm_bytes("P6", 300, 200, 255, "abc"));
  write_file(scratch_path("p4.pbm"), "P4\n8 2\n\x01\x02");
  const std::string png = png_bytes(Samples::textured(100, 70, 3, 8));
  write_file(scratch_path("cut.png"), png.substr(0, png.size() / 2));
  write_file(scratch_path("header.r64"), std::string("R64P\0\x64\0\x64", 8));
  write_file(scratch_path("old.r64"), "an older R64 file");
  write_file(scratch_path("old.cr"), "an older CR file");
  const std::vector<std::vector<std::string>> failing = {
      {"-pr", "cut.ppm", "old.r64"},
      {"-pr", "missing.ppm", "old.r64"},
      {"-pr", "p4.pbm", "old.r64"},
      {"-pr", "in.ppm", "in.ppm"},
      {"-pr", "in.ppm", "missing/out.r64"},
      {"-ir", "cut.png", "old.r64"},
      {"-ir", "in.ppm", "."},
      {"-t", "level0.r64", "-cr", "old.cr"},
      {"-t", "header.r64", "-l"},
      {"-t", "base.r64", "-l", "40"},
      {"-t", "missing.r64", "-lh"},
      {"-l"},
      {"-crsize", "7"},
      {"-ppmtype", "in.ppm", "-t"},
      {"-t", "base.r64", "-cr", "base.r64"},
      {"-pr", "in.ppm", "new.r64", "-foo"},
  };
  expect_failures_as_the_tools(PPM2R64_BINARY, failing, run_in_process);
  EXPECT_EQ(read_file(scratch_path("old.r64")), "an older R64 file");
  EXPECT_EQ(read_file(scratch_path("old.cr")), "an older CR file");
  EXPECT_EQ(leftover_temporaries(), 0);
}

}  // namespace
