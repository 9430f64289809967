// The sampler on the simulated sound device, run in a child process: the
// start with its report, the failures of the device and of the file, blocks
// recorded from the device, disk files played block by block up to their
// end, and what a stop leaves behind.
#include "test_sampler_child.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace samplertest {
namespace {

std::string report(const char* mode, const char* buffer_line)
{
    return std::string("driver: oss\n"
                       "name: /dev/dsp\n"
                       "type: device\n"
                       "mode: ") +
           mode +
           "\n"
           "format: signed 16 bits\n"
           "channels: 2\n"
           "rate: 44100 Hz\n" +
           buffer_line + "\n";
}

int32_t widened(int16_t v)
{
    return static_cast<int32_t>(static_cast<int64_t>(v) * 65536);
}

// Mean of one channel of widened interleaved samples, truncated toward zero.
int mean_of(const std::vector<int16_t>& interleaved, size_t first_frame, size_t frames,
            size_t channel)
{
    long double sum = 0;
    for (size_t i = 0; i < frames; ++i)
        sum += static_cast<long double>(interleaved[2 * (first_frame + i) + channel]) * 65536;
    const long double q = std::floor(std::fabs(sum) / frames);
    return static_cast<int>(sum < 0 ? -q : q);
}

std::string read_line(int ok, int count, int left, int right)
{
    return "read " + std::to_string(ok) + " count=" + std::to_string(count) +
           " dc=" + std::to_string(left) + "," + std::to_string(right);
}

// The descriptor an "open ... -> N" log line handed out, or -1.
int opened_fd(const std::string& line)
{
    const size_t arrow = line.rfind("-> ");
    if (line.compare(0, 5, "open ") != 0 || arrow == std::string::npos)
        return -1;
    return std::atoi(line.c_str() + arrow + 3);
}

int count_prefixed(const std::vector<std::string>& lines, const std::string& prefix)
{
    int n = 0;
    for (const std::string& l : lines)
        n += l.compare(0, prefix.size(), prefix) == 0;
    return n;
}

// ---------------------------------------------------------------- start

TEST(SamplerDeviceStart, DefaultSettingsReportTheDeviceStreamInEightLines)
{
    const ChildResult r = run_child("dirty;start");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, report("read", "buffer size: 2048 frames, 8192 bytes, 46.4399 ms"));
    ASSERT_EQ(r.out_lines().size(), 1u);
    EXPECT_EQ(r.out_lines()[0], "start 1 count=-1 bps=21.533203125 zero=1 dc=0,0");
    const auto log = r.log_lines();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].compare(0, 25, "open /dev/dsp flags=0x800"), 0) << log[0];
    EXPECT_EQ(count_prefixed(log, "ioctl SNDCTL_DSP_SETFRAGMENT 0x2000d "), 1) << r.log;
    EXPECT_EQ(count_prefixed(log, "ioctl SNDCTL_DSP_SPEED 44100 "), 1) << r.log;
}

TEST(SamplerDeviceStart, PowerOfTwoLengthsFrom128StartAndReadBlocks)
{
    struct Case {
        unsigned int length;
        const char* buffer_line;
        const char* fragment;
        const char* bps;
        const char* read;
    };
    for (const Case& c : {
             Case{128, "buffer size: 128 frames, 512 bytes, 2.90249 ms", "0x20009",
                  "344.53125", "read 512 -> 512"},
             Case{256, "buffer size: 256 frames, 1024 bytes, 5.80499 ms", "0x2000a",
                  "172.265625", "read 1024 -> 1024"},
             Case{2048, "buffer size: 2048 frames, 8192 bytes, 46.4399 ms", "0x2000d",
                  "21.533203125", "read 8192 -> 8192"},
             Case{65536, "buffer size: 65536 frames, 262144 bytes, 1486.08 ms", "0x20012",
                  "0.67291259765625", "read 262144 -> 262144"},
         }) {
        SCOPED_TRACE(c.length);
        const ChildResult r = run_child("set length " + std::to_string(c.length) +
                                        ";start;read 2;stop");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, report("read", c.buffer_line));
        const auto out = r.out_lines();
        ASSERT_EQ(out.size(), 4u) << r.out;
        EXPECT_EQ(out[0], std::string("start 1 count=-1 bps=") + c.bps + " zero=1 dc=0,0");
        EXPECT_EQ(out[1], read_line(1, 0, 0, 0));
        EXPECT_EQ(out[2], read_line(1, 1, 0, 0));
        EXPECT_EQ(out[3], "stop buffer=0 device=0 file=0");
        const auto log = r.log_lines();
        EXPECT_EQ(count_prefixed(log, std::string("ioctl SNDCTL_DSP_SETFRAGMENT ") + c.fragment +
                                          " "),
                  1)
            << r.log;
        EXPECT_EQ(count_prefixed(log, c.read), 2) << r.log;
    }
}

