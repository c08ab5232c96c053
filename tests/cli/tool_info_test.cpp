// What a newcomer gets from every tool: the usage (one line per command) for -help, --help and no
// arguments at all, and the versions of the tool and its image libraries for -version and --version.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/support.hpp"

using namespace test_support;

namespace {

struct Tool {
  const char* binary;
  const char* name;
  std::vector<std::string> commands;
};

const Tool kTools[] = {
    {PPM2R64_BINARY, "ppm2r64", {"-ppmtype", "-pr", "-ir", "-l", "-lh", "-t", "-crsize", "-cr", "-threads"}},
    {CR2PPM_BINARY, "cr2ppm", {"-info", "-x", "-xr", "-psnr", "-threads"}},
    {CRSERVE_BINARY, "crserve", {"-bind", "-port", "-threads", "-cache", "-cors", "-help", "-version"}},
};

TEST(ToolInfo, HelpAndNoArgumentsPrintOneLinePerCommand) {
  for (const Tool& tool : kTools) {
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"-help"}, {"--help"}}) {
      RunResult r = run_binary(tool.binary, args, {});
      EXPECT_EQ(std::pair(r.status, r.err), std::pair(0, std::string())) << tool.name;
      EXPECT_TRUE(r.out.starts_with(std::string("usage: ") + tool.name + " ")) << r.out;
      for (const std::string& command : tool.commands)
        EXPECT_NE(r.out.find("\n  " + command + " "), std::string::npos) << tool.name << " " << command;
    }
  }
}

TEST(ToolInfo, VersionNamesTheToolAndEveryImageLibrary) {
  const std::regex version(
      "[a-z0-9]+ [0-9]+\\.[0-9]+\\.[0-9]+\nlibjpeg-turbo [0-9.]+\nlibspng [0-9.]+\nlibtiff [0-9.]+\n");
  for (const Tool& tool : kTools)
    for (const char* arg : {"-version", "--version"}) {
      RunResult r = run_binary(tool.binary, {arg}, {});
      EXPECT_EQ(r.status, 0);
      EXPECT_TRUE(r.out.starts_with(std::string(tool.name) + " ") && std::regex_match(r.out, version)) << r.out;
    }
}

}  // namespace
