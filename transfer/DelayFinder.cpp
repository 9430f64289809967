#include "transfer/DelayFinder.h"

#include "analyser/FFT.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr unsigned int n = DelayFinder::frame_length;
constexpr double pi = 3.14159265358979323846;

} // namespace

bool DelayFinder::start()
{
    if (!x_) {
        x_.reset(new (std::nothrow) int32_t[n]);
        y_.reset(new (std::nothrow) int32_t[n]);
        buf_.reset(new (std::nothrow) double[n]);
        xs_.reset(new (std::nothrow) float[n]);
        sxy_.reset(new (std::nothrow) float[n]);
        if (!x_ || !y_ || !buf_ || !xs_ || !sxy_) {
            x_.reset();
            std::fprintf(stderr, "error: no memory for the delay finder\n");
            return false;
        }
    }
    std::memset(sxy_.get(), 0, n * sizeof(float));
    fill_ = 0;
    frames_ = 0;
    state_ = Collecting;
    return true;
}

// Windows the frame, adds its cross-spectrum conj(X) * Y (in the packed
// layout of real_fft) to the sum and keeps the second half for the next.
// real_fft's spectra are the conjugates of the usual ones, so the product
// taken here is X' * conj(Y'), our conj(X) * Y up to the factor 1/n.
void DelayFinder::frame_done()
{
    double* f = buf_.get();
    for (unsigned int i = 0; i < n; ++i) {
        const double s = std::sin(pi * i / n);
        f[i] = x_[i] * s * s;
    }
    real_fft(f, static_cast<int>(n), fft_forward);
    for (unsigned int i = 0; i < n; ++i)
        xs_[i] = static_cast<float>(f[i]);
    for (unsigned int i = 0; i < n; ++i) {
        const double s = std::sin(pi * i / n);
        f[i] = y_[i] * s * s;
    }
    real_fft(f, static_cast<int>(n), fft_forward);
    sxy_[0] += static_cast<float>(xs_[0] * f[0]);
    sxy_[1] += static_cast<float>(xs_[1] * f[1]);
    for (unsigned int i = 2; i < n; i += 2) {
        const double xr = xs_[i], xi = xs_[i + 1], yr = f[i], yi = f[i + 1];
        sxy_[i] += static_cast<float>(xr * yr + xi * yi);
        sxy_[i + 1] += static_cast<float>(xi * yr - xr * yi);
    }
    std::memmove(x_.get(), x_.get() + n / 2, n / 2 * sizeof(int32_t));
    std::memmove(y_.get(), y_.get() + n / 2, n / 2 * sizeof(int32_t));
    fill_ = n / 2;
    if (++frames_ == frame_count)
        evaluate();
}

// The PHAT-weighted correlation r(tau) = sum over components of
// exp(i * (phase of Sxy + omega * tau)), back through the inverse real
// FFT (which conjugates once more), and its clearest peak.
void DelayFinder::evaluate()
{
    double* r = buf_.get();
    auto unit = [](double v) { return v > 0.0 ? 1.0 : (v < 0.0 ? -1.0 : 0.0); };
    r[0] = unit(sxy_[0]);
    r[1] = unit(sxy_[1]);
    for (unsigned int i = 2; i < n; i += 2) {
        const double re = sxy_[i], im = sxy_[i + 1];
        const double m = std::sqrt(re * re + im * im);
        r[i] = m > 0.0 ? re / m : 0.0;
        r[i + 1] = m > 0.0 ? -im / m : 0.0;
    }
    real_fft(r, static_cast<int>(n), fft_backward);

    auto at = [&](int lag) { return r[static_cast<unsigned int>(lag) & (n - 1)]; };
    int peak = 0;
    for (int lag = -max_lag; lag <= max_lag; ++lag)
        if (std::fabs(at(lag)) > std::fabs(at(peak)))
            peak = lag;
    double sum = 0.0;
    long count = 0;
    for (int lag = -max_lag; lag <= max_lag; ++lag)
        if (lag < peak - guard || lag > peak + guard) {
            sum += at(lag) * at(lag);
            ++count;
        }
    const double rms = std::sqrt(sum / static_cast<double>(count));
    clearness_ = rms > 0.0 ? std::fabs(at(peak)) / rms : 0.0;
    delay_ = peak;
    state_ = clearness_ >= clear_ratio ? Found : NotClear;
}
