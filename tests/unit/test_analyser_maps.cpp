// The Analyser's coordinate maps: frequency to component and back, columns
// to components and back, levels to rows, at ordinary and extreme settings.
// gtest before the X headers, whose macros clash with its names.
#include <gtest/gtest.h>

#include "analyser_test_util.h"

#include <cfloat>
#include <cmath>
#include <limits>

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double not_a_number = std::numeric_limits<double>::quiet_NaN();

class Maps : public testing::Test {
protected:
    void SetUp() override { default_range(); }
};

} // namespace

TEST_F(Maps, TablesAreIdentityWhenWidthIsNumFft)
{
    for (unsigned int n : {128u, 2048u, 8192u}) {
        TestAnalyser t(n, 44100, n / 2 + 1, 250);
        for (unsigned int i = 0; i < t.a.num_fft; ++i) {
            ASSERT_EQ(t.a.sx2fc(i), static_cast<int>(i)) << n;
            ASSERT_EQ(t.a.fc2sx(i), static_cast<int>(i)) << n;
        }
    }
}

TEST_F(Maps, FrequencyAndComponent)
{
    TestAnalyser t(2048, 44100, 1025, 250);
    EXPECT_EQ(t.a.f2fc(2500.0), 116);               // rint(1024 * 2500 / 22050) = rint(116.1)
    EXPECT_NEAR(t.a.fc2f(116), 116.5 / 1025.0 * 22050.0, 1e-9);
    EXPECT_NEAR(t.a.fc2f(116), 2506.17, 0.005);
    EXPECT_EQ(t.a.f2fc(0.0), 0);
    EXPECT_EQ(t.a.f2fc(22050.0), 1024);
    EXPECT_EQ(t.a.f2fc(22051.0), 1024);
    EXPECT_EQ(t.a.f2fc(1e300), 1024);
    EXPECT_EQ(t.a.f2fc(inf), 1024);
    EXPECT_EQ(t.a.f2fc(-0.1), 0);
    EXPECT_EQ(t.a.f2fc(-1e300), 0);
    EXPECT_EQ(t.a.f2fc(-inf), 0);
    EXPECT_EQ(t.a.f2fc(not_a_number), 0);
    // Ties round to even: 1024 * f / 22050 = 0.5 and 1.5.
    EXPECT_EQ(t.a.f2fc(0.5 * 22050.0 / 1024.0), 0);
    EXPECT_EQ(t.a.f2fc(1.5 * 22050.0 / 1024.0), 2);
}

TEST_F(Maps, FrequencyOfComponentMapsBack)
{
    for (int rate : {8000, 22050, 44100, 44101, 48000, 96000}) {
        for (unsigned int n = 128; n <= 65536; n *= 2) {
            TestAnalyser t(n, rate, 100, 100);
            for (unsigned int fc = 0; fc < t.a.num_fft; ++fc)
                ASSERT_EQ(t.a.f2fc(t.a.fc2f(fc)), static_cast<int>(fc)) << rate << " " << n;
        }
    }
}

TEST_F(Maps, OddRateTruncatesHalfRate)
{
    TestAnalyser t(2048, 44101, 1025, 250);
    EXPECT_NEAR(t.a.fc2f(1024), 1024.5 / 1025.0 * 22050.0, 1e-9);
    EXPECT_NEAR(t.a.fc2f(0), 0.5 / 1025.0 * 22050.0, 1e-12);
    EXPECT_EQ(t.a.f2fc(22050.0), 1024);
}

TEST_F(Maps, RatesWithoutFrequencyAxis)
{
    // Half the rate truncates to 0 (or below): every frequency is component 0.
    for (int rate : {0, 1, -1, -44100}) {
        SCOPED_TRACE(rate);
        TestAnalyser t(2048, rate, 1025, 250);
        for (double f : {0.0, 1.0, 2500.0, -3.0, 1e300, inf, -inf, not_a_number})
            EXPECT_EQ(t.a.f2fc(f), 0) << f;
        EXPECT_EQ(t.a.fc2f(0), 0.0);
        EXPECT_EQ(t.a.fc2f(1024), 0.0);
    }
    // A rate of 2 is the smallest with an axis: 0 .. 1 Hz.
    TestAnalyser t(2048, 2, 1025, 250);
    EXPECT_EQ(t.a.f2fc(1.0), 1024);
    EXPECT_EQ(t.a.f2fc(0.5), 512);
    EXPECT_NEAR(t.a.fc2f(1024), 1024.5 / 1025.0, 1e-15);
}

