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

TOOL_STATUS output_failure(const char* out_name) {
  return tool_failure("cannot write \"%s\": %s\n", out_name, std::strerror(errno));
}

TOOL_STATUS write_image(CR_FILE* f, const char* cr_name, int level, Region r, const char* out_name) {
  ReplacingFile out;
  if (out.open(out_name, 0644) < 0) return output_failure(out_name);
  PPM_INFO header{};
  header.pi_fd = out.fd();
  header.pi_width = static_cast<unsigned>(r.w);
  header.pi_height = static_cast<unsigned>(r.h);
  header.pi_max = 255;
  if (write_header(&header) < 0) return output_failure(out_name);

  Rebuilder rb;
  if (TOOL_STATUS opened = open_rebuilder(f, cr_name, &rb); opened.failed()) return opened;
  size_t row_bytes = 3 * static_cast<size_t>(r.w);
  int rows_per_write = static_cast<int>(std::max<size_t>(1, kWriteBytes / row_bytes));
  std::vector<unsigned char> rows(row_bytes * rows_per_write);
  int side = f->header.rect_size;
  for (int y = r.y; y < r.y + r.h; y += rows_per_write) {
    int h = std::min(rows_per_write, r.y + r.h - y);
    if (cr_rebuild_region(rows.data(), rb.get(), r.x, y, r.w, h, level) < 0) return rebuild_failure(rb.get(), cr_name);
    if (!fd_io::write_all(out.fd(), rows.data(), row_bytes * h)) return output_failure(out_name);
    if ((y + h) % side < h || y + h == r.y + r.h) std::printf("h = %i/%i   \r", y + h - r.y, r.h);
  }
  rb.reset();
  if (!out.commit()) return output_failure(out_name);
  std::printf("\n");
  return {};
}

TOOL_STATUS run(const char* cr_name, int level, Region wanted, bool clip, const char* out_name) {
  if (same_file(cr_name, out_name)) return tool_failure("the output \"%s\" is the CR file being read\n", out_name);
  CrHandle f;
  if (TOOL_STATUS opened = open_cr(cr_name, &f); opened.failed()) return opened;
  if (TOOL_STATUS present = check_level(f.get(), level, cr_name); present.failed()) return present;
  int lw = f->level_w[level], lh = f->level_h[level];
  Region r = wanted;
  if (clip) {
    long x0 = std::max<long>(wanted.x, 0), y0 = std::max<long>(wanted.y, 0);
    long x1 = std::min<long>(static_cast<long>(wanted.x) + wanted.w, lw);
    long y1 = std::min<long>(static_cast<long>(wanted.y) + wanted.h, lh);
    if (x1 <= x0 || y1 <= y0)
      return tool_failure("the region %i x %i at (%i, %i) lies outside level %i (%i x %i)\n", wanted.w, wanted.h,
                          wanted.x, wanted.y, level, lw, lh);
    r = Region{static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0), static_cast<int>(y1 - y0)};
  }
  std::printf("level %i of \"%s\": %i x %i at (%i, %i) to \"%s\"\n", level, cr_name, r.w, r.h, r.x, r.y, out_name);
  std::fflush(stdout);
  return write_image(f.get(), cr_name, level, r, out_name);
}

}  // namespace

TOOL_STATUS extract(const char* cr_name, int level, int x, int y, int w, int h, const char* out_name) {
  return run(cr_name, level, Region{x, y, w, h}, true, out_name);
}

TOOL_STATUS extract_level(const char* cr_name, int level, const char* out_name) {
  return run(cr_name, level, Region{0, 0, kMaxSide + 1, kMaxSide + 1}, true, out_name);
}

}  // namespace cr2ppm
