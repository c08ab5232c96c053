// Writes one pixel. The pixel goes into the cached copy of its row, if there is one, and into the
// pending write line, which holds one row as the file has it plus every pixel written to it since;
// the line is written back when writing moves to another row (or at close_ppm). A row that cannot
// be held as the pending line has its pixel written straight to the file.
#include <cstdlib>
#include <cstring>

#include "fd_io.hpp"
#include "ppm_internal.hpp"

namespace {

bool holds_pending_line(const PPM_INFO* p, off_t offset) {
  return p->pi_write != nullptr && offset == p->pi_write_offset;
}

// Makes row h, at `offset`, the pending write line, loaded with the file's bytes of it (0 where
// the file ends first); false when the row cannot be held.
bool take_pending_line(PPM_INFO* p, off_t offset) {
  if (offset > INT_MAX) return false;  // pi_write_offset could not name the row
  size_t bytes = ppm_internal::row_bytes(p);
  auto* line = static_cast<unsigned char*>(std::malloc(bytes));
  if (line == nullptr) return false;
  std::memset(line, 0, bytes);
  ssize_t got = -1;
  if (ppm_internal::seek_to(p->pi_fd, offset)) got = fd_io::read_upto(p->pi_fd, line, bytes);
  ppm_internal::remember_position(p, got < 0 ? 0 : offset + got);
  p->pi_write = line;
  p->pi_write_offset = static_cast<int>(offset);
  return true;
}

void write_through(PPM_INFO* p, off_t pixel_offset, const unsigned char* c) {
  bool written = ppm_internal::seek_to(p->pi_fd, pixel_offset) &&
                 fd_io::write_all(p->pi_fd, c, ppm_internal::kPixelBytes);
  ppm_internal::remember_position(p, written ? pixel_offset + static_cast<off_t>(ppm_internal::kPixelBytes) : 0);
}

}  // namespace

void ppm_internal::write_back_line(PPM_INFO* p) {
  if (p->pi_write == nullptr) return;
  off_t offset = p->pi_write_offset;
  bool written = seek_to(p->pi_fd, offset) && fd_io::write_all(p->pi_fd, p->pi_write, row_bytes(p));
  remember_position(p, written ? offset + static_cast<off_t>(row_bytes(p)) : 0);
  std::free(p->pi_write);
  p->pi_write = nullptr;
  p->pi_write_offset = 0;
}

void write_pixel(PPM_INFO* p, unsigned int w, unsigned int h, const unsigned char* c) {
  using ppm_internal::kPixelBytes;
  if (w >= p->pi_width) return;
  off_t offset;
  if (!ppm_internal::row_offset(p, h, &offset)) return;
  size_t at = size_t{w} * kPixelBytes;

  // The read cache shows the new value at once.
  if (unsigned char* cached = ppm_internal::cached_row(p, static_cast<int>(h)))
    std::memcpy(cached + at, c, kPixelBytes);

  if (!holds_pending_line(p, offset)) {
    ppm_internal::write_back_line(p);
    if (!take_pending_line(p, offset)) return write_through(p, offset + static_cast<off_t>(at), c);
  }
  std::memcpy(p->pi_write + at, c, kPixelBytes);
}
