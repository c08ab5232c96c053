// A library preloaded into the tool under test that makes one chosen system call fail. It follows
// the descriptors opened on files whose name contains FAULT_PATH, counts the calls of each kind on
// them, and fails the FAULT_NTH call of kind FAULT_CALL (read, write, lseek, close, pread, pwrite,
// fsync) with EIO, or ENOSPC for the writes. A close that fails stands for written data the system
// could not keep: a file written through that descriptor goes back to the length it had when opened.
// With FAULT_COUNT_FILE set, the counts of every kind are written to that file at exit
// ("read 12\nwrite 3\n..."), so a clean run tells the sweep how many positions there are.
// Descriptors opened inside the C library (standard streams) are never followed, so never fail.
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
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

struct Config {
  const char* path = nullptr;  // substring of the followed file names; null: follow nothing
  int kind = -1;               // the kind that fails; -1: none
  long nth = 0;
};

const Config& config() {
  static const Config parsed = [] {
    Config c;
    c.path = std::getenv("FAULT_PATH");
    if (const char* call = std::getenv("FAULT_CALL"))
      for (int k = 0; k < kKinds; ++k)
        if (std::strcmp(call, kKindNames[k]) == 0) c.kind = k;
    if (const char* nth = std::getenv("FAULT_NTH")) c.nth = std::atol(nth);
    return c;
  }();
  return parsed;
}

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

// Follows (or stops following) a descriptor just opened on `path`; returns it.
int noted(int fd, const char* path) {
  if (fd < 0 || fd >= kMaxFd) return fd;
  const char* wanted = config().path;
  bool follow = wanted != nullptr && *wanted != '\0' && path != nullptr && std::strstr(path, wanted) != nullptr;
  struct stat st;
  Descriptor& d = descriptors[fd];
  d.opened_length = follow && ::fstat(fd, &st) == 0 ? st.st_size : 0;
  d.written = false;
  d.followed = follow;
  return fd;
}

bool is_followed(int fd) { return fd >= 0 && fd < kMaxFd && descriptors[fd].followed; }

// Counts a call on a followed descriptor; true when this is the one that must fail.
bool must_fail(int fd, Kind kind) {
  if (!is_followed(fd)) return false;
  if (kind == kWrite || kind == kPwrite) descriptors[fd].written = true;
  long n = ++calls[kind];
  return config().kind == kind && n == config().nth;
}

template <typename T>
T fail(int error) {
  errno = error;
  return static_cast<T>(-1);
}

// The mode argument exists only when the flags create a file.
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

extern "C" {

int open(const char* path, int flags, ...) {
  static auto real = next<int (*)(const char*, int, ...)>("open");
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  return noted(real(path, flags, mode), path);
}

int open64(const char* path, int flags, ...) {
  static auto real = next<int (*)(const char*, int, ...)>("open64");
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  return noted(real(path, flags, mode), path);
}

int openat(int dirfd, const char* path, int flags, ...) {
  static auto real = next<int (*)(int, const char*, int, ...)>("openat");
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  return noted(real(dirfd, path, flags, mode), path);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  static auto real = next<int (*)(int, const char*, int, ...)>("openat64");
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  return noted(real(dirfd, path, flags, mode), path);
}

int creat(const char* path, mode_t mode) {
  static auto real = next<int (*)(const char*, mode_t)>("creat");
  return noted(real(path, mode), path);
}

int creat64(const char* path, mode_t mode) {
  static auto real = next<int (*)(const char*, mode_t)>("creat64");
  return noted(real(path, mode), path);
}

ssize_t read(int fd, void* buf, size_t n) {
  static auto real = next<ssize_t (*)(int, void*, size_t)>("read");
  return must_fail(fd, kRead) ? fail<ssize_t>(EIO) : real(fd, buf, n);
}

ssize_t write(int fd, const void* buf, size_t n) {
  static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
  return must_fail(fd, kWrite) ? fail<ssize_t>(ENOSPC) : real(fd, buf, n);
}

ssize_t pread(int fd, void* buf, size_t n, off_t offset) {
  static auto real = next<ssize_t (*)(int, void*, size_t, off_t)>("pread");
  return must_fail(fd, kPread) ? fail<ssize_t>(EIO) : real(fd, buf, n, offset);
}

ssize_t pread64(int fd, void* buf, size_t n, off64_t offset) {
  static auto real = next<ssize_t (*)(int, void*, size_t, off64_t)>("pread64");
  return must_fail(fd, kPread) ? fail<ssize_t>(EIO) : real(fd, buf, n, offset);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset) {
  static auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  return must_fail(fd, kPwrite) ? fail<ssize_t>(ENOSPC) : real(fd, buf, n, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t offset) {
  static auto real = next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
  return must_fail(fd, kPwrite) ? fail<ssize_t>(ENOSPC) : real(fd, buf, n, offset);
}

off_t lseek(int fd, off_t offset, int whence) {
  static auto real = next<off_t (*)(int, off_t, int)>("lseek");
  return must_fail(fd, kLseek) ? fail<off_t>(EIO) : real(fd, offset, whence);
}

off64_t lseek64(int fd, off64_t offset, int whence) {
  static auto real = next<off64_t (*)(int, off64_t, int)>("lseek64");
  return must_fail(fd, kLseek) ? fail<off64_t>(EIO) : real(fd, offset, whence);
}

int fsync(int fd) {
  static auto real = next<int (*)(int)>("fsync");
  return must_fail(fd, kFsync) ? fail<int>(EIO) : real(fd);
}

// A close that fails still releases the descriptor, as the system's does, and loses what was
// written through it.
int close(int fd) {
  static auto real = next<int (*)(int)>("close");
  bool failing = must_fail(fd, kClose);
  if (failing && descriptors[fd].written && ::ftruncate(fd, descriptors[fd].opened_length) != 0)
    std::fprintf(stderr, "fault_shim: cannot undo the writes\n");
  if (fd >= 0 && fd < kMaxFd) descriptors[fd].followed = false;
  int result = real(fd);
  return failing ? fail<int>(EIO) : result;
}

}  // extern "C"
