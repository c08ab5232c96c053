// "-ppmtype" and "-pr": report what a PPM header says; convert a P5 or P6 image into level 0 of a
// new R64 file of type 'P', read one band of 64 rows at a time (level_zero.cpp stores the bands).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "fd_io.hpp"
#include "ppm2r64.hpp"
#include "ppm_error.hpp"
#include "ppmlib_types.hpp"
#include "r64.hpp"

namespace {

constexpr const char* kEndsEarly = "the PPM file \"%s\" ends before its last pixel\n";
constexpr const char* kCannotRead = "cannot read the PPM file \"%s\"\nsystem : %s\n";

// The global PPM handle open on a file for one action, closed when the action ends.
class OpenPpm {
 public:
  OpenPpm() = default;
  OpenPpm(const OpenPpm&) = delete;
  OpenPpm& operator=(const OpenPpm&) = delete;
  ~OpenPpm() {
    if (open_) close_ppm(&ppm);
  }

  // Opens `filename` and reads its header. Its refusals go ahead of what standard output buffers.
  TOOL_STATUS open(const char* filename) {
    ppm.pi_fd = fd_io::open_retrying(filename, O_RDONLY, 0);
    if (ppm.pi_fd < 0) return ahead_of_output(tool_failure(kCannotOpen, filename));
    open_ = true;
    if (read_header(&ppm) != 0) return ahead_of_output(tool_failure(kCannotReadHeader, filename));
    return {};
  }

 private:
  bool open_ = false;
};

bool convertible(std::string_view magic) { return magic == "P5" || magic == "P6"; }

enum class RowRead { kFull, kEnded, kFailed };

// Fills `row` from the descriptor, taking as many reads as the system needs.
RowRead read_row(int fd, std::span<unsigned char> row) {
  ssize_t got = fd_io::read_upto(fd, row.data(), row.size());
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

// Reads the PPM rows of each band of level 0, on a thread of its own when rows need decoding and
// there is one: reading prints nothing and ends nothing, but notes how far it got, so that the
// progress lines and the message are those of reading row by row.
class PpmBands : public BandReader {
 public:
  explicit PpmBands(const char* filename)
      : filename_(filename), decoder_(ppm), raw_(decoder_.copies_as_is() ? 0 : decoder_.row_bytes()) {}

  // Rows read straight into place are a copy the system makes, cheaper than the write of the band
  // before; run beside that write, it slows the write down more than it saves.
  bool overlaps() const override { return !decoder_.copies_as_is(); }

  bool read(std::span<unsigned char> band, int top, int rows) override {
    size_t pixel_row = static_cast<size_t>(ppm.pi_width) * kPixelBytes;
    for (int y = 0; y < rows; ++y) {
      unsigned char* pixels = band.data() + static_cast<size_t>(y) * pixel_row;
      std::span<unsigned char> target = decoder_.copies_as_is() ? std::span(pixels, pixel_row) : std::span(raw_);
      RowRead outcome = read_row(ppm.pi_fd, target);
      if (outcome != RowRead::kFull) return read_failed(top + y, failure(outcome));
      if (!decoder_.copies_as_is()) decoder_.decode(raw_.data(), pixels);
    }
    return true;
  }

  void report(int top, int rows) override {
    for (int y = top; y < top + rows; ++y) print_progress(y);
  }

 private:
  // Made on the reading thread, whose errno tells why a read failed.
  TOOL_STATUS failure(RowRead outcome) const {
    if (outcome == RowRead::kEnded) return tool_failure(kEndsEarly, filename_);
    const int error = errno;
    return tool_failure(kCannotRead, filename_, std::strerror(error));
  }

  static void print_progress(int row) {
    std::printf("h = %i/%i   \r", row, static_cast<int>(ppm.pi_height));
    std::fflush(stdout);
  }

  const char* filename_;
  RowDecoder decoder_;
  std::vector<unsigned char> raw_;
};

}  // namespace

TOOL_STATUS ppm_type(const char* filename) {
  OpenPpm file;
  if (TOOL_STATUS opened = file.open(filename); opened.failed()) return opened;
  std::printf("%s %i %i %i\n", ppm.pi_type, static_cast<int>(ppm.pi_width), static_cast<int>(ppm.pi_height),
              ppm.pi_max);
  return {};
}

TOOL_STATUS ppm2r64(const char* const* argv) {
  const char* from = argv[1];
  const char* to = argv[2];
  std::printf("convert %s(ppm) to %s(r64)\n", from, to);
  std::fflush(stdout);
  OpenPpm file;
  if (TOOL_STATUS opened = file.open(from); opened.failed()) return opened;
  if (!convertible(ppm.pi_type)) return tool_failure("not support the  format %s\n", ppm.pi_type);
  if (TOOL_STATUS fits = check_r64_size(ppm.pi_width, ppm.pi_height); fits.failed()) return fits;

  PpmBands bands(from);
  return write_level_zero(from, to, static_cast<int>(ppm.pi_width), static_cast<int>(ppm.pi_height), bands,
                          worker_threads);
}
