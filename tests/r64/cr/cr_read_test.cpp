// Reading CR files back: the block cache of cr_read (hits, eviction order, refusals), and the
// rebuilding of levels and regions, exactly by the reconstruction rule, refusing damaged blocks by
// naming their rectangle.
#include <unistd.h>

#include <cstring>
#include <tuple>

#include "r64/cr/cr_files.hpp"

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
  ASSERT_EQ(truncate(p.cr_path.c_str(), 16 + 12 * 450), 0);
  EXPECT_EQ(block_at(f, 63, 63, 0), std::pair(0, p.cr.substr(first.ofs, first.size))) << "a fresh copy each time";
  EXPECT_EQ(block_at(f, 64 * 19, 64 * 15, 0).first, 0);
  EXPECT_EQ(block_at(f, 64, 0, 0).first, kR64Short) << "rectangle 1 was evicted";
  EXPECT_EQ(block_at(f, 128, 0, 0).first, 0) << "a failed read leaves the others cached";
  cr_close_file(f);
}

// (Blocks and tables cut short by the end of the file: above, and in cr2ppm's runs on damaged files.)
TEST_F(CrReadTest, RefusesRectanglesOutsideTheFileLeavingTheRecordAlone) {
  const Packed p = pack(textured(300, 200), 256);
  ASSERT_EQ(p.result, 0);
  CR_FILE* f = open_read_only(p.cr_path);
  ASSERT_NE(f, nullptr);
  CR_MEM_TBL untouched{reinterpret_cast<unsigned char*>(1), 'x', {1, 2, 3}, 7};
  for (auto [x, y, level] : {std::tuple{300, 0, 0}, {0, 200, 0}, {-1, 0, 0}, {0, 0, 7}, {0, 0, -1}, {0, 0, 32}}) {
    CR_MEM_TBL b = untouched;
    EXPECT_EQ((std::pair{cr_read(&b, f, x, y, level), r64_error}), std::pair(-1, kR64NotR64)) << x << "," << y << "@" << level;
    EXPECT_TRUE(b.buf == untouched.buf && b.type == 'x' && b.size == 7);
  }
  cr_close_file(f);
  // A damaged table claiming a 2 GB block: refused as damaged before anything is allocated for it.
  std::string cr = p.cr;
  cr.replace(16 + 8, 4, "\x7f\xff\xff\xf0");
  write_file(p.cr_path, cr);
  f = open_read_only(p.cr_path);
  EXPECT_EQ(block_at(f, 0, 0, 0).first, kR64NotR64);
  EXPECT_EQ(block_at(f, 0, 0, 1).first, 0);
  cr_close_file(f);
}

// Table entries are read only from the table: a run of them reaching past its last entry is
// refused, whatever bytes follow the table in the file.
TEST_F(CrReadTest, ReadsTableEntriesOnlyWithinTheTable) {
  const Packed p = pack(textured(300, 200), 64);
  ASSERT_EQ(p.result, 0);
  CR_FILE* f = open_read_only(p.cr_path);
  ASSERT_NE(f, nullptr);
  const unsigned int count = f->header.cr_tbl_nos;  // the file lays out one more, never used
  ASSERT_EQ(count + 1, be(p.cr, 12, 4));
  std::vector<CR_TBL> entries(count + 6);
  ASSERT_EQ(cr_read_tbl(entries.data(), f, 0, count), 0);
  for (unsigned int i = 0; i < count; ++i) {
    const Entry e = entry(p.cr, i);
    EXPECT_EQ(std::tuple(entries[i].ofs, entries[i].type, entries[i].size), std::tuple(e.ofs, e.type, e.size)) << i;
  }
  for (auto [first, n] : {std::pair{count, 1u}, {count - 1, 2u}, {0u, count + 1}, {count + 5, 1u}, {0xFFFFFFFFu, 2u}}) {
    EXPECT_EQ(std::pair(cr_read_tbl(entries.data(), f, first, n), r64_error), std::pair(-1, kR64NotR64))
        << n << " entries from " << first << " of " << count;
  }
  cr_close_file(f);
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

// Every block of a pack checked by the independent reading, and every level the library rebuilds
// equal to what the rule gives: rectangle sides of 15 and 16 pixels ('n' and 'j'), odd multiples of
// the rectangle size, rectangles of one pixel (whose offsets are chosen like any other's),
// elongated images whose coarsest level spans several rectangles (each roots a tree), a grey file,
// and a bit file whose pixels read as 0 or 255 in every channel.
TEST_F(CrReadTest, RebuildsEveryLevelExactlyByTheRule) {
  struct Case { int w, h, rect; char type; };
  const Case cases[] = {{80, 80, 64, 'P'},    {79, 79, 64, 'P'},  {271, 271, 256, 'P'}, {257, 257, 256, 'P'},
                        {384, 200, 64, 'P'},  {192, 192, 64, 'P'}, {65, 3, 64, 'P'},    {1100, 5, 64, 'P'},
                        {5, 700, 64, 'P'},    {2000, 3, 256, 'P'}, {300, 129, 128, 'G'}, {20, 20, 64, 'B'}};
  auto bits = [](int x, int y, uint8_t* px) { px[0] = (x + 2 * y) % 3 == 0; };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " " + c.type + " in " + std::to_string(c.rect));
    const Packed p = pack(c.type == 'B' ? Image::of(c.w, c.h, bits) : textured(c.w, c.h), c.rect, c.type);
    ASSERT_EQ(p.result, 0);
    std::vector<Image> by_rule;
    rebuild_and_check(p.cr, p.levels, by_rule);
    const std::vector<Image> rebuilt = rebuild_levels(p.cr_path);
    ASSERT_EQ(rebuilt.size(), by_rule.size());
    for (size_t k = 0; k < rebuilt.size(); ++k) EXPECT_TRUE(rebuilt[k].rgb == by_rule[k].rgb) << "level " << k;
  }
}

