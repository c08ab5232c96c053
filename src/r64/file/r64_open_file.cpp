// Opens or creates an R64 file: reads (or, for an empty read-write file, writes) the 8-byte
// big-endian header, derives the level table and allocates every tile buffer of the cache at once.
#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "change_endian.hpp"
#include "fd_io.hpp"
#include "r64_tile.hpp"

using namespace r64_internal;

namespace {

struct HandleRelease {
  void operator()(R64_FILE* f) const {
    for (int i = 1; i < kCacheSlots; ++i) std::free(f->cache[i].buf);
    if (f->fd >= 0) ::close(f->fd);
    std::free(f);
  }
};
using HandleOwner = std::unique_ptr<R64_FILE, HandleRelease>;

R64_FILE* refuse(int code) {
  fail(code);
  return nullptr;
}

bool valid_side(int side) { return side >= 1 && side <= kMaxSide; }

// Writes the header of a new file; false, errno set, when it cannot be written whole.
bool write_new_header(int fd, char filetype, int width, int height) {
  R64_HEADER header{{'R', '6', '4'}, filetype, static_cast<int16_t>(width), static_cast<int16_t>(height)};
  change_endian_16(&header.width);
  change_endian_16(&header.height);
  return fd_io::seek_to(fd, 0) && fd_io::write_all(fd, &header, sizeof header);
}

bool usable_header(const R64_HEADER& header) {
  if (std::memcmp(header.preamble, "R64", 3) != 0) return false;
  return header.type == 'B' || header.type == 'G' || header.type == 'P';
}

bool allocate_tile_buffers(R64_FILE* f) {
  int bytes = tile_buffer_bytes(f->header.type);
  for (int i = 1; i < ent_len; ++i) {
    f->cache[i].buf = static_cast<unsigned char*>(std::malloc(bytes));
    if (f->cache[i].buf == nullptr) return false;
    f->cache[i].next = i + 1 < ent_len ? &f->cache[i + 1] : nullptr;
  }
  f->free_list = ent_len > 1 ? &f->cache[1] : nullptr;
  // The head never holds a tile: level -1 and no extent make every lookup miss it.
  R64_CACHE_ENT* head = &f->cache[0];
  head->next = head->prev = head;
  head->level = -1;
  head->w_len = head->h_len = 0;
  return true;
}

void fill_level_table(R64_FILE* f) {
  int w = f->header.width;
  int h = f->header.height;
  unsigned int offset = sizeof(R64_HEADER);
  for (int k = 0; k < kLevels && w >= 3 && h >= 3; ++k) {
    f->level_ofs[k] = offset;
    f->level_w[k] = w;
    f->level_h[k] = h;
    offset += level_bytes(f->header.type, w, h);
    w = half_up(w);
    h = half_up(h);
  }
}

}  // namespace

R64_FILE* r64_open_file(const char* filename, int ctl, int mode, char filetype, int width, int height) {
  int fd = fd_io::open_retrying(filename, ctl, mode);
  if (fd < 0) return refuse(kR64System);
  fd_io::Descriptor descriptor(fd);

  HandleOwner f(static_cast<R64_FILE*>(std::calloc(1, sizeof(R64_FILE))));
  if (!f) return refuse(kR64Memory);
  f->fd = descriptor.release();

  ssize_t got = fd_io::read_upto(f->fd, &f->header, sizeof f->header);
  if (got < 0) return refuse(kR64System);
  if (got != static_cast<ssize_t>(sizeof f->header)) {
    if (got != 0 || (ctl & O_RDWR) == 0) return refuse(kR64Short);
    // A new file: its sizes must fit the header's signed 16-bit fields.
    bool fits = (width == 0 || valid_side(width)) && (height == 0 || valid_side(height));
    if (!fits) return refuse(kR64NotR64);
    if (!write_new_header(f->fd, filetype, width, height)) return refuse(kR64System);
    f->header = R64_HEADER{{'R', '6', '4'}, filetype, static_cast<int16_t>(width), static_cast<int16_t>(height)};
  } else {
    change_endian_16(&f->header.width);
    change_endian_16(&f->header.height);
  }
  if (!usable_header(f->header)) return refuse(kR64NotR64);
  if (!allocate_tile_buffers(f.get())) return refuse(kR64Memory);
  f->fctl = ctl & O_RDWR;
  if (f->header.width == 0 || f->header.height == 0) return refuse(kR64NotR64);

  fill_level_table(f.get());
  // Every handle starts with defined edge answers: reads beyond a level take its nearest edge
  // pixel, and new tiles and gaps are black.
  f->rc_type = 1;
  return f.release();
}
