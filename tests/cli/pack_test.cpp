// "-cr" end to end: the packed file's header and rectangle size, the messages and exit status of
// a failed pack, a CR file that cannot grow, and the whole road from a PPM photo to a CR file.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>

#include "change_endian.hpp"
#include "r64/cr/cr_files.hpp"
#include "r64.hpp"
#include "support/support.hpp"

namespace {

using namespace cr_test;
using test_support::read_file;
using test_support::run_tool;
using test_support::scratch_path;

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    check_endian();
    r64_init();
  }
  // An R64 file with all its levels written, from the deterministic photo-like pattern.
  std::string photo_r64(const std::string& name, int w, int h, bool all_levels = true) {
    std::string pixels = test_support::photo_pixels(w, h);
    Image base{w, h, std::vector<uint8_t>(pixels.begin(), pixels.end())};
    levels_ = all_levels ? pyramid(base) : std::vector<Image>{base};
    std::string path = scratch_path(name);
    EXPECT_TRUE(write_r64(path, levels_));
    return path;
  }
  std::vector<Image> levels_;
};

TEST_F(PackTest, PacksTargetWithDefaultRectangleSize) {
  std::string r64 = photo_r64("a.r64", 300, 200);
  auto run = run_tool({"-t", r64, "-cr", "a.cr"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("make compressed rectangle (CR)\n", 0), 0u);
  EXPECT_NE(run.out.find("loading "), std::string::npos);
  EXPECT_EQ(run.err, "");
  CrFile cr(read_file(scratch_path("a.cr")));
  EXPECT_EQ(cr.bytes.substr(0, 4), std::string("CR\0\0", 4));
  EXPECT_EQ(cr.width, 300);
  EXPECT_EQ(cr.height, 200);
  EXPECT_EQ(cr.rect_size, 256);
  rebuild_and_check(cr, levels_);
}

TEST_F(PackTest, CrsizeSetsRectangleSize) {
  std::string r64 = photo_r64("a.r64", 300, 200);
  auto run = run_tool({"-t", r64, "-crsize", "64", "-cr", "a.cr"});
  ASSERT_EQ(run.status, 0) << run.err;
  CrFile cr(read_file(scratch_path("a.cr")));
  EXPECT_EQ(cr.rect_size, 64);
  EXPECT_EQ(cr.count, 20u + 6 + 2 + 1 + 1 + 1 + 1 + 1);  // 300x200 .. 5x4, then the 3x2 that does not exist
  rebuild_and_check(cr, levels_);
}

TEST_F(PackTest, UnbuiltLevelsFailWithReadOnlyTileError) {
  std::string r64 = photo_r64("a.r64", 1000, 600, false);
  auto run = run_tool({"-t", r64, "-cr", "a.cr"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("r64 error: -6\nsystem : ", 0), 0u) << run.err;
  std::string bytes = read_file(scratch_path("a.cr"));
  ASSERT_EQ(bytes.size(), 304u);
  EXPECT_EQ(bytes.substr(16), std::string(288, '\0'));
}

// A CR file that cannot grow past a limit fails with a system error, and every entry written
// before the failure still points at a whole block.
TEST_F(PackTest, FileThatCannotGrowKeepsWhatWasWritten) {
  std::string r64 = photo_r64("a.r64", 1000, 600);
  test_support::RunOptions limited;
  limited.file_size_limit = 20000;
  auto run = run_tool({"-t", r64, "-cr", "a.cr"}, limited);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("r64 error: -1\nsystem : File too large", 0), 0u) << run.err;

  CrFile cr(read_file(scratch_path("a.cr")));
  ASSERT_EQ(cr.count, 24u);
  Layout layout = layout_of(levels_, 256);
  int present = 0;
  for (int level = 0; level < static_cast<int>(levels_.size()); ++level)
    for (int y = 0; y < levels_[level].h; y += 256)
      for (int x = 0; x < levels_[level].w; x += 256) {
        Entry e = cr.entry(static_cast<size_t>(layout.index(level, x, y)));
        if (!e.present()) continue;
        ++present;
        ASSERT_LE(e.ofs + e.size, cr.bytes.size());
        int w = std::min(256, levels_[level].w - x);
        int h = std::min(256, levels_[level].h - y);
        EXPECT_FALSE(decode_block(cr.block(e), e.type, w, h).empty()) << "level " << level;
      }
  EXPECT_GT(present, 0);
  EXPECT_LT(present, 23);
  Entry root = cr.entry(22);
  ASSERT_TRUE(root.present());
  std::string plain = cr.block(root).substr(2);
  EXPECT_EQ(plain, std::string(levels_[8].rgb.begin(), levels_[8].rgb.end()));
}

TEST_F(PackTest, TableThatCannotBeLaidOutFailsWithSystemError) {
  std::string r64 = photo_r64("a.r64", 1000, 600);
  test_support::RunOptions limited;
  limited.file_size_limit = 200;  // the header and table need 304 bytes
  auto run = run_tool({"-t", r64, "-cr", "a.cr"}, limited);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("r64 error: -1\nsystem : File too large", 0), 0u) << run.err;
  EXPECT_EQ(run.out, "make compressed rectangle (CR)\n");
}

TEST_F(PackTest, ConvertsBuildsAndPacksPhoto) {
  auto run = run_tool({"-pr", test_support::sample_path("coffee.ppm"), "c.r64", "-l", "-cr", "c.cr"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<Image> levels = read_r64_levels(scratch_path("c.r64"));
  ASSERT_EQ(levels.size(), 8u);
  CrFile cr(read_file(scratch_path("c.cr")));
  std::vector<Image> rebuilt = rebuild_and_check(cr, levels);
  for (size_t k = 0; k < levels.size(); ++k) EXPECT_GE(psnr(rebuilt[k], levels[k]), 26.0) << "level " << k;
}

}  // namespace
