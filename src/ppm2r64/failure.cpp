// The messages of a failed R64 action: the error code line every such failure starts with, the
// system's words when a system call failed, and a line naming the step and the file that failed
// ("cannot write "OUT.r64": No space left on device"), so that a full disk, a missing folder and a
// file that is not an R64 file each say what they are.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ppm2r64.hpp"
#include "r64.hpp"

namespace {

std::string quoted(const char* name) { return std::string("\"") + name + "\""; }

[[noreturn]] void exit_after(const char* code_format, const std::string& step, const char* r64_name) {
  const int code = r64_error;
  const int error = errno;
  std::fflush(stdout);
  std::fprintf(stderr, code_format, code);
  if (code == kR64System) {
    errno = error;
    std::perror("system ");
  }
  std::fprintf(stderr, "%s\n", describe_r64_failure(code, error, step, r64_name).c_str());
  std::exit(1);
}

}  // namespace

std::string describe_r64_failure(int code, int error, const std::string& step, const char* r64_name) {
  switch (code) {
    case kR64System: return "cannot " + step + ": " + std::strerror(error);
    case kR64Memory: return "cannot " + step + ": out of memory";
    case kR64NotR64: return quoted(r64_name) + " is not an R64 file";
    case kR64Short:
    case kR64ReadOnly: return quoted(r64_name) + " is cut short";
    case kR64NoLevel: return "cannot " + step + ": it lays out no further level";
    default: return "cannot " + step;
  }
}

std::string step_on(const char* verb, const char* name) { return std::string(verb) + " " + quoted(name); }

void exit_r64_error(const std::string& step, const char* r64_name) { exit_after("r64 error: %i\n", step, r64_name); }

void exit_r64_failure(const std::string& step, const char* r64_name) { exit_after("R64 %i\n", step, r64_name); }
