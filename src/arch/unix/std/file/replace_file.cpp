// Writes a new file under a temporary name beside its target and renames it over the target once
// complete. The temporary name is the target's with ".tmp.<pid>.<n>" added, created exclusively.
#include "replace_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kNameTries = 100;

// A target that does not exist yet is fine; one that exists must be a regular file.
bool replaceable(const char* target) {
  struct stat st;
  if (::stat(target, &st) != 0) return errno == ENOENT;
  if (S_ISREG(st.st_mode)) return true;
  errno = EINVAL;
  return false;
}

// Temporary files still open, removed when the process exits without committing them: a tool
// that ends on an error with exit() runs no destructors.
std::vector<std::string>& pending() {
  static auto* names = new std::vector<std::string>;  // never destroyed: exit handlers still use it
  return *names;
}

void remove_pending() {
  for (const std::string& name : pending()) ::unlink(name.c_str());
}

void track(const std::string& name) {
  static const bool registered = std::atexit(remove_pending) == 0;
  (void)registered;
  pending().push_back(name);
}

void untrack(const std::string& name) { std::erase(pending(), name); }

}  // namespace

bool same_file(const char* a, const char* b) {
  struct stat sa, sb;
  if (::stat(a, &sa) != 0 || ::stat(b, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

ReplacingFile::~ReplacingFile() { discard(); }

int ReplacingFile::open(const char* target, int mode) {
  discard();
  if (!replaceable(target)) return -1;
  static unsigned counter = 0;
  for (int attempt = 0; attempt < kNameTries; ++attempt) {
    std::string name = std::string(target) + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return -1;
    target_ = target;
    temporary_ = name;
    track(temporary_);
    fd_ = fd;
    return fd_;
  }
  errno = EEXIST;
  return -1;
}

bool ReplacingFile::commit() {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 || ::rename(temporary_.c_str(), target_.c_str()) != 0) {
    discard();
    return false;
  }
  untrack(temporary_);
  temporary_.clear();
  return true;
}

void ReplacingFile::discard() {
  int saved = errno;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) {
    ::unlink(temporary_.c_str());
    untrack(temporary_);
  }
  temporary_.clear();
  errno = saved;
}
