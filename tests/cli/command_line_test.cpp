// The command loop run end to end: argument checks with their messages and exit statuses, and
// commands running left to right until the first error.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "support/support.hpp"

using namespace test_support;

namespace {

// Settings alone succeed silently. Every refused argument prints its one
// message, prints nothing on standard output (so no command after it ran) and exits with 1.
TEST(CommandLine, RefusedArgumentsPrintTheirMessageAndExitWithOne) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-t", "a.r64", "-crsize", "128", "-t", "b"}, ""},
      {{"-foo"}, "invalid command \"-foo\"\n"},
      {{"picture.ppm"}, "invalid command \"picture.ppm\"\n"},
      {{"-c"}, "invalid command \"-c\"\n"},  // a prefix of a command is no command
      {{"-trash"}, "invalid command \"-trash\"\n"},
      {{"-t", "-foo", "-crsize", "128", "128"}, "invalid command \"128\"\n"},  // arguments are consumed
      {{"-pr", "in.ppm"}, "too few argment for -pr\n"},
      {{"-t"}, "too few argments for -t\n"},
      {{"-cr"}, "too few argments for -cr\n"},
      {{"-crsize"}, "too few argments for -crsize\n"},
      {{"-ppmtype"}, "too few argments for -ppmtype\n"},
      {{"-crsize", "100"}, "invalid rectsize\n"},
      {{"-crsize", "big"}, "invalid rectsize\n"},
      {{"-crsize", "7", "-pr", "a.ppm", "a.r64"}, "invalid rectsize\n"},
      {{"-cr", "x.cr"}, "target is required\n"},
      {{"-crquality"}, "too few argments for -crquality\n"},
      {{"-crquality", "0"}, "invalid quality \"0\" (1 to 100)\n"},
      {{"-crquality", "101"}, "invalid quality \"101\" (1 to 100)\n"},
      {{"-crquality", "8O"}, "invalid quality \"8O\" (1 to 100)\n"},
      {{"-crmode", "small"}, "invalid mode \"small\" (standard or efficient)\n"},
      {{"-crmode"}, "too few argments for -crmode\n"},
      {{"-crpsnr", "19.9"}, "invalid PSNR \"19.9\" (0, or 20 to 60 dB)\n"},
      {{"-crpsnr", "61"}, "invalid PSNR \"61\" (0, or 20 to 60 dB)\n"},
      {{"-crpsnr", "high"}, "invalid PSNR \"high\" (0, or 20 to 60 dB)\n"},
      {{"-crpsnr", "-35"}, "invalid PSNR \"-35\" (0, or 20 to 60 dB)\n"},
      {{"-crquality", "90", "-crmode", "efficient", "-crpsnr", "0", "-crpsnr", "40"}, ""},
  };
  for (const auto& [args, message] : cases) {
    RunResult result = run_tool(args);
    EXPECT_EQ(std::tuple(result.status, result.err, result.out), std::tuple(message.empty() ? 0 : 1, message, ""));
  }
  EXPECT_EQ(file_size(scratch_path("x.cr")), -1);
}

// "-pr" makes its output the target; an argument after "-l" that begins with '-' is no count: the
// levels are built, then it runs as the next command and fails.
TEST(CommandLine, InvalidCommandAfterCommandsHaveRun) {
  write_file(scratch_path("a.ppm"), ppm_bytes("P6", 8, 8, 255, std::string(8 * 8 * 3, '\x40')));
  RunResult result = run_tool({"-pr", "a.ppm", "a.r64", "-l", "-foo"});
  EXPECT_EQ(std::pair(result.status, result.err), std::pair(1, std::string("invalid command \"-foo\"\n")));
  EXPECT_NE(result.out.find("\nEND\nmake multi levels of details\n"), std::string::npos) << result.out;
  EXPECT_EQ(file_size(scratch_path("a.r64")), 8 + 8 * 8 * 3 + 4 * 4 * 3);  // levels 8x8 and 4x4
}

}  // namespace

// Standard output and error through one pipe, where standard output is buffered: a failure's
// message follows the lines printed before it, except the command line's own refusals in
// ppm2r64, which go ahead of what standard output still holds, as they always have.
TEST(CommandLine, MessagesKeepTheirPlaceAmongTheLinesPrintedBefore) {
  write_file(scratch_path("a.ppm"), ppm_bytes("P6", 8, 4, 255, std::string(8 * 4 * 3, '\x40')));
  RunOptions one_stream;
  one_stream.one_stream = true;
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-ppmtype", "a.ppm", "-t"}, "too few argments for -t\nP6 8 4 255\n"},
      {{"-ppmtype", "a.ppm", "-foo"}, "invalid command \"-foo\"\nP6 8 4 255\n"},
      {{"-ppmtype", "a.ppm", "-ppmtype", "b.ppm"}, "cannot open the file \"b.ppm\"\nP6 8 4 255\n"},
      {{"-ppmtype", "a.ppm", "-crquality", "0"}, "P6 8 4 255\ninvalid quality \"0\" (1 to 100)\n"},
      {{"-ppmtype", "a.ppm", "-t", "b.r64", "-l"},
       "P6 8 4 255\nmake multi levels of details\nr64 error: -1\nsystem : No such file or directory\n"
       "cannot open \"b.r64\": No such file or directory\n"},
  };
  for (const auto& [args, output] : cases) {
    RunResult result = run_tool(args, one_stream);
    EXPECT_EQ(std::pair(result.status, result.out), std::pair(1, output));
  }
  write_photo_ppm("b.ppm", 100, 70);
  ASSERT_EQ(run_tool({"-pr", "b.ppm", "b.r64", "-l", "-crsize", "64", "-cr", "b.cr"}).status, 0);
  const std::string info = run_cr2ppm({"-info", "b.cr"}).out;
  ASSERT_FALSE(info.empty());
  for (const char* refused : {"-foo", "-x"}) {
    RunResult result = run_cr2ppm({"-info", "b.cr", refused}, one_stream);
    EXPECT_TRUE(result.out.starts_with(info + (refused[1] == 'f' ? "invalid command" : "too few arguments")))
        << result.out;
  }
}
