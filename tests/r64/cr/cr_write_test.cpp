// The writer: block order of a whole pack, the kind and content of every block checked by
// rebuilding every level independently, elongated and grey images, refusals, and the
// reconstruction of a photo from its CR file.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "r64.hpp"
#include "r64/cr/cr_files.hpp"
#include "support/support.hpp"

extern unsigned int indicate_file_size;

namespace {

using namespace cr_test;
using namespace test_support;
using CrWriteTest = CrTest;

TEST_F(CrWriteTest, WritesBlocksDepthFirstFromTheRoot) {
  indicate_file_size = 0;
  const Packed p = pack(textured(1000, 600), 256);
  ASSERT_EQ(p.result, 0);
  EXPECT_NE(p.out.find("\nloading 36   \r"), std::string::npos) << "the first line follows the 4 x 3 root";
  // The root's entry is entry 22, at table offset 280; levels 7 and 6 have the two before it.
  const std::pair<int, uint32_t> coarse[] = {{22, 38}, {21, 122}, {20, 482}};  // levels 8, 7 and 6
  for (auto [i, size] : coarse) EXPECT_TRUE(entry(p.cr, i).type == 'n' && entry(p.cr, i).size == size) << i;
  EXPECT_EQ(p.cr.substr(16 + 12 * 23, 12), std::string(12, '\0'));
  // From offset 304 on: levels 8 .. 2, then each level-1 rectangle followed by its level-0 children.
  uint32_t next = 304;
  for (int index : {22, 21, 20, 19, 18, 17, 16, 12, 0, 1, 4, 5, 13, 2, 3, 6, 7, 14, 8, 9, 15, 10, 11}) {
    EXPECT_EQ(entry(p.cr, index).ofs, next) << "entry " << index;
    next = entry(p.cr, index).ofs + entry(p.cr, index).size;
  }
  EXPECT_EQ(next, p.cr.size());
  std::vector<Image> rebuilt;
  rebuild_and_check(p.cr, p.levels, rebuilt);
}

// Sizes that put rectangle sides at 15 and 16 pixels, a grey file, and elongated images whose
// coarsest level spans several rectangles: each of those roots a tree, so every rectangle of every
// level gets its entry.
TEST_F(CrWriteTest, EveryRectangleRebuildsFromItsBlock) {
  struct Case { int w, h, rect; char type; };
  const Case cases[] = {{80, 80, 64, 'P'},  {79, 79, 64, 'P'},   {271, 271, 256, 'P'}, {1100, 5, 64, 'P'},
                        {5, 700, 64, 'P'},  {2000, 3, 256, 'P'}, {40, 30, 64, 'G'}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " " + c.type);
    const Packed p = pack(textured(c.w, c.h), c.rect, c.type);
    ASSERT_EQ(p.result, 0);
    std::vector<Image> rebuilt;
    rebuild_and_check(p.cr, p.levels, rebuilt);
    const Entry root = entry(p.cr, p.levels.size() - 1);  // the grey image has one rectangle per level
    EXPECT_TRUE(c.type != 'G' || (root.cal[0] == root.cal[1] && root.cal[1] == root.cal[2]));
  }
}

