// Whole transfers on file descriptors, shared by the R64 and CR layers: a call that fails with
// EAGAIN or EINTR is repeated, and a transfer that stays short is a failure with errno set.
#pragma once

#include <fcntl.h>
#include <limits.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <span>

namespace r64_internal {

// Writes all n bytes at the current position; false on failure, errno saying why.
inline bool write_all(int fd, const void* data, size_t n) {
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

// Writes all the pieces, in order, from `offset` on; false on failure, errno saying why. The
// pieces are left as a short write leaves them: partly consumed.
inline bool write_pieces_at(int fd, std::span<iovec> pieces, off_t offset) {
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

// Reads up to n bytes, stopping early only at the end of the file; the count, or -1 on failure.
inline ssize_t read_upto(int fd, void* data, size_t n) {
  char* p = static_cast<char*>(data);
  return read_until_end(n, [&](size_t got) { return ::read(fd, p + got, n - got); });
}

// The same at `offset`, without moving the descriptor.
inline ssize_t read_at(int fd, void* data, size_t n, off_t offset) {
  char* p = static_cast<char*>(data);
  return read_until_end(n, [&](size_t got) { return ::pread(fd, p + got, n - got, offset + static_cast<off_t>(got)); });
}

// Reads exactly n bytes from the current position; false when the read fails or the file ends
// first (errno EIO then).
inline bool read_exact(int fd, void* data, size_t n) {
  ssize_t got = read_upto(fd, data, n);
  if (got >= 0 && static_cast<size_t>(got) < n) errno = EIO;
  return got >= 0 && static_cast<size_t>(got) == n;
}

// Length of the file, found by seeking to its end; -1 on failure.
inline off_t file_length(int fd) { return ::lseek(fd, 0, SEEK_END); }

inline bool seek_to(int fd, unsigned int offset) {
  return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

// Opens a file, repeating the call while the system answers EAGAIN; -1 on failure (a null name
// fails as a missing file).
inline int open_retrying(const char* filename, int ctl, int mode) {
  if (filename == nullptr) {
    errno = ENOENT;
    return -1;
  }
  int fd;
  do fd = ::open(filename, ctl, mode);
  while (fd < 0 && errno == EAGAIN);
  return fd;
}

// Owns an open descriptor until it is released to a handle.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace r64_internal
