// The pixel loops of the R64 and CR layers that run in vector code where the processor has it,
// each beside its plain version, which gives the very same bytes: the implementation is chosen once
// for the processor the process runs on. Pixels here are 4 bytes: red, green, blue, a fourth byte.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "r64_types.hpp"

namespace kernels {

// Stores red, green, blue and a zero fourth byte with one write.
inline void put_pixel(unsigned char* out, uint32_t red, uint32_t green, uint32_t blue) {
  uint32_t pixel = std::endian::native == std::endian::little ? red | green << 8 | blue << 16
                                                              : red << 24 | green << 16 | blue << 8;
  std::memcpy(out, &pixel, 4);
}

// The per-channel offsets of a CR rectangle, read as signed.
using Offsets = std::array<signed char, 3>;

struct PixelKernels {
  // Spreads `count` 3-byte pixels into 4-byte pixels, the fourth byte 0.
  void (*spread_pixels)(const unsigned char* in, unsigned char* out, int count);
  // Replaces the pixels of `rect` by the coded samples of their residuals against `predicted` (in
  // the rectangle's layout) with the channel offsets `cal`; fourth bytes stay 0.
  void (*code_residuals)(CR_BUFFER& rect, const unsigned char* predicted, const Offsets& cal);
  // The parent's prediction of every pixel of the child `rect`, in the child's layout: each parent
  // pixel predicts a 2 x 2 block of child pixels.
  void (*predict)(const CR_BUFFER& parent, const CR_BUFFER& rect, unsigned char* predicted);
  // Rebuilds the child `rect` from its parent and the decoded samples of its block: the parent's
  // prediction plus the residual of each sample, clamped to 0..255; fourth bytes 0. `decoded` may
  // be rect.buf itself.
  void (*rebuild_child)(CR_BUFFER& rect, const CR_BUFFER& parent, const unsigned char* decoded, const Offsets& cal);
};

// The kernels for this processor, chosen at the first call.
const PixelKernels& pixel_kernels();

}  // namespace kernels
