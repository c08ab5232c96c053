// The reader's cache of blocks: slot 0 heads a ring of the slots in use, newest right after the
// head, and the other slots wait on a free list. A miss takes a free slot, or else the least
// recently used one, whose block is dropped. The handle counts the bytes of the blocks held, so
// that the cache can be kept within kCrRingBytes as well as within its slots.
#include <cstdlib>

#include "r64.hpp"

namespace {

void drop_block(CR_FILE* f, CR_ENT* e) {
  if (e->b.buf != nullptr) f->cached_bytes -= e->b.size;
  free_cr_mem_tbl(&e->b);
}

}  // namespace

void insert_cr_ring(CR_FILE* f, CR_ENT* e) {
  CR_ENT* head = &f->cache[0];
  e->next = head->next;
  e->prev = head;
  head->next->prev = e;
  head->next = e;
}

void delete_cr_ring(CR_ENT* e) {
  e->prev->next = e->next;
  e->next->prev = e->prev;
}

void touch_cr_ent(CR_FILE* f, CR_ENT* e) {
  delete_cr_ring(e);
  insert_cr_ring(f, e);
}

// A slot taken from the ring's tail stays linked there, emptied, until the caller fills it and
// moves it to the front or gives it back.
CR_ENT* new_cr_ent(CR_FILE* f) {
  if (f->free_list != nullptr) {
    CR_ENT* e = f->free_list;
    f->free_list = e->next;
    insert_cr_ring(f, e);
    return e;
  }
  CR_ENT* oldest = f->cache[0].prev;
  drop_block(f, oldest);
  return oldest;
}

void free_cr_ent(CR_FILE* f, CR_ENT* e) {
  delete_cr_ring(e);
  drop_block(f, e);
  e->next = f->free_list;
  e->prev = nullptr;
  f->free_list = e;
}

void trim_cr_ring(CR_FILE* f, const CR_ENT* keep) {
  CR_ENT* head = &f->cache[0];
  while (f->cached_bytes > kCrRingBytes && head->prev != head && head->prev != keep) free_cr_ent(f, head->prev);
}
