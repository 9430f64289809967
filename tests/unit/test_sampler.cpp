// The sampler without a sound device: the checks of the settings at start,
// the failures that happen before or at the opening of the device, widening
// of 16-bit samples to 32 bits in place, the channel means and the
// power-of-two test.
#include "sampler/Sampler.h"
#include "simdsp_child.h"

#include <gtest/gtest.h>


#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

const char* const length_message = "error: illegal sample length (must be a 2^n)\n";
const char* const resolution_message = "error: illegal sample resolution (must 16 or 32)\n";
// No such node on any machine; nothing simulates it in this process.
const char* const absent_device = "/dev/zen-absent-dsp";

using simchild::count_fds;

int line_count(const std::string& s)
{
    return static_cast<int>(std::count(s.begin(), s.end(), '\n'));
}

class SamplerStart : public ::testing::Test {
protected:
    void SetUp() override
    {
        sampler = Sampler{};
        sampler.source = Sampler::Soundcard;
        sampler.rate = 44100;
        sampler.length = 2048;
        sampler.resolution = 16;
        sampler.device = absent_device;
        sampler.filename = "/tmp/zen-absent-file.wav";
    }
    void TearDown() override { sampler.stop(); }

    // Starts and returns what went to standard error.
    std::string start(bool expect = false)
    {
        testing::internal::CaptureStderr();
        const bool ok = sampler.start();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ok, expect);
        return err;
    }

    void expect_stopped()
    {
        EXPECT_EQ(sampler.buffer, nullptr);
        EXPECT_EQ(sampler.device_pcm, nullptr);
        EXPECT_EQ(sampler.file_pcm, nullptr);
    }
};

// A length that passes the checks goes on to the device, whose absence is
// then the only complaint; everything taken on the way is given back.
TEST_F(SamplerStart, PowersOfTwoFrom128UpAreAccepted)
{
    const int fds = count_fds();
    for (unsigned int length : {128u, 256u, 2048u, 65536u}) {
        SCOPED_TRACE(length);
        sampler.length = length;
        EXPECT_EQ(start(), std::string("error: Can't open ") + absent_device +
                               ": No such file or directory\n");
        expect_stopped();
    }
    EXPECT_EQ(count_fds(), fds);
}

TEST_F(SamplerStart, LengthsThatAreNoPowerOfTwoOrBelow128AreRejected)
{
    for (unsigned int length : {0u, 100u, 127u, 129u, 3000u, 64u, 1u, 2u, 65535u, 0xffffffffu}) {
        SCOPED_TRACE(length);
        sampler.length = length;
        EXPECT_EQ(start(), length_message);
        expect_stopped();
    }
}

TEST_F(SamplerStart, LengthsAboveTheLimitAreRejectedWithOneErrorLine)
{
    for (unsigned int length : {131072u, 1u << 20, 1u << 31}) {
        SCOPED_TRACE(length);
        sampler.length = length;
        const std::string err = start();
        EXPECT_EQ(err.compare(0, 7, "error: "), 0) << err;
        EXPECT_EQ(line_count(err), 1) << err;
        EXPECT_NE(err, length_message);
        EXPECT_EQ(err.find(absent_device), std::string::npos) << "the device was tried: " << err;
        expect_stopped();
    }
}

TEST_F(SamplerStart, ResolutionsOtherThan16And32AreRejected)
{
    for (int resolution : {8, 24, 0, -16, 15, 17, 31, 33, 64}) {
        SCOPED_TRACE(resolution);
        sampler.resolution = resolution;
        EXPECT_EQ(start(), resolution_message);
        expect_stopped();
    }
}

TEST_F(SamplerStart, LengthIsCheckedBeforeResolution)
{
    sampler.length = 100;
    sampler.resolution = 8;
    EXPECT_EQ(start(), length_message);
    sampler.length = 64;
    sampler.resolution = 24;
    EXPECT_EQ(start(), length_message);
    expect_stopped();
}

