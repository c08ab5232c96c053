// Writes every dirty tile back, closes the descriptor and releases the handle. A tile that cannot
// be written back makes the close fail (-1, system error), though everything is still released.
#include <unistd.h>

#include <cstdlib>

#include "r64_tile.hpp"

int r64_close_file(R64_FILE* f) {
  bool written = r64_flush(f) == 0;
  bool closed = ::close(f->fd) == 0;
  for (int i = 1; i < ent_len; ++i) std::free(f->cache[i].buf);
  std::free(f);
  if (!written || !closed) return r64_internal::fail(kR64System);
  r64_error = kR64Ok;
  return 0;
}
