// Tile geometry of an R64 level, computed here only, the internal calls of the tile cache and the
// reads of tiles straight from the file. Only the R64 layer's own files include this header.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>

#include "r64.hpp"
#include "r64_fail.hpp"
#include "u_math.hpp"

namespace r64_internal {

// Bytes of one pixel row of a 64-pixel-wide tile: 192 for 'P', 64 for 'G', 8 for 'B'.
inline int tile_row_bytes(char type) { return type == 'P' ? 3 * kTileSide : type == 'G' ? kTileSide : kTileSide / 8; }

// Bytes of one full pixel row of a level w pixels wide.
inline unsigned int level_row_bytes(char type, int w) {
  return type == 'P' ? 3u * w : type == 'G' ? static_cast<unsigned>(w) : static_cast<unsigned>(ceil_div(w, 8));
}

// Bytes reserved for a whole level: 'B' reserves one byte per pixel, of which its tiles use
// ceil(w / 8) per row.
inline unsigned int level_bytes(char type, int w, int h) {
  unsigned pixels = static_cast<unsigned>(w) * static_cast<unsigned>(h);
  return type == 'P' ? 3u * pixels : pixels;
}

// Bytes the tiles of a whole level fill from its start: all of its region, except in 'B' files,
// whose tiles fill ceil(w / 8) bytes a row of the w bytes a row reserved.
inline unsigned int level_tile_bytes(char type, int w, int h) {
  return static_cast<unsigned int>(h) * level_row_bytes(type, w);
}

inline int tile_buffer_bytes(char type) { return type == 'P' ? kTileBytesP : type == 'G' ? kTileBytesG : kTileBytesB; }

// Fills `bytes` bytes with the handle's background pattern: the background pixel repeated ('P'),
// or its first byte; `phase` bytes into the pattern (bytes from a pixel boundary).
inline void fill_background_pattern(const R64_FILE* f, unsigned char* buf, size_t bytes, size_t phase = 0) {
  if (f->header.type != 'P') {
    std::memset(buf, static_cast<unsigned char>(f->background[0]), bytes);
    return;
  }
  for (; phase % 3 != 0 && bytes > 0; ++phase, --bytes) *buf++ = static_cast<unsigned char>(f->background[phase % 3]);
  if (bytes == 0) return;
  // One pixel, then the filled part copied behind itself: every copy is a whole number of pixels.
  std::memcpy(buf, f->background, std::min<size_t>(3, bytes));
  for (size_t filled = 3; filled < bytes; filled *= 2) std::memcpy(buf + filled, buf, std::min(filled, bytes - filled));
}

// Bytes of one row of a tile w_len pixels wide, as stored.
inline int tile_stride(char type, int w_len) { return type == 'P' ? 3 * w_len : type == 'G' ? w_len : ceil_div(w_len, 8); }

inline int tile_bytes(char type, int w_len, int h_len) { return tile_stride(type, w_len) * h_len; }

// File offset of the tile whose top-left pixel is (w_ofs, h_ofs) of `level`.
inline unsigned int tile_offset(const R64_FILE* f, int level, int w_ofs, int h_ofs, int h_len) {
  char type = f->header.type;
  return f->level_ofs[level] + static_cast<unsigned>(h_ofs) * level_row_bytes(type, f->level_w[level]) +
         static_cast<unsigned>(w_ofs / kTileSide) * static_cast<unsigned>(h_len) * tile_row_bytes(type);
}

// Tiles in a row of tiles of `level`.
inline int tiles_across(const R64_FILE* f, int level) { return ceil_div(f->level_w[level], kTileSide); }

// A tile of a level: its top-left pixel, its size and where the file holds it.
struct TilePlace {
  int w_ofs, h_ofs, w_len, h_len;
  unsigned int offset;
  int stride;  // bytes of one of its rows

