// Reads one pixel at (w, h) of a level through the tile cache. Positions outside the level are
// answered by the handle's out-of-range mode: the background pixel, or the nearest edge pixel.
#include <algorithm>
#include <cstring>

#include "r64_tile.hpp"

using namespace r64_internal;

namespace {

void copy_background(unsigned char* buf, const R64_FILE* f) {
  std::memcpy(buf, f->background, f->header.type == 'P' ? 3 : 1);
}

}  // namespace

int r64_red(unsigned char* buf, R64_FILE* f, int w, int h, int level) {
  if (!laid_out(f, level)) return fail(kR64NoLevel);
  if (!inside_level(f, w, h, level)) {
    if (f->rc_type == 0) {
      copy_background(buf, f);
      r64_error = kR64Ok;
      return 0;
    }
    if (f->rc_type != 1) return fail(kR64OutOfRange);
    w = std::clamp(w, 0, f->level_w[level] - 1);
    h = std::clamp(h, 0, f->level_h[level] - 1);
  }
  R64_CACHE_ENT* ce = find_tile(f, w, h, level);
  if (ce == nullptr) return -1;

  switch (f->header.type) {
    case 'P':
      std::memcpy(buf, ce->buf + 3 * pixel_index(ce, w, h), 3);
      break;
    case 'G':
      buf[0] = ce->buf[pixel_index(ce, w, h)];
      break;
    default:
      buf[0] = (ce->buf[bit_byte(ce, w, h)] & bit_mask(w)) ? 255 : 0;
      break;
  }
  r64_error = kR64Ok;
  return 0;
}
