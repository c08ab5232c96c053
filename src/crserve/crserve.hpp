// The tile server's driver: its command line and the serving loop. Every failure before serving
// starts is one message on standard error and exit status 1.
#pragma once

#include <string>

namespace crserve {

struct Options {
  std::string file;
  std::string bind = "127.0.0.1";
  int port = 8080;  // 0: any free port
  int threads = 0;  // readers rebuilding tiles at once; 0: the cores
  int cache_mb = 64;  // encoded tiles kept
  int rects_mb = 32;  // rebuilt rectangles kept, shared by the readers
  bool cors = false;
  int connections = 4096;  // open at once, at most; beyond, a new connection is closed at once
  int per_client = 64;     // open at once from one client address, at most
};

inline constexpr int kParsed = 0;
inline constexpr int kRefused = 1;  // `message` says why
inline constexpr int kHelp = 2;     // usage asked for, or no argument at all
inline constexpr int kVersion = 3;  // the version asked for

// Reads `crserve FILE.cr [options]`.
int parse_options(int argc, const char* const* argv, Options* options, std::string* message);
// One line per option, for standard output.
const char* usage();

// Serves the file until SIGINT or SIGTERM; the exit status.
int serve(const Options& options);

}  // namespace crserve
