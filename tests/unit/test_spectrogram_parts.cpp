// The spectrogram's parts that need no display: colours, quantisation of
// levels, the rows' components and the kept history.
#include <gtest/gtest.h>

#include "analyser/SpectrogramHistory.h"
#include "analyser/SpectrogramPalette.h"
#include "analyser/SpectrogramRows.h"

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

uint32_t hex(Rgb c)
{
    return uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b;
}

}  // namespace

// The published viridis map: dark violet, teal in the middle, yellow; its
// lightness rises all the way (to within the 8-bit rounding). The grey
// ramp is the index itself.
TEST(SpectrogramPalette, ViridisAndGrey)
{
    EXPECT_EQ(hex(spectrogram_colour(0, false)), 0x440154u);
    EXPECT_EQ(hex(spectrogram_colour(128, false)), 0x21918Cu);
    EXPECT_EQ(hex(spectrogram_colour(255, false)), 0xFDE725u);
    auto luma = [](Rgb c) { return 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b; };
    for (unsigned i = 0; i + 1 < 256; ++i)
        EXPECT_GT(luma(spectrogram_colour(i + 1, false)), luma(spectrogram_colour(i, false)) - 0.5) << i;
    for (unsigned i = 0; i < 256; ++i)
        EXPECT_EQ(hex(spectrogram_colour(i, true)), i * 0x010101u) << i;
}

// Levels from -100 to +10 dB fall into 256 equal steps; anything below
// the range, no power (-inf) and NaN are the bottom colour.
TEST(SpectrogramPalette, LevelsQuantisedOverTheRange)
{
    const double lo = -100, hi = 10;
    for (int i = 0; i < 256; ++i) {
        const double step = (hi - lo) / 255;
        EXPECT_EQ(colour_index(lo + i * step, lo, hi), i);
        EXPECT_EQ(colour_index(lo + (i + 0.4) * step, lo, hi), i);
    }
    EXPECT_EQ(colour_index(-200, lo, hi), 0);
    EXPECT_EQ(colour_index(-std::numeric_limits<double>::infinity(), lo, hi), 0);
    EXPECT_EQ(colour_index(std::nan(""), lo, hi), 0);
    EXPECT_EQ(colour_index(30, lo, hi), 255);
}

// Each row shows the highest index among the components whose frequency
// k * rate / n lies in its band [g(r - 1/2), g(r + 1/2)), or where the band
// holds none the component nearest to g(r); worked out here by brute force
// from the definition of g, for both scales, rows finer and coarser than
// the components.
TEST(SpectrogramRows, RowsShowTheHighestComponentOfTheirBand)
{
    std::mt19937 gen(5);
    for (bool log : {false, true})
        for (auto [rows, n, rate] : {std::tuple{250u, 2048u, 44100}, std::tuple{37u, 256u, 48000},
                                     std::tuple{600u, 512u, 8000}}) {
            SpectrogramRows map;
            ASSERT_TRUE(map.build(rows, n / 2 + 1, rate, log));
            const double lo = log ? std::max(20.0, double(rate) / n) : 0, hi = rate / 2.0;
            auto g = [&](double r) {
                const double t = r / (rows - 1);
                return log ? lo * std::pow(hi / lo, t) : hi * t;
            };
            EXPECT_NEAR(map.frequency(rows - 1), hi, 1e-9);
            EXPECT_NEAR(map.position(g(17.25)), 17.25, 1e-9);
            std::vector<uint8_t> column(n / 2 + 1), shown(rows);
            for (uint8_t& v : column)
                v = uint8_t(gen());
            map.column_values(column.data(), shown.data());
            for (unsigned r = 0; r < rows; ++r) {
                int want = -1, nearest = log ? 1 : 0;
                for (unsigned k = 0; k <= n / 2; ++k) {
                    const double f = double(k) * rate / n;
                    if (f >= g(r - 0.5) && f < g(r + 0.5) && (r + 1 < rows || f <= hi))
                        want = std::max(want, int(column[k]));
                    const double d = log ? std::fabs(std::log(f / g(r))) : std::fabs(f - g(r));
                    const double best = log ? std::fabs(std::log(nearest * double(rate) / n / g(r)))
                                            : std::fabs(nearest * double(rate) / n - g(r));
                    if ((!log || k > 0) && d < best)
                        nearest = int(k);
                }
                if (want < 0)
                    want = column[size_t(nearest)];
                EXPECT_EQ(shown[rows - 1 - r], want) << (log ? "log" : "linear") << " rows " << rows << " row " << r;
            }
        }
}

// The ring keeps the newest columns in order; a resize keeps the newest
// that fit, and a grown ring takes new columns after them.
TEST(SpectrogramHistory, KeepsTheNewestColumnsThroughResizes)
{
    SpectrogramHistory h;
    h.reset(4, 3);
    auto push = [&](uint8_t v) {
        uint8_t* c = h.push();
        for (int i = 0; i < 3; ++i)
            c[i] = uint8_t(v + i);
    };
    auto newest = [&](unsigned age) { return h.column(age)[0]; };
    EXPECT_EQ(h.count(), 0u);
    for (uint8_t v = 10; v < 70; v += 10)
        push(v);   // 10 .. 60, the ring holds 30 .. 60
    EXPECT_EQ(h.count(), 4u);
    EXPECT_EQ(h.column(0), h.at_slot(h.head()));
    EXPECT_EQ(newest(0), 60);
    EXPECT_EQ(newest(3), 30);
    EXPECT_EQ(h.column(3)[2], 32);
    h.resize(2);
    EXPECT_EQ(h.count(), 2u);
    EXPECT_EQ(newest(0), 60);
    EXPECT_EQ(newest(1), 50);
    h.resize(5);
    EXPECT_EQ(h.count(), 2u);
    EXPECT_EQ(newest(0), 60);
    EXPECT_EQ(newest(1), 50);
    EXPECT_EQ(newest(2), 0);   // never recorded: the bottom colour
    push(70);
    EXPECT_EQ(newest(0), 70);
    EXPECT_EQ(newest(1), 60);
    EXPECT_EQ(newest(2), 50);
    EXPECT_EQ(h.count(), 3u);
}
