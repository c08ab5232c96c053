// Decoding of JPEG streams held in memory into 4-byte pixels, through jpeg_uncompress and the
// callback loader: colour, grey and CMYK streams, cut streams, and input that is not decodable.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "malloc_ptr.hpp"
#include "image/jpeg/library_streams.hpp"
#include "jpeg.hpp"
#include "r64_types.hpp"

namespace {

using jpeg_test::Bytes;
using jpeg_test::LibraryEncoding;
using jpeg_test::Sampling;


struct Decoded {
  std::unique_ptr<unsigned char, FreeDeleter> pixels;
  int width = -1;
  int height = -1;
  Bytes bytes() const { return Bytes(pixels.get(), pixels.get() + std::size_t(width) * height * 4); }
};

Decoded uncompress(const unsigned char* stream, int length) {
  Decoded decoded;
  decoded.pixels.reset(jpeg_uncompress(&decoded.width, &decoded.height, stream, length));
  return decoded;
}
Decoded uncompress(const Bytes& stream) { return uncompress(stream.data(), static_cast<int>(stream.size())); }

Bytes compress(const Bytes& pixels, int width, int height) {
  int length = 0;
  std::unique_ptr<unsigned char, FreeDeleter> stream(jpeg_compress(&length, pixels.data(), width, height, kJpegQuality));
  if (!stream) return {};
  return Bytes(stream.get(), stream.get() + length);
}

// The 4-byte image a plain 3-sample library decoding stands for, fourth bytes 0.
Bytes widened(const jpeg_test::LibraryImage& image) {
  Bytes pixels;
  pixels.reserve(image.samples.size() / 3 * 4);
  for (std::size_t i = 0; i < image.samples.size(); i += 3) {
    pixels.insert(pixels.end(), &image.samples[i], &image.samples[i] + 3);
    pixels.push_back(0);
  }
  return pixels;
}

void expect_fourth_bytes_zero(const Decoded& decoded) {
  const Bytes bytes = decoded.bytes();
  for (std::size_t i = 3; i < bytes.size(); i += 4) ASSERT_EQ(bytes[i], 0) << "pixel " << i / 4;
}

TEST(JpegUncompress, DecodesToThePixelsOfAPlainLibraryDecoding) {
  struct Case {
    int width, height;
    Sampling sampling;
  };
  constexpr Case kCases[] = {{16, 16, Sampling::k420}, {17, 33, Sampling::k420}, {256, 44, Sampling::k420},
                             {31, 9, Sampling::k422},  {23, 18, Sampling::k444}, {1, 1, Sampling::k420}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " sampling " << int(c.sampling));
    const Bytes rgb = jpeg_test::rgb_of(jpeg_test::photo(c.width, c.height));
    LibraryEncoding encoding;
    encoding.sampling = c.sampling;
    const Bytes stream = jpeg_test::library_compress(rgb.data(), c.width, c.height, kJpegQuality, encoding);
    const Decoded decoded = uncompress(stream);
    ASSERT_NE(decoded.pixels, nullptr);
    ASSERT_EQ(decoded.width, c.width);
    ASSERT_EQ(decoded.height, c.height);
    EXPECT_EQ(decoded.bytes(), widened(jpeg_test::library_decompress(stream, JCS_RGB)));
  }
}

// A stream whose stored length drops the 0xD9 of its end marker, or carries one byte past it.
TEST(JpegUncompress, StreamOneByteShortOrLongStillDecodesCompletely) {
  const Bytes stream = compress(jpeg_test::photo(48, 32), 48, 32);
  ASSERT_FALSE(stream.empty());
  const Decoded whole = uncompress(stream);
  ASSERT_NE(whole.pixels, nullptr);

  testing::internal::CaptureStderr();
  const Decoded short_one = uncompress(stream.data(), static_cast<int>(stream.size()) - 1);
  const std::string warnings = testing::internal::GetCapturedStderr();
  ASSERT_NE(short_one.pixels, nullptr);
  EXPECT_EQ(short_one.width, 48);
  EXPECT_EQ(short_one.height, 32);
  EXPECT_EQ(short_one.bytes(), whole.bytes());
  EXPECT_EQ(warnings, "");

  Bytes longer = stream;
  longer.push_back(0);
  const Decoded long_one = uncompress(longer);
  ASSERT_NE(long_one.pixels, nullptr);
  EXPECT_EQ(long_one.bytes(), whole.bytes());
}