TEST_F(Maps, TablesAtWidthsAroundNumFft)
{
    TestAnalyser t(2048, 44100, 3000, 250);
    EXPECT_EQ(t.a.sx2fc(2999), 1024);               // rint(1025 * 2999 / 3000) = 1025, kept inside
    EXPECT_EQ(t.a.fc2sx(1024), 2997);               // rint(3000 * 1024 / 1025)

    t.a.width = 400;
    t.a.build_maps();
    EXPECT_EQ(t.a.fc2sx(1024), 399);                // rint(400 * 1024 / 1025) = 400, kept inside
    EXPECT_EQ(t.a.sx2fc(399), 1022);                // rint(1025 * 399 / 400)

    // Every width: entries follow the rounded ratio, limited to the range,
    // and never run backwards.
    for (unsigned int w = 1; w <= 3000; w += (w < 40 ? 1 : 37)) {
        t.a.width = w;
        t.a.build_maps();
        int prev = 0;
        for (unsigned int sx = 0; sx < w; ++sx) {
            const double want = std::min(std::rint(1025.0 * sx / w), 1024.0);
            ASSERT_EQ(t.a.sx2fc(sx), static_cast<int>(want)) << w << " " << sx;
            ASSERT_GE(t.a.sx2fc(sx), prev);
            prev = t.a.sx2fc(sx);
        }
        prev = 0;
        for (unsigned int fc = 0; fc < 1025; ++fc) {
            const double want = std::min(std::rint(static_cast<double>(w) * fc / 1025.0), w - 1.0);
            ASSERT_EQ(t.a.fc2sx(fc), static_cast<int>(want)) << w << " " << fc;
            ASSERT_GE(t.a.fc2sx(fc), prev);
            prev = t.a.fc2sx(fc);
        }
    }
}

TEST_F(Maps, LevelToRow)
{
    TestAnalyser t(2048, 44100, 1025, 250);
    EXPECT_EQ(t.a.db2sy(10.0), 0);
    EXPECT_EQ(t.a.db2sy(-100.0), 249);
    EXPECT_EQ(t.a.db2sy(0.0), 23);                  // rint(249 * 10 / 110) = rint(22.64)
    EXPECT_EQ(t.a.db2sy(-20.0), 68);                // rint(249 * 30 / 110) = rint(67.9)
    EXPECT_EQ(t.a.db2sy(50.0), 0);
    EXPECT_EQ(t.a.db2sy(-1000.0), 249);
    EXPECT_EQ(t.a.db2sy(inf), 0);
    EXPECT_EQ(t.a.db2sy(-inf), 249);
    EXPECT_EQ(t.a.db2sy(not_a_number), 249);
    for (int d = -100; d <= 10; ++d) {
        const double want = std::rint(249.0 * (d - 10.0) / -110.0);
        ASSERT_EQ(t.a.db2sy(d), static_cast<int16_t>(want)) << d;
    }

    // The range that start-up uses goes through float: -60.5 .. 0.3 dB.
    app_resources.upperdb = 0.3f;
    app_resources.lowerdb = -60.5f;
    const double span = static_cast<double>(-60.5f - 0.3f);
    EXPECT_EQ(t.a.db2sy(-30.0), static_cast<int16_t>(std::rint(249.0 * (-30.0 - static_cast<double>(0.3f)) / span)));
}

TEST_F(Maps, LevelToRowAtExtremeSettings)
{
    TestAnalyser t(2048, 44100, 1025, 250);

    // Huge ranges: rows stay inside the window, no integer overflow.
    app_resources.upperdb = FLT_MAX;
    app_resources.lowerdb = -FLT_MAX;
    for (double d : {0.0, 1e38, -1e38, 1e300, -1e300, inf, -inf, not_a_number}) {
        const int16_t y = t.a.db2sy(d);
        EXPECT_GE(y, 0) << d;
        EXPECT_LE(y, 249) << d;
    }
    app_resources.upperdb = 1e30f;
    app_resources.lowerdb = -100.0f;
    EXPECT_EQ(t.a.db2sy(1e30), 0);
    EXPECT_EQ(t.a.db2sy(-100.0), 249);
    EXPECT_EQ(t.a.db2sy(-1e35), 249);

    // An empty range divides by zero: rows are still inside the window.
    app_resources.upperdb = app_resources.lowerdb = -20.0f;
    EXPECT_EQ(t.a.db2sy(0.0), 249);
    EXPECT_EQ(t.a.db2sy(-40.0), 0);
    EXPECT_EQ(t.a.db2sy(-20.0), 249);
    default_range();

    // Degenerate heights.
    t.a.height = 1;
    EXPECT_EQ(t.a.db2sy(10.0), 0);
    EXPECT_EQ(t.a.db2sy(-100.0), 0);
    t.a.height = 0;
    EXPECT_EQ(t.a.db2sy(-100.0), 0);
    // Rows are 16-bit: a taller window is limited to the largest row.
    t.a.height = 100000;
    EXPECT_EQ(t.a.db2sy(-100.0), 32767);
    EXPECT_EQ(t.a.db2sy(10.0), 0);
}

TEST_F(Maps, ZeroWidthBuildsEmptyTables)
{
    TestAnalyser t(2048, 44100, 0, 250);
    EXPECT_EQ(t.a.fc2sx(1024), 0);
    EXPECT_EQ(t.a.fc2sx(0), 0);
}

using MapsDeathTest = Maps;

TEST_F(MapsDeathTest, IndexOutsideTheTablesStopsTheProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TestAnalyser t(2048, 44100, 800, 250);
    EXPECT_DEATH(t.a.sx2fc(800), "sx < width");
    EXPECT_DEATH(t.a.fc2sx(1025), "fc < num_fft");
    EXPECT_DEATH(t.a.fc2f(1025), "fc < num_fft");
    EXPECT_DEATH(t.a.fc2sx(static_cast<unsigned int>(-1)), "fc < num_fft");
    EXPECT_EQ(t.a.sx2fc(799), 1024);
}
