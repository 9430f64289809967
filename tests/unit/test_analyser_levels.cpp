// Levels of the Analyser: window, channel mix, DC removal, dB, decay and
// clamping, checked against the spectrum evaluated directly from its
// definition in long double.
// gtest before the X headers, whose macros clash with its names.
#include <gtest/gtest.h>

#include "analyser_test_util.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

// Every allocation through operator new is counted, to show that a block
// allocates nothing.
static std::atomic<long> allocations{0};

void* operator new(std::size_t size)
{
    ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    ++allocations;
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& t) noexcept { return operator new(size, t); }
// Out of line, so that the compiler does not pair an inlined new
// expression with free() and warn about it.
__attribute__((noinline)) static void release(void* p) { std::free(p); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace {

const long double pi_l = 3.141592653589793238462643383279502884L;
const double K = 2147483647.0;

using Block = std::vector<int32_t>;

// A sine of the given amplitude (in 32-bit sample units) at component k,
// rounded to whole samples.
std::vector<int32_t> sine(unsigned int n, unsigned int k, double amplitude)
{
    std::vector<int32_t> s(n);
    for (unsigned int i = 0; i < n; ++i)
        s[i] = static_cast<int32_t>(std::lrint(amplitude * std::sin(2.0 * M_PI * k * i / n)));
    return s;
}

Block stereo(const std::vector<int32_t>& left, const std::vector<int32_t>& right)
{
    Block b(2 * left.size());
    for (size_t i = 0; i < left.size(); ++i) {
        b[2 * i] = left[i];
        b[2 * i + 1] = right[i];
    }
    return b;
}

// Gaussian window exp(-alpha t^2), t = (i - n/2)/n on the first half,
// mirrored, and scaled to a sum of n.
std::vector<long double> window(unsigned int n, double alpha)
{
    std::vector<long double> g(n);
    const unsigned int h = n / 2;
    long double sum = 0.0L;
    for (unsigned int i = 0; i < h; ++i) {
        const long double t = (static_cast<long double>(i) - h) / n;
        g[i] = g[n - 1 - i] = std::exp(-static_cast<long double>(alpha) * t * t);
        sum += 2.0L * g[i];
    }
    for (long double& v : g)
        v *= n / sum;
    return g;
}

// 10 log10 |X_k|^2 - 27.1 of the windowed signal x (already scaled to full
// scale 1), X_k with the positive exponent and 1/sqrt(n).
double reference_level(const std::vector<long double>& x, const std::vector<long double>& g, unsigned int k)
{
    const size_t n = x.size();
    long double re = 0.0L, im = 0.0L;
    for (size_t j = 0; j < n; ++j) {
        const long double a = 2.0L * pi_l * static_cast<long double>((j * k) % n) / n;
        re += x[j] * g[j] * std::cos(a);
        im += x[j] * g[j] * std::sin(a);
    }
    const long double p = (re * re + im * im) / n;
    return static_cast<double>(10.0L * std::log10(p) - 27.1L);
}

std::vector<long double> scaled(const std::vector<int32_t>& s)
{
    std::vector<long double> x(s.size());
    for (size_t i = 0; i < s.size(); ++i)
        x[i] = s[i] / static_cast<long double>(K);
    return x;
}

class Levels : public testing::Test {
protected:
    void SetUp() override { default_range(); }
};

} // namespace

TEST_F(Levels, FullScaleSineInLeftChannelIsNearZeroDb)
{
    const unsigned int n = 2048;
    TestAnalyser t(n, 44100, 1025, 250);
    const std::vector<int32_t> tone = sine(n, 100, K);
    const Block block = stereo(tone, std::vector<int32_t>(n, 0));
    t.a.compute_spectrum(block.data(), Analyser::Left, t.in);

    const std::vector<long double> g = window(n, 20.0);
    EXPECT_NEAR(t.a.level[100], reference_level(scaled(tone), g, 100), 1e-9);
    EXPECT_NEAR(t.a.level[100], -0.0073, 5e-5);
    // The window spreads the tone over its neighbours only.
    EXPECT_NEAR(t.a.level[99], reference_level(scaled(tone), g, 99), 1e-6);
    EXPECT_EQ(t.a.level[300], -100.0);

    // The right channel is silent.
    TestAnalyser r(n, 44100, 1025, 250);
    r.a.compute_spectrum(block.data(), Analyser::Right, r.in);
    for (unsigned int k = 0; k < r.a.num_fft; ++k)
        ASSERT_EQ(r.a.level[k], -100.0) << k;
}

TEST_F(Levels, MonoOfEqualChannelsDependsOnBlockLength)
{
    for (unsigned int n : {2048u, 1024u}) {
        SCOPED_TRACE(n);
        TestAnalyser t(n, 44100, n / 2 + 1, 250);
        const unsigned int k = 100 * n / 2048;
        const std::vector<int32_t> tone = sine(n, k, K);
        const Block block = stereo(tone, tone);
        t.a.compute_spectrum(block.data(), Analyser::Mono, t.in);
        // Unitary transform: a unit sine has |X_k|^2 = n/4 under a window of mean 1.
        const double expected = 10.0 * std::log10(n / 4.0) - 27.1;
        EXPECT_NEAR(t.a.level[k], expected, 5e-5);
        // The same figures rounded: -0.0073 dB and -3.02 dB.
        if (n == 2048)
            EXPECT_NEAR(t.a.level[k], -0.0073, 5e-5);
        else
            EXPECT_NEAR(t.a.level[k], -3.02, 5e-3);
        EXPECT_NEAR(t.a.level[k], reference_level(scaled(tone), window(n, 20.0), k), 1e-9);
    }
}

TEST_F(Levels, MonoMixOfFullScaleChannelsNeverWraps)
{
    const unsigned int n = 2048;
    TestAnalyser t(n, 44100, 1025, 250);
    const int32_t v = 32767 * 65536;
    const Block block(2 * n, v);
    t.a.load_block(block.data(), Analyser::Mono, t.in);
    const double mean = (2.0 * v) / (2.0 * K);     // 0.99997
    for (unsigned int i = 0; i < n; ++i)
        ASSERT_NEAR(t.a.fft_buf[i], mean * t.a.gauss[i], 1e-15) << i;

    t.a.compute_spectrum(block.data(), Analyser::Mono, t.in);
    // A constant c gives X_0 = c sqrt(n).
    EXPECT_NEAR(t.a.level[0], 10.0 * std::log10(n * mean * mean) - 27.1, 1e-9);

    // The channel means are summed without wrapping as well.
    t.in.dcadjust = true;
    t.in.dc_left = t.in.dc_right = v;
    t.a.compute_spectrum(block.data(), Analyser::Mono, t.in);
    EXPECT_EQ(t.a.level[0], -100.0);
}

TEST_F(Levels, DcRemovalClearsComponentZeroOnly)
{
    const unsigned int n = 2048;
    const int32_t c = 1000 * 65536;
    const std::vector<long double> g = window(n, 20.0);

    // A constant: component 0 shows it without removal, nothing with it.
    {
        TestAnalyser t(n, 44100, 1025, 250);
        const Block block(2 * n, c);
        t.a.compute_spectrum(block.data(), Analyser::Left, t.in);
        EXPECT_NEAR(t.a.level[0], 10.0 * std::log10(n * (c / K) * (c / K)) - 27.1, 1e-9);
        t.in.dcadjust = true;
        t.in.dc_left = c;
        t.a.compute_spectrum(block.data(), Analyser::Left, t.in);
        EXPECT_EQ(t.a.level[0], -100.0);
    }

    // A constant under a tone: every other component is as without removal.
    std::vector<int32_t> left = sine(n, 40, K / 4);
    for (int32_t& s : left)
        s += c;
    const Block block = stereo(left, std::vector<int32_t>(n, 0));
    TestAnalyser off(n, 44100, 1025, 250);
    off.a.compute_spectrum(block.data(), Analyser::Left, off.in);
    TestAnalyser on(n, 44100, 1025, 250);
    on.in.dcadjust = true;
    on.in.dc_left = c;
    on.a.compute_spectrum(block.data(), Analyser::Left, on.in);
    EXPECT_LT(on.a.level[0], off.a.level[0] - 30.0);
    for (unsigned int k = 1; k < on.a.num_fft; ++k)
        ASSERT_NEAR(on.a.level[k], off.a.level[k], 1e-6) << k;
    EXPECT_NEAR(on.a.level[40], reference_level(scaled(left), g, 40), 1e-9);
}

TEST_F(Levels, SilenceAndOutOfRangeLevelsAreClamped)
{
    const unsigned int n = 2048;
    TestAnalyser t(n, 44100, 1025, 250);
    const Block zero(2 * n, 0);
    t.a.compute_spectrum(zero.data(), Analyser::Mono, t.in);
    for (unsigned int k = 0; k < t.a.num_fft; ++k) {
        ASSERT_EQ(t.a.level[k], -100.0) << k;
        ASSERT_EQ(t.a.bar_y[k], 249) << k;
    }

    // A full-scale tone against a ceiling of -10 dB stops at the ceiling.
    t.in.upperdb = -10.0f;
    const Block block = stereo(sine(n, 100, K), sine(n, 100, K));
    t.a.compute_spectrum(block.data(), Analyser::Left, t.in);
    EXPECT_EQ(t.a.level[100], -10.0);
    EXPECT_EQ(t.a.bar_y[100], 0);
    for (unsigned int k = 0; k < t.a.num_fft; ++k) {
        ASSERT_GE(t.a.level[k], -100.0) << k;
        ASSERT_LE(t.a.level[k], -10.0) << k;
    }
}

TEST_F(Levels, BarTopIsRowOfLevel)
{
    const unsigned int n = 2048;
    TestAnalyser t(n, 44100, 1025, 250);
    const Block block = stereo(sine(n, 100, K / 100), sine(n, 100, K / 100));
    t.a.compute_spectrum(block.data(), Analyser::Left, t.in);
    for (unsigned int k = 90; k <= 110; ++k) {
        const double row = std::rint(249.0 * (t.a.level[k] - 10.0) / (-110.0));
        ASSERT_EQ(t.a.bar_y[k], static_cast<int16_t>(row)) << k;
    }
}

TEST_F(Levels, DecayLimitsTheFallPerBlock)
{
    const unsigned int n = 2048;
    TestAnalyser t(n, 44100, 1025, 250);
    t.a.set_decay(48.0);
    const Block loud = stereo(sine(n, 100, K), std::vector<int32_t>(n, 0));
    const Block zero(2 * n, 0);
    const double step = 48.0 / (44100.0 / 2048.0);   // 2.229 dB per block
    EXPECT_NEAR(step, 2.229, 5e-4);

    t.in.first_block = true;
    t.a.compute_spectrum(loud.data(), Analyser::Left, t.in);
    const double top = t.a.level[100];
    const int16_t top_row = t.a.bar_y[100];

    t.in.first_block = false;
    t.a.compute_spectrum(zero.data(), Analyser::Left, t.in);
    EXPECT_NEAR(t.a.level[100], top - step, 1e-12);
    EXPECT_EQ(t.a.old_bar_y[100], top_row);
    t.a.compute_spectrum(zero.data(), Analyser::Left, t.in);
    EXPECT_NEAR(t.a.level[100], top - 2 * step, 1e-12);

    // A rising level follows at once.
    t.a.compute_spectrum(loud.data(), Analyser::Left, t.in);
    EXPECT_EQ(t.a.level[100], top);

    // The first block after a start ignores the higher levels before it.
    t.in.first_block = true;
    t.a.compute_spectrum(zero.data(), Analyser::Left, t.in);
    for (unsigned int k = 0; k < t.a.num_fft; ++k)
        ASSERT_EQ(t.a.level[k], -100.0) << k;
    // Every later start does the same.
    t.in.first_block = false;
    t.a.compute_spectrum(loud.data(), Analyser::Left, t.in);
    t.in.first_block = true;
    t.a.compute_spectrum(zero.data(), Analyser::Left, t.in);
    EXPECT_EQ(t.a.level[100], -100.0);
}

TEST_F(Levels, DecayStartsFromTheClampedLevel)
{
    const unsigned int n = 2048;
    TestAnalyser t(n, 44100, 1025, 250);
    t.in.upperdb = -10.0f;
    t.a.set_decay(48.0);
    const Block loud = stereo(sine(n, 100, K), std::vector<int32_t>(n, 0));
    const Block zero(2 * n, 0);
    t.in.first_block = true;
    t.a.compute_spectrum(loud.data(), Analyser::Left, t.in);
    t.in.first_block = false;
    t.a.compute_spectrum(zero.data(), Analyser::Left, t.in);
    EXPECT_NEAR(t.a.level[100], -10.0 - 48.0 * 2048.0 / 44100.0, 1e-12);
}

TEST_F(Levels, NoDecayHoldsTheMaximum)
{
    const unsigned int n = 2048;
    TestAnalyser t(n, 44100, 1025, 250);
    t.a.set_decay(0.0);
    t.in.first_block = true;
    const Block first = stereo(sine(n, 100, K / 2), std::vector<int32_t>(n, 0));
    t.a.compute_spectrum(first.data(), Analyser::Left, t.in);
    std::vector<double> held(t.a.level.get(), t.a.level.get() + t.a.num_fft);
    t.in.first_block = false;
    for (int b = 1; b <= 5; ++b) {
        const Block quieter = stereo(sine(n, 100, K / (2 << b)), std::vector<int32_t>(n, 0));
        t.a.compute_spectrum(quieter.data(), Analyser::Left, t.in);
    }
    for (unsigned int k = 0; k < t.a.num_fft; ++k)
        ASSERT_EQ(t.a.level[k], held[k]) << k;
}

TEST_F(Levels, GaussianWindow)
{
    const unsigned int n = 2048;
    TestAnalyser t(n, 44100, 1025, 250, 20.0);
    const std::vector<long double> g = window(n, 20.0);
    EXPECT_NEAR(t.a.gauss[1023], 2.53018, 5e-6);
    EXPECT_NEAR(t.a.gauss[1024], 2.53018, 5e-6);
    EXPECT_NEAR(t.a.gauss[0], 0.0170483, 5e-8);
    EXPECT_NEAR(t.a.gauss[2047], 0.0170483, 5e-8);
    long double sum = 0.0L;
    for (unsigned int i = 0; i < n; ++i) {
        ASSERT_NEAR(t.a.gauss[i], static_cast<double>(g[i]), 1e-13) << i;
        ASSERT_EQ(t.a.gauss[i], t.a.gauss[n - 1 - i]) << i;
        sum += t.a.gauss[i];
    }
    EXPECT_NEAR(static_cast<double>(sum), static_cast<double>(n), 1e-9);

    // alpha 0: the rectangular window.
    t.a.set_alpha(0.0);
    for (unsigned int i = 0; i < n; ++i)
        ASSERT_EQ(t.a.gauss[i], 1.0) << i;
}

TEST_F(Levels, AlphaBeforeInitialisationIsOnlyStored)
{
    sampler.length = 1024;
    Analyser a;
    a.set_alpha(7.5);
    a.set_decay(12.0);
    EXPECT_EQ(a.alpha, 7.5);
    EXPECT_EQ(a.decay, 12.0);
    EXPECT_EQ(a.gauss.get(), nullptr);

    // The window computed at initialisation uses the stored alpha.
    a.width = 513;
    a.height = 100;
    a.setup_arrays();
    a.build_maps();
    a.compute_gauss();
    const std::vector<long double> g = window(1024, 7.5);
    for (unsigned int i = 0; i < 1024; ++i)
        ASSERT_NEAR(a.gauss[i], static_cast<double>(g[i]), 1e-13) << i;

    // Initialised, a new alpha takes effect at once.
    a.initialised = true;
    a.set_alpha(0.0);
    EXPECT_EQ(a.gauss[0], 1.0);
    EXPECT_EQ(a.gauss[511], 1.0);
}

TEST_F(Levels, FreshArraysStartAtTheBottom)
{
    app_resources.lowerdb = -80.0f;
    TestAnalyser t(256, 8000, 129, 100);
    for (unsigned int k = 0; k < t.a.num_fft; ++k) {
        ASSERT_EQ(t.a.level[k], -80.0);
        ASSERT_EQ(t.a.bar_y[k], 99);
        ASSERT_EQ(t.a.old_bar_y[k], 99);
    }
    EXPECT_EQ(t.a.num_fft, 129u);
    EXPECT_EQ(t.a.peak_freq, 0.0);
    EXPECT_EQ(t.a.peak_level, -80.0);
}

TEST_F(Levels, ArraysAreAllocatedOnce)
{
    TestAnalyser t(2048, 44100, 1025, 250);
    const double* buf = t.a.fft_buf.get();
    const double* lv = t.a.level.get();
    // Even a changed block length does not resize what exists.
    sampler.length = 4096;
    t.a.setup_arrays();
    EXPECT_EQ(t.a.fft_buf.get(), buf);
    EXPECT_EQ(t.a.level.get(), lv);
    EXPECT_EQ(t.a.num_fft, 1025u);
    const Block block(2 * 4096, 1 << 20);
    t.a.compute_spectrum(block.data(), Analyser::Mono, t.in);   // must stay within its arrays
    EXPECT_GT(t.a.level[0], -100.0);
}

TEST_F(Levels, DegenerateWindowKeepsLevelsInRange)
{
    // A strongly negative alpha overflows the window to inf and NaN.
    TestAnalyser t(2048, 44100, 1025, 250, -1e6);
    const Block block = stereo(sine(2048, 100, K), sine(2048, 100, K));
    t.a.compute_spectrum(block.data(), Analyser::Mono, t.in);
    for (unsigned int k = 0; k < t.a.num_fft; ++k) {
        ASSERT_GE(t.a.level[k], -100.0) << k;
        ASSERT_LE(t.a.level[k], 10.0) << k;
        ASSERT_GE(t.a.bar_y[k], 0) << k;
        ASSERT_LE(t.a.bar_y[k], 249) << k;
    }
}

TEST_F(Levels, ProcessBlockBeforeInitialisationChangesNothing)
{
    const unsigned int n = 2048;
    TestAnalyser t(n, 44100, 1025, 250);
    t.a.initialised = false;
    block_inputs = t.in;
    const std::vector<double> level(t.a.level.get(), t.a.level.get() + t.a.num_fft);
    const std::vector<double> buf(t.a.fft_buf.get(), t.a.fft_buf.get() + n);
    const std::vector<int16_t> old(t.a.old_bar_y.get(), t.a.old_bar_y.get() + t.a.num_fft);
    const Block loud = stereo(sine(n, 100, K), sine(n, 100, K));
    EXPECT_FALSE(t.a.process_block(loud.data(), Analyser::Mono, false));
    EXPECT_EQ(std::vector<double>(t.a.level.get(), t.a.level.get() + t.a.num_fft), level);
    EXPECT_EQ(std::vector<double>(t.a.fft_buf.get(), t.a.fft_buf.get() + n), buf);
    EXPECT_EQ(std::vector<int16_t>(t.a.old_bar_y.get(), t.a.old_bar_y.get() + t.a.num_fft), old);

    // An object that was never set up drops the block as well.
    Analyser fresh;
    EXPECT_FALSE(fresh.process_block(loud.data(), Analyser::Left, false));
    EXPECT_EQ(fresh.level.get(), nullptr);
    EXPECT_EQ(fresh.num_fft, 0u);

    t.a.initialised = true;
    EXPECT_TRUE(t.a.process_block(loud.data(), Analyser::Mono, false));
    EXPECT_NEAR(t.a.level[100], -0.0073, 5e-5);
}

TEST_F(Levels, PeakSearchFollowsEachBlock)
{
    const unsigned int n = 2048;
    TestAnalyser t(n, 44100, 1025, 250);
    t.a.markers[0] = 0;
    t.a.markers[1] = 1024;
    t.a.peak_search = true;
    const Block block = stereo(sine(n, 116, K / 2), std::vector<int32_t>(n, 0));
    t.a.compute_spectrum(block.data(), Analyser::Left, t.in);
    EXPECT_EQ(t.a.peak_level, t.a.level[116]);
    EXPECT_NEAR(t.a.peak_freq, 116.5 / 1025 * 22050, 1e-9);
}

TEST_F(Levels, BlocksAllocateNothing)
{
    const unsigned int n = 2048;
    TestAnalyser left(n, 44100, 1025, 250);
    TestAnalyser right(n, 44100, 1025, 250);
    left.a.set_decay(48.0);
    right.a.set_decay(48.0);
    left.a.markers[0] = right.a.markers[0] = 0;
    left.a.markers[1] = right.a.markers[1] = 1024;
    left.a.peak_search = right.a.peak_search = true;
    const Block block = stereo(sine(n, 100, K / 3), sine(n, 333, K / 5));

    block_inputs = left.in;
    const long before = allocations.load();
    for (int b = 0; b < 1000; ++b) {
        block_inputs.first_block = b == 0;
        left.a.process_block(block.data(), Analyser::Left, false);
        right.a.process_block(block.data(), Analyser::Right, false);
    }
    const long during = allocations.load() - before;
    EXPECT_EQ(during, 0);

    // The counter does count: the set-up allocated.
    const long start = allocations.load();
    TestAnalyser third(n, 44100, 1025, 250);
    EXPECT_GE(allocations.load() - start, 7);
}
