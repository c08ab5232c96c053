// Whatever the number of threads, the tool writes the same files and prints the same lines, and a
// failure on the way ends it with the same message and status as on one thread. One thread starts
// no other.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/image_files.hpp"
#include "support/support.hpp"

using namespace test_support;

namespace {

// Status, output and both files of the whole job on `threads` threads.
std::tuple<int, std::string, std::string, std::string, std::string> whole_job(const std::string& threads,
                                                                              const std::string& levels,
                                                                              const std::string& rect) {
  RunResult r = run_tool({"-threads", threads, "-pr", "in.ppm", "o.r64", levels, "-crsize", rect, "-cr", "o.cr"});
  return {r.status, r.out, r.err, read_file(scratch_path("o.r64")), read_file(scratch_path("o.cr"))};
}

TEST(Threads, SameFilesAndLinesWhateverTheCount) {
  struct Case { int w, h; std::string levels, rect; };
  for (const Case& c : {Case{1000, 872, "-l", "64"}, Case{333, 257, "-lh", "128"}, Case{700, 300, "-l", "256"}}) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " " + c.levels + " in " + c.rect);
    if (c.w == 1000)
      write_file(scratch_path("in.ppm"), read_file(sample_path("hubble.ppm")));
    else
      write_photo_ppm("in.ppm", c.w, c.h);
    const auto one = whole_job("1", c.levels, c.rect);
    ASSERT_EQ(std::get<0>(one), 0) << std::get<2>(one);
    for (const char* threads : {"2", "4"}) EXPECT_TRUE(whole_job(threads, c.levels, c.rect) == one) << threads << " threads";
  }
}

TEST(Threads, FailureOnTheWayEndsAsOnOneThread) {
  write_photo_ppm("in.ppm", 1000, 700);
  ASSERT_EQ(run_tool({"-pr", "in.ppm", "a.r64", "-l"}).status, 0);
  RunOptions full_disk;
  full_disk.file_size_limit = 200000;
  RunResult one = run_tool({"-threads", "1", "-t", "a.r64", "-crsize", "64", "-cr", "a.cr"}, full_disk);
  RunResult two = run_tool({"-threads", "2", "-t", "a.r64", "-crsize", "64", "-cr", "a.cr"}, full_disk);
  EXPECT_EQ(one.status, 1);
  EXPECT_EQ(std::tie(two.status, two.out, two.err), std::tie(one.status, one.out, one.err));
  EXPECT_EQ(file_size(scratch_path("a.cr")), -1);
  // "-pr": a PPM file cut short, one of two bytes a sample (decoded on a thread of its own while
  // the band before is stored) cut short, and a disk that fills.
  write_file(scratch_path("cut.ppm"), read_file(scratch_path("in.ppm")).substr(0, 1000 * 3 * 300));
  const std::string bytes = photo_pixels(1000, 700);
  write_file(scratch_path("cut16.ppm"), ppm_bytes("P6", 1000, 700, 65535, bytes + bytes).substr(0, 1000 * 6 * 300));
  for (const auto& [input, limit] : {std::pair{"cut.ppm", -1L}, {"cut16.ppm", -1L}, {"in.ppm", 1000000L}}) {
    RunOptions options;
    options.file_size_limit = limit;
    RunResult pr_one = run_tool({"-threads", "1", "-pr", input, "b.r64"}, options);
    RunResult pr_two = run_tool({"-threads", "2", "-pr", input, "b.r64"}, options);
    EXPECT_EQ(pr_one.status, 1) << input;
    if (limit < 0) {  // the header takes part of row 0, so row 299 is the one cut short: its line is the last
      const std::string last = "h = 298/700   \rh = 299/700   \r";
      EXPECT_EQ(pr_one.out.substr(pr_one.out.size() - last.size()), last);
    }
    EXPECT_EQ(std::tie(pr_two.status, pr_two.out, pr_two.err), std::tie(pr_one.status, pr_one.out, pr_one.err)) << input;
    EXPECT_EQ(file_size(scratch_path("b.r64")), -1);
  }
  // "-l" and "-lh" compute on every thread and store on one: a disk that fills while they store
  // ends them with the same message (tiles may be written back in another order).
  for (const char* command : {"-l", "-lh"}) {
    for (const char* threads : {"1", "2"}) {
      ASSERT_EQ(run_tool({"-pr", "in.ppm", "l.r64"}).status, 0);
      RunOptions options;
      options.file_size_limit = 8 + 3 * 1000 * 700 + 100000;
      RunResult levels = run_tool({"-threads", threads, "-t", "l.r64", command}, options);
      EXPECT_EQ(std::pair(levels.status, levels.err),
                std::pair(1, std::string("fill_background: File too large\nr64 error: -1\nsystem : File too large\n"
                                         "cannot build the levels of \"l.r64\": File too large\n")))
          << command << " on " << threads;
    }
  }
  // An R64 file cut short inside level 0: a worker's read fails.
  write_file(scratch_path("cut.r64"), read_file(scratch_path("a.r64")).substr(0, 8 + 3 * 1000 * 600));
  RunResult cut_one = run_tool({"-threads", "1", "-t", "cut.r64", "-crsize", "64", "-cr", "cut.cr"});
  RunResult cut_two = run_tool({"-threads", "2", "-t", "cut.r64", "-crsize", "64", "-cr", "cut.cr"});
  EXPECT_EQ(std::pair(cut_one.status, cut_one.err.substr(0, 12)), std::pair(1, std::string("r64 error: -")));
  EXPECT_EQ(std::tie(cut_two.status, cut_two.out, cut_two.err), std::tie(cut_one.status, cut_one.out, cut_one.err));
  EXPECT_EQ(file_size(scratch_path("cut.cr")), -1);
  for (const auto& [arg, message] : {std::pair{"0", "invalid threads\n"}, {"two", "invalid threads\n"}}) {
    RunResult r = run_tool({"-threads", arg});
    EXPECT_EQ(std::pair(r.status, r.err), std::pair(1, std::string(message))) << arg;
  }
  EXPECT_EQ(run_tool({"-threads"}).err, "too few argments for -threads\n");
}

