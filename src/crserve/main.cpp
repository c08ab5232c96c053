// crserve: serves the image of a CR file to browser viewers over HTTP.
#include <cstdio>
#include <string>

#include "change_endian.hpp"
#include "crserve.hpp"
#include "r64.hpp"
#include "tool_info.hpp"

int main(int argc, char** argv) {
  check_endian();
  r64_init();
  crserve::Options options;
  std::string message;
  switch (crserve::parse_options(argc, argv, &options, &message)) {
    case crserve::kHelp:
      std::fputs(crserve::usage(), stdout);
      return 0;
    case crserve::kVersion:
      print_version("crserve");
      return 0;
    case crserve::kRefused:
      std::fprintf(stderr, "%s\n", message.c_str());
      return 1;
    default:
      return crserve::serve(options);
  }
}
