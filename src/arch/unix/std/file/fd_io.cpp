// Whole transfers on POSIX descriptors, repeated through EAGAIN and EINTR; a write that makes no
// progress without a reason is taken for a full device.
#include "fd_io.hpp"

#include <fcntl.h>
#include <limits.h>

#include <algorithm>
#include <cerrno>

namespace fd_io {

namespace {

// Repeats read_some(bytes so far) until it has delivered n bytes or meets the end of the file;
// the count, or -1 on failure.
template <typename ReadSome>
ssize_t read_until_end(size_t n, ReadSome read_some) {
  size_t got = 0;
  while (got < n) {
    ssize_t done = read_some(got);
    if (done < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return -1;
    }
    if (done == 0) break;
    got += static_cast<size_t>(done);
  }
  return static_cast<ssize_t>(got);
}

}  // namespace

bool write_all(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t done = ::write(fd, p, n);
    if (done < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return false;
    }
    if (done == 0) {
      errno = ENOSPC;  // no progress and no reason given: the device is full
      return false;
    }
    p += done;
    n -= static_cast<size_t>(done);
  }
  return true;
}

bool write_pieces_at(int fd, std::span<iovec> pieces, off_t offset) {
  auto drop_empty = [&pieces] {
    while (!pieces.empty() && pieces.front().iov_len == 0) pieces = pieces.subspan(1);
  };
  for (drop_empty(); !pieces.empty(); drop_empty()) {
    int count = static_cast<int>(std::min<size_t>(pieces.size(), IOV_MAX));
    ssize_t done = ::pwritev(fd, pieces.data(), count, offset);
    if (done < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return false;
    }
    if (done == 0) {
      errno = ENOSPC;
      return false;
    }
    offset += done;
    for (size_t left = static_cast<size_t>(done); left > 0;) {  // skip what was written
      size_t taken = std::min(left, pieces.front().iov_len);
      pieces.front().iov_base = static_cast<char*>(pieces.front().iov_base) + taken;
      pieces.front().iov_len -= taken;
      left -= taken;
      if (pieces.front().iov_len == 0) pieces = pieces.subspan(1);
    }
  }
  return true;
}

ssize_t read_upto(int fd, void* data, size_t n) {
  char* p = static_cast<char*>(data);
  return read_until_end(n, [&](size_t got) { return ::read(fd, p + got, n - got); });
}

ssize_t read_at(int fd, void* data, size_t n, off_t offset) {
  char* p = static_cast<char*>(data);
  return read_until_end(n, [&](size_t got) { return ::pread(fd, p + got, n - got, offset + static_cast<off_t>(got)); });
}

bool read_exact(int fd, void* data, size_t n) {
  ssize_t got = read_upto(fd, data, n);
  if (got >= 0 && static_cast<size_t>(got) < n) errno = EIO;
  return got >= 0 && static_cast<size_t>(got) == n;
}

int open_retrying(const char* filename, int ctl, int mode) {
  if (filename == nullptr) {
    errno = ENOENT;
    return -1;
  }
  int fd;
  do fd = ::open(filename, ctl, mode);
  while (fd < 0 && errno == EAGAIN);
  return fd;
}

}  // namespace fd_io