// The offset in an R64 file of byte 0 of level-0 pixel (x, y), x in the first column of tiles: the
// tiles of a row of tiles lie side by side after the header, each row after row.
long level0_offset(int width, int x, int y) {
  int top = y / 64 * 64;
  return 8 + 3L * top * width + 3L * ((y - top) * std::min(64, width) + x);
}

void copy_file(const std::string& from, const std::string& to) {
  std::filesystem::copy_file(scratch_path(from), scratch_path(to), std::filesystem::copy_options::overwrite_existing);
}

std::string joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& arg : args) text += (text.empty() ? "" : " ") + arg;
  return text;
}

const std::string kReadFailed = "Input/output error\n";

// A file that cannot be read at one byte (a bad sector), read on one thread and on two: the same
// status, lines and message, and no output. The failing read happens where one thread meets it
// whichever thread makes it, and a subtree of "-cr" that meets it after some of its rectangles
// stores them as one thread does.
TEST(Threads, UnreadableByteEndsAsOnOneThread) {
  write_photo_ppm("in.ppm", 600, 400);
  ASSERT_EQ(run_tool({"-pr", "in.ppm", "base.r64"}).status, 0);
  ASSERT_EQ(run_tool({"-pr", "in.ppm", "all.r64", "-l", "-crsize", "64", "-cr", "all.cr"}).status, 0);
  write_tiff(scratch_path("in.tif"), Samples::textured(600, 400, 3, 8));
  // Row 330, in the subtree of the level-2 rectangle at (0, 64), after four of its rectangles;
  // row 100, early enough for the slower windowed filter.
  const long row_330 = level0_offset(600, 10, 330), row_100 = level0_offset(600, 10, 100);
  struct Case {
    std::vector<std::string> args;
    std::string file, output;
    long bad_byte;
    const char* binary = PPM2R64_BINARY;
  };
  const Case cases[] = {
      {{"-t", "l.r64", "-l"}, "l.r64", "", row_100},
      {{"-t", "l.r64", "-lh"}, "l.r64", "", row_100},
      {{"-t", "all.r64", "-crsize", "64", "-cr", "o.cr"}, "all.r64", "o.cr", row_330},
      {{"-pr", "in.ppm", "o.r64"}, "in.ppm", "o.r64", 15 + 3L * 600 * 200},
      {{"-ir", "in.tif", "o.r64"}, "in.tif", "o.r64", 3L * 600 * 200},
      {{"-x", "all.cr", "0", "o.ppm"}, "all.cr", "o.ppm", file_size(scratch_path("all.cr")) * 3 / 4, CR2PPM_BINARY},
  };
  for (const Case& c : cases) {
    RunResult runs[2];
    for (int threads : {1, 2}) {
      copy_file("base.r64", "l.r64");
      std::vector<std::string> args = {"-threads", std::to_string(threads)};
      args.insert(args.end(), c.args.begin(), c.args.end());
      runs[threads - 1] = run_binary(c.binary, args,
                                     with_fault_shim({"FAULT_PATH=" + c.file, "FAULT_BAD_BYTE=" + std::to_string(c.bad_byte)}));
      if (!c.output.empty()) {
        EXPECT_EQ(file_size(scratch_path(c.output)), -1) << joined(args);
      }
    }
    const RunResult &one = runs[0], &two = runs[1];
    EXPECT_EQ(one.status, 1) << joined(c.args);
    EXPECT_TRUE(one.err.ends_with(kReadFailed)) << joined(c.args) << ": " << one.err;
    EXPECT_EQ(std::pair(two.status, two.err), std::pair(one.status, one.err)) << joined(c.args);
    EXPECT_TRUE(two.out == one.out) << joined(c.args) << ": other lines on two threads, ending\n"
                                    << two.out.substr(two.out.size() - std::min<size_t>(two.out.size(), 200));
  }
}

