// Decodes a block read from a CR file into the coded samples of its rectangle. A block is data
// from disk, so nothing in it is trusted: a JPEG stream must announce exactly the rectangle's size
// (checked before the decoder allocates anything) and decode without the library finding corrupt
// data; an uncompressed block must carry the rectangle's size and exactly its samples.
#include "cr_internal.hpp"
#include "jpeg.hpp"

namespace {

constexpr int kPlainHeader = 2;  // width - 1 and height - 1

// The longest baseline JPEG stream of a rectangle. Each of its 3 components is coded once, in
// blocks of 8 x 8 samples padded to whole MCUs: with sampling factors of at most 4, no more than
// (w / 8 + 4) x (h / 8 + 4) blocks a component. A block's Huffman codes take at most 27 bits for
// its DC difference (a 16-bit code and 11 bits of value) and 26 for each of its 63 AC
// coefficients (a 16-bit code and 10 bits), 1665 bits, with 16 more for an end of block: 211
// bytes, twice that when every byte is 0xFF and gets a stuffed 0x00, and 3 more for a restart
// marker and its padding. Markers, tables and the JFIF or Adobe segment take far less than
// kJpegHeaderBytes. Any longer stream carries bytes that no decoder needs (comments, padding).
constexpr int kJpegComponents = 3;
constexpr uint64_t kJpegBlockBytes = 2 * 211 + 3;
constexpr uint64_t kJpegHeaderBytes = 16 << 10;

uint64_t jpeg_blocks_per_component(int w, int h) {
  return (static_cast<uint64_t>(w) / 8 + 5) * (static_cast<uint64_t>(h) / 8 + 5);
}

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

uint64_t block_bytes_limit(char type, int w, int h) {
  if (type == 'n') return kPlainHeader + 3 * static_cast<uint64_t>(w) * static_cast<uint64_t>(h);
  if (type == 'j') return kJpegHeaderBytes + kJpegComponents * jpeg_blocks_per_component(w, h) * kJpegBlockBytes;
  return 0;
}

bool decode_stored_block(const CR_MEM_TBL& block, int w, int h, unsigned char* samples) {
  if (block.buf == nullptr || w < 1 || h < 1 || w > kMaxRectSize || h > kMaxRectSize) return false;
  if (block.type == 'n') return plain_block_into(block, w, h, samples);
  if (block.type != 'j' || block.size > static_cast<unsigned int>(INT32_MAX)) return false;
  return jpeg_uncompress_into(block.buf, static_cast<int>(block.size), w, h, samples);
}

}  // namespace cr_internal
