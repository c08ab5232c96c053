// Forward (scaled by 1/N) and inverse (unscaled) fast Fourier transforms of 2^beki complex values.
// Each transform returns a new array; the twiddle table is rebuilt only when a transform's length
// or direction differs from the previous one's.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "complex.hpp"
#include "er_panic.hpp"
#include "fastft_internal.hpp"

namespace fft_internal {

COMPLEX* w_list = nullptr;
int w_list_size = 0;
int w_list_sign = 0;

void fill_twiddles(COMPLEX* table, int size, int sign) {
  for (int i = 0; i < size; ++i) {
    double angle = (i * kTwoPi) / size;
    table[i].re = std::cos(angle);
    table[i].im = sign * std::sin(angle);
  }
}

}  // namespace fft_internal

namespace {

// No caller can go on without its transform, so running out of memory ends the process.
[[noreturn]] void out_of_memory(int sign) {
  er_panic(sign < 0 ? "fastft: out of memory\n" : "fastdft: out of memory\n");
}

COMPLEX* allocate(int size, int sign) {
  auto* array = static_cast<COMPLEX*>(std::malloc(static_cast<size_t>(size) * sizeof(COMPLEX)));
  if (array == nullptr) out_of_memory(sign);
  return array;
}

}  // namespace

void new_w_list(int size, int sign) {
  using namespace fft_internal;
  if (size == w_list_size && sign == w_list_sign) return;
  std::free(w_list);
  w_list = nullptr;
  w_list_size = 0;
  w_list_sign = 0;
  COMPLEX* table = allocate(size, sign);
  fill_twiddles(table, size, sign);
  w_list = table;
  w_list_size = size;
  w_list_sign = sign;
}

int upsidedown(int a, int b) { return fft_internal::reverse_bits(a, b); }

COMPLEX* fft_internal::_fastft(const COMPLEX* list, int beki, int sign) {
  int size = 1 << beki;
  new_w_list(size, sign);
  COMPLEX* ret = allocate(size, sign);
  transform_into(list, ret, beki, w_list);
  return ret;
}

COMPLEX* fastft(const COMPLEX* list, int beki) {
  COMPLEX* ret = fft_internal::_fastft(list, beki, -1);
  int size = 1 << beki;
  double a = 1.0 / size;
  for (int i = 0; i < size; ++i) {
    ret[i].re *= a;
    ret[i].im *= a;
  }
  return ret;
}

COMPLEX* fastdft(const COMPLEX* list, int beki) { return fft_internal::_fastft(list, beki, +1); }

void print_all(const COMPLEX* a, int b) {
  std::printf("a\n");
  for (int i = 0; i < b; ++i) std::printf("\t%i (%lf, %lf)\n", i, a[i].re, a[i].im);
}
