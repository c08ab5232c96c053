// Shared test helpers: scratch files, PPM images, whole-file reads and runs of the built tool.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

// A fresh, empty directory for the running test; removed with its contents at process exit.
std::string scratch_dir();
// A path inside the running test's scratch directory.
std::string scratch_path(std::string_view name);

std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view bytes);
long file_size(const std::string& path);

// The bytes of a raw PPM/PGM file with the plain header "<magic>\n<w> <h>\n<max>\n".
std::string ppm_bytes(std::string_view magic, int width, int height, int max, std::string_view pixels);
// A deterministic photo-like P6 image: smooth gradients with some texture.
std::string photo_pixels(int width, int height, uint32_t seed = 1);
// Writes a P6 file of photo_pixels and returns its path in the scratch directory.
std::string write_photo_ppm(std::string_view name, int width, int height, uint32_t seed = 1);

// Path of a sample photo bundled in the repo (samples/).
std::string sample_path(std::string_view name);

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string cwd;                // empty: the scratch directory
  long file_size_limit = -1;      // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored; -1: none
  std::vector<std::string> env;   // "NAME=value" entries set in the tool's environment
};

// Runs the built ppm2r64 with the given arguments, capturing both output streams.
RunResult run_tool(const std::vector<std::string>& args, const RunOptions& options = {});
// The same for the built cr2ppm.
RunResult run_cr2ppm(const std::vector<std::string>& args, const RunOptions& options = {});

}  // namespace test_support
