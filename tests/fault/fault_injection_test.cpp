// Every system call the tool makes on its files, failed one at a time through the preloaded
// fault_shim: a run whose call fails must stop with status 1 and a message, or finish with files
// byte-identical to those of a clean run. Never status 0 with a wrong or missing file, never a crash.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/image_files.hpp"
#include "support/support.hpp"

using namespace test_support;

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kKinds = {"read", "write", "lseek", "close", "pread", "pwrite", "fsync"};

struct Job {
  std::vector<std::string> args;
  std::vector<std::string> watched;  // the files whose calls fail in turn
  std::vector<std::string> outputs;  // compared with the clean run's after a run that succeeds
  std::function<void()> prepare;     // puts the inputs back before every run
  long most_positions = 200;         // per kind; beyond, the first and last fifth and a spread between
  const char* binary = PPM2R64_BINARY;
  std::vector<std::string> env = {};  // more settings of the shim
  // Outputs written beside their name and put in place when complete: a failed run leaves each as
  // prepare left it (an older file, or none).
  std::vector<std::string> replaced = {};
};

// A run of the tool with the shim preloaded and `settings` for it in its environment.
RunOptions with_shim(std::vector<std::string> settings) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  RunOptions options;
  options.env = std::move(settings);
  options.env.push_back("LD_PRELOAD=" FAULT_SHIM);
  // a sanitized tool wants its runtime first; the shim comes before it
  options.env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0");
  return options;
}

// Runs the job with call `nth` of `kind` on `watched` failing; the counts of calls land in "counts".
// A watched file that does not exist before the run is a new output, made unnamed at first.
// The job's inputs are put back first.
RunResult run_failing(const Job& job, const std::string& watched, const std::string& kind, long nth) {
  std::vector<std::string> settings = {"FAULT_PATH=" + watched, "FAULT_CALL=" + kind,
                                       "FAULT_NTH=" + std::to_string(nth),
                                       "FAULT_COUNT_FILE=" + scratch_path("counts")};
  settings.insert(settings.end(), job.env.begin(), job.env.end());
  RunOptions options = with_shim(settings);
  if (!fs::exists(scratch_path(watched))) options.env.push_back("FAULT_UNNAMED=1");
  return run_binary(job.binary, job.args, options);
}

// The bytes of a file, or nothing when there is none.
std::optional<std::string> contents(const std::string& name) {
  if (!fs::exists(scratch_path(name))) return std::nullopt;
  return read_file(scratch_path(name));
}

// What a failed run did to the outputs it was to replace, and the temporary files it left.
std::string left_behind(const Job& job, const std::vector<std::optional<std::string>>& before) {
  std::string wrong;
  for (size_t i = 0; i < job.replaced.size(); ++i)
    if (contents(job.replaced[i]) != before[i]) wrong += job.replaced[i] + " changed; ";
  if (int temporaries = leftover_temporaries(); temporaries > 0)
    wrong += std::to_string(temporaries) + " temporary files left; ";
  return wrong;
}

std::vector<long> positions(long count, long most) {
  std::vector<long> chosen;
  const long ends = most / 5, step = count <= most ? 1 : (count - 2 * ends) / (most - 2 * ends) + 1;
  for (long n = 1; n <= count; ++n)
    if (count <= most || n <= ends || n > count - ends || n % step == 0) chosen.push_back(n);
  return chosen;
}

