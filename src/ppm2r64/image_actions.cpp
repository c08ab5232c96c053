// "-ir": converts an image of any format a row source reads (PPM/PGM, PNG, TIFF, JPEG; found
// from its first bytes) into level 0 of a new R64 file of type 'P', byte for byte what "-pr"
// writes from a PPM of the same pixels. Rows are decoded as the bands need them.
#include <cstdio>
#include <memory>
#include <string>

#include "ppm2r64.hpp"
#include "row_source.hpp"

namespace {

TOOL_STATUS image_failure(const char* path) { return tool_failure("%s\n", describe_image_failure(path).c_str()); }

struct SourceCloser {
  void operator()(ROW_SOURCE* source) const { source->close(source); }
};
using Source = std::unique_ptr<ROW_SOURCE, SourceCloser>;

// Decodes bands on a thread of its own, ahead of the storing; the progress lines and a failure
// are printed by the storing side.
class ImageBands : public BandReader {
 public:
  ImageBands(ROW_SOURCE* source, const char* filename) : source_(source), filename_(filename) {}

  bool overlaps() const override { return true; }

  // A failure is put down to the band's first row, whose progress line is the last printed.
  bool read(std::span<unsigned char> band, int top, int rows) override {
    if (source_->read_rows(source_, band.data(), rows) == 0) return true;
    // The reason is kept per thread: it is read here, on the thread that failed.
    return read_failed(top, image_failure(filename_));
  }

  void report(int top, int rows) override {
    for (int y = 0; y < rows; ++y) std::printf("h = %i/%i   \r", top + y, source_->height);
    std::fflush(stdout);
  }

 private:
  ROW_SOURCE* source_;
  const char* filename_;
};

}  // namespace

TOOL_STATUS image2r64(const char* const* argv) {
  const char* from = argv[1];
  const char* to = argv[2];
  Source source(row_source_open(from));
  if (source == nullptr) return ahead_of_output(image_failure(from));
  std::printf("convert %s(%s) to %s(r64)\n", from, source->format, to);
  std::fflush(stdout);
  TOOL_STATUS fits = check_r64_size(static_cast<unsigned>(source->width), static_cast<unsigned>(source->height));
  if (fits.failed()) return fits;
  ImageBands bands(source.get(), from);
  return write_level_zero(from, to, source->width, source->height, bands, worker_threads);
}
