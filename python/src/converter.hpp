// Conversions from Python: an image file or pixels in memory into an R64 file with every coarser
// level and, when asked, the CR file packed from it, through the same calls as ppm2r64 -ir IN
// OUT.r64 -l (or -lh) -cr OUT.cr, so that the files are byte for byte the tool's.
#pragma once

#include <memory>
#include <string>

#include "failure.hpp"
#include "r64.hpp"

// Level 0 of a conversion, delivered a band of rows at a time.
class BandSource {
 public:
  virtual ~BandSource() = default;
  virtual int width() const = 0;
  virtual int height() const = 0;
  // The `rows` rows from `top` on as 3-byte pixels, rows packed; valid until the next call.
  virtual Failure band(int top, int rows, const unsigned char** rgb) = 0;
};

// An image file of any format a row source reads (PPM/PGM, PNG, TIFF, JPEG).
Failure open_image_source(const std::string& path, std::unique_ptr<BandSource>* source);
// Pixels in memory, `height` rows of `width` 3-byte pixels; they must outlive the source.
std::unique_ptr<BandSource> memory_source(const unsigned char* rgb, int width, int height);

struct ConvertOptions {
  std::string filter = "box";  // "box" (-l) or "fft" (-lh)
  int rect_size = 256;
  int threads = 0;             // 0: the library's default (set_library_threads)
  std::string mode = "standard";
  int quality = kJpegQuality;
  bool progress = false;       // the library's progress lines on standard output
};

struct Converted {
  int width = 0, height = 0;
  int levels = 0;  // of the R64 file
};

// Writes `r64_path` and, unless `cr_path` is empty, `cr_path`. Each appears only once complete
// (the R64 file first); a failure leaves older files of those names as they were and nothing
// else behind. `input` names the image file for messages and is refused as an output; empty for
// pixels in memory. Conversions in one process run one at a time: the thread count is the
// library's, process-wide.
Failure convert(BandSource& source, const std::string& input, const std::string& r64_path, const std::string& cr_path,
                const ConvertOptions& options, Converted* result);

// Sets the library's thread count for what follows, once a conversion running now has ended.
void set_library_threads(int threads);
// The threads of conversions that name none.
int library_threads();
