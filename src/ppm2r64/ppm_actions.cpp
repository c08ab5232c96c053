// "-ppmtype" and "-pr": report a PPM header; convert a PPM image into level 0 of a new R64 file.
#include <cstdio>
#include <cstdlib>

#include "ppm2r64.hpp"

void ppm_type(const char*) {
  std::fputs("\"-ppmtype\" is not available yet\n", stderr);
  std::exit(1);
}

void ppm2r64(char**) {
  std::fputs("\"-pr\" is not available yet\n", stderr);
  std::exit(1);
}

unsigned char adjust_max(unsigned int max, unsigned int col) {
  unsigned int cc = (col * 255) / max;
  return static_cast<unsigned char>(cc > 255 ? 255 : cc);
}
