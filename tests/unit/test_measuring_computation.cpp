// The measuring options' pure computation: exponential power averaging,
// the columns of the logarithmic frequency axis, and the atomic writing of
// exported files.
#include <gtest/gtest.h>

#include "analyser/Averaging.h"
#include "analyser/LogAxis.h"
#include "analyser/AnalyserExport.h"

#include <cmath>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <unistd.h>
#include <vector>

// Blocks alternating between powers a and b settle where the geometric
// series of the weights 1/N (1 - 1/N)^j puts them, whatever the start.
TEST(Averaging, SettlesAtTheWeightedMeanOfAlternatingBlocks)
{
    const double a = 1.0, b = 0.0625;
    EXPECT_EQ(averaged_power(0.3, a, true, 16), a);   // the first block of a start
    EXPECT_EQ(averaged_power(0.3, a, false, 1), a);   // off
    double mean = 0;
    for (int i = 0; i < 2000; ++i)
        mean = averaged_power(mean, i % 2 == 0 ? a : b, i == 0, 16);
    // The last block was b: weight 1/N on b, (1/N)(1 - 1/N) on a, repeating.
    const double q = 1.0 - 1.0 / 16;
    EXPECT_NEAR(mean, (b + a * q) / 16 / (1 - q * q), 1e-12);
}

// The default axis: 1025 columns from component 1 (32.27 Hz) to 22050 Hz.
TEST(LogAxis, ColumnsHoldTheComponentsOfTheirRangeOrTheNearestOne)
{
    const unsigned int width = 1025, nf = 1025;
    const double hr = 22050;
    const LogAxis axis(width, nf, hr);
    ASSERT_TRUE(axis.usable());
    const long double lo = 1.5L / nf * hr, span = std::log(hr / lo);
    auto freq = [&](int fc) { return (fc + 0.5L) / nf * hr; };
    auto pos = [&](long double f) { return (width - 1) * std::log(f / lo) / span; };
    EXPECT_NEAR(axis.frequency(0), double(lo), 1e-9);
    EXPECT_NEAR(axis.frequency(width - 1), hr, 1e-9);

    std::vector<int> first(width), last(width), sx2fc(width), fc2sx(nf);
    ASSERT_TRUE(axis.build_columns(first.data(), last.data(), sx2fc.data(), fc2sx.data()));
    EXPECT_EQ(first[0], 0);
    for (unsigned int sx = 0; sx < width; ++sx) {
        int lowest = sx == 0 ? 0 : -1, highest = lowest;
        for (int fc = 1; fc < int(nf); ++fc)
            if (std::lround(pos(freq(fc))) == long(sx)) {
                lowest = lowest < 0 ? fc : lowest;
                highest = fc;
            }
        if (lowest >= 0) {
            ASSERT_EQ(first[sx], lowest) << sx;
            ASSERT_EQ(last[sx], highest) << sx;
            continue;
        }
        // An empty range shows the component nearest on the log scale.
        const long double g = lo * std::exp(span * sx / (width - 1));
        int best = 1;
        for (int fc = 2; fc < int(nf); ++fc)
            if (std::fabs(std::log(freq(fc) / g)) < std::fabs(std::log(freq(best) / g)))
                best = fc;
        ASSERT_EQ(first[sx], best) << sx;
        ASSERT_EQ(last[sx], best) << sx;
        ASSERT_EQ(sx2fc[sx], best) << sx;
    }
    EXPECT_EQ(fc2sx[30], std::lround(pos(freq(30))));
    EXPECT_EQ(fc2sx[nf - 1], int(width) - 1);

    EXPECT_FALSE(LogAxis(1, nf, hr).usable());       // one column
    EXPECT_FALSE(LogAxis(width, nf, 20).usable());   // nothing above 20 Hz
}

// A body that fails leaves nothing; a whole write leaves the file alone.
TEST(AnalyserExport, WritesWholeFilesOrNone)
{
    char tmpl[] = "/tmp/zen-export-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, path = dir + "/a.csv";
    auto names = [&] {
        std::string all;
        DIR* d = opendir(tmpl);
        while (dirent* e = d ? readdir(d) : nullptr)
            all += e->d_name[0] == '.' ? "" : std::string(e->d_name) + " ";
        if (d)
            closedir(d);
        return all;
    };
    auto half = [](std::FILE* f, const void*) { return std::fputs("half", f) < 0; };
    auto whole = [](std::FILE* f, const void*) { return std::fputs("a,b\n", f) >= 0; };
    EXPECT_FALSE(write_file_atomically(path.c_str(), half, nullptr));
    EXPECT_EQ(names(), "");
    EXPECT_FALSE(write_file_atomically((dir + "/missing/a.csv").c_str(), whole, nullptr));
    ASSERT_TRUE(write_file_atomically(path.c_str(), whole, nullptr));
    EXPECT_EQ(names(), "a.csv ");
    char buf[16] = {};
    std::FILE* f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fread(buf, 1, sizeof buf, f), 4u);
    std::fclose(f);
    EXPECT_STREQ(buf, "a,b\n");
    std::remove(path.c_str());
    rmdir(tmpl);
}
