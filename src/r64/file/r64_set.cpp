// Stores one pixel at (w, h) of a level through the tile cache; the tile reaches the file when it
// is written back. A refused write changes no pixel.
#include <cstring>

#include "r64_tile.hpp"

using namespace r64_internal;

int r64_set(R64_FILE* f, int w, int h, int level, const unsigned char* buf) {
  if (!laid_out(f, level)) return fail(kR64NoLevel);
  if (!inside_level(f, w, h, level)) return fail(kR64Position);
  R64_CACHE_ENT* ce = find_tile(f, w, h, level);
  if (ce == nullptr) return -1;

  switch (f->header.type) {
    case 'P':
      std::memcpy(ce->buf + 3 * pixel_index(ce, w, h), buf, 3);
      break;
    case 'G':
      ce->buf[pixel_index(ce, w, h)] = buf[0];
      break;
    default:
      if (buf[0] != 0)
        ce->buf[bit_byte(ce, w, h)] |= bit_mask(w);
      else
        ce->buf[bit_byte(ce, w, h)] &= static_cast<unsigned char>(~bit_mask(w));
      break;
  }
  ce->flags |= kDirty;
  r64_error = kR64Ok;
  return 0;
}
