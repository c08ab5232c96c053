// "-cr": packs the target R64 file, opened read-only, into a CR file of rect_size rectangles.
// The CR file is written beside its target and replaces it only once complete; a failure ends
// the process after the R64 error code and the system error line, leaving no partial file.
#include <fcntl.h>

#include <cstdio>

#include "ppm2r64.hpp"
#include "r64.hpp"

void r642cr(const char* from, const char* to) {
  std::printf("make compressed rectangle (CR)\n");
  std::fflush(stdout);
  ReplacingFile out;
  if (!open_output(out, from, to)) exit_r64_error();
  R64_FILE* f = r64_open_file(from, O_RDONLY, 0644, 'P', 0, 0);
  if (f == nullptr) exit_r64_error();
  if (cr_write_file(out.path(), 0644, rect_size, f) < 0) exit_r64_error();
  if (r64_close_file(f) < 0) exit_r64_error();
  if (!out.commit()) {
    r64_error = kR64System;
    exit_r64_error();
  }
}
