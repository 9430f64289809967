#include "generator/Generator.h"

#include "common/Numeric.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <climits>
#include <cstdint>
#include <cstdio>

namespace {

constexpr double pi = 3.14159265358979323846;

// Solves the n x n system m x = v in place (partial pivoting); x in v.
void solve(std::vector<double>& m, std::vector<double>& v, size_t n)
{
    for (size_t c = 0; c < n; ++c) {
        size_t p = c;
        for (size_t r = c + 1; r < n; ++r)
            if (std::fabs(m[r * n + c]) > std::fabs(m[p * n + c]))
                p = r;
        if (p != c) {
            for (size_t k = 0; k < n; ++k)
                std::swap(m[c * n + k], m[p * n + k]);
            std::swap(v[c], v[p]);
        }
        const double d = m[c * n + c];
        if (d == 0.0)
            continue;
        for (size_t r = c + 1; r < n; ++r) {
            const double f = m[r * n + c] / d;
            for (size_t k = c; k < n; ++k)
                m[r * n + k] -= f * m[c * n + k];
            v[r] -= f * v[c];
        }
    }
    for (size_t c = n; c-- > 0;) {
        double s = v[c];
        for (size_t k = c + 1; k < n; ++k)
            s -= m[c * n + k] * v[k];
        v[c] = m[c * n + c] != 0.0 ? s / m[c * n + c] : 0.0;
    }
}

double clamp_to(double v, double lo, double hi)
{
    return std::isnan(v) ? lo : std::min(hi, std::max(lo, v));
}

}  // namespace

// ---- pink noise ----

void PinkFilter::design(double rate)
{
    rate_ = rate;
    // Poles two to the octave from 4 Hz to below half the rate.
    pole_.clear();
    for (double p = 4.0; p < 0.45 * rate; p *= std::sqrt(2.0))
        pole_.push_back(std::exp(-2.0 * pi * p / rate));
    const size_t n = pole_.size() + 1;      // the flat term last
    // Frequencies 24 to the octave from 10 Hz to 0.46 x rate, each weighted
    // by the target's inverse (relative error), target f^-1/2 with the
    // phase of the fit so far (a magnitude fit by phase iteration).
    std::vector<double> freqs;
    for (double f = 10.0; f < 0.46 * rate; f *= std::pow(2.0, 1.0 / 24.0))
        freqs.push_back(f);
    std::vector<std::complex<double>> row(n);
    std::vector<double> phase(freqs.size(), -pi / 4.0);
    std::vector<double> x(n, 0.0);
    for (int iteration = 0; iteration < 30; ++iteration) {
        std::vector<double> m(n * n, 0.0), v(n, 0.0);
        for (size_t r = 0; r < freqs.size(); ++r) {
            const std::complex<double> z = std::polar(1.0, -2.0 * pi * freqs[r] / rate);
            const double w = std::sqrt(freqs[r]);          // 1 / |target|
            for (size_t i = 0; i + 1 < n; ++i)
                row[i] = w / (1.0 - pole_[i] * z);
            row[n - 1] = w;
            const std::complex<double> t = std::polar(1.0, phase[r]);   // w x target
            for (size_t i = 0; i < n; ++i) {
                for (size_t k = 0; k < n; ++k)
                    m[i * n + k] += (std::conj(row[i]) * row[k]).real();
                v[i] += (std::conj(row[i]) * t).real();
            }
        }
        double trace = 0.0;
        for (size_t i = 0; i < n; ++i)
            trace += m[i * n + i];
        for (size_t i = 0; i < n; ++i)
            m[i * n + i] += 1e-13 * trace / double(n);
        solve(m, v, n);
        x = v;
        for (size_t r = 0; r < freqs.size(); ++r) {
            const std::complex<double> z = std::polar(1.0, -2.0 * pi * freqs[r] / rate);
            std::complex<double> h = x[n - 1];
            for (size_t i = 0; i + 1 < n; ++i)
                h += x[i] / (1.0 - pole_[i] * z);
            phase[r] = std::arg(h);
        }
    }
    weight_.assign(x.begin(), x.end() - 1);
    direct_ = x[n - 1];
    // Unit variance for unit-variance white input: the impulse response's
    // energy, h[0] = d + sum c, h[k] = sum c_i a_i^k.
    double energy = direct_ * direct_;
    for (size_t i = 0; i < weight_.size(); ++i) {
        energy += 2.0 * direct_ * weight_[i];
        for (size_t k = 0; k < weight_.size(); ++k)
            energy += weight_[i] * weight_[k] / (1.0 - pole_[i] * pole_[k]);
    }
    const double scale = 1.0 / std::sqrt(energy);
    for (double& w : weight_)
        w *= scale;
    direct_ *= scale;
    state_.assign(pole_.size(), 0.0);
}

