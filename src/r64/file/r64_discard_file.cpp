// Gives up an open R64 file: closes the descriptor and releases the handle without writing back
// a single tile, so that a caller stopping on a failure leaves the file as the failure found it.
#include <unistd.h>

#include <cstdlib>

#include "r64_tile.hpp"

void r64_discard_file(R64_FILE* f) {
  if (f == nullptr) return;
  ::close(f->fd);
  for (int i = 1; i < ent_len; ++i) std::free(f->cache[i].buf);
  std::free(f);
}
