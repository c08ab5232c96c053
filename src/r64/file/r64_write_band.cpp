// Writes a band of level 0 straight into its place in the file. The tiles of a row of tiles lie
// side by side, each one row after row, so the band goes out as its rows' pieces in that order,
// gathered by the system from the band itself: nothing is copied and the tile cache stays out of
// the way.
#include <sys/uio.h>

#include <algorithm>
#include <vector>

#include "r64_band.hpp"
#include "r64_io.hpp"
#include "r64_tile.hpp"

using namespace r64_internal;

namespace {

constexpr int kPixelBytes = 3;

bool whole_row_of_tiles(const R64_FILE* f, int top, int rows) {
  int height = f->level_h[0];
  return top >= 0 && top % kTileSide == 0 && top < height && rows == std::min(kTileSide, height - top);
}

}  // namespace

int r64_write_band(R64_FILE* f, const unsigned char* rgb, int top, int rows) {
  if (f->header.type != 'P') return fail(kR64NotR64);
  if (!whole_row_of_tiles(f, top, rows)) return fail(kR64Position);
  const int width = f->level_w[0];
  std::vector<iovec> pieces;
  pieces.reserve(static_cast<size_t>(ceil_div(width, kTileSide)) * static_cast<size_t>(rows));
  for (int left = 0; left < width; left += kTileSide) {
    size_t bytes = static_cast<size_t>(std::min(kTileSide, width - left)) * kPixelBytes;
    for (int y = 0; y < rows; ++y) {
      const unsigned char* piece = rgb + (static_cast<size_t>(y) * width + left) * kPixelBytes;
      pieces.push_back(iovec{const_cast<unsigned char*>(piece), bytes});  // only read by the system
    }
  }
  off_t offset = f->level_ofs[0] + static_cast<off_t>(top) * width * kPixelBytes;
  if (!write_pieces_at(f->fd, pieces, offset)) return fail(kR64System);
  return 0;
}
