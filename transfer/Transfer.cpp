#include "transfer/Transfer.h"

#include "common/Numeric.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
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

bool Transfer::setup(unsigned int length, int bits)
{
    if (!is_power_of_two(length) || length < min_length || length > max_length) {
        std::fprintf(stderr, "error: a transfer frame of %u samples is not a power of two from %u to %u\n", length,
                     min_length, max_length);
        return false;
    }
    const unsigned int k = length / 2 + 2;
    wide_ = bits == 32;
    // Only the width in use is held.
    if (wide_) {
        ring_.reset();
        frame_.reset();
    } else {
        ring32_.reset();
        frame32_.reset();
    }
    if (!(wide_ ? allocate(ring32_, max_delay) && allocate(frame32_, 2 * length)
                : allocate(ring_, max_delay) && allocate(frame_, 2 * length)) ||
        !allocate(window_, length) || !allocate(pairs_, 2 * length + 1) ||
        !allocate(averaged_, k) || !allocate(sums_, k)) {
        length_ = 0;
        std::fprintf(stderr, "error: no memory for the transfer function\n");
        return false;
    }
    if (!fft_.setup(length)) {
        length_ = 0;
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
    std::fill(averaged_.get(), averaged_.get() + k, Spectra{});
    std::fill(sums_.get(), sums_.get() + k, Spectra{});
}

void Transfer::restart()
{
    if (length_ == 0)
        return;
    if (wide_)
        std::fill(ring32_.get(), ring32_.get() + max_delay, int32_t{0});
    else
        std::fill(ring_.get(), ring_.get() + max_delay, int16_t{0});
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
    if (wide_)
        add_samples(block, frames, ring32_.get(), frame32_.get());
    else
        add_samples(block, frames, ring_.get(), frame_.get());
    return frames_ != before;
}

template <typename Sample>
void Transfer::add_samples(const int32_t* block, unsigned int frames, Sample* const ring, Sample* const frame)
{
    // The widened samples are 16-bit ones shifted left: exact as int16_t.
    auto sample = [block](unsigned int i) {
        return sizeof(Sample) == 4 ? static_cast<Sample>(block[i]) : static_cast<Sample>(block[i] / sample_widening);
    };
    for (unsigned int i = 0; i < frames && finder_.collecting(); ++i)
        finder_.add(sample(2 * i), sample(2 * i + 1));
    // Kept in locals through the loop: the stores into the arrays would
    // otherwise have the members read again for every sample.
    const unsigned int d = delay_, frame_mask = length_ - 1;
    unsigned int at = ring_at_, fill = fill_, frame_at = frame_at_;
    unsigned long in = samples_in_;
    for (unsigned int i = 0; i < frames; ++i) {
        const Sample reference = sample(2 * i);
        // The ring holds the last max_delay reference samples; read the
        // one D back before this one takes the oldest slot.
        const Sample delayed = d == 0 ? reference : ring[(at - d) & ring_mask];
        ring[at] = reference;
        at = (at + 1) & ring_mask;
        in += in <= max_delay;
        if (in <= d)
            continue;   // the delayed reference does not exist yet
        frame[2 * frame_at] = delayed;
        frame[2 * frame_at + 1] = sample(2 * i + 1);
        frame_at = (frame_at + 1) & frame_mask;
        if (++fill == length_) {
            frame_at_ = frame_at;
            frame_done();
            fill = fill_;
        }
    }
    frame_at_ = frame_at;
    ring_at_ = at;
    fill_ = fill;
    samples_in_ = in;
}

// The program's spectra are the conjugates of the usual ones scaled by
// 1/sqrt(n): the usual conj(X) * Y is n * X' * conj(Y').
void Transfer::frame_done()
{
    const unsigned int n = length_;
    double* p = RealFFT::pair_start(pairs_.get());
    // 32-bit samples on the 16-bit scale (exactly, a power of two).
    if (wide_)
        load_frame(frame32_.get(), 1.0 / sample_widening);
    else
        load_frame(frame_.get(), 1.0);
    fft_.forward_pair(p);

    ++frames_;
    // Summed until reset, or the exponential mean whose first frames count alike
    double keep = 1.0, take = 1.0;
    if (averaging_ > 0) {
        take = 1.0 / static_cast<double>(std::min(frames_, static_cast<unsigned long>(averaging_)));
        keep = 1.0 - take;
    }
    const unsigned int count = components();
    Spectra* const avg = averaged_.get();
    auto average = [&](unsigned int k, double xr, double xi, double yr, double yi) {
        avg[k].xx = keep * avg[k].xx + take * (xr * xr + xi * xi);
        avg[k].yy = keep * avg[k].yy + take * (yr * yr + yi * yi);
        avg[k].re = keep * avg[k].re + take * (xr * yr + xi * yi);
        avg[k].im = keep * avg[k].im + take * (xi * yr - xr * yi);
    };
    // X's packed entries at even places, Y's at odd ones
    auto average_inner = [&](unsigned int k) { average(k, p[4 * k], p[4 * k + 2], p[4 * k + 1], p[4 * k + 3]); };
    average(0, p[0], 0.0, p[1], 0.0);
    average(count - 1, p[2], 0.0, p[3], 0.0);   // the Nyquist component

    // The running sums in the same pass, two components a step: the chains
    // of additions, half as long as the spectrum, set the pace. count is
    // odd; the last step leaves the Nyquist component.
    Spectra* const sum = sums_.get();
    Spectra run{};
    sum[0] = run;
    unsigned int k = 0;
    for (; k + 1 < count; k += 2) {
        average_inner(k + 1);
        if (k + 2 < count - 1)
            average_inner(k + 2);
        sum[k + 1] = {run.xx + avg[k].xx, run.yy + avg[k].yy, run.re + avg[k].re, run.im + avg[k].im};
        run.xx += avg[k].xx + avg[k + 1].xx;
        run.yy += avg[k].yy + avg[k + 1].yy;
        run.re += avg[k].re + avg[k + 1].re;
        run.im += avg[k].im + avg[k + 1].im;
        sum[k + 2] = run;
    }
    if (k < count)
        sum[k + 1] = {run.xx + avg[k].xx, run.yy + avg[k].yy, run.re + avg[k].re, run.im + avg[k].im};

    fill_ = n / 2;     // the newer half begins the next frame
}

// The frame from its oldest sample on, round the ring, windowed into the pairs.
template <typename Sample>
void Transfer::load_frame(const Sample* f, double scale)
{
    const unsigned int n = length_;
    double* p = RealFFT::pair_start(pairs_.get());
    const unsigned int wrap = n - frame_at_;
    auto load = [&](unsigned int i, const Sample* from) {
        const double w = sizeof(Sample) == 4 ? window_[i] * scale : window_[i];
        p[2 * i] = from[0] * w;
        p[2 * i + 1] = from[1] * w;
    };
    for (unsigned int i = 0; i < wrap; ++i)
        load(i, f + 2 * (frame_at_ + i));
    for (unsigned int i = wrap; i < n; ++i)
        load(i, f + 2 * (i - wrap));
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
    return over(lo, hi);
}

Transfer::Point Transfer::over(unsigned int lo, unsigned int hi) const
{
    const Spectra& a = sums_[lo];
    const Spectra& b = sums_[hi + 1];
    const double xx = b.xx - a.xx, yy = b.yy - a.yy, re = b.re - a.re, im = b.im - a.im;
    const double cross = std::sqrt(re * re + im * im);
    Point p;
    p.magnitude_db = xx > 0.0 && cross > 0.0 ? 20.0 * std::log10(cross / xx) : -HUGE_VAL;
    p.phase_deg = std::atan2(im, re) * (180.0 / pi);
    p.coherence = xx > 0.0 && yy > 0.0 ? std::min(1.0, std::max(0.0, cross * cross / (xx * yy))) : 0.0;
    return p;
}

Transfer::DelayResult Transfer::take_finder_result()
{
    const DelayFinder::State s = finder_.state();
    if (s != DelayFinder::Found && s != DelayFinder::NotClear)
        return {s, 0, delay_};
    finder_.cancel();
    const int d = finder_.delay();
    if (s == DelayFinder::Found && d >= 0)
        set_delay(static_cast<unsigned int>(d));
    return {s, d, delay_};
}

std::string describe_delay(const Transfer::DelayResult& r, int rate)
{
    const double ms_per_sample = rate > 0 ? 1000.0 / rate : 0.0;
    char line[200];
    if (r.state == DelayFinder::NotClear)
        std::snprintf(line, sizeof line, "delay: no clear delay found, still %u samples (%.3f ms)\n", r.delay,
                      r.delay * ms_per_sample);
    else if (r.state != DelayFinder::Found)
        return std::string();
    else if (r.found < 0)
        std::snprintf(line, sizeof line, "delay: the measurement leads by %d samples (%.3f ms); only the "
                      "reference can be delayed, still %u samples\n", -r.found, -r.found * ms_per_sample, r.delay);
    else
        std::snprintf(line, sizeof line, "delay: %d samples (%.3f ms)\n", r.found, r.found * ms_per_sample);
    return line;
}
