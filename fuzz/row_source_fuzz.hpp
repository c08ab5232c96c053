// The check every row source target makes: a file of the input bytes (its own format's first
// bytes put in front when missing) opened with row_source_open and read row by row to the end or
// the first failure. Rows must fill exactly their bytes, header fields stay in their ranges, a
// failure always leaves a reason, and no single allocation exceeds the memory bound.
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
constexpr long long kPixelsRead = 1 << 22;  // rows beyond these pixels are not asked for
constexpr size_t kGuardBytes = 64;
constexpr uint8_t kGuard = 0xA5;

inline size_t largest_allocation = 0;
inline bool watching = false;

inline void note_allocation(const volatile void*, size_t size) {
  if (watching) largest_allocation = std::max(largest_allocation, size);
}
inline void note_release(const volatile void*) {}

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
  watching = true;
  ROW_SOURCE* source = row_source_open(file.path());
  if (source == nullptr) {
    watching = false;
    FUZZ_CHECK(row_source_error()[0] != '\0');
    return 0;
  }
  FUZZ_CHECK(source->width >= 1 && source->width <= 32767 && source->height >= 1 && source->height <= 32767);
  FUZZ_CHECK(source->channels >= 1 && source->bits >= 1 && source->bits <= 16);
  const size_t row_bytes = static_cast<size_t>(source->width) * 3;
  std::vector<uint8_t> row(row_bytes + kGuardBytes, kGuard);
  const long long rows = std::min<long long>(source->height, std::max<long long>(1, kPixelsRead / source->width));
  for (long long y = 0; y < rows; ++y) {
    if (source->read_rows(source, row.data(), 1) != 0) {
      FUZZ_CHECK(row_source_error()[0] != '\0');
      break;
    }
    FUZZ_CHECK(std::all_of(row.begin() + static_cast<long>(row_bytes), row.end(), [](uint8_t b) { return b == kGuard; }));
  }
  source->close(source);
  watching = false;
  FUZZ_CHECK(largest_allocation <= kLargestAllocation);
  return 0;
}

}  // namespace row_source_fuzz
