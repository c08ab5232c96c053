// "-l" and "-lh": reopen the target R64 file, find the highest level wholly in it, and build the
// coarser levels from one another, a given number of them or all that the file lays out. Every
// failure names the target.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ppm2r64.hpp"
#include "r64.hpp"

namespace {

using Reduction = int (*)(R64_FILE* f, int level, int threads);

[[noreturn]] void exit_building() { exit_r64_error("build the levels of \"" + std::string(target) + "\"", target); }

// A length that cannot be had ends the run: it says nothing about which levels are there.
int highest_present_level(R64_FILE* f) {
  int lev = 0;
  for (int present; (present = r64_check_level(f, lev)) != 0; ++lev)
    if (present < 0) exit_building();
  return lev - 1;
}

// The source level's tiles must be in the file before its length shows the level present; a
// flush that cannot write them is a failure of its own, not a missing level.
void flush_or_exit(R64_FILE* f) {
  if (r64_flush(f) < 0) exit_building();
}

void build_levels(int levels, Reduction reduce) {
  std::printf("make multi levels of details\n");
  if (target == nullptr) {
    r64_error = kR64System;
    errno = ENOENT;
    exit_r64_error("open the target (none was named by -t, -pr or -ir)", "");
  }
  R64_FILE* f = open_target(O_RDWR);
  if (f == nullptr) exit_r64_error(step_on("open", target), target);

  int lev = highest_present_level(f);
  std::printf("from level %i\n", lev);
  if (lev < 0) {
    std::fflush(stdout);
    std::fprintf(stderr, "broken file :: %s\n", target);
    std::exit(1);
  }

  if (levels > 0) {
    for (int n = 0; n < levels; ++n, ++lev) {
      flush_or_exit(f);
      if (reduce(f, lev, worker_threads) < 0) exit_building();
    }
  } else {
    for (;; ++lev) {
      flush_or_exit(f);
      if (reduce(f, lev, worker_threads) != 0) break;
    }
    // Finding no further level to build is the normal end.
    if (r64_error != kR64NoLevel) exit_building();
  }
  flush_or_exit(f);
  if (r64_close_file(f) < 0) exit_building();
}

}  // namespace

void new_level(int levels) { build_levels(levels, r64_new_level_with); }

void new_level_hifi(int levels) { build_levels(levels, r64_new_level_hifi_with); }
