// Sets a handle's control fields: command 0 the out-of-range mode (0 background, 1 nearest edge
// pixel), command 1 the background pixel. Other commands do nothing.
#include <cstdarg>

#include "r64_tile.hpp"

int r64_ctl(R64_FILE* f, int cmd, ...) {
  va_list args;
  va_start(args, cmd);
  int result = 0;
  if (cmd == 0) {
    int mode = va_arg(args, int);
    if (mode == 0 || mode == 1)
      f->rc_type = static_cast<signed char>(mode);
    else
      result = r64_internal::fail(kR64BadMode);
  } else if (cmd == 1) {
    const char* pixel = va_arg(args, const char*);
    int bytes = f->header.type == 'P' ? 3 : 1;
    for (int i = 0; i < bytes; ++i) f->background[i] = pixel[i];
  }
  va_end(args);
  if (result == 0) r64_error = kR64Ok;
  return result;
}
