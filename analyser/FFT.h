// In-place unitary radix-2 FFT of complex and of real data.
//
// Definition: X_k = (1/sqrt(n)) * sum_j x_j * exp(+2*pi*i*j*k/n), positive
// exponent, unitary scaling. No tables, no allocation.
//
// Sign convention: FFTW, KissFFT, pocketfft and numpy take the forward
// transform with exp(-2*pi*i*j*k/n) and no scaling. For real input our
// X_k is therefore their X_k conjugated (imaginary parts negated) and
// divided by sqrt(n); powers |X_k|^2 agree up to the factor 1/n.
#pragma once


// Directions of real_fft; also the signs of complex_fft's exponent.
constexpr int fft_forward = 1;
constexpr int fft_backward = -1;

// data: 2*nn doubles, nn interleaved complex values (re, im); nn a power of
// two. sign fft_forward (+1) or fft_backward (-1) is the sign of the
// exponent. nn <= 0 does nothing.
void complex_fft(double* data, int nn, int sign);

// data: n reals, n a power of two >= 2.
// direction fft_forward: replaced by the packed spectrum of n doubles:
//   [0] = X_0 (real), [1] = X_{n/2} (real),
//   [2k], [2k+1] = Re X_k, Im X_k for 1 <= k <= n/2 - 1
// (n/2 + 1 components). fft_backward takes such a packed spectrum back to
// the n reals it came from.
void real_fft(double* data, int n, int direction);
