// The unpacking shared by the real transforms (real_fft and RealFFT).
// Standard library only.
#pragma once

#include <cstddef>

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
