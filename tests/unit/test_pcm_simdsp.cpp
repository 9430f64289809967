// The simulated sound device itself: the signals it records, the formats and
// requests it serves, where played bytes go, and what it leaves alone.
#include "test_pcm_child.h"

#include <gtest/gtest.h>

#include <sys/soundcard.h>

#include <cmath>
#include <complex>
#include <set>

using namespace pcmtest;

namespace {

// Frames of a 16-bit mono recording of signal at rate.
std::vector<int16_t> record(const std::string& signal, int frames, int rate = 44100,
                            std::map<std::string, std::string> vars = {})
{
    vars["SIMDSP_LEFT"] = signal;
    const ChildResult r =
        run_child("create /dev/dsp 0 0 1 1 " + std::to_string(rate) + " 4096;read " + std::to_string(frames),
                  vars);
    EXPECT_EQ(r.err, "");
    return samples_of(r.dump);
}

std::string req(unsigned long code)
{
    return std::to_string(code);
}

} // namespace

TEST(SimdspSignal, SineIsComputedFromTheFrameIndex)
{
    // A quarter of the rate: exactly 0, peak, 0, -peak.
    auto s = record("sine:11025:1", 4096);
    ASSERT_EQ(s.size(), 4096u);
    const int16_t quarter[4] = {0, 32767, 0, -32767};
    for (int i = 0; i < 4096; ++i)
        ASSERT_EQ(s[i], quarter[i % 4]) << "frame " << i;

    const int16_t half_level = static_cast<int16_t>(std::lround(32767 * std::pow(10.0, -6.0 / 20)));
    s = record("sine:11025:-6dB:90", 8);
    EXPECT_EQ(s, (std::vector<int16_t>{half_level, 0, static_cast<int16_t>(-half_level), 0, half_level, 0,
                                       static_cast<int16_t>(-half_level), 0}));

    // Any frequency, against the definition.
    s = record("sine:1000:0.3", 2048);
    for (int i = 0; i < 2048; ++i)
        ASSERT_NEAR(s[i], 0.3 * 32767 * std::sin(2 * M_PI * 1000.0 * i / 44100), 0.5 + 1e-6) << "frame " << i;
}

TEST(SimdspSignal, FullScaleSineOnABinIsACleanTone)
{
    const int n = 2048, k = 93;
    const double f = k * 44100.0 / n;
    std::ostringstream signal;
    signal.precision(17);
    signal << "sine:" << f << ":1";
    auto s = record(signal.str(), n);
    ASSERT_EQ(s.size(), static_cast<size_t>(n));
    double peak = 0, worst_other = 0;
    for (int bin = 1; bin < n / 2; ++bin) {
        std::complex<double> x = 0;
        for (int i = 0; i < n; ++i)
            x += static_cast<double>(s[i]) * std::polar(1.0, -2 * M_PI * bin * i / n);
        if (bin == k)
            peak = std::abs(x);
        else
            worst_other = std::max(worst_other, std::abs(x));
    }
    EXPECT_NEAR(peak, 32767.0 * n / 2, 32767.0 * n / 2 * 1e-5);
    EXPECT_LT(worst_other, peak * 1e-5) << "leakage above -100 dB";
}

TEST(SimdspSignal, NoiseIsRepeatableAndUniform)
{
    const auto a = record("noise:1:0.5", 8192);
    ASSERT_EQ(a.size(), 8192u);
    EXPECT_EQ(record("noise:1:0.5", 8192), a);
    EXPECT_NE(record("noise:2:0.5", 8192), a);
    double sum = 0, squares = 0;
    std::set<int> values;
    for (int16_t v : a) {
        ASSERT_LE(std::abs(v), 16384);
        sum += v;
        squares += static_cast<double>(v) * v;
        values.insert(v);
    }
    const double amplitude = 0.5 * 32767;
    EXPECT_LT(std::abs(sum / a.size()), 0.03 * amplitude);
    EXPECT_NEAR(std::sqrt(squares / a.size()), amplitude / std::sqrt(3.0), 0.05 * amplitude / std::sqrt(3.0));
    EXPECT_GT(values.size(), 4000u);

    // Both channels from the same seed are the same noise.
    const ChildResult r = run_child("create /dev/dsp 0 0 1 2 44100 256;read 256", {{"SIMDSP_LEFT", "noise:7:1"}});
    const auto st = samples_of(r.dump);
    ASSERT_EQ(st.size(), 512u);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(st[2 * i], st[2 * i + 1]);
}

TEST(SimdspSignal, FilesSumsLimitsAndClipping)
{
    TempDir dir;
    write_file(dir / "five", le16({1, 2, 3, 4, -5}));
    EXPECT_EQ(record("file:" + (dir / "five"), 12), (std::vector<int16_t>{1, 2, 3, 4, -5, 1, 2, 3, 4, -5, 1, 2}));
    EXPECT_EQ(record("file:" + (dir / "five") + ":once", 8), (std::vector<int16_t>{1, 2, 3, 4, -5, 0, 0, 0}));
    EXPECT_EQ(record("dc:100", 6, 44100, {{"SIMDSP_FRAMES", "3"}}), (std::vector<int16_t>{100, 100, 100, 0, 0, 0}));
    EXPECT_EQ(record("sine:11025:0.25+dc:100", 4), (std::vector<int16_t>{100, 8292, 100, -8092}));
    EXPECT_EQ(record("dc:30000+dc:30000", 2), (std::vector<int16_t>{32767, 32767}));
    EXPECT_EQ(record("dc:-40000", 2), (std::vector<int16_t>{-32768, -32768}));

    // A bad setting is reported and the device does not open.
    const ChildResult r = run_child("open /dev/dsp 0", {{"SIMDSP_LEFT", "sine:1000"}});
    EXPECT_EQ(r.out, "open Invalid argument\n");
    EXPECT_NE(r.err.find("simdsp: bad setting SIMDSP_LEFT=sine:1000"), std::string::npos) << r.err;
}

