// Builds a resampled copy of a PPM image: every target pixel is the truncated mean of the box of
// source pixels that a mapping function chooses, clipped to the source, and mid grey where there
// is none. The source is read whole rows at a time through a cache of the rows used last; the
// target, always "P6" of maximum at most 255, is written row by row under a temporary name.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fd_io.hpp"
#include "ppm_internal.hpp"
#include "ppm_error.hpp"
#include "replace_file.hpp"

namespace {

using ppm_internal::kPixelBytes;

constexpr unsigned char kFillSample = 128;  // mid grey, for target pixels without a source
constexpr int kByteMax = 255;
constexpr size_t kMinCachedRows = 16;
constexpr size_t kRowCacheBudget = size_t{64} << 20;  // bytes of source rows held at most

int refuse(const char* format, const char* filename) {
  std::fprintf(stderr, format, filename);
  return -1;
}

// The source image's rows, each read whole on first use and held until it is the least recently
// used of as many rows as the tallest box so far needs (within a memory budget). Bytes the file
// lacks read as 0.
class SourceRows {
 public:
  SourceRows(int fd, off_t first_byte, size_t row_bytes)
      : fd_(fd),
        first_byte_(first_byte),
        row_bytes_(row_bytes),
        limit_(std::max<size_t>(1, kRowCacheBudget / std::max<size_t>(1, row_bytes))),
        capacity_(std::min(kMinCachedRows, limit_)) {}

  // Holds at least `rows` rows from now on, so that boxes of that height are read once per band.
  void expect_box_height(size_t rows) { capacity_ = std::clamp(rows + 1, capacity_, limit_); }

  const unsigned char* row(long long y) {
    ++clock_;
    if (auto found = index_.find(y); found != index_.end()) {
      Slot& slot = slots_[found->second];
      slot.used = clock_;
      return slot.bytes.data();
    }
    size_t at = free_slot();
    Slot& slot = slots_[at];
    slot.y = y;
    slot.used = clock_;
    read_row(y, slot.bytes);
    index_[y] = at;
    return slot.bytes.data();
  }

  bool read_failed() const { return read_failed_; }

 private:
  struct Slot {
    long long y;
    unsigned long long used;
    std::vector<unsigned char> bytes;
  };

  size_t free_slot() {
    if (slots_.size() < capacity_) {
      slots_.push_back({0, 0, std::vector<unsigned char>(row_bytes_)});
      return slots_.size() - 1;
    }
    auto oldest = std::min_element(slots_.begin(), slots_.end(),
                                   [](const Slot& a, const Slot& b) { return a.used < b.used; });
    index_.erase(oldest->y);
    return static_cast<size_t>(oldest - slots_.begin());
  }

  void read_row(long long y, std::vector<unsigned char>& bytes) {
    std::fill(bytes.begin(), bytes.end(), 0);
    constexpr unsigned long long kLargest = std::numeric_limits<off_t>::max();
    if (row_bytes_ != 0 && static_cast<unsigned long long>(y) >= (kLargest - first_byte_) / row_bytes_)
      return;  // beyond any file
    off_t offset = first_byte_ + static_cast<off_t>(y) * static_cast<off_t>(row_bytes_);
    ssize_t got = -1;
    if (offset == position_ || ppm_internal::seek_to(fd_, offset))
      got = fd_io::read_upto(fd_, bytes.data(), bytes.size());
    if (got < 0) read_failed_ = true;
    position_ = got < 0 ? -1 : offset + got;
  }

  int fd_;
  off_t first_byte_;
  size_t row_bytes_;
  size_t limit_;
  size_t capacity_;
  std::vector<Slot> slots_;
  std::unordered_map<long long, size_t> index_;  // row -> its slot
  unsigned long long clock_ = 0;
  off_t position_ = -1;  // where the descriptor stands, -1 when not known
  bool read_failed_ = false;
};

// The source as the boxes see it: its size, its sample layout and its rows.
struct SourceImage {
  explicit SourceImage(const PPM_INFO& pi)
      : width(pi.pi_width),
        height(pi.pi_height),
        step(std::string_view(pi.pi_type) == "P5" ? 1 : 3),
        sample_bytes(ppm_sample_bytes(&pi)),
        max(static_cast<unsigned int>(pi.pi_max)),
        rows(pi.pi_fd, pi.pi_offset, pi.pi_width * static_cast<size_t>(step * sample_bytes)) {}

