// "-l" and "-lh": reopen the target R64 file, find the highest level wholly in it, and build the
// coarser levels from one another, a given number of them or all that the file lays out. Every
// failure names the target; the file is left as the failure found it, no tile written after it.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "ppm2r64.hpp"
#include "r64.hpp"

namespace {

using Reduction = int (*)(R64_FILE* f, int level, int threads);

TOOL_STATUS building_failure() {
  return r64_failure(CodeLine::kAction, "build the levels of \"" + std::string(target) + "\"", target);
}

// A length that cannot be had ends the run: it says nothing about which levels are there.
TOOL_STATUS find_highest_present_level(R64_FILE* f, int* highest) {
  int lev = 0;
  for (int present; (present = r64_check_level(f, lev)) != 0; ++lev)
    if (present < 0) return building_failure();
  *highest = lev - 1;
  return {};
}

// The source level's tiles must be in the file before its length shows the level present; a
// flush that cannot write them is a failure of its own, not a missing level.
bool flushed(R64_FILE* f) { return r64_flush(f) >= 0; }

TOOL_STATUS build_levels(int levels, Reduction reduce) {
  std::printf("make multi levels of details\n");
  if (target == nullptr) {
    r64_error = kR64System;
    errno = ENOENT;
    return r64_failure(CodeLine::kAction, "open the target (none was named by -t, -pr or -ir)", "");
  }
  R64Handle f;
  if (TOOL_STATUS opened = open_target(O_RDWR, &f); opened.failed()) return opened;

  int lev = -1;
  if (TOOL_STATUS found = find_highest_present_level(f.get(), &lev); found.failed()) return found;
  std::printf("from level %i\n", lev);
  if (lev < 0) return tool_failure("broken file :: %s\n", target);

  if (levels > 0) {
    for (int n = 0; n < levels; ++n, ++lev) {
      if (!flushed(f.get()) || reduce(f.get(), lev, worker_threads) < 0) return building_failure();
    }
  } else {
    for (;; ++lev) {
      if (!flushed(f.get())) return building_failure();
      if (reduce(f.get(), lev, worker_threads) != 0) break;
    }
    // Finding no further level to build is the normal end.
    if (r64_error != kR64NoLevel) return building_failure();
  }
  if (!flushed(f.get()) || r64_close_file(f.release()) < 0) return building_failure();
  return {};
}

}  // namespace

TOOL_STATUS new_level(int levels) { return build_levels(levels, r64_new_level_with); }

TOOL_STATUS new_level_hifi(int levels) { return build_levels(levels, r64_new_level_hifi_with); }
