// ppm2r64: converts a raw PPM image into an R64 file, builds its levels of detail and packs it
// into a CR file, running its arguments left to right as commands.
#include "change_endian.hpp"
#include "ppm2r64.hpp"
#include "r64.hpp"

int main(int argc, char** argv) {
  check_endian();
  r64_init();
  return finish(run_commands(argc, argv));
}
