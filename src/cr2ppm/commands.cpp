// The command loop of cr2ppm and the messages its commands share. Numbers must be whole decimal
// integers; anything else is refused with the argument quoted.
#include <fcntl.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cr2ppm.hpp"
#include "tool_info.hpp"

namespace cr2ppm {

int worker_threads = kEveryCore;

namespace {

int number(const char* arg, const char* what) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(arg, &end, 10);
  if (errno != 0 || end == arg || *end != '\0' || value < INT_MIN || value > INT_MAX)
    fail("invalid %s \"%s\"\n", what, arg);
  return static_cast<int>(value);
}

void need(int remaining, int count, const char* command) {
  if (remaining < count) fail("too few arguments for %s\n", command);
}

int run_info(int remaining, char** args) {
  need(remaining, 1, "-info");
  info(args[0]);
  return 1;
}

int run_extract_level(int remaining, char** args) {
  need(remaining, 3, "-x");
  extract_level(args[0], number(args[1], "level"), args[2]);
  return 3;
}

int run_extract_region(int remaining, char** args) {
  need(remaining, 7, "-xr");
  int level = number(args[1], "level");
  int x = number(args[2], "x");
  int y = number(args[3], "y");
  int w = number(args[4], "width");
  int h = number(args[5], "height");
  if (w < 1 || h < 1) fail("invalid region size %s x %s\n", args[4], args[5]);
  extract(args[0], level, x, y, w, h, args[6]);
  return 7;
}

int run_threads(int remaining, char** args) {
  need(remaining, 1, "-threads");
  int threads = number(args[0], "thread count");
  if (threads < 1) fail("invalid thread count \"%s\"\n", args[0]);
  worker_threads = threads;
  return 1;
}

int run_psnr(int remaining, char** args) {
  need(remaining, 2, "-psnr");
  psnr(args[0], args[1]);
  return 2;
}

constexpr TOOL_COMMAND kUsage[] = {
    {"-info FILE.cr", "prints the header and the levels of a CR file"},
    {"-x FILE.cr LEVEL OUT.ppm", "rebuilds one level of a CR file as a PPM image"},
    {"-xr FILE.cr LEVEL X Y W H OUT.ppm", "rebuilds a region of one level as a PPM image"},
    {"-psnr FILE.cr FILE.r64", "compares every level of a CR file with its R64 file"},
    {"-threads N", "worker threads of the following commands"},
};

struct Command {
  std::string_view name;
  int (*run)(int remaining, char** args);
};

constexpr Command kCommands[] = {
    {"-info", run_info}, {"-x", run_extract_level}, {"-xr", run_extract_region}, {"-psnr", run_psnr},
    {"-threads", run_threads}};

}  // namespace

int run_commands(int argc, char** argv) {
  if (argc < 2) print_usage("cr2ppm", kUsage);
  for (int i = 1; i < argc;) {
    if (print_tool_info(argv[i], "cr2ppm", kUsage)) {
      ++i;
      continue;
    }
    const Command* found = nullptr;
    for (const Command& command : kCommands)
      if (command.name == argv[i]) found = &command;
    if (found == nullptr) fail("invalid command \"%s\"\n", argv[i]);
    i += 1 + found->run(argc - i - 1, argv + i + 1);
  }
  return 0;
}

void fail(const char* format, ...) {
  std::fflush(stdout);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::exit(1);
}

CR_FILE* open_cr(const char* name) {
  CR_FILE* f = cr_open_file(name, O_RDONLY, 0, 0, 0, 0);
  if (f != nullptr) return f;
  if (r64_error == kR64System) fail("cannot open the CR file \"%s\": %s\n", name, std::strerror(errno));
  if (r64_error == kR64Short) fail("\"%s\" is cut short: its header or table is incomplete\n", name);
  fail("\"%s\" is not a CR file\n", name);
}

void fail_rebuild(const CR_REBUILDER* rb, const char* cr_name) {
  int level, x, y;
  cr_rebuild_failed_at(rb, &level, &x, &y);
  switch (r64_error) {
    case kR64System:
      fail("cannot read \"%s\": %s\n", cr_name, std::strerror(errno));
    case kR64Memory:
      fail("out of memory rebuilding \"%s\"\n", cr_name);
    case kR64Short:
      fail("rectangle (%i, %i) of level %i of \"%s\" is missing or cut short\n", x, y, level, cr_name);
    default:
      fail("rectangle (%i, %i) of level %i of \"%s\" is damaged\n", x, y, level, cr_name);
  }
}

void check_level(CR_FILE* f, int level, const char* cr_name) {
  if (cr_check_level(f, level)) return;
  if (!cr_check_level(f, 0)) fail("\"%s\" holds no level: its image is too small\n", cr_name);
  int top = 0;
  while (cr_check_level(f, top + 1)) ++top;
  fail("level %i does not exist in \"%s\" (levels 0 to %i)\n", level, cr_name, top);
}

}  // namespace cr2ppm
