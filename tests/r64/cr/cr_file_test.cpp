// The CR file layout and handle: header and empty table of a new file, the level table, table
// entry offsets, reopening, refusals, the sample mapping and uncompressed blocks.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "change_endian.hpp"
#include "r64/cr/cr_files.hpp"
#include "r64.hpp"
#include "support/support.hpp"

namespace {

using test_support::file_size;
using test_support::read_file;
using test_support::scratch_path;
using test_support::write_file;

class CrFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    check_endian();
    r64_init();
  }
  CR_FILE* create(const std::string& path, int rect, int w, int h) {
    return cr_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, rect, w, h);
  }
};

TEST_F(CrFileTest, NewFileHoldsHeaderAndEmptyTable) {
  std::string path = scratch_path("a.cr");
  CR_FILE* f = create(path, 256, 1000, 600);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->write_ofs, 304u);
  EXPECT_EQ(f->header.cr_tbl_nos, 24u);
  EXPECT_EQ(f->fctl, 2);
  cr_close_file(f);

  std::string bytes = read_file(path);
  ASSERT_EQ(bytes.size(), 304u);
  const std::string header("\x43\x52\x00\x00\x03\xE8\x02\x58\x01\x00\x00\x00\x00\x00\x00\x18", 16);
  EXPECT_EQ(bytes.substr(0, 16), header);
  EXPECT_EQ(bytes.substr(16), std::string(288, '\0'));
}

TEST_F(CrFileTest, LevelTableOfSmallRectangles) {
  std::string path = scratch_path("a.cr");
  CR_FILE* f = create(path, 64, 1000, 600);
  ASSERT_NE(f, nullptr);
  const int entries[] = {0, 160, 200, 212, 216, 217, 218, 219, 220};
  for (int level = 0; level < 9; ++level) EXPECT_EQ(f->level_entry[level], entries[level]) << level;
  for (int level = 9; level < 32; ++level) {
    EXPECT_EQ(f->level_entry[level], -1);
    EXPECT_EQ(f->level_w[level], 0);
    EXPECT_EQ(f->level_h[level], 0);
  }
  EXPECT_EQ(f->level_w[8], 4);
  EXPECT_EQ(f->level_h[8], 3);
  EXPECT_EQ(f->write_ofs, 2680u);
  cr_close_file(f);
  EXPECT_EQ(file_size(path), 2680);
}

TEST_F(CrFileTest, TableCountsOfSmallImages) {
  struct Case {
    int w, h, rect;
    unsigned count;
    int levels;
  };
  const Case cases[] = {{5, 5, 256, 3, 2}, {3, 3, 256, 2, 1}, {4, 4, 64, 2, 1},     {2, 2, 128, 1, 0},
                        {1000, 600, 256, 24, 9}, {1000, 600, 64, 222, 9}, {1100, 5, 64, 32, 2}};
  for (const Case& c : cases) {
    CR_FILE* f = create(scratch_path("t.cr"), c.rect, c.w, c.h);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->header.cr_tbl_nos, c.count) << c.w << "x" << c.h << " / " << c.rect;
    int levels = 0;
    while (cr_check_level(f, levels)) ++levels;
    EXPECT_EQ(levels, c.levels) << c.w << "x" << c.h;
    cr_close_file(f);
  }
}

TEST_F(CrFileTest, LocatesTableEntries) {
  CR_FILE* f = create(scratch_path("a.cr"), 256, 1000, 600);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(get_tbl_ofs(f, 300, 520, 0), 124u);
  EXPECT_EQ(get_tbl_ofs(f, 0, 0, 0), 16u);
  EXPECT_EQ(get_tbl_ofs(f, 999, 599, 0), 16u + 12 * 11);
  EXPECT_EQ(get_tbl_ofs(f, 3, 2, 8), 16u + 12 * 22);
  EXPECT_EQ(cr_check_level(f, 8), 1);
  EXPECT_EQ(cr_check_level(f, 9), 0);
  EXPECT_EQ(cr_check_level(f, -1), 0);
  EXPECT_EQ(cr_check_level(f, 32), 0);
  cr_close_file(f);
}

