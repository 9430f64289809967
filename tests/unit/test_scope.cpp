// The XY scope's point computation: where each frame of a block lands in
// a window of a given size, for hand-made blocks, checked against the
// radial law 10^(zoom/20) * log2(1 + r) evaluated here in long double.
// Also the linear map the view builds on, and the view's behaviour before
// its window was ever exposed.
#include <gtest/gtest.h>

// After gtest: Xlib defines macros (Bool, None) that clash with its names.
#include "common/BlockInputs.h"
#include "sampler/Sampler.h"
#include "scope/LinearMap.h"
#include "scope/Scope.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

const long double pi_l = 3.141592653589793238462643383279502884L;
const long double full_l = 2147483647.0L;

// A 16-bit sample as the sampler widens it: the sample times 65536.
int32_t widened(int s16)
{
    return static_cast<int32_t>(s16) * 65536;
}

// A sample for v in -1 .. 1 of the 16-bit full scale, rounded.
int32_t sample(long double v)
{
    long s = std::lround(static_cast<double>(v * 32767.0L));
    s = std::max(-32768L, std::min(32767L, s));
    return widened(static_cast<int>(s));
}

// Interleaved frames.
using Block = std::vector<int32_t>;

Block make_block(const std::vector<std::pair<int32_t, int32_t>>& frames)
{
    Block b;
    for (const auto& f : frames) {
        b.push_back(f.first);
        b.push_back(f.second);
    }
    return b;
}

// The position a frame should land on, as an unrounded pixel coordinate,
// from the law itself: the point (x, y) at radius r moves along its ray to
// radius 10^(zoom/20) * log2(1 + r); world -1 .. 1 spans the window, y up.
struct Exact {
    long double x, y;
};

Exact exact_pixel(int32_t left, int32_t right, double zoom, unsigned width, unsigned height,
                  long double dc_left = 0.0L, long double dc_right = 0.0L)
{
    const long double x = left / full_l - dc_left / full_l;
    const long double y = right / full_l - dc_right / full_l;
    const long double r = std::sqrt(x * x + y * y);
    long double k = 0.0L;
    if (r > 0.0L)
        k = std::pow(10.0L, static_cast<long double>(zoom) / 20.0L) * std::log2(1.0L + r) / r;
    const long double hw = width / 2.0L, hh = height / 2.0L;
    return {hw + x * k * hw, hh - y * k * hh};
}

// The XPoint field a coordinate becomes: held within the 16-bit range,
// then truncated toward zero. Near an integer the two evaluations (ours in
// long double, the program's in double) may fall on either side, so both
// neighbours are accepted there.
::testing::AssertionResult lands_on(short actual, long double exact)
{
    const long double tol = 1e-7L;
    auto narrow = [](long double v) {
        v = std::max(-32768.0L, std::min(32767.0L, v));
        return static_cast<long>(std::trunc(v));
    };
    const long a = narrow(exact - tol), b = narrow(exact + tol);
    if (actual >= std::min(a, b) && actual <= std::max(a, b))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "pixel " << actual << ", expected " << a
                                         << " (exactly " << static_cast<double>(exact) << ")";
}

// A scope as its first expose sets it up for a window of width x height,
// but without X: the maps and the point array only. The block's inputs:
// no DC removal unless a test asks for it.
class ScopePoints : public ::testing::Test {
protected:
    Scope s;
    BlockInputs in;

    void window(unsigned width, unsigned height)
    {
        s.width = width;
        s.height = height;
        s.x_map.set_world(-1.0, 1.0);
        s.y_map.set_world(-1.0, 1.0);
        s.x_map.set_screen(0, static_cast<short>(width));
        s.y_map.set_screen(static_cast<short>(height), 0);
    }

    // Computes the block's points; returns them.
    std::vector<XPoint> run(const Block& block)
    {
        const unsigned n = static_cast<unsigned>(block.size() / 2);
        s.points = std::make_unique<XPoint[]>(n);
        std::fill(s.points.get(), s.points.get() + n, XPoint{-1234, -1234});
        s.compute_points(block.data(), n, in);
        return std::vector<XPoint>(s.points.get(), s.points.get() + n);
    }
};

