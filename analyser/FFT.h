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

#include <cstddef>

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

// One step of the unpacking that turns the transform of n/2 complex values
// into the spectrum of n reals: the mirror pairs at i1 (component k, its
// real and imaginary parts at i1, i1 + 1) and i3 (n/2 - k), with the
// factor (wr, wi) = exp(direction 2 pi i k / n) and c2 = -direction / 2.
// T is double, or a vector of doubles for several transforms at once.
template <typename T>
inline void unpack_mirror_pairs(T* d, std::size_t i1, std::size_t i3, double wr, double wi, double c2)
{
    const std::size_t i2 = i1 + 1, i4 = i3 + 1;
    const T h1r = 0.5 * (d[i1] + d[i3]);
    const T h1i = 0.5 * (d[i2] - d[i4]);
    const T h2r = -c2 * (d[i2] + d[i4]);
    const T h2i = c2 * (d[i1] - d[i3]);
    d[i1] = h1r + wr * h2r - wi * h2i;
    d[i2] = h1i + wr * h2i + wi * h2r;
    d[i3] = h1r - wr * h2r + wi * h2i;
    d[i4] = -h1i + wr * h2i + wi * h2r;
}
