// "-l" and "-lh": reopen the target R64 file, find the highest level wholly in it, and build the
// coarser levels from one another, a given number of them or all that the file lays out.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>

#include "ppm2r64.hpp"
#include "r64.hpp"

namespace {

using Reduction = int (*)(R64_FILE* f, int level);

// A length that cannot be had ends the run: it says nothing about which levels are there.
int highest_present_level(R64_FILE* f) {
  int lev = 0;
  for (int present; (present = r64_check_level(f, lev)) != 0; ++lev)
    if (present < 0) exit_r64_error();
  return lev - 1;
}

// The source level's tiles must be in the file before its length shows the level present; a
// flush that cannot write them is a failure of its own, not a missing level.
void flush_or_exit(R64_FILE* f) {
  if (r64_flush(f) < 0) exit_r64_error();
}

void build_levels(int levels, Reduction reduce) {
  std::printf("make multi levels of details\n");
  R64_FILE* f = r64_open_file(target, O_RDWR, 0644, 'P', 0, 0);
  if (f == nullptr) exit_r64_error();

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
      if (reduce(f, lev) < 0) exit_r64_error();
    }
  } else {
    for (;; ++lev) {
      flush_or_exit(f);
      if (reduce(f, lev) != 0) break;
    }
    // Finding no further level to build is the normal end.
    if (r64_error != kR64NoLevel) exit_r64_error();
  }
  flush_or_exit(f);
  if (r64_close_file(f) < 0) exit_r64_error();
}

}  // namespace

void new_level(int levels) { build_levels(levels, r64_new_level); }

void new_level_hifi(int levels) { build_levels(levels, r64_new_level_hifi); }
