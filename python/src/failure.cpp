// The failures of the Python package: messages made as the tools make theirs, sorted into the
// kinds of exception Python callers catch.
#include "failure.hpp"

#include <cstdarg>
#include <utility>

#include "ppm2r64.hpp"
#include "r64.hpp"
#include "tool_status.hpp"

std::string text(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = vformat_text(format, args);
  va_end(args);
  return out;
}

std::string line_of(const TOOL_STATUS& status) {
  const std::string& message = status.message;
  return message.ends_with('\n') ? message.substr(0, message.size() - 1) : message;
}

Failure system_failure(int error, std::string message) { return {Failure::Kind::kSystem, error, std::move(message)}; }
Failure file_failure(std::string message) { return {Failure::Kind::kFile, 0, std::move(message)}; }
Failure argument_failure(std::string message) { return {Failure::Kind::kArgument, 0, std::move(message)}; }
Failure memory_failure(std::string message) { return {Failure::Kind::kMemory, 0, std::move(message)}; }

Failure r64_failure(int code, int error, const std::string& step, const std::string& r64_name) {
  return coded_failure(code, error, describe_r64_failure(code, error, step, r64_name.c_str()));
}

Failure coded_failure(int code, int error, std::string message) {
  switch (code) {
    case kR64System: return system_failure(error, std::move(message));
    case kR64Memory: return memory_failure(std::move(message));
    default: return file_failure(std::move(message));
  }
}

std::string step_on_file(const char* verb, const std::string& name) { return step_on(verb, name.c_str()); }
