// Fills a new front slot with the tile that holds a pixel: read from the file when the file reaches
// it, otherwise created from the background and marked dirty (read-write handles only). A slot whose
// load fails goes back to the free list, so no lookup finds a half-loaded tile.
#include <algorithm>
#include <cstring>

#include "fd_io.hpp"
#include "r64_tile.hpp"

namespace r64_internal {
namespace {

int give_back(R64_FILE* f, R64_CACHE_ENT* ce, int code) {
  unlink_slot(ce);
  ce->next = f->free_list;
  f->free_list = ce;
  return fail(code);
}

}  // namespace

int _r64_read(R64_FILE* f, int w, int h, int level) {
  if (!laid_out(f, level)) return fail(kR64NoLevel);
  if (!inside_level(f, w, h, level)) return fail(kR64Position);
  if (_new_ce(f) < 0) return -1;

  R64_CACHE_ENT* ce = f->cache[0].next;
  const TilePlace tile = tile_place(f, level, w, h);
  ce->flags = 0;
  ce->level = static_cast<signed char>(level);
  ce->w_ofs = tile.w_ofs;
  ce->h_ofs = tile.h_ofs;
  ce->w_len = static_cast<signed char>(tile.w_len);
  ce->h_len = static_cast<signed char>(tile.h_len);

  off_t length = fd_io::file_length(f->fd);
  if (length < 0) return give_back(f, ce, kR64System);
  const unsigned int offset = tile.offset;
  if (static_cast<off_t>(tile.end()) <= length) {
    if (!fd_io::seek_to(f->fd, offset) || !fd_io::read_exact(f->fd, ce->buf, static_cast<size_t>(tile.bytes())))
      return give_back(f, ce, kR64System);
    return 0;
  }
  if (f->fctl == 0) return give_back(f, ce, static_cast<off_t>(offset) < length ? kR64Short : kR64ReadOnly);
  fill_background_pattern(f, ce->buf, static_cast<size_t>(tile_buffer_bytes(f->header.type)));
  ce->flags |= kDirty;
  // A tile the file holds only part of (a run cut short) keeps what is there; the write-back
  // completes it.
  if (static_cast<off_t>(offset) < length) {
    ssize_t got = fd_io::seek_to(f->fd, offset) ? fd_io::read_upto(f->fd, ce->buf, static_cast<size_t>(length - offset)) : -1;
    if (got < 0) return give_back(f, ce, kR64System);
  }
  return 0;
}

}  // namespace r64_internal
