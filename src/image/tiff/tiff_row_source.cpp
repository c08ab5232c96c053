// TIFF images (classic or BigTIFF, strips or tiles, any compression libtiff decodes) as a row
// source: strips through libtiff's scanline reads (uncompressed 8-bit RGB read as plain rows),
// tiles one row of tiles at a time. The first directory is counted before libtiff reads it
// (tiff_directory.hpp), so that what libtiff keeps of it stays small. libtiff's messages never
// reach the terminal: its first error becomes the reason of the failure.
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fd_io.hpp"
#include "row_source_internal.hpp"
#include "tiff_directory.hpp"

namespace row_source_internal {
namespace {

// No single buffer of libtiff beyond this: with the bands and the tile cache, memory stays
// within 64 MiB for any image.
constexpr tmsize_t kLargestAllocation = 32 << 20;
constexpr int kRgb = 3;
constexpr const char* kName = "TIFF";  // the file's name in libtiff's messages, taken out of them

struct TiffSource : ROW_SOURCE {
  ~TiffSource() {
    if (tiff != nullptr) TIFFClose(tiff);  // closes the descriptor too
  }

  // The failure libtiff reported, or `otherwise` when it said nothing.
  int failed(const char* otherwise) {
    if (library_error.empty()) return source_failure("%s", otherwise);
    return source_failure("the TIFF data are damaged: %s", library_error.c_str());
  }

  int read(unsigned char* rgb, int rows) {
    if (tiled) return read_tiled(rgb, rows);
    return plain ? read_plain(rgb, rows) : read_strips(rgb, rows);
  }
  int read_plain(unsigned char* rgb, int rows);
  int read_strips(unsigned char* rgb, int rows);
  int read_tiled(unsigned char* rgb, int rows);
  int decode_tile_row();

