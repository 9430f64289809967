// Per-block computation of an Analyser: window, channel mix with scaling and
// DC removal, FFT, level in dB with decay and clamping. Needs no display.
#include "analyser/Analyser.h"

#include "analyser/Averaging.h"
#include "analyser/FFT.h"
#include "analyser/Readings.h"
#include "app/AppResources.h"
#include "common/Numeric.h"
#include "sampler/Sampler.h"

#include <cmath>

Analyser analysers[2];

Analyser::Analyser()
    : display(nullptr), window(0), alpha(0.0), decay(0.0), peak_search(false),
      markers{0, 0}, initialised(false), width(0), height(0), gc(nullptr),
      font_width(0), font_height(0), num_fft(0), peak_freq(0.0), peak_level(0.0),
      peak_hold(0), label_x(0), label_y(0), label{}, averaging(1), restart_averaging(false),
      log_scale(false), show_peak_level(false), dbfs(false), peak_read_freq(0.0),
      peak_read_level(0.0), frozen(false), restart_levels(false), reference_shown(false),
      reference_pixel(0),
      segment_capacity(0)
{
}

namespace {

// A full-scale sine puts the power n/4 into its component (unitary
// transform, window of mean 1): 27.09 dB at 2048 samples, which this offset
// brings to about 0 dB.
constexpr double level_offset = 27.1;

} // namespace

// The arrays were sized once, from the block length at that time; the
// computation keeps to that size whatever the sampler says later.
static inline unsigned int fft_length(unsigned int num_fft)
{
    return num_fft >= 1 ? 2 * (num_fft - 1) : 0;
}

void Analyser::setup_arrays()
{
    if (!fft_buf) {
        // No block is ever longer than the sampler's limit; a longer setting
        // never starts sampling, so the analyser need not hold more.
        const unsigned int n = sampler.length < Sampler::max_length ? sampler.length
                                                                    : Sampler::max_length;
        num_fft = n / 2 + 1;
        fft_buf = std::make_unique<double[]>(n);
        level = std::make_unique<double[]>(num_fft);
        bar_y = std::make_unique<int16_t[]>(num_fft);
        old_bar_y = std::make_unique<int16_t[]>(num_fft);
        gauss = std::make_unique<double[]>(n);
        mean_power = std::make_unique<double[]>(num_fft);
        raw_level = std::make_unique<double[]>(num_fft);
    }
    const double bottom = app_resources.lowerdb;
    const int16_t bottom_row = db2sy(bottom);
    for (unsigned int k = 0; k < num_fft; ++k) {
        level[k] = bottom;
        bar_y[k] = bottom_row;
        old_bar_y[k] = bottom_row;
    }
    peak_freq = 0.0;
    peak_level = bottom;
    peak_read_freq = 0.0;
    peak_read_level = bottom;
}

bool Analyser::process_block(const int32_t* block, Channel channel, bool draw)
{
    if (!initialised || frozen)
        return false;
    compute_spectrum(block, channel, block_inputs);
    has_block = true;
    if (draw) {
        XRectangle all;
        all.x = 0;
        all.y = 0;
        all.width = static_cast<unsigned short>(width);
        all.height = static_cast<unsigned short>(height);
        this->draw(all, false);
    }
    return true;
}

void Analyser::set_alpha(double a)
{
    alpha = a;
    if (initialised && fft_length(num_fft) >= 2)
        compute_gauss();
}

void Analyser::set_decay(double d)
{
    decay = d;
}

// Switched on, the averaging starts afresh from the next block's power.
void Analyser::set_averaging(int blocks)
{
    if (blocks > 1 && averaging <= 1)
        restart_averaging = true;
    averaging = blocks;
}

// Frozen, no block is processed; thawed, the next block starts afresh.
void Analyser::set_frozen(bool on)
{
    if (frozen && !on)
        restart_levels = true;
    frozen = on;
}

double Analyser::shown_level(double d) const
{
    return dbfs ? d + level_scale.calibration : d;
}

const char* Analyser::level_unit() const
{
    return dbfs ? level_scale.unit.c_str() : "dB";
}