// 32 bits pass the sampler's own test; the device stream refuses them before
// it opens anything, and in disk-file mode the file is then never opened
// (the missing file would add its own message).
TEST_F(SamplerStart, Resolution32IsRefusedByTheDeviceInBothModes)
{
    const int fds = count_fds();
    for (int source : {Sampler::Soundcard, Sampler::Diskfile}) {
        SCOPED_TRACE(source);
        sampler.source = source;
        sampler.resolution = 32;
        sampler.device = "default";
        EXPECT_EQ(start(), "error: Illegal format (resolution)\n");
        expect_stopped();
    }
    EXPECT_EQ(count_fds(), fds);
}

TEST_F(SamplerStart, DeviceThatCannotOpenInDiskfileModeLeavesTheFileUnopened)
{
    sampler.source = Sampler::Diskfile;
    EXPECT_EQ(start(), std::string("error: Can't open ") + absent_device +
                           ": No such file or directory\n");
    expect_stopped();
}

TEST_F(SamplerStart, DeviceNamesOutsideDevAreRefusedByTheFactory)
{
    sampler.device = "dsp";
    EXPECT_EQ(start(), "error: Unknown name for pcm interface\n");
    expect_stopped();
}

TEST_F(SamplerStart, StopWhileStoppedIsHarmless)
{
    sampler.stop();
    sampler.stop();
    expect_stopped();
    sampler.source = Sampler::Diskfile;
    sampler.stop();
    expect_stopped();
}

// ---------------------------------------------------------------- widening

// The 32-bit element a 16-bit sample becomes: its signed value times 65536.
int32_t widened(int16_t v)
{
    const int64_t w = static_cast<int64_t>(v) * 65536;
    return static_cast<int32_t>(w);
}

// A buffer of 2 * frames int32 elements whose front holds the samples in
// host order and whose back is filled with a pattern that must disappear.
std::vector<int32_t> raw_block(const std::vector<int16_t>& samples)
{
    std::vector<int32_t> buf(samples.size(), static_cast<int32_t>(0xa5a5a5a5u));
    std::memcpy(buf.data(), samples.data(), samples.size() * sizeof(int16_t));
    return buf;
}

TEST(SampleWidening, ExtremesAndSmallValuesBecomeTheValueTimes65536)
{
    const std::vector<int16_t> samples = {-32768, 32767, 1, 0, -1, 2, -2, 256};
    std::vector<int32_t> buf = raw_block(samples);
    widen_samples(buf.data(), static_cast<unsigned int>(samples.size()));
    const std::vector<int32_t> expected = {INT32_MIN, 2147418112, 65536, 0,
                                           -65536,    131072,     -131072, 16777216};
    EXPECT_EQ(buf, expected);
}

// Every 16-bit pattern once, in a scrambled order: any sample overwritten
// before it was read would leave a wrong or repeated value behind.
TEST(SampleWidening, EveryDistinctSampleLandsInItsOwnElement)
{
    std::vector<int16_t> samples(65536);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(static_cast<uint16_t>(i));
    std::mt19937 rng(1234);
    std::shuffle(samples.begin(), samples.end(), rng);

    std::vector<int32_t> buf = raw_block(samples);
    widen_samples(buf.data(), static_cast<unsigned int>(samples.size()));
    size_t wrong = 0;
    for (size_t k = 0; k < samples.size(); ++k) {
        if (buf[k] != widened(samples[k]) || (buf[k] & 0xffff) != 0)
            ++wrong;
    }
    EXPECT_EQ(wrong, 0u);
}

TEST(SampleWidening, OneFrameAndOddCounts)
{
    for (size_t n : {1u, 2u, 3u, 5u, 7u}) {
        SCOPED_TRACE(n);
        std::vector<int16_t> samples(n);
        for (size_t i = 0; i < n; ++i)
            samples[i] = static_cast<int16_t>(-1000 * static_cast<int>(i) - 7);
        std::vector<int32_t> buf = raw_block(samples);
        buf.push_back(0x12345678);  // beyond the samples: untouched
        widen_samples(buf.data(), static_cast<unsigned int>(n));
        for (size_t k = 0; k < n; ++k)
            EXPECT_EQ(buf[k], widened(samples[k])) << k;
        EXPECT_EQ(buf.back(), 0x12345678);
    }
}

