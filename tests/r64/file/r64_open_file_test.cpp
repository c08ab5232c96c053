// Opening, creating and closing R64 files: header bytes, level tables and refusals.
#include "r64_fixture.hpp"

#include <array>

using test_support::write_file;

namespace {

struct Level {
  int w;
  int h;
  unsigned offset;
};

TEST_F(R64FileTest, CreatesHeaderAndLevelTableOf1000x800) {
  R64_FILE* f = create('P', 1000, 800);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(bytes(), std::string("\x52\x36\x34\x50\x03\xE8\x03\x20", 8));
  const std::array<Level, 9> expected{{{1000, 800, 8},
                                       {500, 400, 2400008},
                                       {250, 200, 3000008},
                                       {125, 100, 3150008},
                                       {63, 50, 3187508},
                                       {32, 25, 3196958},
                                       {16, 13, 3199358},
                                       {8, 7, 3199982},
                                       {4, 4, 3200150}}};
  for (int k = 0; k < kLevels; ++k) {
    SCOPED_TRACE(k);
    Level want = k < 9 ? expected[k] : Level{0, 0, 0};
    EXPECT_EQ(f->level_w[k], want.w);
    EXPECT_EQ(f->level_h[k], want.h);
    EXPECT_EQ(f->level_ofs[k], want.offset);
  }
  EXPECT_EQ(r64_check_level(f, 0), 0);
  EXPECT_EQ(r64_close_file(f), 0);
}

TEST_F(R64FileTest, LaysOutLevelsOfSmallImages) {
  struct Case {
    int w, h, levels;
    std::array<unsigned, 5> offsets;
  };
  const Case cases[] = {
      {64, 64, 5, {8, 12296, 15368, 16136, 16328}},
      {3, 3, 1, {8}},
      {2, 100, 0, {}},
      {100, 2, 0, {}},
      {5, 5, 2, {8, 83}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
    R64_FILE* f = create('P', c.w, c.h);
    ASSERT_NE(f, nullptr);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(f->level_ofs[k], k < c.levels ? c.offsets[k] : 0u) << k;
    r64_close_file(f);
  }
}

TEST_F(R64FileTest, NewHandleAnswersEdgesWithNearestPixelOnBlack) {
  R64_FILE* f = create('P', 10, 10);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->rc_type, 1);
  EXPECT_EQ(std::string(f->background, 3), std::string(3, '\0'));
  r64_close_file(f);
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
}

TEST_F(R64FileTest, EmptyReadWriteFileWithWidth0GetsHeaderAndIsRefused) {
  write_file(path_, "");
  EXPECT_EQ(r64_open_file(path_.c_str(), O_RDWR, 0644, 'P', 0, 0), nullptr);
  EXPECT_EQ(r64_error, kR64NotR64);
  EXPECT_EQ(bytes(), std::string("R64P\0\0\0\0", 8));
}

TEST_F(R64FileTest, RefusesToCreateSidesBeyondTheHeader) {
  for (auto [w, h] : {std::pair{32768, 10}, std::pair{10, 40000}, std::pair{-5, 10}}) {
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    EXPECT_EQ(create('P', w, h), nullptr);
    EXPECT_EQ(r64_error, kR64NotR64);
    EXPECT_EQ(size(), 0);
  }
  R64_FILE* f = create('P', 32767, 3);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(bytes(), std::string("R64P\x7F\xFF\x00\x03", 8));
  r64_close_file(f);
}

TEST_F(R64FileTest, MissingFileOrNullNameFailsAsSystemError) {
  EXPECT_EQ(r64_open_file(nullptr, O_RDWR, 0644, 'P', 0, 0), nullptr);
  EXPECT_EQ(r64_error, kR64System);
  EXPECT_EQ(r64_open_file(test_support::scratch_path("absent.r64").c_str(), O_RDONLY, 0, 'P', 0, 0), nullptr);
  EXPECT_EQ(r64_error, kR64System);
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
  EXPECT_EQ(std::string(f->background, 3), std::string("\x09\0\0", 3));
  r64_close_file(f);
}

TEST_F(R64FileTest, CheckLevelRejectsLevelsOutsideTheTable) {
  R64_FILE* f = create('P', 100, 100);
  ASSERT_NE(f, nullptr);
  r64_error = -4;
  EXPECT_EQ(r64_check_level(f, -1), 0);
  EXPECT_EQ(r64_check_level(f, 32), 0);
  EXPECT_EQ(r64_check_level(f, 6), 0);
  EXPECT_EQ(r64_error, -4);
  r64_close_file(f);
}

TEST_F(R64FileTest, LevelIsPresentOnceTheFileReachesItsEnd) {
  R64_FILE* f = create('P', 1000, 800);
  ASSERT_NE(f, nullptr);
  const unsigned char px[3] = {1, 2, 3};
  ASSERT_EQ(r64_set(f, 999, 799, 0, px), 0);
  EXPECT_EQ(r64_check_level(f, 0), 0);
  ASSERT_EQ(r64_flush(f), 0);
  EXPECT_EQ(size(), 2400008);
  EXPECT_EQ(r64_check_level(f, 0), 1);
  EXPECT_EQ(r64_check_level(f, 1), 0);
  r64_close_file(f);
}

TEST_F(R64FileTest, BitLevelIsPresentOnlyOnceSomethingBehindItIsWritten) {
  R64_FILE* f = create('B', 64, 64);
  ASSERT_NE(f, nullptr);
  const unsigned char on[1] = {1};
  ASSERT_EQ(r64_set(f, 63, 63, 0, on), 0);
  ASSERT_EQ(r64_flush(f), 0);
  EXPECT_EQ(size(), 8 + 8 * 64);
  EXPECT_EQ(r64_check_level(f, 0), 0);
  ASSERT_EQ(r64_set(f, 0, 0, 1, on), 0);
  ASSERT_EQ(r64_flush(f), 0);
  EXPECT_EQ(r64_check_level(f, 0), 1);
  r64_close_file(f);
}

}  // namespace
