// Whatever the number of threads, the tool writes the same files and prints the same lines, and a
// failure on the way ends it with the same message and status as on one thread.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

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

}  // namespace
