// The measurements of one block, from the samples and from the
// measurement's own averaged spectrum.
#include "measurements/Measurement.h"

#include "analyser/Averaging.h"
#include "analyser/FFT.h"
#include "analyser/Readings.h"
#include "common/Numeric.h"

#include <cmath>

namespace {

// The minimum 7-term Blackman-Harris window (side lobes near -180 dB).
constexpr double bh7[7] = {0.27105140069342, 0.43329793923448, 0.21812299954311,
                           0.06592544638803, 0.01081174209837, 0.00077658482522,
                           0.00001388721735};

constexpr double pi = 3.141592653589793;

// dB of a power ratio; -inf for 0.
double power_db(double ratio)
{
    return 10.0 * std::log10(ratio);
}

constexpr double per_unit = 1.0 / full_scale;

// The sample of frame i of channel c, full scale 1; mono is the mean of both.
inline double sample(const int32_t* block, unsigned int i, int c, bool mono)
{
    if (mono)
        return (static_cast<double>(block[2 * i]) + static_cast<double>(block[2 * i + 1])) *
               (0.5 * per_unit);
    return static_cast<double>(block[2 * i + static_cast<unsigned int>(c)]) * per_unit;
}

} // namespace

void Measurement::setup(unsigned int n)
{
    if (n == n_)
        return;
    n_ = n;
    if (n > capacity_) {
        capacity_ = n;
        window_ = std::make_unique<double[]>(n);
        const unsigned int nf = n / 2 + 1;
        for (auto& s : spectrum_)
            s = std::make_unique<double[]>(n);
        for (auto& p : power_)
            p = std::make_unique<double[]>(nf);
        taken_ = std::make_unique<uint8_t[]>(nf);
    }
    // The periodic form: its spectrum is exactly 13 components wide.
    double squares = 0;
    for (unsigned int j = 0; j < n; ++j) {
        double w = 0, sign = 1;
        for (int m = 0; m < 7; ++m, sign = -sign)
            w += sign * bh7[m] * std::cos(2.0 * pi * m * j / n);
        window_[j] = w;
        squares += w * w;
    }
    const double scale = 1.0 / std::sqrt(squares / n);
    for (unsigned int j = 0; j < n; ++j)
        window_[j] *= scale;
}

void Measurement::load_channel(const int32_t* block, int c, const BlockInputs&, bool mono)
{
    double* x = spectrum_[c].get();
    for (unsigned int j = 0; j < n_; ++j)
        x[j] = sample(block, j, c, mono);
    window_without_weighted_mean(x, window_.get(), n_);
    real_fft(x, static_cast<int>(n_), fft_forward);
}

void Measurement::add_block(const int32_t* block, const BlockInputs& in,
                            const MeasurementSettings& s, bool restart)
{
    const int channels = s.stereo ? 2 : 1;
    const unsigned int half = n_ / 2;
    const double scale = 1.0 / n_;
    for (int c = 0; c < channels; ++c) {
        load_channel(block, c, in, !s.stereo);
        const double* x = spectrum_[c].get();
        double* mean = power_[c].get();
        for (unsigned int k = 0; k <= half; ++k) {
            double p;
            if (k == 0)
                p = x[0] * x[0] * scale;
            else if (k == half)
                p = x[1] * x[1] * scale;
            else
                p = 2.0 * (x[2 * k] * x[2 * k] + x[2 * k + 1] * x[2 * k + 1]) * scale;
            mean[k] = averaged_power(mean[k], p, restart, s.averaging);
        }
    }
}

