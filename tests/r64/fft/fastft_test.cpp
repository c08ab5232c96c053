// The power-of-two transform: its sign and scaling conventions, bit reversal, ownership of the
// arrays, the shared twiddle table and the exact (unfused) complex product.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "malloc_ptr.hpp"
#include "complex.hpp"
#include "r64/fft/fastft_internal.hpp"

namespace {

constexpr double kTolerance = 1e-12;

using Result = std::unique_ptr<COMPLEX[], FreeDeleter>;

Result forward(const std::vector<COMPLEX>& x, int beki) { return Result(fastft(x.data(), beki)); }
Result inverse(const std::vector<COMPLEX>& x, int beki) { return Result(fastdft(x.data(), beki)); }

void expect_near(const COMPLEX* got, const std::vector<COMPLEX>& want) {
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_NEAR(got[i].re, want[i].re, kTolerance) << "re at " << i;
    EXPECT_NEAR(got[i].im, want[i].im, kTolerance) << "im at " << i;
  }
}

std::vector<COMPLEX> some_values(int n) {
  std::vector<COMPLEX> x(n);
  for (int i = 0; i < n; ++i) x[i] = COMPLEX{std::sin(0.7 * i) - 0.25, 2.0 * std::cos(1.3 * i)};
  return x;
}

// The definition X[m] = sum over n of x[n] e^(sign 2 pi i n m / N), summed directly.
std::vector<COMPLEX> direct_transform(const std::vector<COMPLEX>& x, int sign) {
  size_t n_total = x.size();
  std::vector<COMPLEX> out(n_total, COMPLEX{0, 0});
  for (size_t m = 0; m < n_total; ++m)
    for (size_t n = 0; n < n_total; ++n) {
      double angle = sign * 2 * M_PI * static_cast<double>(n * m % n_total) / n_total;
      out[m].re += x[n].re * std::cos(angle) - x[n].im * std::sin(angle);
      out[m].im += x[n].im * std::cos(angle) + x[n].re * std::sin(angle);
    }
  return out;
}

TEST(ComplexTest, ArithmeticKeepsImaginaryPartFirst) {
  COMPLEX a{2.0, 3.0};  // 3 + 2i
  COMPLEX b{-1.0, 5.0};  // 5 - i
  COMPLEX sum = addc(a, b), difference = subc(a, b), product = mulc(a, b), negated = minus(a);
  EXPECT_EQ(sum.re, 8.0);
  EXPECT_EQ(sum.im, 1.0);
  EXPECT_EQ(difference.re, -2.0);
  EXPECT_EQ(difference.im, 3.0);
  EXPECT_EQ(product.re, 17.0);  // (3 + 2i)(5 - i) = 17 + 7i
  EXPECT_EQ(product.im, 7.0);
  EXPECT_EQ(negated.re, -3.0);
  EXPECT_EQ(negated.im, -2.0);
}

TEST(ComplexTest, ProductRoundsEachTermBeforeSubtracting) {
  // x * x = 1 + 2^-26 + 2^-54 rounds to 1 + 2^-26; a fused multiply-add would keep 2^-54.
  double x = 1.0 + std::ldexp(1.0, -27);
  COMPLEX same = mulc(COMPLEX{x, x}, COMPLEX{x, x});
  EXPECT_EQ(same.re, 0.0);
  COMPLEX cross = mulc(COMPLEX{x, -x}, COMPLEX{x, x});
  EXPECT_EQ(cross.im, 0.0);
}

TEST(UpsidedownTest, ReversesTheLowBits) {
  struct Case {
    int a, bits, want;
  };
  for (Case c : {Case{1, 3, 4}, Case{6, 3, 3}, Case{5, 2, 2}, Case{0, 3, 0}, Case{7, 3, 7}, Case{1, 1, 1},
                 Case{13, 0, 0}, Case{0b1011, 4, 0b1101}, Case{0xFF1, 4, 8}})
    EXPECT_EQ(upsidedown(c.a, c.bits), c.want) << c.a << " over " << c.bits << " bits";
}

TEST(FastftTest, ConstantGivesOnlyTheZeroFrequency) {
  std::vector<COMPLEX> ones(8, COMPLEX{0.0, 1.0});
  std::vector<COMPLEX> want(8, COMPLEX{0.0, 0.0});
  want[0].re = 1.0;
  expect_near(forward(ones, 3).get(), want);
}

TEST(FastftTest, ImpulseSpreadsScaledByOneOverN) {
  std::vector<COMPLEX> impulse(8, COMPLEX{0.0, 0.0});
  impulse[0].re = 1.0;
  Result got = forward(impulse, 3);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(got[i].re, 0.125);
    EXPECT_EQ(got[i].im, 0.0);
  }
}

