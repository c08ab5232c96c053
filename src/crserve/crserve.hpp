// The tile server's driver: its command line and the serving loop. Every failure before serving
// starts is a status whose one line main prints on standard error before exiting with status 1.
#pragma once

#include <string>

#include "tool_status.hpp"

namespace crserve {

struct Options {
  std::string path;  // a CR file, or a folder of them
  std::string bind = "127.0.0.1";
  int port = 8080;  // 0: any free port
  int threads = 0;  // workers making tiles and images at once; 0: the cores
  int cache_mb = 64;  // encoded tiles kept
  int rects_mb = 32;  // rebuilt rectangles kept, shared by the readers
  bool cors = false;
  long max_area = 4096L * 4096;  // the most pixels an image request may ask for
  std::string base_url;          // the public URL of the server's root; empty: from the request
  bool trust_proxy = false;      // the Forwarded and X-Forwarded-* headers name the public URL
  int connections = 4096;  // open at once, at most; beyond, a new connection is closed at once
  int per_client = 64;     // open at once from one client address, at most
};

inline constexpr int kParsed = 0;
inline constexpr int kRefused = 1;  // `refusal` says why
inline constexpr int kHelp = 2;     // usage asked for, or no argument at all
inline constexpr int kVersion = 3;  // the version asked for

// Reads `crserve PATH [options]`, PATH a CR file or a folder.
int parse_options(int argc, const char* const* argv, Options* options, TOOL_STATUS* refusal);
// One line per option, for standard output.
const char* usage();

// Serves the file or the folder until SIGINT or SIGTERM: done, or the failure that stopped it.
TOOL_STATUS serve(const Options& options);

}  // namespace crserve
