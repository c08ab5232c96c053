// What every tool of the project prints about itself: its usage, one line per command, and its
// version with the versions of the image libraries it runs with.
#pragma once

#include <span>

// One command of a tool's usage: its name with its arguments, and what it does.
struct TOOL_COMMAND {
  const char* synopsis;  // "-pr IN.ppm OUT.r64"
  const char* summary;   // "converts a PPM image into level 0 of a new R64 file"
};

// Prints "usage: TOOL COMMAND ..." and one line per command on standard output.
void print_usage(const char* tool, std::span<const TOOL_COMMAND> commands);
// Prints "TOOL VERSION" and the libjpeg-turbo, libspng and libtiff versions on standard output.
void print_version(const char* tool);
// True for the arguments that ask for the usage ("-help", "--help") or the version.
bool asks_for_help(const char* arg);
bool asks_for_version(const char* arg);
