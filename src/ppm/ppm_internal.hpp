// Row geometry, file positioning and the header text shared by the PPM pixel and writing calls.
// Offsets are worked out in 64 bits; the handle's 32-bit fields keep only those that fit.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdio>
#include <limits>

#include "ppmlib_types.hpp"

namespace ppm_internal {

inline constexpr size_t kPixelBytes = 3;  // red, green, blue

inline size_t row_bytes(const PPM_INFO* p) { return size_t{p->pi_width} * kPixelBytes; }

// File offset of row h; false when the row would end beyond what a file offset can hold.
inline bool row_offset(const PPM_INFO* p, unsigned int h, off_t* offset) {
  constexpr unsigned long long kLargest = std::numeric_limits<off_t>::max();
  unsigned long long bytes = row_bytes(p);
  if (bytes != 0 && h >= (kLargest - p->pi_offset) / bytes) return false;
  *offset = static_cast<off_t>(p->pi_offset + bytes * h);
  return true;
}

inline bool seek_to(int fd, off_t offset) { return ::lseek(fd, offset, SEEK_SET) == offset; }

// Records where the descriptor stands; a position the field cannot hold is recorded as unknown.
inline void remember_position(PPM_INFO* p, off_t position) {
  bool fits = position > 0 && static_cast<unsigned long long>(position) <= UINT_MAX;
  p->pi_lastacc = fits ? static_cast<unsigned int>(position) : 0;
}

inline bool stands_at(const PPM_INFO* p, off_t position) {
  return p->pi_lastacc != 0 && position == static_cast<off_t>(p->pi_lastacc);
}

// The "P6" header of the handle's image, without a terminating NUL; returns its length.
inline int format_header(const PPM_INFO* p, char (&text)[kPpmHeaderText]) {
  return std::snprintf(text, sizeof text, "P6\n%u %u\n%i\n", p->pi_width, p->pi_height, p->pi_max);
}

// Cached row h made the most recently used, or null when it is not cached.
unsigned char* cached_row(PPM_INFO* p, int h);
// Empties slot 0 after its row could not be loaded, and moves it behind the filled slots.
void drop_newest_line(PPM_INFO* p);
// Writes the pending write line back to its row and releases it; nothing when there is none.
void write_back_line(PPM_INFO* p);

}  // namespace ppm_internal
