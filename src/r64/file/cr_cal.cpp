// The sample mapping of residuals: identity on 32..223, and outside that band a compression by
// 32/332 so that residuals of -255..255 around the channel offset fit one byte. Divisions
// truncate toward zero.
#include "r64.hpp"

namespace {

constexpr int kBandLow = 32;
constexpr int kBandHigh = 223;

}  // namespace

unsigned char cr_cal(int cc, signed char cal) {
  int t = cc + cal;
  if (t > kBandHigh)
    t = (32 * t - 7168) / 332 + 224;
  else if (t < kBandLow)
    t = (32 * t - 1024) / 332 + 32;
  return static_cast<unsigned char>(t & 0xff);
}

int cr_inv_cal(int cc, signed char cal) {
  int t = cc;
  if (t > kBandHigh)
    t = (332 * t - 74368) / 32 + 224;
  else if (t < kBandLow)
    t = (332 * t - 10624) / 32 + 32;
  return t - cal;
}
