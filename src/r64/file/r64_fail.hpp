// The one way the R64, level-building and CR layers fail: the reason goes to r64_error, with the
// system's error number in r64_errno when a system call failed, and the call returns -1.
#pragma once

#include <cerrno>

#include "r64.hpp"

namespace r64_internal {

inline int fail(int code) {
  r64_error = code;
  if (code == kR64System) r64_errno = errno;
  return -1;
}

}  // namespace r64_internal
