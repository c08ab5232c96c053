// Reading CR files back: the block cache of cr_read (hits, eviction order, refusals), and the
// rebuilding of levels and regions, which must give exactly what the reconstruction rule gives and
// refuse damaged blocks by naming their rectangle.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <tuple>
#include <string>
#include <vector>

#include "r64.hpp"
#include "r64/cr/cr_files.hpp"
#include "support/support.hpp"

namespace {

using namespace cr_test;
using namespace test_support;
using CrReadTest = CrTest;

CR_FILE* open_read_only(const std::string& path) { return cr_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0); }

// The block of the rectangle holding (x, y) of `level`, or the error code.
std::pair<int, std::string> block_at(CR_FILE* f, int x, int y, int level) {
  CR_MEM_TBL b{};
  if (cr_read(&b, f, x, y, level) < 0) return {r64_error, ""};
  std::string bytes(reinterpret_cast<char*>(b.buf), b.size);
  free_cr_mem_tbl(&b);
  return {0, bytes};
}

void cut_file(const std::string& path, off_t length) { ASSERT_EQ(truncate(path.c_str(), length), 0); }

// Whether each rectangle of `level` is still cached: once the file is emptied, only hits succeed.
TEST_F(CrReadTest, ServesHitsFromTheCacheAndEvictsTheLeastRecentlyRead) {
  const Packed p = pack(textured(1280, 1024), 64);  // 20 x 16 = 320 rectangles at level 0
  ASSERT_EQ(p.result, 0);
  CR_FILE* f = open_read_only(p.cr_path);
  ASSERT_NE(f, nullptr);
  const Entry first = entry(p.cr, 0);
  EXPECT_EQ(block_at(f, 30, 50, 0), std::pair(0, p.cr.substr(first.ofs, first.size)));
  for (int i = 1; i < 319; ++i) ASSERT_EQ(block_at(f, 64 * (i % 20), 64 * (i / 20), 0).first, 0) << i;
  ASSERT_EQ(block_at(f, 0, 0, 0).first, 0);        // rectangle 0 is the newest again
  ASSERT_EQ(block_at(f, 64 * 19, 64 * 15, 0).first, 0);  // the 320th evicts rectangle 1, not 0
  cut_file(p.cr_path, 16 + 12 * 450);
  EXPECT_EQ(block_at(f, 63, 63, 0), std::pair(0, p.cr.substr(first.ofs, first.size))) << "a fresh copy each time";
  EXPECT_EQ(block_at(f, 64 * 19, 64 * 15, 0).first, 0);
  EXPECT_EQ(block_at(f, 64, 0, 0).first, kR64Short) << "rectangle 1 was evicted";
  EXPECT_EQ(block_at(f, 128, 0, 0).first, 0) << "a failed read leaves the others cached";
  cr_close_file(f);
}

TEST_F(CrReadTest, RefusesWhatIsNotInTheFile) {
  const Packed p = pack(textured(300, 200), 256);
  ASSERT_EQ(p.result, 0);
  CR_FILE* f = open_read_only(p.cr_path);
  ASSERT_NE(f, nullptr);
  CR_MEM_TBL untouched{reinterpret_cast<unsigned char*>(1), 'x', {1, 2, 3}, 7};
  for (auto [x, y, level] : {std::tuple{300, 0, 0}, {0, 200, 0}, {-1, 0, 0}, {0, 0, 7}, {0, 0, -1}, {0, 0, 32}}) {
    CR_MEM_TBL b = untouched;
    EXPECT_EQ(std::pair(cr_read(&b, f, x, y, level), r64_error), std::pair(-1, kR64NotR64)) << x << "," << y << "@" << level;
    EXPECT_TRUE(b.buf == untouched.buf && b.type == 'x' && b.size == 7);
  }
  cr_close_file(f);

  // An entry whose block would run past the end of the file, as a damaged table may claim.
  std::string cr = p.cr;
  cr.replace(16 + 8, 4, "\x7f\xff\xff\xf0");
  write_file(p.cr_path, cr);
  f = open_read_only(p.cr_path);
  EXPECT_EQ(block_at(f, 0, 0, 0).first, kR64Short);
  EXPECT_EQ(block_at(f, 256, 0, 0).first, 0);
  cr_close_file(f);

  // A rectangle the writer never reached, and a block cut short by the end of the file.
  f = cr_open_file(scratch_path("empty.cr").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, 256, 300, 200);
  EXPECT_EQ(block_at(f, 0, 0, 0).first, kR64Short);
  cr_close_file(f);
  const Entry last = entry(p.cr, 1);  // level 0's (256, 0) is the last block written
  ASSERT_EQ(last.ofs + last.size, p.cr.size());
  cut_file(p.cr_path, static_cast<off_t>(p.cr.size() - 1));
  f = open_read_only(p.cr_path);
  EXPECT_EQ(block_at(f, 256, 0, 0).first, kR64Short);
  EXPECT_EQ(block_at(f, 0, 0, 1).first, 0);
  cr_close_file(f);
  cut_file(p.cr_path, 16 + 12 * 3);
  EXPECT_EQ(open_read_only(p.cr_path), nullptr) << "a table cut short";
  EXPECT_EQ(r64_error, kR64Short);
}

