// The command lines of the tools: a table of commands run left to right, each taking the
// arguments that follow it, and the whole numbers they read. A refusal is a status, never an exit.
#pragma once

#include <climits>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "tool_status.hpp"

// The arguments after a command; the command takes those it uses, in order.
class CommandArgs {
 public:
  CommandArgs(const char* const* args, int count) : args_(args), count_(count) {}
  int left() const { return count_ - taken_; }
  // The next argument, left in place; null when none is left.
  const char* peek() const { return taken_ < count_ ? args_[taken_] : nullptr; }
  const char* take() { return args_[taken_++]; }
  // The argument vector from the next argument on.
  const char* const* rest() const { return args_ + taken_; }

 private:
  const char* const* args_;
  int count_;
  int taken_ = 0;
};

// One command of a tool: its synopsis, whose first word is its name ("-pr IN.ppm OUT.r64"), what
// it does (for the usage; null leaves it out), how many arguments it needs (fewer left is refused
// before it runs) and what runs it.
struct Command {
  const char* synopsis;
  const char* summary;
  int arguments;
  std::function<TOOL_STATUS(CommandArgs&)> run;
  const char* too_few = nullptr;  // its own refusal of too few arguments, instead of the line's

  std::string_view name() const {
    std::string_view text = synopsis;
    return text.substr(0, text.find(' '));
  }
};

struct CommandLine {
  std::span<const Command> commands;
  const char* unknown;         // refusal of an argument that names no command (printf-style, the argument)
  const char* too_few;         // refusal of a command with too few arguments (printf-style, the command)
  bool refusals_after_output;  // false: those refusals go ahead of what standard output buffers
  // With a tool name, "-help", "--help", "-version" and "--version" print its usage or versions.
  const char* tool = nullptr;
};

// Runs the commands of `args` left to right; the status of the first that fails, else done.
TOOL_STATUS run_command_line(const CommandLine& line, CommandArgs args);
// A tool's whole command line, argv[1..argc-1]: without any argument, its usage.
TOOL_STATUS run_tool_command_line(const CommandLine& line, int argc, const char* const* argv);

// A whole decimal number of low..high, as strtol reads one (leading blanks and a sign allowed),
// or nothing.
std::optional<int> whole_number(const char* arg, int low = INT_MIN, int high = INT_MAX);
// Takes the next argument as a whole number of low..high into *value; anything else is refused
// with "invalid WHAT "ARG"".
TOOL_STATUS take_whole_number(CommandArgs& args, const char* what, int low, int high, int* value);
