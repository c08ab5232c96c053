// Derives the level table of a CR file from its width, height and rectangle size: the first table
// entry and the size of each level, and the number of entries of the whole table.
#include <cstdint>
#include <cstdio>

#include "cr_internal.hpp"
#include "u_math.hpp"

namespace {

// Rectangles across `n` pixels; a negative size holds none.
int64_t rects_across(int n, int side) { return n > 0 ? ceil_div(n, side) : 0; }

void clear_levels_from(CR_FILE* f, int first) {
  for (int i = first; i < kLevels; ++i) {
    f->level_entry[i] = -1;
    f->level_w[i] = 0;
    f->level_h[i] = 0;
  }
}

}  // namespace

int get_cr_tbl_nos(CR_FILE* f) {
  int w = f->header.h.width;
  int h = f->header.h.height;
  int side = f->header.rect_size;
  if (w == 0 || h == 0) {
    std::printf("a\n");
    return cr_internal::fail(kR64NotR64);
  }
  if (side < 1 || side > cr_internal::kMaxRectSize) return cr_internal::fail(kR64NotR64);

  int64_t n = 0;
  int i = 0;
  for (; i < kLevels; ++i) {
    f->level_entry[i] = static_cast<int>(n);
    f->level_w[i] = w;
    f->level_h[i] = h;
    n += rects_across(w, side) * rects_across(h, side);
    w = half_up(w);
    h = half_up(h);
    if (w < 2 || h < 2) break;
  }
  // The table and every offset behind it must stay addressable with 32 bits.
  if (kCrHeaderBytes + kCrEntryBytes * n > UINT32_MAX) return cr_internal::fail(kR64NotR64);
  f->header.cr_tbl_nos = static_cast<unsigned int>(n);
  clear_levels_from(f, i);
  return 0;
}
