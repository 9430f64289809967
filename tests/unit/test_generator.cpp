// The generator's samples against the definitions, computed here: the
// sine's frequency, phase and level by a DFT, the noises' third-octave
// band powers, the sweep's formula, the ramps' steps, the clipping.
#include "generator/Generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

namespace {

constexpr double pi = 3.14159265358979323846;

std::vector<int32_t> run(Generator& g, size_t frames, unsigned block = 2048)
{
    std::vector<int32_t> s(2 * frames);
    for (size_t at = 0; at < frames; at += block)
        g.process(s.data() + 2 * at, unsigned(std::min<size_t>(block, frames - at)));
    return s;
}

// Channel c of the stereo samples at full scale +-1.
std::vector<double> channel(const std::vector<int32_t>& s, int c)
{
    std::vector<double> x(s.size() / 2);
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = s[2 * i + c] / 2147483648.0;
    return x;
}

// The DFT of x at f Hz, x[0] being sample start.
std::complex<double> dft_at(const std::vector<double>& x, double f, double rate, size_t start = 0)
{
    std::complex<double> sum = 0.0;
    for (size_t n = 0; n < x.size(); ++n)
        sum += x[n] * std::polar(1.0, -2.0 * pi * f * double(start + n) / rate);
    return sum;
}

// A plain radix-2 transform, in place (n a power of two).
void fft(std::vector<std::complex<double>>& a)
{
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> w = std::polar(1.0, -2.0 * pi / double(len));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> u = 1.0;
            for (size_t k = 0; k < len / 2; ++k, u *= w) {
                const std::complex<double> a0 = a[i + k], a1 = a[i + k + len / 2] * u;
                a[i + k] = a0 + a1;
                a[i + k + len / 2] = a0 - a1;
            }
        }
    }
}

// Power per bin of x, Hann frames of n with half overlap, averaged.
std::vector<double> power_spectrum(const std::vector<double>& x, size_t n)
{
    std::vector<double> p(n / 2 + 1, 0.0);
    std::vector<std::complex<double>> a(n);
    int frames = 0;
    for (size_t at = 0; at + n <= x.size(); at += n / 2, ++frames) {
        for (size_t i = 0; i < n; ++i)
            a[i] = x[at + i] * 0.5 * (1.0 - std::cos(2.0 * pi * double(i) / double(n)));
        fft(a);
        for (size_t k = 0; k < p.size(); ++k)
            p[k] += std::norm(a[k]);
    }
    for (double& v : p)
        v /= frames;
    return p;
}

struct Bands {
    std::vector<double> octaves;    // log2 of the centre frequency
    std::vector<double> db;         // the band's power
};

// Third-octave bands (centres 10^(k/10) Hz) from lo to hi Hz.
Bands third_octaves(const std::vector<double>& p, size_t n, double rate, double lo, double hi)
{
    Bands b;
    for (int k = int(std::lround(10.0 * std::log10(lo))); std::pow(10.0, k / 10.0) <= hi * 1.01; ++k) {
        const double fc = std::pow(10.0, k / 10.0);
        double sum = 0.0;
        for (size_t i = 1; i < p.size(); ++i) {
            const double f = double(i) * rate / double(n);
            if (f >= fc * std::pow(10.0, -0.05) && f < fc * std::pow(10.0, 0.05))
                sum += p[i];
        }
        b.octaves.push_back(std::log2(fc));
        b.db.push_back(10.0 * std::log10(sum));
    }
    return b;
}

// Least-squares line through the bands: slope in dB per octave; the
// largest distance of a band from it in dB.
void fit_line(const Bands& b, double& slope, double& worst)
{
    const double n = double(b.db.size());
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t i = 0; i < b.db.size(); ++i) {
        sx += b.octaves[i];
        sy += b.db[i];
        sxx += b.octaves[i] * b.octaves[i];
        sxy += b.octaves[i] * b.db[i];
    }
    slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    const double offset = (sy - slope * sx) / n;
    worst = 0.0;
    for (size_t i = 0; i < b.db.size(); ++i)
        worst = std::max(worst, std::fabs(b.db[i] - (offset + slope * b.octaves[i])));
}

double rms_db(const std::vector<double>& x)
{
    double sum = 0.0;
    for (double v : x)
        sum += v * v;
    // AES17: a full-scale sine's RMS is 0 dBFS.
    return 10.0 * std::log10(2.0 * sum / double(x.size()));
}

double largest_step(const std::vector<double>& x, size_t from, size_t to)
{
    double step = 0.0;
    for (size_t i = from + 1; i < to; ++i)
        step = std::max(step, std::fabs(x[i] - x[i - 1]));
    return step;
}

