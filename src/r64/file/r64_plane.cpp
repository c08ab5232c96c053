// Hands out the buffer of the tile that holds (x, y) of a level, making it the newest tile. The
// buffer belongs to the cache: it stays valid until the next call on the handle, and changes made
// through it are not written back.
#include <cstdio>

#include "r64_tile.hpp"

using namespace r64_internal;

int r64_plane(unsigned char** data, int* w, int* h, int* size, R64_FILE* f, int x, int y, int level) {
  if (level < 0) {
    std::printf("b\n");
    return fail(kR64NoLevel);
  }
  if (!laid_out(f, level)) {
    std::printf("c\n");
    return fail(kR64NoLevel);
  }
  if (!inside_level(f, x, y, level)) {
    *data = nullptr;
    r64_error = kR64Ok;
    return 0;
  }
  if (_search_ce(f, x, y, level) < 0) {
    std::printf("d\n");
    return -1;
  }
  const R64_CACHE_ENT* ce = f->cache[0].next;
  *data = ce->buf;
  *w = ce->w_len;
  *h = ce->h_len;
  *size = tile_bytes(f->header.type, ce->w_len, ce->h_len);
  r64_error = kR64Ok;
  return 0;
}
