// The read cache of the PPM pixel calls: ten row buffers in most-recently-used order, slot 0 the
// row used last. Rows are served by a linear search from the front; a new row takes the place of
// the least recently used one. close_ppm lives here too, since it releases the cache.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "ppm_internal.hpp"

namespace {

void empty_slot(PPM_CACHE& slot) {
  std::free(slot.pc_line);
  slot.pc_line = nullptr;
  slot.pc_h = 0;
}

}  // namespace

void refresh(PPM_INFO* p, int i) {
  if (i <= 0 || i >= kPpmCacheRows) return;
  std::rotate(p->pi_cache, p->pi_cache + i, p->pi_cache + i + 1);
}

unsigned char* ppm_internal::cached_row(PPM_INFO* p, int h) {
  for (int i = 0; i < kPpmCacheRows; ++i) {
    const PPM_CACHE& slot = p->pi_cache[i];
    if (slot.pc_line == nullptr || slot.pc_h != h) continue;
    refresh(p, i);
    return p->pi_cache[0].pc_line;
  }
  return nullptr;
}

unsigned char* get_pixel(PPM_INFO* p, int w, int h) {
  if (w < 0 || static_cast<unsigned int>(w) >= p->pi_width) return nullptr;
  unsigned char* row = ppm_internal::cached_row(p, h);
  return row ? row + static_cast<size_t>(w) * ppm_internal::kPixelBytes : nullptr;
}

unsigned char* new_line(PPM_INFO* p, int h) {
  PPM_CACHE& oldest = p->pi_cache[kPpmCacheRows - 1];
  empty_slot(oldest);
  auto* line = static_cast<unsigned char*>(std::malloc(ppm_internal::row_bytes(p)));
  if (line == nullptr) return nullptr;  // the empty slot stays at the back
  oldest.pc_line = line;
  oldest.pc_h = h;
  refresh(p, kPpmCacheRows - 1);
  return line;
}

void ppm_internal::drop_newest_line(PPM_INFO* p) {
  empty_slot(p->pi_cache[0]);
  std::rotate(p->pi_cache, p->pi_cache + 1, p->pi_cache + kPpmCacheRows);
}

void close_ppm(PPM_INFO* p) {
  ppm_internal::write_back_line(p);
  for (PPM_CACHE& slot : p->pi_cache) empty_slot(slot);
  ::close(p->pi_fd);
  p->pi_fd = -1;
  p->pi_lastacc = 0;
}
