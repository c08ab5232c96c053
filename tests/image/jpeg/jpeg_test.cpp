// The in-memory JPEG codec held against plain libjpeg: compressed streams byte for byte, decoded
// pixels, output buffer growth, cut, grey, CMYK and undecodable streams, and refused calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include <jpeglib.h>

#include "jpeg.hpp"
#include "malloc_ptr.hpp"
#include "r64_types.hpp"
#include "support/image_files.hpp"

namespace {

using Bytes = std::vector<unsigned char>;
using Size = std::pair<int, int>;

Bytes noise(std::size_t count) {
  std::mt19937 generator(7);
  Bytes samples(count);
  for (auto& sample : samples) sample = static_cast<unsigned char>(generator() >> 24);
  return samples;
}

// Compresses pixels of `components` samples in `space` with plain libjpeg, set up as the codec
// sets it: defaults, then the quality with force-baseline.
Bytes library_compress(const Bytes& samples, int width, int height, int quality = kJpegQuality, int components = 3,
                       J_COLOR_SPACE space = JCS_RGB) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  jpeg_mem_dest(&cinfo, &out, &out_size);
  std::tie(cinfo.image_width, cinfo.image_height, cinfo.input_components, cinfo.in_color_space) =
      std::tuple(JDIMENSION(width), JDIMENSION(height), components, space);
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  for (JSAMPROW row; cinfo.next_scanline < cinfo.image_height; jpeg_write_scanlines(&cinfo, &row, 1))
    row = const_cast<JSAMPROW>(&samples[std::size_t(cinfo.next_scanline) * width * components]);
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  const Bytes stream(out, out + out_size);
  std::free(out);
  return stream;
}

// Decodes a whole stream with plain libjpeg and its own memory source into the given colour space.
Bytes library_decompress(const Bytes& stream, J_COLOR_SPACE space) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, stream.data(), stream.size());
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = space;
  jpeg_start_decompress(&cinfo);
  const std::size_t stride = std::size_t(cinfo.output_width) * cinfo.output_components;
  Bytes samples(stride * cinfo.output_height);
  for (JSAMPROW row; cinfo.output_scanline < cinfo.output_height; jpeg_read_scanlines(&cinfo, &row, 1))
    row = &samples[cinfo.output_scanline * stride];
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return samples;
}

Bytes compress(const Bytes& pixels, int width, int height, int quality) {
  int length = -1;
  MallocPtr<unsigned char> stream(jpeg_compress(&length, pixels.data(), width, height, quality));
  return stream ? Bytes(stream.get(), stream.get() + length) : Bytes{};
}

struct Decoded { Size size{-1, -1}; Bytes pixels; };  // pixels empty when the codec gave null

Decoded uncompress(const Bytes& stream) {
  Decoded d;
  MallocPtr<unsigned char> pixels(jpeg_uncompress(&d.size.first, &d.size.second, stream.data(), int(stream.size())));
  if (pixels) d.pixels.assign(pixels.get(), pixels.get() + std::size_t(d.size.first) * d.size.second * 4);
  return d;
}

// libjpeg skips the fourth byte itself: the stream is the plain 3-byte RGB one to the last byte,
// and it decodes to plain libjpeg's pixels with fourth bytes 0. Noise at quality 100 on a small
// image needs more bytes than the 4-byte image: the output block grows and keeps every byte.
TEST(JpegCompress, StreamAndDecodingMatchPlainLibjpeg) {
  for (auto [width, height, quality] : {std::tuple{17, 33, 80}, {256, 44, 80}, {1, 1, 100}, {16, 16, 100}}) {
    SCOPED_TRACE(testing::Message() << width << "x" << height << " q" << quality);
    const Bytes pixels = noise(std::size_t(width) * height * 4);
    Bytes rgb;
    for (std::size_t i = 0; i < pixels.size(); i += 4) rgb.insert(rgb.end(), &pixels[i], &pixels[i] + 3);
    const Bytes stream = compress(pixels, width, height, quality);
    EXPECT_EQ(stream, library_compress(rgb, width, height, quality));
    EXPECT_GT(stream.size(), quality == 100 ? pixels.size() : 0);
    Bytes expected = library_decompress(stream, JCS_EXT_RGBX);
    for (std::size_t i = 3; i < expected.size(); i += 4) expected[i] = 0;
    const Decoded decoded = uncompress(stream);
    EXPECT_EQ(decoded.size, Size(width, height));
    EXPECT_EQ(decoded.pixels, expected);
  }
}

