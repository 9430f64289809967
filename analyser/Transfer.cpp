#include "analyser/Transfer.h"

#include "analyser/FFT.h"
#include "common/Numeric.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr unsigned int ring_mask = Transfer::max_delay - 1;

template <typename T>
bool allocate(std::unique_ptr<T[]>& p, unsigned int n)
{
    p.reset(new (std::nothrow) T[n]);
    return p != nullptr;
}

} // namespace

bool Transfer::setup(unsigned int length)
{
    if (!is_power_of_two(length) || length < min_length || length > max_length) {
        std::fprintf(stderr, "error: transferLength %u is not a power of two from %u to %u\n", length,
                     min_length, max_length);
        return false;
    }
    const unsigned int k = length / 2 + 2;
    if (!allocate(ring_, max_delay) || !allocate(x_, length) || !allocate(y_, length) ||
        !allocate(window_, length) || !allocate(fx_, length) || !allocate(fy_, length) ||
        !allocate(sxx_, k) || !allocate(syy_, k) || !allocate(sxy_re_, k) || !allocate(sxy_im_, k) ||
        !allocate(cum_xx_, k) || !allocate(cum_yy_, k) || !allocate(cum_re_, k) || !allocate(cum_im_, k)) {
        length_ = 0;
        std::fprintf(stderr, "error: no memory for the transfer function\n");
        return false;
    }
    length_ = length;
    for (unsigned int i = 0; i < length; ++i) {
        const double s = std::sin(pi * i / length);
        window_[i] = static_cast<float>(s * s);
    }
    restart();
    return true;
}

void Transfer::set_delay(unsigned int samples)
{
    delay_ = std::min(samples, max_delay);
    reset();
}

void Transfer::set_averaging(int frames)
{
    averaging_ = std::max(frames, 0);
    reset();
}

void Transfer::set_smoothing(int fraction_of_octave)
{
    smoothing_ = std::max(fraction_of_octave, 0);
    band_factor_ = smoothing_ > 0 ? std::pow(2.0, 0.5 / smoothing_) : 1.0;
}

void Transfer::reset()
{
    frames_ = 0;
    fill_ = 0;
    if (length_ == 0)
        return;
    const unsigned int k = components() + 1;
    for (auto* a : {&sxx_, &syy_, &sxy_re_, &sxy_im_, &cum_xx_, &cum_yy_, &cum_re_, &cum_im_})
        std::fill(a->get(), a->get() + k, 0.0);
}

void Transfer::restart()
{
    if (length_ == 0)
        return;
    std::fill(ring_.get(), ring_.get() + max_delay, 0.0f);
    ring_at_ = 0;
    samples_in_ = 0;
    reset();
    if (finder_.collecting())
        finder_.start();
}

bool Transfer::add_block(const int32_t* block, unsigned int frames)
{
    if (length_ == 0)
        return false;
    const unsigned long before = frames_;
    for (unsigned int i = 0; i < frames; ++i) {
        const float x = static_cast<float>(block[2 * i] / sample_widening);
        const float y = static_cast<float>(block[2 * i + 1] / sample_widening);
        if (finder_.collecting())
            finder_.add(x, y);
        // The ring holds the last max_delay reference samples; read the
        // one D back before this one takes the oldest slot.
        const float delayed = delay_ == 0 ? x : ring_[(ring_at_ - delay_) & ring_mask];
        ring_[ring_at_] = x;
        ring_at_ = (ring_at_ + 1) & ring_mask;
        if (samples_in_ <= max_delay)
            ++samples_in_;
        if (samples_in_ <= delay_)
            continue;   // the delayed reference does not exist yet
        x_[fill_] = delayed;
        y_[fill_] = y;
        if (++fill_ == length_)
            frame_done();
    }
    return frames_ != before;
}

