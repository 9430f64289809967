// Radix-4 decimation in time after a radix-2 bit reversal: a block of 4m
// values then holds the sub-transforms of the inputs 4r, 4r+2, 4r+1, 4r+3
// in its quarters 0 .. 3, which one butterfly per k < m combines. An odd
// power of two first takes one radix-2 stage. The real transform is the
// complex one of n/2 values and the unpacking real_fft uses, with its
// factors from a table instead of the recurrence.
//
// The steps are written once for a value type T: double for one frame, a
// vector of two doubles for two frames at once, lane by lane, which the
// compiler maps to one SIMD register and instruction (SSE2 on x86-64)
// through its vector extension, or plain C++ on a compiler without it.
#include "common/RealFFT.h"

#include "common/MirrorPairs.h"
#include "common/Check.h"
#include "common/Numeric.h"

#include <cmath>
#include <cstdio>
#include <new>
#include <utility>

namespace {

constexpr double two_pi = 6.283185307179586476925286766559;

#if (defined(__GNUC__) || defined(__clang__)) && !defined(ZEN_PLAIN_PAIR)
// Two doubles side by side, 16-byte aligned: GCC's and Clang's vector
// extension (vector_size), one SIMD register where the target has them.
typedef double Pair __attribute__((vector_size(16), may_alias));
#else
// Without that extension: the same arithmetic lane by lane in plain C++.
struct alignas(16) Pair {
    double lane[2];
};
inline Pair operator+(Pair a, Pair b) { return {{a.lane[0] + b.lane[0], a.lane[1] + b.lane[1]}}; }
inline Pair operator-(Pair a, Pair b) { return {{a.lane[0] - b.lane[0], a.lane[1] - b.lane[1]}}; }
inline Pair operator-(Pair a) { return {{-a.lane[0], -a.lane[1]}}; }
inline Pair operator*(double s, Pair a) { return {{s * a.lane[0], s * a.lane[1]}}; }
inline Pair operator*(Pair a, double s) { return s * a; }
inline Pair& operator*=(Pair& a, double s) { return a = s * a; }
#endif

// The quarter length of the first radix-4 stage for nn complex values.
unsigned int first_quarter(unsigned int nn)
{
    return log2_floor(nn) % 2 == 0 ? 1u : 2u;
}

// The unscaled complex transform, the sum with exp(Sign 2 pi i j k / nn),
// of nn values interleaved (re, im) in d.
template <int Sign, typename T>
void complex_transform(T* d, unsigned int nn, const uint32_t* reversed, const double* table)
{
    for (unsigned int i = 0; i < nn; ++i) {
        const unsigned int r = reversed[i];
        if (i < r) {
            std::swap(d[2 * i], d[2 * r]);
            std::swap(d[2 * i + 1], d[2 * r + 1]);
        }
    }
    unsigned int m = first_quarter(nn);
    if (m == 2)
        for (unsigned int i = 0; i < 2 * nn; i += 4) {
            const T ar = d[i], ai = d[i + 1], br = d[i + 2], bi = d[i + 3];
            d[i] = ar + br;
            d[i + 1] = ai + bi;
            d[i + 2] = ar - br;
            d[i + 3] = ai - bi;
        }
    constexpr double s = Sign;
    for (; 4 * m <= nn; m *= 4) {
        for (unsigned int g = 0; g < nn; g += 4 * m) {
            T* q0 = d + 2 * g;
            T* q1 = q0 + 2 * m;     // inputs 4r + 2
            T* q2 = q1 + 2 * m;     // inputs 4r + 1
            T* q3 = q2 + 2 * m;     // inputs 4r + 3
            const double* w = table;
            for (unsigned int k = 0; k < 2 * m; k += 2, w += 6) {
                const double w1r = w[0], w1i = s * w[1];
                const double w2r = w[2], w2i = s * w[3];
                const double w3r = w[4], w3i = s * w[5];
                const T a0r = q0[k], a0i = q0[k + 1];
                const T a1r = w1r * q2[k] - w1i * q2[k + 1], a1i = w1r * q2[k + 1] + w1i * q2[k];
                const T a2r = w2r * q1[k] - w2i * q1[k + 1], a2i = w2r * q1[k + 1] + w2i * q1[k];
                const T a3r = w3r * q3[k] - w3i * q3[k + 1], a3i = w3r * q3[k + 1] + w3i * q3[k];
                const T s02r = a0r + a2r, s02i = a0i + a2i, d02r = a0r - a2r, d02i = a0i - a2i;
                const T s13r = a1r + a3r, s13i = a1i + a3i;
                // (a1 - a3) times W^m = Sign * i
                const T j13r = -s * (a1i - a3i), j13i = s * (a1r - a3r);
                q0[k] = s02r + s13r;
                q0[k + 1] = s02i + s13i;
                q1[k] = d02r + j13r;
                q1[k + 1] = d02i + j13i;
                q2[k] = s02r - s13r;
                q2[k + 1] = s02i - s13i;
                q3[k] = d02r - j13r;
                q3[k + 1] = d02i - j13i;
            }
        }
        table += 6 * m;
    }
}

// real_fft's unpacking of n reals, c2 = -Sign / 2, with the factors
// exp(Sign 2 pi i k / n) from the table.
template <int Sign, typename T>
void unpack(T* d, unsigned int n, const double* table)
{
    constexpr double s = Sign;
    const double c2 = -0.5 * s;
    for (unsigned int k = 1; k < n / 4; ++k)
        unpack_mirror_pairs(d, 2 * k, n - 2 * k, table[2 * k], s * table[2 * k + 1], c2);
}

template <typename T>
void forward_steps(T* d, unsigned int n, const uint32_t* reversed, const double* twiddle, const double* table)
{
    complex_transform<1>(d, n / 2, reversed, twiddle);
    unpack<1>(d, n, table);
    const T a = d[0], b = d[1];
    d[0] = a + b;
    d[1] = a - b;
    // 1 / sqrt(n/2) of the complex transform and 1 / sqrt(2) of the real
    const double scale = 1.0 / std::sqrt(double(n));
    for (unsigned int i = 0; i < n; ++i)
        d[i] *= scale;
}

template <typename T>
void backward_steps(T* d, unsigned int n, const uint32_t* reversed, const double* twiddle, const double* table)
{
    unpack<-1>(d, n, table);
    const T a = d[0], b = d[1];
    d[0] = 0.5 * (a + b);
    d[1] = 0.5 * (a - b);
    complex_transform<-1>(d, n / 2, reversed, twiddle);
    // 1 / sqrt(n/2) of the complex transform and the unpacking's 2 / sqrt(2)
    const double scale = 2.0 / std::sqrt(double(n));
    for (unsigned int i = 0; i < n; ++i)
        d[i] *= scale;
}

} // namespace

