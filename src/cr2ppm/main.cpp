// cr2ppm: reads CR files back, running its arguments left to right as commands.
#include "change_endian.hpp"
#include "cr2ppm.hpp"
#include "r64.hpp"

int main(int argc, char** argv) {
  check_endian();
  r64_init();
  return finish(cr2ppm::run_commands(argc, argv));
}