TEST(JpegUncompress, StreamCutInsideImageDataDecodesToFullSizeWithAWarning) {
  constexpr int kSide = 64;
  const Bytes stream = compress(jpeg_test::photo(kSide, kSide), kSide, kSide);
  ASSERT_FALSE(stream.empty());
  const Decoded whole = uncompress(stream);
  ASSERT_NE(whole.pixels, nullptr);

  testing::internal::CaptureStderr();
  const Decoded cut = uncompress(stream.data(), static_cast<int>(stream.size() * 3 / 4));
  const std::string warnings = testing::internal::GetCapturedStderr();
  ASSERT_NE(cut.pixels, nullptr);
  EXPECT_EQ(cut.width, kSide);
  EXPECT_EQ(cut.height, kSide);
  EXPECT_NE(warnings.find("Corrupt JPEG data"), std::string::npos) << warnings;
  // The first band of blocks lies well before the cut.
  const std::size_t band = std::size_t(kSide) * 16 * 4;
  const Bytes cut_bytes = cut.bytes();
  const Bytes whole_bytes = whole.bytes();
  EXPECT_TRUE(std::equal(cut_bytes.begin(), cut_bytes.begin() + band, whole_bytes.begin()));
  EXPECT_NE(cut_bytes, whole_bytes);
  expect_fourth_bytes_zero(cut);
}

// Offsets of the first marker of the given kind in a stream made by the library.
std::size_t marker_offset(const Bytes& stream, unsigned char marker) {
  for (std::size_t i = 0; i + 1 < stream.size(); ++i) {
    if (stream[i] == 0xFF && stream[i + 1] == marker) return i;
  }
  return stream.size();
}

TEST(JpegUncompress, UndecodableInputGivesNull) {
  const Bytes stream = compress(jpeg_test::photo(32, 32), 32, 32);
  ASSERT_FALSE(stream.empty());
  const std::size_t start_of_frame = marker_offset(stream, 0xC0);
  const std::size_t start_of_scan = marker_offset(stream, 0xDA);
  ASSERT_LT(start_of_frame, start_of_scan);
  const Bytes text = {'P', '6', '\n', '3', '2', ' ', '3', '2', '\n', '2', '5', '5', '\n'};
  // An application segment that claims 1000 bytes where the stream has ten.
  const Bytes overlong_segment = {0xFF, 0xD8, 0xFF, 0xE1, 0x03, 0xE8, 1, 2, 3, 4, 5, 6, 7, 8};

  struct Case {
    const char* name;
    Bytes bytes;
  };
  const Case kCases[] = {
      {"empty", {}},
      {"start marker only", {0xFF, 0xD8}},
      {"start and end markers", {0xFF, 0xD8, 0xFF, 0xD9}},
      {"not a jpeg", text},
      {"cut before the frame header", Bytes(stream.begin(), stream.begin() + start_of_frame)},
      {"cut before the scan", Bytes(stream.begin(), stream.begin() + start_of_scan)},
      {"cut inside the frame header", Bytes(stream.begin(), stream.begin() + start_of_frame + 5)},
      {"segment running past the end", overlong_segment},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const Decoded decoded = uncompress(c.bytes);
    EXPECT_EQ(decoded.pixels, nullptr);
  }
  EXPECT_EQ(uncompress(nullptr, 0).pixels, nullptr);
  EXPECT_EQ(uncompress(stream.data(), -5).pixels, nullptr);
}

// ---- The callback loader ------------------------------------------------------------------------

// Records what the header callback was offered and hands out rows of a 4-byte-per-pixel image
// (one byte per pixel when grey is accepted), optionally stopping at a given row.
struct Recorder {
  bool accept = true;
  int stop_at_row = -1;
  std::size_t row_gap = 0;  // guard bytes after each row handed out
  int header_calls = 0;
  int read_calls = 0;
  LoadJPGInfo offered{};
  Bytes palette;  // the offered palette as r, g, b, x bytes
  Bytes image;

