// Writes one tile to its place in the file. When the tile lies beyond the end of the file the gap
// is filled with the background first, so the file is never sparse; a gap that cannot be filled
// fails the write-back and the tile stays dirty.
#include "r64_io.hpp"
#include "r64_tile.hpp"

namespace r64_internal {

int _r64_flush(R64_FILE* f, R64_CACHE_ENT* ce) {
  unsigned int offset = tile_offset(f, ce->level, ce->w_ofs, ce->h_ofs, ce->h_len);
  off_t length = file_length(f->fd);
  if (length < 0) return fail(kR64System);
  if (static_cast<off_t>(offset) > length && _fill_background(f, static_cast<off_t>(offset) - length) < 0) return -1;
  if (!seek_to(f->fd, offset)) return fail(kR64System);
  if (!write_all(f->fd, ce->buf, tile_bytes(f->header.type, ce->w_len, ce->h_len))) return fail(kR64System);
  ce->flags &= ~kDirty;
  return 0;
}

}  // namespace r64_internal