TEST(SimdspDevice, FormatsAndRequests)
{
    // OSS defaults when nothing is configured: unsigned 8-bit mono.
    ChildResult r = run_child("open /dev/dsp 0;rread 4", {{"SIMDSP_LEFT", "dc:1000"}});
    EXPECT_EQ(r.dump, "\x83\x83\x83\x83");

    r = run_child("open /dev/dsp 0;ioctl " + req(SNDCTL_DSP_SETFMT) + " " + std::to_string(AFMT_S16_BE) +
                      ";ioctl " + req(SNDCTL_DSP_CHANNELS) + " 2;rread 8",
                  {{"SIMDSP_LEFT", "dc:0x1234"}, {"SIMDSP_RIGHT", "dc:-2"}});
    EXPECT_EQ(r.out, "open ok\nioctl 0 32\nioctl 0 2\nrread 8\n");
    EXPECT_EQ(r.dump, std::string("\x12\x34\xFF\xFE\x12\x34\xFF\xFE", 8));

    r = run_child("open /dev/dsp 2;ioctl " + req(SNDCTL_DSP_GETFMTS) + " 0;ioctl " + req(SNDCTL_DSP_CHANNELS) +
                      " 1;ioctl " + req(SNDCTL_DSP_SPEED) + " 44100;ioctl 0xC0045099 5;ioctl " +
                      req(SNDCTL_DSP_RESET) + " 5;close",
                  {{"SIMDSP_REFUSE_FORMAT", "S8"}, {"SIMDSP_REFUSE_CHANNELS", "1"}, {"SIMDSP_RATE", "48000"}});
    EXPECT_EQ(r.out, "open ok\nioctl 0 " + std::to_string(AFMT_U8 | AFMT_S16_LE | AFMT_S16_BE) +
                         "\nioctl 0 2\nioctl 0 48000\nioctl -1 5\nioctl 0 5\n");
    const auto log = r.log_lines();
    ASSERT_EQ(log.size(), 7u) << r.log;
    EXPECT_EQ(log[0].substr(0, 27), "open /dev/dsp flags=0x2 -> ");
    EXPECT_EQ(log[1], "ioctl SNDCTL_DSP_GETFMTS 0x0 -> 0x38 rc=0");
    EXPECT_EQ(log[2], "ioctl SNDCTL_DSP_CHANNELS 1 -> 2 rc=0");
    EXPECT_EQ(log[3], "ioctl SNDCTL_DSP_SPEED 44100 -> 48000 rc=0");
    EXPECT_EQ(log[4], "ioctl 0xc0045099 rc=-1 errno=EINVAL");
    EXPECT_EQ(log[5], "ioctl SNDCTL_DSP_RESET rc=0");
    EXPECT_EQ(log[6].substr(0, 6), "close ");
}

TEST(SimdspDevice, PlayedBytesAreAppendedAcrossOpens)
{
    const ChildResult r =
        run_child("create /dev/dsp 0 1 1 2 44100 256;write 256;delete;create /dev/dsp 0 1 1 2 44100 256;write 256",
                  {{"SIMDSP_PACE", "realtime"}});
    EXPECT_EQ(r.out, "create ok\nwrite 256\ncreate ok\nwrite 256\n");
    ASSERT_EQ(r.played.size(), 2048u);
    for (size_t j = 0; j < r.played.size(); ++j)
        ASSERT_EQ(static_cast<unsigned char>(r.played[j]), pattern_byte(j)) << "byte " << j;
}

TEST(SimdspDevice, OnlyTheConfiguredPathIsSimulated)
{
    TempDir dir;
    const std::string dsp = dir / "mydsp", cdr = dir / "p.cdr";
    const ChildResult r = run_child("open /dev/dsp 0;open " + dsp + " 0;dup2 50;rread 4;create " + cdr +
                                        " 1 1 1 2 44100 1;write 2;delete;fds",
                                    {{"SIMDSP_DEVICE", dsp}, {"SIMDSP_LEFT", "dc:0x4000"}});
    const auto out = r.out_lines();
    ASSERT_GE(out.size(), 5u) << r.out << r.err;
    EXPECT_EQ(out[0], "open No such file or directory");
    EXPECT_EQ(out[1], "open ok");
    EXPECT_EQ(out[2], "dup2 50");
    EXPECT_EQ(out[3], "rread 4");
    EXPECT_EQ(r.dump, "\xC0\xC0\xC0\xC0") << "a duplicate reads the device";
    EXPECT_FALSE(exists(dsp));
    // An ordinary file written under the preload holds the bytes, swapped.
    std::string expected;
    for (uint64_t j = 0; j < 8; j += 2)
        expected += {static_cast<char>(pattern_byte(j + 1)), static_cast<char>(pattern_byte(j))};
    EXPECT_EQ(read_file(cdr), expected);
}
