// "-cr": packs the target R64 file, opened read-only, into a CR file of rect_size rectangles.
// The CR file is written beside its target and replaces it only once complete; a failure says
// the R64 error code, the system error line when a system call failed and a line naming what
// failed, leaving no partial file.
#include <fcntl.h>

#include <cstdio>
#include <string>

#include "ppm2r64.hpp"
#include "r64.hpp"

namespace {

// The coarsest level the file lays out is written last: when it is there, every level is.
TOOL_STATUS check_levels_present(R64_FILE* f, const char* from) {
  int coarsest = 0;
  while (coarsest + 1 < kLevels && f->level_ofs[coarsest + 1] != 0) ++coarsest;
  int present = r64_check_level(f, coarsest);
  if (present == 1) return {};
  if (present < 0) return r64_failure(CodeLine::kAction, step_on("read", from), from);
  r64_error = kR64ReadOnly;
  if (r64_check_level(f, 0) != 1) return r64_failure(CodeLine::kAction, step_on("read", from), from);
  return tool_failure("r64 error: %i\n-cr needs the levels of \"%s\": run -l first\n", r64_error, from);
}

// What the target asked of every rectangle got.
void report_target() {
  CR_TARGET_REPORT report = cr_target_report();
  if (report.missed == 0) {
    std::printf("every rectangle reaches %g dB against its source (the worst: %.2f dB)\n", cr_coding.target_psnr, report.worst_psnr);
    return;
  }
  std::printf("%i rectangles could not reach %g dB even stored plain (the worst: %.2f dB)\n", report.missed,
              cr_coding.target_psnr, report.worst_psnr);
}

}  // namespace

TOOL_STATUS r642cr(const char* from, const char* to) {
  std::printf("make compressed rectangle (CR)\n");
  std::fflush(stdout);
  R64Handle f;
  if (TOOL_STATUS opened = open_target(O_RDONLY, &f); opened.failed()) return opened;
  if (TOOL_STATUS present = check_levels_present(f.get(), from); present.failed()) return present;
  ReplacingFile out;
  TOOL_STATUS created = open_output(out, from, to, CodeLine::kAction, from, f->fd);
  if (created.failed()) return created;
  if (cr_write_file_with(out.path(), 0644, rect_size, f.get(), &cr_coding, worker_threads) < 0)
    return r64_failure(CodeLine::kAction, step_on("pack", from) + " into \"" + to + "\"", from);
  if (cr_coding.target_psnr > 0) report_target();
  if (r64_close_file(f.release()) < 0) return r64_failure(CodeLine::kAction, step_on("read", from), from);
  if (!out.commit()) {
    r64_error = kR64System;
    return r64_failure(CodeLine::kAction, step_on("write", to), from);
  }
  return {};
}
