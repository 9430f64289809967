// The transfer-function estimator and the delay finder on generated
// signals, fed in blocks as the sampler delivers them; expected values
// come from the filter's own response and from the definitions.
#include "transfer/Transfer.h"

#include "tests/unit/transfer_signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace transfer_test;

namespace {

// Feeds the stereo samples in blocks of frames widened samples; the
// lines the delay finder wrote go into lines.
void feed(Transfer& t, const std::vector<int16_t>& s, unsigned frames, std::string* lines = nullptr)
{
    std::vector<int32_t> block(2 * frames);
    for (size_t at = 0; at + 2 * frames <= s.size(); at += 2 * frames) {
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = int32_t(s[at + i]) * 65536;
        testing::internal::CaptureStderr();
        t.add_block(block.data(), frames);
        std::fputs(describe_delay(t.take_finder_result(), int(rate)).c_str(), stderr);
        const std::string err = testing::internal::GetCapturedStderr();
        if (lines)
            *lines += err;
    }
}

unsigned component(double f, unsigned length)
{
    return unsigned(std::lround(f * length / rate));
}

double db(std::complex<double> h)
{
    return 20 * std::log10(std::abs(h));
}

}  // namespace

// With independent noise of the same power through the same filter the
// coherence is 1/2 everywhere while H1 still finds the filter; the delay
// finder sees through the noise, and blocks of any length make the same
// frames.
TEST(Transfer, NoiseHalvesTheCoherenceButNotH1)
{
    const std::vector<int16_t> s = measurement(441, true);
    Transfer t;
    ASSERT_TRUE(t.setup(16384));
    t.set_averaging(0);
    t.set_smoothing(0);
    ASSERT_TRUE(t.find_delay());
    std::string lines;
    feed(t, s, 1000, &lines);
    EXPECT_EQ(lines, "delay: 441 samples (10.000 ms)\n");
    EXPECT_EQ(t.delay(), 441u);

    std::vector<double> coherence;
    for (unsigned k = component(20, 16384); k <= component(10000, 16384); ++k)
        coherence.push_back(t.at(k).coherence);
    std::nth_element(coherence.begin(), coherence.begin() + coherence.size() / 2, coherence.end());
    EXPECT_NEAR(coherence[coherence.size() / 2], 0.5, 0.05);
    const unsigned k1 = component(1000, 16384);
    EXPECT_NEAR(t.at(k1).magnitude_db, db(lowpass.response(k1 * rate / 16384)), 0.5);
}

// The delay finder: a delay beyond its search gives no clear peak and
// leaves D alone; a measurement that leads is found but not applied.
TEST(Transfer, DelayFinderRefusesWhatItCannotSee)
{
    for (auto [delay, swap, line] :
         {std::tuple{20000, false, std::string("delay: no clear delay found, still 0 samples (0.000 ms)\n")},
          std::tuple{300, true, std::string("delay: the measurement leads by 300 samples (6.803 ms); only the "
                                            "reference can be delayed, still 0 samples\n")}}) {
        std::vector<int16_t> s = measurement(size_t(delay), false, 8.0);
        if (swap)
            for (size_t i = 0; i < s.size(); i += 2)
                std::swap(s[i], s[i + 1]);
        Transfer t;
        ASSERT_TRUE(t.setup(4096));
        ASSERT_TRUE(t.find_delay());
        std::string lines;
        feed(t, s, 2048, &lines);
        EXPECT_EQ(lines, line) << delay;
        EXPECT_EQ(t.delay(), 0u);
    }
}

// A pure delay of 5 samples left in place: the phase falls by 360 * f * 5
// / rate degrees, negative as the measurement lags; turned round (the
// reference delayed by more than the path) it rises. Exponential averaging
// keeps one frame at coherence 1, smoothing over 1/3 octave still gives
// the filter's smooth magnitude, and a reset starts the count afresh.
TEST(Transfer, PhaseSignAveragingAndSmoothing)
{
    const std::vector<int16_t> s = measurement(5, false, 4.0);
    Transfer t;
    ASSERT_TRUE(t.setup(8192));
    feed(t, s, 2048);
    const unsigned k = component(500, 8192);
    const double f = k * rate / 8192;
    const double lag = std::arg(lowpass.response(f)) * 180 / pi - 360 * f * 5 / rate;
    EXPECT_NEAR(t.at(k).phase_deg, lag, 1.0);
    EXPECT_GT(t.at(k).coherence, 0.99);

    t.set_delay(12);
    EXPECT_EQ(t.frames(), 0u);
    t.set_smoothing(3);
    feed(t, s, 2048);
    EXPECT_EQ(t.frames(), (s.size() / 2 / 2048 * 2048 - 8192) / 4096 + 1);
    EXPECT_NEAR(t.at(k).phase_deg, std::arg(lowpass.response(f)) * 180 / pi + 360 * f * 7 / rate, 1.0);
    const unsigned k2 = component(2000, 8192);
    EXPECT_NEAR(t.at(k2).magnitude_db, db(lowpass.response(k2 * rate / 8192)), 0.3);

    t.reset();
    t.set_smoothing(0);
    feed(t, std::vector<int16_t>(s.begin(), s.begin() + 2 * 8192), 2048);
    EXPECT_EQ(t.frames(), 1u);
    EXPECT_NEAR(t.at(k).coherence, 1.0, 1e-9);
}

