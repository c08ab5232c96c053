// Closes a CR file: the descriptor, the blocks held by the reader's cache and the handle. Nothing
// is written: the header and every table entry are on disk already, unless the system reports
// at the close that it could not keep them (-1, system error).
#include <unistd.h>

#include <cstdlib>

#include "r64.hpp"

int cr_close_file(CR_FILE* f) {
  bool closed = close(f->fd) == 0;
  for (int i = 1; i < ent_len; ++i) std::free(f->cache[i].b.buf);
  std::free(f);
  r64_error = closed ? kR64Ok : kR64System;
  return closed ? 0 : -1;
}
