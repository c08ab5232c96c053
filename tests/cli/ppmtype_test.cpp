// "-ppmtype" end to end: one line per file with the header's magic, size and maximum.
#include <gtest/gtest.h>

#include <string>

#include "support/support.hpp"

using test_support::ppm_bytes;
using test_support::run_tool;
using test_support::scratch_path;
using test_support::write_file;

namespace {

TEST(PpmType, PrintsMagicSizeAndMaximum) {
  write_file(scratch_path("a.ppm"), ppm_bytes("P6", 640, 480, 255, ""));
  auto result = run_tool({"-ppmtype", "a.ppm"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "P6 640 480 255\n");
  EXPECT_EQ(result.err, "");
}

TEST(PpmType, OneLinePerFile) {
  write_file(scratch_path("a.ppm"), ppm_bytes("P6", 640, 480, 255, ""));
  write_file(scratch_path("b.pgm"), "P5\n# grey\n0x20 010\n1023\n");
  write_file(scratch_path("c.pbm"), "P4 8 2\n\xff\x00");
  auto result = run_tool({"-ppmtype", "a.ppm", "-ppmtype", "b.pgm", "-ppmtype", "c.pbm"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "P6 640 480 255\nP5 32 8 1023\nP4 8 2 1\n");
}

TEST(PpmType, MissingFile) {
  auto result = run_tool({"-ppmtype", "missing.ppm"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "cannot open the file \"missing.ppm\"\n");
  EXPECT_EQ(result.out, "");
}

TEST(PpmType, UnreadableHeader) {
  write_file(scratch_path("bad.ppm"), "P6\n640 480\n");
  write_file(scratch_path("good.ppm"), ppm_bytes("P5", 3, 3, 255, ""));
  auto result = run_tool({"-ppmtype", "good.ppm", "-ppmtype", "bad.ppm", "-ppmtype", "good.ppm"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "cannot read the PPM header of \"bad.ppm\"\n");
  EXPECT_EQ(result.out, "P5 3 3 255\n");
}

}  // namespace
