// Opening, creating and closing R64 files: header bytes, level tables and refusals.
#include "r64_fixture.hpp"

#include <unistd.h>

#include <vector>

namespace {

using test_support::write_file;

TEST_F(R64FileTest, LaysOutLevelTables) {
  struct Case {
    int w, h;
    std::vector<unsigned> offsets;  // of the laid-out levels; every later entry is 0
  };
  const Case cases[] = {
      {1000, 800, {8, 2400008, 3000008, 3150008, 3187508, 3196958, 3199358, 3199982, 3200150}},
      {64, 64, {8, 12296, 15368, 16136, 16328}},
      {5, 5, {8, 83}},
      {3, 3, {8}},
      {2, 100, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
    R64_FILE* f = create('P', c.w, c.h);
    ASSERT_NE(f, nullptr);
    int w = c.w, h = c.h;
    for (int k = 0; k < kLevels; ++k) {
      bool laid_out = k < static_cast<int>(c.offsets.size());
      EXPECT_EQ(f->level_ofs[k], laid_out ? c.offsets[k] : 0u) << k;
      EXPECT_EQ(f->level_w[k], laid_out ? w : 0) << k;
      EXPECT_EQ(f->level_h[k], laid_out ? h : 0) << k;
      w = (w + 1) / 2;
      h = (h + 1) / 2;
    }
    r64_close_file(f);
  }
}

TEST_F(R64FileTest, CreatesBigEndianHeaderAndDefaultEdgeAnswers) {
  R64_FILE* f = create('P', 1000, 800);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(bytes(), std::string("\x52\x36\x34\x50\x03\xE8\x03\x20", 8));
  EXPECT_EQ(f->rc_type, 1);  // nearest edge pixel
  EXPECT_EQ(std::string(f->background, 3), std::string(3, '\0'));
  EXPECT_EQ(r64_close_file(f), 0);
}

TEST_F(R64FileTest, RefusesFilesThatAreNotR64) {
  struct Case {
    const char* what;
    std::string content;
    int ctl;
    int code;
  };
  const Case cases[] = {
      {"empty, read-only", "", O_RDONLY, kR64Short},
      {"five bytes", "R64P\x01", O_RDWR, kR64Short},
      {"wrong magic", std::string("R65P\x00\x10\x00\x10", 8), O_RDWR, kR64NotR64},
      {"type Q", std::string("R64Q\x00\x10\x00\x10", 8), O_RDONLY, kR64NotR64},
      {"width 0", std::string("R64P\x00\x00\x00\x10", 8), O_RDONLY, kR64NotR64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(path_, c.content);
    EXPECT_EQ(reopen(c.ctl), nullptr);
    EXPECT_EQ(r64_error, c.code);
  }
  EXPECT_EQ(r64_open_file(nullptr, O_RDWR, 0644, 'P', 0, 0), nullptr);
  EXPECT_EQ(r64_error, kR64System);
}

TEST_F(R64FileTest, EmptyReadWriteFileWithWidth0GetsHeaderAndIsRefused) {
  write_file(path_, "");
  EXPECT_EQ(r64_open_file(path_.c_str(), O_RDWR, 0644, 'P', 0, 0), nullptr);
  EXPECT_EQ(r64_error, kR64NotR64);
  EXPECT_EQ(bytes(), std::string("R64P\0\0\0\0", 8));
}

TEST_F(R64FileTest, RefusesToCreateSidesBeyondTheHeader) {
  for (auto [w, h] : {std::pair{32768, 10}, std::pair{10, 40000}, std::pair{-5, 10}}) {
    EXPECT_EQ(create('P', w, h), nullptr);
    EXPECT_EQ(r64_error, kR64NotR64);
    EXPECT_EQ(size(), 0);
  }
  R64_FILE* f = create('P', 32767, 3);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(bytes(), std::string("R64P\x7F\xFF\x00\x03", 8));
  r64_close_file(f);
}

TEST_F(R64FileTest, CtlSetsModeAndBackground) {
  R64_FILE* f = create('G', 10, 10);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(r64_ctl(f, 0, 2), -1);
  EXPECT_EQ(r64_error, kR64BadMode);
  EXPECT_EQ(f->rc_type, 1);
  EXPECT_EQ(r64_ctl(f, 0, 0), 0);
  EXPECT_EQ(f->rc_type, 0);
  EXPECT_EQ(r64_ctl(f, 7), 0);
  const char pixel[3] = {9, 8, 7};
  EXPECT_EQ(r64_ctl(f, 1, pixel), 0);
  EXPECT_EQ(std::string(f->background, 3), std::string("\x09\0\0", 3));  // 'G' takes one byte
  r64_close_file(f);
}

TEST_F(R64FileTest, LevelIsPresentOnceTheFileReachesItsEnd) {
  R64_FILE* f = create('P', 1000, 800);
  ASSERT_NE(f, nullptr);
  r64_error = -4;
  EXPECT_EQ(r64_check_level(f, -1), 0);
  EXPECT_EQ(r64_check_level(f, 32), 0);
  EXPECT_EQ(r64_error, -4);  // untouched
  const unsigned char px[3] = {1, 2, 3};
  ASSERT_EQ(r64_set(f, 999, 799, 0, px), 0);
  EXPECT_EQ(r64_check_level(f, 0), 0);
  ASSERT_EQ(r64_flush(f), 0);
  EXPECT_EQ(size(), 2400008);
  EXPECT_EQ(r64_check_level(f, 0), 1);
  EXPECT_EQ(r64_check_level(f, 1), 0);
  r64_close_file(f);
}

// A bit level reserves a byte a pixel but its tiles fill only ceil(w / 8) bytes a row: it is there
// once those are, and a level cut short is not there.
TEST_F(R64FileTest, LevelIsPresentOnceItsTilesAreWritten) {
  R64_FILE* f = create('B', 64, 64);
  ASSERT_NE(f, nullptr);
  const unsigned char on[3] = {1};
  ASSERT_EQ(r64_set(f, 63, 62, 0, on), 0);
  ASSERT_EQ(r64_flush(f), 0);
  EXPECT_EQ(size(), 8 + 8 * 64);
  EXPECT_EQ(r64_check_level(f, 0), 1);
  EXPECT_EQ(r64_check_level(f, 1), 0);
  ASSERT_EQ(r64_set(f, 0, 0, 1, on), 0);
  ASSERT_EQ(r64_flush(f), 0);
  EXPECT_EQ(size(), 8 + 64 * 64 + 4 * 32) << "level 1 starts where level 0's reserved bytes end";
  EXPECT_EQ(r64_check_level(f, 1), 1);
  const unsigned char also_on[3] = {1};
  ASSERT_EQ(r64_set(f, 0, 31, 1, also_on), 0);
  ASSERT_EQ(r64_close_file(f), 0);
  ASSERT_EQ(truncate(path_.c_str(), 8 + 64 * 64 + 4 * 31), 0);  // level 1's last row is lost
  f = reopen(O_RDWR);
  EXPECT_EQ(r64_check_level(f, 1), 0);
  unsigned char px[3] = {};
  ASSERT_EQ(r64_red(px, f, 0, 0, 1), 0) << "a tile cut short keeps what the file holds";
  EXPECT_EQ(px[0], 255);
  ASSERT_EQ(r64_red(px, f, 0, 31, 1), 0);
  EXPECT_EQ(px[0], 0) << "and takes the background where the file ends";
  r64_close_file(f);
}

}  // namespace
