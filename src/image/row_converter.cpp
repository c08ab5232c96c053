// Turns decoded rows of any sample layout into 8-bit RGB: alpha composited over black, grey made
// three equal samples, palette indexes looked up, and every sample scaled through a table built
// once per image with the rule a PPM sample of the same maximum follows.
#include <algorithm>
#include <cstring>

#include "row_source_internal.hpp"
#include "ppmlib_types.hpp"

namespace row_source_internal {
namespace {

constexpr int kRgb = 3;

}  // namespace

RowConverter::RowConverter(const SampleLayout& layout)
    : layout_(layout),
      passes_through_(layout.stride == kRgb && layout.colours == kRgb && layout.bits == 8 && layout.max == 255 &&
                      !layout.inverted && layout.palette_red.empty()),
      scale_(layout.palette_red.empty() && layout.bits == 8 ? 256 : 65536) {
  unsigned max = layout.palette_red.empty() ? layout.max : 65535;  // palettes hold 16-bit colours
  for (size_t v = 0; v < scale_.size(); ++v) scale_[v] = adjust_max(max, static_cast<unsigned>(v));
}

size_t RowConverter::row_bytes(int width) const {
  return static_cast<size_t>(width) * static_cast<size_t>(layout_.stride) * static_cast<size_t>(layout_.bits / 8);
}

unsigned RowConverter::sample(const unsigned char* row, size_t index) const {
  if (layout_.bits == 8) return row[index];
  const unsigned char* p = row + 2 * index;
  if (layout_.big_endian) return static_cast<unsigned>(p[0] << 8 | p[1]);
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

void RowConverter::convert(const unsigned char* samples, unsigned char* rgb, int width) const {
  const SampleLayout& l = layout_;
  const unsigned char* scale = scale_.data();
  const size_t stride = static_cast<size_t>(l.stride);
  for (int x = 0; x < width; ++x, rgb += kRgb) {
    size_t first = static_cast<size_t>(x) * stride;
    unsigned colour[kRgb];
    for (int c = 0; c < kRgb; ++c) colour[c] = sample(samples, first + static_cast<size_t>(l.colours == 1 ? 0 : c));
    if (!l.palette_red.empty()) {
      size_t index = std::min<size_t>(colour[0], l.palette_red.size() - 1);
      colour[0] = l.palette_red[index];
      colour[1] = l.palette_green[index];
      colour[2] = l.palette_blue[index];
    }
    if (l.inverted)
      for (unsigned& v : colour) v = l.max - std::min(v, l.max);
    if (l.composite) {
      unsigned alpha = std::min(sample(samples, first + static_cast<size_t>(l.colours)), l.max);
      for (unsigned& v : colour) v = (std::min(v, l.max) * alpha + l.max / 2) / l.max;
    }
    for (int c = 0; c < kRgb; ++c) rgb[c] = scale[colour[c]];
  }
}

}  // namespace row_source_internal
