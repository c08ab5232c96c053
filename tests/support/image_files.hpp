// Test images in the formats "-ir" reads, made with the libraries themselves (libspng, libtiff,
// libjpeg) so that the tests need nothing else, and the reference decoding of JPEG streams.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

// The samples of an image: `channels` a pixel, rows top to bottom, each of 8 or 16 bits.
struct Samples {
  int w = 0, h = 0, channels = 3, bits = 8;
  std::vector<uint16_t> v;
  // Values that change from pixel to pixel and channel to channel over the whole range of `bits`,
  // with every alpha (the last channel of 2 or 4) taking 0, the maximum and values between.
  static Samples textured(int w, int h, int channels, int bits, uint32_t seed = 1);
  // 8-bit RGB of one colour.
  static Samples of_colour(int w, int h, uint8_t r, uint8_t g, uint8_t b);
  uint16_t at(int x, int y, int c) const { return v[(static_cast<size_t>(y) * w + x) * channels + c]; }
  unsigned max() const { return bits == 16 ? 65535u : 255u; }
};

// The bytes of a P5 (1 channel) or P6 (3 channels) image of these samples, maximum 255 or 65535.
std::string ppm_of(const Samples& s);

struct PngOptions {
  std::vector<std::array<uint8_t, 3>> palette{};  // the samples are indexes into it
  std::vector<uint8_t> palette_alpha{};           // tRNS of a palette image
  int grey_key = -1;                            // tRNS of a grey image: the sample that is transparent
};
std::string png_bytes(const Samples& s, const PngOptions& options = {});

// A PNG made of raw chunks: the signature, IHDR with these fields, IDAT with `image` (filtered
// rows, stored in a zlib stream without compression) and IEND, every CRC right.
std::string raw_png(uint32_t w, uint32_t h, uint8_t depth, uint8_t colour_type, uint8_t interlace,
                    const std::string& image);
// The filtered rows (filter 0) of an 8-bit RGB image interlaced with Adam7.
std::string adam7_rows(const Samples& rgb);

struct TiffOptions {
  bool tiled = false;
  int tile = 32;
  bool bigtiff = false;
  uint16_t compression = 1;      // COMPRESSION_NONE
  int photometric = -1;          // -1: palette, grey or RGB as the samples say
  uint16_t extra_sample = 2;     // EXTRASAMPLE_UNASSALPHA for a last channel beyond the colours
  bool planes = false;           // PLANARCONFIG_SEPARATE
  std::vector<uint16_t> colormap{};  // red, green, blue entries one after another, for palettes
  int rows_per_strip = 8;
};
void write_tiff(const std::string& path, const Samples& s, const TiffOptions& options = {});

// A JPEG stream of 8-bit samples (1 grey, 3 RGB, 4 CMYK channels).
std::string jpeg_bytes(const Samples& s, int quality, bool progressive = false);
// The RGB pixels libjpeg decodes from a stream with its default settings, grey made three equal
// samples; 3 channels of 8 bits.
Samples decode_jpeg(const std::string& stream);

// What row_source_open and read_rows make of a file: the header fields and every row, or the
// reason of the failure.
struct Decoded {
  bool ok = false;
  std::string error;
  std::string format;
  int channels = 0, bits = 0;
  Samples rgb;  // 3 channels of 8 bits
};
Decoded read_source(const std::string& path);

}  // namespace test_support
