// The measurement of one block without a display: which harmonics count,
// the noise of the band, the fundamental between the markers, averaging
// over blocks, and a DC offset that changes nothing but the DC reading.
// Signals in 32-bit samples, so quantisation plays no part; 4096 frames at
// 48 kHz, 11.72 Hz a component, the band 20 Hz .. 20 kHz its components
// 2 .. 1706.
#include <gtest/gtest.h>

#include "measurements/Measurement.h"

#include <cmath>
#include <functional>
#include <vector>

namespace {

constexpr int n = 4096, rate = 48000, band = 1705;
const double pi = std::acos(-1.0);

double sine(double t, double f, double a) { return a * std::sin(2 * pi * f * t); }

// Both channels carry x(t), full scale 1, at t seconds; measured as the
// block after a start unless restart is false.
Measures measure(Measurement& m, const std::function<double(double)>& x, MeasurementSettings s = {}, bool restart = true,
                 int bits = 16)
{
    std::vector<int32_t> b(2 * n);
    int64_t sum = 0;
    for (int i = 0; i < n; ++i)
        sum += b[2 * i] = b[2 * i + 1] = int32_t(std::lround(x(double(i) / rate) * 2147483647.0));
    BlockInputs in;
    in.rate = rate;
    in.dc_left = in.dc_right = int(sum / n);
    in.bits = bits;
    Measures out;
    m.setup(n);
    m.add_block(b.data(), in, s, restart);
    m.evaluate(b.data(), in, s, out);
    return out;
}

}  // namespace

// 7 kHz with 1 % each at 14 kHz (in the band) and 21 kHz (above it): only
// the second harmonic is distortion and the third is not noise either. A
// 1 % second and fifth of 1 kHz give sqrt(2) % with 9 harmonics, 1 % with
// 4: the fifth, 40 dB down, is then the noise, spread over the band with
// the 7 components of DC and 17 of each of four lines set aside.
TEST(Measurement, CountsTheHarmonicsInTheBandUpToTheSetting)
{
    Measurement m;
    const ChannelMeasures high =
        measure(m, [](double t) { return sine(t, 7000, 0.5) + sine(t, 14000, 0.005) + sine(t, 21000, 0.005); }).channel[0];
    EXPECT_NEAR(high.frequency_hz, 7000, 1e-6);
    EXPECT_NEAR(high.thd_percent, 1.0, 1e-4);
    EXPECT_NEAR(high.thdn_percent, 1.0 / std::sqrt(1.0001), 1e-4);

    auto low = [](double t) { return sine(t, 1000, 0.5) + sine(t, 2000, 0.005) + sine(t, 5000, 0.005); };
    MeasurementSettings s;
    EXPECT_NEAR(measure(m, low, s).channel[0].thd_percent, std::sqrt(2.0), 1e-4);
    s.harmonics = 4;
    const ChannelMeasures four = measure(m, low, s).channel[0];
    EXPECT_NEAR(four.thd_percent, 1.0, 1e-4);
    EXPECT_NEAR(four.snr_db, 40.0 - 10 * std::log10(double(band) / (band - 7 - 4 * 17)), 1e-3);
}

// With peak search on, the fundamental is the strongest component between
// the markers: the weaker of two tones, the stronger its noise. Identical
// channels: correlation 1, no phase between them.
TEST(Measurement, PeakSearchTakesTheFundamentalBetweenTheMarkers)
{
    Measurement m;
    auto two = [](double t) { return sine(t, 1000, 0.5) + sine(t, 5003.7, 0.05); };
    MeasurementSettings s;
    EXPECT_NEAR(measure(m, two, s).channel[0].frequency_hz, 1000, 1e-6);
    s.peak_search = true;
    s.first_component = 4000 * n / rate;
    s.last_component = 6000 * n / rate;
    const Measures out = measure(m, two, s);
    EXPECT_NEAR(out.channel[0].frequency_hz, 5003.7, 1e-4);
    EXPECT_NEAR(out.channel[0].level_dbfs, 20 * std::log10(0.05), 1e-4);
    EXPECT_NEAR(out.channel[0].snr_db, -20.0 - 10 * std::log10(double(band) / (band - 7 - 3 * 17)), 1e-3);
    EXPECT_NEAR(out.correlation, 1.0, 1e-9);
    EXPECT_NEAR(out.phase_deg, 0.0, 1e-6);
}

