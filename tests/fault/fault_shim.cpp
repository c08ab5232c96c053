// A library preloaded into the tool under test that makes one chosen system call fail. It follows
// the descriptors opened on files whose name contains FAULT_PATH (never those the C library opens
// itself), the unnamed files made with O_TMPFILE when FAULT_UNNAMED is set (new outputs are made
// so before they take their name), and a followed file opened again through /proc/self/fd, counts the calls of each kind on them, and fails the FAULT_NTH call of kind FAULT_CALL
// with EIO, or ENOSPC for the writes. A failed close loses what was written through the descriptor:
// the file goes back to its length at the open. The counts go to FAULT_COUNT_FILE at exit
// ("read 12\nwrite 3\n..."), so that a clean run tells the sweep how many positions there are.
// With FAULT_STOP set, the chosen call does not fail: the tool stops itself (SIGSTOP) before
// making it, so that a test can kill it there. With FAULT_STOP_PLACED set, it stops once a rename
// or link has put a file under the name FAULT_PATH, so that a test can act between two commands.
// With FAULT_NO_TMPFILE set, no unnamed file can be made (O_TMPFILE fails with EOPNOTSUPP, as on
// file systems without it), so that outputs take their named temporary files instead.
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum Kind { kRead, kWrite, kLseek, kClose, kPread, kPwrite, kFsync, kKinds };
constexpr const char* kKindNames[kKinds] = {"read", "write", "lseek", "close", "pread", "pwrite", "fsync"};
constexpr int kMaxFd = 4096;

// From the environment: a part of the followed file names (none: follow nothing), the kind that
// fails (-1: none) and which of its calls.
const char* const kPath = std::getenv("FAULT_PATH");
const int kFailingKind = [] {
  const char* call = std::getenv("FAULT_CALL");
  for (int k = 0; call != nullptr && k < kKinds; ++k)
    if (std::strcmp(call, kKindNames[k]) == 0) return k;
  return -1;
}();
const long kFailingNth = std::getenv("FAULT_NTH") ? std::atol(std::getenv("FAULT_NTH")) : 0;
const bool kFollowUnnamed = std::getenv("FAULT_UNNAMED") != nullptr;
const bool kStopPlaced = std::getenv("FAULT_STOP_PLACED") != nullptr;
const bool kStopInstead = std::getenv("FAULT_STOP") != nullptr;
const bool kNoTmpfile = std::getenv("FAULT_NO_TMPFILE") != nullptr;
constexpr const char* kDescriptorFolder = "/proc/self/fd/";

// What is known of a descriptor opened by the wrapped calls.
struct Descriptor {
  std::atomic<bool> followed;
  std::atomic<bool> written;
  off_t opened_length;
};

Descriptor descriptors[kMaxFd];
std::atomic<long> calls[kKinds];

template <typename Fn>
Fn next(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Whether `path` names a followed descriptor through /proc/self/fd.
bool names_followed(const char* path) {
  size_t prefix = std::strlen(kDescriptorFolder);
  if (std::strncmp(path, kDescriptorFolder, prefix) != 0) return false;
  int fd = std::atoi(path + prefix);
  return fd >= 0 && fd < kMaxFd && descriptors[fd].followed;
}

bool to_follow(const char* path, int flags) {
  if (kPath == nullptr || *kPath == '\0' || path == nullptr) return false;
  if ((flags & O_TMPFILE) == O_TMPFILE) return kFollowUnnamed;
  return std::strstr(path, kPath) != nullptr || names_followed(path);
}

// Follows (or stops following) a descriptor just opened on `path`; returns it.
int noted(int fd, const char* path, int flags) {
  if (fd < 0 || fd >= kMaxFd) return fd;
  bool follow = to_follow(path, flags);
  struct stat st;
  Descriptor& d = descriptors[fd];
  d.opened_length = follow && ::fstat(fd, &st) == 0 ? st.st_size : 0;
  d.written = false;
  d.followed = follow;
  return fd;
}

// Counts a call on a followed descriptor; true when this is the one that must fail, errno set.
bool must_fail(int fd, Kind kind, int error) {
  if (fd < 0 || fd >= kMaxFd || !descriptors[fd].followed) return false;
  if (kind == kWrite || kind == kPwrite) descriptors[fd].written = true;
  long n = ++calls[kind];
  if (kFailingKind != kind || n != kFailingNth) return false;
  if (kStopInstead) {
    raise(SIGSTOP);
    return false;
  }
  errno = error;
  return true;
}

int refused_unnamed() {
  errno = EOPNOTSUPP;
  return -1;
}

mode_t mode_of(int flags, va_list args) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

// Runs after the tool's own exit handlers, so every call it made is counted.
__attribute__((destructor)) void write_counts() {
  const char* name = std::getenv("FAULT_COUNT_FILE");
  if (name == nullptr) return;
  char text[256];
  int length = 0;
  for (int k = 0; k < kKinds; ++k)
    length += std::snprintf(text + length, sizeof text - length, "%s %ld\n", kKindNames[k], calls[k].load());
  auto real_open = next<int (*)(const char*, int, ...)>("open");
  auto real_write = next<ssize_t (*)(int, const void*, size_t)>("write");
  auto real_close = next<int (*)(int)>("close");
  int fd = real_open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  if (real_write(fd, text, static_cast<size_t>(length)) != length) std::fprintf(stderr, "fault_shim: short count\n");
  real_close(fd);
}

}  // namespace

