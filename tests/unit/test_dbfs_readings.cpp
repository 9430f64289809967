// Readings in dBFS without a display: a sine reads its amplitude at every
// block length and alpha, the interpolated peak lies on the tone, an offset
// leaves no trace, and linear columns show their components' highest bar.
#include <gtest/gtest.h>

#include "analyser_test_util.h"

#include <cmath>
#include <vector>

namespace {

const double pi = std::acos(-1.0);

// n frames of a sine of amplitude a (full scale 1) at f Hz, plus a constant
// offset, on the left channel at 44100 Hz; the right is silent.
std::vector<int32_t> sine(unsigned int n, double f, double a, double offset = 0.0)
{
    std::vector<int32_t> block(2 * n);
    for (unsigned int i = 0; i < n; ++i)
        block[2 * i] = int32_t(std::lround((offset + a * std::sin(2 * pi * f * i / 44100.0)) * 2147483647.0));
    return block;
}

struct DbfsAnalyser : TestAnalyser {
    DbfsAnalyser(unsigned int n, unsigned int width, double alpha = 20.0) : TestAnalyser(n, 44100, width, 250, alpha)
    {
        a.dbfs = true;
        a.build_maps();
        in.dcadjust = true;
    }
    void run(const std::vector<int32_t>& block) { a.compute_spectrum(block.data(), Analyser::Left, in); }
};

} // namespace

// A -6.02 dBFS sine centred on component k reads -6.02 dB there at any
// length and alpha, and its frequency k * rate / n.
TEST(DbfsReadings, SineReadsItsAmplitudeAtEveryLength)
{
    default_range();
    const double amplitude = std::pow(10.0, -6.02 / 20);
    for (unsigned int n : {128u, 1024u, 2048u, 16384u, 65536u})
        for (double alpha : {0.0, 20.0, 50.0})
            for (unsigned int k : {8u, n / 4 + 1, n / 2 - 8}) {
                DbfsAnalyser t(n, 1025, alpha);
                t.run(sine(n, k * 44100.0 / n, amplitude));
                EXPECT_NEAR(t.a.level[k], -6.02, 0.01) << n << " alpha " << alpha << " k " << k;
                EXPECT_DOUBLE_EQ(t.a.fc2f(k), k * 44100.0 / n);
            }
}

// Tones between components: the label's frequency and level within 0.02
// of a component spacing and 0.05 dB of the truth at the default alpha.
TEST(DbfsReadings, PeakIsInterpolatedBetweenComponents)
{
    default_range();
    for (unsigned int n : {2048u, 16384u})
        for (double f : {997.3, 1000.0}) {
            DbfsAnalyser t(n, 1025);
            t.a.peak_search = true;
            t.a.markers[0] = 0;
            t.a.markers[1] = 1024;
            t.run(sine(n, f, 0.5));
            const double spacing = 44100.0 / n;
            EXPECT_NEAR(t.a.peak_read_freq, f, 0.02 * spacing) << n << " " << f;
            EXPECT_NEAR(t.a.peak_read_level, 20 * std::log10(0.5), 0.05) << n << " " << f;
            // The component's own level is below it (scalloping), never above.
            EXPECT_LE(t.a.peak_level, t.a.peak_read_level + 1e-9);
        }
}

// With DC removal an offset of a tenth of full scale changes no level
// after clamping, and component 0 stays at the bottom of the range.
TEST(DbfsReadings, OffsetLeavesNoTrace)
{
    default_range();
    DbfsAnalyser plain(2048, 1025), offset(2048, 1025);
    plain.run(sine(2048, 659.0, 0.3));
    offset.run(sine(2048, 659.0, 0.3, -0.1));
    EXPECT_EQ(offset.a.level[0], -100.0);
    for (unsigned int k = 0; k < 1025; ++k)
        ASSERT_NEAR(offset.a.level[k], plain.a.level[k], 0.01) << k;
}

// Narrower than the components: each column's bar is the highest of the
// components whose frequency falls on it, so a tone shows at its column.
TEST(DbfsReadings, LinearColumnsShowTheirHighestComponent)
{
    default_range();
    const unsigned int width = 300, nf = 8193;
    DbfsAnalyser t(16384, width);
    t.run(sine(16384, 1001 * 44100.0 / 16384, 0.5));
    std::vector<int> top(width, 1 << 20);
    for (unsigned int fc = 0; fc < nf; ++fc) {
        const long sx = std::lround(double(width - 1) * fc / (nf - 1));
        top[size_t(sx)] = std::min<int>(top[size_t(sx)], t.a.bar_y[fc]);
    }
    for (unsigned int sx = 0; sx < width; ++sx)
        ASSERT_EQ(t.a.column_y[sx], top[sx]) << sx;
    EXPECT_EQ(t.a.column_y[std::lround(299.0 * 1001 / 8192)], t.a.db2sy(-6.02));
}

// 32-bit samples reach below the 16-bit floor: with lowerdb at -160 a sine
// at -130 dBFS reads -130 dB, while the same sine in 16-bit samples (which
// round it to nothing) leaves the display at lowerdb; dither of one 32-bit
// step reads below -140 dB everywhere.
TEST(DbfsReadings, ThirtyTwoBitSamplesReachDownToLowerdb)
{
    default_range();
    app_resources.lowerdb = -160.0f;
    const unsigned int n = 4096, k = 300;
    const double amplitude = std::pow(10.0, -130.0 / 20);
    DbfsAnalyser wide(n, 1025);
    wide.run(sine(n, k * 44100.0 / n, amplitude));
    EXPECT_NEAR(wide.a.level[k], -130.0, 0.05);

    std::vector<int32_t> narrow_block = sine(n, k * 44100.0 / n, amplitude);
    for (int32_t& v : narrow_block)
        v = int32_t(std::lround(v / 65536.0)) * 65536;
    DbfsAnalyser narrow(n, 1025);
    narrow.run(narrow_block);
    EXPECT_EQ(narrow.a.level[k], -160.0);

    std::vector<int32_t> dither(2 * n);
    uint32_t x = 1;
    for (unsigned int i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        dither[2 * i] = int32_t(x >> 31) * 2 - 1;
    }
    DbfsAnalyser floor(n, 1025);
    floor.run(dither);
    for (unsigned int c = 1; c < n / 2; ++c)
        ASSERT_LT(floor.a.level[c], -140.0) << c;
    default_range();
}
