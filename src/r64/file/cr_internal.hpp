// Internal calls of the CR layer: the failure helper, the sample mapping, the writer's recursion
// and its progress counters.
#pragma once

#include <cstddef>

#include "r64.hpp"
#include "r64_io.hpp"

// Progress of the writer: pixel bytes processed so far, and the count at which the next
// progress line is due.
extern unsigned int loading_file_size;
extern unsigned int indicate_file_size;

namespace cr_internal {

// Largest rectangle side: an uncompressed block stores each side less one in a byte.
inline constexpr int kMaxRectSize = 256;

inline int fail(int code) {
  r64_error = code;
  return -1;
}

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


// Writes the rectangle at (w_ofs, h_ofs) of `level` and, above level 0, its whole subtree.
int _cr_write(CR_BUFFER* parent, CR_FILE* f, R64_FILE* r64, int w_ofs, int h_ofs, int level);

}  // namespace cr_internal
