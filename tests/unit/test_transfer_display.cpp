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
// one as well.
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
                std::vector<unsigned> first(width), last(width);
                transfer_columns(t, rate, width, 20.0, f_hi, first.data(), last.data());
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
                }
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
    for (int height : {500, 201}) {
        const TransferLayout l = transfer_layout(height, 13);
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
        EXPECT_DOUBLE_EQ(l.magnitude.high, 24.0);
        EXPECT_DOUBLE_EQ(l.phase.low, -180.0);
    }
}