GeneratorSettings sine(double f, double db)
{
    GeneratorSettings s;
    s.signal = GeneratorSignal::Sine;
    s.frequency = f;
    s.level_db = db;
    return s;
}

GeneratorSettings noise(GeneratorSignal which, double db)
{
    GeneratorSettings s;
    s.signal = which;
    s.level_db = db;
    return s;
}

}  // namespace

TEST(Generator, SineAtItsFrequencyAndPeakLevelWithDitheredNoiseOnly)
{
    const double rate = 48000.0, f = 997.0;
    Generator g;
    ASSERT_TRUE(g.setup(rate, 16));
    g.set(sine(f, -3.0));
    g.switch_on(true);
    run(g, 4800);   // past the ramp
    const std::vector<int32_t> s = run(g, 48000);   // 997 whole periods
    for (int c = 0; c < 2; ++c) {
        const std::vector<double> x = channel(s, c);
        const std::complex<double> line = dft_at(x, f, rate);
        const double peak = 2.0 * std::abs(line) / double(x.size());
        EXPECT_NEAR(20.0 * std::log10(peak), -3.0, 0.01) << "channel " << c;
        // THD+N: what is left after the fitted sine, against the sine.
        double residual = 0.0, signal = 0.0;
        for (size_t n = 0; n < x.size(); ++n) {
            const double fitted = 2.0 / double(x.size()) *
                (line * std::polar(1.0, 2.0 * pi * f * double(n) / rate)).real();
            residual += (x[n] - fitted) * (x[n] - fitted);
            signal += fitted * fitted;
        }
        EXPECT_LT(10.0 * std::log10(residual / signal), -88.0) << "channel " << c;
        // The frequency from the phase advance between the two halves.
        const std::vector<double> a(x.begin(), x.begin() + 24000), b(x.begin() + 24000, x.end());
        const double advance = std::arg(dft_at(b, f, rate, 24000) / dft_at(a, f, rate));
        EXPECT_NEAR(advance, 0.0, 2.0 * pi * 0.0005 * 0.5);   // under 0.0005 Hz over 0.5 s
    }
    EXPECT_EQ(g.clipped(), 0u);
}

TEST(Generator, SinePhaseExactAfterAnHour)
{
    // 997.125 Hz at 8000 Hz: the phase of sample n is 7977 n / 64000 cycles,
    // exact in integers.
    const double rate = 8000.0;
    Generator g;
    ASSERT_TRUE(g.setup(rate, 32));
    g.set(sine(997.125, -6.0));
    g.switch_on(true);
    const size_t hour = 3600 * 8000;
    std::vector<int32_t> s(2 * 8192);
    size_t at = 0;
    for (; at + 8192 <= hour; at += 8192)
        g.process(s.data(), 8192);
    const unsigned rest = unsigned(hour - at) + 64;
    g.process(s.data(), rest);
    const double amplitude = std::pow(10.0, -6.0 / 20.0);
    double worst = 0.0;
    for (unsigned i = 0; i < rest; ++i) {
        const uint64_t n = at + i;
        const double cycles = double((7977 * n) % 64000) / 64000.0;
        const double expected = amplitude * std::sin(2.0 * pi * cycles);
        worst = std::max(worst, std::fabs(s[2 * i] / 2147483647.0 - expected));
    }
    // 1e-6 of full scale is a phase error of 2e-6 cycles.
    EXPECT_LT(worst, 1e-6);
}

TEST(Generator, PinkNoiseHasEqualPowerInThirdOctaves)
{
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        Generator g;
        ASSERT_TRUE(g.setup(rate, 32, 7));
        g.set(noise(GeneratorSignal::Pink, -20.0));
        g.switch_on(true);
        run(g, size_t(rate));
        const std::vector<double> x = channel(run(g, size_t(1) << 21), 0);
        const size_t n = 65536;
        const Bands b = third_octaves(power_spectrum(x, n), n, rate, 20.0, 20000.0);
        ASSERT_EQ(b.db.size(), 31u);
        double slope, worst;
        fit_line(b, slope, worst);
        EXPECT_NEAR(slope, 0.0, 0.25) << rate << " Hz";
        EXPECT_LT(worst, 1.0) << rate << " Hz";
        // Octave by octave (three bands each) the power stays level.
        for (size_t i = 0; i + 3 < b.db.size(); i += 3)
            EXPECT_NEAR(b.db[i + 3] - b.db[i], 0.0, 0.75) << rate << " Hz, band " << i;
        EXPECT_NEAR(rms_db(x), -20.0, 0.3) << rate << " Hz";
    }
}