// Counts the calls on each followed file in a clean run, then fails each of them in turn.
void sweep(const Job& job) {
  std::string command;
  for (const auto& arg : job.args) command += " " + arg;
  for (const std::string& watched : job.watched) {
    fs::remove(scratch_path("counts"));
    job.prepare();
    RunResult clean_run = run_failing(job, watched, "none", 0);
    ASSERT_EQ(clean_run.status, 0) << command << ": " << clean_run.err;
    std::vector<std::string> clean;
    for (const auto& output : job.outputs) clean.push_back(read_file(scratch_path(output)));
    std::istringstream counts(read_file(scratch_path("counts")));
    int refused = 0, calls = 0;
    for (std::string kind; counts >> kind;) {
      long count = 0;
      counts >> count;
      calls += count * (kind != "lseek" && kind != "close" && kind != "fsync");
      for (long n : positions(count, job.most_positions)) {
        std::vector<std::optional<std::string>> before;
        job.prepare();
        for (const auto& output : job.replaced) before.push_back(contents(output));
        RunResult result = run_failing(job, watched, kind, n);
        refused += result.status == 1;
        std::string wrong = result.status == 1 ? (result.err.empty() ? "exit 1 with nothing on standard error; " : "") +
                                                     left_behind(job, before)
                            : result.status != 0 ? "exit " + std::to_string(result.status) + ": " + result.err
                                                 : "";
        for (size_t i = 0; result.status == 0 && i < job.outputs.size(); ++i)
          if (!fs::exists(scratch_path(job.outputs[i])) || read_file(scratch_path(job.outputs[i])) != clean[i])
            wrong += "exit 0 with " + job.outputs[i] + " missing or unlike the clean run's; ";
        EXPECT_EQ(wrong, "") << "\"" << command << "\" with " << kind << " #" << n << " of " << count << " on "
                             << watched << " failing";
      }
    }
    EXPECT_GT(calls, 0) << "no reads or writes seen on " << watched;
    EXPECT_GT(refused, 0) << "no failed call on " << watched << " was ever noticed";
  }
}

void copy_over(const std::string& from, const std::string& to) {
  fs::copy_file(scratch_path(from), scratch_path(to), fs::copy_options::overwrite_existing);
}

// "base.r64" holds level 0 of a photo, 100 x 70 unless given; with `levels`, every coarser level too.
void make_base(bool levels, int width = 100, int height = 70) {
  write_photo_ppm("in.ppm", width, height);
  std::vector<std::string> args = {"-pr", "in.ppm", "base.r64"};
  if (levels) args.push_back("-l");
  ASSERT_EQ(run_tool(args).status, 0);
}

TEST(FaultInjection, ConvertingReportsEveryFailedCallOnItsFiles) {
  write_photo_ppm("in.ppm", 100, 70);
  sweep({{"-pr", "in.ppm", "pic.r64"}, {"in.ppm", "pic.r64"}, {"pic.r64"}, [] { fs::remove(scratch_path("pic.r64")); }});
}

TEST(FaultInjection, BuildingLevelsReportsEveryFailedCallOnTheTarget) {
  make_base(false);
  for (const char* levels : {"-l", "-lh"})
    sweep({{"-t", "pic.r64", levels}, {"pic.r64"}, {"pic.r64"}, [] { copy_over("base.r64", "pic.r64"); }});
}

TEST(FaultInjection, PackingReportsEveryFailedCallOnItsFiles) {
  make_base(true);
  sweep({{"-t", "pic.r64", "-crsize", "64", "-cr", "pic.cr"}, {"pic.r64", "pic.cr"}, {"pic.cr", "pic.r64"}, [] {
           copy_over("base.r64", "pic.r64");
           fs::remove(scratch_path("pic.cr"));
         }});
}

// "-ir" on TIFF files, which libtiff reads through the descriptor: uncompressed strips read row by
// row at their offsets, and compressed tiles. (PNG and JPEG are read through stdio, whose calls
// the shim does not see: only their outputs are swept.)
TEST(FaultInjection, ImageInputReportsEveryFailedCallOnItsFiles) {
  const Samples photo = Samples::textured(100, 70, 3, 8);
  write_tiff(scratch_path("plain.tif"), photo);
  write_tiff(scratch_path("tiles.tif"), photo, {.tiled = true, .compression = 8});
  write_file(scratch_path("in.png"), png_bytes(photo));
  for (const char* input : {"plain.tif", "tiles.tif"})
    sweep({{"-ir", input, "pic.r64"}, {input, "pic.r64"}, {"pic.r64"}, [] { fs::remove(scratch_path("pic.r64")); }});
  sweep({{"-ir", "in.png", "pic.r64"}, {"pic.r64"}, {"pic.r64"}, [] { fs::remove(scratch_path("pic.r64")); }});
}

