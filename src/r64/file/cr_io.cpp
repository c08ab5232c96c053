// Descriptor transfers of the CR layer: whole writes, reads up to the end of the file and
// absolute seeks, each repeated while the system answers EAGAIN.
#include <unistd.h>

#include <cerrno>

#include "cr_internal.hpp"

namespace cr_internal {

bool write_all(int fd, const void* data, size_t len) {
  const char* next = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = write(fd, next, len);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;  // no progress and no reason given: the device is full
      return false;
    }
    next += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

long read_upto(int fd, void* data, size_t len) {
  char* next = static_cast<char*>(data);
  size_t got = 0;
  while (got < len) {
    ssize_t n = read(fd, next + got, len - got);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<long>(got);
}

bool seek_to(int fd, unsigned int ofs) { return lseek(fd, static_cast<off_t>(ofs), SEEK_SET) == static_cast<off_t>(ofs); }

}  // namespace cr_internal