TEST(Generator, WhiteNoiseRisesThreeDecibelsAnOctaveAtItsRmsLevel)
{
    const double rate = 48000.0;
    Generator g;
    ASSERT_TRUE(g.setup(rate, 16, 3));
    g.set(noise(GeneratorSignal::White, -10.0));
    g.switch_on(true);
    run(g, 4800);
    const std::vector<int32_t> s = run(g, size_t(1) << 20);
    const std::vector<double> x = channel(s, 0);
    const size_t n = 8192;
    const Bands b = third_octaves(power_spectrum(x, n), n, rate, 100.0, 20000.0);
    double slope, worst;
    fit_line(b, slope, worst);
    EXPECT_NEAR(slope, 10.0 * std::log10(2.0), 0.25);
    EXPECT_LT(worst, 1.0);
    EXPECT_NEAR(rms_db(x), -10.0, 0.1);
    // Gaussian: the fourth moment three times the variance squared.
    double m2 = 0, m4 = 0;
    for (double v : x) {
        m2 += v * v;
        m4 += v * v * v * v;
    }
    m2 /= double(x.size());
    m4 /= double(x.size());
    EXPECT_NEAR(m4 / (m2 * m2), 3.0, 0.05);
}

TEST(Generator, NoisePeaksClippedAtFullScaleAndCounted)
{
    // At 0 dBFS RMS the noise's deviation is 1/sqrt(2) of full scale: the
    // share beyond it is P(|Z| > sqrt 2) = erfc(1).
    Generator g;
    ASSERT_TRUE(g.setup(48000.0, 32, 11));
    g.set(noise(GeneratorSignal::White, 0.0));
    g.switch_on(true);
    run(g, 480);    // the ramp
    const unsigned long long before = g.clipped();
    const size_t frames = 200000;
    const std::vector<int32_t> s = run(g, frames);
    const double expected = std::erfc(1.0) * 2.0 * double(frames);
    EXPECT_NEAR(double(g.clipped() - before), expected, 0.03 * expected);
    size_t at_full = 0;
    for (int32_t v : s)
        at_full += v == INT32_MAX || v == INT32_MIN;
    EXPECT_EQ(at_full, g.clipped() - before);
}

TEST(Generator, SweepFollowsTheSynchronizedFormulaAndRepeats)
{
    const double rate = 48000.0, f1 = 20.0, f2 = 20000.0, nominal = 5.0;
    Generator g;
    ASSERT_TRUE(g.setup(rate, 32));
    GeneratorSettings s;
    s.signal = GeneratorSignal::Sweep;
    s.level_db = -6.0;
    s.sweep_start = f1;
    s.sweep_end = f2;
    s.sweep_length = nominal;
    g.set(s);
    g.switch_on(false);
    g.switch_on(true);
    const double L = std::round(nominal * f1 / std::log(f2 / f1)) / f1;
    const double duration = L * std::log(f2 / f1);
    // A whole number of cycles of f1 in L: within half of one of the nominal length.
    ASSERT_NEAR(duration, nominal, 0.5 * std::log(f2 / f1) / f1);
    ASSERT_LT(duration, nominal);   // 14 cycles, not 14.48
    const size_t period = size_t(std::floor(duration * rate));
    const std::vector<double> x = channel(run(g, period + 48000), 0);
    const double a = std::pow(10.0, -6.0 / 20.0);
    // Past the ramp and before the sweep's end fade, sample by sample.
    double worst = 0.0;
    for (size_t n = 480; n + 480 < period; ++n) {
        const double t = double(n) / rate;
        const double expected = a * std::sin(2.0 * pi * f1 * L * (std::exp(t / L) - 1.0));
        worst = std::max(worst, std::fabs(x[n] - expected));
    }
    EXPECT_LT(worst, 1e-7);
    // The instantaneous frequency f1 e^(t/L), between zero crossings (whole
    // cycles) ta and tb: its mean f1 L (e^(tb/L) - e^(ta/L)) / (tb - ta).
    for (double t : {0.5, 2.5, 4.5}) {
        const size_t from = size_t(t * rate);
        std::vector<double> crossings;
        for (size_t n = from; n < from + 4800 && n + 1 < x.size(); ++n)
            if (x[n] < 0.0 && x[n + 1] >= 0.0)
                crossings.push_back((double(n) + x[n] / (x[n] - x[n + 1])) / rate);
        ASSERT_GE(crossings.size(), 3u);
        const double ta = crossings.front(), tb = crossings.back();
        const double measured = double(crossings.size() - 1) / (tb - ta);
        const double expected = f1 * L * (std::exp(tb / L) - std::exp(ta / L)) / (tb - ta);
        EXPECT_NEAR(measured / expected, 1.0, 1e-4) << "at " << t << " s";
    }
    // The next sweep starts over (the first was faded in by the switch on).
    for (size_t n = 480; n < 48000; ++n)
        ASSERT_NEAR(x[period + n], x[n], 1e-9) << n;
}

