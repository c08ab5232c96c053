// The statuses the tools' actions return, the one place where a tool prints a failure, and the
// lines that describe the failures the tools share (opening a CR file, rebuilding its pixels).
#include "tool_status.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string quoted(const char* name) { return std::string("\"") + name + "\""; }

}  // namespace

std::string vformat_text(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(nullptr, 0, format, args);
  std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

TOOL_STATUS tool_failure(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = vformat_text(format, args);
  va_end(args);
  return TOOL_STATUS{1, std::move(message)};
}

TOOL_STATUS ahead_of_output(TOOL_STATUS status) {
  status.after_output = false;
  return status;
}

int finish(const TOOL_STATUS& status) {
  if (!status.failed()) return 0;
  if (status.after_output) std::fflush(stdout);
  std::fputs(status.message.c_str(), stderr);
  return status.exit_status;
}

std::string describe_cr_open_failure(const char* name) {
  if (r64_error == kR64System) return "cannot open the CR file " + quoted(name) + ": " + std::strerror(errno);
  if (r64_error == kR64Short) return quoted(name) + " is cut short: its header or table is incomplete";
  return quoted(name) + " is not a CR file";
}

std::string describe_rebuild_failure(const CR_REBUILDER* rb, const char* cr_name) {
  int level, x, y;
  cr_rebuild_failed_at(rb, &level, &x, &y);
  return describe_rebuild_failure_at(level, x, y, cr_name);
}

std::string describe_rebuild_failure_at(int level, int x, int y, const char* cr_name) {
  const int code = r64_error;
  const int error = errno;
  std::string rectangle = "rectangle (" + std::to_string(x) + ", " + std::to_string(y) + ") of level " +
                          std::to_string(level);
  if (cr_name != nullptr) rectangle += " of " + quoted(cr_name);
  const std::string whole = cr_name != nullptr ? quoted(cr_name) : rectangle;
  switch (code) {
    case kR64System: return "cannot read " + whole + ": " + std::strerror(error);
    case kR64Memory: return "out of memory rebuilding " + whole;
    case kR64Short: return rectangle + " is missing or cut short";
    default: return rectangle + " is damaged";
  }
}