// real_fft's spectra are the conjugates of the usual ones scaled by
// 1/sqrt(n): the usual conj(X) * Y is n * X' * conj(Y').
void Transfer::frame_done()
{
    const unsigned int n = length_;
    for (unsigned int i = 0; i < n; ++i) {
        fx_[i] = static_cast<double>(x_[i]) * window_[i];
        fy_[i] = static_cast<double>(y_[i]) * window_[i];
    }
    real_fft(fx_.get(), static_cast<int>(n), fft_forward);
    real_fft(fy_.get(), static_cast<int>(n), fft_forward);

    ++frames_;
    const bool sum = averaging_ == 0;
    const unsigned long steady = averaging_ > 0 ? static_cast<unsigned long>(averaging_) : 1;
    const double w = 1.0 / static_cast<double>(std::min(frames_, steady));
    const unsigned int count = components();
    double cxx = 0.0, cyy = 0.0, cre = 0.0, cim = 0.0;
    for (unsigned int k = 0; k < count; ++k) {
        double xr, xi = 0.0, yr, yi = 0.0;
        if (k == 0) {
            xr = fx_[0];
            yr = fy_[0];
        } else if (k == count - 1) {
            xr = fx_[1];
            yr = fy_[1];
        } else {
            xr = fx_[2 * k];
            xi = fx_[2 * k + 1];
            yr = fy_[2 * k];
            yi = fy_[2 * k + 1];
        }
        const double pxx = xr * xr + xi * xi, pyy = yr * yr + yi * yi;
        const double pre = xr * yr + xi * yi, pim = xi * yr - xr * yi;
        if (sum) {
            sxx_[k] += pxx;
            syy_[k] += pyy;
            sxy_re_[k] += pre;
            sxy_im_[k] += pim;
        } else {
            sxx_[k] += (pxx - sxx_[k]) * w;
            syy_[k] += (pyy - syy_[k]) * w;
            sxy_re_[k] += (pre - sxy_re_[k]) * w;
            sxy_im_[k] += (pim - sxy_im_[k]) * w;
        }
        cum_xx_[k] = cxx;
        cum_yy_[k] = cyy;
        cum_re_[k] = cre;
        cum_im_[k] = cim;
        cxx += sxx_[k];
        cyy += syy_[k];
        cre += sxy_re_[k];
        cim += sxy_im_[k];
    }
    cum_xx_[count] = cxx;
    cum_yy_[count] = cyy;
    cum_re_[count] = cre;
    cum_im_[count] = cim;

    std::memmove(x_.get(), x_.get() + n / 2, n / 2 * sizeof(float));
    std::memmove(y_.get(), y_.get() + n / 2, n / 2 * sizeof(float));
    fill_ = n / 2;
}

void Transfer::band(unsigned int k, unsigned int& first, unsigned int& last) const
{
    first = last = k;
    if (smoothing_ == 0)
        return;
    const double lo = std::ceil(k / band_factor_ - 1e-9), hi = std::floor(k * band_factor_ + 1e-9);
    const unsigned int top = components() - 1;
    first = std::max(1u, std::min(k, static_cast<unsigned int>(lo)));
    last = std::min(top, std::max(k, static_cast<unsigned int>(hi)));
}

Transfer::Point Transfer::at(unsigned int k, unsigned int first, unsigned int last) const
{
    unsigned int lo, hi;
    band(k, lo, hi);
    if (first > 0 && first < lo)
        lo = first;
    if (last > hi)
        hi = std::min(last, components() - 1);
    const double xx = cum_xx_[hi + 1] - cum_xx_[lo], yy = cum_yy_[hi + 1] - cum_yy_[lo];
    const double re = cum_re_[hi + 1] - cum_re_[lo], im = cum_im_[hi + 1] - cum_im_[lo];
    const double cross = std::sqrt(re * re + im * im);
    Point p;
    p.magnitude_db = xx > 0.0 && cross > 0.0 ? 20.0 * std::log10(cross / xx) : -HUGE_VAL;
    p.phase_deg = std::atan2(im, re) * (180.0 / pi);
    p.coherence = xx > 0.0 && yy > 0.0 ? std::min(1.0, std::max(0.0, cross * cross / (xx * yy))) : 0.0;
    return p;
}

DelayFinder::State Transfer::take_finder_result(int rate)
{
    const DelayFinder::State s = finder_.state();
    if (s != DelayFinder::Found && s != DelayFinder::NotClear)
        return s;
    finder_.cancel();
    const double ms_per_sample = rate > 0 ? 1000.0 / rate : 0.0;
    const int d = finder_.delay();
    if (s == DelayFinder::NotClear)
        std::fprintf(stderr, "delay: no clear delay found, still %u samples (%.3f ms)\n", delay_,
                     delay_ * ms_per_sample);
    else if (d < 0)
        std::fprintf(stderr, "delay: the measurement leads by %d samples (%.3f ms); only the reference "
                     "can be delayed, still %u samples\n", -d, -d * ms_per_sample, delay_);
    else {
        set_delay(static_cast<unsigned int>(d));
        std::fprintf(stderr, "delay: %d samples (%.3f ms)\n", d, d * ms_per_sample);
    }
    return s;
}