  static int header(LoadJPGInfo* info, void* data) {
    auto* self = static_cast<Recorder*>(data);
    ++self->header_calls;
    self->offered = *info;
    if (info->palette != nullptr) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(info->palette);
      self->palette.assign(bytes, bytes + info->num_palette * sizeof(RGB4));
    }
    if (!self->accept) return 0;
    self->image.assign(self->row_stride() * info->height, 0xEE);
    return 1;
  }
  static void* read(int line, void* data) {
    auto* self = static_cast<Recorder*>(data);
    ++self->read_calls;
    if (line == self->stop_at_row) return nullptr;
    return self->image.data() + std::size_t(line) * self->row_stride();
  }
  int bytes_per_pixel() const { return offered.bpp == 8 ? 1 : 4; }
  std::size_t row_stride() const { return std::size_t(offered.width) * bytes_per_pixel() + row_gap; }
  int load(const Bytes& stream) {
    return LoadJPGFromMemory(stream.data(), static_cast<int>(stream.size()), header, read, this);
  }
};

Bytes grey_stream(int width, int height) {
  const Bytes grey = jpeg_test::noise(std::size_t(width) * height, 5);
  LibraryEncoding encoding;
  encoding.components = 1;
  encoding.in_space = JCS_GRAYSCALE;
  return jpeg_test::library_compress(grey.data(), width, height, kJpegQuality, encoding);
}

TEST(LoadJPGFromMemory, GreyStreamIsOfferedWithAGreyPalette) {
  const Bytes stream = grey_stream(20, 12);
  Recorder recorder;
  recorder.accept = false;
  EXPECT_EQ(recorder.load(stream), 0);
  EXPECT_EQ(recorder.header_calls, 1);
  EXPECT_EQ(recorder.read_calls, 0);
  EXPECT_EQ(recorder.offered.width, 20);
  EXPECT_EQ(recorder.offered.height, 12);
  EXPECT_EQ(recorder.offered.bpp, 8);
  ASSERT_EQ(recorder.offered.num_palette, 256);
  ASSERT_EQ(recorder.palette.size(), 256u * 4);
  for (int i = 0; i < 256; ++i) {
    const unsigned char* entry = &recorder.palette[std::size_t(i) * 4];
    EXPECT_EQ(entry[0], i);
    EXPECT_EQ(entry[1], i);
    EXPECT_EQ(entry[2], i);
    EXPECT_EQ(entry[3], 0);
  }
}

TEST(LoadJPGFromMemory, AcceptedGreyStreamDecodesOneBytePerPixel) {
  const Bytes stream = grey_stream(21, 13);
  Recorder recorder;
  ASSERT_EQ(recorder.load(stream), 1);
  EXPECT_EQ(recorder.read_calls, 13);
  EXPECT_EQ(recorder.image, jpeg_test::library_decompress(stream, JCS_GRAYSCALE).samples);
}

TEST(JpegUncompress, GreyStreamIsRefused) {
  const Decoded decoded = uncompress(grey_stream(16, 16));
  EXPECT_EQ(decoded.pixels, nullptr);
}

// CMYK streams, stored plainly (Adobe CMYK) or as YCCK: each colour is scaled by the black
// channel, red = C x K / 255 truncated, exactly as the library hands the samples back.
TEST(JpegUncompress, CmykStreamDecodesThroughTheBlackChannel) {
  constexpr int kWidth = 19;
  constexpr int kHeight = 11;
  const Bytes cmyk = jpeg_test::noise(std::size_t(kWidth) * kHeight * 4, 9);
  for (J_COLOR_SPACE stored : {JCS_CMYK, JCS_YCCK}) {
    SCOPED_TRACE(stored == JCS_CMYK ? "CMYK" : "YCCK");
    LibraryEncoding encoding;
    encoding.components = 4;
    encoding.in_space = JCS_CMYK;
    encoding.jpeg_space = stored;
    const Bytes stream = jpeg_test::library_compress(cmyk.data(), kWidth, kHeight, kJpegQuality, encoding);
    const jpeg_test::LibraryImage raw = jpeg_test::library_decompress(stream, JCS_CMYK);
    ASSERT_EQ(raw.components, 4);

    const Decoded decoded = uncompress(stream);
    ASSERT_NE(decoded.pixels, nullptr);
    ASSERT_EQ(decoded.width, kWidth);
    ASSERT_EQ(decoded.height, kHeight);
    Bytes expected(raw.samples.size());
    for (std::size_t i = 0; i < raw.samples.size(); i += 4) {
      const unsigned k = raw.samples[i + 3];
      for (int c = 0; c < 3; ++c) expected[i + c] = static_cast<unsigned char>(raw.samples[i + c] * k / 255);
      expected[i + 3] = 0;
    }
    EXPECT_EQ(decoded.bytes(), expected);
  }
}

