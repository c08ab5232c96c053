// The R64 layer's process-wide state: the code of the last failure (and the system's error number
// behind it) and the number of cache slots every handle uses. r64_init resets both at start-up.
#include "r64.hpp"

thread_local int r64_error = 0;
thread_local int r64_errno = 0;
int ent_len = kCacheSlots;

void r64_init() {
  r64_error = 0;
  r64_errno = 0;
  ent_len = kCacheSlots;
}
