// The writer: block order of a whole pack, residuals of a child equal to its parent, and refusals.
// The kind and content of every block of many other packs are checked with the reader's tests.
#include "r64/cr/cr_files.hpp"
#include "r64/file/cr_internal.hpp"

extern unsigned int indicate_file_size;

namespace {

using namespace cr_test;
using CrWriteTest = CrTest;

TEST_F(CrWriteTest, WritesBlocksDepthFirstFromTheRoot) {
  indicate_file_size = 0;
  const Packed p = pack(test_support::textured(1000, 600), 256);
  ASSERT_EQ(p.result, 0);
  EXPECT_EQ(p.out.rfind("loading 36   \r", 0), 0u) << "the first line follows the 4 x 3 root";
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

TEST_F(CrWriteTest, ChildEqualToRebuiltParentCodesZeroResiduals) {
  const Packed p = pack(Image::of(12, 12, [](int, int, uint8_t* px) { std::copy_n("\x28\x5a\xc8", 3, px); }), 64);
  ASSERT_EQ(p.result, 0);  // levels 12x12, 6x6 and the 3x3 root
  for (size_t index : {0u, 1u}) {
    const Entry child = entry(p.cr, index);
    EXPECT_TRUE(child.type == 'n' && child.cal[0] == 127 && child.cal[1] == 127 && child.cal[2] == 127);
    EXPECT_EQ(p.cr.substr(child.ofs + 2, child.size - 2), std::string(child.size - 2, '\x7f'));
  }
}

// Without coarser levels in the read-only R64 file the root cannot be read; without any level
// there is nothing to pack. Either way the CR file keeps its header and zero table.
TEST_F(CrWriteTest, RefusesFileWithoutItsLevels) {
  for (auto [w, h, error, table] : {std::tuple{1000, 600, kR64ReadOnly, 288}, {2, 100, kR64OutOfRange, 12}}) {
    const Packed p = pack(test_support::textured(w, h), 256, 'P', false);
    EXPECT_EQ(std::pair(p.result, p.error), std::pair(-1, error)) << w;
    EXPECT_EQ(p.cr.substr(16), std::string(table, '\0'));
  }
}

// The writer's threads read rectangles straight from a read-only file: whole or cut short, they
// must read what the tile cache reads pixel by pixel, column by column, and fail with the code it
// leaves.
int read_through_cache(CR_BUFFER& rect, R64_FILE* f, int level) {
  for (int x = 0; x < rect.w_len; ++x)
    for (int y = 0; y < rect.h_len; ++y) {
      unsigned char* pixel = rect.buf + 4 * (static_cast<size_t>(y) * rect.w_len + x);
      if (r64_red(pixel, f, rect.w_ofs + x, rect.h_ofs + y, level) < 0) return r64_error;
      if (f->header.type != 'P') pixel[1] = pixel[2] = pixel[0];
      pixel[3] = 0;
    }
  return 0;
}

TEST_F(CrWriteTest, ReadsRectanglesStraightFromTheFileAsTheTileCacheDoes) {
  for (char type : {'P', 'G', 'B'}) {
    const std::string path = test_support::scratch_path("cut.r64");
    test_support::write_r64(path, type, test_support::textured(300, 200), true);
    const std::string whole = test_support::read_file(path);
    const size_t pixel = type == 'P' ? 3 : 1;
    for (size_t cut : {whole.size(), whole.size() - 1, 8 + 64 * 300 * pixel, 8 + 64 * 300 * pixel + 100,
                       8 + 300 * 200 * pixel + 5000}) {
      test_support::write_file(path, whole.substr(0, cut));
      R64_FILE* cached = r64_open_file(path.c_str(), O_RDONLY, 0644, 'P', 0, 0);
      R64_FILE* direct = r64_open_file(path.c_str(), O_RDONLY, 0644, 'P', 0, 0);
      ASSERT_TRUE(cached != nullptr && direct != nullptr);
      std::vector<unsigned char> a(4 * 128 * 128), b(a.size()), scratch(cr_internal::kRectScratchBytes);
      for (int level : {0, 1})
        for (int y = 0; y < cached->level_h[level]; y += 128)
          for (int x = 0; x < cached->level_w[level]; x += 128) {
            SCOPED_TRACE(::testing::Message() << type << " cut at " << cut << ", level " << level << " (" << x << ", " << y << ")");
            CR_BUFFER ra{x, y, std::min(128, cached->level_w[level] - x), std::min(128, cached->level_h[level] - y), a.data()};
            CR_BUFFER rb = ra;
            rb.buf = b.data();
            int cache_code = read_through_cache(ra, cached, level);
            ASSERT_EQ(cr_internal::read_r64_rect(rb, direct, level, scratch) < 0 ? r64_error : 0, cache_code);
            if (cache_code == 0) {
              ASSERT_EQ(a, b);
            }
          }
      r64_close_file(cached);
      r64_close_file(direct);
    }
  }
}

}  // namespace