double PinkFilter::process(double white)
{
    double y = direct_ * white;
    for (size_t i = 0; i < state_.size(); ++i) {
        state_[i] = pole_[i] * state_[i] + white;
        y += weight_[i] * state_[i];
    }
    return y;
}

void PinkFilter::reset()
{
    std::fill(state_.begin(), state_.end(), 0.0);
}

double PinkFilter::magnitude(double f) const
{
    const std::complex<double> z = std::polar(1.0, -2.0 * pi * f / rate_);
    std::complex<double> h = direct_;
    for (size_t i = 0; i < pole_.size(); ++i)
        h += weight_[i] / (1.0 - pole_[i] * z);
    return std::abs(h);
}

// ---- the sweep ----

SweepShape SweepShape::make(double f1, double f2, double nominal_seconds)
{
    const double cycles = std::max(1.0, std::round(nominal_seconds * f1 / std::log(f2 / f1)));
    return SweepShape{f1, f2, cycles / f1};
}

double SweepShape::duration() const
{
    return L * std::log(f2 / f1);
}

double SweepShape::phase_cycles(double t) const
{
    return f1 * L * std::expm1(t / L);
}

// ---- the generator ----

bool Generator::setup(double rate, int bits, uint64_t seed)
{
    if (bits != 16 && bits != 32) {
        std::fprintf(stderr, "error: The generator takes 16 or 32 bits, not %d\n", bits);
        return false;
    }
    if (!(rate >= 1000.0 && rate <= 768000.0)) {
        std::fprintf(stderr, "error: The generator takes a rate of 1000 to 768000 Hz, not %g\n", rate);
        return false;
    }
    rate_ = rate;
    bits_ = bits;
    ramp_length_ = std::max(1u, unsigned(std::lround(ramp_seconds * rate)));
    pink_.design(rate);
    random_.seed(seed);
    gauss_.reset();
    on_ = false;
    pending_shape_ = false;
    from_ = to_ = gain_ = 0.0;
    ramp_at_ = ramp_length_;
    clipped_ = 0;
    set(wanted_);
    adopt_wanted_shape();
    return true;
}

void Generator::set(const GeneratorSettings& s)
{
    GeneratorSettings w = s;
    w.frequency = clamp_to(w.frequency, 1.0, 0.49 * rate_);
    w.level_db = clamp_to(w.level_db, -120.0, 0.0);
    w.sweep_end = clamp_to(w.sweep_end, 1.0, 0.49 * rate_);
    w.sweep_start = clamp_to(w.sweep_start, 0.5, w.sweep_end / 1.01);
    w.sweep_length = clamp_to(w.sweep_length, 0.1, 3600.0);
    wanted_ = w;
    const bool same_shape = w.signal == playing_.signal && w.channels == playing_.channels &&
        (w.signal != GeneratorSignal::Sweep ||
         (w.sweep_start == playing_.sweep_start && w.sweep_end == playing_.sweep_end &&
          w.sweep_length == playing_.sweep_length));
    playing_.dither = w.dither;
    if (same_shape) {
        playing_.frequency = w.frequency;   // the phase runs on
        playing_.level_db = w.level_db;
        pending_shape_ = false;
        start_ramp(target_gain());
    } else if (gain_ == 0.0 && to_ == 0.0) {
        adopt_wanted_shape();
        start_ramp(target_gain());
    } else {
        pending_shape_ = true;
        start_ramp(0.0);
    }
}

void Generator::switch_on(bool on)
{
    on_ = on;
    set(wanted_);
}

bool Generator::silent() const
{
    return gain_ == 0.0 && to_ == 0.0 && !pending_shape_;
}

