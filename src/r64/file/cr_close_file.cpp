// Closes a CR file: the descriptor, the blocks held by the reader's cache and the handle. Nothing
// is written: the header and every table entry are on disk already.
#include <unistd.h>

#include <cstdlib>

#include "r64.hpp"

int cr_close_file(CR_FILE* f) {
  close(f->fd);
  for (int i = 1; i < ent_len; ++i) std::free(f->cache[i].b.buf);
  std::free(f);
  r64_error = kR64Ok;
  return 0;
}
