// Renders an image request from the rebuilt rectangles: the pixels come from the coarsest level of
// the file that is still at least as large as the output (never a finer one than needed), are
// resampled to the output's size, mirrored and rotated, turned grey or black and white, and encoded
// a band of rows at a time, so that memory is one band whatever the size asked for.
#pragma once

#include <memory>
#include <string>

#include "encoders.hpp"
#include "reply.hpp"
#include "resample.hpp"
#include "tile_maker.hpp"

namespace crserve {

// The output pixels of a band, at most (a band has one row at least).
inline constexpr int kBandPixels = 1 << 16;

// A span of a level, in its pixels.
struct Span {
  double start, length;
};
// The span of `level` that the full-size span [x, x + w) of an axis `full` pixels long covers: a
// level halves the full size, rounding up, so a span that reaches the far edge reaches the level's.
Span level_span(int x, int w, int full, int level_size, int level);

// The level an image request's pixels are made from: the coarsest the file has in which the
// region is at least as large as the output.
int source_level(const Pyramid& p, const ImageRequest& r);

// Rec. 601 luma of a pixel, rounded; bitonal is its threshold at 128.
unsigned char luma(const unsigned char* rgb);

class ImageStream : public BodyStream {
 public:
  ImageStream(TileMaker& maker, std::shared_ptr<const ImageFile> image, const ImageRequest& request);
  // Makes bands until `out` has gained a part worth sending, or the image is done.
  Step next(std::string* out, std::string* failure) override;

 private:
  bool start(std::string* out, std::string* failure);
  bool band(CR_FILE* f, std::string* out, std::string* failure);
  bool fetch(CR_FILE* f, int y, int rows, int x0, int x1, unsigned char* pixels);

  TileMaker& maker_;
  std::shared_ptr<const ImageFile> image_;
  ImageRequest request_;
  int level_ = 0;
  AxisWeights xs_, ys_;
  std::unique_ptr<StreamEncoder> encoder_;
  int next_row_ = 0;  // of the final image
  CR_RECT_REF failed_at_{};
};

}  // namespace crserve
