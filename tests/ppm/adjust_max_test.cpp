// The one rule by which a PPM sample becomes a byte, whatever reads it: scaled by 255 / max,
// rounded down, clamped at 255.
#include <gtest/gtest.h>

#include "ppmlib_types.hpp"

namespace {

TEST(AdjustMax, ScalesRoundingDownAndClampsAboveTheMaximum) {
  const struct {
    unsigned max, sample, byte;
  } table[] = {
      {255, 0, 0},     {255, 128, 128}, {255, 255, 255},     {255, 300, 255},    {15, 7, 119},
      {15, 15, 255},   {1, 1, 255},     {1023, 512, 127},    {1000, 500, 127},   {65535, 32768, 127},
      {65535, 129, 0}, {65535, 257, 1}, {65535, 65535, 255}, {1000, 65535, 255},
  };
  for (const auto& row : table) EXPECT_EQ(adjust_max(row.max, row.sample), row.byte) << row.sample << " of " << row.max;
}

}  // namespace
