// The JPEG row source: what it reports after opening, and strictness: corrupt data that
// libjpeg-turbo would patch up with a warning fails the read instead of giving wrong pixels.
#include <gtest/gtest.h>

#include <string>

#include "support/image_files.hpp"
#include "support/support.hpp"

using namespace test_support;

namespace {

TEST(JpegSource, ReportsComponentsAndPrecisionAndDecodesAsTheLibraryDoes) {
  for (int channels : {1, 3}) {
    std::string stream = jpeg_bytes(Samples::textured(33, 17, channels, 8), 75);
    write_file(scratch_path("a.jpg"), stream);
    Decoded d = read_source(scratch_path("a.jpg"));
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(std::tuple(d.format, d.channels, d.bits), std::tuple(std::string("jpeg"), channels, 8));
    EXPECT_EQ(d.rgb.v, decode_jpeg(stream).v);
  }
}

// Bytes of the entropy-coded data overwritten with a marker the decoder must stop at.
TEST(JpegSource, CorruptScanDataFailsTheReadWithTheLibrarysWords) {
  std::string stream = jpeg_bytes(Samples::textured(64, 64, 3, 8), 90);
  size_t scan = stream.find("\xFF\xDA");
  ASSERT_NE(scan, std::string::npos);
  stream[scan + 40] = '\xFF';  // a restart marker where none belongs
  stream[scan + 41] = '\xD0';
  write_file(scratch_path("bad.jpg"), stream);
  Decoded d = read_source(scratch_path("bad.jpg"));
  EXPECT_FALSE(d.ok);
  EXPECT_TRUE(d.error.starts_with("the JPEG data are damaged: Corrupt JPEG data")) << d.error;
}

// 100 scans a component are decoded as the library decodes them; a stream of more stops at the
// first scan beyond them, before it is decoded.
TEST(JpegSource, ScansBeyondOneHundredAComponentAreRefused) {
  const struct { int channels, repeats; const char* error; } cases[] = {
      {1, 99, ""},
      {1, 100, "the JPEG image comes in more than 100 scans (at most 100 a component)"},
      {3, 99, ""},
      {3, 100, "the JPEG image comes in more than 300 scans (at most 100 a component)"},
  };
  for (const auto& c : cases) {
    const std::string stream = jpeg_with_repeated_scans(40, 24, c.channels, c.repeats);  // 1 + channels x repeats scans
    write_file(scratch_path("scans.jpg"), stream);
    Decoded d = read_source(scratch_path("scans.jpg"));
    EXPECT_EQ(d.error, c.error) << c.channels << " x " << c.repeats;
    if (d.ok) {
      EXPECT_EQ(d.rgb.v, decode_jpeg(stream).v);
    }
  }
}

}  // namespace