// Every level rebuilt by the library, and regions cut from it.
std::vector<Image> rebuild_levels(const std::string& cr_path) {
  CR_FILE* f = open_read_only(cr_path);
  CR_REBUILDER* rb = cr_rebuild_open(f);
  std::vector<Image> levels;
  for (int k = 0; cr_check_level(f, k); ++k) {
    Image& level = levels.emplace_back(f->level_w[k], f->level_h[k]);
    EXPECT_EQ(cr_rebuild_region(level.rgb.data(), rb, 0, 0, level.w, level.h, k), 0) << "level " << k;
  }
  const Image& base = levels[0];
  for (auto [x, y, w, h] : {std::tuple{base.w - 1, base.h - 1, 1, 1}, {base.w / 3, base.h / 5, base.w / 2, base.h / 3}}) {
    std::vector<uint8_t> region(3 * static_cast<size_t>(w) * h);
    EXPECT_EQ(cr_rebuild_region(region.data(), rb, x, y, w, h, 0), 0);
    for (int row = 0; row < h; ++row)
      EXPECT_EQ(0, std::memcmp(&region[3 * static_cast<size_t>(row) * w], base.at(x, y + row), 3 * static_cast<size_t>(w)));
  }
  std::vector<uint8_t> spare(3 * 4);
  EXPECT_EQ(cr_rebuild_region(spare.data(), rb, base.w - 1, 0, 2, 1, 0), -1) << "a region past the level";
  cr_rebuild_close(rb);
  cr_close_file(f);
  return levels;
}

// Odd multiples of the rectangle size, rectangles of one pixel (whose offsets are chosen like any
// other's), elongated images with a root per rectangle of their coarsest level, and a grey file.
TEST_F(CrReadTest, RebuildsEveryLevelExactlyByTheRule) {
  struct Case { int w, h, rect; char type; };
  const Case cases[] = {{1000, 600, 256, 'P'}, {257, 257, 256, 'P'}, {65, 3, 64, 'P'},  {384, 200, 64, 'P'},
                        {192, 192, 64, 'P'},   {2000, 20, 64, 'P'},  {300, 129, 128, 'G'}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " in " + std::to_string(c.rect));
    const Packed p = pack(textured(c.w, c.h), c.rect, c.type);
    ASSERT_EQ(p.result, 0);
    std::vector<Image> by_rule;
    rebuild_and_check(p.cr, p.levels, by_rule);
    const std::vector<Image> rebuilt = rebuild_levels(p.cr_path);
    ASSERT_EQ(rebuilt.size(), by_rule.size());
    for (size_t k = 0; k < rebuilt.size(); ++k) EXPECT_TRUE(rebuilt[k].rgb == by_rule[k].rgb) << "level " << k;
  }
}

// The failure and the rectangle it names, after damaging the file with `damage`.
struct Failed { int result, error, level, x, y; };
Failed rebuild_damaged(const Packed& p, std::string cr, int x, int y, int level) {
  write_file(p.cr_path, cr);
  CR_FILE* f = open_read_only(p.cr_path);
  CR_REBUILDER* rb = cr_rebuild_open(f);
  CR_BUFFER rect;
  Failed out{cr_rebuild_rect(&rect, rb, x, y, level), r64_error, 0, 0, 0};
  cr_rebuild_failed_at(rb, &out.level, &out.x, &out.y);
  cr_rebuild_close(rb);
  cr_close_file(f);
  return out;
}

TEST_F(CrReadTest, RefusesBlocksThatDoNotFitTheirRectangle) {
  const Packed p = pack(textured(1000, 600), 256);
  ASSERT_EQ(p.result, 0);
  auto failed_at = [](const Failed& f) { return std::tuple(f.result, f.error, f.level, f.x, f.y); };

  // A JPEG frame header announcing 16384 x 14848 pixels in level 0's (256, 256).
  std::string cr = p.cr;
  const Entry e = entry(cr, 5);
  const size_t frame = cr.find("\xFF\xC0", e.ofs);
  ASSERT_LT(frame, e.ofs + e.size);
  cr.replace(frame + 5, 4, "\x3A\x00\x40\x00");
  EXPECT_EQ(failed_at(rebuild_damaged(p, cr, 300, 300, 0)), std::tuple(-1, kR64NotR64, 0, 256, 256));

  // A plain block whose sizes disagree with its rectangle: the 4 x 3 root, so every pixel fails.
  cr = p.cr;
  cr[entry(cr, 22).ofs] = 7;
  EXPECT_EQ(failed_at(rebuild_damaged(p, cr, 999, 599, 0)), std::tuple(-1, kR64NotR64, 8, 0, 0));

  // Bits flipped inside the data of a JPEG block: refused, or rebuilt, but never a crash.
  for (size_t at = e.ofs + e.size / 2; at < e.ofs + e.size - 2; at += 97) {
    cr = p.cr;
    cr[at] ^= 0x5A;
    const Failed f = rebuild_damaged(p, cr, 256, 256, 0);
    EXPECT_TRUE(f.result == 0 || (f.error == kR64NotR64 && f.x == 256 && f.y == 256)) << at;
  }

  // A rectangle whose entry is empty is missing.
  cr = p.cr;
  cr.replace(16 + 12 * 13, 12, std::string(12, '\0'));  // level 1's (256, 0)
  EXPECT_EQ(failed_at(rebuild_damaged(p, cr, 600, 0, 0)), std::tuple(-1, kR64Short, 1, 256, 0));
}

}  // namespace