  TIFF* tiff = nullptr;
  std::string library_error;  // the first error libtiff reported
  std::unique_ptr<RowConverter> converter;
  std::vector<uint16_t> palette[kRgb];
  bool tiled = false;
  bool plain = false;  // uncompressed strips of 8-bit RGB: each row read straight into place
  uint32_t tile_width = 0, tile_height = 0;
  std::vector<unsigned char> samples;   // one scanline, or one tile
  std::vector<unsigned char> tile_row;  // a row of tiles as RGB
  int tile_row_top = -1;                // image row of its first row
  uint32_t rows_per_strip = 0;
  int next_row = 0;
};

int TiffSource::read_strips(unsigned char* rgb, int rows) {
  size_t pixel_row = static_cast<size_t>(width) * kRgb;
  for (int y = 0; y < rows; ++y, rgb += pixel_row, ++next_row) {
    unsigned char* into = converter->passes_through() ? rgb : samples.data();
    if (TIFFReadScanline(tiff, into, static_cast<uint32_t>(next_row), 0) < 0)
      return failed("the TIFF data cannot be decoded");
    if (!converter->passes_through()) converter->convert(into, rgb, width);
  }
  return 0;
}

// Uncompressed 8-bit RGB rows are the file's bytes: one read each at the offset its strip gives,
// as a PPM row is read, without libtiff's copy through a strip buffer.
int TiffSource::read_plain(unsigned char* rgb, int rows) {
  const size_t pixel_row = static_cast<size_t>(width) * kRgb;
  for (int y = 0; y < rows; ++y, rgb += pixel_row, ++next_row) {
    const uint32_t row = static_cast<uint32_t>(next_row);
    const uint32_t strip = TIFFComputeStrip(tiff, row, 0);
    const uint64_t within = static_cast<uint64_t>(row % rows_per_strip) * pixel_row;
    if (within + pixel_row > TIFFGetStrileByteCount(tiff, strip)) return source_failure("the TIFF data are cut short");
    const off_t at = static_cast<off_t>(TIFFGetStrileOffset(tiff, strip) + within);
    ssize_t got = fd_io::read_at(TIFFFileno(tiff), rgb, pixel_row, at);
    if (got < 0) return source_failure("cannot read it: %s", std::strerror(errno));
    if (static_cast<size_t>(got) < pixel_row) return source_failure("the TIFF data are cut short");
  }
  return 0;
}

// Decodes the tiles of the row of tiles holding next_row, converting each into place.
int TiffSource::decode_tile_row() {
  tile_row_top = next_row - next_row % static_cast<int>(tile_height);
  int rows = std::min(static_cast<int>(tile_height), height - tile_row_top);
  size_t tile_stride = converter->row_bytes(static_cast<int>(tile_width));
  for (uint32_t left = 0; left < static_cast<uint32_t>(width); left += tile_width) {
    if (TIFFReadTile(tiff, samples.data(), left, static_cast<uint32_t>(tile_row_top), 0, 0) < 0)
      return failed("the TIFF data cannot be decoded");
    int columns = std::min(static_cast<int>(tile_width), width - static_cast<int>(left));
    for (int y = 0; y < rows; ++y)
      converter->convert(samples.data() + static_cast<size_t>(y) * tile_stride,
                         tile_row.data() + (static_cast<size_t>(y) * width + left) * kRgb, columns);
  }
  return 0;
}

int TiffSource::read_tiled(unsigned char* rgb, int rows) {
  size_t pixel_row = static_cast<size_t>(width) * kRgb;
  for (int y = 0; y < rows; ++y, rgb += pixel_row, ++next_row) {
    if (tile_row_top < 0 || next_row >= tile_row_top + static_cast<int>(tile_height))
      if (decode_tile_row() != 0) return -1;
    std::copy_n(tile_row.data() + static_cast<size_t>(next_row - tile_row_top) * pixel_row, pixel_row, rgb);
  }
  return 0;
}

int keep_first_error(TIFF*, void* user_data, const char*, const char* format, va_list args) {
  auto* source = static_cast<TiffSource*>(user_data);
  if (source->library_error.empty()) {
    char text[kRowSourceReasonBytes];
    std::vsnprintf(text, sizeof text, format, args);
    std::string_view message = text;
    if (message.starts_with(kName) && message.substr(std::strlen(kName)).starts_with(": "))
      message.remove_prefix(std::strlen(kName) + 2);
    source->library_error = message;
  }
  return 1;  // handled: libtiff prints nothing
}

int ignore_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

template <typename T>
T field(TIFF* tiff, ttag_t tag, T otherwise) {
  T value = otherwise;
  TIFFGetFieldDefaulted(tiff, tag, &value);
  return value;
}

// The layout of the image's samples, or -1 with the reason for what is not supported.
int describe(TiffSource& s, SampleLayout* layout) {
  TIFF* tiff = s.tiff;
  const uint16_t bits = field<uint16_t>(tiff, TIFFTAG_BITSPERSAMPLE, 1);
  const uint16_t per_pixel = field<uint16_t>(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  const uint16_t photometric = field<uint16_t>(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  if (field<uint16_t>(tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT) != SAMPLEFORMAT_UINT)
    return source_failure("TIFF samples that are no unsigned integers are not supported");
  if (bits != 8 && bits != 16) return source_failure("TIFF samples of %u bits are not supported (8 or 16)", bits);
  if (per_pixel > 1 && field<uint16_t>(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) != PLANARCONFIG_CONTIG)
    return source_failure("TIFF images stored plane by plane are not supported");

  layout->bits = bits;
  layout->max = bits == 16 ? 65535 : 255;
  layout->stride = per_pixel;
  switch (photometric) {
    case PHOTOMETRIC_MINISWHITE: layout->inverted = true; [[fallthrough]];
    case PHOTOMETRIC_MINISBLACK: layout->colours = 1; break;
    case PHOTOMETRIC_RGB: layout->colours = kRgb; break;
    case PHOTOMETRIC_YCBCR:
      if (field<uint16_t>(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE) != COMPRESSION_JPEG)
        return source_failure("TIFF images in YCbCr are only supported when JPEG-compressed");
      TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);  // libjpeg turns them into RGB
      layout->colours = kRgb;
      break;
    case PHOTOMETRIC_PALETTE: {
      layout->colours = 1;
      uint16_t *red, *green, *blue;
      if (!TIFFGetField(tiff, TIFFTAG_COLORMAP, &red, &green, &blue)) return s.failed("the TIFF palette is missing");
      size_t entries = size_t{1} << bits;
      s.palette[0].assign(red, red + entries);
      s.palette[1].assign(green, green + entries);
      s.palette[2].assign(blue, blue + entries);
      layout->palette_red = s.palette[0];
      layout->palette_green = s.palette[1];
      layout->palette_blue = s.palette[2];
      break;
    }
    case PHOTOMETRIC_SEPARATED: return source_failure("CMYK TIFF images are not supported");
    default: return source_failure("TIFF images of photometric interpretation %u are not supported", photometric);
  }
  if (per_pixel < layout->colours)
    return source_failure("the TIFF image has %u samples a pixel, too few for its colours", per_pixel);
  s.channels = per_pixel;
  s.bits = bits;

  // The first extra sample may be an alpha: one not premultiplied is composited over black here;
  // a premultiplied one has been already, and is dropped like any other extra sample.
  uint16_t extra_count = 0;
  uint16_t* extra_types = nullptr;
  if (per_pixel > layout->colours && layout->palette_red.empty() &&
      TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &extra_count, &extra_types) && extra_count > 0)
    layout->composite = extra_types[0] == EXTRASAMPLE_UNASSALPHA;
  return 0;
}

bool compressed(TIFF* tiff) { return field<uint16_t>(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE) != COMPRESSION_NONE; }

// The most bytes one strip or tile claims in the file: libtiff reads a compressed one whole into a
// buffer of its own before decoding it.
uint64_t largest_strile(TIFF* tiff) {
  uint64_t largest = 0;
  for (uint32_t strile = 0; strile < TIFFNumberOfStrips(tiff); ++strile)
    largest = std::max(largest, TIFFGetStrileByteCount(tiff, strile));
  return largest;
}

// libtiff decodes a strip from all its bytes read at once, so a strip larger than the buffers
// libtiff may take does not stream: refused up front with the reason, not by a failed allocation
// on the way. Uncompressed 8-bit RGB strips are read row by row, without libtiff's buffer.
int check_strips(TiffSource& s) {
  const bool plain = s.converter->passes_through() && !compressed(s.tiff);
  if (plain) return 0;
  uint64_t largest = largest_strile(s.tiff);
  if (largest <= static_cast<uint64_t>(kLargestAllocation)) return 0;
  return source_failure("libtiff reads each strip whole, and its strips take up to %llu MiB (at most %lld)",
                        static_cast<unsigned long long>(largest >> 20),
                        static_cast<long long>(kLargestAllocation >> 20));
}

// Sizes, layout and buffers of an opened TIFF; -1 with the reason.
int start(TiffSource& s) {
  uint32_t width = 0, height = 0;
  if (!TIFFGetField(s.tiff, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(s.tiff, TIFFTAG_IMAGELENGTH, &height))
    return s.failed("the TIFF image has no size");
  if (!size_fits(width, height)) return -1;
  s.width = static_cast<int>(width);
  s.height = static_cast<int>(height);
  SampleLayout layout;
  if (describe(s, &layout) != 0) return -1;
  s.converter = std::make_unique<RowConverter>(layout);
  s.tiled = TIFFIsTiled(s.tiff);
  if (!s.tiled) {
    if (check_strips(s) != 0) return -1;
    s.rows_per_strip = std::max<uint32_t>(1, field<uint32_t>(s.tiff, TIFFTAG_ROWSPERSTRIP, height));
    s.plain = s.converter->passes_through() &&
              field<uint16_t>(s.tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE) == COMPRESSION_NONE;
    if (!s.converter->passes_through()) s.samples.resize(s.converter->row_bytes(s.width));
    return 0;
  }
  TIFFGetField(s.tiff, TIFFTAG_TILEWIDTH, &s.tile_width);
  TIFFGetField(s.tiff, TIFFTAG_TILELENGTH, &s.tile_height);
  if (s.tile_width == 0 || s.tile_height == 0) return source_failure("the TIFF tiles have no size");
  long long tile_bytes = static_cast<long long>(s.converter->row_bytes(static_cast<int>(s.tile_width))) * s.tile_height;
  long long row_bytes = static_cast<long long>(std::min<uint32_t>(s.tile_height, height)) * width * kRgb;
  // A compressed tile is read whole before it is decoded: the largest one counts too.
  uint64_t raw = compressed(s.tiff) ? std::min<uint64_t>(largest_strile(s.tiff), kRowSourceBufferLimit + 1) : 0;
  long long needed = tile_bytes + row_bytes + static_cast<long long>(raw);
  if (needed > kRowSourceBufferLimit)
    return source_failure("a row of its %u x %u TIFF tiles needs %lld MiB (at most %lld)", s.tile_width, s.tile_height,
                          needed >> 20, kRowSourceBufferLimit >> 20);
  s.samples.resize(static_cast<size_t>(tile_bytes));
  s.tile_row.resize(static_cast<size_t>(row_bytes));
  return 0;
}

}  // namespace

ROW_SOURCE* open_tiff_source(int fd) {
  if (check_tiff_directory(fd) != 0) {
    ::close(fd);
    return nullptr;
  }
  auto source = std::make_unique<TiffSource>();
  source->format = "tiff";
  std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> options(TIFFOpenOptionsAlloc(), TIFFOpenOptionsFree);
  if (options == nullptr) {
    ::close(fd);
    source_failure("out of memory");
    return nullptr;
  }
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), keep_first_error, source.get());
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), ignore_warning, nullptr);
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), kLargestAllocation);
  // "m": no memory mapping, so that the pages of a large file never count as the process's own.
  source->tiff = TIFFFdOpenExt(fd, kName, "rm", options.get());
  if (source->tiff == nullptr) {
    ::close(fd);
    source->failed("the TIFF header cannot be read");
    return nullptr;
  }
  if (start(*source) != 0) return nullptr;
  return hooked(std::move(source));
}

}  // namespace row_source_internal
