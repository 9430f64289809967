// The transfer window's maps, without a display: a column's components on
// the logarithmic axis and a value's row in a panel, against the formulas
// written out here.
// gtest first: Xlib's macro None would break its headers.
#include <gtest/gtest.h>

#include "transfer/TransferDisplay.h"

#include <algorithm>
#include <cmath>
#include <vector>

// Column c stands for 20 * (f_hi / 20)^(c / (width - 1)) Hz; it takes the
// components within half a column either side or, where none lies there,
// the nearest one, and with smoothing the band of 1/N octave around that
// one as well; a column with none of its own lies between the two
// components around its centre, at its share of the log distance.
TEST(TransferDisplay, ColumnsTakeTheComponentsOfTheirStretchOfTheLogAxis)
{
    for (int rate : {44100, 8000}) {
        for (unsigned length : {4096u, 16384u}) {
            for (int smoothing : {0, 12}) {
                Transfer t;
                ASSERT_TRUE(t.setup(length));
                t.set_smoothing(smoothing);
                const unsigned width = 800;
                const double f_hi = std::min(20000.0, rate / 2.0);
                std::vector<unsigned> first(width), last(width), below(width);
                std::vector<double> toward(width);
                transfer_columns(t, rate, width, 20.0, f_hi, {first.data(), last.data(), below.data(), toward.data()});
                unsigned between = 0;
                const double top = length / 2;
                auto component = [&](double c) { return 20.0 * std::pow(f_hi / 20.0, c / (width - 1)) * length / rate; };
                for (unsigned c = 0; c < width; ++c) {
                    SCOPED_TRACE(testing::Message() << rate << " Hz, " << length << ", 1/" << smoothing << ", column " << c);
                    const double lo = std::max(1.0, std::ceil(component(c - 0.5)));
                    const double hi = std::min(top, std::floor(component(c + 0.5)));
                    const double k = std::clamp(std::round(component(c)), 1.0, top);
                    double a = lo <= hi ? std::min(lo, k) : k, b = lo <= hi ? std::max(hi, k) : k;
                    if (smoothing > 0) {
                        const double half = std::pow(2.0, 0.5 / smoothing);
                        a = std::min(a, std::max(1.0, std::ceil(k / half - 1e-9)));
                        b = std::max(b, std::min(top, std::floor(k * half + 1e-9)));
                    }
                    ASSERT_EQ(first[c], unsigned(a));
                    ASSERT_EQ(last[c], unsigned(b));
                    const double kc = component(c), k0 = std::floor(kc);
                    if (lo > hi && k0 >= 1 && k0 < top) {
                        ASSERT_EQ(below[c], unsigned(k0));
                        ASSERT_NEAR(toward[c], std::log(kc / k0) / std::log((k0 + 1) / k0), 1e-12);
                        ASSERT_GE(toward[c], 0.0);
                        ASSERT_LT(toward[c], 1.0);
                        ++between;
                    } else {
                        ASSERT_EQ(below[c], 0u);
                    }
                }
                // Low on the axis columns outnumber components
                EXPECT_GT(between, 50u);
                EXPECT_LE(first[0], unsigned(std::round(20.0 * length / rate)));
                EXPECT_GE(last[width - 1], unsigned(std::round(f_hi * length / rate)));
            }
        }
    }
}

// The panels share the area below the head line without overlapping; a
// value maps linearly from the top row (high) to the bottom row (low), and
// beyond the range stays on its edge.
TEST(TransferDisplay, PanelsMapValuesLinearlyOntoTheirRows)
{
    for (auto [height, range] : {std::pair{500, 24.0}, std::pair{201, 48.0}, std::pair{300, 12.0}}) {
        const TransferLayout l = transfer_layout(height, 13, range);
        EXPECT_EQ(l.magnitude.top, 17);
        EXPECT_LT(l.magnitude.top + l.magnitude.height, l.phase.top);
        EXPECT_LT(l.phase.top + l.phase.height, l.coherence.top);
        EXPECT_EQ(l.coherence.top + l.coherence.height, height);
        for (const TransferPanel& p : {l.magnitude, l.phase, l.coherence}) {
            EXPECT_EQ(p.row(p.high), p.top);
            EXPECT_EQ(p.row(p.low), p.top + p.height - 1);
            EXPECT_EQ(p.row(p.high + 100), p.top);
            EXPECT_EQ(p.row(p.low - 100), p.top + p.height - 1);
            for (double share : {0.25, 0.5, 0.9}) {
                const double v = p.high - share * (p.high - p.low);
                EXPECT_EQ(p.row(v), p.top + int(std::lround(share * (p.height - 1))));
            }
        }
        EXPECT_DOUBLE_EQ(l.magnitude.high, range);
        EXPECT_DOUBLE_EQ(l.magnitude.low, -range);
        EXPECT_DOUBLE_EQ(l.phase.low, -180.0);
    }
    // Four grid lines either side of 0 dB at most, 6 dB apart at +-24
    EXPECT_DOUBLE_EQ(magnitude_grid_step(24), 6.0);
    EXPECT_DOUBLE_EQ(magnitude_grid_step(12), 3.0);
    EXPECT_DOUBLE_EQ(magnitude_grid_step(48), 12.0);
    EXPECT_DOUBLE_EQ(magnitude_grid_step(25), 10.0);
}