// Too long a block is refused by the sampler itself, before any stream.
TEST(SamplerDeviceStart, LengthAboveTheLimitNeverOpensTheDevice)
{
    const ChildResult r = run_child("set length 131072;start");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.err_lines().size(), 1u) << r.err;
    EXPECT_EQ(r.err.compare(0, 7, "error: "), 0) << r.err;
    EXPECT_EQ(r.out, "start 0 count=0 bps=0 zero=0 dc=0,0\n");
    EXPECT_EQ(r.log, "");
}

// The device runs at the sampler's rate; the file is always opened as
// 44100 Hz, the only rate the file streams take.
TEST(SamplerDeviceStart, DiskfileAtAnotherDeviceRateStillOpensTheFile)
{
    TempDir dir;
    const std::string file = dir / "music.cdr";
    const std::vector<int16_t> samples(2 * 256 * 2, -3);
    write_file(file, bytes16(samples, false));
    const ChildResult r = run_child("set rate 48000;set length 256;set source 1;set filename " +
                                    file + ";start;read 1;stop");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "driver: oss\n"
                     "name: /dev/dsp\n"
                     "type: device\n"
                     "mode: write\n"
                     "format: signed 16 bits\n"
                     "channels: 2\n"
                     "rate: 48000 Hz\n"
                     "buffer size: 256 frames, 1024 bytes, 5.33333 ms\n");
    const auto out = r.out_lines();
    ASSERT_EQ(out.size(), 3u) << r.out;
    EXPECT_EQ(out[0], "start 1 count=-1 bps=187.5 zero=1 dc=0,0");
    EXPECT_EQ(out[1], read_line(1, 0, -3 * 65536, -3 * 65536));
    EXPECT_EQ(count_prefixed(r.log_lines(), "ioctl SNDCTL_DSP_SPEED 48000 -> 48000 "), 1) << r.log;
}

// 32 bits pass the sampler's own check but never reach the device.
TEST(SamplerDeviceStart, Resolution32NeverOpensTheDeviceInEitherMode)
{
    for (int source : {0, 1}) {
        SCOPED_TRACE(source);
        const ChildResult r = run_child("set resolution 32;set source " +
                                        std::to_string(source) +
                                        ";set filename /tmp/zen-absent-file.wav;start;fds");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "error: Illegal format (resolution)\n");
        ASSERT_GE(r.out_lines().size(), 1u);
        EXPECT_EQ(r.out_lines()[0].compare(0, 8, "start 0 "), 0) << r.out;
        EXPECT_EQ(r.log, "");
    }
}

