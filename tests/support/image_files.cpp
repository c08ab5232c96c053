// Test images written through libspng, libtiff and libjpeg, raw PNG chunks for what the encoders
// do not write (interlacing, impossible headers), and libjpeg's own decoding as the reference.
#include "support/image_files.hpp"

#include <spng.h>
#include <tiffio.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>

#include <jpeglib.h>  // after <cstddef> and <cstdio>: it needs size_t and FILE

#include "row_source.hpp"

namespace test_support {

Samples Samples::textured(int w, int h, int channels, int bits, uint32_t seed) {
  Samples s{w, h, channels, bits, {}};
  s.v.resize(static_cast<size_t>(w) * h * channels);
  const uint32_t max = s.max();
  uint32_t state = seed * 2654435761u + 1;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < channels; ++c) {
        state = state * 1664525u + 1013904223u;
        uint32_t smooth = (static_cast<uint32_t>(x) * 37 + static_cast<uint32_t>(y) * 11 + c * 101) % 256;
        uint32_t value = bits == 16 ? (smooth << 8 | (state >> 24)) : (smooth + (state >> 29)) % 256;
        bool alpha = (channels == 2 || channels == 4) && c == channels - 1;
        if (alpha && x % 3 == 0) value = (x / 3) % 2 ? max : 0;  // fully opaque and fully clear too
        s.v[(static_cast<size_t>(y) * w + x) * channels + c] = static_cast<uint16_t>(value & max);
      }
  return s;
}

Samples Samples::of_colour(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
  Samples s{w, h, 3, 8, {}};
  for (int i = 0; i < w * h; ++i) s.v.insert(s.v.end(), {r, g, b});
  return s;
}

std::string ppm_of(const Samples& s) {
  std::string bytes = std::string(s.channels == 1 ? "P5" : "P6") + "\n" + std::to_string(s.w) + " " +
                      std::to_string(s.h) + "\n" + std::to_string(s.max()) + "\n";
  for (uint16_t v : s.v) {
    if (s.bits == 16) bytes += static_cast<char>(v >> 8);
    bytes += static_cast<char>(v & 0xFF);
  }
  return bytes;
}

// ---- PNG ------------------------------------------------------------------------------------------

namespace {

uint8_t png_colour_type(const Samples& s, const PngOptions& options) {
  if (!options.palette.empty()) return SPNG_COLOR_TYPE_INDEXED;
  switch (s.channels) {
    case 1: return SPNG_COLOR_TYPE_GRAYSCALE;
    case 2: return SPNG_COLOR_TYPE_GRAYSCALE_ALPHA;
    case 4: return SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    default: return SPNG_COLOR_TYPE_TRUECOLOR;
  }
}

// The samples as libspng's encoder takes them: bytes, or 16-bit values in host order.
std::vector<uint8_t> packed(const Samples& s) {
  std::vector<uint8_t> bytes(s.v.size() * (s.bits / 8));
  if (s.bits == 16) std::memcpy(bytes.data(), s.v.data(), bytes.size());
  else
    for (size_t i = 0; i < s.v.size(); ++i) bytes[i] = static_cast<uint8_t>(s.v[i]);
  return bytes;
}

}  // namespace

