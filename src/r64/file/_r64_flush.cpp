// Writes one tile to its place in the file. When the tile lies beyond the end of the file the gap
// is filled with the background first, so the file is never sparse; a gap that cannot be filled
// fails the write-back and the tile stays dirty.
#include "fd_io.hpp"
#include "r64_tile.hpp"

namespace r64_internal {

int _r64_flush(R64_FILE* f, R64_CACHE_ENT* ce) {
  const TilePlace tile = tile_place(f, ce->level, ce->w_ofs, ce->h_ofs);
  off_t length = fd_io::file_length(f->fd);
  if (length < 0) return fail(kR64System);
  if (static_cast<off_t>(tile.offset) > length && _fill_background(f, static_cast<off_t>(tile.offset) - length) < 0)
    return -1;
  if (!fd_io::seek_to(f->fd, tile.offset)) return fail(kR64System);
  if (!fd_io::write_all(f->fd, ce->buf, static_cast<size_t>(tile.bytes()))) return fail(kR64System);
  ce->flags &= ~kDirty;
  return 0;
}

}  // namespace r64_internal