// The device fails, so the file (which does not exist either) is never
// tried: its own message would follow.
TEST(SamplerDeviceStart, DeviceThatCannotOpenInDiskfileModeLeavesTheFileAlone)
{
    TempDir dir;
    const ChildResult r = run_child("set source 1;set filename " + (dir / "absent.wav") +
                                        ";fds;start;fds",
                                    {{"SIMDSP_FAIL_OPEN", "EBUSY"}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "error: Can't open /dev/dsp: Device or resource busy\n");
    EXPECT_EQ(r.log, "open /dev/dsp flags=0x801 -> -1 errno=EBUSY\n");
    const auto out = r.out_lines();
    ASSERT_EQ(out.size(), 3u) << r.out;
    EXPECT_EQ(out[1].compare(0, 8, "start 0 "), 0) << r.out;
    EXPECT_EQ(out[0], out[2]);
}

// The device was opened for playing, then the file fails: the device is
// closed again and nothing is held.
TEST(SamplerDeviceStart, FileThatCannotOpenClosesTheDeviceAgain)
{
    TempDir dir;
    const std::string absent = dir / "absent.wav";
    for (const std::string& name : {absent, dir / "sound.mp3"}) {
        SCOPED_TRACE(name);
        const ChildResult r =
            run_child("set source 1;set filename " + name + ";fds;start;fds;stop");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, name == absent
                             ? "error: Can't open " + absent + ": No such file or directory\n"
                             : std::string("error: Unknown name for pcm interface\n"));
        const auto out = r.out_lines();
        ASSERT_EQ(out.size(), 4u) << r.out;
        EXPECT_EQ(out[1].compare(0, 8, "start 0 "), 0) << r.out;
        EXPECT_EQ(out[0], out[2]);
        EXPECT_EQ(out[3], "stop buffer=0 device=0 file=0");
        const auto log = r.log_lines();
        ASSERT_GE(log.size(), 2u) << r.log;
        const int fd = opened_fd(log.front());
        EXPECT_GE(fd, 0) << log.front();
        EXPECT_EQ(log.front().compare(0, 25, "open /dev/dsp flags=0x801"), 0) << log.front();
        EXPECT_EQ(log.back(), "close " + std::to_string(fd));
        EXPECT_EQ(count_prefixed(log, "close"), 1) << r.log;
        EXPECT_EQ(count_prefixed(log, "write"), 0) << r.log;
    }
}

// ---------------------------------------------------------------- stop

TEST(SamplerDeviceStop, StopReleasesBlockAndStreamsAndClosesTheDevice)
{
    const ChildResult r = run_child("set length 256;fds;start;read 2;stop;fds;stop");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto out = r.out_lines();
    ASSERT_EQ(out.size(), 7u) << r.out;
    EXPECT_EQ(out[4], "stop buffer=0 device=0 file=0");
    EXPECT_EQ(out[0], out[5]);  // "fds N": no descriptor left over
    EXPECT_EQ(out[6], "stop buffer=0 device=0 file=0");
    const auto log = r.log_lines();
    ASSERT_GE(log.size(), 2u);
    const int fd = opened_fd(log.front());
    EXPECT_GE(fd, 0);
    EXPECT_EQ(log.back(), "close " + std::to_string(fd));
    EXPECT_EQ(count_prefixed(log, "close"), 1) << r.log;
}

TEST(SamplerDeviceStop, DiskfileStopClosesDeviceAndFile)
{
    TempDir dir;
    const std::string file = dir / "tone.wav";
    write_file(file, wav_bytes(std::vector<int16_t>(2 * 256 * 4, 100)));
    const ChildResult r = run_child("set length 256;set source 1;set filename " + file +
                                    ";fds;start;fds;read 2;stop;fds");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto out = r.out_lines();
    ASSERT_EQ(out.size(), 7u) << r.out;
    // At least the file and the device were open while running.
    EXPECT_GE(std::atoi(out[2].c_str() + 4), std::atoi(out[0].c_str() + 4) + 2) << r.out;
    EXPECT_EQ(out[5], "stop buffer=0 device=0 file=0");
    EXPECT_EQ(out[0], out[6]);
    const auto log = r.log_lines();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.back(), "close " + std::to_string(opened_fd(log.front())));
}

// A new start begins a new count and a new, zeroed block; the means of the
// last run stay until the first block.
TEST(SamplerDeviceStop, RestartCountsAfreshAndKeepsTheLastMeans)
{
    const ChildResult r = run_child("set length 128;start;read 3;stop;dirty;start;read 1;stop",
                                    {{"SIMDSP_LEFT", "dc:-3"}, {"SIMDSP_RIGHT", "dc:7"}});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto out = r.out_lines();
    ASSERT_EQ(out.size(), 8u) << r.out;
    EXPECT_EQ(out[3], read_line(1, 2, -3 * 65536, 7 * 65536));
    EXPECT_EQ(out[5], "start 1 count=-1 bps=344.53125 zero=1 dc=-196608,458752");
    EXPECT_EQ(out[6], read_line(1, 0, -3 * 65536, 7 * 65536));
    const std::string one = report("read", "buffer size: 128 frames, 512 bytes, 2.90249 ms");
    EXPECT_EQ(r.err, one + one);
}

// ---------------------------------------------------------------- recording

struct Recorded {
    std::vector<int16_t> left, right;  // the device's loops
    std::vector<int16_t> interleaved(size_t frames) const
    {
        std::vector<int16_t> v;
        for (size_t i = 0; i < frames; ++i) {
            v.push_back(left[i % left.size()]);
            v.push_back(right[i % right.size()]);
        }
        return v;
    }
};