// ---------------------------------------------------------------------------
// The linear map.

TEST(LinearMapTest, MapsBothEndsOfTheWorldIntervalInEitherOrderOfSetting)
{
    LinearMap a;
    a.set_world(-1.0, 1.0);
    a.set_screen(0, 300);
    EXPECT_DOUBLE_EQ(a.map(-1.0), 0.0);
    EXPECT_DOUBLE_EQ(a.map(1.0), 300.0);
    EXPECT_DOUBLE_EQ(a.map(0.0), 150.0);

    LinearMap b;   // screen first, running backwards
    b.set_screen(200, 0);
    EXPECT_FALSE(b.world_set);
    b.set_world(-1.0, 1.0);
    EXPECT_DOUBLE_EQ(b.map(-1.0), 200.0);
    EXPECT_DOUBLE_EQ(b.map(1.0), 0.0);
    EXPECT_DOUBLE_EQ(b.map(0.5), 50.0);
}

TEST(LinearMapTest, FollowsANewScreenInterval)
{
    LinearMap m;
    m.set_world(2.0, 6.0);
    m.set_screen(10, 50);
    EXPECT_DOUBLE_EQ(m.map(2.0), 10.0);
    EXPECT_DOUBLE_EQ(m.map(6.0), 50.0);
    m.set_screen(1000, 0);
    EXPECT_DOUBLE_EQ(m.map(2.0), 1000.0);
    EXPECT_DOUBLE_EQ(m.map(6.0), 0.0);
    EXPECT_DOUBLE_EQ(m.map(4.0), 500.0);
}

TEST(LinearMapTest, KeepsItsScaleUntilBothIntervalsAreSet)
{
    LinearMap m;
    m.set_world(-1.0, 1.0);
    EXPECT_TRUE(m.world_set);
    EXPECT_FALSE(m.screen_set);
    EXPECT_EQ(m.scale, 0.0);
    EXPECT_EQ(m.offset, 0.0);
}

// ---------------------------------------------------------------------------
// Before the first expose.

TEST(ScopeLifecycle, DrawBlockBeforeTheFirstExposeDrawsNothingAndSaysSo)
{
    Scope s;
    EXPECT_FALSE(s.initialised);
    EXPECT_EQ(s.zoom, 0.0);
    sampler.length = 128;
    Block block(256, widened(1000));
    EXPECT_FALSE(s.draw_block(block.data(), true));
    EXPECT_FALSE(s.draw_block(block.data(), false));
    // A resize before the first expose is ignored (there is no display to
    // talk to: reaching X here would crash).
    s.resize(true);
    EXPECT_FALSE(s.initialised);
    EXPECT_EQ(s.width, 0u);
    // The zoom may be set in either state.
    s.set_zoom(12.5);
    EXPECT_EQ(s.zoom, 12.5);
}

// ---------------------------------------------------------------------------
// The centre.

TEST_F(ScopePoints, DigitalSilenceLandsOnTheCentrePixelOfEveryWindowSize)
{
    const std::vector<std::pair<unsigned, unsigned>> sizes = {
        {300, 300}, {301, 199}, {2, 3}, {640, 481}, {1, 1}, {32767, 32767}};
    for (double zoom : {0.0, 6.0, 30.0}) {
        for (const auto& wh : sizes) {
            window(wh.first, wh.second);
            s.set_zoom(zoom);
            const auto pts = run(Block(2 * 64, 0));
            const long cx = wh.first / 2, cy = wh.second / 2;   // trunc(w/2), trunc(h/2)
            for (const XPoint& p : pts) {
                ASSERT_EQ(p.x, cx) << wh.first << "x" << wh.second << " zoom " << zoom;
                ASSERT_EQ(p.y, cy) << wh.first << "x" << wh.second << " zoom " << zoom;
            }
        }
    }
}

