// What every fuzz target shares: the one-time set-up of the library, a check that stops the run
// with the failed condition, and a file held in memory that the library opens by name.
#pragma once

#include <sanitizer/allocator_interface.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "change_endian.hpp"
#include "r64.hpp"

// A failed check is a finding: libFuzzer saves the input that caused it.
#define FUZZ_CHECK(condition)                                                                  \
  do {                                                                                         \
    if (!(condition)) {                                                                        \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);      \
      std::abort();                                                                            \
    }                                                                                          \
  } while (0)

// The byte order and the process-wide state of the R64 layer, once. The targets run every call
// on the calling thread alone (a thread count of kFuzzThreads), so that every input follows one
// path and coverage stays stable.
inline constexpr int kFuzzThreads = 1;

inline void fuzz_init() {
  check_endian();
  r64_init();
}

// A file in memory (memfd_create), named /proc/self/fd/N for the library's calls that open files
// by name. It lives as long as the process; each input rewrites it.
class MemFile {
 public:
  explicit MemFile(const char* name) : fd_(::memfd_create(name, 0)) {
    if (fd_ < 0) {
      std::perror("memfd_create");
      std::abort();
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;

  int fd() const { return fd_; }
  const char* path() const { return path_.c_str(); }

  // Makes the file hold exactly these bytes, its offset at the start.
  void assign(std::span<const uint8_t> bytes) const {
    truncate();
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      FUZZ_CHECK(n > 0);
      done += static_cast<size_t>(n);
    }
  }

  void truncate() const {
    FUZZ_CHECK(::ftruncate(fd_, 0) == 0);
    FUZZ_CHECK(::lseek(fd_, 0, SEEK_SET) == 0);
  }

  off_t size() const {
    struct stat st;
    FUZZ_CHECK(::fstat(fd_, &st) == 0);
    return st.st_size;
  }

  // The whole content, as the library left it.
  std::vector<uint8_t> bytes() const {
    std::vector<uint8_t> content(static_cast<size_t>(size()));
    size_t done = 0;
    while (done < content.size()) {
      ssize_t n = ::pread(fd_, content.data() + done, content.size() - done, static_cast<off_t>(done));
      FUZZ_CHECK(n > 0);
      done += static_cast<size_t>(n);
    }
    return content;
  }

 private:
  int fd_;
  std::string path_;
};

// The memory an input makes the library hold at once: the peak of the bytes allocated and not yet
// freed, above what was held when watching started, whatever the sizes of single allocations.
class MemoryWatch {
 public:
  MemoryWatch() {
    static const bool installed = __sanitizer_install_malloc_and_free_hooks(note_allocation, note_release) != 0;
    FUZZ_CHECK(installed);
  }
  void start() {
    base() = __sanitizer_get_current_allocated_bytes();
    peak() = base();
    largest_allocation() = 0;
    watching() = true;
  }
  // The peak above the start, and the largest single allocation, since start().
  size_t stop() {
    watching() = false;
    return peak() - base();
  }
  size_t largest() const { return largest_allocation(); }

 private:
  static size_t& base() { static size_t value = 0; return value; }
  static size_t& peak() { static size_t value = 0; return value; }
  static bool& watching() { static bool value = false; return value; }
  static size_t& largest_allocation() { static size_t value = 0; return value; }
  static void note_allocation(const volatile void*, size_t size) {
    if (!watching()) return;
    peak() = std::max(peak(), __sanitizer_get_current_allocated_bytes());
    largest_allocation() = std::max(largest_allocation(), size);
  }
  static void note_release(const volatile void*) {}
};