std::string png_bytes(const Samples& s, const PngOptions& options) {
  spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr ihdr{static_cast<uint32_t>(s.w), static_cast<uint32_t>(s.h), static_cast<uint8_t>(s.bits),
                 png_colour_type(s, options), 0, 0, 0};
  spng_set_ihdr(ctx, &ihdr);
  if (!options.palette.empty()) {
    spng_plte plte{};
    plte.n_entries = static_cast<uint32_t>(options.palette.size());
    for (size_t i = 0; i < options.palette.size(); ++i)
      plte.entries[i] = {options.palette[i][0], options.palette[i][1], options.palette[i][2], 0};
    spng_set_plte(ctx, &plte);
  }
  if (!options.palette_alpha.empty() || options.grey_key >= 0) {
    spng_trns trns{};
    trns.gray = static_cast<uint16_t>(std::max(0, options.grey_key));
    trns.n_type3_entries = static_cast<uint32_t>(options.palette_alpha.size());
    std::copy(options.palette_alpha.begin(), options.palette_alpha.end(), trns.type3_alpha);
    spng_set_trns(ctx, &trns);
  }
  std::vector<uint8_t> data = packed(s);
  int code = spng_encode_image(ctx, data.data(), data.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
  size_t length = 0;
  int error = 0;
  void* png = code == 0 ? spng_get_png_buffer(ctx, &length, &error) : nullptr;
  spng_ctx_free(ctx);
  if (png == nullptr) throw std::runtime_error(std::string("PNG encoding failed: ") + spng_strerror(code ? code : error));
  std::string bytes(static_cast<const char*>(png), length);
  std::free(png);
  return bytes;
}

namespace {

// PNG's CRC of `bytes`, continuing from `crc` (a table a byte: images of 32 MiB take a moment).
uint32_t crc32_of(const std::string& bytes, uint32_t crc = 0) {
  static const std::array<uint32_t, 256> kTable = [] {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
      table[n] = c;
    }
    return table;
  }();
  crc = ~crc;
  for (unsigned char b : bytes) crc = kTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::string big_endian32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

// A zlib stream of stored (uncompressed) blocks.
std::string stored_zlib(const std::string& data) {
  std::string z = "\x78\x01";
  size_t at = 0;
  do {
    size_t n = std::min<size_t>(65535, data.size() - at);
    bool last = at + n == data.size();
    z += static_cast<char>(last ? 1 : 0);
    z += static_cast<char>(n & 0xFF);
    z += static_cast<char>(n >> 8);
    z += static_cast<char>(~n & 0xFF);
    z += static_cast<char>((~n >> 8) & 0xFF);
    z.append(data, at, n);
    at += n;
  } while (at < data.size());
  uint32_t a = 1, b = 0;
  for (unsigned char c : data) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  return z + big_endian32(b << 16 | a);
}

constexpr int kAdam7Start[7][2] = {{0, 0}, {4, 0}, {0, 4}, {2, 0}, {0, 2}, {1, 0}, {0, 1}};
constexpr int kAdam7Step[7][2] = {{8, 8}, {8, 8}, {4, 8}, {4, 4}, {2, 4}, {2, 2}, {1, 2}};

}  // namespace

std::string png_chunk(const std::string& type, const std::string& data) {
  return big_endian32(static_cast<uint32_t>(data.size())) + type + data + big_endian32(crc32_of(data, crc32_of(type)));
}

std::string raw_png(uint32_t w, uint32_t h, uint8_t depth, uint8_t colour_type, uint8_t interlace,
                    const std::string& image, const std::string& ancillary) {
  std::string ihdr = big_endian32(w) + big_endian32(h) + std::string{static_cast<char>(depth), static_cast<char>(colour_type), 0, 0,
                                                                     static_cast<char>(interlace)};
  return "\x89PNG\r\n\x1a\n" + png_chunk("IHDR", ihdr) + ancillary + png_chunk("IDAT", stored_zlib(image)) +
         png_chunk("IEND", "");
}

std::string adam7_rows(const Samples& rgb) {
  std::string rows;
  for (int pass = 0; pass < 7; ++pass) {
    if (kAdam7Start[pass][0] >= rgb.w) continue;
    for (int y = kAdam7Start[pass][1]; y < rgb.h; y += kAdam7Step[pass][1]) {
      rows += '\0';
      for (int x = kAdam7Start[pass][0]; x < rgb.w; x += kAdam7Step[pass][0])
        for (int c = 0; c < 3; ++c) rows += static_cast<char>(rgb.at(x, y, c));
    }
  }
  return rows;
}

std::string adam7_black_rows(uint32_t w, uint32_t h, int pixel_bytes) {
  size_t bytes = 0;
  for (int pass = 0; pass < 7; ++pass) {
    const uint32_t x0 = kAdam7Start[pass][0], y0 = kAdam7Start[pass][1];
    if (x0 >= w || y0 >= h) continue;
    const size_t columns = (w - x0 + kAdam7Step[pass][0] - 1) / kAdam7Step[pass][0];
    const size_t lines = (h - y0 + kAdam7Step[pass][1] - 1) / kAdam7Step[pass][1];
    bytes += lines * (1 + columns * static_cast<size_t>(pixel_bytes));
  }
  return std::string(bytes, '\0');
}

// ---- TIFF -----------------------------------------------------------------------------------------

void write_tiff(const std::string& path, const Samples& s, const TiffOptions& o) {
  TIFF* tiff = TIFFOpen(path.c_str(), o.bigtiff ? "w8" : "w");
  if (tiff == nullptr) throw std::runtime_error("TIFFOpen failed");
  const int colours = s.channels >= 3 ? 3 : 1;
  uint16_t photometric = o.photometric >= 0 ? static_cast<uint16_t>(o.photometric)
                         : !o.colormap.empty() ? PHOTOMETRIC_PALETTE
                         : colours == 3        ? PHOTOMETRIC_RGB
                                               : PHOTOMETRIC_MINISBLACK;
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(s.w));
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(s.h));
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(s.bits));
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(s.channels));
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, photometric);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, o.compression);
  if (o.compression == COMPRESSION_JPEG && photometric == PHOTOMETRIC_YCBCR)
    TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);  // libtiff takes RGB and converts
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, o.planes ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
  if (s.channels > colours && photometric != PHOTOMETRIC_SEPARATED) {
    uint16_t extra = o.extra_sample;
    TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
  }
  if (!o.colormap.empty()) {
    size_t n = o.colormap.size() / 3;
    TIFFSetField(tiff, TIFFTAG_COLORMAP, o.colormap.data(), o.colormap.data() + n, o.colormap.data() + 2 * n);
  }
  std::vector<uint8_t> data = packed(s);
  const size_t pixel = static_cast<size_t>(s.channels) * (s.bits / 8);
  if (o.planes) {
    // Plane by plane, one strip a plane: enough for a file that must be refused.
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(s.h));
    std::vector<uint8_t> plane(static_cast<size_t>(s.w) * s.h * (s.bits / 8));
    for (int c = 0; c < s.channels; ++c) TIFFWriteEncodedStrip(tiff, static_cast<uint32_t>(c), plane.data(), static_cast<tmsize_t>(plane.size()));
  } else if (o.tiled) {
    TIFFSetField(tiff, TIFFTAG_TILEWIDTH, static_cast<uint32_t>(o.tile));
    TIFFSetField(tiff, TIFFTAG_TILELENGTH, static_cast<uint32_t>(o.tile));
    std::vector<uint8_t> tile(static_cast<size_t>(o.tile) * o.tile * pixel);
    for (int top = 0; top < s.h; top += o.tile)
      for (int left = 0; left < s.w; left += o.tile) {
        std::fill(tile.begin(), tile.end(), 0);
        for (int y = top; y < std::min(s.h, top + o.tile); ++y)
          std::memcpy(&tile[static_cast<size_t>(y - top) * o.tile * pixel], &data[(static_cast<size_t>(y) * s.w + left) * pixel],
                      static_cast<size_t>(std::min(o.tile, s.w - left)) * pixel);
        TIFFWriteTile(tiff, tile.data(), static_cast<uint32_t>(left), static_cast<uint32_t>(top), 0, 0);
      }
  } else {
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(o.rows_per_strip));
    for (int y = 0; y < s.h; ++y) TIFFWriteScanline(tiff, &data[static_cast<size_t>(y) * s.w * pixel], static_cast<uint32_t>(y), 0);
  }
  TIFFClose(tiff);
}

