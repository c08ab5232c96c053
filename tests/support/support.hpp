// Shared test helpers: scratch files, PPM images, R64 files made from pixels, whole-file reads and
// runs of the built tools.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "r64.hpp"
#include "tool_status.hpp"

namespace test_support {

// A fresh, empty directory for the running test; removed with its contents at process exit.
std::string scratch_dir();
// A path inside the running test's scratch directory.
std::string scratch_path(std::string_view name);

std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view bytes);
long file_size(const std::string& path);  // -1 when there is no such file
// Files of the scratch directory whose name holds ".tmp.", as the tools name their unfinished outputs.
int leftover_temporaries();

// The bytes of a raw PPM/PGM file with the plain header "<magic>\n<w> <h>\n<max>\n".
std::string ppm_bytes(std::string_view magic, int width, int height, int max, std::string_view pixels);
// A deterministic photo-like P6 image: smooth gradients with some texture.
std::string photo_pixels(int width, int height, uint32_t seed = 1);
// Writes a P6 file of photo_pixels into the scratch directory.
void write_photo_ppm(std::string_view name, int width, int height, uint32_t seed = 1);
// Path of a sample photo bundled in the repo (samples/).
std::string sample_path(std::string_view name);

// An image in memory: 3 bytes per pixel, rows top to bottom.
struct Image {
  int w, h;
  std::vector<uint8_t> rgb;
  Image(int width, int height) : w(width), h(height), rgb(3 * static_cast<size_t>(width) * height) {}
  // The image whose pixel (x, y) `fn` fills.
  static Image of(int width, int height, const std::function<void(int x, int y, uint8_t* px)>& fn);
  uint8_t* at(int x, int y) { return &rgb[3 * (static_cast<size_t>(y) * w + x)]; }
  const uint8_t* at(int x, int y) const { return &rgb[3 * (static_cast<size_t>(y) * w + x)]; }
};

// Bytes that change from pixel to pixel and from channel to channel.
Image textured(int w, int h);

// Writes `image` with r64_set as level 0 of a new R64 file of `type` ('G' and 'B' take the red
// byte; a file too small for any level gets its header alone) and closes it; with `levels`, first
// builds every coarser level with r64_new_level, flushing before each, its progress swallowed. The
// test fails when a call fails.
void write_r64(const std::string& path, char type, const Image& image, bool levels = false);
// Every level present in an open R64 file, read through r64_red; one-byte pixels fill all three.
std::vector<Image> read_levels(R64_FILE* f);

struct RunResult {
  int status = -1;  // the exit status, or 128 + signal
  std::string out, err;
  long peak_kib = 0;     // the tool's peak resident memory (ru_maxrss), at least this process's at the fork
  double seconds = 0;    // wall-clock time of the run
};

// A run's peak memory is the tool's own only without the sanitizers, whose shadow memory and
// quarantine dwarf it: bounds on peak_kib hold in the plain builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kPeakIsTheTools = false;
#else
inline constexpr bool kPeakIsTheTools = true;
#endif

struct RunOptions {
  long file_size_limit = -1;     // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored; -1: none
  std::vector<std::string> env;  // "NAME=value" entries set in the tool's environment
  int cpu_seconds = -1;          // RLIMIT_CPU: a runaway tool is killed (status 128 + SIGKILL/SIGXCPU); -1: none
  bool one_stream = false;       // standard error goes into `out` with standard output, as into one pipe
};

// Runs a built tool in the scratch directory, capturing both output streams.
RunResult run_binary(const char* binary, std::vector<std::string> args, const RunOptions& options);
// Starts a built tool in the scratch directory with the environment of `options`, its output
// streams discarded, without waiting for it; its process id, for waitpid.
int start_binary(const char* binary, std::vector<std::string> args, const RunOptions& options = {});

// Options of a run with tests/fault/fault_shim preloaded, `settings` ("FAULT_CALL=read", ...) in
// its environment: system calls on chosen files fail, or are counted, as that file describes.
RunOptions with_fault_shim(std::vector<std::string> settings);
// An action called in this process, as a program linking the library calls it, from the scratch
// directory: its status, what it printed on standard output, and how many more descriptors this
// process has open after it than before.
struct ActionRun {
  TOOL_STATUS status;
  std::string out;
  int descriptors_left = 0;
};
ActionRun run_action(const std::function<TOOL_STATUS()>& action);
// For each command line: `binary` fails on it, and two runs of it in this process through
// `in_process` give the tool's exit status, message and output, and leave no descriptor open.
void expect_failures_as_the_tools(const char* binary, const std::vector<std::vector<std::string>>& lines,
                                  const std::function<ActionRun(const std::vector<std::string>&)>& in_process);

inline RunResult run_tool(const std::vector<std::string>& args, const RunOptions& options = {}) {
  return run_binary(PPM2R64_BINARY, args, options);
}
inline RunResult run_cr2ppm(const std::vector<std::string>& args, const RunOptions& options = {}) {
  return run_binary(CR2PPM_BINARY, args, options);
}

}  // namespace test_support
