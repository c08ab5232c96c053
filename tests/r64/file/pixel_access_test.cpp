// Pixel reads and writes: placement inside tiles, bit packing, the out-of-range modes, and what
// r64_plane refuses.
#include "r64_fixture.hpp"

namespace {

using test_support::Image;

TEST_F(R64FileTest, PlacesPixelsOf65x3AtTheirTileOffsets) {
  R64_FILE* f = create('P', 65, 3);
  ASSERT_NE(f, nullptr);
  for (auto [x, y, px] : {std::tuple{0, 1, "\1\2\3"}, {64, 0, "\4\5\6"}, {64, 2, "\7\10\11"}})
    ASSERT_EQ(r64_set(f, x, y, 0, reinterpret_cast<const unsigned char*>(px)), 0);
  ASSERT_EQ(r64_close_file(f), 0);
  const std::string file = bytes();
  ASSERT_EQ(file.size(), 593u);
  EXPECT_EQ(file.substr(200, 3) + file.substr(584, 3) + file.substr(590, 3), "\1\2\3\4\5\6\7\10\11");
}

// By default the nearest edge pixel; in mode 0 the background, zero until set ('G' takes its first
// byte); modes r64_ctl refuses leave the mode alone; a mode of no meaning fails reads outside only.
TEST_F(R64FileTest, AnswersPositionsOutsideTheLevelByMode) {
  test_support::write_r64(path_, 'G', Image::of(100, 100, [](int x, int y, uint8_t* px) { px[0] = (x + 2 * y) % 251; }));
  R64_FILE* f = reopen(O_RDWR);
  ASSERT_NE(f, nullptr);
  auto red = [f](int x, int y) {
    unsigned char px[3] = {1, 1, 1};
    return std::pair{r64_red(px, f, x, y, 0), int{px[0]}};
  };
  struct Case { int x, y, nearest_x, nearest_y; };
  for (Case c : {Case{-5, 10, 0, 10}, Case{150, -3, 99, 0}, Case{-1, -1, 0, 0}, Case{100, 100, 99, 99}})
    EXPECT_EQ(red(c.x, c.y), std::pair(0, (c.nearest_x + 2 * c.nearest_y) % 251)) << c.x << "," << c.y;
  EXPECT_EQ((std::pair{r64_ctl(f, 0, 2), r64_error}), std::pair(-1, kR64BadMode));
  EXPECT_EQ(red(100, 0), std::pair(0, 99));
  EXPECT_EQ(r64_ctl(f, 7), 0);
  ASSERT_EQ(r64_ctl(f, 0, 0), 0);
  EXPECT_EQ(red(-1, 50), std::pair(0, 0));
  const char grey[3] = {9, 8, 7};
  ASSERT_EQ(r64_ctl(f, 1, grey), 0);
  EXPECT_EQ(red(-1, 50), std::pair(0, 9));
  f->rc_type = 7;
  EXPECT_EQ(red(100, 0), std::pair(-1, 1));
  EXPECT_EQ(r64_error, kR64OutOfRange);
  EXPECT_EQ(red(99, 0), std::pair(0, 99 % 251));
  r64_close_file(f);
}

// The 36-pixel-wide second tile of a 100 x 10 level stores rows of 5 bytes, after the first
// tile's 10 rows of 8.
TEST_F(R64FileTest, PacksBitPixelsMostSignificantFirst) {
  R64_FILE* f = create('B', 100, 10);
  ASSERT_NE(f, nullptr);
  const unsigned char one[3] = {1}, zero[3] = {0};
  for (auto [x, y, px] : {std::tuple{70, 0, one}, {69, 0, one}, {69, 0, zero}, {64, 1, one}}) ASSERT_EQ(r64_set(f, x, y, 0, px), 0);
  unsigned char got[3];
  ASSERT_EQ(r64_red(got, f, 70, 0, 0), 0);
  EXPECT_EQ(got[0], 255);
  ASSERT_EQ(r64_red(got, f, 69, 0, 0), 0);
  EXPECT_EQ(got[0], 0);
  ASSERT_EQ(r64_close_file(f), 0);
  const std::string file = bytes();
  ASSERT_EQ(file.size(), 8u + 8 * 10 + 5 * 10);
  EXPECT_EQ(file.substr(88, 6), std::string("\x02\0\0\0\0\x80", 6));
}

TEST_F(R64FileTest, RefusesPositionsAndLevelsOutsideTheFile) {
  const unsigned char px[3] = {1, 2, 3};
  R64_FILE* narrow = create('P', 2, 100);  // lays out no level at all
  ASSERT_NE(narrow, nullptr);
  EXPECT_EQ((std::pair{r64_set(narrow, 0, 0, 0, px), r64_error}), std::pair(-1, kR64NoLevel));
  r64_close_file(narrow);
  R64_FILE* f = create('P', 1000, 800);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ((std::pair{r64_set(f, 1000, 0, 0, px), r64_error}), std::pair(-1, kR64Position));
  for (int level : {9, 32, -1}) {
    unsigned char got[3];
    EXPECT_EQ((std::pair{r64_set(f, 0, 0, level, px), r64_error}), std::pair(-1, kR64NoLevel));
    EXPECT_EQ((std::pair{r64_red(got, f, 0, 0, level), r64_error}), std::pair(-1, kR64NoLevel));
  }
  r64_close_file(f);
  EXPECT_EQ(size(), 8);
}

// (The tile buffers it hands out are what "-pr" writes level 0 through.)
TEST_F(R64FileTest, PlaneRefusesLevelsOutsideTheFileAndGivesNoTileOutsideTheLevel) {
  R64_FILE* f = create('P', 1000, 800);
  ASSERT_NE(f, nullptr);
  unsigned char* data = reinterpret_cast<unsigned char*>(1);
  int w = 0, h = 0, bytes = 0;
  ASSERT_EQ(r64_plane(&data, &w, &h, &bytes, f, 1000, 0, 0), 0);
  EXPECT_EQ(data, nullptr);
  testing::internal::CaptureStdout();
  EXPECT_EQ(r64_plane(&data, &w, &h, &bytes, f, 0, 0, -1), -1);
  EXPECT_EQ(r64_plane(&data, &w, &h, &bytes, f, 0, 0, 9), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "b\nc\n");
  EXPECT_EQ(r64_error, kR64NoLevel);
  r64_close_file(f);
}

}  // namespace
