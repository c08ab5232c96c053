// Every system call the tool makes on its files, failed one at a time through the preloaded
// fault_shim: a run whose call fails must stop with status 1 and a message, or finish with files
// byte-identical to those of a clean run. Never status 0 with a wrong or missing file, never a crash.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

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
};

RunOptions shim_options(const std::string& path, const std::string& kind, long nth) {
  RunOptions options;
  const char* asan = std::getenv("ASAN_OPTIONS");
  options.env = {"LD_PRELOAD=" FAULT_SHIM, "FAULT_PATH=" + path, "FAULT_CALL=" + kind,
                 "FAULT_NTH=" + std::to_string(nth), "FAULT_COUNT_FILE=" + scratch_path("counts"),
                 // a sanitized tool wants its runtime first; the shim comes before it
                 std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"};
  return options;
}

// The calls of one kind that the last run made on the followed file.
long counted(const std::string& kind) {
  std::istringstream text(read_file(scratch_path("counts")));
  std::string name;
  long count = 0;
  while (text >> name >> count)
    if (name == kind) return count;
  return -1;
}

std::vector<long> positions(long count, long most) {
  std::vector<long> chosen;
  long ends = most / 5;
  long step = count <= most ? 1 : (count - 2 * ends) / (most - 2 * ends) + 1;
  for (long n = 1; n <= count; ++n)
    if (count <= most || n <= ends || n > count - ends || n % step == 0) chosen.push_back(n);
  return chosen;
}

std::string joined(const std::vector<std::string>& args) {
  std::string text;
  for (const auto& arg : args) text += (text.empty() ? "" : " ") + arg;
  return text;
}

// What is wrong with a run whose one call failed; empty when it ended in one of the two allowed ways.
std::string judge(const RunResult& result, const Job& job, const std::vector<std::string>& clean) {
  if (result.status == 1) return result.err.empty() ? "exit 1 with nothing on standard error" : "";
  if (result.status != 0) return "exit " + std::to_string(result.status) + ", stderr: " + result.err;
  std::string wrong;
  for (size_t i = 0; i < job.outputs.size(); ++i) {
    std::string path = scratch_path(job.outputs[i]);
    if (!fs::exists(path)) {
      wrong += ", " + job.outputs[i] + " missing";
      continue;
    }
    std::string bytes = read_file(path);
    if (bytes == clean[i]) continue;
    size_t at = 0;
    while (at < bytes.size() && at < clean[i].size() && bytes[at] == clean[i][at]) ++at;
    wrong += ", " + job.outputs[i] + " differs: " + std::to_string(bytes.size()) + " bytes against " +
             std::to_string(clean[i].size()) + ", first difference at byte " + std::to_string(at);
  }
  return wrong.empty() ? "" : "exit 0" + wrong;
}

// Counts the calls on each followed file in a clean run, then fails each of them in turn.
void sweep(const Job& job) {
  for (const std::string& watched : job.watched) {
    job.prepare();
    fs::remove(scratch_path("counts"));
    RunResult clean_run = run_tool(job.args, shim_options(watched, "none", 0));
    ASSERT_EQ(clean_run.status, 0) << joined(job.args) << ": " << clean_run.err;
    std::vector<std::string> clean;
    for (const auto& output : job.outputs) clean.push_back(read_file(scratch_path(output)));
    std::vector<long> counts;
    for (const auto& kind : kKinds) counts.push_back(counted(kind));
    ASSERT_GT(counts[0] + counts[1] + counts[4] + counts[5], 0) << "no reads or writes seen on " << watched;

    int refused = 0;
    for (size_t k = 0; k < kKinds.size(); ++k) {
      for (long n : positions(counts[k], job.most_positions)) {
        job.prepare();
        RunResult result = run_tool(job.args, shim_options(watched, kKinds[k], n));
        refused += result.status == 1;
        std::string wrong = judge(result, job, clean);
        if (!wrong.empty())
          ADD_FAILURE() << "\"" << joined(job.args) << "\" with " << kKinds[k] << " #" << n << " of " << counts[k]
                        << " on " << watched << " failing: " << wrong;
      }
    }
    EXPECT_GT(refused, 0) << "no failed call on " << watched << " was ever noticed";
  }
}

void remove_file(const std::string& name) { fs::remove(scratch_path(name)); }

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
  sweep({{"-pr", "in.ppm", "pic.r64"}, {"in.ppm", "pic.r64"}, {"pic.r64"}, [] { remove_file("pic.r64"); }});
}

TEST(FaultInjection, BuildingLevelsReportsEveryFailedCallOnTheTarget) {
  make_base(false);
  sweep({{"-t", "pic.r64", "-l"}, {"pic.r64"}, {"pic.r64"}, [] { copy_over("base.r64", "pic.r64"); }});
}

TEST(FaultInjection, BuildingHifiLevelsReportsEveryFailedCallOnTheTarget) {
  make_base(false);
  sweep({{"-t", "pic.r64", "-lh"}, {"pic.r64"}, {"pic.r64"}, [] { copy_over("base.r64", "pic.r64"); }});
}

TEST(FaultInjection, PackingReportsEveryFailedCallOnItsFiles) {
  make_base(true);
  sweep({{"-t", "pic.r64", "-crsize", "64", "-cr", "pic.cr"},
         {"pic.r64", "pic.cr"},
         {"pic.cr", "pic.r64"},
         [] {
           copy_over("base.r64", "pic.r64");
           remove_file("pic.cr");
         }});
}

// 20 x 17 tiles, more than the cache holds: tiles are written back to make room, and read again.
TEST(FaultInjection, TilesWrittenBackToMakeRoomAreReportedWhenTheyFail) {
  make_base(false, 1280, 1088);
  sweep({{"-pr", "in.ppm", "pic.r64"}, {"pic.r64"}, {"pic.r64"}, [] { remove_file("pic.r64"); }, 60});
  sweep({{"-t", "pic.r64", "-l"}, {"pic.r64"}, {"pic.r64"}, [] { copy_over("base.r64", "pic.r64"); }, 60});
}

}  // namespace