RawTiff::RawTiff(bool big_endian, bool bigtiff) : big_endian_(big_endian), bigtiff_(bigtiff) {
  bytes_ = big_endian ? "MM" : "II";
  bytes_ += number(bigtiff ? 43 : 42, 2);
  if (bigtiff) bytes_ += number(8, 2) + number(0, 2);
  bytes_ += number(0, bigtiff ? 8 : 4);  // the directory's offset, once it is written
}

std::string RawTiff::number(uint64_t value, int bytes) const {
  std::string out(static_cast<size_t>(bytes), '\0');
  for (int i = 0; i < bytes; ++i) out[static_cast<size_t>(big_endian_ ? bytes - 1 - i : i)] = static_cast<char>(value >> (8 * i));
  return out;
}

uint64_t RawTiff::append(const std::string& bytes) {
  const uint64_t at = bytes_.size();
  bytes_ += bytes;
  return at;
}

uint64_t RawTiff::append_numbers(uint16_t type, const std::vector<uint64_t>& values) {
  const int size = type == TIFF_SHORT ? 2 : type == TIFF_LONG ? 4 : 8;
  std::string out;
  out.reserve(values.size() * static_cast<size_t>(size));
  for (uint64_t v : values) out += number(v, size);
  return append(out);
}

void RawTiff::value(uint16_t tag, uint16_t type, uint64_t value) {
  const int size = type == TIFF_SHORT ? 2 : type == TIFF_LONG ? 4 : 8;
  std::string field = number(value, size);
  field.resize(bigtiff_ ? 8 : 4, '\0');
  entries_.push_back({tag, type, 1, field});
}