bool RealFFT::setup(unsigned int n)
{
    n_ = 0;
    if (!is_power_of_two(n) || n < 8 || n > (1u << 24)) {
        std::fprintf(stderr, "error: FFT length %u is not a power of two from 8 to %u\n", n, 1u << 24);
        return false;
    }
    const unsigned int nn = n / 2;
    std::size_t factors = 0;
    for (unsigned int m = first_quarter(nn); 4 * m <= nn; m *= 4)
        factors += 6 * std::size_t(m);
    reversed_.reset(new (std::nothrow) uint32_t[nn]);
    twiddle_.reset(new (std::nothrow) double[factors]);
    unpack_.reset(new (std::nothrow) double[n / 2]);
    if (!reversed_ || !twiddle_ || !unpack_) {
        std::fprintf(stderr, "error: no memory for an FFT of %u points\n", n);
        return false;
    }
    const int bits = log2_floor(nn);
    for (unsigned int i = 0; i < nn; ++i) {
        unsigned int r = 0;
        for (int b = 0; b < bits; ++b)
            r |= ((i >> b) & 1u) << (bits - 1 - b);
        reversed_[i] = r;
    }
    double* w = twiddle_.get();
    for (unsigned int m = first_quarter(nn); 4 * m <= nn; m *= 4)
        for (unsigned int k = 0; k < m; ++k)
            for (unsigned int p = 1; p <= 3; ++p) {
                const double a = two_pi * double(p * k) / double(4 * m);
                *w++ = std::cos(a);
                *w++ = std::sin(a);
            }
    for (unsigned int k = 0; k < n / 4; ++k) {
        const double a = two_pi * double(k) / double(n);
        unpack_[2 * k] = std::cos(a);
        unpack_[2 * k + 1] = std::sin(a);
    }
    n_ = n;
    return true;
}

void RealFFT::forward(double* data) const
{
    if (n_ != 0)
        forward_steps(data, n_, reversed_.get(), twiddle_.get(), unpack_.get());
}

void RealFFT::backward(double* data) const
{
    if (n_ != 0)
        backward_steps(data, n_, reversed_.get(), twiddle_.get(), unpack_.get());
}

void RealFFT::forward_pair(double* pairs) const
{
    ZEN_CHECK(reinterpret_cast<uintptr_t>(pairs) % alignof(Pair) == 0);
    if (n_ != 0)
        forward_steps(reinterpret_cast<Pair*>(pairs), n_, reversed_.get(), twiddle_.get(), unpack_.get());
}
