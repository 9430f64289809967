// Signals for the transfer-function tests, made from their definitions:
// pink noise (Paul Kellet's filter on uniform white noise), the bilinear
// 2nd-order low-pass (the audio-EQ cookbook's) with its exact response,
// and 16-bit stereo signals of a reference and a delayed, filtered copy.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

namespace transfer_test {

constexpr double rate = 44100.0;
constexpr double pi = 3.14159265358979323846;

inline std::vector<double> pink_noise(size_t n, uint32_t seed)
{
    std::vector<double> out(n);
    double b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, b6 = 0;
    for (double& v : out) {
        seed = seed * 1664525u + 1013904223u;
        const double w = double(seed >> 8) / double(1u << 23) - 1.0;
        b0 = 0.99886 * b0 + w * 0.0555179;
        b1 = 0.99332 * b1 + w * 0.0750759;
        b2 = 0.96900 * b2 + w * 0.1538520;
        b3 = 0.86650 * b3 + w * 0.3104856;
        b4 = 0.55000 * b4 + w * 0.5329522;
        b5 = -0.7616 * b5 - w * 0.0168980;
        v = (b0 + b1 + b2 + b3 + b4 + b5 + b6 + w * 0.5362) * 0.11;
        b6 = w * 0.115926;
    }
    return out;
}

// Low-pass at f0 Hz with quality q: b0..b2, a1, a2 over a0.
struct Biquad {
    double b[3], a[3];
    Biquad(double f0, double q)
    {
        const double w0 = 2 * pi * f0 / rate, alpha = std::sin(w0) / (2 * q), c = std::cos(w0);
        const double a0 = 1 + alpha;
        b[0] = (1 - c) / 2 / a0;
        b[1] = (1 - c) / a0;
        b[2] = b[0];
        a[0] = 1;
        a[1] = -2 * c / a0;
        a[2] = (1 - alpha) / a0;
    }
    std::vector<double> filter(const std::vector<double>& x) const
    {
        std::vector<double> y(x.size());
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        for (size_t i = 0; i < x.size(); ++i) {
            y[i] = b[0] * x[i] + b[1] * x1 + b[2] * x2 - a[1] * y1 - a[2] * y2;
            x2 = x1, x1 = x[i], y2 = y1, y1 = y[i];
        }
        return y;
    }
    std::complex<double> response(double f) const
    {
        const std::complex<double> z1 = std::polar(1.0, -2 * pi * f / rate);
        return (b[0] + z1 * (b[1] + z1 * b[2])) / (1.0 + z1 * (a[1] + z1 * a[2]));
    }
};

inline const Biquad lowpass(1000.0, 0.7071);

inline std::vector<double> delayed(const std::vector<double>& x, size_t d)
{
    std::vector<double> y(x.size(), 0.0);
    for (size_t i = d; i < x.size(); ++i)
        y[i] = x[i - d];
    return y;
}

inline int16_t to_sample(double v)
{
    return int16_t(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v * 32767.0))));
}

// Interleaved 16-bit samples: the reference left, the measurement right.
inline std::vector<int16_t> stereo(const std::vector<double>& left, const std::vector<double>& right)
{
    std::vector<int16_t> out(2 * left.size());
    for (size_t i = 0; i < left.size(); ++i) {
        out[2 * i] = to_sample(left[i]);
        out[2 * i + 1] = to_sample(right[i]);
    }
    return out;
}

// 30 s of pink noise on the left; on the right the same through the
// low-pass, delayed by delay samples, plus (when noisy) independent pink
// noise of the same power through the same low-pass.
inline std::vector<int16_t> measurement(size_t delay, bool noisy, double seconds = 30.0)
{
    const size_t n = size_t(seconds * rate);
    const std::vector<double> x = pink_noise(n, 1);
    std::vector<double> y = delayed(lowpass.filter(x), delay);
    if (noisy) {
        const std::vector<double> e = lowpass.filter(pink_noise(n, 77));
        for (size_t i = 0; i < n; ++i)
            y[i] += e[i];
    }
    return stereo(x, y);
}

}  // namespace transfer_test
