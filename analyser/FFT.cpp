// In-place unitary radix-2 FFT: bit reversal, Danielson-Lanczos butterflies
// with twiddle factors from the trigonometric recurrence, and the unpacking
// of n/2 complex values into the spectrum of n reals.
#include "analyser/FFT.h"

#include "common/MirrorPairs.h"
#include "common/Numeric.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <utility>

namespace {

// The unpacking loop shared by both directions of real_fft. theta carries
// the sign of the direction; c2 is -0.5 forward and +0.5 backward.
void unpack(double* data, std::size_t n, double theta, double c2)
{
    if (n / 4 < 2)
        return;
    const double s = std::sin(theta * 0.5);
    const double wpr = -2.0 * (s * s);
    const double wpi = std::sin(theta);
    double wr = 1.0 + wpr;
    double wi = wpi;
    for (std::size_t k = 1; k < n / 4; ++k) {
        unpack_mirror_pairs(data, 2 * k, n - 2 * k, wr, wi, c2);
        const double wt = wr;
        wr = wr + (wr * wpr - wi * wpi);
        wi = wi + (wi * wpr + wt * wpi);
    }
}

} // namespace

void complex_fft(double* data, int nn, int sign)
{
    if (nn <= 0)
        return;
    if (!is_power_of_two(static_cast<unsigned int>(nn))) {
        std::fprintf(stderr, "error: FFT length %d is not a power of two\n", nn);
        return;
    }
    if (sign != fft_forward && sign != fft_backward) {
        std::fprintf(stderr, "error: FFT sign %d is neither +1 nor -1\n", sign);
        return;
    }
    // Indices in size_t: 2 * nn doubles may exceed the range of int.
    const std::size_t half = static_cast<std::size_t>(nn);
    const std::size_t total = 2 * half;

    std::size_t j = 0;
    for (std::size_t i = 0; i < total; i += 2) {
        if (i < j) {
            std::swap(data[i], data[j]);
            std::swap(data[i + 1], data[j + 1]);
        }
        std::size_t m = half;
        while (m >= 2 && j >= m) {
            j -= m;
            m /= 2;
        }
        j += m;
    }

    // Each stage's twiddle factors come from the recurrence, a chunk of
    // them at a time into a small array on the stack; the chunk's
    // butterflies then run group by group, through the data in order
    // instead of once through all of it per factor. The same factors meet
    // the same butterflies as factor by factor: the results are the same
    // to the bit, the large transforms several times faster.
    constexpr std::size_t chunk = 64;   // factors
    double twiddle[2 * chunk];
    std::size_t mmax = 2;
    while (total > mmax) {
        const std::size_t istep = 2 * mmax;
        const double theta = sign * 6.283185307179586 / static_cast<double>(mmax);
        const double s = std::sin(theta * 0.5);
        const double wpr = -2.0 * (s * s);
        const double wpi = std::sin(theta);
        double wr = 1.0, wi = 0.0;
        for (std::size_t m0 = 0; m0 < mmax; m0 += 2 * chunk) {
            const std::size_t m1 = m0 + 2 * chunk < mmax ? m0 + 2 * chunk : mmax;
            for (std::size_t m = m0, c = 0; m < m1; m += 2, c += 2) {
                twiddle[c] = wr;
                twiddle[c + 1] = wi;
                const double wt = wr;
                wr = wr + (wr * wpr - wi * wpi);
                wi = wi + (wi * wpr + wt * wpi);
            }
            for (std::size_t g = 0; g < total; g += istep) {
                const double* w = twiddle;
                for (std::size_t i = g + m0; i < g + m1; i += 2, w += 2) {
                    const std::size_t k = i + mmax;
                    const double tr = w[0] * data[k] - w[1] * data[k + 1];
                    const double ti = w[0] * data[k + 1] + w[1] * data[k];
                    data[k] = data[i] - tr;
                    data[k + 1] = data[i + 1] - ti;
                    data[i] += tr;
                    data[i + 1] += ti;
                }
            }
        }
        mmax = istep;
    }

    const double scale = 1.0 / std::sqrt(static_cast<double>(half));
    for (std::size_t i = 0; i < total; ++i)
        data[i] *= scale;
}

void real_fft(double* data, int n, int direction)
{
    if (n < 2)
        return;     // a single real is its own spectrum
    if (!is_power_of_two(static_cast<unsigned int>(n))) {
        std::fprintf(stderr, "error: FFT length %d is not a power of two\n", n);
        return;
    }
    const std::size_t len = static_cast<std::size_t>(n);
    const double theta = 3.141592653589793 / static_cast<double>(n / 2);
    const double root_half = 0.7071067811865476;

    if (direction == fft_forward) {
        complex_fft(data, n / 2, fft_forward);
        unpack(data, len, theta, -0.5);
        const double a = data[0], b = data[1];
        data[0] = a + b;
        data[1] = a - b;
        for (std::size_t i = 0; i < len; ++i)
            data[i] *= root_half;
    } else if (direction == fft_backward) {
        // The forward steps undone in reverse order: the unpacking with the
        // opposite twiddle and c2 = +0.5 is its own inverse up to a factor 2,
        // which together with the two 1/sqrt(2) factors gives sqrt(2) here.
        unpack(data, len, -theta, 0.5);
        const double a = data[0], b = data[1];
        data[0] = 0.5 * (a + b);
        data[1] = 0.5 * (a - b);
        complex_fft(data, n / 2, fft_backward);
        const double root_two = 1.4142135623730951;
        for (std::size_t i = 0; i < len; ++i)
            data[i] *= root_two;
    } else {
        std::fprintf(stderr, "error: FFT direction %d is neither +1 nor -1\n", direction);
    }
}
