// Shared test helpers: scratch directories per test, PPM images, R64 files and runs of the tools.
#include "support/support.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "change_endian.hpp"

namespace fs = std::filesystem;

namespace test_support {
namespace {

// The scratch root of this test process, removed at exit. Its name lives in a plain array so that
// the exit handler never reads an object already destroyed.
char scratch_root[] = "/tmp/ppm2r64-test-XXXXXX";

void remove_scratch_root() {
  std::error_code ignored;
  fs::remove_all(scratch_root, ignored);
}

std::string drain(int fd) {
  std::string text;
  char chunk[65536];
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<size_t>(n));
  close(fd);
  return text;
}

}  // namespace

RunResult run_binary(const char* binary, std::vector<std::string> args, const RunOptions& options) {
  const auto started = std::chrono::steady_clock::now();
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  const std::string cwd = scratch_dir();
  std::vector<std::string> env = options.env;
  // The child starts as a copy of this process, and its peak memory counts that copy: what this
  // process has freed goes back to the system first.
  malloc_trim(0);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(options.one_stream ? out_pipe[1] : err_pipe[1], STDERR_FILENO);
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    for (std::string& entry : env) putenv(entry.data());
    if (chdir(cwd.c_str()) != 0) _exit(127);
    if (options.cpu_seconds >= 0) {
      rlimit limit{static_cast<rlim_t>(options.cpu_seconds), static_cast<rlim_t>(options.cpu_seconds) + 1};
      setrlimit(RLIMIT_CPU, &limit);
    }
    if (options.file_size_limit >= 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{static_cast<rlim_t>(options.file_size_limit), static_cast<rlim_t>(options.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv = {const_cast<char*>(binary)};
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(binary, argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  // Standard error is drained once standard output closes; outputs here are small enough that its
  // pipe never fills meanwhile.
  RunResult result;
  result.out = drain(out_pipe[0]);
  result.err = drain(err_pipe[0]);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  result.peak_kib = usage.ru_maxrss;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

RunOptions with_fault_shim(std::vector<std::string> settings) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  RunOptions options;
  options.env = std::move(settings);
  options.env.emplace_back(std::string_view("LD_PRELOAD=" FAULT_SHIM));
  // a sanitized tool wants its runtime first; the shim comes before it
  options.env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0");
  return options;
}

int start_binary(const char* binary, std::vector<std::string> args, const RunOptions& options) {
  const std::string cwd = scratch_dir();
  std::vector<std::string> env = options.env;
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    for (std::string& entry : env) putenv(entry.data());
    if (chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> argv = {const_cast<char*>(binary)};
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(binary, argv.data());
    _exit(127);
  }
  return pid;
}

namespace {

int open_descriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

}  // namespace

ActionRun run_action(const std::function<TOOL_STATUS()>& action) {
  const fs::path before_dir = fs::current_path();
  fs::current_path(scratch_dir());
  const int before = open_descriptors();
  ActionRun run;
  ::testing::internal::CaptureStdout();
  run.status = action();
  std::fflush(stdout);
  run.out = ::testing::internal::GetCapturedStdout();
  run.descriptors_left = open_descriptors() - before;
  fs::current_path(before_dir);
  return run;
}

void expect_failures_as_the_tools(const char* binary, const std::vector<std::vector<std::string>>& lines,
                                  const std::function<ActionRun(const std::vector<std::string>&)>& in_process) {
  for (const auto& args : lines) {
    std::string command = binary;
    for (const auto& arg : args) command += " " + arg;
    RunResult tool = run_binary(binary, args, {});
    ASSERT_EQ(tool.status, 1) << command;
    for (int run = 0; run < 2; ++run) {
      ActionRun action = in_process(args);
      EXPECT_EQ(std::tuple(action.status.exit_status, action.status.message, action.out),
                std::tuple(tool.status, tool.err, tool.out))
          << command;
      EXPECT_EQ(action.descriptors_left, 0) << command;
    }
  }
}

std::string scratch_dir() {
  static const bool made = [] {
    if (mkdtemp(scratch_root) == nullptr) throw std::runtime_error("mkdtemp failed");
    return std::atexit(remove_scratch_root) == 0;
  }();
  (void)made;
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "no_test";
  std::replace(name.begin(), name.end(), '/', '_');
  const fs::path dir = fs::path(scratch_root) / name;
  fs::create_directories(dir);
  return dir.string();
}

std::string scratch_path(std::string_view name) { return (fs::path(scratch_dir()) / name).string(); }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

long file_size(const std::string& path) {
  std::error_code error;
  const auto size = fs::file_size(path, error);
  return error ? -1 : static_cast<long>(size);
}

int leftover_temporaries() {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(scratch_dir()))
    count += entry.path().filename().string().find(".tmp.") != std::string::npos;
  return count;
}

std::string ppm_bytes(std::string_view magic, int width, int height, int max, std::string_view pixels) {
  return std::string(magic) + "\n" + std::to_string(width) + " " + std::to_string(height) + "\n" +
         std::to_string(max) + "\n" + std::string(pixels);
}

std::string photo_pixels(int width, int height, uint32_t seed) {
  std::string pixels;
  uint32_t state = seed * 2654435761u + 1;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      state = state * 1664525u + 1013904223u;
      int noise = static_cast<int>(state >> 28) - 8;
      int r = (x * 255) / std::max(width - 1, 1), g = (y * 255) / std::max(height - 1, 1), b = ((x / 7 + y / 5) % 32) * 8;
      for (int v : {r + noise, g - noise, b + noise / 2}) pixels += static_cast<char>(std::clamp(v, 0, 255));
    }
  return pixels;
}

void write_photo_ppm(std::string_view name, int width, int height, uint32_t seed) {
  write_file(scratch_path(name), ppm_bytes("P6", width, height, 255, photo_pixels(width, height, seed)));
}

std::string sample_path(std::string_view name) { return (fs::path(PPM2R64_SAMPLES) / name).string(); }

Image Image::of(int width, int height, const std::function<void(int x, int y, uint8_t* px)>& fn) {
  Image image(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) fn(x, y, image.at(x, y));
  return image;
}

Image textured(int w, int h) {
  Image image(w, h);
  for (size_t i = 0; i < image.rgb.size(); ++i) image.rgb[i] = static_cast<uint8_t>(i * 7 / 3 + i % 3 * 85);
  return image;
}

void write_r64(const std::string& path, char type, const Image& image, bool levels) {
  check_endian();
  r64_init();
  R64_FILE* f = r64_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, type, image.w, image.h);
  ASSERT_NE(f, nullptr) << "r64 error " << r64_error;
  for (int y = 0; f->level_ofs[0] != 0 && y < image.h; ++y)
    for (int x = 0; x < image.w; ++x) ASSERT_EQ(r64_set(f, x, y, 0, image.at(x, y)), 0);
  testing::internal::CaptureStdout();
  int level = 0;
  while (levels && r64_flush(f) == 0 && r64_new_level(f, level) == 0) ++level;
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(!levels || r64_error == kR64NoLevel) << "level " << level << ": r64 error " << r64_error;
  ASSERT_EQ(r64_close_file(f), 0);
}

std::vector<Image> read_levels(R64_FILE* f) {
  std::vector<Image> levels;
  for (int k = 0; r64_check_level(f, k) == 1; ++k) {
    Image& level = levels.emplace_back(f->level_w[k], f->level_h[k]);
    for (int y = 0; y < level.h; ++y)
      for (int x = 0; x < level.w; ++x) {
        uint8_t* px = level.at(x, y);
        EXPECT_EQ(r64_red(px, f, x, y, k), 0);
        if (f->header.type != 'P') px[1] = px[2] = px[0];
      }
  }
  return levels;
}

}  // namespace test_support
