// Compression of 4-byte pixel rectangles into JPEG streams held in memory: stream bytes, exact
// lengths, output buffer growth and refused sizes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "malloc_ptr.hpp"
#include "image/jpeg/jmemorydatadst.hpp"
#include "image/jpeg/library_streams.hpp"
#include "jpeg.hpp"
#include "r64_types.hpp"

namespace {

using jpeg_test::Bytes;

using Owned = std::unique_ptr<unsigned char, FreeDeleter>;

struct Stream {
  Owned data;
  int length = 0;
  Bytes bytes() const { return Bytes(data.get(), data.get() + length); }
};

Stream compress(const Bytes& pixels, int width, int height, int quality) {
  Stream stream;
  stream.length = -1;
  stream.data.reset(jpeg_compress(&stream.length, pixels.data(), width, height, quality));
  return stream;
}

void expect_complete_stream(const Stream& stream) {
  ASSERT_NE(stream.data, nullptr);
  ASSERT_GE(stream.length, 4);
  const unsigned char* s = stream.data.get();
  EXPECT_EQ(s[0], 0xFF);
  EXPECT_EQ(s[1], 0xD8);
  EXPECT_EQ(s[stream.length - 2], 0xFF);
  EXPECT_EQ(s[stream.length - 1], 0xD9);
}

TEST(JpegCompress, OneColourRectangleRoundTripsWithinJpegError) {
  constexpr unsigned char kColour[3] = {200, 100, 50};
  Bytes pixels(16 * 16 * 4);
  for (std::size_t i = 0; i < pixels.size(); i += 4) {
    pixels[i] = kColour[0];
    pixels[i + 1] = kColour[1];
    pixels[i + 2] = kColour[2];
    pixels[i + 3] = 0xA5;
  }
  const Stream stream = compress(pixels, 16, 16, kJpegQuality);
  expect_complete_stream(stream);

  int width = -1;
  int height = -1;
  Owned image(jpeg_uncompress(&width, &height, stream.data.get(), stream.length));
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(width, 16);
  ASSERT_EQ(height, 16);
  for (int i = 0; i < 16 * 16; ++i) {
    const unsigned char* pixel = image.get() + i * 4;
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(pixel[c], kColour[c], 4) << "pixel " << i << " channel " << c;
    EXPECT_EQ(pixel[3], 0) << "pixel " << i;
  }
}

// The fourth byte (random in these images) is skipped by the library itself; the stream must be
// exactly what plain 3-byte RGB rows give, with the exact length of the finished stream.
TEST(JpegCompress, StreamIsIdenticalToPlainRgbCompression) {
  struct Case {
    int width, height, quality;
  };
  constexpr Case kCases[] = {{16, 16, 80}, {17, 33, 80}, {256, 44, 80}, {64, 64, 100},
                             {33, 17, 10}, {1, 1, 80},   {300, 7, 50}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " q" << c.quality);
    const Bytes pixels = jpeg_test::photo(c.width, c.height);
    const Stream stream = compress(pixels, c.width, c.height, c.quality);
    expect_complete_stream(stream);
    const Bytes plain = jpeg_test::library_compress(jpeg_test::rgb_of(pixels).data(), c.width, c.height, c.quality);
    EXPECT_EQ(stream.bytes(), plain);
  }
}

// Noise at quality 100 on a small image needs more bytes than the uncompressed 32-bit image: the
// output buffer grows and keeps every byte.
TEST(JpegCompress, StreamLargerThanTheImageIsKeptWhole) {
  constexpr int kSides[] = {1, 8, 16};
  for (int side : kSides) {
    SCOPED_TRACE(side);
    const Bytes pixels = jpeg_test::noise(std::size_t(side) * side * 4, 11);
    const Stream stream = compress(pixels, side, side, 100);
    expect_complete_stream(stream);
    EXPECT_GT(stream.length, side * side * 4);
    const Bytes plain = jpeg_test::library_compress(jpeg_test::rgb_of(pixels).data(), side, side, 100);
    EXPECT_EQ(stream.bytes(), plain);
  }
}

TEST(JpegCompress, EmptyOrMissingImageGivesNull) {
  const Bytes pixels(16 * 16 * 4);
  struct Case {
    int width, height;
  };
  constexpr Case kCases[] = {{0, 16}, {16, 0}, {-16, 16}, {16, -1}, {0, 0}};
  for (const Case& c : kCases) {
    int length = -1;
    EXPECT_EQ(jpeg_compress(&length, pixels.data(), c.width, c.height, kJpegQuality), nullptr)
        << c.width << "x" << c.height;
    EXPECT_EQ(length, 0);
  }
  int length = -1;
  EXPECT_EQ(jpeg_compress(&length, nullptr, 16, 16, kJpegQuality), nullptr);
  EXPECT_EQ(jpeg_compress(nullptr, pixels.data(), 16, 16, kJpegQuality), nullptr);
}

// Image too large for the library: it gives up inside, and the call fails without ending the
// process or leaking the output block.
TEST(JpegCompress, LibraryErrorGivesNull) {
  const Bytes pixels(16 * 4);
  int length = -1;
  EXPECT_EQ(jpeg_compress(&length, pixels.data(), 70000, 1, kJpegQuality), nullptr);
  EXPECT_EQ(length, 0);
}

// A compression object used twice keeps one manager and hands each stream its own block.
TEST(JpegMemoryDest, ReusedObjectGivesEachStreamItsOwnBlock) {
  const Bytes pixels = jpeg_test::photo(24, 24);
  jpeg_compress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  Bytes streams[2];
  for (Bytes& stream : streams) {
    unsigned char* block = nullptr;
    jpeg_memory_dest(&cinfo, &block, nullptr);
    cinfo.image_width = 24;
    cinfo.image_height = 24;
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_EXT_RGBX;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, kJpegQuality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
      JSAMPROW row = const_cast<JSAMPROW>(pixels.data() + cinfo.next_scanline * 24 * 4);
      jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    ASSERT_NE(block, nullptr);
    stream.assign(block, block + get_jpeg_compressed_size(&cinfo));
    std::free(block);
  }
  jpeg_destroy_compress(&cinfo);
  EXPECT_EQ(streams[0], streams[1]);
  EXPECT_EQ(streams[0], jpeg_test::library_compress(jpeg_test::rgb_of(pixels).data(), 24, 24, kJpegQuality));
}

}  // namespace
