// Tells whether a level is wholly in the file: laid out, and the file reaches the end of the bytes
// its tiles fill. A level the file holds only part of (a run cut short) is not there, so building
// it again completes the file. Callers flush the cache first, since only the file's length is
// looked at; a length that cannot be had is a system error (-1), never an absent level.
#include "fd_io.hpp"
#include "r64_tile.hpp"

using namespace r64_internal;

int r64_check_level(R64_FILE* f, int level) {
  if (!laid_out(f, level)) return 0;
  off_t length = fd_io::file_length(f->fd);
  if (length < 0) return fail(kR64System);
  auto end = static_cast<off_t>(f->level_ofs[level]) +
             static_cast<off_t>(level_tile_bytes(f->header.type, f->level_w[level], f->level_h[level]));
  return length >= end ? 1 : 0;
}
