// The reading tool's driver: commands that report on CR files, rebuild their levels or regions as
// PPM images and measure their quality. Each returns its status: done, or the message of its
// failure and exit status 1, which main prints; none ends the process, so a program linking the
// library may run them (having called check_endian and r64_init once, as main does).
#pragma once

#include <memory>

#include "r64.hpp"
#include "tool_status.hpp"

namespace cr2ppm {

// Threads that decode blocks at once (set by "-threads"), every core by default.
extern int worker_threads;

// Runs the commands of argv[1..argc-1] left to right: the status of the first that fails, or done.
TOOL_STATUS run_commands(int argc, const char* const* argv);

TOOL_STATUS info(const char* cr_name);
// The w x h region at (x, y) of `level`, clipped to the level, as a P6 image; extract_level takes
// the level's own size.
TOOL_STATUS extract(const char* cr_name, int level, int x, int y, int w, int h, const char* out_name);
TOOL_STATUS extract_level(const char* cr_name, int level, const char* out_name);
TOOL_STATUS psnr(const char* cr_name, const char* r64_name);

// Shared by the commands.
struct CrClose {
  void operator()(CR_FILE* f) const { cr_close_file(f); }
};
using CrHandle = std::unique_ptr<CR_FILE, CrClose>;
struct RebuilderClose {
  void operator()(CR_REBUILDER* rb) const { cr_rebuild_close(rb); }
};
using Rebuilder = std::unique_ptr<CR_REBUILDER, RebuilderClose>;

// Opens an existing CR file read-only into *f; the failure names it.
TOOL_STATUS open_cr(const char* name, CrHandle* f);
// A rebuilder of `f` into *rb; the failure (out of memory) names the file.
TOOL_STATUS open_rebuilder(CR_FILE* f, const char* cr_name, Rebuilder* rb);
// The failure of the rebuilder's last call, naming the rectangle at fault.
TOOL_STATUS rebuild_failure(const CR_REBUILDER* rb, const char* cr_name);
// Refuses a level the file does not hold.
TOOL_STATUS check_level(CR_FILE* f, int level, const char* cr_name);

}  // namespace cr2ppm
