// Writes a whole "P6" image from memory: the header of write_header, then every pixel row by row
// from the top, three bytes each, in one transfer. The handle only describes the image.
#include "fd_io.hpp"
#include "ppm_internal.hpp"

int write_ppm(const PPM_INFO* p, const unsigned char* data) {
  if (!ppm_internal::seek_to(p->pi_fd, 0)) return -1;
  char text[kPpmHeaderText];
  int length = ppm_internal::format_header(p, text);
  if (!fd_io::write_all(p->pi_fd, text, static_cast<size_t>(length))) return -1;
  size_t pixels = ppm_internal::row_bytes(p) * p->pi_height;
  if (!fd_io::write_all(p->pi_fd, data, pixels)) return -1;
  return 0;
}
