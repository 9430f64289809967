// The spectrogram's parts that need no display: colours, quantisation,
// the rows' components and the kept history.
#include <gtest/gtest.h>

#include "spectrogram/SpectrogramHistory.h"
#include "spectrogram/SpectrogramPalette.h"
#include "spectrogram/SpectrogramRows.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

// The published viridis map (dark violet, teal, yellow), its lightness
// rising to within the 8-bit rounding; the grey ramp is the index itself.
// Levels from -100 to +10 dB fall into 256 equal steps; below the range,
// no power and NaN are index 0.
TEST(SpectrogramPalette, ColoursAndQuantisation)
{
    auto hex = [](unsigned i, bool grey) {
        const Rgb c = spectrogram_colour(i, grey);
        return uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b;
    };
    auto luma = [&](unsigned i) {
        const Rgb c = spectrogram_colour(i, false);
        return 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
    };
    EXPECT_EQ(hex(0, false), 0x440154u);
    EXPECT_EQ(hex(128, false), 0x21918Cu);
    EXPECT_EQ(hex(255, false), 0xFDE725u);
    const double lo = -100, hi = 10, step = (hi - lo) / 255;
    for (unsigned i = 0; i < 256; ++i) {
        EXPECT_GT(luma(i), i > 0 ? luma(i - 1) - 0.5 : 0) << i;
        EXPECT_EQ(hex(i, true), i * 0x010101u) << i;
        EXPECT_EQ(ColourIndex(lo, hi)(lo + i * step), i);
        EXPECT_EQ(ColourIndex(lo, hi)(lo + (i + 0.4) * step), i);
    }
    EXPECT_EQ(ColourIndex(lo, hi)(-200), 0);
    EXPECT_EQ(ColourIndex(lo, hi)(-std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(ColourIndex(lo, hi)(std::nan("")), 0);
    EXPECT_EQ(ColourIndex(lo, hi)(30), 255);
}

// Each row shows the highest index among the components k * rate / n in
// its band [g(r - 1/2), g(r + 1/2)), or where it holds none the component
// nearest to g(r); worked out by brute force from g, on both scales, rows
// finer and coarser than the components.
TEST(SpectrogramRows, RowsShowTheHighestComponentOfTheirBand)
{
    std::mt19937 gen(5);
    for (bool log : {false, true})
        for (auto [rows, n, rate] : {std::tuple{250u, 2048u, 44100}, std::tuple{37u, 256u, 48000},
                                     std::tuple{600u, 512u, 8000}}) {
            SpectrogramRows map;
            ASSERT_TRUE(map.build(rows, n / 2 + 1, rate, log));
            const double lo = log ? std::max(20.0, double(rate) / n) : 0, hi = rate / 2.0;
            auto g = [&](double r) { return log ? lo * std::pow(hi / lo, r / (rows - 1)) : hi * r / (rows - 1); };
            auto dist = [&](double f, double to) { return log ? std::fabs(std::log(f / to)) : std::fabs(f - to); };
            EXPECT_NEAR(map.position(g(17.25)), 17.25, 1e-9);
            std::vector<uint8_t> column(n / 2 + 1), shown(rows);
            for (uint8_t& v : column)
                v = uint8_t(gen());
            map.column_values(column.data(), shown.data());
            for (unsigned r = 0; r < rows; ++r) {
                int want = -1;
                unsigned nearest = log ? 1 : 0;
                for (unsigned k = log ? 1 : 0; k <= n / 2; ++k) {
                    const double f = double(k) * rate / n;
                    if (f >= g(r - 0.5) && f < g(r + 0.5))
                        want = std::max(want, int(column[k]));
                    if (dist(f, g(r)) < dist(double(nearest) * rate / n, g(r)))
                        nearest = k;
                }
                EXPECT_EQ(shown[rows - 1 - r], want < 0 ? column[nearest] : want)
                    << (log ? "log" : "linear") << " rows " << rows << " row " << r;
            }
        }
}

// The ring keeps the newest columns in order, through a shrink and a growth.
TEST(SpectrogramHistory, KeepsTheNewestColumnsThroughResizes)
{
    SpectrogramHistory h;
    h.reset(4, 3);
    auto ages = [&](unsigned n) {
        std::vector<int> v;
        for (unsigned a = 0; a < n; ++a)
            v.push_back(h.column(a)[2]);
        return v;
    };
    for (uint8_t v = 10; v <= 60; v += 10)
        std::fill_n(h.push(), 3, v);   // 10 .. 60; 30 .. 60 fit
    EXPECT_EQ(h.count(), 4u);
    EXPECT_EQ(h.column(0), h.at_slot(h.head()));
    EXPECT_EQ(ages(4), (std::vector<int>{60, 50, 40, 30}));
    h.resize(2);
    EXPECT_EQ(ages(2), (std::vector<int>{60, 50}));
    h.resize(5);
    std::fill_n(h.push(), 3, 70);
    EXPECT_EQ(h.count(), 3u);
    EXPECT_EQ(ages(4), (std::vector<int>{70, 60, 50, 0}));   // 0: never recorded
}
