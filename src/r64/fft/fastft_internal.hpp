// The butterflies of the power-of-two transform, shared by the allocating public transforms and by
// callers that keep their own buffers and twiddle tables (the windowed-FFT level reduction).
#pragma once

#include "complex.hpp"

namespace fft_internal {

// The process-wide twiddle table of fastft/fastdft: entry i is e^(sign 2 pi i i / size).
extern COMPLEX* w_list;
extern int w_list_size;
extern int w_list_sign;

inline constexpr double kTwoPi = 6.283185307179586;

// The arithmetic of addc, subc and mulc, visible to the compiler wherever a transform runs. Each
// product is rounded to double before the sum or difference: the project builds in ISO mode
// without -march, so nothing is fused into a multiply-add.
inline COMPLEX add(COMPLEX a, COMPLEX b) { return COMPLEX{a.im + b.im, a.re + b.re}; }
inline COMPLEX sub(COMPLEX a, COMPLEX b) { return COMPLEX{a.im - b.im, a.re - b.re}; }
inline COMPLEX mul(COMPLEX a, COMPLEX b) { return COMPLEX{a.im * b.re + a.re * b.im, a.re * b.re - a.im * b.im}; }

// Fills `table` with the `size` twiddle factors of `sign`, exactly as the shared table is built.
void fill_twiddles(COMPLEX* table, int size, int sign);

// The low `bits` bits of `a` in reverse order.
inline int reverse_bits(int a, int bits) {
  int result = 0;
  for (int i = 0; i < bits; ++i) {
    result = (result << 1) | (a & 1);
    a >>= 1;
  }
  return result;
}

// Unscaled transform of the 2^beki values of `list` into `ret` (which must not alias `list`), with
// a twiddle table `w` built for length 2^beki: a bit-reversed copy, then radix-2 stages in place.
inline void transform_into(const COMPLEX* list, COMPLEX* ret, int beki, const COMPLEX* w) {
  int size = 1 << beki;
  for (int i = 0; i < size; ++i) ret[reverse_bits(i, beki)] = list[i];
  int kstep = size / 2;
  for (int half = 1; half < size; half <<= 1) {
    for (int j = 0; j < size; j += 2 * half) {
      for (int k = 0; k < half; ++k) {
        COMPLEX a = mul(ret[j + k + half], w[k * kstep]);
        COMPLEX b = add(ret[j + k], a);
        COMPLEX c = sub(ret[j + k], a);
        ret[j + k] = b;
        ret[j + k + half] = c;
      }
    }
    kstep >>= 1;
  }
}

}  // namespace fft_internal
