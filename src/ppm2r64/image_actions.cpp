// "-ir": converts an image of any format a row source reads (PPM/PGM, PNG, TIFF, JPEG; found
// from its first bytes) into level 0 of a new R64 file of type 'P', byte for byte what "-pr"
// writes from a PPM of the same pixels. Rows are decoded as the bands need them.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "ppm2r64.hpp"
#include "row_source.hpp"

namespace {

constexpr const char* kCannotConvert = "cannot convert the image \"%s\": %s\n";

struct SourceCloser {
  void operator()(ROW_SOURCE* source) const { source->close(source); }
};
using Source = std::unique_ptr<ROW_SOURCE, SourceCloser>;

class ImageBands : public BandReader {
 public:
  ImageBands(ROW_SOURCE* source, const char* filename) : source_(source), filename_(filename) {}

  // One row a call, so that the progress line of each row comes as it is decoded.
  void read(std::span<unsigned char> band, int top, int rows) override {
    size_t pixel_row = static_cast<size_t>(source_->width) * kPixelBytes;
    for (int y = 0; y < rows; ++y) {
      std::printf("h = %i/%i   \r", top + y, source_->height);
      std::fflush(stdout);
      if (source_->read_rows(source_, band.data() + static_cast<size_t>(y) * pixel_row, 1) != 0) {
        std::fflush(stdout);
        std::fprintf(stderr, kCannotConvert, filename_, row_source_error());
        std::exit(1);
      }
    }
  }

 private:
  ROW_SOURCE* source_;
  const char* filename_;
};

}  // namespace

void image2r64(char** argv) {
  const char* from = argv[1];
  const char* to = argv[2];
  Source source(row_source_open(from));
  if (source == nullptr) {
    std::fprintf(stderr, kCannotConvert, from, row_source_error());
    std::exit(1);
  }
  std::printf("convert %s(%s) to %s(r64)\n", from, source->format, to);
  std::fflush(stdout);
  check_r64_size(static_cast<unsigned>(source->width), static_cast<unsigned>(source->height));
  ImageBands bands(source.get(), from);
  write_level_zero(from, to, source->width, source->height, bands);
}
