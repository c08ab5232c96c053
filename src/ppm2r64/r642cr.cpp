// "-cr": pack the target R64 file into a CR file.
#include <cstdio>
#include <cstdlib>

#include "ppm2r64.hpp"

void r642cr(const char*, const char*) {
  std::fputs("\"-cr\" is not available yet\n", stderr);
  std::exit(1);
}