// The failure of rebuilding (x, y) of `level` from `cr`, and the rectangle it names.
std::tuple<int, int, int, int, int> rebuild_damaged(const Packed& p, const std::string& cr, int x, int y, int level) {
  write_file(p.cr_path, cr);
  CR_FILE* f = open_read_only(p.cr_path);
  CR_REBUILDER* rb = cr_rebuild_open(f);
  CR_BUFFER rect;
  std::tuple<int, int, int, int, int> out{cr_rebuild_rect(&rect, rb, x, y, level), r64_error, 0, 0, 0};
  cr_rebuild_failed_at(rb, &std::get<2>(out), &std::get<3>(out), &std::get<4>(out));
  cr_rebuild_close(rb);
  cr_close_file(f);
  return out;
}

TEST_F(CrReadTest, RefusesBlocksThatDoNotFitTheirRectangle) {
  const Packed p = pack(textured(1000, 600), 256);
  ASSERT_EQ(p.result, 0);
  // A JPEG frame header announcing 16384 x 14848 pixels in level 0's (256, 256).
  std::string cr = p.cr;
  const size_t frame = cr.find("\xFF\xC0", entry(cr, 5).ofs);
  ASSERT_LT(frame, entry(cr, 5).ofs + entry(cr, 5).size);
  cr.replace(frame + 5, 4, "\x3A\x00\x40\x00");
  EXPECT_EQ(rebuild_damaged(p, cr, 300, 300, 0), std::tuple(-1, kR64NotR64, 0, 256, 256));
  // A plain block whose sizes disagree with its rectangle: the 4 x 3 root, so every pixel fails.
  cr = p.cr;
  cr[entry(cr, 22).ofs] = 7;
  EXPECT_EQ(rebuild_damaged(p, cr, 999, 599, 0), std::tuple(-1, kR64NotR64, 8, 0, 0));
  // A plain block one byte longer than its rectangle (the root, 38 bytes): damaged, whatever the
  // byte after it; cr_read refuses it before reading it.
  cr = p.cr;
  cr.replace(16 + 12 * 22 + 8, 4, std::string("\0\0\0\x27", 4));
  EXPECT_EQ(rebuild_damaged(p, cr, 999, 599, 0), std::tuple(-1, kR64NotR64, 8, 0, 0));
  CR_FILE* f = open_read_only(p.cr_path);
  EXPECT_EQ(block_at(f, 0, 0, 8).first, kR64NotR64);
  cr_close_file(f);
  // A rectangle whose entry is empty is missing.
  cr = p.cr;
  cr.replace(16 + 12 * 13, 12, std::string(12, '\0'));  // level 1's (256, 0)
  EXPECT_EQ(rebuild_damaged(p, cr, 600, 0, 0), std::tuple(-1, kR64Short, 1, 256, 0));
}

// A rectangle whose block fails part way through decoding, in the slot of a rectangle rebuilt
// before: that rectangle is rebuilt afresh when asked for again, not taken from what is left of it.
TEST_F(CrReadTest, ARectangleFailingPartWayLeavesNoStaleRectangleBehind) {
  const Packed p = pack(textured(1000, 600), 256);
  ASSERT_EQ(p.result, 0);
  std::string cr = p.cr;
  const Entry below = entry(cr, 4);  // level 0's (0, 256), in the column of (0, 0)
  ASSERT_EQ(below.type, 'j');
  cr.replace(16 + 12 * 4 + 8, 4, std::string({0, 0, static_cast<char>(below.size / 2 >> 8), static_cast<char>(below.size / 2)}));
  write_file(p.cr_path, cr);
  CR_FILE* f = open_read_only(p.cr_path);
  CR_REBUILDER* rb = cr_rebuild_open(f);
  auto pixels = [&](int y) {
    CR_BUFFER rect{};
    if (cr_rebuild_rect(&rect, rb, 0, y, 0) < 0) return std::string();
    return std::string(reinterpret_cast<const char*>(rect.buf), 4 * static_cast<size_t>(rect.w_len) * rect.h_len);
  };
  const std::string first = pixels(0);
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(std::pair(pixels(256), r64_error), std::pair(std::string(), kR64NotR64));
  EXPECT_TRUE(pixels(0) == first);
  cr_rebuild_close(rb);
  cr_close_file(f);
}

}  // namespace
