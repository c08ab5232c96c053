// File offset of the table entry of the rectangle that holds pixel (w, h) of a level: entries run
// level by level, rows top to bottom, columns left to right. The caller passes a pixel inside an
// existing level.
#include "r64.hpp"
#include "u_math.hpp"

unsigned int get_tbl_ofs(CR_FILE* f, int w, int h, int level) {
  int side = f->header.rect_size;
  unsigned int columns = static_cast<unsigned int>(ceil_div(f->level_w[level], side));
  unsigned int index = static_cast<unsigned int>(f->level_entry[level]) + static_cast<unsigned int>(h / side) * columns +
                       static_cast<unsigned int>(w / side);
  return kCrHeaderBytes + kCrEntryBytes * index;
}
