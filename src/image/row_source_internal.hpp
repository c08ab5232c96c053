// What the row sources of every format share: the failure helper that leaves the reason, the
// size check made before anything is allocated, and the conversion of decoded samples (grey or
// colour, 8 or 16 bits, with or without alpha or a palette) into 8-bit RGB pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <vector>

#include "row_source.hpp"

namespace row_source_internal {

// Sets the reason of row_source_error() (printf-style) and returns -1.
int source_failure(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True when both sizes are 1 .. 32767; otherwise false with the reason "its size W x H is ...".
bool size_fits(long long width, long long height);

// How one decoded row lays out its samples. 16-bit samples are in host order unless big_endian.
struct SampleLayout {
  int stride = 3;          // samples a pixel in the row
  int colours = 3;         // 1 grey or 3 red, green, blue: the first samples of a pixel
  int bits = 8;            // 8 or 16
  unsigned max = 255;      // the sample value of full intensity
  bool composite = false;  // the sample after the colours is an alpha, not premultiplied
  bool inverted = false;   // 0 is white
  bool big_endian = false;
  // With a palette, the one sample of a pixel is an index into these 16-bit colours.
  std::span<const uint16_t> palette_red, palette_green, palette_blue;
};

// Turns rows of samples into 8-bit RGB. Every sample v, once composited over black as
// round(v * alpha / max), becomes min(255, v * 255 / max) truncated, as a PPM sample of that
// maximum does; a palette colour is a 16-bit sample.
class RowConverter {
 public:
  explicit RowConverter(const SampleLayout& layout);
  // 8-bit RGB of maximum 255 as it is: rows can be decoded straight into place.
  bool passes_through() const { return passes_through_; }
  size_t row_bytes(int width) const;
  void convert(const unsigned char* samples, unsigned char* rgb, int width) const;

 private:
  unsigned sample(const unsigned char* row, size_t index) const;
  SampleLayout layout_;
  bool passes_through_;
  std::vector<unsigned char> scale_;  // sample value -> byte
};

// Every format's source is a ROW_SOURCE whose hooks call its read_rows and delete it.
template <typename Source>
ROW_SOURCE* hooked(std::unique_ptr<Source> source) {
  source->read_rows = [](ROW_SOURCE* s, unsigned char* rgb, int rows) {
    return static_cast<Source*>(s)->read(rgb, rows);
  };
  source->close = [](ROW_SOURCE* s) { delete static_cast<Source*>(s); };
  return source.release();
}

// A buffered stream on `fd` for the libraries that read through stdio; null, with the reason and
// `fd` closed, when it cannot be made.
FILE* open_stream(int fd);

// A source of a format its library reads through stdio: made, given a stream on `fd`, started by
// `start` (0, or not 0 after leaving the reason) and hooked; null when any step fails.
template <typename Source, typename Start>
ROW_SOURCE* open_streamed(int fd, const char* format, Start start) {
  auto source = std::make_unique<Source>();
  source->format = format;
  source->file = open_stream(fd);
  if (source->file == nullptr || start(*source) != 0) return nullptr;
  return hooked(std::move(source));
}

// The openers of the formats. Each owns `fd` from the call on (closing it on failure), finds the
// descriptor at the start of the file, and leaves the reason when it returns null.
ROW_SOURCE* open_ppm_source(int fd);
ROW_SOURCE* open_png_source(int fd);
ROW_SOURCE* open_tiff_source(int fd);
ROW_SOURCE* open_jpeg_source(int fd);

}  // namespace row_source_internal
