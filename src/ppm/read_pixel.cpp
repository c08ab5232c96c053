// Reads one pixel through the row cache. A row that is not cached is read whole into a new cache
// line, without a seek when the descriptor already stands at it (rows read in file order); the
// bytes of a row the file does not reach read as 0.
#include <cstring>

#include "fd_io.hpp"
#include "ppm_internal.hpp"

namespace {

// Reads row h into a new cache line, now slot 0; null when no buffer can be had or the read fails.
const unsigned char* load_row(PPM_INFO* p, unsigned int h) {
  off_t offset;
  if (!ppm_internal::row_offset(p, h, &offset)) return nullptr;
  unsigned char* line = new_line(p, static_cast<int>(h));
  if (line == nullptr) return nullptr;

  size_t bytes = ppm_internal::row_bytes(p);
  std::memset(line, 0, bytes);
  bool placed = ppm_internal::stands_at(p, offset) || ppm_internal::seek_to(p->pi_fd, offset);
  ssize_t got = placed ? fd_io::read_upto(p->pi_fd, line, bytes) : -1;
  if (got < 0) {
    ppm_internal::drop_newest_line(p);
    ppm_internal::remember_position(p, 0);
    return nullptr;
  }
  ppm_internal::remember_position(p, offset + got);
  return line;
}

}  // namespace

void read_pixel(PPM_INFO* p, unsigned int w, unsigned int h, unsigned char* c) {
  std::memset(c, 0, ppm_internal::kPixelBytes);
  if (w >= p->pi_width) return;
  const unsigned char* row = ppm_internal::cached_row(p, static_cast<int>(h));
  if (row == nullptr) row = load_row(p, h);
  if (row == nullptr) return;  // one failed load is the end of it: the pixel reads as 0
  std::memcpy(c, row + size_t{w} * ppm_internal::kPixelBytes, ppm_internal::kPixelBytes);
}
