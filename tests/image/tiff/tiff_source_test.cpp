// The TIFF row source: the photometric interpretations and extra samples it turns into RGB
// (MinIsWhite inverted, palettes of 16-bit colours, alpha composited unless premultiplied,
// YCbCr through libjpeg), the layouts it refuses before decoding, and the bound on a row of tiles.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "row_source.hpp"
#include "support/image_files.hpp"
#include "support/support.hpp"

using namespace test_support;

namespace {

Decoded write_and_read(const Samples& s, const TiffOptions& options) {
  write_tiff(scratch_path("in.tif"), s, options);
  return read_source(scratch_path("in.tif"));
}

Samples one_row(int channels, int bits, const std::vector<uint16_t>& values) {
  return Samples{static_cast<int>(values.size()) / channels, 1, channels, bits, values};
}

TEST(TiffSource, MinIsWhiteGreyIsInverted) {
  Decoded d = write_and_read(one_row(1, 8, {0, 55, 255}), {.photometric = PHOTOMETRIC_MINISWHITE});
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(d.rgb.v, (std::vector<uint16_t>{255, 255, 255, 200, 200, 200, 0, 0, 0}));
}

TEST(TiffSource, PaletteEntriesAreSixteenBitColours) {
  std::vector<uint16_t> colormap(3 * 256, 0);
  colormap[1] = 65535, colormap[256 + 1] = 32768, colormap[512 + 1] = 257;  // entry 1
  colormap[2] = 25700;                                                     // entry 2: red 100
  Decoded d = write_and_read(one_row(1, 8, {1, 2, 0}), {.colormap = colormap});
  ASSERT_TRUE(d.ok) << d.error;
  EXPECT_EQ(d.rgb.v, (std::vector<uint16_t>{255, 127, 1, 100, 0, 0, 0, 0, 0}));
}

// Unassociated alpha is composited; premultiplied alpha and unspecified extras are dropped.
TEST(TiffSource, OnlyAnAlphaNotPremultipliedIsComposited) {
  const Samples grey_alpha = one_row(2, 8, {200, 128, 90, 0});
  const struct { uint16_t extra; std::vector<uint16_t> expected; } cases[] = {
      {EXTRASAMPLE_UNASSALPHA, {100, 100, 100, 0, 0, 0}},
      {EXTRASAMPLE_ASSOCALPHA, {200, 200, 200, 90, 90, 90}},
      {EXTRASAMPLE_UNSPECIFIED, {200, 200, 200, 90, 90, 90}},
  };
  for (const auto& c : cases) {
    Decoded d = write_and_read(grey_alpha, {.extra_sample = c.extra});
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.rgb.v, c.expected) << c.extra;
  }
}

// libtiff's JPEG codec gives RGB for YCbCr; the pixels come back close to the originals.
TEST(TiffSource, JpegCompressedYCbCrDecodesToRgb) {
  Samples s = Samples::of_colour(64, 64, 40, 160, 220);  // whole tiles: no padding to bleed in
  write_tiff(scratch_path("in.tif"), s, {.tiled = true, .compression = COMPRESSION_JPEG, .photometric = PHOTOMETRIC_YCBCR});
  Decoded d = read_source(scratch_path("in.tif"));
  ASSERT_TRUE(d.ok) << d.error;
  for (size_t i = 0; i < s.v.size(); ++i) ASSERT_NEAR(d.rgb.v[i], s.v[i], 3) << i;
}

TEST(TiffSource, RefusesWhatItCannotTurnIntoRgbBeforeDecoding) {
  const struct { Samples s; TiffOptions options; const char* reason; } cases[] = {
      {one_row(3, 8, {1, 2, 3}), {.photometric = PHOTOMETRIC_YCBCR}, "TIFF images in YCbCr are only supported when JPEG-compressed"},
      {one_row(1, 8, {1, 2}), {.photometric = PHOTOMETRIC_CIELAB}, "TIFF images of photometric interpretation 8 are not supported"},
      {one_row(1, 8, {1, 2}), {.photometric = PHOTOMETRIC_RGB}, "the TIFF image has 1 samples a pixel, too few for its colours"},
  };
  for (const auto& c : cases) {
    Decoded d = write_and_read(c.s, c.options);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.error, c.reason);
  }
}

