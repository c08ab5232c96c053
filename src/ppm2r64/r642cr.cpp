// "-cr": packs the target R64 file, opened read-only, into a CR file of rect_size rectangles.
// A failure ends the process after the R64 error code and the system error line; whatever was
// written before it stays in the CR file.
#include <fcntl.h>

#include <cstdio>

#include "ppm2r64.hpp"
#include "r64.hpp"

void r642cr(const char* from, const char* to) {
  std::printf("make compressed rectangle (CR)\n");
  std::fflush(stdout);
  R64_FILE* f = r64_open_file(from, O_RDONLY, 0644, 'P', 0, 0);
  if (f == nullptr) exit_r64_error();
  if (cr_write_file(to, 0644, rect_size, f) < 0) exit_r64_error();
  r64_close_file(f);
}
