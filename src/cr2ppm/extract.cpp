// "-x" and "-xr": a level, or a region of it clipped to the level, rebuilt and written as a P6
// image of maximum 255. The image goes out a few rows at a time, so memory holds the rebuilt
// bands of the levels and those rows, never the whole picture; it is written beside the target
// and replaces it only once complete.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cr2ppm.hpp"
#include "fd_io.hpp"
#include "ppmlib_types.hpp"
#include "replace_file.hpp"

namespace cr2ppm {

namespace {

// Rows go out in writes of about this many bytes: small enough that the rows just rebuilt are
// still in the processor's cache when the system copies them.
constexpr size_t kWriteBytes = 128 * 1024;

struct Region {
  int x, y, w, h;
};

[[noreturn]] void fail_output(const char* out_name) {
  fail("cannot write \"%s\": %s\n", out_name, std::strerror(errno));
}

void write_image(CR_FILE* f, const char* cr_name, int level, Region r, const char* out_name) {
  ReplacingFile out;
  if (out.open(out_name, 0644) < 0) fail_output(out_name);
  PPM_INFO header{};
  header.pi_fd = out.fd();
  header.pi_width = static_cast<unsigned>(r.w);
  header.pi_height = static_cast<unsigned>(r.h);
  header.pi_max = 255;
  if (write_header(&header) < 0) fail_output(out_name);

  CR_REBUILDER* rb = cr_rebuild_open_with(f, worker_threads);
  if (rb == nullptr) fail("out of memory rebuilding \"%s\"\n", cr_name);
  size_t row_bytes = 3 * static_cast<size_t>(r.w);
  int rows_per_write = static_cast<int>(std::max<size_t>(1, kWriteBytes / row_bytes));
  std::vector<unsigned char> rows(row_bytes * rows_per_write);
  int side = f->header.rect_size;
  for (int y = r.y; y < r.y + r.h; y += rows_per_write) {
    int h = std::min(rows_per_write, r.y + r.h - y);
    if (cr_rebuild_region(rows.data(), rb, r.x, y, r.w, h, level) < 0) fail_rebuild(rb, cr_name);
    if (!fd_io::write_all(out.fd(), rows.data(), row_bytes * h)) fail_output(out_name);
    if ((y + h) % side < h || y + h == r.y + r.h) std::printf("h = %i/%i   \r", y + h - r.y, r.h);
  }
  cr_rebuild_close(rb);
  if (!out.commit()) fail_output(out_name);
  std::printf("\n");
}

void run(const char* cr_name, int level, Region wanted, bool clip, const char* out_name) {
  if (same_file(cr_name, out_name)) fail("the output \"%s\" is the CR file being read\n", out_name);
  CR_FILE* f = open_cr(cr_name);
  check_level(f, level, cr_name);
  int lw = f->level_w[level], lh = f->level_h[level];
  Region r = wanted;
  if (clip) {
    long x0 = std::max<long>(wanted.x, 0), y0 = std::max<long>(wanted.y, 0);
    long x1 = std::min<long>(static_cast<long>(wanted.x) + wanted.w, lw);
    long y1 = std::min<long>(static_cast<long>(wanted.y) + wanted.h, lh);
    if (x1 <= x0 || y1 <= y0)
      fail("the region %i x %i at (%i, %i) lies outside level %i (%i x %i)\n", wanted.w, wanted.h, wanted.x,
           wanted.y, level, lw, lh);
    r = Region{static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0), static_cast<int>(y1 - y0)};
  }
  std::printf("level %i of \"%s\": %i x %i at (%i, %i) to \"%s\"\n", level, cr_name, r.w, r.h, r.x, r.y, out_name);
  std::fflush(stdout);
  write_image(f, cr_name, level, r, out_name);
  cr_close_file(f);
}

}  // namespace

void extract(const char* cr_name, int level, int x, int y, int w, int h, const char* out_name) {
  run(cr_name, level, Region{x, y, w, h}, true, out_name);
}

void extract_level(const char* cr_name, int level, const char* out_name) {
  run(cr_name, level, Region{0, 0, kMaxSide + 1, kMaxSide + 1}, true, out_name);
}

}  // namespace cr2ppm