// Bad sizes, missing buffers, and an image too wide for libjpeg (it gives up inside, as on running
// out of memory): null and length 0, and the process goes on without leaking the output block.
TEST(JpegCompress, BadSizeOrLibraryErrorGivesNull) {
  const Bytes pixels(70000 * 4);
  const std::tuple<const unsigned char*, int, int> kCases[] = {
      {pixels.data(), 0, 16}, {pixels.data(), 16, -1}, {nullptr, 16, 16}, {pixels.data(), 70000, 1}};
  for (const auto& [data, width, height] : kCases) {
    int length = -1;
    EXPECT_EQ(jpeg_compress(&length, data, width, height, kJpegQuality), nullptr) << width << "x" << height;
    EXPECT_EQ(length, 0);
  }
  EXPECT_EQ(jpeg_compress(nullptr, pixels.data(), 16, 16, kJpegQuality), nullptr);
}

// Stored without the D9 of its end marker, a stream decodes as the whole one. Cut inside its scan
// data or before it, with a frame larger than the largest rectangle (here a real frame patched to
// claim 12000 x 12000 pixels), or not a stream at all, it is refused quietly, without decoding what
// it claims.
TEST(JpegUncompress, DamagedOversizedOrUndecodableStreamGivesNull) {
  const Bytes stream = library_compress(noise(64 * 64 * 3), 64, 64);
  const Decoded whole = uncompress(stream);
  ASSERT_EQ(whole.size, Size(64, 64));
  EXPECT_EQ(uncompress(Bytes(stream.begin(), stream.end() - 1)).pixels, whole.pixels);
  const Bytes frame = {0xFF, 0xC0}, start_of_scan = {0xFF, 0xDA};
  Bytes huge = stream;
  std::copy_n(Bytes{0x2E, 0xE0, 0x2E, 0xE0}.begin(), 4, std::search(huge.begin(), huge.end(), frame.begin(), frame.end()) + 5);
  const std::pair<const char*, Bytes> kCases[] = {
      {"cut in the scan", Bytes(stream.begin(), stream.begin() + stream.size() * 3 / 4)},
      {"cut before the scan", Bytes(stream.begin(), std::search(stream.begin(), stream.end(), start_of_scan.begin(), start_of_scan.end()))},
      {"12000 x 12000", huge},
      {"257 wide", library_compress(noise(257 * 8 * 3), 257, 8)},
      {"empty", {}},
      {"start marker only", {0xFF, 0xD8}},
      {"not a jpeg", {'P', '6', '\n', '3', '2', ' ', '3', '2', '\n', '2', '5', '5', '\n'}},
      {"segment of 1000 bytes in 8", {0xFF, 0xD8, 0xFF, 0xE1, 0x03, 0xE8, 1, 2, 3, 4, 5, 6, 7, 8}},
  };
  testing::internal::CaptureStderr();
  for (const auto& [name, bytes] : kCases) EXPECT_TRUE(uncompress(bytes).pixels.empty()) << name;
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  int width, height;
  EXPECT_EQ(jpeg_uncompress(&width, &height, stream.data(), -5), nullptr);
  Bytes into(64 * 64 * 4);
  EXPECT_TRUE(jpeg_uncompress_into(stream.data(), int(stream.size()), 64, 64, into.data()));
  EXPECT_FALSE(jpeg_uncompress_into(stream.data(), int(stream.size()), 64, 63, into.data())) << "another size";
}

