// In-place unitary radix-2 FFT of complex and of real data.
//
// Definition: X_k = (1/sqrt(n)) * sum_j x_j * exp(+2*pi*i*j*k/n), positive
// exponent, unitary scaling. No tables, no allocation.
#pragma once

// data: 2*nn doubles, nn interleaved complex values (re, im); nn a power of
// two. sign +1 or -1 is the sign of the exponent. nn <= 0 does nothing.
void complex_fft(double* data, int nn, int sign);

// data: n reals, n a power of two >= 2.
// direction +1 (forward): replaced by the packed spectrum of n doubles:
//   [0] = X_0 (real), [1] = X_{n/2} (real),
//   [2k], [2k+1] = Re X_k, Im X_k for 1 <= k <= n/2 - 1
// (n/2 + 1 components). direction -1 takes such a packed spectrum back to
// the n reals it came from.
void real_fft(double* data, int n, int direction);
