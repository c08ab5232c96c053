// An R64 file's size and levels, read through the R64 layer: the coarsest level is written last,
// so when it is in the file every level is.
#include "r64_info.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

Failure open_r64(const std::string& path, R64_FILE** f) {
  const char* name = path.c_str();
  *f = r64_open_file(name, O_RDONLY, 0, 'P', 0, 0);
  if (*f != nullptr) return {};
  if (r64_error == kR64System)
    return system_failure(errno, text("cannot open the R64 file \"%s\": %s", name, std::strerror(errno)));
  return file_failure(text("\"%s\" is not an R64 file", name));
}

Failure r64_info(const std::string& path, R64Info* info) {
  R64_FILE* f = nullptr;
  if (Failure failure = open_r64(path, &f)) return failure;
  *info = R64Info{f->header.width, f->header.height, 0, false};
  while (info->levels < kLevels && f->level_ofs[info->levels] != 0) ++info->levels;
  int present = info->levels > 0 ? r64_check_level(f, info->levels - 1) : 1;
  int error = errno;
  r64_close_file(f);
  if (present < 0) return system_failure(error, text("cannot read \"%s\": %s", path.c_str(), std::strerror(error)));
  info->complete = present == 1;
  return {};
}
