// The one way the R64, level-building and CR layers fail: the reason goes to r64_error and the
// call returns -1.
#pragma once

#include "r64.hpp"

namespace r64_internal {

inline int fail(int code) {
  r64_error = code;
  return -1;
}

}  // namespace r64_internal
