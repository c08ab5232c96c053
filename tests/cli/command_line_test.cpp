// The command loop run end to end: argument checks, their messages and exit statuses, and the
// order in which commands run.
#include <gtest/gtest.h>

#include <string>

#include "support/support.hpp"

using test_support::file_size;
using test_support::ppm_bytes;
using test_support::run_tool;
using test_support::scratch_path;
using test_support::write_file;

namespace {

struct ArgumentError {
  const char* name;
  std::vector<std::string> args;
  const char* message;
};

void PrintTo(const ArgumentError& e, std::ostream* os) { *os << e.name; }

class RefusedArguments : public ::testing::TestWithParam<ArgumentError> {};

TEST_P(RefusedArguments, PrintOneMessageAndExitWithOne) {
  auto result = run_tool(GetParam().args);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, GetParam().message);
  EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, RefusedArguments,
    ::testing::Values(
        ArgumentError{"UnknownOption", {"-foo"}, "invalid command \"-foo\"\n"},
        ArgumentError{"PlainWord", {"picture.ppm"}, "invalid command \"picture.ppm\"\n"},
        ArgumentError{"EmptyArgument", {""}, "invalid command \"\"\n"},
        ArgumentError{"PrefixOfCommand", {"-c"}, "invalid command \"-c\"\n"},
        ArgumentError{"CommandWithSuffix", {"-trash"}, "invalid command \"-trash\"\n"},
        ArgumentError{"ConvertWithoutArguments", {"-pr"}, "too few argment for -pr\n"},
        ArgumentError{"ConvertWithOneArgument", {"-pr", "in.ppm"}, "too few argment for -pr\n"},
        ArgumentError{"TargetLast", {"-t"}, "too few argments for -t\n"},
        ArgumentError{"RectSizeLast", {"-crsize"}, "too few argments for -crsize\n"},
        ArgumentError{"RectSize100", {"-crsize", "100"}, "invalid rectsize\n"},
        ArgumentError{"RectSizeNotANumber", {"-crsize", "big"}, "invalid rectsize\n"},
        ArgumentError{"RectSize32", {"-crsize", "32"}, "invalid rectsize\n"},
        ArgumentError{"PackLast", {"-cr"}, "too few argments for -cr\n"},
        ArgumentError{"PackLastWithTarget", {"-t", "a.r64", "-cr"}, "too few argments for -cr\n"},
        ArgumentError{"PackWithoutTarget", {"-cr", "x.cr"}, "target is required\n"},
        ArgumentError{"PpmTypeLast", {"-ppmtype"}, "too few argments for -ppmtype\n"},
        ArgumentError{"InvalidAfterSettings", {"-t", "a.r64", "-crsize", "64", "-foo"}, "invalid command \"-foo\"\n"},
        ArgumentError{"ArgumentCountsAreConsumed", {"-t", "-foo", "-crsize", "128", "128"},
                      "invalid command \"128\"\n"}),
    [](const auto& info) { return info.param.name; });

TEST(CommandLine, NoArgumentsDoNothing) {
  auto result = run_tool({});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
}

TEST(CommandLine, SettingsAloneSucceedSilently) {
  for (const char* size : {"64", "128", "256"}) {
    auto result = run_tool({"-t", "a.r64", "-crsize", size, "-t", "b.r64"});
    EXPECT_EQ(result.status, 0) << size;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
  }
  EXPECT_EQ(file_size(scratch_path("a.r64")), -1);  // "-t" only names the target
}

TEST(CommandLine, PackWithoutTargetCreatesNoFile) {
  auto result = run_tool({"-cr", "x.cr"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(file_size(scratch_path("x.cr")), -1);
}

// Commands run left to right: the output of earlier ones is there when a later argument fails.
TEST(CommandLine, InvalidCommandAfterActionsHaveRun) {
  write_file(scratch_path("a.ppm"), ppm_bytes("P6", 4, 3, 255, std::string(36, '\x10')));
  auto result = run_tool({"-ppmtype", "a.ppm", "-pr", "a.ppm", "a.r64", "-bogus", "-ppmtype", "a.ppm"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "invalid command \"-bogus\"\n");
  EXPECT_EQ(result.out.rfind("P6 4 3 255\nconvert a.ppm(ppm) to a.r64(r64)\n", 0), 0u) << result.out;
  EXPECT_TRUE(result.out.ends_with("\nEND\n")) << result.out;
  EXPECT_EQ(file_size(scratch_path("a.r64")), 8 + 4 * 3 * 3);
}

// The first failing argument ends the run: nothing after it runs.
TEST(CommandLine, StopsAtTheFirstError) {
  write_file(scratch_path("a.ppm"), ppm_bytes("P6", 4, 3, 255, std::string(36, '\x10')));
  auto result = run_tool({"-crsize", "7", "-pr", "a.ppm", "a.r64"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "invalid rectsize\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(file_size(scratch_path("a.r64")), -1);
}

// An argument after "-l" that begins with '-' is no count: the levels are built, then it runs as
// the next command.
TEST(CommandLine, DashArgumentAfterLevelsRunsAsNextCommand) {
  write_file(scratch_path("a.ppm"), ppm_bytes("P6", 8, 8, 255, std::string(8 * 8 * 3, '\x40')));
  auto result = run_tool({"-pr", "a.ppm", "a.r64", "-l", "-foo"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "invalid command \"-foo\"\n");
  EXPECT_NE(result.out.find("make multi levels of details\n"), std::string::npos) << result.out;
  // 8x8, 4x4 levels: the 4x4 level was built before "-foo" was read.
  EXPECT_EQ(file_size(scratch_path("a.r64")), 8 + 8 * 8 * 3 + 4 * 4 * 3);
}

}  // namespace
