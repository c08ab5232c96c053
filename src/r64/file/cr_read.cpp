// Fetches the table entry and a copy of the block of the rectangle that holds a pixel. Blocks read
// before stay in the handle's cache, so asking again costs no system call; a miss reads the entry
// and the block, after checking that the block lies inside the file and is no longer than its
// rectangle can need, so that a damaged table cannot make the reader allocate more than the
// geometry allows, whatever the file holds. The cache keeps within kCrRingBytes.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cr_internal.hpp"
#include "u_math.hpp"

namespace {

using cr_internal::fail;

bool inside_level(const CR_FILE* f, int w, int h, int level) {
  return cr_check_level(const_cast<CR_FILE*>(f), level) && w >= 0 && h >= 0 && w < f->level_w[level] &&
         h < f->level_h[level];
}

// The cached slot of the rectangle whose top-left pixel is (w_ofs, h_ofs), newest first.
CR_ENT* find_cached(CR_FILE* f, int w_ofs, int h_ofs, int level) {
  CR_ENT* head = &f->cache[0];
  for (CR_ENT* e = head->next; e != head; e = e->next)
    if (e->level == level && e->w_ofs == w_ofs && e->h_ofs == h_ofs) return e;
  return nullptr;
}

int read_entry(CR_TBL* entry, CR_FILE* f, int w_ofs, int h_ofs, int level) {
  int side = f->header.rect_size;
  unsigned int columns = static_cast<unsigned int>(ceil_div(f->level_w[level], side));
  unsigned int index = static_cast<unsigned int>(f->level_entry[level]) +
                       static_cast<unsigned int>(h_ofs / side) * columns + static_cast<unsigned int>(w_ofs / side);
  return cr_read_tbl(entry, f, index, 1);
}

// An absent entry, or a block that would run past the end of the file, is -4; a block of no known
// kind, or longer than a w x h rectangle can need, is damaged (-5).
int check_block(const CR_TBL& entry, int w, int h, int fd) {
  if (entry.ofs == 0 || entry.size == 0) return fail(kR64Short);
  if (entry.size > cr_internal::block_bytes_limit(entry.type, w, h)) return fail(kR64NotR64);
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail(kR64System);
  if (static_cast<uint64_t>(entry.ofs) + entry.size > static_cast<uint64_t>(st.st_size)) return fail(kR64Short);
  return 0;
}

// Reads the block into a slot; the slot goes back to the free list when that fails.
CR_ENT* load_block(CR_FILE* f, const CR_TBL& entry) {
  CR_ENT* e = new_cr_ent(f);
  e->b.buf = static_cast<unsigned char*>(std::malloc(entry.size));
  if (e->b.buf == nullptr) {
    free_cr_ent(f, e);
    fail(kR64Memory);
    return nullptr;
  }
  e->b.size = entry.size;
  f->cached_bytes += entry.size;
  ssize_t got = fd_io::read_at(f->fd, e->b.buf, entry.size, entry.ofs);
  if (got < 0 || static_cast<size_t>(got) < entry.size) {
    free_cr_ent(f, e);
    fail(got < 0 ? kR64System : kR64Short);
    return nullptr;
  }
  e->b.type = entry.type;
  std::memcpy(e->b.cal, entry.cal, sizeof e->b.cal);
  touch_cr_ent(f, e);  // a slot taken from the tail is still there
  trim_cr_ring(f, e);
  return e;
}

CR_ENT* load(CR_FILE* f, int w_ofs, int h_ofs, int level) {
  int side = f->header.rect_size;
  int w_len = std::min(side, f->level_w[level] - w_ofs);
  int h_len = std::min(side, f->level_h[level] - h_ofs);
  CR_TBL entry;
  if (read_entry(&entry, f, w_ofs, h_ofs, level) < 0 || check_block(entry, w_len, h_len, f->fd) < 0) return nullptr;
  CR_ENT* e = load_block(f, entry);
  if (e == nullptr) return nullptr;
  e->level = level;
  e->w_ofs = w_ofs;
  e->h_ofs = h_ofs;
  e->w_len = w_len;
  e->h_len = h_len;
  return e;
}

}  // namespace

int cr_read(CR_MEM_TBL* b, CR_FILE* f, int width, int height, int level) {
  if (!inside_level(f, width, height, level)) return fail(kR64NotR64);
  int side = f->header.rect_size;
  width -= width % side;
  height -= height % side;

  CR_ENT* e = find_cached(f, width, height, level);
  if (e == nullptr) e = load(f, width, height, level);
  if (e == nullptr) return -1;
  touch_cr_ent(f, e);

  auto* copy = static_cast<unsigned char*>(std::malloc(e->b.size));
  if (copy == nullptr) return fail(kR64Memory);
  std::memcpy(copy, e->b.buf, e->b.size);
  *b = e->b;
  b->buf = copy;
  r64_error = kR64Ok;
  return 0;
}
