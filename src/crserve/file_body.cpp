// Reads a file's bytes a part at a time for a reply, checking after each read that the file is
// still the version the reply's head announced.
#include "file_body.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace crserve {

namespace {

// Whether the file has another size or time of change than when the reply was made.
bool changed_since(int fd, const struct stat& seen) {
  struct stat now;
  if (::fstat(fd, &now) != 0) return true;
  return now.st_size != seen.st_size || now.st_mtim.tv_sec != seen.st_mtim.tv_sec ||
         now.st_mtim.tv_nsec != seen.st_mtim.tv_nsec;
}

}  // namespace

FileBody::FileBody(int fd, const struct stat& seen, uint64_t first, uint64_t length)
    : fd_(fd), seen_(seen), at_(first), end_(first + length) {}

BodyStream::Step FileBody::next(std::string* out, std::string* failure) {
  size_t want = static_cast<size_t>(std::min<uint64_t>(end_ - at_, kFilePartBytes));
  size_t had = out->size();
  out->resize(had + want);
  ssize_t got = fd_io::read_at(fd_.get(), out->data() + had, want, static_cast<off_t>(at_));
  if (got < 0) {
    *failure = std::string("cannot read it: ") + std::strerror(errno);
    return Step::kFailed;
  }
  if (static_cast<size_t>(got) < want) {
    *failure = "it was cut short at byte " + std::to_string(at_ + static_cast<uint64_t>(got));
    return Step::kFailed;
  }
  if (changed_since(fd_.get(), seen_)) {
    *failure = "it changed before byte " + std::to_string(at_ + want);
    return Step::kFailed;
  }
  at_ += want;
  return at_ == end_ ? Step::kDone : Step::kMore;
}

}  // namespace crserve
