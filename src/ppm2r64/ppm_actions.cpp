// "-ppmtype" and "-pr": report what a PPM header says; convert a P5 or P6 image into level 0 of a
// new R64 file of type 'P'. The image is read one band of 64 rows at a time and each band is
// stored tile by tile, so every tile is created once and written back once.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "parallel.hpp"
#include "ppm2r64.hpp"
#include "ppm_error.hpp"
#include "ppmlib_types.hpp"
#include "r64.hpp"
#include "r64/file/r64_io.hpp"

namespace {

constexpr const char* kEndsEarly = "the PPM file \"%s\" ends before its last pixel\n";
constexpr const char* kCannotRead = "cannot read the PPM file \"%s\"\n";
constexpr int kPixelBytes = 3;  // the output is always 'P': red, green, blue

[[noreturn]] void exit_with(const char* format, const char* text) {
  std::fprintf(stderr, format, text);
  std::exit(1);
}

[[noreturn]] void exit_r64_failure() {
  std::fprintf(stderr, "R64 %i\n", r64_error);
  std::perror("system ");
  std::exit(1);
}

// Opens `filename` into the global handle and reads its header; any failure ends the run.
void open_ppm(const char* filename) {
  ppm.pi_fd = r64_internal::open_retrying(filename, O_RDONLY, 0);
  if (ppm.pi_fd < 0) exit_with(kCannotOpen, filename);
  if (read_header(&ppm) != 0) exit_with(kCannotReadHeader, filename);
}

bool convertible(std::string_view magic) { return magic == "P5" || magic == "P6"; }

bool fits_r64(unsigned int side) { return side >= 3 && side <= static_cast<unsigned int>(kMaxSide); }

enum class RowRead { kFull, kEnded, kFailed };

// Fills `row` from the descriptor, taking as many reads as the system needs.
RowRead read_row(int fd, std::span<unsigned char> row) {
  ssize_t got = r64_internal::read_upto(fd, row.data(), row.size());
  if (got < 0) return RowRead::kFailed;
  return static_cast<size_t>(got) < row.size() ? RowRead::kEnded : RowRead::kFull;
}

// Turns the samples of one PPM row into 'P' pixels scaled to 0..255. Samples of two bytes come
// most significant byte first; a lookup table built once per image does the scaling.
class RowDecoder {
 public:
  explicit RowDecoder(const PPM_INFO& pi)
      : width_(pi.pi_width),
        channels_(std::string_view(pi.pi_type) == "P5" ? 1 : 3),
        sample_bytes_(ppm_sample_bytes(&pi)),
        max_(pi.pi_max),
        scale_(sample_bytes_ == 1 ? 256 : 65536) {
    for (size_t sample = 0; sample < scale_.size(); ++sample)
      scale_[sample] = adjust_max(static_cast<unsigned int>(pi.pi_max), static_cast<unsigned int>(sample));
  }

  size_t row_bytes() const { return width_ * channels_ * sample_bytes_; }

  // One-byte RGB samples of maximum 255 are already pixels: the row is read straight into place.
  bool copies_as_is() const { return channels_ == 3 && sample_bytes_ == 1 && max_ == 255; }

  void decode(const unsigned char* raw, unsigned char* pixels) const {
    const unsigned char* scale = scale_.data();
    size_t samples = width_ * channels_;
    if (channels_ == 3 && sample_bytes_ == 1) {
      for (size_t i = 0; i < samples; ++i) pixels[i] = scale[raw[i]];
    } else if (channels_ == 3) {
      for (size_t i = 0; i < samples; ++i) pixels[i] = scale[raw[2 * i] << 8 | raw[2 * i + 1]];
    } else {
      for (size_t x = 0; x < samples; ++x, pixels += kPixelBytes) {
        unsigned int sample = sample_bytes_ == 1 ? raw[x] : (raw[2 * x] << 8 | raw[2 * x + 1]);
        pixels[0] = pixels[1] = pixels[2] = scale[sample];
      }
    }
  }