void Measurement::time_measures(const int32_t* block, int c, const BlockInputs&, bool mono,
                                ChannelMeasures& m) const
{
    // In sample units (the mono sum twice the mean), scaled once at the end.
    double squares = 0, weighted = 0, weights = 0;
    int64_t peak = 0;
    for (unsigned int j = 0; j < n_; ++j) {
        const int64_t v = mono ? static_cast<int64_t>(block[2 * j]) + block[2 * j + 1]
                               : block[2 * j + static_cast<unsigned int>(c)];
        squares += static_cast<double>(v) * static_cast<double>(v);
        weighted += static_cast<double>(v) * window_[j];
        weights += window_[j];
        const int64_t a = v < 0 ? -v : v;
        if (a > peak)
            peak = a;
    }
    const double unit = mono ? 0.5 * per_unit : per_unit;
    const double rms = std::sqrt(squares / n_) * unit;
    m.rms_dbfs = 20.0 * std::log10(rms * std::sqrt(2.0));
    m.peak_dbfs = 20.0 * std::log10(static_cast<double>(peak) * unit);
    m.crest_db = rms > 0 ? m.peak_dbfs - 20.0 * std::log10(rms) : 0.0;
    // The mean as the window sees it, which a tone leaves alone.
    m.dc_percent = weights != 0 ? 100.0 * weighted / weights * unit : 0.0;
}

int Measurement::find_fundamental(int c, const MeasurementSettings& s) const
{
    const int half = static_cast<int>(n_ / 2);
    int first = 1, last = half;
    if (s.peak_search) {
        first = s.first_component > first ? s.first_component : first;
        last = s.last_component < last ? s.last_component : last;
    }
    int best = -1;
    double best_power = 0;
    for (int k = first; k <= last; ++k)
        if (power_[c][k] > best_power) {
            best_power = power_[c][k];
            best = k;
        }
    return best;
}

double Measurement::line_centre(int c, long peak) const
{
    const long half = static_cast<long>(n_ / 2);
    double weighted = 0, sum = 0;
    for (long k = peak - line_halfwidth; k <= peak + line_halfwidth; ++k)
        if (k >= 0 && k <= half) {
            weighted += static_cast<double>(k) * power_[c][k];
            sum += power_[c][k];
        }
    return sum > 0 ? weighted / sum : static_cast<double>(peak);
}

double Measurement::line_power(int c, long k) const
{
    const long half = static_cast<long>(n_ / 2);
    double sum = 0;
    for (long i = k - line_halfwidth; i <= k + line_halfwidth; ++i)
        if (i >= 0 && i <= half)
            sum += power_[c][i];
    return sum;
}

double Measurement::take_line(int c, long k)
{
    const long half = static_cast<long>(n_ / 2);
    double sum = 0;
    for (long i = k - line_halfwidth; i <= k + line_halfwidth; ++i)
        if (i >= 0 && i <= half && !taken_[i]) {
            taken_[i] = 1;
            sum += power_[c][i];
        }
    return sum;
}

void Measurement::spectrum_measures(int c, int peak, const MeasurementSettings& s, int rate, double floor,
                                    ChannelMeasures& m)
{
    const long half = static_cast<long>(n_ / 2);
    const double spacing = static_cast<double>(rate) / n_;     // Hz per component
    for (long k = 0; k <= half; ++k)
        taken_[k] = 0;

    // The fundamental: its line's power, and the power-weighted centre of the
    // line as its position between components.
    const double centre = line_centre(c, peak);
    const double f = take_line(c, peak);
    take_line(c, 0);    // DC
    const double top = std::fmin(band_high, rate / 2.0);
    double h = 0;
    for (int i = 2; i <= s.harmonics; ++i) {
        const double at = centre * i;
        if (at * spacing > top)
            break;
        if (at * spacing >= band_low)
            h += take_line(c, std::lround(at));
    }
    // The noise of the band; its set-aside components at the density of the rest.
    const long low_k = static_cast<long>(std::ceil(band_low / spacing));
    const long high_k = static_cast<long>(std::floor(top / spacing));
    double free_power = 0;
    long free = 0, aside = 0;
    for (long k = low_k; k <= high_k && k <= half; ++k) {
        if (taken_[k]) {
            ++aside;
        } else {
            ++free;
            free_power += power_[c][k];
        }
    }
    const double noise = free > 0 ? free_power * static_cast<double>(free + aside) / free : 0.0;

    m.has_fundamental = 2.0 * f >= std::pow(10.0, floor / 10.0);
    m.frequency_hz = centre * spacing;
    m.level_dbfs = power_db(2.0 * f);
    m.fundamental_power = f;
    m.harmonic_power = h;
    m.noise_power = noise;
    m.thd_db = power_db(h / f);
    m.thd_percent = 100.0 * std::sqrt(h / f);
    const double thdn = (noise + h) / (f + noise + h);
    m.thdn_db = power_db(thdn);
    m.thdn_percent = 100.0 * std::sqrt(thdn);
    m.snr_db = power_db(f / noise);
    m.sinad_db = -m.thdn_db;
    m.enob_bits = (m.sinad_db - 1.76) / 6.02;
}

