// "-info": the image's size and rectangle size, then for each level its size, how many of its
// rectangles have a block, the bytes of those blocks and how many are JPEG ('j') or plain ('n').
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cr2ppm.hpp"
#include "u_math.hpp"

namespace cr2ppm {

namespace {

struct LevelCounts {
  unsigned present = 0;
  unsigned long long bytes = 0;
  unsigned jpeg = 0;
  unsigned plain = 0;
};

TOOL_STATUS count_level(CR_FILE* f, int level, const char* name, LevelCounts* level_counts) {
  int side = f->header.rect_size;
  unsigned laid_out = static_cast<unsigned>(ceil_div(f->level_w[level], side) * ceil_div(f->level_h[level], side));
  std::vector<CR_TBL> entries(laid_out);
  if (cr_read_tbl(entries.data(), f, static_cast<unsigned>(f->level_entry[level]), laid_out) < 0)
    return tool_failure("cannot read the table of \"%s\": %s\n", name,
                        r64_error == kR64Short ? "it is cut short" : std::strerror(errno));
  LevelCounts& counts = *level_counts;
  for (const CR_TBL& e : entries) {
    if (e.ofs == 0 || e.size == 0) continue;
    ++counts.present;
    counts.bytes += e.size;
    counts.jpeg += e.type == 'j';
    counts.plain += e.type == 'n';
  }
  return {};
}

}  // namespace

TOOL_STATUS info(const char* cr_name) {
  CrHandle f;
  if (TOOL_STATUS opened = open_cr(cr_name, &f); opened.failed()) return opened;
  int side = f->header.rect_size;
  std::printf("%s: %i x %i pixels, rectangles of %i, %u table entries\n", cr_name, f->header.h.width,
              f->header.h.height, side, f->header.cr_tbl_nos);
  for (int level = 0; cr_check_level(f.get(), level); ++level) {
    LevelCounts counts;
    if (TOOL_STATUS counted = count_level(f.get(), level, cr_name, &counts); counted.failed()) return counted;
    int laid_out = ceil_div(f->level_w[level], side) * ceil_div(f->level_h[level], side);
    std::printf("level %i: %i x %i, %u of %i rectangles, %llu bytes, %u j, %u n\n", level, f->level_w[level],
                f->level_h[level], counts.present, laid_out, counts.bytes, counts.jpeg, counts.plain);
  }
  std::fflush(stdout);
  return {};
}

}  // namespace cr2ppm
