// Releases the block held by a table entry in memory and marks the entry as holding none.
#include <cstdlib>

#include "r64.hpp"

void free_cr_mem_tbl(CR_MEM_TBL* t) {
  std::free(t->buf);
  t->buf = nullptr;
}
