// Ends the process with status 1 after writing the given text, exactly, to standard error.
#include <cstdio>
#include <cstdlib>

#include "er_panic.hpp"

void er_panic(const char* str) {
  std::fprintf(stderr, "%s", str);
  std::fflush(stderr);
  std::exit(1);
}
