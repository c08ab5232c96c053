// What the tools share besides their usage: the command loop with its refusals, the whole numbers
// it reads, and the lines that describe a CR file that cannot be opened or rebuilt.
#include "command_line.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "change_endian.hpp"
#include "support/support.hpp"
#include "tool_status.hpp"

using namespace test_support;

namespace {

TEST(WholeNumber, TakesWholeDecimalNumbersWithinTheirRangeOnly) {
  const struct {
    const char* arg;
    int low, high;
    std::optional<int> value;
  } table[] = {
      {"12", 1, 100, 12},
      {"+7", 1, 100, 7},
      {" 5", 1, 100, 5},
      {"08", 1, 100, 8},
      {"-3", -5, 5, -3},
      {"0", 1, 100, {}},
      {"101", 1, 100, {}},
      {"5 ", 1, 100, {}},
      {"0x10", 1, 100, {}},
      {"1e3", 1, 10000, {}},
      {"", 1, 100, {}},
      {"8O", 1, 100, {}},
      {"2147483647", INT_MIN, INT_MAX, INT_MAX},
      {"2147483648", INT_MIN, INT_MAX, {}},
      {"-99999999999999999999", INT_MIN, INT_MAX, {}},
  };
  for (const auto& row : table) EXPECT_EQ(whole_number(row.arg, row.low, row.high), row.value) << '"' << row.arg << '"';
}

// A line of three commands that note what they ran: "-a" takes nothing, "-b N" a whole number,
// "-c X Y" two arguments and has its own refusal; "-fail" fails.
struct Recorder {
  std::vector<std::string> ran;
  int b = 0;
  std::vector<Command> commands() {
    return {
        {"-a", "runs a", 0, [this](CommandArgs&) { return noted("a"); }},
        {"-b N", "sets b", 1,
         [this](CommandArgs& args) {
           TOOL_STATUS read = take_whole_number(args, "b", 0, 9, &b);
           return read.failed() ? read : noted("b");
         }},
        {"-c X Y", nullptr, 2,
         [this](CommandArgs& args) {
           std::string x = args.take();
           return noted("c " + x + " " + args.take());
         },
         "-c needs two\n"},
        {"-fail", nullptr, 0, [](CommandArgs&) { return tool_failure("it failed\n"); }},
    };
  }
  TOOL_STATUS noted(const std::string& what) {
    ran.push_back(what);
    return {};
  }
};

TOOL_STATUS run_line(Recorder& recorder, std::vector<const char*> args, bool after_output = true) {
  std::vector<Command> commands = recorder.commands();
  const CommandLine line{commands, "unknown %s\n", "too few for %s\n", after_output};
  return run_command_line(line, CommandArgs(args.data(), static_cast<int>(args.size())));
}

TEST(CommandLoop, RunsCommandsLeftToRightUntilTheFirstRefusalOrFailure) {
  const struct {
    std::vector<const char*> args;
    std::vector<std::string> ran;
    std::string message;
  } table[] = {
      {{}, {}, ""},
      {{"-a", "-b", "3", "-c", "x", "-a", "-a"}, {"a", "b", "c x -a", "a"}, ""},
      {{"-a", "-b", "x", "-a"}, {"a"}, "invalid b \"x\"\n"},
      {{"-a", "-b"}, {"a"}, "too few for -b\n"},
      {{"-a", "-c", "x"}, {"a"}, "-c needs two\n"},
      {{"-a", "-d", "-a"}, {"a"}, "unknown -d\n"},
      {{"-a", "-b N"}, {"a"}, "unknown -b N\n"},  // the synopsis is no name
      {{"-a", "-fail", "-a"}, {"a"}, "it failed\n"},
      {{"-help"}, {}, "unknown -help\n"},  // only a line with a tool name has help and versions
  };
  for (const auto& row : table) {
    Recorder recorder;
    TOOL_STATUS status = run_line(recorder, row.args);
    EXPECT_EQ(std::tuple(status.message, status.exit_status, recorder.ran),
              std::tuple(row.message, row.message.empty() ? 0 : 1, row.ran));
  }
}

// A line's own refusals go ahead of standard output when it says so; its commands' failures
// keep their place.
TEST(CommandLoop, RefusalsGoAheadOfOutputOnlyWhereTheLineSaysSo) {
  Recorder recorder;
  EXPECT_TRUE(run_line(recorder, {"-d"}, true).after_output);
  EXPECT_FALSE(run_line(recorder, {"-d"}, false).after_output);
  EXPECT_FALSE(run_line(recorder, {"-b"}, false).after_output);
  EXPECT_TRUE(run_line(recorder, {"-fail"}, false).after_output);
}

class DescribeFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    check_endian();
    r64_init();
    write_photo_ppm("in.ppm", 200, 150);
    ASSERT_EQ(run_tool({"-pr", "in.ppm", "in.r64", "-l", "-crsize", "64", "-cr", "in.cr"}).status, 0);
  }
};

