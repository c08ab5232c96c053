// Reads one pixel at (w, h) of a level through the tile cache. Positions outside the level are
// answered by the handle's out-of-range mode: the background pixel, or the nearest edge pixel.
#include <algorithm>
#include <cstring>

#include "r64_tile.hpp"

using namespace r64_internal;

namespace {

[[gnu::always_inline]] inline void copy_pixel(unsigned char* buf, const R64_FILE* f, const R64_CACHE_ENT* ce, int w, int h) {
  char type = f->header.type;
  if (type == 'P') [[likely]] {
    const unsigned char* pixel = ce->buf + 3 * pixel_index(ce, w, h);
    buf[0] = pixel[0];
    buf[1] = pixel[1];
    buf[2] = pixel[2];
  } else if (type == 'G') {
    buf[0] = ce->buf[pixel_index(ce, w, h)];
  } else {
    buf[0] = (ce->buf[bit_byte(ce, w, h)] & bit_mask(w)) ? 255 : 0;
  }
}

// A pixel that the newest tile does not hold: the level is checked, a position outside it is
// answered by the out-of-range mode, and the tile is searched for, loaded or created.
[[gnu::noinline]] int read_from_older_tile(unsigned char* buf, R64_FILE* f, int w, int h, int level) {
  if (!laid_out(f, level)) return fail(kR64NoLevel);
  if (!inside_level(f, w, h, level)) {
    if (f->rc_type == 0) {
      std::memcpy(buf, f->background, f->header.type == 'P' ? 3 : 1);
      r64_error = kR64Ok;
      return 0;
    }
    if (f->rc_type != 1) return fail(kR64OutOfRange);
    w = std::clamp(w, 0, f->level_w[level] - 1);
    h = std::clamp(h, 0, f->level_h[level] - 1);
  }
  const R64_CACHE_ENT* ce = find_tile(f, w, h, level);
  if (ce == nullptr) return -1;
  copy_pixel(buf, f, ce, w, h);
  r64_error = kR64Ok;
  return 0;
}

}  // namespace

int r64_red(unsigned char* buf, R64_FILE* f, int w, int h, int level) {
  // A pixel of the newest tile lies inside a laid-out level: no other test is needed.
  const R64_CACHE_ENT* ce = f->cache[0].next;
  if (!tile_holds(ce, w, h, level)) [[unlikely]]
    return read_from_older_tile(buf, f, w, h, level);
  copy_pixel(buf, f, ce, w, h);
  r64_error = kR64Ok;
  return 0;
}
