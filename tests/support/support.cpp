// Shared test helpers: scratch directories per test, PPM images and runs of the built binary.
#include "support/support.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

fs::path process_root() {
  static const bool made = [] {
    if (mkdtemp(scratch_root) == nullptr) throw std::runtime_error("mkdtemp failed");
    std::atexit(remove_scratch_root);
    return true;
  }();
  (void)made;
  return scratch_root;
}

std::string current_test_name() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info == nullptr) return "no_test";
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : name)
    if (c == '/') c = '_';
  return name;
}

std::string drain(int fd) {
  std::string text;
  char chunk[65536];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace

std::string scratch_dir() {
  fs::path dir = process_root() / current_test_name();
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
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

long file_size(const std::string& path) {
  std::error_code error;
  auto size = fs::file_size(path, error);
  return error ? -1 : static_cast<long>(size);
}

std::string ppm_bytes(std::string_view magic, int width, int height, int max, std::string_view pixels) {
  std::string bytes = std::string(magic) + "\n" + std::to_string(width) + " " + std::to_string(height) + "\n" +
                      std::to_string(max) + "\n";
  bytes += pixels;
  return bytes;
}

std::string photo_pixels(int width, int height, uint32_t seed) {
  std::string pixels(static_cast<size_t>(width) * height * 3, '\0');
  uint32_t state = seed * 2654435761u + 1;
  size_t i = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      state = state * 1664525u + 1013904223u;
      int noise = static_cast<int>(state >> 28) - 8;
      int r = (x * 255) / (width > 1 ? width - 1 : 1);
      int g = (y * 255) / (height > 1 ? height - 1 : 1);
      int b = ((x / 7 + y / 5) % 32) * 8;
      for (int v : {r + noise, g - noise, b + noise / 2}) pixels[i++] = static_cast<char>(std::clamp(v, 0, 255));
    }
  }
  return pixels;
}

std::string write_photo_ppm(std::string_view name, int width, int height, uint32_t seed) {
  std::string path = scratch_path(name);
  write_file(path, ppm_bytes("P6", width, height, 255, photo_pixels(width, height, seed)));
  return path;
}

std::string sample_path(std::string_view name) { return (fs::path(PPM2R64_SAMPLES) / name).string(); }

namespace {

// The environment of this process with the entries of `extra` added, replacing those of the same name.
std::vector<std::string> child_environment(const std::vector<std::string>& extra) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& e) {
      return e.substr(0, e.find('=') + 1) == text.substr(0, text.find('=') + 1);
    });
    if (!replaced) entries.emplace_back(text);
  }
  entries.insert(entries.end(), extra.begin(), extra.end());
  return entries;
}

RunResult run_binary(const std::string& binary, const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> environment = child_environment(options.env);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  std::string cwd = options.cwd.empty() ? scratch_dir() : options.cwd;

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    close(out_pipe[0]);
    close(err_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    if (options.file_size_limit >= 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{static_cast<rlim_t>(options.file_size_limit), static_cast<rlim_t>(options.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv;
    std::string name = binary;
    argv.push_back(name.data());
    std::vector<std::string> copies = args;
    for (auto& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execve(binary.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  // Drain stderr on a second descriptor only after stdout closes; outputs here are small enough
  // that the pipe buffer of standard error never fills while standard output is read.
  RunResult result;
  result.out = drain(out_pipe[0]);
  result.err = drain(err_pipe[0]);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace

RunResult run_tool(const std::vector<std::string>& args, const RunOptions& options) {
  return run_binary(PPM2R64_BINARY, args, options);
}

RunResult run_cr2ppm(const std::vector<std::string>& args, const RunOptions& options) {
  return run_binary(CR2PPM_BINARY, args, options);
}

}  // namespace test_support
