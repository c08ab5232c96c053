// Fills a new front slot with the tile that holds a pixel: read from the file when the file reaches
// it, otherwise created from the background and marked dirty (read-write handles only). A slot whose
// load fails goes back to the free list, so no lookup finds a half-loaded tile.
#include <algorithm>
#include <cstring>

#include "r64_io.hpp"
#include "r64_tile.hpp"

namespace r64_internal {
namespace {

void fill_with_background(const R64_FILE* f, unsigned char* buf) {
  int bytes = tile_buffer_bytes(f->header.type);
  if (f->header.type != 'P') {
    std::memset(buf, static_cast<unsigned char>(f->background[0]), bytes);
    return;
  }
  // One pixel, then the filled part copied behind itself until the buffer is full: every copy
  // is a whole number of pixels.
  std::memcpy(buf, f->background, 3);
  for (int filled = 3; filled < bytes; filled *= 2) std::memcpy(buf + filled, buf, std::min(filled, bytes - filled));
}

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
  ce->flags = 0;
  ce->level = static_cast<signed char>(level);
  ce->w_ofs = w - w % kTileSide;
  ce->h_ofs = h - h % kTileSide;
  ce->w_len = static_cast<signed char>(std::min(kTileSide, f->level_w[level] - ce->w_ofs));
  ce->h_len = static_cast<signed char>(std::min(kTileSide, f->level_h[level] - ce->h_ofs));

  off_t length = file_length(f->fd);
  if (length < 0) return give_back(f, ce, kR64System);
  unsigned int offset = tile_offset(f, level, ce->w_ofs, ce->h_ofs, ce->h_len);
  off_t bytes = tile_bytes(f->header.type, ce->w_len, ce->h_len);
  if (static_cast<off_t>(offset) + bytes <= length) {
    if (!seek_to(f->fd, offset) || !read_exact(f->fd, ce->buf, static_cast<size_t>(bytes))) return give_back(f, ce, kR64System);
    return 0;
  }
  if (f->fctl == 0) return give_back(f, ce, static_cast<off_t>(offset) < length ? kR64Short : kR64ReadOnly);
  fill_with_background(f, ce->buf);
  ce->flags |= kDirty;
  // A tile the file holds only part of (a run cut short) keeps what is there; the write-back
  // completes it.
  if (static_cast<off_t>(offset) < length) {
    ssize_t got = seek_to(f->fd, offset) ? read_upto(f->fd, ce->buf, static_cast<size_t>(length - offset)) : -1;
    if (got < 0) return give_back(f, ce, kR64System);
  }
  return 0;
}

}  // namespace r64_internal