// Distinct samples on each channel, loops of lengths that are no multiple
// of the block.
Recorded make_loops(const TempDir& dir, std::map<std::string, std::string>& vars)
{
    Recorded rec;
    for (int i = 0; i < 1000; ++i) {
        rec.left.push_back(static_cast<int16_t>(static_cast<uint16_t>(i * 37 + 32768)));
        rec.right.push_back(static_cast<int16_t>(static_cast<uint16_t>(32767 - i * 53)));
    }
    rec.right.resize(777);
    rec.left[5] = -32768;
    rec.left[6] = 32767;
    rec.right[7] = 1;
    write_file(dir / "left.raw", bytes16(rec.left, true));
    write_file(dir / "right.raw", bytes16(rec.right, true));
    vars["SIMDSP_LEFT"] = "file:" + (dir / "left.raw");
    vars["SIMDSP_RIGHT"] = "file:" + (dir / "right.raw");
    return rec;
}

void expect_blocks(const ChildResult& r, const std::vector<int16_t>& samples, size_t length,
                   size_t blocks)
{
    const auto out = r.out_lines();
    ASSERT_GE(out.size(), blocks + 1) << r.out;
    for (size_t b = 0; b < blocks; ++b)
        EXPECT_EQ(out[1 + b], read_line(1, static_cast<int>(b),
                                        mean_of(samples, b * length, length, 0),
                                        mean_of(samples, b * length, length, 1)));
    const std::vector<int32_t> dump = int32s_of(r.dump);
    ASSERT_EQ(dump.size(), 2 * length * blocks);
    size_t wrong = 0;
    for (size_t k = 0; k < dump.size(); ++k)
        wrong += dump[k] != widened(samples[k]);
    EXPECT_EQ(wrong, 0u);
}

TEST(SamplerSoundcard, BlocksHoldTheRecordedSamplesWidenedWithTheirMeans)
{
    TempDir dir;
    std::map<std::string, std::string> vars;
    const Recorded rec = make_loops(dir, vars);
    const ChildResult r = run_child("set length 256;start;read 5;stop", vars);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, report("read", "buffer size: 256 frames, 1024 bytes, 5.80499 ms"));
    expect_blocks(r, rec.interleaved(5 * 256), 256, 5);
}

// The stream hands the block over in pieces; the sampler still sees whole
// blocks.
TEST(SamplerSoundcard, BlocksArrivingInPiecesAreWhole)
{
    TempDir dir;
    std::map<std::string, std::string> vars;
    const Recorded rec = make_loops(dir, vars);
    vars["SIMDSP_SHORT"] = "301";
    vars["SIMDSP_EINTR"] = "3";
    const ChildResult r = run_child("set length 256;start;read 4;stop", vars);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, report("read", "buffer size: 256 frames, 1024 bytes, 5.80499 ms"));
    expect_blocks(r, rec.interleaved(4 * 256), 256, 4);
}