void RawTiff::values_at(uint16_t tag, uint16_t type, uint64_t count, uint64_t offset) {
  const size_t field_bytes = bigtiff_ ? 8 : 4;
  const uint64_t bytes = count * static_cast<uint64_t>(TIFFDataWidth(static_cast<TIFFDataType>(type)));
  std::string field = bytes <= field_bytes ? bytes_.substr(offset, bytes) : number(offset, field_bytes);
  field.resize(field_bytes, '\0');
  entries_.push_back({tag, type, count, field});
}

std::string RawTiff::finish() {
  if (bytes_.size() % 2) bytes_ += '\0';  // a directory starts on a word boundary
  const uint64_t directory = bytes_.size();
  std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
  bytes_ += number(entries_.size(), bigtiff_ ? 8 : 2);
  for (const Entry& e : entries_) bytes_ += number(e.tag, 2) + number(e.type, 2) + number(e.count, bigtiff_ ? 8 : 4) + e.field;
  bytes_ += number(0, bigtiff_ ? 8 : 4);  // no next directory
  bytes_.replace(bigtiff_ ? 8 : 4, bigtiff_ ? 8 : 4, number(directory, bigtiff_ ? 8 : 4));
  return bytes_;
}

namespace {

constexpr uint32_t kTaggedSide = 16;

// The fields of a grey image of 8-bit samples, uncompressed.
void grey_image_fields(RawTiff& tiff, uint32_t w, uint32_t h, uint16_t compression = COMPRESSION_NONE) {
  tiff.value(TIFFTAG_IMAGEWIDTH, TIFF_LONG, w);
  tiff.value(TIFFTAG_IMAGELENGTH, TIFF_LONG, h);
  tiff.value(TIFFTAG_BITSPERSAMPLE, TIFF_SHORT, 8);
  tiff.value(TIFFTAG_COMPRESSION, TIFF_SHORT, compression);
  tiff.value(TIFFTAG_PHOTOMETRIC, TIFF_SHORT, PHOTOMETRIC_MINISBLACK);
  tiff.value(TIFFTAG_SAMPLESPERPIXEL, TIFF_SHORT, 1);
}

}  // namespace