// Averaging over 4 blocks: alternating levels settle at the exponential
// mean of their powers, a restart starts from the block itself; the rms is
// the block's own. A tone without offset reads none, a 10 % offset reads as
// such and leaves level and THD.
TEST(Measurement, AveragesOverBlocksAndIgnoresTheOffset)
{
    Measurement m;
    MeasurementSettings s;
    s.averaging = 4;
    double mean = 0;
    Measures out;
    for (int i = 0; i < 40; ++i) {
        const double a = i % 2 ? 0.25 : 0.5;
        mean = i == 0 ? a * a / 2 : mean + (a * a / 2 - mean) / 4;
        out = measure(m, [a](double t) { return sine(t, 1000, a); }, s, i == 0);
    }
    EXPECT_NEAR(out.channel[0].level_dbfs, 10 * std::log10(2 * mean), 1e-6);
    EXPECT_NEAR(out.channel[0].rms_dbfs, 20 * std::log10(0.25), 0.005);
    EXPECT_NEAR(measure(m, [](double t) { return sine(t, 1000, 0.5); }, s).channel[0].level_dbfs, 20 * std::log10(0.5), 1e-6);

    auto x = [](double t) { return sine(t, 997.3, 0.5) + sine(t, 2 * 997.3, 0.0005); };
    const ChannelMeasures plain = measure(m, x).channel[0];
    const ChannelMeasures offset = measure(m, [&](double t) { return x(t) + 0.1; }).channel[0];
    // The mean as the window sees it: 1 kHz over 85.3 periods has a plain mean of 0.13 %.
    EXPECT_NEAR(measure(m, [](double t) { return sine(t, 1000, 0.5); }).channel[0].dc_percent, 0.0, 0.01);
    EXPECT_NEAR(offset.dc_percent - plain.dc_percent, 10.0, 1e-6);
    EXPECT_NEAR(offset.level_dbfs, plain.level_dbfs, 1e-6);
    EXPECT_NEAR(offset.thd_percent, 0.1, 1e-5);
    EXPECT_NEAR(offset.thd_percent, plain.thd_percent, 1e-6);
}


// 32-bit samples measure below 16-bit ones' floor: a 1 kHz tone at -1 dBFS
// with its third harmonic 125 dB down reads that THD, and a tone at -130
// dBFS is a fundamental at 32 bits but nothing at 16.
TEST(Measurement, ThirtyTwoBitSamplesMeasureBelowTheSixteenBitFloor)
{
    Measurement m;
    const double a = std::pow(10.0, -1 / 20.0), h3 = a * std::pow(10.0, -125 / 20.0);
    const ChannelMeasures c = measure(m, [&](double t) { return sine(t, 1000, a) + sine(t, 3000, h3); }, {}, true, 32).channel[0];
    ASSERT_TRUE(c.has_fundamental);
    EXPECT_NEAR(20 * std::log10(c.thd_percent / 100), -125, 1.5);
    const double quiet = std::pow(10.0, -130 / 20.0);
    const ChannelMeasures deep = measure(m, [&](double t) { return sine(t, 1000, quiet); }, {}, true, 32).channel[0];
    ASSERT_TRUE(deep.has_fundamental && deep.sounding);
    EXPECT_NEAR(deep.level_dbfs, -130, 0.1);
    EXPECT_FALSE(measure(m, [&](double t) { return sine(t, 1000, quiet); }).channel[0].has_fundamental);
}