  int bytes() const { return stride * h_len; }
  unsigned int end() const { return offset + static_cast<unsigned int>(bytes()); }
};

// The tile of `level` that holds pixel (x, y) of the level.
inline TilePlace tile_place(const R64_FILE* f, int level, int x, int y) {
  TilePlace t;
  t.w_ofs = x - x % kTileSide;
  t.h_ofs = y - y % kTileSide;
  t.w_len = std::min(kTileSide, f->level_w[level] - t.w_ofs);
  t.h_len = std::min(kTileSide, f->level_h[level] - t.h_ofs);
  t.offset = tile_offset(f, level, t.w_ofs, t.h_ofs, t.h_len);
  t.stride = tile_stride(f->header.type, t.w_len);
  return t;
}

inline bool inside_level(const R64_FILE* f, int w, int h, int level) {
  return static_cast<unsigned>(w) < static_cast<unsigned>(f->level_w[level]) &&
         static_cast<unsigned>(h) < static_cast<unsigned>(f->level_h[level]);
}

inline bool laid_out(const R64_FILE* f, int level) {
  return static_cast<unsigned>(level) < static_cast<unsigned>(kLevels) && f->level_ofs[level] != 0;
}

inline bool tile_holds(const R64_CACHE_ENT* ce, int w, int h, int level) {
  return ce->level == level && static_cast<unsigned>(w - ce->w_ofs) < static_cast<unsigned>(ce->w_len) &&
         static_cast<unsigned>(h - ce->h_ofs) < static_cast<unsigned>(ce->h_len);
}

// The tile cache.
int _search_ce(R64_FILE* f, int w, int h, int level);
int _new_ce(R64_FILE* f);
int _r64_read(R64_FILE* f, int w, int h, int level);
int _r64_flush(R64_FILE* f, R64_CACHE_ENT* ce);
int _fill_background(R64_FILE* f, off_t len);

// The rest of find_tile, kept out of line so that the test of the newest tile inlines cheaply.
R64_CACHE_ENT* find_older_tile(R64_FILE* f, int w, int h, int level);

// The tile that holds (w, h) of `level`, now the newest in the ring, or null with r64_error set.
// The newest tile is looked at first, so runs of pixels in one tile cost no walk.
[[gnu::always_inline]] inline R64_CACHE_ENT* find_tile(R64_FILE* f, int w, int h, int level) {
  R64_CACHE_ENT* front = f->cache[0].next;
  if (tile_holds(front, w, h, level)) [[likely]]
    return front;
  return find_older_tile(f, w, h, level);
}

// Rows of tiles straight from the file, past the cache, for any thread (r64_tile_row.cpp). The
// cache must hold nothing newer than the file for the tiles read (a read-only handle, or one just
// written back). What the file does not hold of a tile is answered as the cache answers it: a
// read-write handle reads the background over what the file holds; a read-only handle fails with
// -4 (a tile cut short) or -6 (a tile wholly beyond the end), for the first such tile that reading
// pixels column by column would meet.

// Reads the whole tile `tile` as the file stores it into `into` (tile.bytes()). 0, or -1 with
// r64_error set.
int read_tile(const R64_FILE* f, const TilePlace& tile, unsigned char* into);

// A rectangle of pixels of a level, wholly inside it.
struct PixelArea {
  int x, y, w, h;
};

// Bytes of scratch that read_pixels needs to read each row of tiles of an area `w` pixels wide with
// one positional read (less makes it read tile by tile).
constexpr size_t tile_row_scratch_bytes(int w) { return static_cast<size_t>(w / kTileSide + 2) * kTileBytesP; }

// Reads the pixels of `area` of `level` as 4-byte pixels (red, green, blue, 0; one-byte pixels
// serve as all three, a bit as 0 or 255) into `out`, rows `out_stride` pixels apart, with
// `scratch` (at least kTileBytesP bytes) for the tiles' bytes. 0, or -1 with r64_error set.
int read_pixels(const R64_FILE* f, int level, const PixelArea& area, unsigned char* out, size_t out_stride,
                std::span<unsigned char> scratch);

// Index of pixel (w, h) in a tile buffer, counted in pixels for 'P' and 'G'.
inline int pixel_index(const R64_CACHE_ENT* ce, int w, int h) { return (h - ce->h_ofs) * ce->w_len + (w - ce->w_ofs); }

// Byte and bit of pixel (w, h) in a 'B' tile buffer.
inline int bit_byte(const R64_CACHE_ENT* ce, int w, int h) {
  return (h - ce->h_ofs) * ceil_div(ce->w_len, 8) + (w - ce->w_ofs) / 8;
}
inline unsigned char bit_mask(int w) { return static_cast<unsigned char>(0x80u >> (w % 8)); }

// Ring links.
inline void unlink_slot(R64_CACHE_ENT* ce) {
  ce->prev->next = ce->next;
  ce->next->prev = ce->prev;
}

inline void link_front(R64_FILE* f, R64_CACHE_ENT* ce) {
  R64_CACHE_ENT* head = &f->cache[0];
  ce->next = head->next;
  ce->prev = head;
  head->next->prev = ce;
  head->next = ce;
}

}  // namespace r64_internal
