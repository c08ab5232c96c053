// Provides a slot at the front of the ring: a free one while any is left, otherwise the least
// recently used, written back first when dirty. A failed write-back leaves the cache unchanged.
#include "r64_tile.hpp"

namespace r64_internal {

int _new_ce(R64_FILE* f) {
  R64_CACHE_ENT* ce = f->free_list;
  if (ce != nullptr) {
    f->free_list = ce->next;
  } else {
    ce = f->cache[0].prev;
    if ((ce->flags & kDirty) && _r64_flush(f, ce) < 0) return -1;
    unlink_slot(ce);
  }
  link_front(f, ce);
  return 0;
}

}  // namespace r64_internal
