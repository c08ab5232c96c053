// "-cr": packs the target R64 file, opened read-only, into a CR file of rect_size rectangles.
// The CR file is written beside its target and replaces it only once complete; a failure ends
// the process after the R64 error code, the system error line when a system call failed and a
// line naming what failed, leaving no partial file.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ppm2r64.hpp"
#include "r64.hpp"

namespace {

// The coarsest level the file lays out is written last: when it is there, every level is.
void check_levels_present(R64_FILE* f, const char* from) {
  int coarsest = 0;
  while (coarsest + 1 < kLevels && f->level_ofs[coarsest + 1] != 0) ++coarsest;
  int present = r64_check_level(f, coarsest);
  if (present == 1) return;
  if (present < 0) exit_r64_error(step_on("read", from), from);
  r64_error = kR64ReadOnly;
  if (r64_check_level(f, 0) != 1) exit_r64_error(step_on("read", from), from);
  std::fflush(stdout);
  std::fprintf(stderr, "r64 error: %i\n-cr needs the levels of \"%s\": run -l first\n", r64_error, from);
  std::exit(1);
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

void r642cr(const char* from, const char* to) {
  std::printf("make compressed rectangle (CR)\n");
  std::fflush(stdout);
  R64_FILE* f = open_target(O_RDONLY);
  if (f == nullptr) exit_r64_error(step_on("open", from), from);
  check_levels_present(f, from);
  ReplacingFile out;
  if (!open_output(out, from, to, f->fd)) exit_r64_error(step_on("create", to), from);
  const std::string packing = step_on("pack", from) + " into \"" + to + "\"";
  if (cr_write_file_with(out.path(), 0644, rect_size, f, &cr_coding, worker_threads) < 0) exit_r64_error(packing, from);
  if (cr_coding.target_psnr > 0) report_target();
  if (r64_close_file(f) < 0) exit_r64_error(step_on("read", from), from);
  if (!out.commit()) {
    r64_error = kR64System;
    exit_r64_error(step_on("write", to), from);
  }
}