  bool contains(long long x, long long y) const { return x >= 0 && x < width && y >= 0 && y < height; }

  unsigned int sample(const unsigned char* row, long long x, int i) const {
    const unsigned char* at = row + (x * step + i) * sample_bytes;
    return sample_bytes == 1 ? at[0] : (unsigned{at[0]} << 8 | at[1]);
  }

  long long width;
  long long height;
  int step;          // samples per pixel: 1 for "P5", 3 for the rest
  int sample_bytes;  // 2 above a maximum of 255, most significant first
  unsigned int max;
  SourceRows rows;
};

// Stores the mean of the box around source pixel (x, y), clipped to the source, as one target
// pixel; a grey source gives three equal samples.
void get_col(unsigned char* col, SourceImage& source, long long x, long long y, long long r_width,
             long long r_height) {
  long long left = std::max(0LL, x - r_width), right = std::min(source.width - 1, x + r_width);
  long long top = std::max(0LL, y - r_height), bottom = std::min(source.height - 1, y + r_height);
  source.rows.expect_box_height(static_cast<size_t>(bottom - top + 1));

  unsigned long long sums[kPixelBytes] = {};
  for (long long row_y = top; row_y <= bottom; ++row_y) {
    const unsigned char* row = source.rows.row(row_y);
    for (long long column = left; column <= right; ++column)
      for (int i = 0; i < source.step; ++i) sums[i] += source.sample(row, column, i);
  }
  auto count = static_cast<unsigned long long>((right - left + 1) * (bottom - top + 1));
  for (size_t i = 0; i < kPixelBytes; ++i) {
    unsigned long long mean = sums[source.step == 1 ? 0 : i] / count;
    col[i] = source.max > kByteMax ? adjust_max(source.max, static_cast<unsigned int>(mean))
                                   : static_cast<unsigned char>(mean);
  }
}

void convert_row(std::span<unsigned char> out, int y, SourceImage& source, PPM_MAPPING func, void* work) {
  for (size_t x = 0; x < out.size() / kPixelBytes; ++x) {
    unsigned char* col = out.data() + x * kPixelBytes;
    int source_x = static_cast<int>(x), source_y = y, r_width = 0, r_height = 0;
    if (func(&source_x, &source_y, &r_width, &r_height, work) < 0 || !source.contains(source_x, source_y)) {
      std::memset(col, kFillSample, kPixelBytes);
      continue;
    }
    get_col(col, source, source_x, source_y, std::max(r_width, 0), std::max(r_height, 0));
  }
}

int convert(const char* from_ppm, const char* to_ppm, int width, int height, PPM_MAPPING func, void* work) {
  fd_io::Descriptor source_fd(fd_io::open_retrying(from_ppm, O_RDONLY, 0));
  if (source_fd.get() < 0) return refuse(kCannotOpen, from_ppm);
  PPM_INFO source_info{};
  source_info.pi_fd = source_fd.get();
  if (read_header(&source_info) != 0) return refuse(kCannotReadHeader, from_ppm);

  // The target is written beside itself and replaces any older file only once complete; the
  // source itself is never a target.
  ReplacingFile target_file;
  if (same_file(from_ppm, to_ppm) || target_file.open(to_ppm, 0644) < 0) return refuse(kCannotOpen, to_ppm);
  PPM_INFO target{};
  target.pi_fd = target_file.fd();
  target.pi_width = static_cast<unsigned int>(width);
  target.pi_height = static_cast<unsigned int>(height);
  target.pi_max = std::min(source_info.pi_max, kByteMax);
  if (write_header(&target) != 0) return -1;

  SourceImage source(source_info);
  std::vector<unsigned char> out(ppm_internal::row_bytes(&target));
  for (int y = 0; y < height; ++y) {
    convert_row(out, y, source, func, work);
    if (!fd_io::write_all(target.pi_fd, out.data(), out.size())) return -1;
  }
  if (source.rows.read_failed()) return -1;
  return target_file.commit() ? 0 : -1;
}

}  // namespace

int ppm_converter(const char* from_ppm, const char* to_ppm, int width, int height, PPM_MAPPING func,
                  void* work) {
  if (from_ppm == nullptr || to_ppm == nullptr || func == nullptr || width < 0 || height < 0) {
    errno = EINVAL;
    return -1;
  }
  try {
    return convert(from_ppm, to_ppm, width, height, func, work);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;  // a source row or target row too long to hold
    return -1;
  }
}