TEST_F(ScopePoints, WithDCAdjustAConstantBlockLandsOnTheCentre)
{
    window(300, 300);
    s.set_zoom(6.0);
    const int32_t cl = widened(9000), cr = widened(-3000);
    const Block block = make_block(std::vector<std::pair<int32_t, int32_t>>(100, {cl, cr}));

    // Without the adjustment the offset shows: the point is away from the
    // centre, right of it and below it.
    const auto off = run(block);
    EXPECT_GT(off[0].x, 150);
    EXPECT_GT(off[0].y, 150);

    in.dcadjust = true;
    in.dc_left = cl;   // what channel_means gives for a constant block
    in.dc_right = cr;
    for (const XPoint& p : run(block)) {
        ASSERT_EQ(p.x, 150);
        ASSERT_EQ(p.y, 150);
    }
}

TEST_F(ScopePoints, DCAdjustSubtractsTheChannelMeansBeforeTheRadialLaw)
{
    window(400, 300);
    s.set_zoom(6.0);
    in.dcadjust = true;
    in.dc_left = widened(4000);
    in.dc_right = widened(-2500);
    Block block;
    for (int i = 0; i < 256; ++i) {
        const long double t = 2.0L * pi_l * i / 256.0L;
        block.push_back(in.dc_left + sample(0.3L * std::sin(3.0L * t)));
        block.push_back(in.dc_right + sample(0.2L * std::cos(5.0L * t)));
    }
    const auto pts = run(block);
    for (size_t i = 0; i < pts.size(); ++i) {
        const Exact e = exact_pixel(block[2 * i], block[2 * i + 1], 6.0, 400, 300,
                                    in.dc_left, in.dc_right);
        ASSERT_TRUE(lands_on(pts[i].x, e.x)) << "frame " << i;
        ASSERT_TRUE(lands_on(pts[i].y, e.y)) << "frame " << i;
    }
}

// A block of n frames of a tone of amplitude a, of so many cycles per
// block, on the channels picked by the two factors.
Block tone(long double a, int cycles, long double left_factor, long double right_factor,
           unsigned n = 2048)
{
    Block b;
    for (unsigned i = 0; i < n; ++i) {
        const long double v = a * std::sin(2.0L * pi_l * cycles * i / n);
        b.push_back(sample(left_factor * v));
        b.push_back(sample(right_factor * v));
    }
    return b;
}

// ---------------------------------------------------------------------------
// Full scale at zoom 0 with the adjustment off.

TEST_F(ScopePoints, FullScaleLeftLandsJustOutsideTheLastColumn)
{
    for (unsigned w : {300u, 301u, 64u, 1000u}) {
        window(w, 300);
        s.set_zoom(0.0);
        const auto pts = run(make_block({{2147483647, 0}, {-2147483647, 0}, {0, 2147483647}}));
        EXPECT_EQ(pts[0].x, static_cast<short>(w)) << w;   // r = 1 stays at radius 1
        EXPECT_EQ(pts[0].y, 150);
        EXPECT_EQ(pts[1].x, 0) << w;
        EXPECT_EQ(pts[1].y, 150);
        EXPECT_EQ(pts[2].x, static_cast<short>(w / 2));
        EXPECT_EQ(pts[2].y, 0);
    }
}

TEST_F(ScopePoints, SixteenBitFullScaleStaysInsideTheWindow)
{
    // 32767 << 16 is a shade below 1, so its radius is too: the last column.
    window(300, 300);
    s.set_zoom(0.0);
    const auto pts = run(make_block({{widened(32767), 0}, {0, widened(32767)}}));
    EXPECT_EQ(pts[0].x, 299);
    EXPECT_EQ(pts[1].y, 0);
}

