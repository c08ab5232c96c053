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
// `ancillary` (whole chunks, see png_chunk) goes between IHDR and IDAT.
std::string raw_png(uint32_t w, uint32_t h, uint8_t depth, uint8_t colour_type, uint8_t interlace,
                    const std::string& image, const std::string& ancillary = "");
// One chunk: its length, type, data and CRC.
std::string png_chunk(const std::string& type, const std::string& data);
// The filtered rows (filter 0) of an 8-bit RGB image interlaced with Adam7.
std::string adam7_rows(const Samples& rgb);
// The filtered rows of a black image of `pixel_bytes` a pixel interlaced with Adam7.
std::string adam7_black_rows(uint32_t w, uint32_t h, int pixel_bytes);

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

// A TIFF written field by field, for directories no encoder writes: blocks of bytes are appended
// where they fall, then the one directory goes last, its entries sorted by tag, in the byte order
// and the variant (classic or BigTIFF) chosen.
class RawTiff {
 public:
  RawTiff(bool big_endian = false, bool bigtiff = false);
  // Appends bytes as they are; their offset.
  uint64_t append(const std::string& bytes);
  // Appends SHORT, LONG or LONG8 values in the file's byte order; their offset.
  uint64_t append_numbers(uint16_t type, const std::vector<uint64_t>& values);
  // An entry whose one value the entry holds itself.
  void value(uint16_t tag, uint16_t type, uint64_t value);
  // An entry of `count` values of `type` found at `offset` (or held by the entry when they fit).
  void values_at(uint16_t tag, uint16_t type, uint64_t count, uint64_t offset);
  std::string finish();

 private:
  struct Entry {
    uint16_t tag, type;
    uint64_t count;
    std::string field;  // the value or offset, as many bytes as an entry holds
  };
  std::string number(uint64_t value, int bytes) const;
  bool big_endian_, bigtiff_;
  std::string bytes_;
  std::vector<Entry> entries_;
};
struct RawTiffOptions {
  bool big_endian = false;
  bool bigtiff = false;
  long table_entries = -1;  // entries of the offset and byte-count tables; -1: as the geometry makes
  uint16_t compression = 1;   // what the directory says (COMPRESSION_NONE); the bytes stay plain
  uint64_t claimed_bytes = 0; // the byte count of every tile; 0: its plain size
};
// The hostile TIFFs "-ir" refuses: a 16 x 16 grey image in one strip whose directory also holds
// each of `tags`, `count` values of `type`, all pointing at the same bytes.
std::string tiff_with_tags(const std::vector<uint16_t>& tags, uint16_t type, uint32_t count, const RawTiffOptions& options = {});
// A w x h grey image in tiles of tile_w x tile_h, every one at the same bytes: its offset and
// byte-count tables are as long as the geometry makes them.
std::string tiff_of_tiles(uint32_t w, uint32_t h, uint32_t tile_w, uint32_t tile_h, const RawTiffOptions& options = {});

// A JPEG stream of 8-bit samples (1 grey, 3 RGB, 4 CMYK channels).
std::string jpeg_bytes(const Samples& s, int quality, bool progressive = false);
// A progressive JPEG of a w x h image of one shade (1 grey or 3 colour channels): a DC scan, then
// the full AC scan of each component, these sent `repeats` times (1 + channels x repeats scans).
// A repeated scan sets the same coefficients again: libjpeg decodes it without a warning.
std::string jpeg_with_repeated_scans(int w, int h, int channels, int repeats);
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
