// The bytes of a file sent as a reply's body a part at a time, each part read by a positional read
// on a descriptor of the body's own: memory stays one part whatever the file's size. The body is
// exactly the bytes it was made for: a file cut short, or changed, while being sent fails it (the
// connection is cut) rather than padding it or mixing two versions.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "reply.hpp"
#include "fd_io.hpp"

namespace crserve {

// The most bytes read and held for one part.
inline constexpr size_t kFilePartBytes = 64 << 10;

class FileBody : public BodyStream {
 public:
  // Bytes `first` to `first + length - 1` of the file open as `fd` (closed with the body), whose
  // version is `seen`.
  FileBody(int fd, const struct stat& seen, uint64_t first, uint64_t length);

  Step next(std::string* out, std::string* failure) override;
  const char* subject() const override { return "a file being sent"; }

 private:
  fd_io::Descriptor fd_;
  struct stat seen_;
  uint64_t at_, end_;
};

}  // namespace crserve
