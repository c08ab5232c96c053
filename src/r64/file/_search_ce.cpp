// Finds the tile that holds a pixel by walking the ring from the newest tile, makes it the newest,
// and loads or creates it when no slot holds it.
#include "r64_tile.hpp"

namespace r64_internal {

int _search_ce(R64_FILE* f, int w, int h, int level) {
  R64_CACHE_ENT* head = &f->cache[0];
  for (R64_CACHE_ENT* ce = head->next; ce != head; ce = ce->next) {
    if (!tile_holds(ce, w, h, level)) continue;
    if (ce != head->next) {
      unlink_slot(ce);
      link_front(f, ce);
    }
    return 0;
  }
  return _r64_read(f, w, h, level);
}

R64_CACHE_ENT* find_older_tile(R64_FILE* f, int w, int h, int level) {
  if (_search_ce(f, w, h, level) < 0) return nullptr;
  return f->cache[0].next;
}

}  // namespace r64_internal
