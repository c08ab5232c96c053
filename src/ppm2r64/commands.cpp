// The command loop: each argument in command position names a command, which takes its arguments
// and runs before the next command is read. Any error ends the process with exit status 1; no
// argument at all prints the usage.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "ppm2r64.hpp"
#include "r64.hpp"
#include "tool_info.hpp"

int rect_size = 256;
int worker_threads = kEveryCore;
CR_CODING cr_coding = cr_classic_coding();
PPM_INFO ppm{};

namespace {

constexpr long kMaxThreads = 1024;

[[noreturn]] void fail(const char* message) {
  std::fputs(message, stderr);
  std::exit(1);
}

// A message naming an output and an input file (the format may leave the input out).
[[noreturn]] void fail_on(const char* format, const char* output, const char* input) {
  std::fflush(stdout);
  std::fprintf(stderr, format, output, input);
  std::exit(1);
}

// A message quoting one argument.
[[noreturn]] void fail_quoting(const char* format, const char* arg) {
  std::fflush(stdout);
  std::fprintf(stderr, format, arg);
  std::exit(1);
}

// A command runs with the arguments that follow it and returns how many of them it consumed.
struct Command {
  std::string_view name;
  int (*run)(int remaining, char** args);
};

int run_ppmtype(int remaining, char** args) {
  if (remaining < 1) fail("too few argments for -ppmtype\n");
  ppm_type(args[0]);
  return 1;
}

int run_convert(int remaining, char** args) {
  if (remaining < 2) fail("too few argment for -pr\n");
  ppm2r64(args - 1);  // the action sees the vector positioned at "-pr"; its output becomes the target
  return 2;
}

// An argument after "-l" that begins with '-' is the next command, not a count.
int level_count(int remaining, char** args, int* levels) {
  *levels = 0;
  if (remaining < 1 || args[0][0] == '-') return 0;
  *levels = std::atoi(args[0]);
  return 1;
}

int run_image(int remaining, char** args) {
  if (remaining < 2) fail("too few argments for -ir\n");
  image2r64(args - 1);  // the action sees the vector positioned at "-ir"; its output becomes the target
  return 2;
}

int run_levels(int remaining, char** args) {
  int levels;
  int used = level_count(remaining, args, &levels);
  new_level(levels);
  return used;
}

int run_levels_hifi(int remaining, char** args) {
  int levels;
  int used = level_count(remaining, args, &levels);
  new_level_hifi(levels);
  return used;
}

int run_target(int remaining, char** args) {
  if (remaining < 1) fail("too few argments for -t\n");
  set_target(args[0]);
  return 1;
}

int run_rect_size(int remaining, char** args) {
  if (remaining < 1) fail("too few argments for -crsize\n");
  int size = std::atoi(args[0]);
  if (size != 64 && size != 128 && size != 256) fail("invalid rectsize\n");
  rect_size = size;
  return 1;
}

// A whole decimal number of `low`..`high`; false for anything else.
bool whole_number(const char* arg, long low, long high, long* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtol(arg, &end, 10);
  return errno == 0 && end != arg && *end == '\0' && *value >= low && *value <= high;
}

int run_cr_quality(int remaining, char** args) {
  if (remaining < 1) fail("too few argments for -crquality\n");
  long quality;
  if (!whole_number(args[0], 1, 100, &quality)) fail_quoting("invalid quality \"%s\" (1 to 100)\n", args[0]);
  cr_coding.quality = static_cast<int>(quality);
  return 1;
}

int run_cr_mode(int remaining, char** args) {
  if (remaining < 1) fail("too few argments for -crmode\n");
  std::string_view mode = args[0];
  if (mode != "standard" && mode != "efficient") fail_quoting("invalid mode \"%s\" (standard or efficient)\n", args[0]);
  cr_coding.efficient = mode == "efficient";
  return 1;
}

// A target of 0 turns the target off; others lie where JPEG blocks can reach them.
int run_cr_psnr(int remaining, char** args) {
  if (remaining < 1) fail("too few argments for -crpsnr\n");
  char* end = nullptr;
  errno = 0;
  double target = std::strtod(args[0], &end);
  bool valid = errno == 0 && end != args[0] && *end == '\0' &&
               (target == 0 || (target >= kMinTargetPsnr && target <= kMaxTargetPsnr));
  if (!valid) fail_quoting("invalid PSNR \"%s\" (0, or 20 to 60 dB)\n", args[0]);
  cr_coding.target_psnr = target;
  return 1;
}

// A count of worker threads: a whole decimal number, at least 1.
int run_threads(int remaining, char** args) {
  if (remaining < 1) fail("too few argments for -threads\n");
  long threads;
  if (!whole_number(args[0], 1, kMaxThreads, &threads)) fail("invalid threads\n");
  worker_threads = static_cast<int>(threads);
  return 1;
}

int run_pack(int remaining, char** args) {
  if (remaining < 1) fail("too few argments for -cr\n");
  if (target == nullptr) fail("target is required\n");
  r642cr(target, args[0]);
  return 1;
}

constexpr TOOL_COMMAND kUsage[] = {
    {"-ppmtype FILE", "prints the PPM header of FILE: magic, width, height, maximum"},
    {"-pr IN.ppm OUT.r64", "converts a PPM/PGM image into level 0 of a new R64 file, the target"},
    {"-ir IN OUT.r64", "the same from a PNG, TIFF, JPEG or PPM/PGM image"},
    {"-l [N]", "builds N coarser levels of the target (all without N) by 2 x 2 averaging"},
    {"-lh [N]", "the same with the windowed-FFT reduction"},
    {"-t FILE.r64", "makes FILE.r64 the target"},
    {"-crsize 64|128|256", "side of the rectangles of the following -cr (256 by default)"},
    {"-crquality N", "JPEG quality of the blocks of the following -cr, 1 to 100 (80 by default)"},
    {"-crmode standard|efficient", "how the following -cr codes its blocks (standard by default)"},
    {"-crpsnr DB", "every rectangle of the following -cr at least DB dB PSNR against its source, in the fewest bytes (0: off)"},
    {"-cr OUT.cr", "packs the target into a CR file"},
    {"-threads N", "worker threads of the following commands"},
};

constexpr Command kCommands[] = {
    {"-ppmtype", run_ppmtype}, {"-pr", run_convert},     {"-ir", run_image},       {"-l", run_levels},
    {"-lh", run_levels_hifi},  {"-t", run_target},       {"-crsize", run_rect_size}, {"-cr", run_pack},
    {"-crquality", run_cr_quality}, {"-crmode", run_cr_mode}, {"-crpsnr", run_cr_psnr},
    {"-threads", run_threads},
};

const Command* find_command(std::string_view name) {
  for (const Command& command : kCommands)
    if (command.name == name) return &command;
  return nullptr;
}

}  // namespace