TEST_F(ScopePoints, BothAtFullScaleLandAt0Point8991OfTheHalfSize)
{
    // radius log2(1 + sqrt 2) along the diagonal: 0.8991 on each axis.
    const long double per_axis = std::log2(1.0L + std::sqrt(2.0L)) / std::sqrt(2.0L);
    EXPECT_NEAR(static_cast<double>(per_axis), 0.8991, 5e-5);
    for (const auto& wh : std::vector<std::pair<unsigned, unsigned>>{{300, 300}, {1000, 400}, {301, 77}}) {
        window(wh.first, wh.second);
        s.set_zoom(0.0);
        const auto pts = run(make_block({{2147483647, 2147483647}, {-2147483647, -2147483647}}));
        const long double hw = wh.first / 2.0L, hh = wh.second / 2.0L;
        EXPECT_EQ(pts[0].x, static_cast<short>(std::trunc(hw + per_axis * hw)));
        EXPECT_EQ(pts[0].y, static_cast<short>(std::trunc(hh - per_axis * hh)));
        EXPECT_EQ(pts[1].x, static_cast<short>(std::trunc(hw - per_axis * hw)));
        EXPECT_EQ(pts[1].y, static_cast<short>(std::trunc(hh + per_axis * hh)));
    }
    window(300, 300);
    const auto pts = run(make_block({{2147483647, 2147483647}}));
    EXPECT_EQ(pts[0].x, 284);   // 150 + 0.8991 * 150 = 284.87
    EXPECT_EQ(pts[0].y, 15);    // 150 - 134.87 = 15.13
}

// ---------------------------------------------------------------------------
// The zoom and the radial law.

TEST_F(ScopePoints, TheDefaultZoomOf6dBScalesEveryRadiusBy1Point9953)
{
    // A large window makes the truncation to whole pixels negligible.
    window(30000, 30000);
    const Block block = tone(0.25L, 3, 0.8L, -0.6L, 512);
    s.set_zoom(0.0);
    const auto at0 = run(block);
    s.set_zoom(6.0);
    const auto at6 = run(block);
    const double expected = std::pow(10.0, 6.0 / 20.0);
    EXPECT_NEAR(expected, 1.9953, 5e-5);
    int compared = 0;
    for (size_t i = 0; i < at0.size(); ++i) {
        const double r0 = std::hypot(at0[i].x - 15000.0, at0[i].y - 15000.0);
        const double r6 = std::hypot(at6[i].x - 15000.0, at6[i].y - 15000.0);
        if (r0 < 500.0)
            continue;   // too close to the centre for a clean ratio
        ASSERT_NEAR(r6 / r0, expected, 0.005) << "frame " << i;
        // Same direction: the ray from the centre is kept.
        const double cross = (at0[i].x - 15000.0) * (at6[i].y - 15000.0) -
                             (at0[i].y - 15000.0) * (at6[i].x - 15000.0);
        ASSERT_LT(std::fabs(cross) / (r0 * r6), 0.001);
        ++compared;
    }
    EXPECT_GT(compared, 300);
}

