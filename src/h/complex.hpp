// Complex numbers and the power-of-two fast Fourier transform of the windowed-FFT level reduction.
// Every transform returns a new array of the input's length, released by the caller with free().
#pragma once

typedef struct complex_number {
  double im;  // the imaginary part comes first
  double re;
} COMPLEX;

COMPLEX addc(COMPLEX a, COMPLEX b);
COMPLEX subc(COMPLEX a, COMPLEX b);
COMPLEX mulc(COMPLEX a, COMPLEX b);
COMPLEX minus(COMPLEX a);

// Forward transform of 2^beki values, scaled by 1/2^beki.
COMPLEX* fastft(const COMPLEX* list, int beki);
// Inverse transform, not scaled.
COMPLEX* fastdft(const COMPLEX* list, int beki);
void new_w_list(int size, int sign);
int upsidedown(int a, int b);
void print_all(const COMPLEX* a, int b);

namespace fft_internal {
// The common core: sign -1 forward, +1 inverse; unscaled.
COMPLEX* _fastft(const COMPLEX* list, int beki, int sign);
}  // namespace fft_internal
