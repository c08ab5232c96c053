// A library preloaded into the tool under test that makes one chosen system call fail. It follows
// the descriptors opened on files whose name contains FAULT_PATH (never those the C library opens
// itself), the unnamed files made with O_TMPFILE when FAULT_UNNAMED is set (new outputs are made
// so before they take their name), and a followed file opened again through /proc/self/fd, counts
// the calls of each kind on them, and fails the FAULT_NTH call of kind FAULT_CALL with EIO, or
// ENOSPC for the writes. A failed close loses what was written through the descriptor: the file
// goes back to its length at the open. The counts go to FAULT_COUNT_FILE at exit ("read 12\nwrite
// 3\n...", and the threads started), so that a clean run tells the sweep how many positions there
// are. With FAULT_STOP set, the chosen call does not fail: the tool stops itself (SIGSTOP) before
// making it, so that a test can kill it there. With FAULT_STOP_PLACED set, it stops once a rename
// or link has put a file under the name FAULT_PATH, so that a test can act between two commands.
// Besides: FAULT_BAD_BYTE=N makes every read of a followed file that covers byte N fail with EIO,
// as a bad sector does, whichever thread reads it and in whatever order; FAULT_HELPERS_ONLY counts
// (and fails) only the calls of threads other than the main one; FAULT_SLOW_WRITES=US makes every
// write to a followed file wait that many microseconds first.
// With FAULT_NO_TMPFILE set, no unnamed file can be made (O_TMPFILE fails with EOPNOTSUPP, as on
// file systems without it), so that outputs take their named temporary files instead.
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <pthread.h>
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
const off_t kBadByte = std::getenv("FAULT_BAD_BYTE") ? std::atoll(std::getenv("FAULT_BAD_BYTE")) : -1;
const bool kHelpersOnly = std::getenv("FAULT_HELPERS_ONLY") != nullptr;
const long kWriteDelay = std::getenv("FAULT_SLOW_WRITES") ? std::atol(std::getenv("FAULT_SLOW_WRITES")) : 0;
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
std::atomic<long> threads_started;

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
// A read of n bytes at `at` (-1: not a read) fails whenever it covers the bad byte.
bool must_fail(int fd, Kind kind, int error, off_t at = -1, size_t n = 0) {
  if (fd < 0 || fd >= kMaxFd || !descriptors[fd].followed) return false;
  bool writes = kind == kWrite || kind == kPwrite;
  if (writes) descriptors[fd].written = true;
  if (writes && kWriteDelay > 0) ::usleep(static_cast<useconds_t>(kWriteDelay));
  if (kHelpersOnly && ::gettid() == ::getpid()) return false;
  long nth = ++calls[kind];
  bool bad_byte = at >= 0 && kBadByte >= at && kBadByte - at < static_cast<off_t>(n);
  if (!bad_byte && (kFailingKind != kind || nth != kFailingNth)) return false;
  if (kStopInstead && !bad_byte) {
    raise(SIGSTOP);
    return false;
  }
  errno = error;
  return true;
}

// Where a read on the descriptor starts, when a bad byte is set (-1 otherwise, or unknown).
off_t position_of(int fd) {
  static auto real_lseek = next<off_t (*)(int, off_t, int)>("lseek");
  return kBadByte >= 0 ? real_lseek(fd, 0, SEEK_CUR) : -1;
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
  length += std::snprintf(text + length, sizeof text - length, "threads %ld\n", threads_started.load());
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

// The calls that may fail, counted on followed descriptors, with the error each fails with; a read
// also fails when it covers the bad byte, from `at` (-1: no read).
#define FAILING_WRAPPER(result, name, kind, error, params, args, at, n) \
  result name params {                                                  \
    static auto real = next<result(*) params>(#name);                   \
    return must_fail(fd, kind, error, at, n) ? result(-1) : real args;  \
  }

extern "C" {

OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)
OPEN_WRAPPER(openat, int dirfd)
OPEN_WRAPPER(openat64, int dirfd)
CREAT_WRAPPER(creat)
CREAT_WRAPPER(creat64)

FAILING_WRAPPER(ssize_t, read, kRead, EIO, (int fd, void* buf, size_t n), (fd, buf, n), position_of(fd), n)
FAILING_WRAPPER(ssize_t, write, kWrite, ENOSPC, (int fd, const void* buf, size_t n), (fd, buf, n), -1, 0)
FAILING_WRAPPER(ssize_t, pread, kPread, EIO, (int fd, void* buf, size_t n, off_t at), (fd, buf, n, at), at, n)
FAILING_WRAPPER(ssize_t, pread64, kPread, EIO, (int fd, void* buf, size_t n, off64_t at), (fd, buf, n, at), at, n)
FAILING_WRAPPER(ssize_t, pwrite, kPwrite, ENOSPC, (int fd, const void* buf, size_t n, off_t at), (fd, buf, n, at), -1, 0)
FAILING_WRAPPER(ssize_t, pwrite64, kPwrite, ENOSPC, (int fd, const void* buf, size_t n, off64_t at), (fd, buf, n, at), -1, 0)
FAILING_WRAPPER(ssize_t, pwritev, kPwrite, ENOSPC, (int fd, const struct iovec* v, int n, off_t at), (fd, v, n, at), -1, 0)
FAILING_WRAPPER(ssize_t, pwritev64, kPwrite, ENOSPC, (int fd, const struct iovec* v, int n, off64_t at), (fd, v, n, at), -1, 0)
FAILING_WRAPPER(off_t, lseek, kLseek, EIO, (int fd, off_t offset, int whence), (fd, offset, whence), -1, 0)
FAILING_WRAPPER(off64_t, lseek64, kLseek, EIO, (int fd, off64_t offset, int whence), (fd, offset, whence), -1, 0)
FAILING_WRAPPER(int, fsync, kFsync, EIO, (int fd), (fd), -1, 0)

// Threads are counted, so that a test can tell that a run on one thread started none.
int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
  static auto real = next<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>("pthread_create");
  ++threads_started;
  return real(thread, attr, start, arg);
}

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
