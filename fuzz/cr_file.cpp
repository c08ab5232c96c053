// Opens the input bytes as a CR file, read-only, and reads table entries, blocks and rebuilt regions
// of every level, a bounded number of each. Entries must be the table's bytes, a block the bytes its
// entry names (or refused when the entry is empty or runs past the end), and a rebuilt region the
// pixels of the rectangles it covers; damaged files may fail, never crash, leak or hang, and no
// input makes the reader hold more than kMemoryBound at once.
#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "fuzz_support.hpp"
#include "r64/file/cr_internal.hpp"

namespace {

constexpr unsigned int kEntriesRead = 16;  // table entries read per level
constexpr int kRegionSide = 64;            // largest side of a rebuilt region
constexpr int kRegionRects = 4;            // and at most this many rectangles across it
constexpr size_t kMemoryBound = 64u << 20;

uint32_t big_endian_32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
int16_t big_endian_16(const uint8_t* p) { return static_cast<int16_t>(p[0] << 8 | p[1]); }

class Checker {
 public:
  Checker(CR_FILE* f, std::span<const uint8_t> input) : f_(f), input_(input), side_(f->header.rect_size) {}

  // The header the handle took, and a level table that the file's table holds.
  void check_header() const {
    FUZZ_CHECK(f_->header.h.width == big_endian_16(&input_[4]) && f_->header.h.height == big_endian_16(&input_[6]));
    FUZZ_CHECK(side_ >= 1 && side_ <= 256 && side_ == (input_[8] << 8 | input_[9]));
    FUZZ_CHECK(kCrHeaderBytes + static_cast<uint64_t>(kCrEntryBytes) * f_->header.cr_tbl_nos <= input_.size());
    for (int k = 0; k < kLevels; ++k) {
      if (!cr_check_level(f_, k)) continue;
      FUZZ_CHECK(k == 0 || cr_check_level(f_, k - 1));
      FUZZ_CHECK(f_->level_entry[k] >= 0 && static_cast<uint64_t>(f_->level_entry[k]) + rects(k) <= f_->header.cr_tbl_nos);
    }
  }

  void check_level(int k) {
    unsigned int count = static_cast<unsigned int>(std::min<uint64_t>(kEntriesRead, rects(k)));
    std::vector<CR_TBL> entries(count);
    auto first = static_cast<unsigned int>(f_->level_entry[k]);
    FUZZ_CHECK(cr_read_tbl(entries.data(), f_, first, count) == 0);
    for (unsigned int i = 0; i < count; ++i) check_entry(entries[i], first + i);

    for (auto [x, y] : spots(k, 1, 1)) check_block(k, x, y);
    CR_MEM_TBL block{};
    FUZZ_CHECK(cr_read(&block, f_, -1, 0, k) == -1 && cr_read(&block, f_, 0, f_->level_h[k], k) == -1);
  }

  void check_regions(CR_REBUILDER* rb, int k) {
    int w = std::min({kRegionSide, kRegionRects * side_, f_->level_w[k]});
    int h = std::min({kRegionSide, kRegionRects * side_, f_->level_h[k]});
    if (w < 1 || h < 1) return;
    for (auto [x, y] : spots(k, w, h)) check_region(rb, k, x, y, w, h);
  }

 private:
  int columns(int k) const { return (f_->level_w[k] + side_ - 1) / side_; }
  int rows(int k) const { return (f_->level_h[k] + side_ - 1) / side_; }
  uint64_t rects(int k) const {
    if (f_->level_w[k] < 1 || f_->level_h[k] < 1) return 0;
    return static_cast<uint64_t>(columns(k)) * static_cast<uint64_t>(rows(k));
  }

  // Top-left corners of w x h pieces inside level k: its corners and its middle.
  std::vector<std::pair<int, int>> spots(int k, int w, int h) const {
    int right = f_->level_w[k] - w, bottom = f_->level_h[k] - h;
    if (right < 0 || bottom < 0) return {};
    return {{0, 0}, {right, bottom}, {right / 2, bottom / 2}, {right, 0}};
  }

  void check_entry(const CR_TBL& entry, unsigned int index) const {
    const uint8_t* raw = &input_[kCrHeaderBytes + static_cast<size_t>(index) * kCrEntryBytes];
    FUZZ_CHECK(entry.ofs == big_endian_32(raw) && entry.type == static_cast<char>(raw[4]));
    FUZZ_CHECK(std::memcmp(entry.cal, raw + 5, 3) == 0 && entry.size == big_endian_32(raw + 8));
  }

