// The commands of ppm2r64: each argument in command position names a command, which takes its
// arguments and runs before the next command is read. The first refusal or failure ends the run
// with exit status 1; no argument at all prints the usage.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "command_line.hpp"
#include "ppm2r64.hpp"
#include "r64.hpp"

int rect_size = 256;
int worker_threads = kEveryCore;
CR_CODING cr_coding = cr_classic_coding();
PPM_INFO ppm{};

namespace {

constexpr int kMaxThreads = 1024;

// The command line's own refusals go ahead of what standard output still buffers.
TOOL_STATUS refuse(const char* message) { return ahead_of_output(tool_failure("%s", message)); }

// An argument after "-l" that begins with '-' is the next command, not a count.
int take_level_count(CommandArgs& args) {
  const char* next = args.peek();
  if (next == nullptr || next[0] == '-') return 0;
  return std::atoi(args.take());
}

TOOL_STATUS run_rect_size(CommandArgs& args) {
  int size = std::atoi(args.take());
  if (size != 64 && size != 128 && size != 256) return refuse("invalid rectsize\n");
  rect_size = size;
  return {};
}

TOOL_STATUS run_cr_quality(CommandArgs& args) {
  const char* arg = args.take();
  std::optional<int> quality = whole_number(arg, 1, 100);
  if (!quality) return tool_failure("invalid quality \"%s\" (1 to 100)\n", arg);
  cr_coding.quality = *quality;
  return {};
}

TOOL_STATUS run_cr_mode(CommandArgs& args) {
  std::string_view mode = args.take();
  if (mode != "standard" && mode != "efficient")
    return tool_failure("invalid mode \"%s\" (standard or efficient)\n", mode.data());
  cr_coding.efficient = mode == "efficient";
  return {};
}

// A target of 0 turns the target off; others lie where JPEG blocks can reach them.
TOOL_STATUS run_cr_psnr(CommandArgs& args) {
  const char* arg = args.take();
  char* end = nullptr;
  errno = 0;
  double psnr = std::strtod(arg, &end);
  bool valid = errno == 0 && end != arg && *end == '\0' &&
               (psnr == 0 || (psnr >= kMinTargetPsnr && psnr <= kMaxTargetPsnr));
  if (!valid) return tool_failure("invalid PSNR \"%s\" (0, or 20 to 60 dB)\n", arg);
  cr_coding.target_psnr = psnr;
  return {};
}

// A count of worker threads: a whole decimal number, at least 1.
TOOL_STATUS run_threads(CommandArgs& args) {
  std::optional<int> threads = whole_number(args.take(), 1, kMaxThreads);
  if (!threads) return refuse("invalid threads\n");
  worker_threads = *threads;
  return {};
}

TOOL_STATUS run_pack(CommandArgs& args) {
  if (target == nullptr) return refuse("target is required\n");
  return r642cr(target, args.take());
}

// The actions see the vector positioned at their command; the output becomes the target.
TOOL_STATUS convert_with(TOOL_STATUS (*action)(const char* const*), CommandArgs& args) {
  const char* const* at_command = args.rest() - 1;
  args.take();
  args.take();
  return action(at_command);
}

const Command kCommands[] = {
    {"-ppmtype FILE", "prints the PPM header of FILE: magic, width, height, maximum", 1,
     [](CommandArgs& a) { return ppm_type(a.take()); }},
    {"-pr IN.ppm OUT.r64", "converts a PPM/PGM image into level 0 of a new R64 file, the target", 2,
     [](CommandArgs& a) { return convert_with(ppm2r64, a); }, "too few argment for -pr\n"},
    {"-ir IN OUT.r64", "the same from a PNG, TIFF, JPEG or PPM/PGM image", 2,
     [](CommandArgs& a) { return convert_with(image2r64, a); }},
    {"-l [N]", "builds N coarser levels of the target (all without N) by 2 x 2 averaging", 0,
     [](CommandArgs& a) { return new_level(take_level_count(a)); }},
    {"-lh [N]", "the same with the windowed-FFT reduction", 0,
     [](CommandArgs& a) { return new_level_hifi(take_level_count(a)); }},
    {"-t FILE.r64", "makes FILE.r64 the target", 1,
     [](CommandArgs& a) {
       set_target(a.take());
       return TOOL_STATUS{};
     }},
    {"-crsize 64|128|256", "side of the rectangles of the following -cr (256 by default)", 1, run_rect_size},
    {"-crquality N", "JPEG quality of the blocks of the following -cr, 1 to 100 (80 by default)", 1, run_cr_quality},
    {"-crmode standard|efficient", "how the following -cr codes its blocks (standard by default)", 1, run_cr_mode},
    {"-crpsnr DB",
     "every rectangle of the following -cr at least DB dB PSNR against its source, in the fewest bytes (0: off)", 1,
     run_cr_psnr},
    {"-cr OUT.cr", "packs the target into a CR file", 1, run_pack},
    {"-threads N", "worker threads of the following commands", 1, run_threads},
};

const CommandLine kCommandLine{kCommands, "invalid command \"%s\"\n", "too few argments for %s\n", false, "ppm2r64"};

}  // namespace

TOOL_STATUS run_commands(int argc, const char* const* argv) { return run_tool_command_line(kCommandLine, argc, argv); }

TOOL_STATUS open_output(ReplacingFile& out, const char* input, const char* output, CodeLine code_line,
                        const char* r64_name, int input_fd) {
  if (input_fd >= 0 ? same_file_as(input_fd, output) : same_file(input, output))
    return tool_failure("the output \"%s\" is the same file as the input \"%s\"\n", output, input);
  if (out.open(output, 0644) >= 0) return {};
  if (errno == EINVAL) return tool_failure("the output \"%s\" is not a regular file\n", output);
  r64_error = kR64System;
  return r64_failure(code_line, step_on("create", output), r64_name);
}

void mem_test(const char* str) {
  std::printf("START %s\n", str);
  std::fflush(stdout);
  void* blocks[1000];
  for (int i = 0; i < 1000; ++i) blocks[i] = std::malloc(static_cast<size_t>(i % 1000) + 1);
  for (void* block : blocks) std::free(block);
  std::printf("END %s\n", str);
}