// The phase of right against left over the fundamental's line of this
// block: the angle of the summed cross spectrum L * conj(R). The transform's
// positive exponent gives a tone of phase p the angle -p, so the angle is
// the right's phase less the left's.
double Measurement::cross_phase(int peak) const
{
    const long half = static_cast<long>(n_ / 2);
    const double* l = spectrum_[0].get();
    const double* r = spectrum_[1].get();
    double re = 0, im = 0;
    for (long k = peak - line_halfwidth; k <= peak + line_halfwidth; ++k)
        if (k >= 1 && k < half) {
            re += l[2 * k] * r[2 * k] + l[2 * k + 1] * r[2 * k + 1];
            im += l[2 * k + 1] * r[2 * k] - l[2 * k] * r[2 * k + 1];
        }
    return std::atan2(im, re) * 180.0 / pi;
}

void Measurement::evaluate(const int32_t* block, const BlockInputs& in,
                           const MeasurementSettings& s, Measures& out)
{
    const bool mono = !s.stereo;
    out.channels = mono ? 1 : 2;
    out.measured = true;
    int peaks[2] = {-1, -1};
    const double floor = floor_dbfs(in.bits);
    for (int c = 0; c < out.channels; ++c) {
        ChannelMeasures& m = out.channel[c];
        m = ChannelMeasures();
        time_measures(block, c, in, mono, m);
        m.sounding = m.rms_dbfs >= floor;
        peaks[c] = find_fundamental(c, s);
        if (peaks[c] >= 0 && peaks[c] < min_components) {
            // Too low for this frame: its frequency, and no numbers.
            if (line_power(c, peaks[c]) * 2.0 >= std::pow(10.0, floor / 10.0))
                m.unresolved_hz = line_centre(c, peaks[c]) * in.rate / n_;
            peaks[c] = -1;
        }
        if (peaks[c] >= 0)
            spectrum_measures(c, peaks[c], s, in.rate, floor, m);
    }
    out.has_correlation = out.has_phase = false;
    if (mono)
        return;

    const ChannelMeasures& left = out.channel[0];
    const ChannelMeasures& right = out.channel[1];
    out.balance_db = left.rms_dbfs - right.rms_dbfs;
    if (!(left.sounding && right.sounding))
        return;
    double ml = 0, mr = 0;
    for (unsigned int j = 0; j < n_; ++j) {
        ml += sample(block, j, 0, false);
        mr += sample(block, j, 1, false);
    }
    ml /= n_;
    mr /= n_;
    double lr = 0, ll = 0, rr = 0;
    for (unsigned int j = 0; j < n_; ++j) {
        const double l = sample(block, j, 0, false) - ml;
        const double r = sample(block, j, 1, false) - mr;
        lr += l * r;
        ll += l * l;
        rr += r * r;
    }
    out.has_correlation = ll > 0 && rr > 0;
    out.correlation = out.has_correlation ? lr / std::sqrt(ll * rr) : 0.0;
    const int peak = left.has_fundamental ? peaks[0] : right.has_fundamental ? peaks[1] : -1;
    out.has_phase = peak >= 0;
    if (out.has_phase)
        out.phase_deg = cross_phase(peak);
}
