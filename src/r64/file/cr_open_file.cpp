// Opens a CR file, or creates one laid out in full: the header and a table of empty entries, so
// that the file reads correctly at any moment. The level table is always recomputed from the header.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "change_endian.hpp"
#include "cr_internal.hpp"
#include "malloc_ptr.hpp"

namespace {

using cr_internal::fail;

constexpr char kPreamble[3] = {'C', 'R', '\0'};
constexpr size_t kZeroChunkEntries = 4096;  // the empty table is written this many entries at a time

using HandlePtr = MallocPtr<CR_FILE>;
using fd_io::Descriptor;
using fd_io::open_retrying;

void header_to_file_order(CR_HEADER* header) {
  change_endian_16(&header->h.width);
  change_endian_16(&header->h.height);
  change_endian_16(&header->rect_size);
  change_endian_32(&header->cr_tbl_nos);
}

// Writes the header and the empty table of a new file, `entries` long.
bool lay_out_new_file(int fd, const CR_HEADER& header, unsigned int entries) {
  CR_HEADER on_disk = header;
  on_disk.cr_tbl_nos = entries;
  header_to_file_order(&on_disk);
  if (!fd_io::seek_to(fd, 0) || !fd_io::write_all(fd, &on_disk, sizeof on_disk)) return false;
  static const unsigned char zeros[kZeroChunkEntries * kCrEntryBytes] = {};
  for (size_t left = entries; left > 0;) {
    size_t entries = std::min(left, kZeroChunkEntries);
    if (!fd_io::write_all(fd, zeros, entries * kCrEntryBytes)) return false;
    left -= entries;
  }
  return true;
}

// Fills the header of a new file from the creation arguments and writes its layout.
int create_layout(CR_FILE* f, int rect_size, int width, int height) {
  CR_HEADER& header = f->header;
  header = CR_HEADER{};
  std::memcpy(header.h.preamble, kPreamble, sizeof kPreamble);
  header.h.width = static_cast<int16_t>(width);
  header.h.height = static_cast<int16_t>(height);
  header.rect_size = static_cast<unsigned short>(rect_size);
  int64_t entries = cr_internal::table_layout_entries(f);
  if (entries < 0) return -1;
  if (!lay_out_new_file(f->fd, header, static_cast<unsigned int>(entries))) return fail(kR64System);
  f->write_ofs = static_cast<unsigned int>(kCrHeaderBytes + kCrEntryBytes * entries);
  return 0;
}

// Takes the header of an existing file; blocks written later are appended at its end.
int adopt_existing(CR_FILE* f) {
  header_to_file_order(&f->header);  // the conversion is its own inverse: file order to host order
  off_t end = lseek(f->fd, 0, SEEK_END);
  if (end < 0) return fail(kR64System);
  f->write_ofs = static_cast<unsigned int>(end);
  return 0;
}

// The reader's ring starts empty, with every slot on the free list in slot order.
void init_ring(CR_FILE* f) {
  CR_ENT* head = &f->cache[0];
  head->next = head;
  head->prev = head;
  f->free_list = ent_len > 1 ? &f->cache[1] : nullptr;
  for (int i = 1; i < ent_len; ++i) {
    f->cache[i].next = i + 1 < ent_len ? &f->cache[i + 1] : nullptr;
    f->cache[i].b.buf = nullptr;
  }
}

}  // namespace

CR_FILE* cr_open_file(const char* filename, int ctl, int mode, int rect_size, int width, int height) {
  Descriptor fd(open_retrying(filename, ctl, mode));
  if (fd.get() < 0) {
    fail(kR64System);
    return nullptr;
  }
  HandlePtr f(static_cast<CR_FILE*>(std::calloc(1, sizeof(CR_FILE))));
  if (!f) {
    r64_error = kR64Memory;
    return nullptr;
  }
  f->fd = fd.get();

  long got = fd_io::read_upto(f->fd, &f->header, sizeof f->header);
  bool read_write = (ctl & O_ACCMODE) == O_RDWR;
  if (got < 0) {
    fail(kR64System);
    return nullptr;
  }
  if (got == kCrHeaderBytes) {
    if (adopt_existing(f.get()) < 0) return nullptr;
  } else if (got == 0 && read_write) {
    if (create_layout(f.get(), rect_size, width, height) < 0) return nullptr;
  } else {
    r64_error = kR64Short;
    return nullptr;
  }

  if (std::memcmp(f->header.h.preamble, kPreamble, sizeof kPreamble) != 0) {
    r64_error = kR64NotR64;
    return nullptr;
  }
  f->header.h.type = 0;
  init_ring(f.get());
  f->fctl = ctl & O_RDWR;
  if (get_cr_tbl_nos(f.get()) < 0) return nullptr;  // the stored count is never trusted
  if (f->write_ofs < kCrHeaderBytes + static_cast<uint64_t>(kCrEntryBytes) * f->header.cr_tbl_nos) {
    r64_error = kR64Short;  // an existing file cut inside its table
    return nullptr;
  }
  fd.release();
  return f.release();
}
