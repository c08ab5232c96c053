// Finds the host byte order once at start-up: endian_flag tells every file layer whether
// multi-byte fields must be reversed on their way to and from a file.
#include "change_endian.hpp"

char endian_flag = 0;

void check_endian() {
  EDI probe;
  probe.a = 1;
  endian_flag = probe.b[0];
}
