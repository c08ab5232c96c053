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

// Opens the pinned file again with `ctl`; null when it cannot be opened, or when by its name it is
// another file now (*replaced set).
R64_FILE* reopen_pinned(int ctl, bool* replaced) {
  std::string path = descriptor_path(pinned);
  if (::access(path.c_str(), F_OK) == 0) return r64_open_file(path.c_str(), ctl, 0644, 'P', 0, 0);
  R64Handle f(r64_open_file(target, ctl, 0644, 'P', 0, 0));
  *replaced = f != nullptr && !same_identity(f->fd, pinned);
  return *replaced ? nullptr : f.release();
}

R64_FILE* open_and_pin(int ctl) {
  R64Handle f(r64_open_file(target, ctl, 0644, 'P', 0, 0));
  if (f == nullptr) return nullptr;
  pinned = ::fcntl(f->fd, F_DUPFD_CLOEXEC, 0);
  if (pinned >= 0) return f.release();
  r64_error = kR64System;
  return nullptr;
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

TOOL_STATUS open_target(int ctl, R64Handle* f) {
  bool replaced = false;
  f->reset(pinned >= 0 ? reopen_pinned(ctl, &replaced) : open_and_pin(ctl));
  if (replaced) return tool_failure("the target \"%s\" was replaced by another program during this run\n", target);
  if (*f == nullptr) return r64_failure(CodeLine::kAction, step_on("open", target), target);
  return {};
}
