// Decodes a block read from a CR file into the coded samples of its rectangle. A block is data
// from disk, so nothing in it is trusted: a JPEG stream must announce exactly the rectangle's size
// (checked before the decoder allocates anything) and decode without the library finding corrupt
// data; an uncompressed block must carry the rectangle's size and exactly its samples.
#include "cr_internal.hpp"
#include "jpeg.hpp"

namespace {

constexpr int kPlainHeader = 2;  // width - 1 and height - 1

bool plain_block_into(const CR_MEM_TBL& block, int w, int h, unsigned char* samples) {
  size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
  if (block.size != kPlainHeader + 3 * pixels) return false;
  if (block.buf[0] != w - 1 || block.buf[1] != h - 1) return false;
  const unsigned char* in = block.buf + kPlainHeader;
  for (size_t i = 0; i < pixels; ++i, in += 3, samples += 4) cr_internal::put_pixel(samples, in[0], in[1], in[2]);
  return true;
}

}  // namespace

namespace cr_internal {

bool decode_stored_block(const CR_MEM_TBL& block, int w, int h, unsigned char* samples) {
  if (block.buf == nullptr || w < 1 || h < 1 || w > kMaxRectSize || h > kMaxRectSize) return false;
  if (block.type == 'n') return plain_block_into(block, w, h, samples);
  if (block.type != 'j' || block.size > static_cast<unsigned int>(INT32_MAX)) return false;
  return jpeg_uncompress_into(block.buf, static_cast<int>(block.size), w, h, samples);
}

}  // namespace cr_internal
