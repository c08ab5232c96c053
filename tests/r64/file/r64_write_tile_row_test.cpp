// Writing a level a row of tiles at a time: the file is the one pixel-by-pixel writes make, and
// rows that do not start a row of tiles are refused before anything is written.
#include "r64_fixture.hpp"

namespace {

using test_support::Image;

// Odd sizes: the last column of tiles is narrow and the last row of tiles short.
TEST_F(R64FileTest, RowsOfTilesWriteTheFilePixelWritesMake) {
  const Image image = test_support::textured(150, 133);
  const std::string by_pixel = test_support::scratch_path("by_pixel.r64");
  test_support::write_r64(by_pixel, 'P', image);

  R64_FILE* f = create('P', image.w, image.h);
  ASSERT_NE(f, nullptr);
  for (int top = 0; top < image.h; top += kTileSide) ASSERT_EQ(r64_write_tile_row(f, 0, top, image.at(0, top)), 0) << top;
  ASSERT_EQ(r64_close_file(f), 0);
  EXPECT_EQ(bytes(), test_support::read_file(by_pixel));
}

TEST_F(R64FileTest, RefusesRowsThatDoNotStartARowOfTiles) {
  const Image image = test_support::textured(100, 100);
  R64_FILE* f = create('P', image.w, image.h);
  ASSERT_NE(f, nullptr);
  for (int top : {1, 63, 65, 128, -64}) {
    EXPECT_EQ(r64_write_tile_row(f, 0, top, image.rgb.data()), -1) << top;
    EXPECT_EQ(r64_error, kR64Position);
  }
  EXPECT_EQ(size(), 8);
  r64_close_file(f);
}

}  // namespace
