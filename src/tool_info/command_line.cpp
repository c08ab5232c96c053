// The command loop every tool runs: each argument in command position is looked up in the tool's
// table, checked for the arguments it needs and run; the first refusal or failure ends the loop.
#include "command_line.hpp"

#include <cerrno>
#include <cstdlib>

#include "tool_info.hpp"

namespace {

const Command* find_command(std::span<const Command> commands, std::string_view name) {
  for (const Command& command : commands)
    if (command.name() == name) return &command;
  return nullptr;
}

TOOL_STATUS refusal(const CommandLine& line, const char* format, const char* arg) {
  TOOL_STATUS status = tool_failure(format, arg);
  return line.refusals_after_output ? status : ahead_of_output(status);
}

}  // namespace

TOOL_STATUS run_command_line(const CommandLine& line, CommandArgs args) {
  while (args.left() > 0) {
    const char* name = args.take();
    if (line.tool != nullptr && print_tool_info(name, line.tool, line.commands)) continue;
    const Command* command = find_command(line.commands, name);
    if (command == nullptr) return refusal(line, line.unknown, name);
    if (args.left() < command->arguments)
      return refusal(line, command->too_few ? command->too_few : line.too_few, name);
    TOOL_STATUS status = command->run(args);
    if (status.failed()) return status;
  }
  return {};
}

TOOL_STATUS run_tool_command_line(const CommandLine& line, int argc, const char* const* argv) {
  if (argc < 2) print_usage(line.tool, line.commands);
  return run_command_line(line, CommandArgs(argv + 1, argc - 1));
}

std::optional<int> whole_number(const char* arg, int low, int high) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(arg, &end, 10);
  if (errno != 0 || end == arg || *end != '\0' || value < low || value > high) return std::nullopt;
  return static_cast<int>(value);
}

TOOL_STATUS take_whole_number(CommandArgs& args, const char* what, int low, int high, int* value) {
  const char* arg = args.take();
  std::optional<int> number = whole_number(arg, low, high);
  if (!number) return tool_failure("invalid %s \"%s\"\n", what, arg);
  *value = *number;
  return {};
}
