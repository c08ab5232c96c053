// The check every row source target makes: a file of the input bytes (its own format's first
// bytes put in front when missing) opened with row_source_open and read row by row to the end or
// the first failure. Rows must fill exactly their bytes, header fields stay in their ranges, a
// failure always leaves a reason, and neither a single allocation nor all the source holds at once
// exceeds the memory bound.
#pragma once

#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "row_source.hpp"

namespace row_source_fuzz {

constexpr size_t kLargestAllocation = 64u << 20;
// All a source holds at once: what the 64 MiB "-ir" promises leave beside its three bands of 64
// rows of the widest image (19 MiB), which this harness does not make.
constexpr size_t kWidestBands = size_t{3} * 64 * 32767 * 3;
constexpr size_t kMostLiveBytes = (size_t{64} << 20) - kWidestBands;
constexpr long long kPixelsRead = 1 << 22;  // rows beyond these pixels are not asked for
constexpr size_t kGuardBytes = 64;
constexpr uint8_t kGuard = 0xA5;

inline size_t largest_allocation = 0;
inline size_t live_peak = 0;  // the most bytes allocated at once, sampled as each allocation is made
inline bool watching = false;

inline void note_allocation(const volatile void*, size_t size) {
  if (!watching) return;
  largest_allocation = std::max(largest_allocation, size);
  live_peak = std::max(live_peak, __sanitizer_get_current_allocated_bytes());
}
inline void note_release(const volatile void*) {}

// Reads the rows of an open source to the end, or to the first failure, which leaves a reason.
inline void read_rows(ROW_SOURCE* source) {
  FUZZ_CHECK(source->width >= 1 && source->width <= 32767 && source->height >= 1 && source->height <= 32767);
  FUZZ_CHECK(source->channels >= 1 && source->bits >= 1 && source->bits <= 16);
  const size_t row_bytes = static_cast<size_t>(source->width) * 3;
  std::vector<uint8_t> row(row_bytes + kGuardBytes, kGuard);
  const long long rows = std::min<long long>(source->height, std::max<long long>(1, kPixelsRead / source->width));
  for (long long y = 0; y < rows; ++y) {
    if (source->read_rows(source, row.data(), 1) != 0) {
      FUZZ_CHECK(row_source_error()[0] != '\0');
      return;
    }
    FUZZ_CHECK(std::all_of(row.begin() + static_cast<long>(row_bytes), row.end(), [](uint8_t b) { return b == kGuard; }));
  }
}

inline int run(std::span<const uint8_t> input, std::string_view magic) {
  static bool ready = [] {
    fuzz_init();
    __sanitizer_install_malloc_and_free_hooks(note_allocation, note_release);
    return true;
  }();
  (void)ready;
  static MemFile file("row_source");
  std::vector<uint8_t> bytes(input.begin(), input.end());
  if (!std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()).starts_with(magic))
    bytes.insert(bytes.begin(), magic.begin(), magic.end());
  file.assign(bytes);

  largest_allocation = 0;
  const size_t live_before = __sanitizer_get_current_allocated_bytes();
  live_peak = live_before;
  watching = true;
  ROW_SOURCE* source = row_source_open(file.path());
  if (source != nullptr) {
    read_rows(source);
    source->close(source);
  } else {
    FUZZ_CHECK(row_source_error()[0] != '\0');
  }
  watching = false;
  FUZZ_CHECK(largest_allocation <= kLargestAllocation);
  FUZZ_CHECK(live_peak - live_before <= kMostLiveBytes);
  return 0;
}

}  // namespace row_source_fuzz
