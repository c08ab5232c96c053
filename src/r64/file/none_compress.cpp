// Uncompressed blocks: one byte each for width - 1 and height - 1, then the red, green and blue
// bytes of every pixel, rows top to bottom. Pixels in memory carry a fourth byte, which the
// block leaves out and the decoder sets to 0.
#include <cstdlib>

#include "r64.hpp"

namespace {

constexpr int kBlockHeader = 2;

}  // namespace

unsigned char* none_compress(int* size, const unsigned char* src, int w, int h) {
  size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
  size_t bytes = kBlockHeader + 3 * pixels;
  auto* block = static_cast<unsigned char*>(std::malloc(bytes));
  if (block == nullptr) return nullptr;
  block[0] = static_cast<unsigned char>(w - 1);
  block[1] = static_cast<unsigned char>(h - 1);
  unsigned char* out = block + kBlockHeader;
  for (size_t i = 0; i < pixels; ++i, src += 4, out += 3) {
    out[0] = src[0];
    out[1] = src[1];
    out[2] = src[2];
  }
  *size = static_cast<int>(bytes);
  return block;
}

// A block too short for the size its header gives is refused rather than read past its end.
unsigned char* none_uncompress(int* w, int* h, const unsigned char* src, int size) {
  if (src == nullptr || size < kBlockHeader) return nullptr;
  int width = src[0] + 1;
  int height = src[1] + 1;
  size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  if (static_cast<size_t>(size) < kBlockHeader + 3 * pixels) return nullptr;
  auto* image = static_cast<unsigned char*>(std::malloc(4 * pixels));
  if (image == nullptr) return nullptr;
  const unsigned char* in = src + kBlockHeader;
  unsigned char* out = image;
  for (size_t i = 0; i < pixels; ++i, in += 3, out += 4) {
    out[0] = in[0];
    out[1] = in[1];
    out[2] = in[2];
    out[3] = 0;
  }
  *w = width;
  *h = height;
  return image;
}
