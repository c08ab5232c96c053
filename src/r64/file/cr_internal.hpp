// Internal calls of the CR layer: the failure helper, the sample mapping, the reading of R64
// rectangles, the writer's recursion and its progress counters.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "fd_io.hpp"
#include "pixel_kernels.hpp"
#include "r64.hpp"
#include "r64_fail.hpp"
#include "r64_tile.hpp"

// Progress of the writer: pixel bytes processed so far, and the count at which the next
// progress line is due.
extern unsigned int loading_file_size;
extern unsigned int indicate_file_size;

namespace cr_internal {

inline constexpr int kMaxRectSize = kMaxRectSide;

using r64_internal::fail;

// Coded samples are the identity on this band; outside it they are compressed by 32/332.
inline constexpr int kBandLow = 32;
inline constexpr int kBandHigh = 223;

// The coded sample of t, a residual plus its channel offset (divisions truncate toward zero).
constexpr int coded_sample(int t) {
  if (t > kBandHigh) return (32 * t - 7168) / 332 + 224;
  if (t < kBandLow) return (32 * t - 1024) / 332 + 32;
  return t;
}

// The residual (before the channel offset is taken off) that a coded sample stands for.
constexpr int residual_of_sample(int s) {
  if (s > kBandHigh) return (332 * s - 74368) / 32 + 224;
  if (s < kBandLow) return (332 * s - 10624) / 32 + 32;
  return s;
}

inline constexpr int kChannels = 3;

// The per-channel offsets of a rectangle's entry, read as signed.
using kernels::Offsets;
using kernels::put_pixel;

// Scratch that read_r64_rect reads the largest rectangle's rows of tiles through.
inline constexpr size_t kRectScratchBytes = r64_internal::tile_row_scratch_bytes(kMaxRectSide);

// Reads the rectangle of `level` whose place and size rect gives into rect.buf, as 4-byte pixels
// (fourth byte 0; one-byte pixels serve as red, green and blue, bits as 0 or 255), straight from
// the R64 file through `scratch` (kRectScratchBytes): on any thread, the cache holding nothing newer
// than the file. 0, or -1 with r64_error set as the tile cache would set it.
inline int read_r64_rect(CR_BUFFER& rect, const R64_FILE* r64, int level, std::span<unsigned char> scratch) {
  return r64_internal::read_pixels(r64, level, {rect.w_ofs, rect.h_ofs, rect.w_len, rect.h_len}, rect.buf,
                                   static_cast<size_t>(rect.w_len), scratch);
}

// Rebuilds rect.buf from the decoded samples of its block: the parent's prediction plus the
// residual, clamped to 0..255, or for a root (parent null) the decoded pixel itself; every fourth
// byte ends 0, whatever the decoded ones hold. `decoded` may be rect.buf itself.
void rebuild(CR_BUFFER& rect, const CR_BUFFER* parent, const unsigned char* decoded, const Offsets& cal);

// The most bytes a block of a w x h rectangle can need: a plain block exactly its size, a JPEG
// stream the bound of block_bytes_limit's comment; 0 for a kind of block that does not exist.
uint64_t block_bytes_limit(char type, int w, int h);

// The PSNR of the rebuilt pixels of a rectangle against its source pixels (both 4 bytes a pixel,
// fourth bytes 0), over its three channels; infinite when they are equal.
double rect_psnr(const CR_BUFFER& rebuilt, const unsigned char* source);
// The PSNR of `squared_error` summed over `samples` samples.
double psnr_of(double squared_error, double samples);
// The squared error of the rebuilt pixels of a rectangle against its source pixels.
uint64_t squared_error(const CR_BUFFER& rebuilt, const unsigned char* source);

// Decodes a stored block into the samples of a w x h rectangle (4 bytes a pixel, the fourth
// meaning nothing: rebuild sets it to 0); false
// when the block is of an unknown kind, of another size, cut short or corrupt. Nothing is
// allocated for a block that announces another size.
bool decode_stored_block(const CR_MEM_TBL& block, int w, int h, unsigned char* samples);

// Does what get_cr_tbl_nos does and returns the entries of the table as files lay it out: those
// of the existing levels and, at its end, the never used entries of the level the walk stopped at;
// -1 on failure.
int64_t table_layout_entries(CR_FILE* f);

// The parts of the efficient coding, each of which a benchmark may leave out to measure what it
// buys. The defaults are what cr_write_file_with's efficient coding uses.
struct EfficientParts {
  bool full_chroma = true;      // 4:4:4 rather than 4:2:0
  bool optimize_coding = true;  // Huffman tables fitted to each block
  bool flat_table = true;       // one flat quantisation table rather than the standard ones
  bool jfif = false;            // the JFIF segment
  bool trained_tables = true;   // trained Huffman tables rather than fitted ones: a pass less
                                // over every block
  double level_ratio = 0.65;    // each level's steps, to those of the level below it
};
// The efficient coding's trained Huffman tables come in sets for classes of quantisation steps:
// 1, 2-3, 4-7, ..., 128-255.
inline constexpr int kHuffmanClasses = 8;
constexpr int huffman_class(int step) {
  int k = 0;
  while (k + 1 < kHuffmanClasses && step >= 2 << k) ++k;
  return k;
}

// Sets the parts of the efficient coding of the following writes (benchmarks only).
void set_efficient_parts(const EfficientParts& parts);

// Whether the w x h region at (x, y) lies wholly in `level`, which must be present.
bool inside(CR_FILE* f, int x, int y, int w, int h, int level);
// Copies the part of a rebuilt rectangle (4-byte pixels) that lies in the w x h region at (x, y)
// of its level into `rgb`, the region's 3-byte pixels.
void copy_overlap(unsigned char* rgb, int x, int y, int w, int h, const CR_BUFFER& rect);

}  // namespace cr_internal
