// The measurement of one block without a display: which harmonics count,
// the fundamental between the markers, averaging over blocks, and a DC
// offset that changes nothing but the DC reading. Signals in 32-bit samples,
// so that quantisation plays no part; expected values from their making.
#include <gtest/gtest.h>

#include "analyser/Measurement.h"

#include <cmath>
#include <functional>
#include <vector>

namespace {

constexpr int n = 4096;
constexpr int rate = 48000;
const double pi = std::acos(-1.0);

struct Block {
    std::vector<int32_t> samples;
    BlockInputs in;
};

// Both channels carry x(t) (full scale 1) at t seconds.
Block block_of(const std::function<double(double)>& x)
{
    Block b;
    b.samples.resize(2 * n);
    int64_t sum = 0;
    for (int i = 0; i < n; ++i) {
        const int32_t v = int32_t(std::lround(x(double(i) / rate) * 2147483647.0));
        b.samples[2 * i] = b.samples[2 * i + 1] = v;
        sum += v;
    }
    b.in.rate = rate;
    b.in.dc_left = b.in.dc_right = int(sum / n);
    return b;
}

double sine(double t, double f, double a)
{
    return a * std::sin(2 * pi * f * t);
}

Measures measure(Measurement& m, const Block& b, const MeasurementSettings& s = {}, bool restart = true)
{
    Measures out;
    m.setup(n);
    m.add_block(b.samples.data(), b.in, s, restart);
    m.evaluate(b.samples.data(), b.in, s, out);
    return out;
}

}  // namespace

// 7 kHz with 1 % each at 14 kHz (in the band) and 21 kHz (above it): only
// the second harmonic is distortion and the third is not noise either; with
// harmonics 2 a fourth at 28 kHz could not count anyway, and a 1 % second
// and fifth of 1 kHz give sqrt(2) % with 9 harmonics, 1 % with 4 (the fifth
// is then noise).
TEST(Measurement, CountsTheHarmonicsInTheBandUpToTheSetting)
{
    Measurement m;
    const Measures high = measure(m, block_of([](double t) {
        return sine(t, 7000, 0.5) + sine(t, 14000, 0.005) + sine(t, 21000, 0.005);
    }));
    EXPECT_NEAR(high.channel[0].frequency_hz, 7000, 1e-6);
    EXPECT_NEAR(high.channel[0].thd_percent, 1.0, 1e-4);
    EXPECT_NEAR(high.channel[0].thdn_percent, 1.0 / std::sqrt(1.0001), 1e-4);

    const Block low = block_of([](double t) { return sine(t, 1000, 0.5) + sine(t, 2000, 0.005) + sine(t, 5000, 0.005); });
    MeasurementSettings s;
    EXPECT_NEAR(measure(m, low, s).channel[0].thd_percent, std::sqrt(2.0), 1e-4);
    s.harmonics = 4;
    const ChannelMeasures four = measure(m, low, s).channel[0];
    EXPECT_NEAR(four.thd_percent, 1.0, 1e-4);
    // The fifth, 40 dB below, is the noise, spread over the whole band: of
    // its components 2 .. 1706 (20 Hz .. 20 kHz at 11.72 Hz), 7 are set
    // aside for DC and 17 for each of four lines.
    EXPECT_NEAR(four.snr_db, 40.0 - 10 * std::log10(1705.0 / (1705 - 7 - 4 * 17)), 1e-3);
}

// With peak search on, the fundamental is the strongest component between
// the markers: the weaker of two tones, the stronger then being its noise.
TEST(Measurement, PeakSearchTakesTheFundamentalBetweenTheMarkers)
{
    Measurement m;
    const Block b = block_of([](double t) { return sine(t, 1000, 0.5) + sine(t, 5003.7, 0.05); });
    MeasurementSettings s;
    EXPECT_NEAR(measure(m, b, s).channel[0].frequency_hz, 1000, 1e-6);
    s.peak_search = true;
    s.first_component = 4000 * n / rate;
    s.last_component = 6000 * n / rate;
    const Measures out = measure(m, b, s);
    EXPECT_NEAR(out.channel[0].frequency_hz, 5003.7, 1e-4);
    EXPECT_NEAR(out.channel[0].level_dbfs, 20 * std::log10(0.05), 1e-4);
    // DC, the fundamental, its second and third harmonics set aside.
    EXPECT_NEAR(out.channel[0].snr_db, -20.0 - 10 * std::log10(1705.0 / (1705 - 7 - 3 * 17)), 1e-3);
    EXPECT_NEAR(out.correlation, 1.0, 1e-9);
    EXPECT_NEAR(out.phase_deg, 0.0, 1e-6);
}

// Averaging over 4 blocks: alternating levels settle at the exponential
// mean of their powers; a restart starts from the block itself.
TEST(Measurement, AveragesThePowersOverBlocks)
{
    Measurement m;
    const Block loud = block_of([](double t) { return sine(t, 1000, 0.5); });
    const Block soft = block_of([](double t) { return sine(t, 1000, 0.25); });
    MeasurementSettings s;
    s.averaging = 4;
    double mean = 0;
    Measures out;
    for (int i = 0; i < 40; ++i) {
        const double p = i % 2 ? 0.25 * 0.25 / 2 : 0.5 * 0.5 / 2;
        mean = i == 0 ? p : mean + (p - mean) / 4;
        out = measure(m, i % 2 ? soft : loud, s, i == 0);
    }
    EXPECT_NEAR(out.channel[0].level_dbfs, 10 * std::log10(2 * mean), 1e-6);
    EXPECT_NEAR(out.channel[0].rms_dbfs, 20 * std::log10(0.25), 0.005);   // the block's own
    EXPECT_NEAR(measure(m, loud, s, true).channel[0].level_dbfs, 20 * std::log10(0.5), 1e-6);
}

// An offset of 10 % of full scale reads as such and leaves level, THD and
// noise as they are without it.
TEST(Measurement, DCOffsetChangesOnlyTheDCReading)
{
    Measurement m;
    auto x = [](double t) { return sine(t, 997.3, 0.5) + sine(t, 2 * 997.3, 0.0005); };
    const ChannelMeasures plain = measure(m, block_of(x)).channel[0];
    const ChannelMeasures offset = measure(m, block_of([&](double t) { return x(t) + 0.1; })).channel[0];
    EXPECT_NEAR(offset.dc_percent - plain.dc_percent, 10.0, 1e-6);
    EXPECT_NEAR(offset.level_dbfs, plain.level_dbfs, 1e-6);
    EXPECT_NEAR(offset.thd_percent, 0.1, 1e-5);
    EXPECT_NEAR(offset.thd_percent, plain.thd_percent, 1e-6);
    EXPECT_NEAR(offset.snr_db, plain.snr_db, 0.5);
}
