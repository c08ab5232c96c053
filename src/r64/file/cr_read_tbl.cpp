// Reads consecutive table entries of a CR file in host order, without moving the descriptor.
// An entry cut short by the end of the file is -4; a failed read is a system error.
#include <cstdint>

#include "cr_internal.hpp"

int cr_read_tbl(CR_TBL* entries, CR_FILE* f, unsigned int first, unsigned int count) {
  if (static_cast<uint64_t>(first) + count > f->header.cr_tbl_nos) return cr_internal::fail(kR64NotR64);
  size_t bytes = static_cast<size_t>(count) * kCrEntryBytes;
  off_t at = kCrHeaderBytes + static_cast<off_t>(first) * kCrEntryBytes;
  ssize_t got = fd_io::read_at(f->fd, entries, bytes, at);
  if (got < 0) return cr_internal::fail(kR64System);
  if (static_cast<size_t>(got) < bytes) return cr_internal::fail(kR64Short);
  for (unsigned int i = 0; i < count; ++i) change_endian_cr_tbl(&entries[i]);
  return 0;
}
