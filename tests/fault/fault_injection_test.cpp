// Every system call the tools make on their files, failed one at a time through the preloaded
// fault_shim: a run whose call fails must stop with status 1 and a message, leaving an older file
// of its output's name as it was and no temporary file, or finish with files byte-identical to
// those of a clean run. Never status 0 with a wrong or missing file, never a crash.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support/image_files.hpp"
#include "support/support.hpp"

using namespace test_support;

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kKinds = {"read", "write", "lseek", "close", "pread", "pwrite", "fsync"};
const std::string kOlder = "an older file of this name\n";

struct Job {
  std::vector<std::string> args;
  std::vector<std::string> watched = {};   // the files whose calls fail in turn
  std::vector<std::string> outputs = {};   // compared with the clean run's after a run that succeeds
  std::vector<std::string> replaced = {};  // outputs written beside their name: an older file is
                                           // there before every run, and a failed run leaves it
  std::function<void()> prepare = [] {};   // puts the inputs back before every run
  long most_positions = 200;  // per kind; beyond, the first and last fifth and a spread between
  const char* binary = PPM2R64_BINARY;
  std::vector<std::string> env = {};       // more settings of the shim
};

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Runs the job with call `nth` of `kind` on `watched` failing; the counts of calls land in "counts".
// A watched output is followed from its making as an unnamed file.
RunResult run_failing(const Job& job, const std::string& watched, const std::string& kind, long nth) {
  job.prepare();
  for (const std::string& output : job.replaced) write_file(scratch_path(output), kOlder);
  std::vector<std::string> settings = {"FAULT_PATH=" + watched, "FAULT_CALL=" + kind,
                                       "FAULT_NTH=" + std::to_string(nth), "FAULT_COUNT_FILE=" + scratch_path("counts")};
  settings.insert(settings.end(), job.env.begin(), job.env.end());
  RunOptions options = with_fault_shim(settings);
  if (contains(job.replaced, watched) || !fs::exists(scratch_path(watched))) options.env.push_back("FAULT_UNNAMED=1");
  return run_binary(job.binary, job.args, options);
}

// The sanitizer builds, whose runs are many times slower, may sweep fewer positions per kind
// (FAULT_SWEEP_MOST): the first and last fifth and a spread, as for the longest sweeps.
long most_positions(const Job& job) {
  const char* most = std::getenv("FAULT_SWEEP_MOST");
  return most != nullptr && std::atol(most) >= 5 ? std::min(job.most_positions, std::atol(most)) : job.most_positions;
}

std::vector<long> positions(long count, long most) {
  std::vector<long> chosen;
  const long ends = most / 5, step = count <= most ? 1 : (count - 2 * ends) / (most - 2 * ends) + 1;
  for (long n = 1; n <= count; ++n)
    if (count <= most || n <= ends || n > count - ends || n % step == 0) chosen.push_back(n);
  return chosen;
}

// What is wrong with the files after a run: a run that succeeded must leave the clean run's
// outputs, one that failed the older files it would have replaced, and neither a temporary file.
std::string wrong_files(const Job& job, const RunResult& result, const std::vector<std::string>& clean) {
  std::string wrong;
  for (size_t i = 0; result.status == 0 && i < job.outputs.size(); ++i)
    if (!fs::exists(scratch_path(job.outputs[i])) || read_file(scratch_path(job.outputs[i])) != clean[i])
      wrong += "exit 0 with " + job.outputs[i] + " missing or unlike the clean run's; ";
  for (const std::string& output : job.replaced)
    if (result.status != 0 && read_file(scratch_path(output)) != kOlder)
      wrong += "exit " + std::to_string(result.status) + " with the older " + output + " replaced; ";
  if (leftover_temporaries() != 0) wrong += "a temporary file left behind; ";
  return wrong;
}