TEST_F(CrFileTest, ReopeningRecomputesTableAndAppendsAtEnd) {
  std::string path = scratch_path("a.cr");
  cr_close_file(create(path, 256, 1000, 600));
  std::string bytes = read_file(path);
  bytes[15] = 5;            // a stored count that disagrees
  bytes += "block";          // and data behind the table
  write_file(path, bytes);

  CR_FILE* f = cr_open_file(path.c_str(), O_RDONLY, 0644, 64, 10, 10);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->header.cr_tbl_nos, 24u);
  EXPECT_EQ(f->header.rect_size, 256);
  EXPECT_EQ(f->header.h.width, 1000);
  EXPECT_EQ(f->level_entry[8], 22);
  EXPECT_EQ(f->write_ofs, 309u);
  EXPECT_EQ(f->fctl, 0);
  cr_close_file(f);
  EXPECT_EQ(r64_error, 0);
}

TEST_F(CrFileTest, OpenRefusals) {
  std::string empty = scratch_path("empty.cr");
  write_file(empty, "");
  EXPECT_EQ(cr_open_file(empty.c_str(), O_RDONLY, 0644, 256, 10, 10), nullptr);
  EXPECT_EQ(r64_error, -4);
  EXPECT_EQ(file_size(empty), 0);

  std::string shortfile = scratch_path("short.cr");
  write_file(shortfile, std::string("CR\0\0\0\x0a", 6));
  EXPECT_EQ(cr_open_file(shortfile.c_str(), O_RDWR, 0644, 256, 10, 10), nullptr);
  EXPECT_EQ(r64_error, -4);

  std::string r64 = scratch_path("a.r64");
  write_file(r64, std::string("R64P\x00\x0a\x00\x0a\x01\x00\x00\x00\x00\x00\x00\x02", 16));
  EXPECT_EQ(cr_open_file(r64.c_str(), O_RDONLY, 0644, 256, 10, 10), nullptr);
  EXPECT_EQ(r64_error, -5);

  EXPECT_EQ(cr_open_file(scratch_path("missing.cr").c_str(), O_RDONLY, 0644, 256, 10, 10), nullptr);
  EXPECT_EQ(r64_error, -1);
}

TEST_F(CrFileTest, RefusesSizesItCannotLayOut) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(create(scratch_path("zero.cr"), 256, 0, 10), nullptr);
  EXPECT_EQ(r64_error, -5);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "a\n");
  EXPECT_EQ(create(scratch_path("rect.cr"), 0, 10, 10), nullptr);
  EXPECT_EQ(r64_error, -5);
  // A negative size lays out no level and so no rectangle: the table is empty, not 4 GiB.
  CR_FILE* f = create(scratch_path("neg.cr"), 256, -1000, 600);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->header.cr_tbl_nos, 0u);
  EXPECT_EQ(cr_check_level(f, 0), 0);
  cr_close_file(f);
}

TEST(CrTableEntry, ConvertsOffsetAndSizeOnly) {
  check_endian();
  CR_TBL entry{0x01020304u, 'j', {1, 2, 3}, 0x0A0B0C0Du};
  change_endian_cr_tbl(&entry);
  const unsigned char expected[12] = {1, 2, 3, 4, 'j', 1, 2, 3, 0x0A, 0x0B, 0x0C, 0x0D};
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&entry), 12),
            std::string(reinterpret_cast<const char*>(expected), 12));
  change_endian_cr_tbl(&entry);
  EXPECT_EQ(entry.ofs, 0x01020304u);
  EXPECT_EQ(entry.size, 0x0A0B0C0Du);
}

