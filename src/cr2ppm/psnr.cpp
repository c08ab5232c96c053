// "-psnr": for each level of a CR file, the peak signal-to-noise ratio of the rebuilt pixels
// against the same level of the R64 file it was packed from, and the worst rectangle's.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cr2ppm.hpp"

namespace cr2ppm {

void psnr(const char* cr_name, const char* r64_name) {
  CR_FILE* f = open_cr(cr_name);
  R64_FILE* r64 = r64_open_file(r64_name, O_RDONLY, 0, 'P', 0, 0);
  if (r64 == nullptr) {
    if (r64_error == kR64System) fail("cannot open the R64 file \"%s\": %s\n", r64_name, std::strerror(errno));
    fail("\"%s\" is not an R64 file\n", r64_name);
  }
  if (r64->header.width != f->header.h.width || r64->header.height != f->header.h.height)
    fail("\"%s\" is %i x %i but \"%s\" is %i x %i\n", r64_name, r64->header.width, r64->header.height, cr_name,
         f->header.h.width, f->header.h.height);
  CR_REBUILDER* rb = cr_rebuild_open_with(f, worker_threads);
  if (rb == nullptr) fail("out of memory rebuilding \"%s\"\n", cr_name);
  std::printf("PSNR of \"%s\" against \"%s\"\n", cr_name, r64_name);
  for (int level = 0; cr_check_level(f, level); ++level) {
    CR_QUALITY q;
    if (cr_rebuild_quality(&q, rb, r64, level) < 0) {
      if (r64_error == kR64ReadOnly || r64_error == kR64NoLevel)
        fail("level %i of \"%s\" has not been built\n", level, r64_name);
      fail_rebuild(rb, cr_name);
    }
    std::printf("level %i: %i x %i, PSNR %.2f dB, worst rectangle %.2f dB at (%i, %i)\n", level, f->level_w[level],
                f->level_h[level], q.psnr, q.worst_psnr, q.worst_w_ofs, q.worst_h_ofs);
  }
  cr_rebuild_close(rb);
  r64_close_file(r64);
  cr_close_file(f);
}

}  // namespace cr2ppm
