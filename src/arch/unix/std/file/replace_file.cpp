// Writes a new file where a killed run leaves nothing behind and renames it over its target once
// complete. On Linux the file is made unnamed in the target's folder (O_TMPFILE) and given a name
// only at the end, so a run killed before then leaves no trace: the system frees the file. Where
// the file system cannot make unnamed files, it is created under the target's name with
// ".tmp.<pid>.<n>" added, which its owner removes when it goes out of scope uncommitted (a failed
// action returns through it) and which a killed run leaves behind.
#include "replace_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

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

std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// A name beside `target` that nothing has, made by `make` (which creates it, or fails with EEXIST
// when it is taken); the name, or empty with errno set.
template <typename Make>
std::string fresh_name(const std::string& target, Make make) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < kNameTries; ++attempt) {
    std::string name = target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    if (make(name)) return name;
    if (errno != EEXIST) return "";
  }
  errno = EEXIST;
  return "";
}

// An unnamed file in the target's folder that can be named later through /proc; -1 with errno
// ENOTSUP when this system or file system cannot make one, or the error of a folder that refuses.
int open_unnamed(const std::string& target, int mode) {
  int fd = ::open(folder_of(target).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (fd < 0) {
    // Kernels without O_TMPFILE take it for O_DIRECTORY (EISDIR); file systems without it say
    // EOPNOTSUPP.
    if (errno == EISDIR || errno == EOPNOTSUPP || errno == EINVAL) errno = ENOTSUP;
    return -1;
  }
  if (::access(descriptor_path(fd).c_str(), F_OK) != 0) {  // no /proc: it could never be named
    ::close(fd);
    errno = ENOTSUP;
    return -1;
  }
  return fd;
}

// Gives the unnamed file behind `fd` the name `target`, replacing any file of that name at once.
bool link_into_place(int fd, const std::string& target) {
  const std::string from = descriptor_path(fd);
  if (::linkat(AT_FDCWD, from.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno != EEXIST) return false;
  std::string name = fresh_name(target, [&](const std::string& candidate) {
    return ::linkat(AT_FDCWD, from.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0;
  });
  if (name.empty()) return false;
  if (::rename(name.c_str(), target.c_str()) == 0) return true;
  int saved = errno;
  ::unlink(name.c_str());
  errno = saved;
  return false;
}

}  // namespace

bool same_file(const char* a, const char* b) {
  struct stat sa, sb;
  if (::stat(a, &sa) != 0 || ::stat(b, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool same_file_as(int fd, const char* path) {
  struct stat sa, sb;
  if (::fstat(fd, &sa) != 0 || ::stat(path, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

ReplacingFile::~ReplacingFile() { discard(); }

int ReplacingFile::open(const char* target, int mode) {
  discard();
  if (!replaceable(target)) return -1;
  target_ = target;
  int fd = open_unnamed(target_, mode);
  if (fd >= 0) {
    fd_ = fd;
    path_ = descriptor_path(fd);
    return fd_;
  }
  if (errno != ENOTSUP) return -1;
  std::string name = fresh_name(target_, [&](const std::string& candidate) {
    fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    return fd >= 0;
  });
  if (name.empty()) return -1;
  temporary_ = path_ = name;
  fd_ = fd;
  return fd_;
}

int ReplacingFile::commit_keeping() {
  if (fd_ < 0) {
    errno = EBADF;
    return -1;
  }
  // The file is closed before it takes the target's place, so that a system that reports at the
  // close that it could not keep the data leaves the old file where it was; a second descriptor
  // keeps the file itself open until it is named.
  int kept = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  int fd = fd_;
  fd_ = -1;
  bool closed = ::close(fd) == 0;
  bool placed = closed && kept >= 0 &&
                (temporary_.empty() ? link_into_place(kept, target_) : ::rename(temporary_.c_str(), target_.c_str()) == 0);
  if (!placed) {
    int saved = errno;
    if (kept >= 0) ::close(kept);
    discard();
    errno = saved;
    return -1;
  }
  temporary_.clear();
  path_.clear();
  return kept;
}

bool ReplacingFile::commit() {
  int kept = commit_keeping();
  if (kept < 0) return false;
  ::close(kept);  // the data went out at the first close
  return true;
}

void ReplacingFile::discard() {
  int saved = errno;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
  path_.clear();
  errno = saved;
}