TEST(CrSampleMapping, ReferenceValues) {
  struct Case {
    int in;
    signed char offset;
    int coded;
  };
  const Case coded[] = {{-128, 0, 17}, {0, 0, 29},    {31, 0, 32},   {32, 0, 32},  {223, 0, 223}, {255, 0, 226},
                        {300, 0, 231}, {382, 0, 239}, {0, 127, 127}, {-255, 127, 17}, {255, -128, 127}, {100, -100, 29}};
  for (const Case& c : coded) EXPECT_EQ(cr_cal(c.in, c.offset), c.coded) << c.in << " " << int{c.offset};
  const Case back[] = {{0, 0, -300}, {17, 0, -123}, {31, 0, 22},   {224, 0, 224},
                       {225, 0, 234}, {239, 0, 379}, {255, 0, 545}, {127, 127, 0}, {100, -20, 120}};
  for (const Case& c : back) EXPECT_EQ(cr_inv_cal(c.in, c.offset), c.coded) << c.in << " " << int{c.offset};
}

// With the offset the writer chooses, every residual of a rectangle codes inside 17..239 and comes
// back within the step of the compressed band.
TEST(CrSampleMapping, ResidualsComeBackCloseWithCentringOffset) {
  for (int low = -255; low <= 255; low += 17)
    for (int high = low; high <= 255; high += 13) {
      auto offset = static_cast<signed char>(cr_test::centring_offset(low, high));
      for (int r : {low, high, (low + high) / 2}) {
        int s = cr_cal(r, offset);
        EXPECT_GE(s, 17);
        EXPECT_LE(s, 239);
        EXPECT_LE(std::abs(cr_inv_cal(s, offset) - r), 11) << r << " " << int{offset};
      }
    }
}

TEST(NoneBlock, RoundTripsThreeBytesPerPixel) {
  const unsigned char pixels[] = {1, 2, 3, 99, 4, 5, 6, 99, 7, 8, 9, 99, 10, 11, 12, 99, 13, 14, 15, 99, 16, 17, 18, 99};
  int size = 0;
  unsigned char* block = none_compress(&size, pixels, 3, 2);
  ASSERT_NE(block, nullptr);
  ASSERT_EQ(size, 2 + 18);
  EXPECT_EQ(block[0], 2);
  EXPECT_EQ(block[1], 1);
  EXPECT_EQ(block[2 + 3 * 5 + 2], 18);
  int w = 0;
  int h = 0;
  unsigned char* back = none_uncompress(&w, &h, block, size);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(w, 3);
  EXPECT_EQ(h, 2);
  for (int i = 0; i < 6; ++i) {
    for (int c = 0; c < 3; ++c) EXPECT_EQ(back[4 * i + c], pixels[4 * i + c]);
    EXPECT_EQ(back[4 * i + 3], 0);
  }
  std::free(block);
  std::free(back);
}

TEST(NoneBlock, RefusesBlockShorterThanItsHeaderSays) {
  // Exactly sized heap copies, so that a read past the end is caught under the address sanitizer.
  int w = 0;
  int h = 0;
  auto* tiny = static_cast<unsigned char*>(std::malloc(1));
  tiny[0] = 0;
  EXPECT_EQ(none_uncompress(&w, &h, tiny, 1), nullptr);
  std::free(tiny);
  auto* cut = static_cast<unsigned char*>(std::malloc(2 + 3 * 256 * 256 - 1));
  cut[0] = 255;
  cut[1] = 255;
  EXPECT_EQ(none_uncompress(&w, &h, cut, 2 + 3 * 256 * 256 - 1), nullptr);
  std::free(cut);
  const unsigned char one[] = {0, 0, 7, 8, 9};
  unsigned char* pixel = none_uncompress(&w, &h, one, 5);
  ASSERT_NE(pixel, nullptr);
  EXPECT_EQ(pixel[2], 9);
  std::free(pixel);
}

TEST(CrMemTable, FreeingClearsTheBlock) {
  CR_MEM_TBL t{static_cast<unsigned char*>(std::malloc(8)), 'n', {0, 0, 0}, 8};
  free_cr_mem_tbl(&t);
  EXPECT_EQ(t.buf, nullptr);
  free_cr_mem_tbl(&t);  // a second release is harmless
}

}  // namespace