// The open calls, with a directory first for the "at" forms, follow what they open; the mode
// argument exists only when the flags create a file.
#define OPEN_WRAPPER(name, ...)                                                                \
  int name(__VA_ARGS__ __VA_OPT__(, ) const char* path, int flags, ...) {                      \
    static auto real = next<int (*)(__VA_ARGS__ __VA_OPT__(, ) const char*, int, ...)>(#name); \
    va_list args;                                                                              \
    va_start(args, flags);                                                                     \
    mode_t mode = mode_of(flags, args);                                                        \
    va_end(args);                                                                              \
    if (kNoTmpfile && (flags & O_TMPFILE) == O_TMPFILE) return refused_unnamed();              \
    return noted(real(__VA_OPT__(dirfd, ) path, flags, mode), path, flags);                    \
  }
#define CREAT_WRAPPER(name)                                           \
  int name(const char* path, mode_t mode) {                           \
    static auto real = next<int (*)(const char*, mode_t)>(#name);     \
    return noted(real(path, mode), path, O_CREAT);                             \
  }

// The calls that may fail, counted on followed descriptors, with the error each fails with.
#define FAILING_WRAPPER(result, name, kind, error, params, args)    \
  result name params {                                              \
    static auto real = next<result(*) params>(#name);               \
    return must_fail(fd, kind, error) ? result(-1) : real args;    \
  }

extern "C" {

OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)
OPEN_WRAPPER(openat, int dirfd)
OPEN_WRAPPER(openat64, int dirfd)
CREAT_WRAPPER(creat)
CREAT_WRAPPER(creat64)

FAILING_WRAPPER(ssize_t, read, kRead, EIO, (int fd, void* buf, size_t n), (fd, buf, n))
FAILING_WRAPPER(ssize_t, write, kWrite, ENOSPC, (int fd, const void* buf, size_t n), (fd, buf, n))
FAILING_WRAPPER(ssize_t, pread, kPread, EIO, (int fd, void* buf, size_t n, off_t at), (fd, buf, n, at))
FAILING_WRAPPER(ssize_t, pread64, kPread, EIO, (int fd, void* buf, size_t n, off64_t at), (fd, buf, n, at))
FAILING_WRAPPER(ssize_t, pwrite, kPwrite, ENOSPC, (int fd, const void* buf, size_t n, off_t at), (fd, buf, n, at))
FAILING_WRAPPER(ssize_t, pwrite64, kPwrite, ENOSPC, (int fd, const void* buf, size_t n, off64_t at), (fd, buf, n, at))
FAILING_WRAPPER(ssize_t, pwritev, kPwrite, ENOSPC, (int fd, const struct iovec* v, int n, off_t at), (fd, v, n, at))
FAILING_WRAPPER(ssize_t, pwritev64, kPwrite, ENOSPC, (int fd, const struct iovec* v, int n, off64_t at), (fd, v, n, at))
FAILING_WRAPPER(off_t, lseek, kLseek, EIO, (int fd, off_t offset, int whence), (fd, offset, whence))
FAILING_WRAPPER(off64_t, lseek64, kLseek, EIO, (int fd, off64_t offset, int whence), (fd, offset, whence))
FAILING_WRAPPER(int, fsync, kFsync, EIO, (int fd), (fd))

// A close that fails still releases the descriptor, as the system's does, and loses what was
// written through it.
int close(int fd) {
  static auto real = next<int (*)(int)>("close");
  bool failing = must_fail(fd, kClose, EIO);
  if (failing && descriptors[fd].written && ::ftruncate(fd, descriptors[fd].opened_length) != 0)
    std::fprintf(stderr, "fault_shim: cannot undo the writes\n");
  if (fd >= 0 && fd < kMaxFd) descriptors[fd].followed = false;
  int result = real(fd);
  if (failing) errno = EIO;
  return failing ? -1 : result;
}

// Renames and links that put a file under the followed name stop the tool when asked to.
int placed(int result, const char* path) {
  const char* base = std::strrchr(path, '/');
  if (result == 0 && kStopPlaced && kPath != nullptr && std::strcmp(base ? base + 1 : path, kPath) == 0) raise(SIGSTOP);
  return result;
}

int rename(const char* from, const char* to) {
  static auto real = next<int (*)(const char*, const char*)>("rename");
  return placed(real(from, to), to);
}

int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  static auto real = next<int (*)(int, const char*, int, const char*, int)>("linkat");
  return placed(real(from_dir, from, to_dir, to, flags), to);
}

}  // extern "C"