  // The block of the rectangle holding (x, y): the bytes its entry names; -4 when the entry is
  // empty or the block would run past the end of the file, -5 when it is of no known kind or
  // longer than its rectangle can need (a plain block is exactly its size, a JPEG stream at least
  // takes 6 bytes a pixel).
  void check_block(int k, int x, int y) const {
    unsigned int index = static_cast<unsigned int>(f_->level_entry[k]) +
                         static_cast<unsigned int>((y / side_) * columns(k) + x / side_);
    CR_TBL entry;
    FUZZ_CHECK(cr_read_tbl(&entry, f_, index, 1) == 0);
    const int w = std::min(side_, f_->level_w[k] - x / side_ * side_);
    const int h = std::min(side_, f_->level_h[k] - y / side_ * side_);
    const uint64_t limit = cr_internal::block_bytes_limit(entry.type, w, h);
    FUZZ_CHECK(entry.type == 'n' ? limit == 2 + 3 * static_cast<uint64_t>(w) * h
                                 : (entry.type == 'j') == (limit >= 6 * static_cast<uint64_t>(w) * h));
    bool absent = entry.ofs == 0 || entry.size == 0;
    bool damaged = !absent && entry.size > limit;
    bool present = !absent && !damaged && static_cast<uint64_t>(entry.ofs) + entry.size <= input_.size();
    CR_MEM_TBL block{};
    int result = cr_read(&block, f_, x, y, k);
    if (!present) {
      FUZZ_CHECK(result == -1 && r64_error == (damaged ? kR64NotR64 : kR64Short));
      return;
    }
    FUZZ_CHECK(result == 0 && block.buf != nullptr);
    FUZZ_CHECK(block.size == entry.size && block.type == entry.type && std::memcmp(block.cal, entry.cal, 3) == 0);
    FUZZ_CHECK(std::memcmp(block.buf, &input_[entry.ofs], entry.size) == 0);
    std::free(block.buf);
  }

  // A rebuilt region is made of the rebuilt rectangles it covers; a failure names a rectangle of
  // the level or of one above it.
  void check_region(CR_REBUILDER* rb, int k, int x, int y, int w, int h) const {
    std::vector<uint8_t> rgb(3 * static_cast<size_t>(w) * h);
    if (cr_rebuild_region(rgb.data(), rb, x, y, w, h, k) < 0) {
      FUZZ_CHECK(r64_error == kR64NotR64 || r64_error == kR64Short || r64_error == kR64System ||
                 r64_error == kR64Memory);
      int level, w_ofs, h_ofs;
      cr_rebuild_failed_at(rb, &level, &w_ofs, &h_ofs);
      FUZZ_CHECK(level >= k && level < kLevels && cr_check_level(f_, level));
      return;
    }
    for (int row = y / side_; row <= (y + h - 1) / side_; ++row)
      for (int column = x / side_; column <= (x + w - 1) / side_; ++column) {
        CR_BUFFER rect;
        FUZZ_CHECK(cr_rebuild_rect(&rect, rb, column * side_, row * side_, k) == 0);
        FUZZ_CHECK(rect.w_ofs == column * side_ && rect.h_ofs == row * side_);
        FUZZ_CHECK(rect.w_len == std::min(side_, f_->level_w[k] - rect.w_ofs));
        FUZZ_CHECK(rect.h_len == std::min(side_, f_->level_h[k] - rect.h_ofs));
        for (int ry = std::max(y, rect.h_ofs); ry < std::min(y + h, rect.h_ofs + rect.h_len); ++ry)
          for (int rx = std::max(x, rect.w_ofs); rx < std::min(x + w, rect.w_ofs + rect.w_len); ++rx) {
            const unsigned char* in = rect.buf + 4 * ((static_cast<size_t>(ry) - rect.h_ofs) * rect.w_len + (rx - rect.w_ofs));
            const uint8_t* out = &rgb[3 * ((static_cast<size_t>(ry) - y) * w + (rx - x))];
            FUZZ_CHECK(std::memcmp(in, out, 3) == 0 && in[3] == 0);
          }
      }
  }

  CR_FILE* f_;
  std::span<const uint8_t> input_;
  int side_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const MemFile file("cr_file");
  static MemoryWatch memory;
  std::span<const uint8_t> input(data, size);
  file.assign(input);
  memory.start();

  CR_FILE* f = cr_open_file(file.path(), O_RDONLY, 0644, 0, 0, 0);
  if (f == nullptr) {
    memory.stop();
    return 0;
  }
  FUZZ_CHECK(size >= kCrHeaderBytes && std::memcmp(data, "CR", 3) == 0);
  Checker checker(f, input);
  checker.check_header();
  for (int k = 0; k < kLevels && cr_check_level(f, k); ++k) checker.check_level(k);

  CR_REBUILDER* rb = cr_rebuild_open_with(f, kFuzzThreads);
  FUZZ_CHECK(rb != nullptr);
  for (int k = 0; k < kLevels && cr_check_level(f, k); ++k) checker.check_regions(rb, k);
  cr_rebuild_close(rb);
  FUZZ_CHECK(cr_close_file(f) == 0);
  FUZZ_CHECK(memory.stop() <= kMemoryBound);
  return 0;
}
