// The CR file layout and handle: header and empty table of a new file, the level table, table
// entry offsets, reopening, refusals and the sample mapping.
#include "r64/cr/cr_files.hpp"

namespace {

using namespace test_support;
using CrFileTest = cr_test::CrTest;

const std::string kHeader("\x43\x52\x00\x00\x03\xE8\x02\x58\x01\x00\x00\x00\x00\x00\x00\x18", 16);

CR_FILE* create(const std::string& path, int rect, int w, int h) {
  return cr_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, rect, w, h);
}

TEST_F(CrFileTest, NewFileLaysOutHeaderAndZeroTable) {
  const std::string path = scratch_path("a.cr");
  CR_FILE* f = create(path, 256, 1000, 600);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(get_tbl_ofs(f, 300, 520, 0), 124u);
  EXPECT_EQ(get_tbl_ofs(f, 3, 2, 8), 16u + 12 * 22);
  for (int level : {-1, 9, 32}) EXPECT_EQ(cr_check_level(f, level), 0) << level;
  cr_close_file(f);
  EXPECT_EQ(read_file(path), kHeader + std::string(288, '\0'));
}

// The count covers the levels that exist; the table on disk keeps, at its end, the never used
// entries of the level too small to exist, as files have always been laid out.
TEST_F(CrFileTest, CountsEntriesOfEveryLevelThatExists) {
  struct Case { int w, h, rect; unsigned count, on_disk; int levels; };
  const Case cases[] = {{5, 5, 256, 2, 3, 2},     {3, 3, 256, 1, 2, 1},     {4, 4, 64, 1, 2, 1},
                        {2, 2, 128, 0, 1, 0},     {1100, 5, 64, 27, 32, 2}, {120, 100, 256, 6, 7, 6},
                        {1000, 600, 64, 221, 222, 9}};
  for (const Case& c : cases) {
    CR_FILE* f = create(scratch_path("t.cr"), c.rect, c.w, c.h);
    ASSERT_NE(f, nullptr);
    int levels = 0;
    while (cr_check_level(f, levels)) ++levels;
    EXPECT_EQ(std::tuple(f->header.cr_tbl_nos, cr_test::be(read_file(scratch_path("t.cr")), 12, 4), f->write_ofs, levels),
              std::tuple(c.count, c.on_disk, 16 + 12 * c.on_disk, c.levels)) << c.w << "x" << c.h << " / " << c.rect;
    cr_close_file(f);
  }
}

TEST_F(CrFileTest, ReopeningRecomputesTableAndAppendsAtEnd) {
  const std::string path = scratch_path("a.cr");
  // A stored count that disagrees, and data behind the table.
  write_file(path, kHeader.substr(0, 15) + '\5' + std::string(288, '\0') + "block");
  CR_FILE* f = cr_open_file(path.c_str(), O_RDONLY, 0644, 64, 10, 10);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(std::pair(f->header.cr_tbl_nos, f->write_ofs), std::pair(23u, 309u));
  cr_close_file(f);
}

TEST_F(CrFileTest, RefusesFilesThatAreNotCrFiles) {
  struct Case { std::string bytes; int ctl, error; };
  const Case cases[] = {{"", O_RDONLY, kR64Short},
                        {std::string("CR\0\0\x03\xE8\x02\x58\x01\x00\x00\x00\x00\x00\x00", 15), O_RDWR, kR64Short},
                        {std::string("R64P\x00\x0a\x00\x0a\x01\x00\x00\x00\x00\x00\x00\x02", 16), O_RDONLY, kR64NotR64}};
  for (const Case& c : cases) {
    const std::string path = scratch_path("bad.cr");
    write_file(path, c.bytes);
    EXPECT_EQ(cr_open_file(path.c_str(), c.ctl, 0644, 256, 10, 10), nullptr) << c.bytes.size();
    EXPECT_EQ(std::pair(r64_error, read_file(path)), std::pair(c.error, c.bytes));
  }
}

TEST_F(CrFileTest, RefusesSizesItCannotLayOut) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(create(scratch_path("zero.cr"), 256, 0, 10), nullptr);
  EXPECT_EQ(r64_error, kR64NotR64);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "a\n");
  EXPECT_EQ(create(scratch_path("rect.cr"), 0, 10, 10), nullptr) << "no division by zero";
}

TEST(CrSampleMapping, ReferenceValues) {
  struct Case { int in; signed char offset; int out; };
  const Case coded[] = {{-128, 0, 17},  {0, 0, 29},       {31, 0, 32},     {32, 0, 32},
                        {223, 0, 223},  {255, 0, 226},    {300, 0, 231},   {382, 0, 239},
                        {0, 127, 127},  {-255, 127, 17},  {255, -128, 127}, {100, -100, 29}};
  for (const Case& c : coded) EXPECT_EQ(cr_cal(c.in, c.offset), c.out) << c.in << " " << int{c.offset};
  const Case back[] = {{0, 0, -300},  {17, 0, -123}, {31, 0, 22},   {224, 0, 224},
                       {225, 0, 234}, {239, 0, 379}, {255, 0, 545}, {127, 127, 0}, {100, -20, 120}};
  for (const Case& c : back) EXPECT_EQ(cr_inv_cal(c.in, c.offset), c.out) << c.in << " " << int{c.offset};
}

}  // namespace
