// Turns one table entry between file order (big-endian) and host order; type and cal are single
// bytes and stay as they are. The call is its own inverse.
#include "change_endian.hpp"
#include "r64.hpp"

void change_endian_cr_tbl(CR_TBL* tbl) {
  change_endian_32(&tbl->ofs);
  change_endian_32(&tbl->size);
}
