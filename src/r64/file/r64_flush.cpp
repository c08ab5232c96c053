// Writes back every dirty tile of the cache, newest first; the tiles stay cached, now clean. The
// first tile that cannot be written stops the walk, leaving it and the older ones dirty.
#include "r64_tile.hpp"

using namespace r64_internal;

int r64_flush(R64_FILE* f) {
  R64_CACHE_ENT* head = &f->cache[0];
  for (R64_CACHE_ENT* ce = head->next; ce != head; ce = ce->next) {
    if ((ce->flags & kDirty) && _r64_flush(f, ce) < 0) return -1;
  }
  r64_error = kR64Ok;
  return 0;
}