std::string tiff_with_tags(const std::vector<uint16_t>& tags, uint16_t type, uint32_t count, const RawTiffOptions& options) {
  RawTiff tiff(options.big_endian, options.bigtiff);
  const uint64_t pixels = tiff.append(std::string(kTaggedSide * kTaggedSide, '\x80'));
  std::string shared(static_cast<size_t>(count) * static_cast<size_t>(TIFFDataWidth(static_cast<TIFFDataType>(type))), 'a');
  if (type == TIFF_ASCII) shared.back() = '\0';
  const uint64_t at = tiff.append(shared);
  grey_image_fields(tiff, kTaggedSide, kTaggedSide);
  const size_t strips = options.table_entries < 0 ? 1 : static_cast<size_t>(options.table_entries);
  tiff.values_at(TIFFTAG_STRIPOFFSETS, TIFF_LONG, strips, tiff.append_numbers(TIFF_LONG, std::vector<uint64_t>(strips, pixels)));
  tiff.value(TIFFTAG_ROWSPERSTRIP, TIFF_LONG, kTaggedSide);
  tiff.values_at(TIFFTAG_STRIPBYTECOUNTS, TIFF_LONG, strips,
                 tiff.append_numbers(TIFF_LONG, std::vector<uint64_t>(strips, kTaggedSide * kTaggedSide)));
  for (uint16_t tag : tags) tiff.values_at(tag, type, count, at);
  return tiff.finish();
}

std::string tiff_of_tiles(uint32_t w, uint32_t h, uint32_t tile_w, uint32_t tile_h, const RawTiffOptions& options) {
  RawTiff tiff(options.big_endian, options.bigtiff);
  const uint64_t tile = tiff.append(std::string(static_cast<size_t>(tile_w) * tile_h, '\x80'));
  const size_t tiles = options.table_entries >= 0 ? static_cast<size_t>(options.table_entries)
                                                  : static_cast<size_t>((w + tile_w - 1) / tile_w) * ((h + tile_h - 1) / tile_h);
  const uint64_t offsets = tiff.append_numbers(TIFF_LONG, std::vector<uint64_t>(tiles, tile));
  const uint64_t count = options.claimed_bytes != 0 ? options.claimed_bytes : static_cast<uint64_t>(tile_w) * tile_h;
  const uint64_t counts = tiff.append_numbers(TIFF_LONG, std::vector<uint64_t>(tiles, count));
  grey_image_fields(tiff, w, h, options.compression);
  tiff.value(TIFFTAG_TILEWIDTH, TIFF_LONG, tile_w);
  tiff.value(TIFFTAG_TILELENGTH, TIFF_LONG, tile_h);
  tiff.values_at(TIFFTAG_TILEOFFSETS, TIFF_LONG, tiles, offsets);
  tiff.values_at(TIFFTAG_TILEBYTECOUNTS, TIFF_LONG, tiles, counts);
  return tiff.finish();
}

// ---- JPEG -----------------------------------------------------------------------------------------

namespace {

struct JpegError {
  jpeg_error_mgr pub;
};

[[noreturn]] void throw_error(j_common_ptr cinfo) {
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  throw std::runtime_error(std::string("libjpeg: ") + text);
}

// A JPEG stream of 8-bit samples, encoded with libjpeg's defaults and then `configure`.
std::string encode_jpeg(const Samples& s, const std::function<void(jpeg_compress_struct&)>& configure) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr err{};
  cinfo.err = jpeg_std_error(&err);
  err.error_exit = throw_error;
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long length = 0;
  jpeg_mem_dest(&cinfo, &out, &length);
  cinfo.image_width = static_cast<JDIMENSION>(s.w);
  cinfo.image_height = static_cast<JDIMENSION>(s.h);
  cinfo.input_components = s.channels;
  cinfo.in_color_space = s.channels == 1 ? JCS_GRAYSCALE : s.channels == 4 ? JCS_CMYK : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  configure(cinfo);
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<uint8_t> data = packed(s);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = &data[static_cast<size_t>(cinfo.next_scanline) * s.w * s.channels];
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::string bytes(reinterpret_cast<const char*>(out), length);
  std::free(out);
  return bytes;
}

