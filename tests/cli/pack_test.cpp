// "-cr" end to end: the rectangle size in the header, a sane table for a whole job from a PPM
// photo, and the failures of packing. The contents of CR files are tested with the CR writer.
#include <gtest/gtest.h>

#include <string>

#include "support/support.hpp"

using namespace test_support;

namespace {

unsigned be32(const std::string& bytes, size_t at) {
  unsigned value = 0;
  for (size_t i = at; i < at + 4; ++i) value = value << 8 | uint8_t(bytes.at(i));
  return value;
}

// The header (magic, width, height, rectangle size, entry count), then 12-byte entries (offset,
// kind, offsets, size): each rectangle of a level has a block inside the file; the last entry, of
// the level that is counted but does not exist, has none.
void expect_sane_cr(const std::string& cr, int rect, int count) {
  std::string header = std::string("CR\0\0\x02\x58\x01\x90", 8) + char(rect >> 8) + char(rect & 0xFF);
  EXPECT_EQ(cr.substr(0, 16), header + std::string(5, '\0') + char(count));  // 600 x 400, count < 256
  for (int i = 0; i + 1 < count; ++i) {
    unsigned ofs = be32(cr, 16 + 12 * i), size = be32(cr, 24 + 12 * i);
    EXPECT_GE(ofs, 16u + 12 * count) << i;
    EXPECT_GT(size, 0u) << i;
    EXPECT_LE(ofs + size, cr.size()) << i;
  }
  EXPECT_EQ(be32(cr, 16 + 12 * (count - 1)), 0u);
}

TEST(Pack, ConvertBuildAndPackSamplePhoto) {
  RunResult job = run_tool({"-pr", sample_path("coffee.ppm"), "c.r64", "-l", "-cr", "c.cr"});
  ASSERT_EQ(job.status, 0) << job.err;
  EXPECT_NE(job.out.find("\nmake compressed rectangle (CR)\n"), std::string::npos);
  EXPECT_EQ(job.err, "");
  expect_sane_cr(read_file(scratch_path("c.cr")), 256, 6 + 2 + 6 + 1);
  ASSERT_EQ(run_tool({"-t", "c.r64", "-crsize", "64", "-cr", "d.cr"}).status, 0);
  expect_sane_cr(read_file(scratch_path("d.cr")), 64, 70 + 20 + 6 + 2 + 4 + 1);
}

TEST(Pack, LevelsNotBuiltIsAnR64Error) {
  write_photo_ppm("in.ppm", 300, 200);
  RunResult result = run_tool({"-pr", "in.ppm", "a.r64", "-cr", "a.cr"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err.rfind("r64 error: -6\nsystem : ", 0), 0u) << result.err;
}

TEST(Pack, CrFileThatCannotGrowIsASystemError) {
  write_photo_ppm("in.ppm", 1000, 600);
  ASSERT_EQ(run_tool({"-pr", "in.ppm", "a.r64", "-l"}).status, 0);
  RunOptions limited;
  limited.file_size_limit = 20000;
  RunResult result = run_tool({"-t", "a.r64", "-cr", "a.cr"}, limited);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err.rfind("r64 error: -1\nsystem : File too large", 0), 0u) << result.err;
}

}  // namespace
