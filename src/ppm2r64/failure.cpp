// The messages of a failed R64 action: the error code line every such failure starts with, the
// system's words when a system call failed, and a line naming the step and the file that failed
// ("cannot write "OUT.r64": No space left on device"), so that a full disk, a missing folder and a
// file that is not an R64 file each say what they are. Also the refusals of an image before
// anything is written, which the Python package shares: a size an R64 file cannot hold, an image
// that cannot be read.
#include <cerrno>
#include <cstring>
#include <string>

#include "ppm2r64.hpp"
#include "r64.hpp"
#include "row_source.hpp"

namespace {

std::string quoted(const char* name) { return std::string("\"") + name + "\""; }

bool fits_r64(unsigned int side) { return side >= 3 && side <= static_cast<unsigned int>(kMaxSide); }

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

TOOL_STATUS check_r64_size(unsigned int width, unsigned int height) {
  if (fits_r64(width) && fits_r64(height)) return {};
  return tool_failure("unsupported image size %ix%i\n", static_cast<int>(width), static_cast<int>(height));
}

std::string describe_image_failure(const char* path) {
  return "cannot convert the image " + quoted(path) + ": " + row_source_error();
}

std::string step_on(const char* verb, const char* name) { return std::string(verb) + " " + quoted(name); }

TOOL_STATUS r64_failure(CodeLine code_line, const std::string& step, const char* r64_name) {
  const int code = r64_error;
  const int error = errno;
  TOOL_STATUS status = tool_failure(code_line == CodeLine::kConversion ? "R64 %i\n" : "r64 error: %i\n", code);
  if (code == kR64System) status.message += std::string("system : ") + std::strerror(error) + "\n";
  status.message += describe_r64_failure(code, error, step, r64_name) + "\n";
  return status;
}
