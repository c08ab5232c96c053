// crserve: serves the image of a CR file to browser viewers over HTTP.
#include <cstdio>

#include "change_endian.hpp"
#include "crserve.hpp"
#include "r64.hpp"
#include "tool_info.hpp"

int main(int argc, char** argv) {
  check_endian();
  r64_init();
  crserve::Options options;
  TOOL_STATUS refusal;
  switch (crserve::parse_options(argc, argv, &options, &refusal)) {
    case crserve::kHelp:
      std::fputs(crserve::usage(), stdout);
      return 0;
    case crserve::kVersion:
      print_version("crserve");
      return 0;
    case crserve::kRefused:
      return finish(refusal);
    default:
      return finish(crserve::serve(options));
  }
}
