// The command line of crserve: the CR file or folder, then options in any order. Numbers are whole
// decimal integers within their range; anything else is refused with the argument quoted.
#include <string_view>

#include "command_line.hpp"
#include "crserve.hpp"
#include "public_url.hpp"

namespace crserve {

namespace {

// An option that sets a whole number of low..high.
Command numeric(const char* name, const char* what, int low, int high, int* value) {
  return {name, nullptr, 1, [=](CommandArgs& args) { return take_whole_number(args, what, low, high, value); }};
}

// An option without a value that turns `on` on.
Command flag(const char* name, bool* on) {
  return {name, nullptr, 0, [=](CommandArgs&) {
            *on = true;
            return TOOL_STATUS{};
          }};
}

// The public URL, without its trailing slashes; refused unless it is a plain http(s) origin and path.
TOOL_STATUS take_base_url(CommandArgs& args, std::string* base_url) {
  const char* value = args.take();
  std::string url = value;
  while (url.ends_with("/")) url.pop_back();
  if (!plain_base_url(url)) return tool_failure("invalid base URL \"%s\"\n", value);
  *base_url = url;
  return {};
}

TOOL_STATUS take_max_area(CommandArgs& args, long* max_area) {
  int pixels;
  TOOL_STATUS read = take_whole_number(args, "pixel count", 1 << 16, 1 << 30, &pixels);
  if (!read.failed()) *max_area = pixels;
  return read;
}

}  // namespace

const char* usage() {
  return "usage: crserve PATH [options]   serves the image of a CR file, or every CR file under a folder, to browsers\n"
         "  -bind ADDR       address to listen on (default 127.0.0.1)\n"
         "  -port N          port to listen on, 0 for any free one (default 8080)\n"
         "  -threads N       tiles rebuilt at once (default: the cores)\n"
         "  -cache MB        encoded tiles kept in memory (default 64)\n"
         "  -rects MB        rebuilt rectangles kept in memory, shared by the readers (default 32)\n"
         "  -max-area PIXELS the most pixels an image request may ask for (default 16777216, 4096 x 4096)\n"
         "  -cors            lets pages of any origin use the tiles, and answers their preflights\n"
         "  -base-url URL    the public URL of the server, which replies name (default: from each request)\n"
         "  -trust-proxy     takes the public URL from Forwarded and X-Forwarded-* headers of a proxy\n"
         "  -connections N   connections open at once (default 4096, fewer if the open-file limit says so)\n"
         "  -per-client N    connections open at once from one address (default 64)\n"
         "  -help            this text\n"
         "  -version         the version, and those of the image libraries\n";
}

int parse_options(int argc, const char* const* argv, Options* options, TOOL_STATUS* refusal) {
  if (argc < 2) return kHelp;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-help" || arg == "--help") return kHelp;
    if (arg == "-version" || arg == "--version") return kVersion;
  }
  std::string_view first = argv[1];
  if (first.starts_with("-")) {
    *refusal = tool_failure("the CR file or folder comes first: crserve PATH [options]\n");
    return kRefused;
  }
  options->path = argv[1];
  Options& o = *options;
  const Command commands[] = {
      flag("-cors", &o.cors),
      flag("-trust-proxy", &o.trust_proxy),
      {"-bind", nullptr, 1,
       [&](CommandArgs& args) {
         const char* address = args.take();
         if (*address == '\0') return tool_failure("invalid address \"\"\n");
         o.bind = address;
         return TOOL_STATUS{};
       }},
      {"-base-url", nullptr, 1, [&](CommandArgs& args) { return take_base_url(args, &o.base_url); }},
      numeric("-port", "port", 0, 65535, &o.port),
      numeric("-threads", "thread count", 1, 256, &o.threads),
      numeric("-cache", "cache size", 0, 1 << 20, &o.cache_mb),
      numeric("-rects", "cache size", 0, 1 << 20, &o.rects_mb),
      {"-max-area", nullptr, 1, [&](CommandArgs& args) { return take_max_area(args, &o.max_area); }},
      numeric("-connections", "connection count", 1, 1 << 20, &o.connections),
      numeric("-per-client", "connection count", 1, 1 << 20, &o.per_client),
  };
  const CommandLine line{commands, "invalid option \"%s\"\n", "too few arguments for %s\n", true};
  *refusal = run_command_line(line, CommandArgs(argv + 2, argc - 2));
  return refusal->failed() ? kRefused : kParsed;
}

}  // namespace crserve