// The very first read fails: the stream reports it and the block that goes
// on is the zeroed one from the start. The next block is recorded again.
TEST(SamplerSoundcard, FailedFirstReadGoesOnWithTheZeroedBlock)
{
    const ChildResult r = run_child("set length 128;dirty;start;read 2;stop",
                                    {{"SIMDSP_LEFT", "dc:-5"},
                                     {"SIMDSP_RIGHT", "dc:9"},
                                     {"SIMDSP_FAIL_READ", "1:EIO"}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, report("read", "buffer size: 128 frames, 512 bytes, 2.90249 ms") +
                         "error: Input/output error\n");
    const auto out = r.out_lines();
    ASSERT_EQ(out.size(), 4u) << r.out;
    EXPECT_EQ(out[0].compare(0, 8, "start 1 "), 0);
    EXPECT_EQ(out[1], read_line(1, 0, 0, 0));
    EXPECT_EQ(out[2], read_line(1, 1, -5 * 65536, 9 * 65536));
    const std::vector<int32_t> dump = int32s_of(r.dump);
    ASSERT_EQ(dump.size(), 2u * 2 * 128);
    for (size_t k = 0; k < 256; ++k)
        ASSERT_EQ(dump[k], 0) << k;
    for (size_t k = 256; k < 512; ++k)
        ASSERT_EQ(dump[k], k % 2 ? 9 * 65536 : -5 * 65536) << k;
}

// A read that fails after good ones: that block is silence, not the last
// block widened once more.
TEST(SamplerSoundcard, FailedLaterReadGoesOnAsSilence)
{
    const ChildResult r = run_child("set length 128;start;read 3;stop",
                                    {{"SIMDSP_LEFT", "dc:-5"}, {"SIMDSP_RIGHT", "dc:9"}, {"SIMDSP_FAIL_READ", "2:EIO"}});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<int32_t> dump = int32s_of(r.dump);
    ASSERT_EQ(dump.size(), 3u * 2 * 128);
    for (size_t k = 0; k < dump.size(); ++k)
        ASSERT_EQ(dump[k], k / 256 == 1 ? 0 : k % 2 ? 9 * 65536 : -5 * 65536) << k;
}

// ---------------------------------------------------------------- disk files

class SamplerDiskfile : public ::testing::TestWithParam<const char*> {
protected:
    bool wav() const { return std::string(GetParam()) == "wav"; }
    std::string file_bytes(const std::vector<int16_t>& samples) const
    {
        return wav() ? wav_bytes(samples) : bytes16(samples, false);
    }
    std::string name(const TempDir& dir) const { return dir / (std::string("in.") + GetParam()); }
};

std::vector<int16_t> distinct_samples(size_t n, uint32_t seed)
{
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<int16_t>(static_cast<uint16_t>(i * 40503u + seed));
    return v;
}

// Three whole blocks and part of a fourth: three are played unchanged and
// widened, the fourth read ends the run and changes neither count nor means.
TEST_P(SamplerDiskfile, WholeBlocksArePlayedAndAnalysedThenTheEndStops)
{
    const size_t length = 256, blocks = 3;
    TempDir dir;
    const std::vector<int16_t> samples = distinct_samples(2 * (blocks * length + 100), 11);
    write_file(name(dir), file_bytes(samples));
    const ChildResult r =
        run_child("set length 256;set source 1;set filename " + name(dir) + ";start;read 4;stop");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, report("write", "buffer size: 256 frames, 1024 bytes, 5.80499 ms"));
    expect_blocks(r, samples, length, blocks);
    const auto out = r.out_lines();
    ASSERT_EQ(out.size(), 6u) << r.out;
    const int left = mean_of(samples, 2 * length, length, 0);
    const int right = mean_of(samples, 2 * length, length, 1);
    EXPECT_EQ(out[4], read_line(0, 2, left, right));
    EXPECT_EQ(out[5], "stop buffer=0 device=0 file=0");

    // The device got the file's frames in host order, before widening, and
    // nothing of the partial block.
    const std::vector<int16_t> first(samples.begin(), samples.begin() + 2 * blocks * length);
    EXPECT_TRUE(r.played == bytes16(first, true))
        << r.played.size() << " bytes played, " << first.size() * 2 << " expected";
    EXPECT_EQ(count_prefixed(r.log_lines(), "write 1024 -> 1024"), 3) << r.log;
    EXPECT_EQ(count_prefixed(r.log_lines(), "write"), 3) << r.log;
}

TEST_P(SamplerDiskfile, FileOfExactlyWholeBlocksEndsAtTheNextRead)
{
    const size_t length = 128, blocks = 2;
    TempDir dir;
    const std::vector<int16_t> samples = distinct_samples(2 * blocks * length, 5);
    write_file(name(dir), file_bytes(samples));
    const ChildResult r = run_child("set length 128;set source 1;set filename " + name(dir) +
                                    ";start;read 3;stop");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, report("write", "buffer size: 128 frames, 512 bytes, 2.90249 ms"));
    expect_blocks(r, samples, length, blocks);
    const auto out = r.out_lines();
    ASSERT_EQ(out.size(), 5u) << r.out;
    EXPECT_EQ(out[3], read_line(0, 1, mean_of(samples, length, length, 0),
                                mean_of(samples, length, length, 1)));
    EXPECT_EQ(r.played.size(), 2 * length * 4);
}

