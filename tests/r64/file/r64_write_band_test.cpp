// Writing level 0 a band of rows at a time: the file is the one pixel-by-pixel writes make, and
// bands that are not whole rows of tiles are refused before anything is written.
#include "r64_fixture.hpp"

#include "r64_band.hpp"

namespace {

using test_support::Image;

// Odd sizes: the last column of tiles is narrow and the last row of tiles short.
TEST_F(R64FileTest, BandsWriteTheFilePixelWritesMake) {
  const Image image = test_support::textured(150, 133);
  const std::string by_pixel = test_support::scratch_path("by_pixel.r64");
  test_support::write_r64(by_pixel, 'P', image);

  R64_FILE* f = create('P', image.w, image.h);
  ASSERT_NE(f, nullptr);
  for (int top = 0; top < image.h; top += kTileSide) {
    int rows = std::min(kTileSide, image.h - top);
    ASSERT_EQ(r64_write_band(f, image.at(0, top), top, rows), 0) << top;
  }
  ASSERT_EQ(r64_close_file(f), 0);
  EXPECT_EQ(bytes(), test_support::read_file(by_pixel));
}

TEST_F(R64FileTest, RefusesBandsThatAreNotWholeRowsOfTiles) {
  const Image image = test_support::textured(100, 100);
  R64_FILE* f = create('P', image.w, image.h);
  ASSERT_NE(f, nullptr);
  const std::pair<int, int> bands[] = {{1, 64}, {0, 63}, {64, 64}, {64, 35}, {128, 1}, {-64, 64}};
  for (auto [top, rows] : bands) {
    EXPECT_EQ(r64_write_band(f, image.rgb.data(), top, rows), -1) << top << " " << rows;
    EXPECT_EQ(r64_error, kR64Position);
  }
  EXPECT_EQ(size(), 8);
  r64_close_file(f);

  R64_FILE* grey = create('G', image.w, image.h);
  ASSERT_NE(grey, nullptr);
  EXPECT_EQ(r64_write_band(grey, image.rgb.data(), 0, 64), -1);
  EXPECT_EQ(r64_error, kR64NotR64);
  r64_close_file(grey);
}

}  // namespace