TEST(SampleWidening, NothingToWidenLeavesTheBufferAlone)
{
    std::vector<int32_t> buf = {0x01020304, 0x05060708};
    widen_samples(buf.data(), 0);
    EXPECT_EQ(buf, (std::vector<int32_t>{0x01020304, 0x05060708}));
}

// ---------------------------------------------------------------- means

// The mean as integer arithmetic defines it: the magnitude's quotient with
// the sum's sign, so that it truncates toward zero either way.
int reference_mean(const std::vector<int32_t>& block, size_t channel)
{
    long double sum = 0;
    for (size_t i = channel; i < block.size(); i += 2)
        sum += block[i];
    const long double frames = static_cast<long double>(block.size() / 2);
    const long double q = std::floor(std::fabs(sum) / frames);
    return static_cast<int>(sum < 0 ? -q : q);
}

TEST(ChannelMeans, TruncateTowardZeroForNegativeAndPositiveSums)
{
    struct Case {
        int32_t left_sum, right_sum;
        int left_mean, right_mean;
    };
    for (const Case& c : {Case{-129, 129, -1, 1}, Case{-127, 127, 0, 0}, Case{-256, 256, -2, 2},
                          Case{-255, 383, -1, 2}, Case{-128, 128, -1, 1}}) {
        SCOPED_TRACE(c.left_sum);
        std::vector<int32_t> block(2 * 128, 0);
        block[10] = c.left_sum;    // frame 5, left
        block[101] = c.right_sum;  // frame 50, right
        int left = 99, right = 99;
        channel_means(block.data(), 128, left, right);
        EXPECT_EQ(left, c.left_mean);
        EXPECT_EQ(right, c.right_mean);
    }
}

TEST(ChannelMeans, FullScaleBlocksDoNotOverflow)
{
    std::vector<int32_t> block(2 * 65536);
    for (size_t i = 0; i < block.size(); i += 2) {
        block[i] = INT32_MIN;
        block[i + 1] = 2147418112;
    }
    int left = 0, right = 0;
    channel_means(block.data(), 65536, left, right);
    EXPECT_EQ(left, INT32_MIN);
    EXPECT_EQ(right, 2147418112);
}

TEST(ChannelMeans, LeftAndRightAreKeptApart)
{
    std::vector<int32_t> block;
    for (int i = 0; i < 256; ++i) {
        block.push_back(3 * 65536);
        block.push_back(-7 * 65536);
    }
    int left = 0, right = 0;
    channel_means(block.data(), 256, left, right);
    EXPECT_EQ(left, 3 * 65536);
    EXPECT_EQ(right, -7 * 65536);
}

TEST(ChannelMeans, RandomBlocksMatchTheExactMean)
{
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    for (unsigned int frames : {128u, 256u, 1024u, 2048u, 4096u}) {
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<int32_t> block(2 * frames);
            // Small DC offsets of both signs, so that truncation matters.
            const int bias = trial % 2 ? 3 : -3;
            for (int32_t& v : block)
                v = trial < 10 ? sample(rng) * 65536 : sample(rng) / 1000 + bias;
            int left = 0, right = 0;
            channel_means(block.data(), frames, left, right);
            EXPECT_EQ(left, reference_mean(block, 0)) << frames << " " << trial;
            EXPECT_EQ(right, reference_mean(block, 1)) << frames << " " << trial;
        }
    }
}

// ---------------------------------------------------------------- power of two

TEST(PowerOfTwo, ExactlyTheValuesWithOneBitSet)
{
    auto bits = [](uint32_t v) {
        int n = 0;
        for (; v; v >>= 1)
            n += v & 1;
        return n;
    };
    for (uint32_t v = 0; v < 140000; ++v)
        ASSERT_EQ(is_power_of_two(v), bits(v) == 1) << v;
    for (int e = 0; e < 32; ++e) {
        const uint32_t p = 1u << e;
        EXPECT_TRUE(is_power_of_two(p)) << p;
        EXPECT_EQ(is_power_of_two(p + 1), bits(p + 1) == 1) << p;
        EXPECT_EQ(is_power_of_two(p - 1), bits(p - 1) == 1) << p;
    }
    EXPECT_FALSE(is_power_of_two(0xffffffffu));
}

}  // namespace
