// The power-of-two transform: its sign and scaling conventions whatever transform ran before, the
// round trip with the input left untouched, bit reversal, and running out of memory.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include "complex.hpp"
#include "malloc_ptr.hpp"

namespace {

using Result = std::unique_ptr<COMPLEX[], FreeDeleter>;
using Values = std::vector<COMPLEX>;

COMPLEX c(double re, double im = 0.0) { return COMPLEX{im, re}; }

Values impulse(int size, int at) { Values v(size); v[at] = c(1.0); return v; }

void expect_near(const COMPLEX* got, const Values& want) {
  for (size_t i = 0; i < want.size(); ++i)
    EXPECT_NEAR(std::hypot(got[i].re - want[i].re, got[i].im - want[i].im), 0.0, 1e-12) << "at " << i;
}

TEST(FastftTest, ForwardIsScaledWithTheNegativeExponentInverseIsUnscaled) {
  Values wave;  // e^(2 pi i n / 8)
  for (int n = 0; n < 8; ++n) wave.push_back(c(std::cos(2 * M_PI * n / 8), std::sin(2 * M_PI * n / 8)));
  // Transform, beki, input, result. The table runs twice, so lengths and directions alternate.
  const std::tuple<COMPLEX* (*)(const COMPLEX*, int), int, Values, Values> cases[] = {
      {fastft, 3, Values(8, c(1.0)), impulse(8, 0)}, {fastdft, 2, impulse(4, 0), Values(4, c(1.0))},
      {fastft, 0, {c(-2.5, 7.25)}, {c(-2.5, 7.25)}}, {fastft, 3, impulse(8, 0), Values(8, c(0.125))},
      {fastft, 3, wave, impulse(8, 1)}, {fastdft, 2, impulse(4, 1), {c(1.0), c(0.0, 1.0), c(-1.0), c(0.0, -1.0)}}};
  for (size_t i = 0; i < 2 * std::size(cases); ++i) {
    const auto& [transform, beki, in, want] = cases[i % std::size(cases)];
    SCOPED_TRACE(i);
    expect_near(Result(transform(in.data(), beki)).get(), want);
  }
}

TEST(FastftTest, InverseOfForwardGivesTheUntouchedInputBack) {
  Values x;
  for (int i = 0; i < 16; ++i) x.push_back(c(std::sin(0.7 * i) - 0.25, 2.0 * std::cos(1.3 * i)));
  const Values copy = x;
  expect_near(Result(fastdft(Result(fastft(x.data(), 4)).get(), 4)).get(), x);
  EXPECT_EQ(std::memcmp(x.data(), copy.data(), 16 * sizeof(COMPLEX)), 0);
}

TEST(UpsidedownTest, ReversesTheLowBits) {
  const int cases[][3] = {{1, 3, 4}, {6, 3, 3}, {5, 2, 2}, {0b1011, 4, 0b1101}, {0xFF1, 4, 8}, {13, 0, 0}};
  for (auto [a, bits, want] : cases) EXPECT_EQ(upsidedown(a, bits), want) << a << " over " << bits << " bits";
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(FastftDeathTest, EndsTheProcessWhenItsTableCannotBeAllocated) {
  rlimit limit{1ul << 30, 1ul << 30};
  COMPLEX one{0.0, 1.0};  // a table of 2^28 entries needs 4 GiB; the input is never read first
  EXPECT_EXIT((setrlimit(RLIMIT_AS, &limit), fastft(&one, 28)), testing::ExitedWithCode(1), "fastft: out of memory\n");
}
#endif

}  // namespace
