// "-ir": converts an image of any format a row source reads (PPM/PGM, PNG, TIFF, JPEG; found
// from its first bytes) into level 0 of a new R64 file of type 'P', byte for byte what "-pr"
// writes from a PPM of the same pixels. Rows are decoded as the bands need them.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "ppm2r64.hpp"
#include "row_source.hpp"

namespace {

constexpr const char* kCannotConvert = "cannot convert the image \"%s\": %s\n";

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

  bool read(std::span<unsigned char> band, int, int rows) override {
    if (source_->read_rows(source_, band.data(), rows) == 0) return true;
    reason_ = row_source_error();  // kept per thread: this one may not be the caller's
    return false;
  }

  void report(int top, int rows) override {
    for (int y = 0; y < rows; ++y) std::printf("h = %i/%i   \r", top + y, source_->height);
    std::fflush(stdout);
  }

  [[noreturn]] void fail(int top) override {
    std::printf("h = %i/%i   \r", top, source_->height);  // the band's first row, as "-pr" would
    std::fflush(stdout);
    std::fprintf(stderr, kCannotConvert, filename_, reason_.c_str());
    std::exit(1);
  }

 private:
  ROW_SOURCE* source_;
  const char* filename_;
  std::string reason_;
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
  write_level_zero(from, to, source->width, source->height, bands, worker_threads);
}
