// Tells whether a level is wholly in the file: laid out, and the file reaches the end of its
// region. Callers flush the cache first, since only the file's length is looked at.
#include "r64_io.hpp"
#include "r64_tile.hpp"

using namespace r64_internal;

int r64_check_level(R64_FILE* f, int level) {
  if (!laid_out(f, level)) return 0;
  off_t length = file_length(f->fd);
  if (length < 0) return 0;
  auto end = static_cast<off_t>(f->level_ofs[level]) +
             static_cast<off_t>(level_bytes(f->header.type, f->level_w[level], f->level_h[level]));
  return length >= end ? 1 : 0;
}
