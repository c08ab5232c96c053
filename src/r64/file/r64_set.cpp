// Stores one pixel at (w, h) of a level through the tile cache; the tile reaches the file when it
// is written back. A refused write changes no pixel.
#include <cstring>

#include "r64_tile.hpp"

using namespace r64_internal;

namespace {

[[gnu::always_inline]] inline void store_pixel(const R64_FILE* f, R64_CACHE_ENT* ce, int w, int h, const unsigned char* buf) {
  char type = f->header.type;
  if (type == 'P') [[likely]] {
    std::memcpy(ce->buf + 3 * pixel_index(ce, w, h), buf, 3);
  } else if (type == 'G') {
    ce->buf[pixel_index(ce, w, h)] = buf[0];
  } else if (buf[0] != 0) {
    ce->buf[bit_byte(ce, w, h)] |= bit_mask(w);
  } else {
    ce->buf[bit_byte(ce, w, h)] &= static_cast<unsigned char>(~bit_mask(w));
  }
  ce->flags = kDirty;  // the only flag there is
}

// A pixel that the newest tile does not hold: the level and position are checked, then the ring
// is searched and the tile loaded or created.
[[gnu::noinline]] int set_in_older_tile(R64_FILE* f, int w, int h, int level, const unsigned char* buf) {
  if (!laid_out(f, level)) return fail(kR64NoLevel);
  if (!inside_level(f, w, h, level)) return fail(kR64Position);
  R64_CACHE_ENT* ce = find_older_tile(f, w, h, level);
  if (ce == nullptr) return -1;
  store_pixel(f, ce, w, h, buf);
  r64_error = kR64Ok;
  return 0;
}

}  // namespace

int r64_set(R64_FILE* f, int w, int h, int level, const unsigned char* buf) {
  // A pixel of the newest tile lies inside a laid-out level: no other test is needed.
  R64_CACHE_ENT* ce = f->cache[0].next;
  if (!tile_holds(ce, w, h, level)) [[unlikely]]
    return set_in_older_tile(f, w, h, level, buf);
  store_pixel(f, ce, w, h, buf);
  r64_error = kR64Ok;
  return 0;
}
