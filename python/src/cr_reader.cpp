// Reading CR files for Python through the library's rebuilder, with the messages cr2ppm prints.
// A handle keeps its rebuilder between small reads, so that neighbouring rectangles read one by
// one share their ancestors; a read over several rows of rectangles starts it afresh afterwards,
// so that a handle does not hold a whole level's band of rectangles once it is done.
#include "cr_reader.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

#include "r64_info.hpp"
#include "tool_status.hpp"

CrReader::~CrReader() { close(); }

Failure CrReader::open(const std::string& path, std::unique_ptr<CrReader>* reader) {
  CR_FILE* f = cr_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0);
  if (f == nullptr) {
    const int code = r64_error;
    const int error = errno;
    if (code == kR64Memory) return memory_failure(text("out of memory opening \"%s\"", path.c_str()));
    return coded_failure(code, error, describe_cr_open_failure(path.c_str()));
  }
  reader->reset(new CrReader(path, f));
  return (*reader)->fresh_rebuilder();
}

void CrReader::close() {
  if (rb_ != nullptr) cr_rebuild_close(rb_);
  rb_ = nullptr;
  if (f_ != nullptr) cr_close_file(f_);
  f_ = nullptr;
}

std::vector<std::pair<int, int>> CrReader::level_sizes() const {
  std::vector<std::pair<int, int>> sizes;
  for (int level = 0; level < kLevels && cr_check_level(f_, level); ++level)
    sizes.emplace_back(f_->level_w[level], f_->level_h[level]);
  return sizes;
}

Failure CrReader::closed_failure() const {
  return argument_failure(text("the CR file \"%s\" is closed", path_.c_str()));
}

Failure CrReader::check_level(int level) const {
  if (closed()) return closed_failure();
  if (level >= 0 && level < kLevels && cr_check_level(f_, level)) return {};
  const char* name = path_.c_str();
  int levels = static_cast<int>(level_sizes().size());
  if (levels == 0) return file_failure(text("\"%s\" holds no level: its image is too small", name));
  return argument_failure(text("level %i does not exist in \"%s\" (levels 0 to %i)", level, name, levels - 1));
}

Failure CrReader::clip(int level, Region wanted, Region* clipped) const {
  if (Failure failure = check_level(level)) return failure;
  if (wanted.w < 1 || wanted.h < 1) return argument_failure(text("invalid region size %i x %i", wanted.w, wanted.h));
  int lw = f_->level_w[level], lh = f_->level_h[level];
  long x0 = std::max<long>(wanted.x, 0), y0 = std::max<long>(wanted.y, 0);
  long x1 = std::min<long>(static_cast<long>(wanted.x) + wanted.w, lw);
  long y1 = std::min<long>(static_cast<long>(wanted.y) + wanted.h, lh);
  if (x1 <= x0 || y1 <= y0)
    return argument_failure(text("the region %i x %i at (%i, %i) lies outside level %i (%i x %i)", wanted.w, wanted.h,
                                 wanted.x, wanted.y, level, lw, lh));
  *clipped = Region{static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0), static_cast<int>(y1 - y0)};
  return {};
}

Failure CrReader::rectangle(int level, int column, int row, Region* rect) const {
  if (Failure failure = check_level(level)) return failure;
  int side = rect_size();
  int columns = (f_->level_w[level] + side - 1) / side, rows = (f_->level_h[level] + side - 1) / side;
  if (column < 0 || row < 0 || column >= columns || row >= rows)
    return argument_failure(text("rectangle (%i, %i) lies outside level %i (%i x %i rectangles)", column, row, level,
                                 columns, rows));
  int x = column * side, y = row * side;
  *rect = Region{x, y, std::min(side, f_->level_w[level] - x), std::min(side, f_->level_h[level] - y)};
  return {};
}

Failure CrReader::fresh_rebuilder() {
  if (rb_ != nullptr) cr_rebuild_close(rb_);
  rb_ = cr_rebuild_open(f_);
  if (rb_ == nullptr) return memory_failure(text("out of memory rebuilding \"%s\"", path_.c_str()));
  return {};
}

Failure CrReader::rebuild_failure() const {
  const int code = r64_error;
  const int error = errno;
  return coded_failure(code, error, describe_rebuild_failure(rb_, path_.c_str()));
}

Failure CrReader::read(int level, Region r, unsigned char* rgb) {
  if (Failure failure = check_level(level)) return failure;
  if (rb_ == nullptr) {
    if (Failure failure = fresh_rebuilder()) return failure;
  }
  Failure outcome;
  if (cr_rebuild_region(rgb, rb_, r.x, r.y, r.w, r.h, level) < 0) outcome = rebuild_failure();
  const int side = rect_size();
  bool several_rows = r.y / side != (r.y + r.h - 1) / side;
  if (outcome || several_rows) {
    cr_rebuild_close(rb_);  // a failed rebuilder may hold a partial band; a large read a whole one
    rb_ = nullptr;
  }
  return outcome;
}

Failure CrReader::quality(const std::string& r64_path, std::vector<int> levels, std::vector<LevelQuality>* report) {
  if (closed()) return closed_failure();
  if (levels.empty())
    for (int level = 0; level < static_cast<int>(level_sizes().size()); ++level) levels.push_back(level);
  for (int level : levels)
    if (Failure failure = check_level(level)) return failure;
  R64_FILE* r64 = nullptr;
  if (Failure failure = open_r64(r64_path, &r64)) return failure;
  const char* name = r64_path.c_str();
  Failure outcome;
  if (r64->header.width != width() || r64->header.height != height())
    outcome = file_failure(text("\"%s\" is %i x %i but \"%s\" is %i x %i", name, r64->header.width, r64->header.height,
                                path_.c_str(), width(), height()));
  for (size_t i = 0; i < levels.size() && !outcome; ++i) {
    const int level = levels[i];
    if (rb_ == nullptr && (outcome = fresh_rebuilder())) break;
    LevelQuality q{level, f_->level_w[level], f_->level_h[level], {}};
    if (cr_rebuild_quality(&q.quality, rb_, r64, level) == 0) {
      report->push_back(q);
      continue;
    }
    if (r64_error == kR64ReadOnly || r64_error == kR64NoLevel)
      outcome = file_failure(text("level %i of \"%s\" has not been built", level, name));
    else
      outcome = rebuild_failure();
  }
  r64_close_file(r64);
  if (rb_ != nullptr) cr_rebuild_close(rb_);  // a whole level's band
  rb_ = nullptr;
  return outcome;
}