// Blocks come from files as the images do: 100 scans a component decode, one more is refused
// before it is decoded (a flood of scans would take a pass over the block each).
TEST(JpegUncompress, StreamOfMoreThanOneHundredScansAComponentIsRefused) {
  for (const auto& [repeats, decodes] : {std::pair(99, true), std::pair(100, false)}) {
    const std::string stream = test_support::jpeg_with_repeated_scans(64, 64, 3, repeats);  // 1 + 3 x repeats scans
    Bytes into(64 * 64 * 4);
    EXPECT_EQ(jpeg_uncompress_into(reinterpret_cast<const unsigned char*>(stream.data()), int(stream.size()), 64, 64,
                                   into.data()),
              decodes)
        << repeats;
  }
}

// Each colour is scaled by black, as libjpeg hands the samples back: red = C x K / 255 truncated.
TEST(JpegUncompress, CmykStreamDecodesThroughTheBlackChannel) {
  const Bytes stream = library_compress(noise(19 * 11 * 4), 19, 11, kJpegQuality, 4, JCS_CMYK);
  Bytes expected = library_decompress(stream, JCS_CMYK);
  for (std::size_t i = 0; i < expected.size(); i += 4) {
    for (int c = 0; c < 3; ++c) expected[i + c] = static_cast<unsigned char>(expected[i + c] * expected[i + 3] / 255);
    expected[i + 3] = 0;
  }
  const Decoded decoded = uncompress(stream);
  EXPECT_EQ(decoded.size, Size(19, 11));
  EXPECT_EQ(decoded.pixels, expected);
}

// Grey is offered as 8 bits a pixel with the palette (i, i, i, 0), and jpeg_uncompress refuses it.
// Null callbacks are refused before the stream is read; a read callback that returns null stops
// the decoding, and an image not decoded whole fails the load.
TEST(LoadJPGFromMemory, OffersGreyWithAPaletteAndFailsWithoutCallbacksOrRows) {
  const Bytes grey = library_compress(noise(20 * 12), 20, 12, kJpegQuality, 1, JCS_GRAYSCALE);
  using Offer = std::pair<LoadJPGInfo, Bytes>;  // what the header callback saw, and its palette's bytes
  auto record = [](LoadJPGInfo* info, void* data) {
    const auto* palette = reinterpret_cast<const unsigned char*>(info->palette);
    *static_cast<Offer*>(data) = {*info, Bytes(palette, palette + info->num_palette * sizeof(RGB4))};
    return 0;
  };
  auto no_row = [](int, void*) -> void* { ADD_FAILURE() << "row read after a refusal"; return nullptr; };
  Offer offer{};
  EXPECT_EQ(LoadJPGFromMemory(grey.data(), int(grey.size()), record, no_row, &offer), 0);
  EXPECT_EQ(std::tuple(offer.first.width, offer.first.height, offer.first.bpp), std::tuple(20, 12, 8));
  for (int i = 0; i < 256 * 4; ++i) ASSERT_EQ(offer.second.at(i), i % 4 == 3 ? 0 : i / 4) << i;
  EXPECT_TRUE(uncompress(grey).pixels.empty());

  const Bytes stream = library_compress(noise(16 * 32 * 3), 16, 32);
  CallbackInfo info{};
  EXPECT_EQ(LoadJPGFromMemory(stream.data(), int(stream.size()), nullptr, ReadCallback, &info), 0);
  EXPECT_EQ(LoadJPGFromMemory(stream.data(), int(stream.size()), HeaderCallback, nullptr, &info), 0);
  EXPECT_EQ(info.dib, nullptr);
  auto stop_at_row_5 = [](int line, void* data) { return line == 5 ? nullptr : ReadCallback(line, data); };
  EXPECT_EQ(LoadJPGFromMemory(stream.data(), int(stream.size()), HeaderCallback, stop_at_row_5, &info), 0);
  std::free(info.dib);
}

}  // namespace