// Counts the calls on each followed file in a clean run, then fails each of them in turn.
void sweep(const Job& job) {
  std::string command;
  for (const auto& arg : job.args) command += " " + arg;
  for (const std::string& watched : job.watched) {
    fs::remove(scratch_path("counts"));
    RunResult clean_run = run_failing(job, watched, "none", 0);
    ASSERT_EQ(clean_run.status, 0) << command << ": " << clean_run.err;
    std::vector<std::string> clean;
    for (const auto& output : job.outputs) clean.push_back(read_file(scratch_path(output)));
    std::istringstream counts(read_file(scratch_path("counts")));
    int refused = 0, calls = 0;
    for (std::string kind; counts >> kind;) {
      long count = 0;
      counts >> count;
      if (!contains(kKinds, kind)) continue;
      calls += count * (kind != "lseek" && kind != "close" && kind != "fsync");
      for (long n : positions(count, most_positions(job))) {
        RunResult result = run_failing(job, watched, kind, n);
        refused += result.status == 1;
        std::string wrong = result.status == 1 ? (result.err.empty() ? "exit 1 with nothing on standard error; " : "")
                            : result.status != 0 ? "exit " + std::to_string(result.status) + ": " + result.err : "";
        wrong += wrong_files(job, result, clean);
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
  sweep({.args = {"-pr", "in.ppm", "pic.r64"}, .watched = {"in.ppm", "pic.r64"}, .outputs = {"pic.r64"},
         .replaced = {"pic.r64"}});
}

TEST(FaultInjection, BuildingLevelsReportsEveryFailedCallOnTheTarget) {
  make_base(false);
  for (const char* levels : {"-l", "-lh"})
    sweep({.args = {"-t", "pic.r64", levels}, .watched = {"pic.r64"}, .outputs = {"pic.r64"},
           .prepare = [] { copy_over("base.r64", "pic.r64"); }});
}

TEST(FaultInjection, PackingReportsEveryFailedCallOnItsFiles) {
  make_base(true);
  sweep({.args = {"-t", "pic.r64", "-crsize", "64", "-cr", "pic.cr"}, .watched = {"pic.r64", "pic.cr"},
         .outputs = {"pic.cr", "pic.r64"}, .replaced = {"pic.cr"}, .prepare = [] { copy_over("base.r64", "pic.r64"); }});
}

// "-ir" on TIFF files, which libtiff reads through the descriptor: uncompressed strips read row by
// row at their offsets, and compressed tiles. (PNG and JPEG are read through stdio, whose calls
// the shim does not see: only their outputs are swept.)
TEST(FaultInjection, ImageInputReportsEveryFailedCallOnItsFiles) {
  const Samples photo = Samples::textured(100, 70, 3, 8);
  write_tiff(scratch_path("plain.tif"), photo);
  write_tiff(scratch_path("tiles.tif"), photo, {.tiled = true, .compression = 8});
  write_file(scratch_path("in.png"), png_bytes(photo));
  for (std::string input : {"plain.tif", "tiles.tif", "in.png"}) {
    std::vector<std::string> watched = {"pic.r64"};
    if (input != "in.png") watched.insert(watched.begin(), input);
    sweep({.args = {"-ir", input, "pic.r64"}, .watched = watched, .outputs = {"pic.r64"}, .replaced = {"pic.r64"}});
  }
}

// cr2ppm reads a CR file and writes images beside their names: a whole level and a region.
TEST(FaultInjection, ExtractingReportsEveryFailedCallOnItsFiles) {
  make_base(true);
  ASSERT_EQ(run_tool({"-t", "base.r64", "-crsize", "64", "-cr", "in.cr"}).status, 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-x", "in.cr", "0", "out.ppm"}, {"-xr", "in.cr", "1", "10", "5", "30", "20", "out.ppm"}})
    sweep({.args = args, .watched = {"in.cr", "out.ppm"}, .outputs = {"out.ppm"}, .replaced = {"out.ppm"}, .binary = CR2PPM_BINARY});
}

// 20 x 17 tiles, more than the cache holds: tiles are written back to make room, and read again.
TEST(FaultInjection, TilesWrittenBackToMakeRoomAreReportedWhenTheyFail) {
  make_base(false, 1280, 1088);
  sweep({.args = {"-pr", "in.ppm", "pic.r64"}, .watched = {"pic.r64"}, .outputs = {"pic.r64"}, .replaced = {"pic.r64"}, .most_positions = 60});
  sweep({.args = {"-t", "pic.r64", "-l"}, .watched = {"pic.r64"}, .outputs = {"pic.r64"},
         .prepare = [] { copy_over("base.r64", "pic.r64"); }, .most_positions = 60});
}

// On a file system that cannot make unnamed files, every tool's output is written under a
// temporary name beside it: a run whose call fails (the temporary file's own calls among them) leaves
// the older file as it was and removes the temporary one.
TEST(FaultInjection, AFailedRunLeavesTheOlderOutputAndNoTemporaryFile) {
  make_base(true);
  ASSERT_EQ(run_tool({"-t", "base.r64", "-crsize", "64", "-cr", "base.cr"}).status, 0);
  write_tiff(scratch_path("in.tif"), Samples::textured(100, 70, 3, 8));
  const std::vector<std::string> named = {"FAULT_NO_TMPFILE=1"};
  sweep({.args = {"-pr", "in.ppm", "pic.r64"}, .watched = {"in.ppm", "pic.r64"}, .outputs = {"pic.r64"},
         .replaced = {"pic.r64"}, .most_positions = 60, .env = named});
  sweep({.args = {"-ir", "in.tif", "pic.r64"}, .watched = {"pic.r64"}, .outputs = {"pic.r64"},
         .replaced = {"pic.r64"}, .most_positions = 60, .env = named});
  sweep({.args = {"-t", "base.r64", "-crsize", "64", "-cr", "pic.cr"}, .watched = {"base.r64", "pic.cr"},
         .outputs = {"pic.cr"}, .replaced = {"pic.cr"}, .most_positions = 60, .env = named});
  sweep({.args = {"-x", "base.cr", "0", "pic.ppm"}, .watched = {"base.cr", "pic.ppm"}, .outputs = {"pic.ppm"},
         .replaced = {"pic.ppm"}, .most_positions = 60, .binary = CR2PPM_BINARY, .env = named});
}

// A run killed while it writes its output (stopped at its first write of the new file, then
// killed) leaves neither a file of the output's name nor a temporary one: the new file has no name
// until it is complete.
TEST(FaultInjection, AKilledRunLeavesNothingBehind) {
  write_photo_ppm("in.ppm", 500, 300);
  RunOptions stopping =
      with_fault_shim({"FAULT_PATH=out.r64", "FAULT_UNNAMED=1", "FAULT_CALL=pwrite", "FAULT_NTH=2", "FAULT_STOP=1"});
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
  RunOptions stopping = with_fault_shim({"FAULT_PATH=same.r64", "FAULT_STOP_PLACED=1"});
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