// Bit pixels read as 0 or 255 and serve as red, green and blue. Every level of the bit file is
// written directly: the level builder cannot see a bit level as present.
TEST_F(CrWriteTest, PacksBitFilesAsBlackAndWhite) {
  const std::string r64_path = scratch_path("b.r64"), cr_path = scratch_path("b.cr");
  R64_FILE* f = r64_open_file(r64_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, 'B', 20, 20);
  ASSERT_NE(f, nullptr);
  auto bit = [](int x, int y, int level) -> unsigned char { return (x + 2 * y + level) % 3 == 0; };
  for (int level = 0; f->level_ofs[level] != 0; ++level)  // 20x20, 10x10, 5x5 and the 3x3 root
    for (int y = 0; y < f->level_h[level]; ++y)
      for (int x = 0; x < f->level_w[level]; ++x) {
        unsigned char px[3] = {bit(x, y, level)};  // three bytes, as every caller passes
        r64_set(f, x, y, level, px);
      }
  ASSERT_EQ(r64_close_file(f), 0);
  f = r64_open_file(r64_path.c_str(), O_RDONLY, 0644, 'P', 0, 0);
  testing::internal::CaptureStdout();
  ASSERT_EQ(cr_write_file(cr_path.c_str(), 0644, 64, f), 0);
  testing::internal::GetCapturedStdout();
  r64_close_file(f);
  const std::string cr = read_file(cr_path);
  const Entry root = entry(cr, 3);
  ASSERT_TRUE(root.type == 'n' && root.size == 2 + 27);
  for (int i = 0; i < 9; ++i)
    for (int c = 0; c < 3; ++c)
      EXPECT_EQ(static_cast<unsigned char>(cr[root.ofs + 2 + 3 * i + c]), bit(i % 3, i / 3, 3) ? 255 : 0) << i;
}

TEST_F(CrWriteTest, ChildEqualToRebuiltParentCodesZeroResiduals) {
  Image flat(12, 12);  // levels 12x12, 6x6 and the 3x3 root
  for (size_t i = 0; i < flat.rgb.size(); ++i) flat.rgb[i] = "\x28\x5a\xc8"[i % 3];
  const Packed p = pack(flat, 64);
  ASSERT_EQ(p.result, 0);
  for (size_t index : {0u, 1u}) {
    const Entry child = entry(p.cr, index);
    EXPECT_TRUE(child.type == 'n' && child.cal[0] == 127 && child.cal[1] == 127 && child.cal[2] == 127);
    EXPECT_EQ(p.cr.substr(child.ofs + 2, child.size - 2), std::string(child.size - 2, '\x7f'));
  }
}

// Without coarser levels in the read-only R64 file the root cannot be read (-6); without any level
// there is nothing to pack (-2). Either way the CR file keeps its header and zero table.
TEST_F(CrWriteTest, RefusesFileWithoutItsLevels) {
  struct Case { int w, h, error; size_t table; };
  for (const Case& c : {Case{1000, 600, -6, 288}, Case{2, 100, -2, 12}}) {
    const Packed p = pack(textured(c.w, c.h), 256, 'P', false);
    EXPECT_EQ(std::pair(p.result, p.error), std::pair(-1, c.error)) << c.w;
    EXPECT_EQ(p.cr.substr(16), std::string(c.table, '\0'));
  }
}

// The photo, turned into an R64 file whose levels the library builds, comes back from its CR file
// within JPEG error at every level.
TEST_F(CrWriteTest, PhotoRebuildsFromItsBlocks) {
  const std::string ppm = read_file(test_support::sample_path("coffee.ppm"));
  int w = 0, h = 0, header = 0;
  ASSERT_EQ(std::sscanf(ppm.c_str(), "P6 %d %d 255%n", &w, &h, &header), 2);
  Image photo(w, h);
  photo.rgb.assign(ppm.begin() + header + 1, ppm.end());
  ASSERT_EQ(photo.rgb.size(), 3u * w * h);
  for (int rect : {256, 64}) {
    const Packed p = pack(photo, rect);
    ASSERT_EQ(p.result, 0);
    std::vector<Image> rebuilt;
    rebuild_and_check(p.cr, p.levels, rebuilt);
    for (size_t k = 0; k < rebuilt.size(); ++k) {
      double sum = 0;
      for (size_t i = 0; i < rebuilt[k].rgb.size(); ++i) sum += std::pow(rebuilt[k].rgb[i] - p.levels[k].rgb[i], 2);
      const double db = sum == 0 ? 99 : 10 * std::log10(65025.0 * static_cast<double>(rebuilt[k].rgb.size()) / sum);
      std::printf("coffee %dx%d rect %d level %zu: PSNR %.1f dB\n", w, h, rect, k, db);
      EXPECT_GE(db, 26.0) << "rect " << rect << " level " << k;
    }
  }
}

}  // namespace
