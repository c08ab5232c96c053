// Complex arithmetic on COMPLEX values (imaginary part first); each product is rounded to double
// before the sum or difference (no fused multiply-add).
#include "complex.hpp"

#include "fastft_internal.hpp"

COMPLEX addc(COMPLEX a, COMPLEX b) { return fft_internal::add(a, b); }

COMPLEX subc(COMPLEX a, COMPLEX b) { return fft_internal::sub(a, b); }

COMPLEX mulc(COMPLEX a, COMPLEX b) { return fft_internal::mul(a, b); }

COMPLEX minus(COMPLEX a) { return COMPLEX{-a.im, -a.re}; }
