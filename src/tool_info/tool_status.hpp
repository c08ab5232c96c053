// How an action of a tool ends, and the failures every tool words alike. An action never prints
// its failure nor ends the process: it returns a status whose message the tool's main prints
// before returning its exit status, so that a program linking the library calls actions too.
#pragma once

#include <cstdarg>
#include <string>

#include "r64.hpp"

struct TOOL_STATUS {
  int exit_status = 0;  // 0: done; otherwise the status the tool exits with
  std::string message;  // complete lines for standard error; empty when done
  // Whether the lines standard output still buffers go out before the message (false: the
  // message goes ahead of them, as the command line's own refusals in ppm2r64 do).
  bool after_output = true;

  bool failed() const { return exit_status != 0; }
};

// The text of a printf-style `format` with its arguments.
std::string vformat_text(const char* format, va_list args);

// A failure with exit status 1 and the message of a printf-style `format` (complete lines).
TOOL_STATUS tool_failure(const char* format, ...) __attribute__((format(printf, 1, 2)));
// `status` with its message put ahead of what standard output still buffers.
TOOL_STATUS ahead_of_output(TOOL_STATUS status);
// What main does with the status of its commands: prints the message of a failure on standard
// error and returns the exit status.
int finish(const TOOL_STATUS& status);

// Why cr_open_file failed on the CR file `name` (read from r64_error and errno), one line
// without its newline.
std::string describe_cr_open_failure(const char* name);
// Why the last call of a rebuilder failed (read from r64_error and errno), one line without its
// newline. A rectangle at fault (damaged, missing or cut short) is named with its level and, when
// `cr_name` is given, the file; a failed read or a lack of memory names the file, or without
// `cr_name` the rectangle.
std::string describe_rebuild_failure(const CR_REBUILDER* rb, const char* cr_name);
// The same for a rebuild that failed at the rectangle (x, y) of `level`.
std::string describe_rebuild_failure_at(int level, int x, int y, const char* cr_name);