// A TIFF of a header alone: the directory with these fields and no image data.
void write_header_only(const std::string& path, uint32_t width, uint16_t bits, uint32_t tile) {
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 600u);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bits);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  if (tile > 0) {
    TIFFSetField(tiff, TIFFTAG_TILEWIDTH, tile);
    TIFFSetField(tiff, TIFFTAG_TILELENGTH, tile);
  }
  TIFFWriteCheck(tiff, tile > 0, "header");
  TIFFWriteDirectory(tiff);
  TIFFClose(tiff);
}

TEST(TiffSource, SamplesOfOtherSizesAreRefused) {
  write_header_only(scratch_path("four.tif"), 8, 4, 0);
  Decoded d = read_source(scratch_path("four.tif"));
  EXPECT_EQ(std::pair(d.ok, d.error), std::pair(false, std::string("TIFF samples of 4 bits are not supported (8 or 16)")));
}

// A row of 512-pixel tiles 32767 pixels wide would take 48 MiB as RGB: refused from the header
// alone, before any tile is read; 256-pixel tiles of the same width are within the bound.
TEST(TiffSource, RowOfTilesBeyondTheBufferLimitIsRefused) {
  for (uint32_t tile : {512u, 256u}) {
    write_header_only(scratch_path("wide.tif"), 32767, 8, tile);
    ROW_SOURCE* source = row_source_open(scratch_path("wide.tif").c_str());
    if (tile == 512) {
      EXPECT_EQ(source, nullptr);
      EXPECT_STREQ(row_source_error(), "a row of its 512 x 512 TIFF tiles needs 48 MiB (at most 32)");
    } else {
      ASSERT_NE(source, nullptr) << row_source_error();
      source->close(source);
    }
  }
}

// The directory is counted before libtiff reads it in either byte order, classic or BigTIFF: the
// tags' values against their bound, the tables of strips or tiles against the geometry.
TEST(TiffSource, DirectoryIsCountedInEitherByteOrderClassicOrBig) {
  const std::vector<uint16_t> five = {65000, 65001, 65002, 65003, 65004}, seven = {65000, 65001, 65002, 65003, 65004, 65005, 65006};
  constexpr uint32_t kMiB = 1 << 20;
  for (bool big_endian : {false, true})
    for (bool bigtiff : {false, true}) {
      const std::string what = std::string(big_endian ? "MM" : "II") + (bigtiff ? " BigTIFF" : "");
      const RawTiffOptions layout{.big_endian = big_endian, .bigtiff = bigtiff};
      const struct { std::string bytes, error; } cases[] = {
          {tiff_with_tags(five, TIFF_UNDEFINED, kMiB, layout), ""},
          {tiff_with_tags(seven, TIFF_UNDEFINED, kMiB, layout), "the TIFF tags hold 7 MiB of values (at most 6)"},
          {tiff_of_tiles(40, 40, 16, 16, layout), ""},
          {tiff_of_tiles(40, 40, 16, 24, layout), "TIFF tiles of 16 x 24 are not supported (their sides must be multiples of 16)"},
          {tiff_of_tiles(40, 40, 16, 16, {big_endian, bigtiff, 8}), "the TIFF table of tile offsets holds 8 entries where the image's geometry makes 9"},
          {tiff_with_tags({}, TIFF_BYTE, 0, {big_endian, bigtiff, 2}), "the TIFF table of strip offsets holds 2 entries where the image's geometry makes 1"},
      };
      for (const auto& c : cases) {
        write_file(scratch_path("in.tif"), c.bytes);
        Decoded d = read_source(scratch_path("in.tif"));
        EXPECT_EQ(std::pair(d.ok, d.error), std::pair(c.error.empty(), c.error)) << what;
      }
    }
}

}  // namespace
