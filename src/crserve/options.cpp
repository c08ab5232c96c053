// The command line of crserve: the CR file, then options in any order. Numbers are whole decimal
// integers within their range; anything else is refused with the argument quoted.
#include <string_view>

#include "command_line.hpp"
#include "crserve/crserve.hpp"

namespace crserve {

namespace {

// An option that sets a whole number of low..high.
Command numeric(const char* name, const char* what, int low, int high, int* value) {
  return {name, nullptr, 1, [=](CommandArgs& args) { return take_whole_number(args, what, low, high, value); }};
}

// Refusals are lines without their newline, which main adds.
int refused(const TOOL_STATUS& status, std::string* message) {
  *message = status.message.substr(0, status.message.find_last_not_of('\n') + 1);
  return kRefused;
}

}  // namespace

const char* usage() {
  return "usage: crserve FILE.cr [options]   serves the image of a CR file to browsers\n"
         "  -bind ADDR       address to listen on (default 127.0.0.1)\n"
         "  -port N          port to listen on, 0 for any free one (default 8080)\n"
         "  -threads N       tiles rebuilt at once (default: the cores)\n"
         "  -cache MB        encoded tiles kept in memory (default 64)\n"
         "  -cors            lets pages of any origin use the tiles\n"
         "  -connections N   connections open at once (default 4096, fewer if the open-file limit says so)\n"
         "  -per-client N    connections open at once from one address (default 64)\n"
         "  -help            this text\n"
         "  -version         the version, and those of the image libraries\n";
}

int parse_options(int argc, const char* const* argv, Options* options, std::string* message) {
  if (argc < 2) return kHelp;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-help" || arg == "--help") return kHelp;
    if (arg == "-version" || arg == "--version") return kVersion;
  }
  std::string_view first = argv[1];
  if (first.starts_with("-")) {
    *message = "the CR file comes first: crserve FILE.cr [options]";
    return kRefused;
  }
  options->file = argv[1];
  Options& o = *options;
  const Command commands[] = {
      {"-cors", nullptr, 0,
       [&](CommandArgs&) {
         o.cors = true;
         return TOOL_STATUS{};
       }},
      {"-bind", nullptr, 1,
       [&](CommandArgs& args) {
         const char* address = args.take();
         if (*address == '\0') return tool_failure("invalid address \"\"\n");
         o.bind = address;
         return TOOL_STATUS{};
       }},
      numeric("-port", "port", 0, 65535, &o.port),
      numeric("-threads", "thread count", 1, 256, &o.threads),
      numeric("-cache", "cache size", 0, 1 << 20, &o.cache_mb),
      numeric("-connections", "connection count", 1, 1 << 20, &o.connections),
      numeric("-per-client", "connection count", 1, 1 << 20, &o.per_client),
  };
  const CommandLine line{commands, "invalid option \"%s\"\n", "too few arguments for %s\n", true};
  TOOL_STATUS status = run_command_line(line, CommandArgs(argv + 2, argc - 2));
  return status.failed() ? refused(status, message) : kParsed;
}

}  // namespace crserve