// 20 x 17 tiles, more than the cache holds: tiles are written back to make room, and read again.
TEST(FaultInjection, TilesWrittenBackToMakeRoomAreReportedWhenTheyFail) {
  make_base(false, 1280, 1088);
  sweep({{"-pr", "in.ppm", "pic.r64"}, {"pic.r64"}, {"pic.r64"}, [] { fs::remove(scratch_path("pic.r64")); }, 60});
  sweep({{"-t", "pic.r64", "-l"}, {"pic.r64"}, {"pic.r64"}, [] { copy_over("base.r64", "pic.r64"); }, 60});
}

// Every tool's outputs, with older files under their names: a run whose call fails leaves each
// older file as it was and no temporary file, both where outputs are made unnamed and where
// they are made under a temporary name (file systems without O_TMPFILE).
TEST(FaultInjection, AFailedRunLeavesTheOlderOutputAndNoTemporaryFile) {
  make_base(true);
  ASSERT_EQ(run_tool({"-t", "base.r64", "-crsize", "64", "-cr", "base.cr"}).status, 0);
  write_tiff(scratch_path("in.tif"), Samples::textured(100, 70, 3, 8));
  for (std::vector<std::string> env : {std::vector<std::string>{"FAULT_UNNAMED=1"}, {"FAULT_NO_TMPFILE=1"}}) {
    // A job whose one output is an older file before every run.
    auto replacing = [&env](std::vector<std::string> args, std::vector<std::string> watched, const char* output,
                            const char* binary = PPM2R64_BINARY) {
      auto older = [output] { write_file(scratch_path(output), std::string("an older ") + output); };
      return Job{std::move(args), std::move(watched), {output}, older, 60, binary, env, {output}};
    };
    sweep(replacing({"-pr", "in.ppm", "pic.r64"}, {"in.ppm", "pic.r64"}, "pic.r64"));
    sweep(replacing({"-ir", "in.tif", "pic.r64"}, {"pic.r64"}, "pic.r64"));
    sweep(replacing({"-t", "base.r64", "-crsize", "64", "-cr", "pic.cr"}, {"base.r64", "pic.cr"}, "pic.cr"));
    sweep(replacing({"-x", "base.cr", "0", "pic.ppm"}, {"base.cr", "pic.ppm"}, "pic.ppm", CR2PPM_BINARY));
  }
}

// A run killed while it writes its output (stopped at its first write of the new file, then
// killed) leaves neither a file of the output's name nor a temporary one: the new file has no name
// until it is complete.
TEST(FaultInjection, AKilledRunLeavesNothingBehind) {
  write_photo_ppm("in.ppm", 500, 300);
  RunOptions stopping =
      with_shim({"FAULT_PATH=out.r64", "FAULT_UNNAMED=1", "FAULT_CALL=pwrite", "FAULT_NTH=2", "FAULT_STOP=1"});
  int pid = start_binary(PPM2R64_BINARY, {"-pr", "in.ppm", "out.r64"}, stopping);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
  ASSERT_TRUE(WIFSTOPPED(status));
  kill(pid, SIGKILL);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(file_size(scratch_path("out.r64")), -1);
  EXPECT_EQ(leftover_temporaries(), 0);
}

// Two jobs on one R64 name: the run stops right after "-pr" has put same.r64 in place, another
// program puts a different file under that name, and the run goes on. Its "-l" and "-cr" work on
// the file it wrote, so its CR file holds its own image.
TEST(FaultInjection, AnotherProgramTakingTheTargetsNameCannotMixImages) {
  write_photo_ppm("x.ppm", 300, 200, 1);
  write_photo_ppm("y.ppm", 300, 200, 2);
  ASSERT_EQ(run_tool({"-pr", "x.ppm", "x.r64", "-l", "-cr", "x.cr"}).status, 0);
  ASSERT_EQ(run_tool({"-pr", "y.ppm", "y.r64", "-l"}).status, 0);
  RunOptions stopping = with_shim({"FAULT_PATH=same.r64", "FAULT_STOP_PLACED=1"});
  int pid = start_binary(PPM2R64_BINARY, {"-pr", "x.ppm", "same.r64", "-l", "-cr", "a.cr"}, stopping);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
  ASSERT_TRUE(WIFSTOPPED(status));
  fs::rename(scratch_path("y.r64"), scratch_path("same.r64"));
  kill(pid, SIGCONT);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(read_file(scratch_path("a.cr")) == read_file(scratch_path("x.cr"))) << "a.cr holds another image";
}

}  // namespace
