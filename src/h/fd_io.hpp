// Whole transfers on file descriptors: a call that fails with EAGAIN or EINTR is repeated, and a
// transfer that stays short is a failure with errno set. Every layer that reads or writes files
// through descriptors uses these.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstddef>
#include <span>

namespace fd_io {

// Writes all n bytes at the current position; false on failure, errno saying why.
bool write_all(int fd, const void* data, size_t n);

// Writes all the pieces, in order, from `offset` on; false on failure, errno saying why. The
// pieces are left as a short write leaves them: partly consumed.
bool write_pieces_at(int fd, std::span<iovec> pieces, off_t offset);

// Reads up to n bytes, stopping early only at the end of the file; the count, or -1 on failure.
ssize_t read_upto(int fd, void* data, size_t n);

// The same at `offset`, without moving the descriptor.
ssize_t read_at(int fd, void* data, size_t n, off_t offset);

// Reads exactly n bytes from the current position; false when the read fails or the file ends
// first (errno EIO then).
bool read_exact(int fd, void* data, size_t n);

// Length of the file, found by seeking to its end; -1 on failure.
inline off_t file_length(int fd) { return ::lseek(fd, 0, SEEK_END); }

inline bool seek_to(int fd, unsigned int offset) {
  return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

// Opens a file, repeating the call while the system answers EAGAIN; -1 on failure (a null name
// fails as a missing file).
int open_retrying(const char* filename, int ctl, int mode);

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

}  // namespace fd_io
