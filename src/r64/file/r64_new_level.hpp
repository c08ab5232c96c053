// The steps of the two level reductions, for the level builder's own files and its tests: the
// 2x2 box filter's target pixel and the windowed-FFT reduction's block, filter and line buffers.
#pragma once

#include "complex.hpp"
#include "r64.hpp"

namespace level_internal {

// One 8x8 block per channel, indexed channel, row, column.
using RectBuf = COMPLEX[3][8][8];
// What a filtered block adds to 4x4 target pixels, per channel: the real parts of its top-left
// 4x4 corner.
using BlockSums = double[3][4][4];

// True when a pixel call failed with a system error, which ends a level pass at once; every other
// refusal (a write outside the target level, a level that is not laid out) is dropped.
inline bool system_failure(int result) { return result < 0 && r64_error == kR64System; }

// The width and height of `level`, which must be laid out, present and big enough to have a coarser
// level: 0, or -1 with r64_error set.
int source_level_size(R64_FILE* f, int level, int* w, int* h);

// Target pixel (x/2, y/2) of level+1: the floor of the mean of source pixels (x, y), (x, y+1),
// (x+1, y), (x+1, y+1), byte by byte. 0, or -1 after a system error.
int write_out(R64_FILE* f, int level, int x, int y);

// weight[x][y] of the 8x8 raised-cosine window, built on first use.
double window_fn(int x, int y);
// Loads the windowed block whose top-left source pixel is (column j, row i), pixel by pixel.
// 0, or -1 after a system error.
int set_rect_buf(R64_FILE* f, int i, int j, RectBuf rect_buf, int level);
// Low-pass filters and halves the first vol blocks in place: their top-left 4x4 corners then
// hold the block's contribution to 4x4 target pixels.
void half_filter(RectBuf rect_buf, int vol);
// Keeps the 4x4 results of a filtered block.
void keep_sums(const RectBuf rect_buf, BlockSums sums, int vol);
// Adds the 4x4 results of the block at source column j into the line buffers.
void set_buf(double* buf[3], int j, const BlockSums sums, int buf_line, int vol);
// Writes lines 0 and 1 as target rows i/2 and i/2 + 1 of `level`, then moves lines 2 and 3 up.
// 0, or -1 after a system error.
int flush_buf(R64_FILE* f, int i, double* buf[3], int level, int dest_w, int buf_line);
// Debugging aid: writes the first four lines of `size` values of the buffers into "test.r64".
void save_test(double* buf[3], int size);

// A filtered value as a byte: truncated toward zero, then clamped to 0..255.
inline unsigned char to_byte(double v) {
  if (!(v > -1.0)) return 0;  // also NaN
  if (v >= 256.0) return 255;
  return static_cast<unsigned char>(static_cast<int>(v));
}

}  // namespace level_internal
