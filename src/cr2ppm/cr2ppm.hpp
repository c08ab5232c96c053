// The reading tool's driver: commands that report on CR files, rebuild their levels or regions as
// PPM images and measure their quality. Every failure ends the process with exit status 1 after
// one message on standard error.
#pragma once

#include "r64.hpp"

namespace cr2ppm {

// Threads that decode blocks at once (set by "-threads"), every core by default.
extern int worker_threads;

// Runs the commands of argv[1..argc-1] left to right; returns 0 after the last one.
int run_commands(int argc, char** argv);

void info(const char* cr_name);
// The w x h region at (x, y) of `level`, clipped to the level, as a P6 image; whole_level takes
// the level's own size.
void extract(const char* cr_name, int level, int x, int y, int w, int h, const char* out_name);
void extract_level(const char* cr_name, int level, const char* out_name);
void psnr(const char* cr_name, const char* r64_name);

// Shared by the commands.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Opens an existing CR file read-only, or ends the process with a message naming it.
CR_FILE* open_cr(const char* name);
// Ends the process with a message naming the rectangle at which rebuilding failed.
[[noreturn]] void fail_rebuild(const CR_REBUILDER* rb, const char* cr_name);
// Ends the process unless `level` exists in the file.
void check_level(CR_FILE* f, int level, const char* cr_name);

}  // namespace cr2ppm
