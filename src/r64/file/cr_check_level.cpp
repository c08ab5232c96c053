// Tells whether a level exists in a CR file: it lies in 0..31 and has table entries.
#include "r64.hpp"

int cr_check_level(CR_FILE* f, int level) {
  if (level < 0 || level >= kLevels) return 0;
  return f->level_entry[level] >= 0 ? 1 : 0;
}
