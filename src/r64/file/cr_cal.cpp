// The sample mapping of residuals: identity on 32..223, and outside that band a compression by
// 32/332 so that residuals of -255..255 around the channel offset fit one byte, and back.
#include "cr_internal.hpp"

unsigned char cr_cal(int cc, signed char cal) {
  return static_cast<unsigned char>(cr_internal::coded_sample(cc + cal) & 0xff);
}

int cr_inv_cal(int cc, signed char cal) { return cr_internal::residual_of_sample(cc) - cal; }
