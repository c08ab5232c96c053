// Writes the header of a new "P6" image at the start of the file, whatever magic the handle
// holds, and prepares the handle for pixel writes behind it.
#include "fd_io.hpp"
#include "ppm_internal.hpp"

int write_header(PPM_INFO* p) {
  if (!ppm_internal::seek_to(p->pi_fd, 0)) return -1;
  char text[kPpmHeaderText];
  int length = ppm_internal::format_header(p, text);
  if (!fd_io::write_all(p->pi_fd, text, static_cast<size_t>(length))) return -1;
  p->pi_offset = static_cast<unsigned int>(length);
  p->pi_write_offset = 0;
  p->pi_write = nullptr;
  ppm_internal::remember_position(p, length);
  return 0;
}