TEST(LoadJPGFromMemory, MissingCallbackGivesZero) {
  const Bytes stream = compress(jpeg_test::photo(16, 16), 16, 16);
  Recorder recorder;
  EXPECT_EQ(LoadJPGFromMemory(stream.data(), static_cast<int>(stream.size()), nullptr, Recorder::read, &recorder), 0);
  EXPECT_EQ(LoadJPGFromMemory(stream.data(), static_cast<int>(stream.size()), Recorder::header, nullptr, &recorder),
            0);
  EXPECT_EQ(recorder.header_calls, 0);
  EXPECT_EQ(recorder.read_calls, 0);
}

TEST(LoadJPGFromMemory, RefusedColourStreamReadsNoRow) {
  const Bytes stream = compress(jpeg_test::photo(16, 16), 16, 16);
  Recorder recorder;
  recorder.accept = false;
  EXPECT_EQ(recorder.load(stream), 0);
  EXPECT_EQ(recorder.offered.bpp, 24);
  EXPECT_EQ(recorder.offered.num_palette, 0);
  EXPECT_EQ(recorder.offered.palette, nullptr);
  EXPECT_EQ(recorder.read_calls, 0);
}

// Rows are decoded straight into the caller's memory: nothing may be written past a row's end.
TEST(LoadJPGFromMemory, WritesNothingPastTheRowsHandedOut) {
  struct Case {
    const char* name;
    int width, height;
    bool grey;
  };
  constexpr Case kCases[] = {{"colour", 17, 9, false}, {"colour", 45, 20, false}, {"grey", 13, 7, true}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.name << " " << c.width << "x" << c.height);
    const Bytes stream = c.grey ? grey_stream(c.width, c.height) : compress(jpeg_test::photo(c.width, c.height), c.width, c.height);
    Recorder recorder;
    recorder.row_gap = 32;
    ASSERT_EQ(recorder.load(stream), 1);
    const std::size_t row_bytes = std::size_t(c.width) * recorder.bytes_per_pixel();
    for (int y = 0; y < c.height; ++y) {
      const auto gap = recorder.image.begin() + std::ptrdiff_t(y * recorder.row_stride() + row_bytes);
      EXPECT_TRUE(std::all_of(gap, gap + 32, [](unsigned char b) { return b == 0xEE; })) << "row " << y;
    }
  }
}

// A read callback that returns null stops the decoding: the image is not complete, so the load
// fails; the rows handed out before keep what was decoded into them.
TEST(LoadJPGFromMemory, ReadCallbackStoppingEarlyFailsTheLoad) {
  const Bytes stream = compress(jpeg_test::photo(16, 32), 16, 32);
  const Decoded whole = uncompress(stream);
  ASSERT_NE(whole.pixels, nullptr);
  Recorder recorder;
  recorder.stop_at_row = 5;
  EXPECT_EQ(recorder.load(stream), 0);
  EXPECT_EQ(recorder.read_calls, 6);
  const std::size_t decoded_bytes = 5 * 16 * 4;
  const Bytes expected = whole.bytes();
  EXPECT_TRUE(std::equal(recorder.image.begin(), recorder.image.begin() + decoded_bytes, expected.begin()));
  EXPECT_EQ(recorder.image[decoded_bytes], 0xEE);
}

}  // namespace
