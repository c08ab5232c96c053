// The commands of cr2ppm and the failures they share. Numbers must be whole decimal integers;
// anything else is refused with the argument quoted.
#include <fcntl.h>

#include <climits>

#include "command_line.hpp"
#include "cr2ppm.hpp"

namespace cr2ppm {

int worker_threads = kEveryCore;

namespace {

TOOL_STATUS run_extract_level(CommandArgs& args) {
  const char* cr_name = args.take();
  int level;
  if (TOOL_STATUS read = take_whole_number(args, "level", INT_MIN, INT_MAX, &level); read.failed()) return read;
  return extract_level(cr_name, level, args.take());
}

// The level, then x, y, width and height, each refused in turn.
TOOL_STATUS run_extract_region(CommandArgs& args) {
  const char* cr_name = args.take();
  const char* const* numbers = args.rest();
  int values[5];
  const char* const kWhat[5] = {"level", "x", "y", "width", "height"};
  for (int i = 0; i < 5; ++i)
    if (TOOL_STATUS read = take_whole_number(args, kWhat[i], INT_MIN, INT_MAX, &values[i]); read.failed()) return read;
  const int w = values[3], h = values[4];
  if (w < 1 || h < 1) return tool_failure("invalid region size %s x %s\n", numbers[3], numbers[4]);
  return extract(cr_name, values[0], values[1], values[2], w, h, args.take());
}

TOOL_STATUS run_threads(CommandArgs& args) {
  int threads;
  if (TOOL_STATUS read = take_whole_number(args, "thread count", 1, INT_MAX, &threads); read.failed()) return read;
  worker_threads = threads;
  return {};
}

const Command kCommands[] = {
    {"-info FILE.cr", "prints the header and the levels of a CR file", 1,
     [](CommandArgs& a) { return info(a.take()); }},
    {"-x FILE.cr LEVEL OUT.ppm", "rebuilds one level of a CR file as a PPM image", 3, run_extract_level},
    {"-xr FILE.cr LEVEL X Y W H OUT.ppm", "rebuilds a region of one level as a PPM image", 7, run_extract_region},
    {"-psnr FILE.cr FILE.r64", "compares every level of a CR file with its R64 file", 2,
     [](CommandArgs& a) {
       const char* cr_name = a.take();
       return psnr(cr_name, a.take());
     }},
    {"-threads N", "worker threads of the following commands", 1, run_threads},
};

const CommandLine kCommandLine{kCommands, "invalid command \"%s\"\n", "too few arguments for %s\n", true, "cr2ppm"};

}  // namespace

TOOL_STATUS run_commands(int argc, const char* const* argv) { return run_tool_command_line(kCommandLine, argc, argv); }

TOOL_STATUS open_cr(const char* name, CrHandle* f) {
  f->reset(cr_open_file(name, O_RDONLY, 0, 0, 0, 0));
  if (*f == nullptr) return tool_failure("%s\n", describe_cr_open_failure(name).c_str());
  return {};
}

TOOL_STATUS open_rebuilder(CR_FILE* f, const char* cr_name, Rebuilder* rb) {
  rb->reset(cr_rebuild_open_with(f, worker_threads));
  if (*rb == nullptr) return tool_failure("out of memory rebuilding \"%s\"\n", cr_name);
  return {};
}

TOOL_STATUS rebuild_failure(const CR_REBUILDER* rb, const char* cr_name) {
  return tool_failure("%s\n", describe_rebuild_failure(rb, cr_name).c_str());
}

TOOL_STATUS check_level(CR_FILE* f, int level, const char* cr_name) {
  if (cr_check_level(f, level)) return {};
  if (!cr_check_level(f, 0)) return tool_failure("\"%s\" holds no level: its image is too small\n", cr_name);
  int top = 0;
  while (cr_check_level(f, top + 1)) ++top;
  return tool_failure("level %i does not exist in \"%s\" (levels 0 to %i)\n", level, cr_name, top);
}

}  // namespace cr2ppm
