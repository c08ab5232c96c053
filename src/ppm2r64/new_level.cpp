// "-l" and "-lh": build the coarser levels of detail of the target R64 file.
#include <cstdio>
#include <cstdlib>

#include "ppm2r64.hpp"

void new_level(int) {
  std::fputs("\"-l\" is not available yet\n", stderr);
  std::exit(1);
}

void new_level_hifi(int) {
  std::fputs("\"-lh\" is not available yet\n", stderr);
  std::exit(1);
}