double Generator::target_gain() const
{
    if (!on_ || wanted_.signal == GeneratorSignal::Off)
        return 0.0;
    const double a = std::pow(10.0, wanted_.level_db / 20.0);
    // The noises are made at unit variance; their RMS a full-scale sine's.
    const bool noise = wanted_.signal == GeneratorSignal::White || wanted_.signal == GeneratorSignal::Pink;
    return noise ? a / std::sqrt(2.0) : a;
}

void Generator::start_ramp(double to)
{
    if (to == to_ && (ramp_at_ < ramp_length_ || gain_ == to))
        return;
    from_ = gain_;
    to_ = to;
    ramp_at_ = 0;
}

double Generator::step_gain()
{
    if (ramp_at_ < ramp_length_) {
        ++ramp_at_;
        const double c = 0.5 * (1.0 - std::cos(pi * double(ramp_at_) / double(ramp_length_)));
        gain_ = from_ + (to_ - from_) * c;
        if (ramp_at_ == ramp_length_)
            gain_ = to_;
    } else if (pending_shape_ && gain_ == 0.0) {
        pending_shape_ = false;
        adopt_wanted_shape();
        start_ramp(target_gain());
    }
    return gain_;
}

void Generator::adopt_wanted_shape()
{
    playing_ = wanted_;
    phase_ = 0.0;
    sweep_at_ = 0;
    sweep_ = SweepShape::make(playing_.sweep_start, playing_.sweep_end, playing_.sweep_length);
    sweep_samples_ = std::max<uint64_t>(1, uint64_t(std::floor(sweep_.duration() * rate_)));
    pink_.reset();
}

double Generator::next_unit_sample()
{
    switch (playing_.signal) {
    case GeneratorSignal::Sine: {
        const double x = std::sin(2.0 * pi * phase_);
        phase_ += playing_.frequency / rate_;
        phase_ -= std::floor(phase_);
        return x;
    }
    case GeneratorSignal::White:
        return gauss_(random_);
    case GeneratorSignal::Pink:
        return pink_.process(gauss_(random_));
    case GeneratorSignal::Sweep: {
        const double t = double(sweep_at_) / rate_;
        const double cycles = sweep_.phase_cycles(t);
        double x = std::sin(2.0 * pi * (cycles - std::floor(cycles)));
        // Each sweep ends in a 10 ms fade, so the next one starts without a step.
        const uint64_t left = sweep_samples_ - sweep_at_;
        if (left <= ramp_length_)
            x *= 0.5 * (1.0 - std::cos(pi * double(left - 1) / double(ramp_length_)));
        if (++sweep_at_ >= sweep_samples_)
            sweep_at_ = 0;
        return x;
    }
    case GeneratorSignal::Off:
        break;
    }
    return 0.0;
}

int32_t Generator::quantise(double x)
{
    // x at full scale +-1.
    if (bits_ == 16) {
        double v = x * 32767.0;
        if (playing_.dither)
            v += uniform_(random_) + uniform_(random_);
        v = std::nearbyint(v);
        if (v > 32767.0 || v < -32768.0) {
            ++clipped_;
            v = v > 0.0 ? 32767.0 : -32768.0;
        }
        return int32_t(v) * sample_widening;
    }
    double v = std::nearbyint(x * full_scale);
    if (v > full_scale || v < -full_scale - 1.0) {
        ++clipped_;
        v = v > 0.0 ? full_scale : -full_scale - 1.0;
    }
    return int32_t(v);
}

void Generator::process(int32_t* samples, unsigned int frames)
{
    for (unsigned int i = 0; i < frames; ++i) {
        const double g = step_gain();
        if (g == 0.0 && to_ == 0.0 && ramp_at_ >= ramp_length_) {
            samples[2 * i] = samples[2 * i + 1] = 0;
            continue;
        }
        const double x = g * next_unit_sample();
        int32_t left = 0, right = 0;
        switch (playing_.channels) {
        case GeneratorChannels::Both: left = quantise(x); right = quantise(x); break;
        case GeneratorChannels::Left: left = quantise(x); break;
        case GeneratorChannels::Right: right = quantise(x); break;
        case GeneratorChannels::Inverted:
            left = quantise(x);
            right = left == INT32_MIN ? INT32_MAX : -left;   // -full scale is full scale
            if (bits_ == 16)
                right &= ~int32_t(0xffff);
            break;
        }
        samples[2 * i] = left;
        samples[2 * i + 1] = right;
    }
}