TEST_P(SamplerDiskfile, FileShorterThanOneBlockEndsAtOnce)
{
    for (size_t frames : {0u, 1u, 255u}) {
        SCOPED_TRACE(frames);
        TempDir dir;
        write_file(name(dir), file_bytes(distinct_samples(2 * frames, 3)));
        const ChildResult r = run_child("set length 256;set source 1;set filename " +
                                        name(dir) + ";start;read 1;stop");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, report("write", "buffer size: 256 frames, 1024 bytes, 5.80499 ms"));
        const auto out = r.out_lines();
        ASSERT_EQ(out.size(), 3u) << r.out;
        EXPECT_EQ(out[0], "start 1 count=-1 bps=172.265625 zero=1 dc=0,0");
        EXPECT_EQ(out[1], read_line(0, -1, 0, 0));
        EXPECT_EQ(r.played, "");
        EXPECT_EQ(count_prefixed(r.log_lines(), "write"), 0) << r.log;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SamplerDiskfile, ::testing::Values("wav", "cdr"));

// ---------------------------------------------------------------- ALSA, demo

// ALSA's own plugins in a test configuration: "file" with an input file
// records known frames, "file" over "null" keeps what is played.
TEST(SamplerAlsa, RecordsAndPlaysExactFramesThroughAlsaPlugins)
{
    TempDir dir;
    std::map<std::string, std::string> vars;
    const Recorded rec = make_loops(dir, vars);
    const std::vector<int16_t> frames = rec.interleaved(5 * 256);
    write_file(dir / "in.raw", bytes16(frames, true));
    write_file(dir / "asound.conf",
               "pcm.sink { type null }\n"
               "pcm.zenin { type file slave.pcm \"sink\" file \"/dev/null\" infile \"" + (dir / "in.raw") +
                   "\" format \"raw\" }\n"
                   "pcm.zenout { type file slave.pcm \"sink\" file \"" + (dir / "out.raw") +
                   "\" format \"raw\" }\n");
    vars = {{"ALSA_CONFIG_PATH", dir / "asound.conf"}};
    ChildResult r = run_child("set length 256;set device alsa:zenin;start;read 5;stop", vars);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.substr(0, 30), "driver: alsa\nname: alsa:zenin\n") << r.err;
    EXPECT_NE(r.err.find("device buffer: periods of 256 frames (5.80499 ms), 512 frames in all\n"),
              std::string::npos)
        << r.err;
    expect_blocks(r, frames, 256, 5);

    const std::vector<int16_t> file = distinct_samples(2 * (3 * 256 + 50), 9);
    write_file(dir / "in.wav", wav_bytes(file));
    r = run_child("set length 256;set source 1;set device alsa:zenout;set filename " + (dir / "in.wav") +
                      ";start;read 4;stop",
                  vars);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("error"), std::string::npos) << r.err;
    const std::vector<int16_t> whole(file.begin(), file.begin() + 2 * 3 * 256);
    EXPECT_TRUE(read_file(dir / "out.raw") == bytes16(whole, true));
}

// The demonstration stream records its tones: 440 Hz on both channels,
// 2 dB apart, as the generator describes them.
TEST(SamplerDemo, RecordsTheDemonstrationSignal)
{
    const ChildResult r = run_child("set device demo;start;read 2;stop");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.substr(0, 24), "driver: demo\nname: demo\n") << r.err;
    const std::vector<int32_t> dump = int32s_of(r.dump);
    ASSERT_EQ(dump.size(), 2u * 2 * 2048);
    // Amplitude of 440 Hz by projection on a Hann window, per channel.
    double amp[2];
    for (int ch = 0; ch < 2; ++ch) {
        double re = 0, im = 0, w_sum = 0;
        for (int i = 0; i < 2048; ++i) {
            const double w = 0.5 - 0.5 * std::cos(2 * M_PI * i / 2048);
            const double x = dump[2048 * 2 + 2 * i + ch] / 2147418112.0;
            re += w * x * std::cos(2 * M_PI * 440 * i / 44100.0);
            im += w * x * std::sin(2 * M_PI * 440 * i / 44100.0);
            w_sum += w;
        }
        amp[ch] = 2 * std::hypot(re, im) / w_sum;
    }
    EXPECT_NEAR(20 * std::log10(amp[0]), -6.0, 0.3);
    EXPECT_NEAR(20 * std::log10(amp[1]), -8.0, 0.3);
}

}  // namespace

const int child_hook_ran = child_hook();

}  // namespace samplertest