// One frame against the estimator's definition, evaluated here with a
// naive DFT in long double: Hann window, Sxy = conj(X) Y summed over the
// components within 1/6 octave either side (1/3-octave smoothing), and
// over a wider range as a display column asks; independent noise in the
// measurement keeps the bands' coherence below 1.
TEST(Transfer, OneFrameMatchesTheDefinition)
{
    constexpr unsigned n = 2048;
    std::vector<int16_t> s(2 * 3000);
    uint32_t seed = 7;
    auto uniform = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return double(seed >> 8) / double(1u << 23) - 1.0;
    };
    double previous = 0;
    for (size_t i = 0; i < s.size(); i += 2) {
        const double x = 8000 * uniform();
        s[i] = int16_t(std::lround(x));
        s[i + 1] = int16_t(std::lround(0.5 * x + 0.3 * previous + 2000 * uniform()));
        previous = x;
    }
    Transfer t;
    ASSERT_TRUE(t.setup(n));
    t.set_smoothing(3);
    // 500 pairs, a reset, then 2500: the frame is the first n pairs after
    // the reset, begun 500 places into the ring.
    feed(t, std::vector<int16_t>(s.begin(), s.begin() + 2 * 500), 500);
    t.reset();
    feed(t, std::vector<int16_t>(s.begin() + 2 * 500, s.end()), 500);
    ASSERT_EQ(t.frames(), 1u);

    std::vector<std::complex<long double>> X(n / 2 + 1), Y(n / 2 + 1);
    for (unsigned k = 0; k <= n / 2; ++k)
        for (unsigned i = 0; i < n; ++i) {
            const long double w = std::pow(std::sin(pi * i / n), 2);
            const std::complex<long double> e = std::polar(1.0L, -2 * (long double)pi * i * k / n);
            X[k] += (long double)s[2 * (500 + i)] * w * e;
            Y[k] += (long double)s[2 * (500 + i) + 1] * w * e;
        }
    auto check = [&](unsigned k, unsigned lo, unsigned hi, const Transfer::Point& p) {
        long double xx = 0, yy = 0;
        std::complex<long double> xy = 0;
        for (unsigned j = lo; j <= hi; ++j) {
            xx += std::norm(X[j]);
            yy += std::norm(Y[j]);
            xy += std::conj(X[j]) * Y[j];
        }
        SCOPED_TRACE(k);
        EXPECT_NEAR(p.magnitude_db, double(20 * std::log10(std::abs(xy) / xx)), 1e-4);
        EXPECT_NEAR(p.phase_deg, double(std::arg(xy) * 180 / pi), 1e-3);
        EXPECT_NEAR(p.coherence, double(std::norm(xy) / (xx * yy)), 1e-5);
        if (hi > lo) {
            EXPECT_LT(p.coherence, 0.999);   // one frame, one component: 1
        }
    };
    const double half_band = std::pow(2.0, 1.0 / 6);
    for (unsigned k : {3u, 40u, 333u, 1000u}) {
        const unsigned lo = unsigned(std::ceil(k / half_band));
        const unsigned hi = std::min(n / 2, unsigned(std::floor(k * half_band)));
        check(k, lo, hi, t.at(k));
        // A column reaching past the band on both sides
        const unsigned first = lo > 3 ? lo - 3 : 1, last = std::min(n / 2, hi + 30);
        check(k, first, last, t.at(k, first, last));
    }
}

