// "-psnr": for each level of a CR file, the peak signal-to-noise ratio of the rebuilt pixels
// against the same level of the R64 file it was packed from, and the worst rectangle's.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cr2ppm.hpp"

namespace cr2ppm {

namespace {

TOOL_STATUS r64_open_failure(const char* r64_name) {
  if (r64_error == kR64System)
    return tool_failure("cannot open the R64 file \"%s\": %s\n", r64_name, std::strerror(errno));
  return tool_failure("\"%s\" is not an R64 file\n", r64_name);
}

struct R64Close {
  void operator()(R64_FILE* f) const { r64_close_file(f); }
};

}  // namespace

TOOL_STATUS psnr(const char* cr_name, const char* r64_name) {
  CrHandle f;
  if (TOOL_STATUS opened = open_cr(cr_name, &f); opened.failed()) return opened;
  std::unique_ptr<R64_FILE, R64Close> r64(r64_open_file(r64_name, O_RDONLY, 0, 'P', 0, 0));
  if (r64 == nullptr) return r64_open_failure(r64_name);
  if (r64->header.width != f->header.h.width || r64->header.height != f->header.h.height)
    return tool_failure("\"%s\" is %i x %i but \"%s\" is %i x %i\n", r64_name, r64->header.width, r64->header.height,
                        cr_name, f->header.h.width, f->header.h.height);
  Rebuilder rb;
  if (TOOL_STATUS opened = open_rebuilder(f.get(), cr_name, &rb); opened.failed()) return opened;
  std::printf("PSNR of \"%s\" against \"%s\"\n", cr_name, r64_name);
  for (int level = 0; cr_check_level(f.get(), level); ++level) {
    CR_QUALITY q;
    if (cr_rebuild_quality(&q, rb.get(), r64.get(), level) < 0) {
      // Read once: for a second read in one condition, g++ 12 under -fsanitize=null checks the
      // address of r64_error against a stale flag and aborts as on a null pointer.
      const int code = r64_error;
      if (code == kR64ReadOnly || code == kR64NoLevel)
        return tool_failure("level %i of \"%s\" has not been built\n", level, r64_name);
      return rebuild_failure(rb.get(), cr_name);
    }
    std::printf("level %i: %i x %i, PSNR %.2f dB, worst rectangle %.2f dB at (%i, %i)\n", level, f->level_w[level],
                f->level_h[level], q.psnr, q.worst_psnr, q.worst_w_ofs, q.worst_h_ofs);
  }
  return {};
}

}  // namespace cr2ppm