int run_commands(int argc, char** argv) {
  if (argc < 2) print_usage("ppm2r64", kUsage);
  int i = 1;
  while (i < argc) {
    if (print_tool_info(argv[i], "ppm2r64", kUsage)) {
      ++i;
      continue;
    }
    const Command* command = find_command(argv[i]);
    if (command == nullptr) {
      std::fprintf(stderr, "invalid command \"%s\"\n", argv[i]);
      std::exit(1);
    }
    i += 1 + command->run(argc - i - 1, argv + i + 1);
  }
  return 0;
}

bool open_output(ReplacingFile& out, const char* input, const char* output, int input_fd) {
  if (input_fd >= 0 ? same_file_as(input_fd, output) : same_file(input, output))
    fail_on("the output \"%s\" is the same file as the input \"%s\"\n", output, input);
  if (out.open(output, 0644) >= 0) return true;
  if (errno == EINVAL) fail_on("the output \"%s\" is not a regular file\n", output, input);
  r64_error = kR64System;
  return false;
}

void mem_test(const char* str) {
  std::printf("START %s\n", str);
  std::fflush(stdout);
  void* blocks[1000];
  for (int i = 0; i < 1000; ++i) blocks[i] = std::malloc(static_cast<size_t>(i % 1000) + 1);
  for (void* block : blocks) std::free(block);
  std::printf("END %s\n", str);
}
