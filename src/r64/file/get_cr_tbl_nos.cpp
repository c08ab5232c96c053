// Derives the level table of a CR file from its width, height and rectangle size: the first table
// entry and the size of each level, and cr_tbl_nos, the entries of the levels that exist. Those
// are the levels of the R64 geometry, at least 3 pixels a side. The walk over the levels stops at
// the first level too small to exist; files have always been laid out with that level's entries
// at the end of the table, never used: table_layout_entries counts them too.
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

// Fills the level table of the existing levels and returns the entries of the whole table laid
// out on disk, the unused level's included; -1 for a table beyond 32-bit offsets.
int64_t walk_levels(CR_FILE* f) {
  int w = f->header.h.width;
  int h = f->header.h.height;
  int side = f->header.rect_size;
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
  f->header.cr_tbl_nos = static_cast<unsigned int>(i < kLevels ? f->level_entry[i] : n);
  clear_levels_from(f, i);
  // The table and every offset behind it must stay addressable with 32 bits.
  return kCrHeaderBytes + kCrEntryBytes * n > UINT32_MAX ? -1 : n;
}

int check_sizes(const CR_FILE* f) {
  if (f->header.h.width == 0 || f->header.h.height == 0) {
    std::printf("a\n");
    return cr_internal::fail(kR64NotR64);
  }
  int side = f->header.rect_size;
  if (side < 1 || side > cr_internal::kMaxRectSize) return cr_internal::fail(kR64NotR64);
  return 0;
}

}  // namespace

int get_cr_tbl_nos(CR_FILE* f) {
  if (check_sizes(f) < 0) return -1;
  return walk_levels(f) < 0 ? cr_internal::fail(kR64NotR64) : 0;
}

namespace cr_internal {

int64_t table_layout_entries(CR_FILE* f) {
  if (check_sizes(f) < 0) return -1;
  int64_t n = walk_levels(f);
  return n < 0 ? fail(kR64NotR64) : n;
}

}  // namespace cr_internal