void Analyser::compute_gauss()
{
    const unsigned int n = fft_length(num_fft);
    if (n < 2 || !gauss)
        return;
    const unsigned int h = n / 2;
    const double dn = static_cast<double>(n);
    double sum = 0.0;
    for (unsigned int i = 0; i < h; ++i) {
        const double t = static_cast<double>(static_cast<long>(i) - static_cast<long>(h)) / dn;
        const double g = std::exp((t * t) * (-alpha));
        gauss[i] = g;
        sum += g;
    }
    const double s = dn / (sum + sum);
    for (unsigned int i = 0; i < h; ++i) {
        gauss[i] = gauss[i] * s;
        gauss[n - 1 - i] = gauss[i];
    }
}

void Analyser::load_block(const int32_t* block, Channel channel, const BlockInputs& in)
{
    const unsigned int n = fft_length(num_fft);
    const bool dc = in.dcadjust;
    if (dbfs && dc) {
        // The offset the window sees comes off before the window.
        const unsigned int side = channel == Right ? 1 : 0;
        if (channel == Mono) {
            const double c = 1.0 / (2.0 * full_scale);
            for (unsigned int i = 0; i < n; ++i)
                fft_buf[i] = static_cast<double>(static_cast<int64_t>(block[2 * i]) +
                                                 static_cast<int64_t>(block[2 * i + 1])) * c;
        } else {
            const double c = 1.0 / full_scale;
            for (unsigned int i = 0; i < n; ++i)
                fft_buf[i] = static_cast<double>(block[2 * i + side]) * c;
        }
        window_without_weighted_mean(fft_buf.get(), gauss.get(), n);
        return;
    }
    if (channel == Mono) {
        // Mean of both channels: the sums are formed in 64 bits, so two
        // full-scale samples of the same sign cannot wrap.
        const double c = 1.0 / (2.0 * full_scale);
        const double b = dc ? static_cast<double>(static_cast<int64_t>(in.dc_left) +
                                                  static_cast<int64_t>(in.dc_right)) * c
                            : 0.0;
        for (unsigned int i = 0; i < n; ++i) {
            const int64_t s = static_cast<int64_t>(block[2 * i]) + static_cast<int64_t>(block[2 * i + 1]);
            fft_buf[i] = static_cast<double>(s) * (gauss[i] * c) - b;
        }
    } else {
        const unsigned int side = channel == Right ? 1 : 0;
        const double c = 1.0 / full_scale;
        const int mean = channel == Right ? in.dc_right : in.dc_left;
        const double b = dc ? static_cast<double>(mean) * c : 0.0;
        for (unsigned int i = 0; i < n; ++i)
            fft_buf[i] = static_cast<double>(block[2 * i + side]) * (gauss[i] * c) - b;
    }
}

void Analyser::compute_spectrum(const int32_t* block, Channel channel, const BlockInputs& in)
{
    const unsigned int n = fft_length(num_fft);
    if (n < 2)
        return;     // no spectrum of fewer than two samples
    load_block(block, channel, in);
    real_fft(fft_buf.get(), static_cast<int>(n), fft_forward);

    const double lower = in.lowerdb;
    const double upper = in.upperdb;
    // The first block after a start replaces the levels without decay.
    const bool first = in.first_block || restart_levels;
    const bool decaying = !first;
    const double offset = dbfs ? dbfs_offset(n) : level_offset;
    const double fall = decay / in.blocks_per_second;
    const unsigned int last = num_fft - 1;
    for (unsigned int k = 0; k < num_fft; ++k) {
        old_bar_y[k] = bar_y[k];
        double p;
        if (k == 0)
            p = fft_buf[0] * fft_buf[0];
        else if (k == last)
            p = fft_buf[1] * fft_buf[1];
        else
            p = fft_buf[2 * k] * fft_buf[2 * k] + fft_buf[2 * k + 1] * fft_buf[2 * k + 1];
        if (averaging > 1) {
            p = averaged_power(mean_power[k], p, first || restart_averaging, averaging);
            mean_power[k] = p;
        }
        double d = 10.0 * std::log10(p) - offset;   // -inf for a power of 0
        raw_level[k] = d;
        if (decaying) {
            const double held = level[k] - fall;
            if (held > d)
                d = held;
        }
        // Written so that a NaN (from a degenerate window) ends at the bottom.
        if (!(d >= lower))
            d = lower;
        else if (d > upper)
            d = upper;
        level[k] = d;
        bar_y[k] = db2sy(d, in.upperdb, in.lowerdb);
    }
    restart_averaging = false;
    restart_levels = false;
    if (columned())
        update_columns();
    if (peak_search)
        update_peak(false, in);
}
