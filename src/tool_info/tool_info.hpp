// What every tool of the project prints about itself: its usage, one line per command, and its
// version with the versions of the image libraries it runs with.
#pragma once

#include <span>

#include "command_line.hpp"

// Prints "usage: TOOL COMMAND ..." and one line per command, the help and version commands
// among them, on standard output.
void print_usage(const char* tool, std::span<const Command> commands);
// Prints "TOOL VERSION" and the libjpeg-turbo, libspng and libtiff versions on standard output.
void print_version(const char* tool);
// For "-help", "--help", "-version" and "--version": prints the usage or the versions and returns
// true; false for any other argument.
bool print_tool_info(const char* arg, const char* tool, std::span<const Command> commands);
