// Pixel reads and writes: placement inside tiles, bit packing, and the out-of-range modes.
#include "r64_fixture.hpp"

namespace {

std::string as_text(const unsigned char* px) { return std::string(reinterpret_cast<const char*>(px), 3); }

TEST_F(R64FileTest, PlacesPixelsOf65x3AtTheirTileOffsets) {
  R64_FILE* f = create('P', 65, 3);
  ASSERT_NE(f, nullptr);
  const unsigned char a[3] = {1, 2, 3}, b[3] = {4, 5, 6}, c[3] = {7, 8, 9};
  ASSERT_EQ(r64_set(f, 0, 1, 0, a), 0);
  ASSERT_EQ(r64_set(f, 64, 0, 0, b), 0);
  ASSERT_EQ(r64_set(f, 64, 2, 0, c), 0);
  ASSERT_EQ(r64_close_file(f), 0);
  std::string file = bytes();
  ASSERT_EQ(file.size(), 593u);
  EXPECT_EQ(file.substr(200, 3), as_text(a));
  EXPECT_EQ(file.substr(584, 3), as_text(b));
  EXPECT_EQ(file.substr(590, 3), as_text(c));
}

TEST_F(R64FileTest, AnswersPositionsOutsideTheLevelByMode) {
  R64_FILE* f = create('G', 100, 100);
  ASSERT_NE(f, nullptr);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 100; ++x) {
      unsigned char v[3] = {static_cast<unsigned char>((x + 2 * y) % 251)};
      ASSERT_EQ(r64_set(f, x, y, 0, v), 0);
    }
  struct Case {
    int x, y, nearest_x, nearest_y;
  };
  for (Case c : {Case{-5, 10, 0, 10}, Case{150, -3, 99, 0}, Case{-1, -1, 0, 0}, Case{100, 100, 99, 99}}) {
    unsigned char got[1];
    ASSERT_EQ(r64_red(got, f, c.x, c.y, 0), 0);
    EXPECT_EQ(got[0], (c.nearest_x + 2 * c.nearest_y) % 251) << c.x << "," << c.y;
  }
  const char grey[3] = {9, 8, 7};
  r64_ctl(f, 1, grey);
  r64_ctl(f, 0, 0);
  unsigned char px[3];
  ASSERT_EQ(r64_red(px, f, -1, 50, 0), 0);
  EXPECT_EQ(px[0], 9);
  f->rc_type = 7;  // no such mode: reads outside fail, reads inside still work
  unsigned char untouched[1] = {1};
  EXPECT_EQ(r64_red(untouched, f, 100, 0, 0), -1);
  EXPECT_EQ(r64_error, kR64OutOfRange);
  EXPECT_EQ(untouched[0], 1);
  EXPECT_EQ(r64_red(px, f, 99, 0, 0), 0);
  r64_close_file(f);
}

TEST_F(R64FileTest, PacksBitPixelsMostSignificantFirst) {
  R64_FILE* f = create('B', 100, 10);
  ASSERT_NE(f, nullptr);
  const unsigned char one[3] = {1}, zero[3] = {0};
  ASSERT_EQ(r64_set(f, 70, 0, 0, one), 0);
  const R64_CACHE_ENT* ce = f->cache[0].next;
  EXPECT_EQ(ce->w_ofs, 64);
  EXPECT_EQ(ce->buf[0], 0x02);
  unsigned char px[3];
  ASSERT_EQ(r64_red(px, f, 70, 0, 0), 0);
  EXPECT_EQ(px[0], 255);
  ASSERT_EQ(r64_red(px, f, 71, 0, 0), 0);
  EXPECT_EQ(px[0], 0);
  ASSERT_EQ(r64_set(f, 70, 0, 0, zero), 0);
  EXPECT_EQ(ce->buf[0], 0x00);
  ASSERT_EQ(r64_set(f, 64, 1, 0, one), 0);  // the 36-pixel-wide tile stores rows of 5 bytes
  EXPECT_EQ(ce->buf[5], 0x80);
  ASSERT_EQ(r64_close_file(f), 0);
  EXPECT_EQ(size(), 8 + 8 * 10 + 5 * 10);
}

TEST_F(R64FileTest, RefusesPositionsAndLevelsOutsideTheFile) {
  const unsigned char px[3] = {1, 2, 3};
  R64_FILE* narrow = create('P', 2, 100);  // lays out no level at all
  ASSERT_NE(narrow, nullptr);
  EXPECT_EQ(r64_set(narrow, 0, 0, 0, px), -1);
  EXPECT_EQ(r64_error, kR64NoLevel);
  r64_close_file(narrow);
  R64_FILE* f = create('P', 1000, 800);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(r64_set(f, 1000, 0, 0, px), -1);
  EXPECT_EQ(r64_error, kR64Position);
  for (int level : {9, 32, -1}) {
    unsigned char got[3];
    EXPECT_EQ(r64_set(f, 0, 0, level, px), -1);
    EXPECT_EQ(r64_error, kR64NoLevel);
    EXPECT_EQ(r64_red(got, f, 0, 0, level), -1);
    EXPECT_EQ(r64_error, kR64NoLevel);
  }
  r64_close_file(f);
  EXPECT_EQ(size(), 8);
}

TEST_F(R64FileTest, PlaneHandsOutTheTileBuffer) {
  R64_FILE* f = create('P', 1000, 800);
  ASSERT_NE(f, nullptr);
  unsigned char* data = nullptr;
  int w = 0, h = 0, bytes = 0;
  ASSERT_EQ(r64_plane(&data, &w, &h, &bytes, f, 999, 799, 0), 0);
  EXPECT_EQ(data, f->cache[0].next->buf);
  EXPECT_EQ(std::tie(w, h, bytes), std::make_tuple(40, 32, 3840));
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