TEST_F(DescribeFailure, CrFilesThatCannotBeOpenedSayWhy) {
  write_file(scratch_path("short.cr"), read_file(scratch_path("in.cr")).substr(0, 30));
  write_file(scratch_path("other.cr"), read_file(scratch_path("in.r64")));
  for (auto [name, line] :
       {std::pair("missing.cr", "cannot open the CR file \"missing.cr\": No such file or directory"),
        std::pair("short.cr", "\"short.cr\" is cut short: its header or table is incomplete"),
        std::pair("other.cr", "\"other.cr\" is not a CR file")}) {
    const std::string path = scratch_path(name);
    ASSERT_EQ(cr_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(describe_cr_open_failure(name), line);
  }
}

// The line for a failure of `code` with errno `error`. Out of line: inlined twice in a row, g++ 12
// under -fsanitize=null checks the address of r64_error against a stale flag and aborts as on a
// null pointer.
[[gnu::noinline]] std::string described(const CR_REBUILDER* rb, int code, int error, const char* cr_name) {
  r64_error = code;
  errno = error;
  return describe_rebuild_failure(rb, cr_name);
}

// Rectangle (64, 0) of level 0 loses its block; rebuilding it fails there, and the line names it
// as cr2ppm (with the file) and crserve (without) say it.
TEST_F(DescribeFailure, RebuildFailuresNameTheRectangleOrTheFile) {
  const std::string path = scratch_path("in.cr");
  CR_FILE* f = cr_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0);
  ASSERT_NE(f, nullptr);
  std::string cr = read_file(path);
  const unsigned entry = get_tbl_ofs(f, 64, 0, 0);
  cr_close_file(f);
  cr.replace(entry, 12, 12, '\0');
  write_file(path, cr);

  f = cr_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0);
  ASSERT_NE(f, nullptr);
  CR_REBUILDER* rb = cr_rebuild_open(f);
  CR_BUFFER rect;
  ASSERT_LT(cr_rebuild_rect(&rect, rb, 70, 10, 0), 0);
  const int failure = r64_error;
  const std::string at = "rectangle (64, 0) of level 0";
  const struct {
    int code, error;
    std::string named, unnamed;
  } table[] = {
      {failure, 0, at + " of \"in.cr\" is missing or cut short", at + " is missing or cut short"},
      {kR64NotR64, 0, at + " of \"in.cr\" is damaged", at + " is damaged"},
      {kR64System, EIO, "cannot read \"in.cr\": Input/output error", "cannot read " + at + ": Input/output error"},
      {kR64Memory, 0, "out of memory rebuilding \"in.cr\"", "out of memory rebuilding " + at},
  };
  for (const auto& row : table) {
    std::string named = described(rb, row.code, row.error, "in.cr");
    EXPECT_EQ(std::pair(named, described(rb, row.code, row.error, nullptr)), std::pair(row.named, row.unnamed));
  }
  cr_rebuild_close(rb);
  cr_close_file(f);
}

}  // namespace
