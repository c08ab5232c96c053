// What every tool of the project prints about itself: its usage, one line per command, and its
// version with the versions of the image libraries it runs with.
#pragma once

#include <span>

// One command of a tool's usage: its name with its arguments, and what it does.
struct TOOL_COMMAND {
  const char* synopsis;  // "-pr IN.ppm OUT.r64"
  const char* summary;   // "converts a PPM image into level 0 of a new R64 file"
};

// Prints "usage: TOOL COMMAND ..." and one line per command, the help and version commands
// among them, on standard output.
void print_usage(const char* tool, std::span<const TOOL_COMMAND> commands);
// Prints "TOOL VERSION" and the libjpeg-turbo, libspng and libtiff versions on standard output.
void print_version(const char* tool);
// For "-help", "--help", "-version" and "--version": prints the usage or the versions and returns
// true; false for any other argument.
bool print_tool_info(const char* arg, const char* tool, std::span<const TOOL_COMMAND> commands);