TEST(FastftTest, ForwardUsesTheNegativeExponent) {
  std::vector<COMPLEX> wave(8);
  for (int n = 0; n < 8; ++n) wave[n] = COMPLEX{std::sin(2 * M_PI * n / 8), std::cos(2 * M_PI * n / 8)};
  std::vector<COMPLEX> want(8, COMPLEX{0.0, 0.0});
  want[1].re = 1.0;
  expect_near(forward(wave, 3).get(), want);
}

TEST(FastftTest, InverseIsUnscaled) {
  std::vector<COMPLEX> impulse(4, COMPLEX{0.0, 0.0});
  impulse[0].re = 1.0;
  expect_near(inverse(impulse, 2).get(), std::vector<COMPLEX>(4, COMPLEX{0.0, 1.0}));
}

TEST(FastftTest, MatchesTheDirectSumForEveryLength) {
  for (int beki = 0; beki <= 6; ++beki) {
    int n = 1 << beki;
    std::vector<COMPLEX> x = some_values(n);
    std::vector<COMPLEX> want_forward = direct_transform(x, -1);
    for (COMPLEX& v : want_forward) v = COMPLEX{v.im / n, v.re / n};
    SCOPED_TRACE(n);
    expect_near(forward(x, beki).get(), want_forward);
    expect_near(inverse(x, beki).get(), direct_transform(x, +1));
  }
}

TEST(FastftTest, InverseOfForwardGivesTheInputBack) {
  std::vector<COMPLEX> x = some_values(16);
  Result spectrum = forward(x, 4);
  Result back(fastdft(spectrum.get(), 4));
  expect_near(back.get(), x);
}

TEST(FastftTest, SingleValueIsCopied) {
  std::vector<COMPLEX> one{COMPLEX{-2.5, 7.25}};
  Result scaled = forward(one, 0), unscaled = inverse(one, 0);
  for (const COMPLEX* got : {scaled.get(), unscaled.get()}) {
    EXPECT_EQ(got[0].re, 7.25);
    EXPECT_EQ(got[0].im, -2.5);
  }
}

TEST(FastftTest, LeavesTheInputUnchanged) {
  std::vector<COMPLEX> x = some_values(8);
  std::vector<COMPLEX> copy = x;
  forward(x, 3);
  inverse(x, 3);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(x[i].re, copy[i].re);
    EXPECT_EQ(x[i].im, copy[i].im);
  }
}

TEST(FastftTest, AlternatingLengthsAndDirectionsGiveTheSameValues) {
  std::vector<COMPLEX> x8 = some_values(8), x4 = some_values(4);
  Result alone8 = forward(x8, 3);
  Result alone4 = inverse(x4, 2);
  for (int round = 0; round < 3; ++round) {
    Result again8 = forward(x8, 3);
    Result again4 = inverse(x4, 2);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(again8[i].re, alone8[i].re);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(again4[i].im, alone4[i].im);
  }
}

TEST(TwiddleTableTest, IsRebuiltOnlyForAnotherLengthOrSign) {
  new_w_list(8, -1);
  const COMPLEX* table = fft_internal::w_list;
  EXPECT_EQ(fft_internal::w_list_size, 8);
  EXPECT_EQ(fft_internal::w_list_sign, -1);
  EXPECT_EQ(table[0].re, 1.0);
  EXPECT_EQ(table[2].re, std::cos(2 * 6.283185307179586 / 8));
  EXPECT_EQ(table[2].im, -1.0);
  new_w_list(8, -1);
  EXPECT_EQ(fft_internal::w_list, table);
  new_w_list(4, +1);
  EXPECT_EQ(fft_internal::w_list_size, 4);
  EXPECT_EQ(fft_internal::w_list_sign, 1);
  EXPECT_EQ(fft_internal::w_list[1].im, 1.0);
}

TEST(TwiddleTableTest, PrivateTablesEqualTheSharedOneBitForBit) {
  for (int sign : {-1, 1}) {
    new_w_list(8, sign);
    COMPLEX own[8];
    fft_internal::fill_twiddles(own, 8, sign);
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(own[i].re, fft_internal::w_list[i].re);
      EXPECT_EQ(own[i].im, fft_internal::w_list[i].im);
    }
  }
}

TEST(PrintAllTest, PrintsEachValueOnItsOwnLine) {
  std::vector<COMPLEX> x{COMPLEX{2.0, 1.0}, COMPLEX{-0.5, 0.25}};
  testing::internal::CaptureStdout();
  print_all(x.data(), 2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "a\n\t0 (1.000000, 2.000000)\n\t1 (0.250000, -0.500000)\n");
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(FastftDeathTest, EndsTheProcessWhenItsTableCannotBeAllocated) {
  auto starved_transform = [] {
    rlimit limit{1ul << 30, 1ul << 30};
    setrlimit(RLIMIT_AS, &limit);
    COMPLEX one{0.0, 1.0};
    fastft(&one, 28);  // a table of 2^28 entries needs 4 GiB; the input is never read first
  };
  EXPECT_EXIT(starved_transform(), testing::ExitedWithCode(1), "fastft: out of memory\n");
}
#endif

}  // namespace
