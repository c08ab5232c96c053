// Writes a whole "P6" image from memory: the header of write_header, then every pixel row by row
// from the top, three bytes each, in one transfer. The handle only describes the image.
#include "ppm/ppm_internal.hpp"
#include "r64/file/r64_io.hpp"

int write_ppm(const PPM_INFO* p, const unsigned char* data) {
  if (!ppm_internal::seek_to(p->pi_fd, 0)) return -1;
  char text[kPpmHeaderText];
  int length = ppm_internal::format_header(p, text);
  if (!r64_internal::write_all(p->pi_fd, text, static_cast<size_t>(length))) return -1;
  size_t pixels = ppm_internal::row_bytes(p) * p->pi_height;
  if (!r64_internal::write_all(p->pi_fd, data, pixels)) return -1;
  return 0;
}