// The first frames of an exponential mean count alike (weight 1/frames up
// to the averaging, then 1/averaging): after each frame the estimate is
// that of the spectra averaged so, each frame's computed here with a naive
// DFT of its Hann-windowed samples, frames overlapping by half.
TEST(Transfer, EarlyFramesCountAlikeThenTheAveragingTakesOver)
{
    constexpr unsigned n = 2048, averaging = 4, frames = 7;
    std::vector<int16_t> s(2 * (n + (frames - 1) * n / 2));
    uint32_t seed = 11;
    auto uniform = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return double(seed >> 8) / double(1u << 23) - 1.0;
    };
    for (size_t i = 0; i < s.size(); i += 2) {
        const double x = 8000 * uniform();
        s[i] = int16_t(std::lround(x));
        s[i + 1] = int16_t(std::lround(0.7 * x + 4000 * uniform()));
    }
    Transfer t;
    ASSERT_TRUE(t.setup(n));
    t.set_smoothing(0);
    t.set_averaging(int(averaging));
    const unsigned ks[] = {5, 100, 700};
    struct Sums {
        long double xx = 0, yy = 0;
        std::complex<long double> xy = 0;
    } mean[3];
    feed(t, std::vector<int16_t>(s.begin(), s.begin() + 2 * n / 2), n / 2);
    for (unsigned f = 1; f <= frames; ++f) {
        const size_t start = size_t(f - 1) * n / 2;
        feed(t, std::vector<int16_t>(s.begin() + 2 * (start + n / 2), s.begin() + 2 * (start + n)), n / 2);
        ASSERT_EQ(t.frames(), f);
        const long double take = 1.0L / std::min(f, averaging);
        for (unsigned j = 0; j < 3; ++j) {
            std::complex<long double> X = 0, Y = 0;
            for (unsigned i = 0; i < n; ++i) {
                const long double w = std::pow(std::sin(pi * i / n), 2);
                const std::complex<long double> e = std::polar(1.0L, -2 * (long double)pi * i * ks[j] / n);
                X += (long double)s[2 * (start + i)] * w * e;
                Y += (long double)s[2 * (start + i) + 1] * w * e;
            }
            Sums& m = mean[j];
            m.xx = (1 - take) * m.xx + take * std::norm(X);
            m.yy = (1 - take) * m.yy + take * std::norm(Y);
            m.xy = (1 - take) * m.xy + take * std::conj(X) * Y;
            const Transfer::Point p = t.at(ks[j]);
            SCOPED_TRACE(testing::Message() << "frame " << f << ", component " << ks[j]);
            EXPECT_NEAR(p.magnitude_db, double(20 * std::log10(std::abs(m.xy) / m.xx)), 1e-6);
            EXPECT_NEAR(p.coherence, double(std::norm(m.xy) / (m.xx * m.yy)), 1e-7);
        }
    }
}

// At 32 bits the frames keep the samples' low bits: a reference of noise
// 110 dB below full scale (nothing at 16 bits) and a measurement of half
// of it (-6.02 dB) with a delay of 3 samples; samples that are 16-bit ones
// give, at 32 bits, what the 16-bit frames give, to the bit.
TEST(Transfer, ThirtyTwoBitFramesKeepTheLowBits)
{
    const unsigned frames = 1024, length = 4096;
    std::vector<int32_t> quiet(2 * frames * 40), loud(quiet.size());
    uint32_t x = 12345;
    std::vector<int32_t> ref(quiet.size() / 2 + 3, 0);
    for (size_t i = 3; i < ref.size(); ++i) {
        x = x * 1664525u + 1013904223u;
        ref[i] = static_cast<int32_t>(static_cast<int16_t>(x >> 16)) * 2;   // about -110 dBFS rms
    }
    for (size_t i = 0; i < quiet.size() / 2; ++i) {
        quiet[2 * i] = ref[i + 3];
        quiet[2 * i + 1] = ref[i] / 2;
        x = x * 1664525u + 1013904223u;
        loud[2 * i] = static_cast<int16_t>(x >> 16) * 65536;
        loud[2 * i + 1] = (static_cast<int16_t>(x >> 16) / 2) * 65536;
    }
    Transfer wide, narrow;
    ASSERT_TRUE(wide.setup(length, 32));
    ASSERT_TRUE(narrow.setup(length, 16));
    for (Transfer* t : {&wide, &narrow}) {
        t->set_averaging(0);
        t->set_delay(3);
    }
    for (size_t at = 0; at + 2 * frames <= quiet.size(); at += 2 * frames) {
        wide.add_block(quiet.data() + at, frames);
        narrow.add_block(quiet.data() + at, frames);
    }
    ASSERT_GT(wide.frames(), 10u);
    for (unsigned k : {10u, 300u, 1500u}) {
        const Transfer::Point p = wide.at(k);
        EXPECT_NEAR(p.magnitude_db, 20 * std::log10(0.5), 0.01) << k;
        EXPECT_NEAR(p.phase_deg, 0.0, 0.5) << k;
        EXPECT_NEAR(p.coherence, 1.0, 1e-4) << k;
        EXPECT_FALSE(narrow.at(k).coherence > 0.5) << "16 bits see nothing at -110 dBFS";
    }
    for (Transfer* t : {&wide, &narrow}) {
        t->restart();
        t->set_delay(0);
        for (size_t at = 0; at + 2 * frames <= loud.size(); at += 2 * frames)
            t->add_block(loud.data() + at, frames);
    }
    ASSERT_EQ(wide.frames(), narrow.frames());
    for (unsigned k = 1; k <= length / 2; k += 37) {
        const Transfer::Point a = wide.at(k), b = narrow.at(k);
        ASSERT_EQ(a.magnitude_db, b.magnitude_db) << k;
        ASSERT_EQ(a.phase_deg, b.phase_deg) << k;
        ASSERT_EQ(a.coherence, b.coherence) << k;
    }
}