// A read that fails once, on a helper thread, ends the run with the system's words, as one thread
// ends it: it is neither tried again nor reported with what the caller's thread last saw.
TEST(Threads, AReadFailingOnAHelperThreadEndsTheRun) {
  write_photo_ppm("in.ppm", 600, 400);
  ASSERT_EQ(run_tool({"-pr", "in.ppm", "base.r64"}).status, 0);
  ASSERT_EQ(run_tool({"-pr", "in.ppm", "all.r64", "-l"}).status, 0);
  const std::vector<std::vector<std::string>> jobs = {{"-t", "l.r64", "-l"},
                                                     {"-t", "all.r64", "-crsize", "64", "-cr", "o.cr"}};
  for (const auto& job : jobs) {
    std::vector<std::string> args = {"-threads", "2"};
    args.insert(args.end(), job.begin(), job.end());
    // The caller's thread may have taken every task before a helper read anything: then again.
    RunResult r;
    for (int attempt = 0; attempt < 5 && r.status <= 0; ++attempt) {
      copy_file("base.r64", "l.r64");
      r = run_tool(args, with_fault_shim({"FAULT_PATH=" + job[1], "FAULT_CALL=pread", "FAULT_NTH=1", "FAULT_HELPERS_ONLY=1"}));
    }
    EXPECT_EQ(r.status, 1) << joined(job);
    EXPECT_TRUE(r.err.ends_with(kReadFailed)) << joined(job) << ": " << r.err;
  }
}

// The threads a run starts, counted by the shim.
long threads_started(const char* binary, const std::vector<std::string>& args) {
  const std::string counts = scratch_path("counts");
  RunResult r = run_binary(binary, args, with_fault_shim({"FAULT_COUNT_FILE=" + counts}));
  EXPECT_EQ(r.status, 0) << r.err;
  std::istringstream lines(read_file(counts));
  for (std::string kind; lines >> kind;) {
    long count = 0;
    lines >> count;
    if (kind == "threads") return count;
  }
  ADD_FAILURE() << "no count of threads";
  return -1;
}

TEST(Threads, OneThreadStartsNoOther) {
  write_photo_ppm("in.ppm", 320, 200);
  const std::string bytes = photo_pixels(320, 200);
  write_file(scratch_path("in16.ppm"), ppm_bytes("P6", 320, 200, 65535, bytes + bytes));
  write_file(scratch_path("in.png"), png_bytes(Samples::textured(320, 200, 3, 8)));
  struct Job {
    const char* binary;
    std::vector<std::string> args;
  };
  const Job jobs[] = {
      {PPM2R64_BINARY, {"-pr", "in.ppm", "o.r64", "-l", "-cr", "o.cr"}},
      {PPM2R64_BINARY, {"-pr", "in16.ppm", "p.r64", "-lh"}},
      {PPM2R64_BINARY, {"-ir", "in.png", "q.r64", "-l"}},
      {CR2PPM_BINARY, {"-x", "o.cr", "0", "o.ppm", "-psnr", "o.cr", "o.r64"}},
  };
  for (const Job& job : jobs) {
    for (const char* threads : {"1", "2"}) {
      std::vector<std::string> args = {"-threads", threads};
      args.insert(args.end(), job.args.begin(), job.args.end());
      long started = threads_started(job.binary, args);
      if (threads == std::string("1")) {
        EXPECT_EQ(started, 0) << joined(args);
      } else {
        EXPECT_GT(started, 0) << joined(args) << ": the count sees no thread";
      }
    }
  }
}

// A band decoded ahead waits for its slot until the band before it there is stored: with every
// write slowed down, the reading thread runs far ahead, and the file is still that of one thread.
TEST(Threads, BandsDecodedAheadDoNotOverwriteOneBeingStored) {
  const Samples photo = Samples::textured(200, 448, 3, 8);  // seven bands of 64 rows
  write_file(scratch_path("in.png"), png_bytes(photo));
  write_file(scratch_path("in.jpg"), jpeg_bytes(photo, 90));
  const std::string bytes = photo_pixels(200, 448);
  write_file(scratch_path("in16.ppm"), ppm_bytes("P6", 200, 448, 65535, bytes + bytes));
  for (const char* input : {"in.png", "in.jpg", "in16.ppm"}) {
    ASSERT_EQ(run_tool({"-threads", "1", "-ir", input, "one.r64"}).status, 0) << input;
    RunResult two = run_tool({"-threads", "2", "-ir", input, "two.r64"},
                             with_fault_shim({"FAULT_PATH=two.r64", "FAULT_UNNAMED=1", "FAULT_SLOW_WRITES=20000"}));
    ASSERT_EQ(two.status, 0) << input << ": " << two.err;
    EXPECT_TRUE(read_file(scratch_path("two.r64")) == read_file(scratch_path("one.r64"))) << input;
  }
}

}  // namespace
