// What went wrong in a call of the Python package, in the words the command-line tools print, and
// the kind of Python exception that carries it. The C++ side never throws: every call returns a
// Failure, empty on success, and only the bindings turn it into an exception.
#pragma once

#include <string>

#include "tool_status.hpp"

struct Failure {
  enum class Kind {
    kNone,
    kSystem,    // a system call failed: OSError with `error` as its errno
    kFile,      // a file is not what it claims, or is damaged: ValueError
    kArgument,  // an argument the call cannot take: ValueError
    kMemory,    // MemoryError
  };
  Kind kind = Kind::kNone;
  int error = 0;
  std::string message;

  explicit operator bool() const { return kind != Kind::kNone; }
};

// printf-style text for the messages below.
std::string text(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The message of a tool's failure, its last newline left out.
std::string line_of(const TOOL_STATUS& status);

Failure system_failure(int error, std::string message);
Failure file_failure(std::string message);
Failure argument_failure(std::string message);
Failure memory_failure(std::string message);

// A message of the library or the tools for a failed call whose r64_error was `code`, sorted by it:
// OSError for a failed system call, MemoryError for a lack of memory, ValueError otherwise.
Failure coded_failure(int code, int error, std::string message);
// A failed call of the R64 or CR layer, `code` its r64_error and `error` the errno after it, as the
// tools describe it: "cannot <step>: <reason>", or what is wrong with the R64 file `r64_name`.
Failure r64_failure(int code, int error, const std::string& step, const std::string& r64_name);
// `verb "name"`, the step of those messages.
std::string step_on_file(const char* verb, const std::string& name);
