// The one rule by which a PPM sample of any maximum becomes a byte: scaled to 0..255 and rounded
// down, samples above the maximum clamped to 255. Conversions to R64 files, whatever the input
// format, and scaled copies of PPM images all follow it.
#include "ppmlib_types.hpp"

unsigned char adjust_max(unsigned int max, unsigned int col) {
  unsigned int cc = (col * 255) / max;
  return static_cast<unsigned char>(cc > 255 ? 255 : cc);
}