// The offset just past a JPEG marker segment that starts at `at`, or past the entropy-coded data
// that follows a start of scan: the next marker that is no stuffed byte and no restart marker.
size_t past_segment(const std::string& stream, size_t at) {
  const size_t length = static_cast<unsigned char>(stream[at + 2]) << 8 | static_cast<unsigned char>(stream[at + 3]);
  size_t end = at + 2 + length;
  if (static_cast<unsigned char>(stream[at + 1]) != 0xDA) return end;
  while (!(stream[end] == '\xFF' && stream[end + 1] != '\0' && (static_cast<unsigned char>(stream[end + 1]) & 0xF8) != 0xD0))
    ++end;
  return end;
}

}  // namespace

std::string jpeg_bytes(const Samples& s, int quality, bool progressive) {
  return encode_jpeg(s, [&](jpeg_compress_struct& cinfo) {
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (progressive) jpeg_simple_progression(&cinfo);
  });
}

std::string jpeg_with_repeated_scans(int w, int h, int channels, int repeats) {
  // Every coefficient at full precision: DC of every component, then all of AC a component at a time.
  static const jpeg_scan_info kScans[] = {
      {3, {0, 1, 2}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 0}, {1, {1}, 1, 63, 0, 0}, {1, {2}, 1, 63, 0, 0}};
  static const jpeg_scan_info kGreyScans[] = {{1, {0}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 0}};
  const Samples shade{w, h, channels, 8, std::vector<uint16_t>(static_cast<size_t>(w) * h * channels, 0x80)};
  const std::string stream = encode_jpeg(shade, [&](jpeg_compress_struct& cinfo) {
    cinfo.scan_info = channels == 1 ? kGreyScans : kScans;
    cinfo.num_scans = 1 + channels;
  });
  // The AC scans are what follows the DC scan's data up to the end of image, Huffman tables first.
  const size_t dc_scan = stream.find("\xFF\xDA");
  const size_t ac_scan = past_segment(stream, dc_scan);
  const size_t end = stream.rfind("\xFF\xD9");
  const std::string scan = stream.substr(ac_scan, end - ac_scan);
  std::string flood = stream.substr(0, end);
  flood.reserve(flood.size() + scan.size() * static_cast<size_t>(repeats));
  for (int i = 1; i < repeats; ++i) flood += scan;
  return flood + "\xFF\xD9";
}

Samples decode_jpeg(const std::string& stream) {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr err{};
  cinfo.err = jpeg_std_error(&err);
  err.error_exit = throw_error;
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(stream.data()), stream.size());
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  Samples s{static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height), 3, 8, {}};
  const int components = cinfo.output_components;
  std::vector<uint8_t> row(static_cast<size_t>(s.w) * components);
  for (int y = 0; y < s.h; ++y) {
    JSAMPROW p = row.data();
    jpeg_read_scanlines(&cinfo, &p, 1);
    for (int x = 0; x < s.w; ++x)
      for (int c = 0; c < 3; ++c) s.v.push_back(row[static_cast<size_t>(x) * components + (components == 1 ? 0 : c)]);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return s;
}

Decoded read_source(const std::string& path) {
  Decoded d;
  ROW_SOURCE* source = row_source_open(path.c_str());
  if (source == nullptr) {
    d.error = row_source_error();
    return d;
  }
  d.format = source->format;
  d.channels = source->channels;
  d.bits = source->bits;
  std::vector<unsigned char> row(static_cast<size_t>(source->width) * 3);
  d.rgb = Samples{source->width, source->height, 3, 8, {}};
  d.ok = true;
  for (int y = 0; y < source->height && d.ok; ++y) {
    d.ok = source->read_rows(source, row.data(), 1) == 0;
    d.rgb.v.insert(d.rgb.v.end(), row.begin(), row.end());
  }
  if (!d.ok) d.error = row_source_error();
  source->close(source);
  return d;
}

}  // namespace test_support
