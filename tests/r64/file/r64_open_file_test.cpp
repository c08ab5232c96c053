// Opening, creating and closing R64 files: header bytes, level tables, when a level counts as
// present, and refusals.
#include "r64_fixture.hpp"

#include <unistd.h>

#include <vector>

namespace {

using test_support::write_file;

TEST_F(R64FileTest, LaysOutLevelTables) {
  struct Case { int w, h; std::vector<unsigned> offsets; };  // of the laid-out levels; later entries are 0
  const Case cases[] = {
      {1000, 800, {8, 2400008, 3000008, 3150008, 3187508, 3196958, 3199358, 3199982, 3200150}},
      {64, 64, {8, 12296, 15368, 16136, 16328}},
      {5, 5, {8, 83}},
      {3, 3, {8}},
      {2, 100, {}},
  };
  for (const Case& c : cases) {
    R64_FILE* f = create('P', c.w, c.h);
    ASSERT_NE(f, nullptr);
    for (int k = 0, w = c.w, h = c.h; k < kLevels; ++k, w = (w + 1) / 2, h = (h + 1) / 2) {
      const bool laid_out = k < static_cast<int>(c.offsets.size());
      EXPECT_EQ(std::tuple(f->level_ofs[k], f->level_w[k], f->level_h[k]),
                laid_out ? std::tuple(c.offsets[k], w, h) : std::tuple(0u, 0, 0)) << c.w << "x" << c.h << " level " << k;
    }
    r64_close_file(f);
  }
}

// (Headers of files "-pr" creates are compared byte for byte with the tool's runs.)
TEST_F(R64FileTest, CreatesOnlySidesTheHeaderCanStore) {
  for (auto [w, h] : {std::pair{32768, 10}, std::pair{10, 40000}, std::pair{-5, 10}}) {
    EXPECT_EQ(create('P', w, h), nullptr);
    EXPECT_EQ(std::pair(r64_error, size()), std::pair(kR64NotR64, 0l));
  }
  R64_FILE* f = create('P', 32767, 3);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(bytes(), std::string("R64P\x7F\xFF\x00\x03", 8));
  EXPECT_EQ(r64_close_file(f), 0);
}

// An empty file opened for writing gets the header of the (zero) sizes given, then is refused.
TEST_F(R64FileTest, RefusesFilesThatAreNotR64) {
  struct Case { std::string content; int ctl, code; std::string after; };
  const Case cases[] = {
      {"", O_RDONLY, kR64Short, ""},
      {"R64P\x01", O_RDWR, kR64Short, "R64P\x01"},
      {"", O_RDWR, kR64NotR64, std::string("R64P\0\0\0\0", 8)},
      {std::string("R65P\x00\x10\x00\x10", 8), O_RDWR, kR64NotR64, std::string("R65P\x00\x10\x00\x10", 8)},
      {std::string("R64Q\x00\x10\x00\x10", 8), O_RDONLY, kR64NotR64, std::string("R64Q\x00\x10\x00\x10", 8)},
      {std::string("R64P\x00\x00\x00\x10", 8), O_RDONLY, kR64NotR64, std::string("R64P\x00\x00\x00\x10", 8)},
  };
  for (const Case& c : cases) {
    write_file(path_, c.content);
    EXPECT_EQ(reopen(c.ctl), nullptr) << c.content.size() << " " << c.ctl;
    EXPECT_EQ(std::pair(r64_error, bytes()), std::pair(c.code, c.after));
  }
  EXPECT_EQ(r64_open_file(nullptr, O_RDWR, 0644, 'P', 0, 0), nullptr);
  EXPECT_EQ(r64_error, kR64System);
}

// A level is there once the file reaches the end of its tiles (for a 'P' level, see the tile
// cache's flush). A bit level reserves a byte a pixel but its tiles fill only ceil(w / 8) bytes a
// row: it is there once those are, and a level cut short is not there.
TEST_F(R64FileTest, LevelIsPresentOnceItsTilesAreWritten) {
  R64_FILE* f = create('B', 64, 64);
  ASSERT_NE(f, nullptr);
  r64_error = kR64Short;
  EXPECT_EQ(std::pair(r64_check_level(f, -1), r64_check_level(f, 32)), std::pair(0, 0));
  EXPECT_EQ(r64_error, kR64Short);  // untouched
  const unsigned char on[3] = {1};
  ASSERT_EQ(r64_set(f, 63, 62, 0, on), 0);
  ASSERT_EQ(r64_flush(f), 0);
  EXPECT_EQ(size(), 8 + 8 * 64);
  EXPECT_EQ(std::pair(r64_check_level(f, 0), r64_check_level(f, 1)), std::pair(1, 0));
  ASSERT_EQ(r64_set(f, 0, 0, 1, on), 0);
  ASSERT_EQ(r64_flush(f), 0);
  EXPECT_EQ(size(), 8 + 64 * 64 + 4 * 32) << "level 1 starts where level 0's reserved bytes end";
  EXPECT_EQ(r64_check_level(f, 1), 1);
  ASSERT_EQ(r64_set(f, 0, 31, 1, on), 0);
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