TEST_F(ScopePoints, RadiusFollowsTheLogLawForASweepOfAmplitudesAndZooms)
{
    const std::vector<long double> amplitudes = {1e-4L, 1e-3L, 0.01L, 0.05L, 0.1L, 0.25L,
                                                 0.5L,  0.7L,  0.9L,  0.99L, 1.0L};
    const std::vector<double> zooms = {0.0, 1.5, 3.0, 6.0, 10.0, 20.0, 30.0};
    const std::vector<std::pair<unsigned, unsigned>> sizes = {{300, 300}, {1023, 517}, {20000, 20000}};
    // Each amplitude along a fan of directions, with exact int32 values
    // (not only 16-bit ones), so that the whole radial law is exercised.
    std::vector<std::pair<int32_t, int32_t>> frames;
    for (long double a : amplitudes) {
        for (int k = 0; k < 16; ++k) {
            const long double phi = 2.0L * pi_l * (k + 0.37L) / 16.0L;
            frames.push_back({static_cast<int32_t>(std::lround(static_cast<double>(a * std::cos(phi) * full_l))),
                              static_cast<int32_t>(std::lround(static_cast<double>(a * std::sin(phi) * full_l)))});
        }
    }
    const Block block = make_block(frames);
    for (const auto& wh : sizes) {
        window(wh.first, wh.second);
        for (double zoom : zooms) {
            s.set_zoom(zoom);
            const auto pts = run(block);
            for (size_t i = 0; i < frames.size(); ++i) {
                const Exact e = exact_pixel(frames[i].first, frames[i].second, zoom, wh.first,
                                            wh.second);
                ASSERT_TRUE(lands_on(pts[i].x, e.x))
                    << wh.first << "x" << wh.second << " zoom " << zoom << " frame " << i;
                ASSERT_TRUE(lands_on(pts[i].y, e.y))
                    << wh.first << "x" << wh.second << " zoom " << zoom << " frame " << i;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Coordinates beyond the 16-bit range.

TEST_F(ScopePoints, CoordinatesBeyondSixteenBitsAreHeldAtTheLimit)
{
    // 30 dB in a 30000-pixel window: full scale left lands at
    // 15000 + 31.6 * 15000, far beyond 32767.
    window(30000, 30000);
    s.set_zoom(30.0);
    const auto pts = run(make_block({{2147483647, 0},
                                     {-2147483647, 0},
                                     {0, 2147483647},
                                     {0, -2147483647},
                                     {-2147483647 - 1, -2147483647 - 1},
                                     {2147483647, -2147483647}}));
    const Exact far_right = exact_pixel(2147483647, 0, 30.0, 30000, 30000);
    ASSERT_GT(far_right.x, 65536.0L + 32767.0L);   // would wrap without the limit
    EXPECT_EQ(pts[0].x, 32767);
    EXPECT_EQ(pts[0].y, 15000);
    EXPECT_EQ(pts[1].x, -32768);
    EXPECT_EQ(pts[1].y, 15000);
    EXPECT_EQ(pts[2].x, 15000);
    EXPECT_EQ(pts[2].y, -32768);
    EXPECT_EQ(pts[3].x, 15000);
    EXPECT_EQ(pts[3].y, 32767);
    EXPECT_EQ(pts[4].x, -32768);
    EXPECT_EQ(pts[4].y, 32767);
    EXPECT_EQ(pts[5].x, 32767);
    EXPECT_EQ(pts[5].y, 32767);
}

TEST_F(ScopePoints, ARampBeyondTheRangeNeverWrapsToTheOtherSide)
{
    // A slow ramp over the whole 16-bit range on the left channel: the x
    // coordinate must rise steadily and stay on its side of the centre.
    window(20000, 20000);
    s.set_zoom(30.0);
    Block block;
    for (int v = -32768; v <= 32767; v += 16) {
        block.push_back(widened(v));
        block.push_back(widened(v / 4));
    }
    const auto pts = run(block);
    int clamped = 0;
    for (size_t i = 0; i < pts.size(); ++i) {
        const int32_t l = block[2 * i], r = block[2 * i + 1];
        if (i > 0) {
            ASSERT_GE(pts[i].x, pts[i - 1].x) << "frame " << i;
        }
        if (l > 0) {
            ASSERT_GE(pts[i].x, 10000) << "frame " << i;
            ASSERT_LE(pts[i].y, 10000) << "frame " << i;
        } else if (l < 0) {
            ASSERT_LE(pts[i].x, 10000) << "frame " << i;
            ASSERT_GE(pts[i].y, 10000) << "frame " << i;
        }
        const Exact e = exact_pixel(l, r, 30.0, 20000, 20000);
        ASSERT_TRUE(lands_on(pts[i].x, e.x)) << "frame " << i;
        ASSERT_TRUE(lands_on(pts[i].y, e.y)) << "frame " << i;
        clamped += pts[i].x == 32767 || pts[i].x == -32768;
    }
    EXPECT_GT(clamped, 1000);   // the test did go beyond the range
}

}  // namespace
