// The usage and version lines of the tools. The libspng and libtiff versions are asked of the
// libraries loaded; libjpeg-turbo offers its version only at build time.
#include "tool_info.hpp"

#include <jconfig.h>
#include <spng.h>
#include <tiffio.h>

#include <cstdio>
#include <string_view>

namespace {

#define PPM2R64_TEXT(x) #x
#define PPM2R64_EXPAND_TEXT(x) PPM2R64_TEXT(x)
constexpr const char* kJpegVersion = PPM2R64_EXPAND_TEXT(LIBJPEG_TURBO_VERSION);

// TIFFGetVersion() says "LIBTIFF, Version 4.5.0" followed by a copyright notice: the number is
// the text after "Version " up to the end of its line.
void print_tiff_version() {
  std::string_view text = TIFFGetVersion();
  constexpr std::string_view kMark = "Version ";
  size_t start = text.find(kMark);
  if (start == std::string_view::npos) {
    std::printf("libtiff unknown\n");
    return;
  }
  text.remove_prefix(start + kMark.size());
  text = text.substr(0, text.find_first_of("\n\r "));
  std::printf("libtiff %.*s\n", static_cast<int>(text.size()), text.data());
}

}  // namespace

void print_usage(const char* tool, std::span<const Command> commands) {
  std::printf("usage: %s COMMAND ...   (commands run left to right)\n", tool);
  for (const Command& command : commands)
    if (command.summary != nullptr) std::printf("  %-34s %s\n", command.synopsis, command.summary);
  std::printf("  %-34s %s\n", "-help, --help", "prints this usage");
  std::printf("  %-34s %s\n", "-version, --version", "prints the version and those of the image libraries");
  std::fflush(stdout);
}

void print_version(const char* tool) {
  std::printf("%s %s\n", tool, PPM2R64_VERSION);
  std::printf("libjpeg-turbo %s\n", kJpegVersion);
  std::printf("libspng %s\n", spng_version_string());
  print_tiff_version();
  std::fflush(stdout);
}

bool print_tool_info(const char* arg, const char* tool, std::span<const Command> commands) {
  std::string_view name = arg;
  if (name == "-help" || name == "--help") {
    print_usage(tool, commands);
    return true;
  }
  if (name == "-version" || name == "--version") {
    print_version(tool);
    return true;
  }
  return false;
}
