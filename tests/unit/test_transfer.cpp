// The transfer-function estimator and the delay finder on generated
// signals, fed in blocks as the sampler delivers them; expected values
// come from the filter's own response and from the definitions.
#include "analyser/Transfer.h"

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
        t.take_finder_result(int(rate));
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