TEST(Generator, RampsMakeNoStepLargerThanTheSignalsOwn)
{
    const double rate = 48000.0, f = 1000.0;
    const size_t ramp = 480;
    Generator g;
    ASSERT_TRUE(g.setup(rate, 32));
    g.set(sine(f, 0.0));
    const double own = 2.0 * std::sin(pi * f / rate);   // a full-scale sine's largest step
    // Off: silence.
    std::vector<double> x = channel(run(g, 1000), 0);
    EXPECT_EQ(largest_step(x, 0, x.size()), 0.0);
    // On: the level reached after 10 ms, no step beyond the sine's.
    g.switch_on(true);
    x = channel(run(g, 4800), 0);
    EXPECT_LE(largest_step(x, 0, x.size()), own * 1.0001);
    double peak_early = 0, peak_late = 0;
    for (size_t n = 0; n < 48; ++n)
        peak_early = std::max(peak_early, std::fabs(x[n]));
    for (size_t n = ramp; n < 4800; ++n)
        peak_late = std::max(peak_late, std::fabs(x[n]));
    EXPECT_LT(peak_early, 0.05);
    EXPECT_NEAR(peak_late, 1.0, 1e-6);
    // A change of level from 0 to -20 dBFS fades; then a change of signal.
    g.set(sine(f, -20.0));
    x = channel(run(g, 4800), 0);
    EXPECT_LE(largest_step(x, 0, x.size()), own * 1.0001);
    peak_late = 0;
    for (size_t n = ramp; n < 4800; ++n)
        peak_late = std::max(peak_late, std::fabs(x[n]));
    EXPECT_NEAR(peak_late, 0.1, 1e-6);
    g.set(noise(GeneratorSignal::Pink, -20.0));
    x = channel(run(g, 4800), 0);
    // Faded out within 10 ms: some sample nearly silent between the two.
    double quietest = 1.0;
    for (size_t n = ramp - 10; n < ramp + 10; ++n)
        quietest = std::min(quietest, std::fabs(x[n]));
    EXPECT_LT(quietest, 1e-3);
    // Off: silent after 10 ms, exactly.
    g.switch_on(false);
    x = channel(run(g, 4800), 0);
    for (size_t n = ramp + 1; n < x.size(); ++n)
        ASSERT_EQ(x[n], 0.0) << n;
    EXPECT_TRUE(g.silent());
}

TEST(Generator, ChannelsAndDither)
{
    const double rate = 48000.0;
    Generator g;
    ASSERT_TRUE(g.setup(rate, 16, 5));
    // A sine far below one LSB: TPDF dither spreads it over -1 .. +1 LSB,
    // +-1 each a quarter of the time over two (the triangle beyond +-0.5).
    g.set(sine(1000.0, -120.0));
    g.switch_on(true);
    run(g, 4800);
    std::vector<int32_t> s = run(g, 100000);
    size_t ones = 0;
    for (int32_t v : s) {
        ASSERT_EQ(v % 65536, 0);
        ASSERT_LE(std::abs(v / 65536), 1);
        ones += v != 0;
    }
    EXPECT_NEAR(double(ones) / double(s.size()), 0.25, 0.01);
    // Without dither it rounds to silence.
    GeneratorSettings quiet = sine(1000.0, -120.0);
    quiet.dither = false;
    g.set(quiet);
    s = run(g, 10000);
    for (int32_t v : s)
        ASSERT_EQ(v, 0);
    // Left, right, inverted.
    GeneratorSettings c = sine(1000.0, -6.0);
    c.channels = GeneratorChannels::Left;
    g.set(c);
    run(g, 4800);
    s = run(g, 4800);
    for (size_t i = 0; i < 4800; ++i)
        ASSERT_EQ(s[2 * i + 1], 0);
    EXPECT_GT(largest_step(channel(s, 0), 0, 4800), 0.01);
    c.channels = GeneratorChannels::Right;
    g.set(c);
    run(g, 4800);
    s = run(g, 4800);
    for (size_t i = 0; i < 4800; ++i)
        ASSERT_EQ(s[2 * i], 0);
    c.channels = GeneratorChannels::Inverted;
    c.level_db = 0.0;
    g.set(c);
    run(g, 4800);
    s = run(g, 4800);
    for (size_t i = 0; i < 4800; ++i)
        ASSERT_EQ(s[2 * i + 1] >> 16, std::min(32767, -(s[2 * i] >> 16))) << i;
}

TEST(Generator, RefusesWidthsAndRatesItCannotMake)
{
    Generator g;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(g.setup(48000.0, 24));
    EXPECT_FALSE(g.setup(100.0, 16));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2);
    EXPECT_EQ(err.rfind("error: ", 0), 0u);
}
