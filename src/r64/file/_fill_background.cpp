// Extends the file at its current end with len bytes of the background pattern: the background
// pixel repeated, so every filled 'P' pixel is the background pixel.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fd_io.hpp"
#include "r64_tile.hpp"

namespace r64_internal {
namespace {

// A whole number of 'P' pixels, large enough that long gaps take few writes.
constexpr int kFillBlock = 999 * 64;

}  // namespace

int _fill_background(R64_FILE* f, off_t len) {
  std::array<unsigned char, kFillBlock> block;
  fill_background_pattern(f, block.data(), block.size());
  while (len > 0) {
    int part = static_cast<int>(std::min<off_t>(len, kFillBlock));
    if (!fd_io::write_all(f->fd, block.data(), part)) {
      int cause = errno;  // perror may change it; callers report the real cause
      std::perror("fill_background");
      errno = cause;
      return fail(kR64System);
    }
    len -= part;
  }
  return 0;
}

}  // namespace r64_internal