 private:
  size_t width_;
  size_t channels_;
  size_t sample_bytes_;
  int max_;
  std::vector<unsigned char> scale_;
};

// A band of up to 64 rows of 'P' pixels, and how reading it went: the rows read whole and, when
// a row could not be, whether the file ended or a read failed (with its errno).
struct Band {
  std::vector<unsigned char> pixels;
  std::vector<unsigned char> raw;  // one row as the file stores it, unless it is read straight in place
  int top = 0;
  int rows = 0;
  int rows_read = 0;
  RowRead outcome = RowRead::kFull;
  int error = 0;
};

// Reads the rows of the band; touches nothing but the band and the descriptor, so it runs while
// the band before it is stored.
void read_band(const RowDecoder& decoder, Band& band, int top, int rows) {
  size_t pixel_row = static_cast<size_t>(ppm.pi_width) * kPixelBytes;
  band.top = top;
  band.rows = rows;
  band.outcome = RowRead::kFull;
  for (band.rows_read = 0; band.rows_read < rows; ++band.rows_read) {
    unsigned char* pixels = band.pixels.data() + static_cast<size_t>(band.rows_read) * pixel_row;
    std::span<unsigned char> target = decoder.copies_as_is() ? std::span(pixels, pixel_row) : std::span(band.raw);
    band.outcome = read_row(ppm.pi_fd, target);
    if (band.outcome != RowRead::kFull) {
      band.error = errno;
      return;
    }
    if (!decoder.copies_as_is()) decoder.decode(band.raw.data(), pixels);
  }
}

// Prints the progress line of every row the band's reading reached, then ends the run if a row
// could not be read: the lines and the message one reading row by row prints.
void report_band(const Band& band, const char* filename) {
  int reached = std::min(band.rows, band.rows_read + 1);
  for (int y = 0; y < reached; ++y) {
    std::printf("h = %i/%i   \r", band.top + y, static_cast<int>(ppm.pi_height));
    std::fflush(stdout);
  }
  switch (band.outcome) {
    case RowRead::kFull: return;
    case RowRead::kEnded: exit_with(kEndsEarly, filename);
    case RowRead::kFailed:
      std::fprintf(stderr, kCannotRead, filename);
      errno = band.error;
      std::perror("system ");
      std::exit(1);
  }
}

// Stores a band tile by tile, left to right. Writing a tile's first pixel with r64_set makes it
// the newest tile of the cache (creating it, and writing back the oldest tile to make room) and
// marks it changed; its buffer, from r64_plane, then takes the band's rows whole.
int store_band(R64_FILE* f, const unsigned char* band, int width, int top, int rows) {
  size_t band_row = static_cast<size_t>(width) * kPixelBytes;
  for (int left = 0; left < width; left += kTileSide) {
    const unsigned char* first = band + static_cast<size_t>(left) * kPixelBytes;
    if (r64_set(f, left, top, 0, first) != 0) return -1;
    unsigned char* tile;
    int tile_width, tile_height, tile_size;
    if (r64_plane(&tile, &tile_width, &tile_height, &tile_size, f, left, top, 0) != 0) return -1;
    size_t tile_row = static_cast<size_t>(tile_width) * kPixelBytes;
    for (int y = 0; y < rows; ++y) std::memcpy(tile + y * tile_row, first + y * band_row, tile_row);
  }
  return 0;
}

// Band after band: each band is stored while the next one is read, on two threads when there
// are two; one thread reads and stores in turn. Lines and messages come in the order of one thread.
void convert_pixels(R64_FILE* f, const char* filename) {
  int width = static_cast<int>(ppm.pi_width);
  int height = static_cast<int>(ppm.pi_height);
  RowDecoder decoder(ppm);
  std::array<Band, 2> bands;
  for (Band& band : bands) {
    band.pixels.resize(static_cast<size_t>(kTileSide) * width * kPixelBytes);
    band.raw.resize(decoder.copies_as_is() ? 0 : decoder.row_bytes());
  }
  read_band(decoder, bands[0], 0, std::min(kTileSide, height));
  report_band(bands[0], filename);
  for (int top = 0, current = 0; top < height; top += kTileSide, current ^= 1) {
    Band& stored = bands[static_cast<size_t>(current)];
    Band& next = bands[static_cast<size_t>(current ^ 1)];
    int next_top = top + kTileSide;
    int stored_result = 0, stored_errno = 0;
    parallel_for(next_top < height ? 2 : 1, [&](int task) {
      if (task == 1) return read_band(decoder, next, next_top, std::min(kTileSide, height - next_top));
      stored_result = store_band(f, stored.pixels.data(), width, stored.top, stored.rows);
      stored_errno = errno;
    });
    if (stored_result != 0) {
      errno = stored_errno;
      exit_r64_failure();
    }
    if (next_top < height) report_band(next, filename);
  }
}

}  // namespace

void ppm_type(const char* filename) {
  open_ppm(filename);
  std::printf("%s %i %i %i\n", ppm.pi_type, static_cast<int>(ppm.pi_width), static_cast<int>(ppm.pi_height),
              ppm.pi_max);
  close_ppm(&ppm);
}

void ppm2r64(char** argv) {
  const char* from = argv[1];
  const char* to = argv[2];
  std::printf("convert %s(ppm) to %s(r64)\n", from, to);
  std::fflush(stdout);
  open_ppm(from);
  if (!convertible(ppm.pi_type)) {
    std::fprintf(stderr, "not support the  format %s\n", ppm.pi_type);
    std::exit(1);
  }
  if (!fits_r64(ppm.pi_width) || !fits_r64(ppm.pi_height)) {
    std::fprintf(stderr, "unsupported image size %ix%i\n", static_cast<int>(ppm.pi_width),
                 static_cast<int>(ppm.pi_height));
    std::exit(1);
  }

  ReplacingFile out;
  if (!open_output(out, from, to)) exit_r64_failure();
  R64_FILE* f = r64_open_file(out.path(), O_RDWR, 0644, 'P', static_cast<int>(ppm.pi_width),
                              static_cast<int>(ppm.pi_height));
  if (f == nullptr) exit_r64_failure();
  r64_ctl(f, 0, 1);  // reads beyond an edge answer with the nearest edge pixel
  convert_pixels(f, from);
  std::printf("\nEND\n");
  std::fflush(stdout);
  if (r64_close_file(f) != 0) exit_r64_failure();
  if (!out.commit()) {
    r64_error = kR64System;
    exit_r64_failure();
  }
  close_ppm(&ppm);
}

unsigned char adjust_max(unsigned int max, unsigned int col) {
  unsigned int cc = (col * 255) / max;
  return static_cast<unsigned char>(cc > 255 ? 255 : cc);
}
