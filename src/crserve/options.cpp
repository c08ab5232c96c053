// The command line of crserve: the CR file or folder, then options in any order. Numbers are whole
// decimal integers within their range; anything else is refused with the argument quoted.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

#include "crserve.hpp"
#include "public_url.hpp"

namespace crserve {

namespace {

bool number(const char* arg, int low, int high, int* value) {
  char* end = nullptr;
  errno = 0;
  long n = std::strtol(arg, &end, 10);
  if (errno != 0 || end == arg || *end != '\0' || n < low || n > high) return false;
  *value = static_cast<int>(n);
  return true;
}

bool refuse(std::string* message, std::string text) {
  *message = std::move(text);
  return false;
}

// The option at argv[*i] with its value, if it takes one; advances *i past what it used.
bool take_option(int argc, const char* const* argv, int* i, Options* o, std::string* message) {
  std::string_view name = argv[*i];
  if (name == "-cors" || name == "-trust-proxy") {
    (name == "-cors" ? o->cors : o->trust_proxy) = true;
    ++*i;
    return true;
  }
  struct Numeric {
    std::string_view name;
    const char* what;
    int low, high;
    int* value;
  };
  int max_area = static_cast<int>(o->max_area);
  const Numeric numeric[] = {{"-port", "port", 0, 65535, &o->port},
                             {"-threads", "thread count", 1, 256, &o->threads},
                             {"-cache", "cache size", 0, 1 << 20, &o->cache_mb},
                             {"-rects", "cache size", 0, 1 << 20, &o->rects_mb},
                             {"-max-area", "pixel count", 1 << 16, 1 << 30, &max_area},
                             {"-connections", "connection count", 1, 1 << 20, &o->connections},
                             {"-per-client", "connection count", 1, 1 << 20, &o->per_client}};
  bool is_text = name == "-bind" || name == "-base-url";
  const Numeric* found = nullptr;
  for (const Numeric& n : numeric)
    if (n.name == name) found = &n;
  if (!is_text && found == nullptr) return refuse(message, "invalid option \"" + std::string(name) + "\"");
  if (*i + 1 >= argc) return refuse(message, "too few arguments for " + std::string(name));
  const char* value = argv[*i + 1];
  *i += 2;
  if (name == "-bind") {
    if (*value == '\0') return refuse(message, "invalid address \"\"");
    o->bind = value;
    return true;
  }
  if (name == "-base-url") {
    std::string url = value;
    while (url.ends_with("/")) url.pop_back();
    if (!plain_base_url(url)) return refuse(message, "invalid base URL \"" + std::string(value) + "\"");
    o->base_url = url;
    return true;
  }
  if (!number(value, found->low, found->high, found->value))
    return refuse(message, "invalid " + std::string(found->what) + " \"" + value + "\"");
  o->max_area = max_area;
  return true;
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

int parse_options(int argc, const char* const* argv, Options* options, std::string* message) {
  if (argc < 2) return kHelp;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-help" || arg == "--help") return kHelp;
    if (arg == "-version" || arg == "--version") return kVersion;
  }
  std::string_view first = argv[1];
  if (first.starts_with("-")) {
    *message = "the CR file or folder comes first: crserve PATH [options]";
    return kRefused;
  }
  options->path = argv[1];
  for (int i = 2; i < argc;)
    if (!take_option(argc, argv, &i, options, message)) return kRefused;
  return kParsed;
}

}  // namespace crserve
