// The reconstruction rule of CR files, shared by the writer and the reader: each parent pixel
// predicts a 2 x 2 block of its child's pixels, and a child pixel is that prediction plus the
// residual its coded sample stands for, clamped to 0..255 (the loop itself is a pixel kernel); and
// the error of rebuilt pixels against their source.
#include <cmath>
#include <cstdint>
#include <limits>

#include "cr_internal.hpp"

namespace {

size_t pixel_count(const CR_BUFFER& rect) { return static_cast<size_t>(rect.w_len) * static_cast<size_t>(rect.h_len); }

}  // namespace

namespace cr_internal {

void rebuild(CR_BUFFER& rect, const CR_BUFFER* parent, const unsigned char* decoded, const Offsets& cal) {
  if (parent != nullptr) return kernels::pixel_kernels().rebuild_child(rect, *parent, decoded, cal);
  for (size_t i = 0; i < 4 * pixel_count(rect); i += 4) put_pixel(rect.buf + i, decoded[i], decoded[i + 1], decoded[i + 2]);
}

double psnr_of(double squared_error, double samples) {
  if (squared_error == 0) return std::numeric_limits<double>::infinity();
  return 10 * std::log10(255.0 * 255.0 * samples / squared_error);
}

uint64_t squared_error(const CR_BUFFER& rebuilt, const unsigned char* source) {
  uint64_t sum = 0;
  size_t bytes = 4 * pixel_count(rebuilt);
  for (size_t i = 0; i < bytes; ++i) {
    int d = rebuilt.buf[i] - source[i];
    sum += static_cast<uint64_t>(d * d);  // the fourth bytes are 0 on both sides
  }
  return sum;
}

double rect_psnr(const CR_BUFFER& rebuilt, const unsigned char* source) {
  return psnr_of(static_cast<double>(squared_error(rebuilt, source)), 3.0 * static_cast<double>(pixel_count(rebuilt)));
}

}  // namespace cr_internal
