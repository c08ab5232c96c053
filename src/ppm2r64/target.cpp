// The target R64 file of the commands. It is named by "-t" or written by "-pr" and "-ir"; the
// first command that opens or writes it keeps a descriptor of that very file, and every later
// command opens the file through it (/proc/self/fd/N), not by its name: another program that
// replaces the name meanwhile cannot make one run mix two images. Where /proc is missing, the
// name is opened and must still lead to the same file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ppm2r64.hpp"
#include "r64.hpp"

const char* target = nullptr;

namespace {

int pinned = -1;  // a descriptor of the target's file, once a command has had it

void unpin() {
  if (pinned >= 0) ::close(pinned);
  pinned = -1;
}

std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

bool same_identity(int a, int b) {
  struct stat sa, sb;
  return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

[[noreturn]] void fail_replaced() {
  std::fflush(stdout);
  std::fprintf(stderr, "the target \"%s\" was replaced by another program during this run\n", target);
  std::exit(1);
}

// Opens the pinned file again with `ctl`.
R64_FILE* reopen_pinned(int ctl) {
  std::string path = descriptor_path(pinned);
  if (::access(path.c_str(), F_OK) == 0) return r64_open_file(path.c_str(), ctl, 0644, 'P', 0, 0);
  R64_FILE* f = r64_open_file(target, ctl, 0644, 'P', 0, 0);
  if (f != nullptr && !same_identity(f->fd, pinned)) fail_replaced();
  return f;
}

}  // namespace

void set_target(const char* name) {
  unpin();
  target = name;
}

void set_written_target(const char* name, int fd) {
  unpin();
  target = name;
  pinned = fd;
}

R64_FILE* open_target(int ctl) {
  if (pinned >= 0) return reopen_pinned(ctl);
  R64_FILE* f = r64_open_file(target, ctl, 0644, 'P', 0, 0);
  if (f == nullptr) return nullptr;
  pinned = ::fcntl(f->fd, F_DUPFD_CLOEXEC, 0);
  if (pinned >= 0) return f;
  r64_close_file(f);
  r64_error = kR64System;
  return nullptr;
}
