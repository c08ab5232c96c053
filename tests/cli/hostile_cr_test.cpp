// CR files made to cost memory: blocks padded with comment segments, every rectangle of level 0
// pointing at the same one. cr2ppm stays within its stated memory whatever the blocks hold, and a
// block longer than its rectangle can need is damaged before it is read, a plain one as soon as
// it is longer than its rectangle.
#include <cstring>

#include "r64/cr/cr_files.hpp"  // with the test support

using namespace test_support;

namespace {

using HostileCr = cr_test::CrTest;

// Two rows of 64 rectangles of 256 at level 0: their blocks would fill the reader's cache, and one
// row of them the blocks waiting to be decoded.
constexpr int kWidth = 16384;
constexpr int kHeight = 512;
constexpr long kStatedPeakKib = 64 << 10;

RunOptions cpu_bounded() {
  RunOptions options;
  options.cpu_seconds = 60;
  return options;
}

TEST_F(HostileCr, BlocksPaddedToTheirLargestStayWithinTheStatedMemory) {
  cr_test::write_cr_of_one_block(kWidth, kHeight, cr_test::padded_jpeg(1700 * 1000));
  for (const char* threads : {"1", "2"}) {
    const std::vector<std::vector<std::string>> runs = {
        {"-threads", threads, "-x", "p.cr", "0", "out.ppm"},
        {"-threads", threads, "-xr", "p.cr", "0", "0", "0", "16384", "512", "out.ppm"}};
    for (const auto& args : runs) {
      RunResult r = run_cr2ppm(args, cpu_bounded());
      EXPECT_EQ(std::pair(r.status, r.err), std::pair(0, std::string())) << args[2];
      if (kPeakIsTheTools) {
        EXPECT_LT(r.peak_kib, kStatedPeakKib) << args[2] << " on " << threads << " threads";
      }
      EXPECT_EQ(file_size(scratch_path("out.ppm")), static_cast<long>(std::string("P6\n16384 512\n255\n").size()) + 3L * kWidth * kHeight);
      std::printf("%s on %s threads: %.2f s, %ld KiB\n", args[2].c_str(), threads, r.seconds, r.peak_kib);
    }
  }
}

TEST_F(HostileCr, ABlockLongerThanItsRectangleCanNeedIsDamagedBeforeItIsRead) {
  cr_test::write_cr_of_one_block(kWidth, kHeight, cr_test::padded_jpeg(8 << 20));
  RunResult r = run_cr2ppm({"-threads", "1", "-x", "p.cr", "0", "out.ppm"}, cpu_bounded());
  EXPECT_EQ(std::pair(r.status, r.err),
            std::pair(1, std::string("rectangle (0, 0) of level 0 of \"p.cr\" is damaged\n")));
  if (kPeakIsTheTools) {
    EXPECT_LT(r.peak_kib, kStatedPeakKib);
  }
  EXPECT_EQ(file_size(scratch_path("out.ppm")), -1);
  EXPECT_EQ(leftover_temporaries(), 0);
}

// A plain block must be exactly its rectangle's samples: one byte more is damaged too.
TEST_F(HostileCr, APlainBlockLongerThanItsRectangleIsDamaged) {
  write_photo_ppm("in.ppm", 300, 200);
  ASSERT_EQ(run_tool({"-pr", "in.ppm", "p.r64", "-l", "-crsize", "64", "-cr", "p.cr"}).status, 0);
  std::string cr = read_file(scratch_path("p.cr"));
  size_t root = cr_test::be(cr, 12, 4) - 1;  // the last entry that is not empty: level 6, 5 x 4
  while (root > 0 && cr_test::entry(cr, root).size == 0) --root;
  ASSERT_EQ(std::pair(cr_test::entry(cr, root).type, cr_test::entry(cr, root).size), std::pair('n', 2u + 3 * 5 * 4));
  cr[16 + 12 * root + 11] += 1;
  write_file(scratch_path("p.cr"), cr);
  RunResult r = run_cr2ppm({"-x", "p.cr", "6", "out.ppm"});
  EXPECT_EQ(std::pair(r.status, r.err), std::pair(1, std::string("rectangle (0, 0) of level 6 of \"p.cr\" is damaged\n")));
  EXPECT_EQ(file_size(scratch_path("out.ppm")), -1);
}

}  // namespace
