// Raises the allocator's thresholds so that buffers of a few hundred kilobytes come from the heap
// and stay there when freed, instead of being mapped and unmapped for every rectangle.
#include <malloc.h>

#include "allocator.hpp"

namespace {

constexpr int kMapThreshold = 4 << 20;    // only larger blocks are mapped on their own
constexpr int kTrimThreshold = 64 << 20;  // freed memory kept before any is returned

}  // namespace

void keep_freed_memory() {
  mallopt(M_MMAP_THRESHOLD, kMapThreshold);
  mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
}
