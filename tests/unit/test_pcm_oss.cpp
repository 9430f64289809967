// The OSS device stream against the simulated device: constructor checks and
// their messages, the exact requests, whole blocks from a device that
// delivers pieces, and errors in mid-stream.
#include "test_pcm_child.h"

#include <gtest/gtest.h>

using namespace pcmtest;

namespace {

const std::string stereo16 = "create /dev/dsp 0 0 1 2 44100 2048";

// Stream creation that must fail with exactly message, leaving nothing open
// and the device (when it was opened) closed again.
void expect_failure(const std::string& create, const std::map<std::string, std::string>& vars,
                    const std::string& message)
{
    SCOPED_TRACE(create);
    const ChildResult r = run_child("fds;" + create + ";fds", vars);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto out = r.out_lines();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1], "create null");
    EXPECT_EQ(out[0], out[2]) << "descriptors before and after";
    EXPECT_EQ(r.err, message);
    const auto log = r.log_lines();
    if (!log.empty() && log.front().find("-> -1") == std::string::npos) {
        EXPECT_EQ(log.back().substr(0, 6), "close ") << r.log;
    }
}

// The samples of a ramp file signal: value k at frame k (times step).
std::vector<int16_t> ramp(int n, int step)
{
    std::vector<int16_t> v(n);
    for (int i = 0; i < n; ++i)
        v[i] = static_cast<int16_t>(i * step);
    return v;
}

} // namespace

TEST(OssConstructor, ParameterChecksComeBeforeTheOpen)
{
    expect_failure("create /dev/dsp 0 0 1 3 44100 2048", {}, "error: Illegal number of channels\n");
    expect_failure("create /dev/dsp 0 0 2 2 44100 2048", {}, "error: Illegal format (resolution)\n");
    // Neither touched the device.
    EXPECT_EQ(run_child("create /dev/dsp 0 0 1 0 44100 2048").log, "");
}

TEST(OssConstructor, EachFailingStepGivesItsOwnMessage)
{
    expect_failure(stereo16, {{"SIMDSP_FAIL_OPEN", "EBUSY"}},
                   "error: Can't open /dev/dsp: Device or resource busy\n");
    expect_failure("create /dev/zentaphon-none 0 0 1 2 44100 2048", {},
                   "error: Can't open /dev/zentaphon-none: No such file or directory\n");
    expect_failure("create /dev/dsp 0 0 1 2 44100 1000", {}, "error: Invalid requested buffer size\n");
    expect_failure(stereo16, {{"SIMDSP_FAIL_IOCTL", "SETFRAGMENT:EINVAL"}},
                   "error: Can't set fragment size: Invalid argument\n");
    expect_failure(stereo16, {{"SIMDSP_FAIL_IOCTL", "SETFMT:EIO"}}, "error: Input/output error\n");
    expect_failure(stereo16, {{"SIMDSP_REFUSE_FORMAT", "S16_LE"}},
                   "error: Can't set requested format (resolution)\n");
    expect_failure("create /dev/dsp 0 0 0 1 8000 128", {{"SIMDSP_REFUSE_FORMAT", "S8"}},
                   "error: Can't set requested format (resolution)\n");
    expect_failure(stereo16, {{"SIMDSP_FAIL_IOCTL", "STEREO:EIO"}}, "error: Input/output error\n");
    expect_failure(stereo16, {{"SIMDSP_REFUSE_CHANNELS", "2"}}, "error: Can't set mono/stereo\n");
    expect_failure(stereo16, {{"SIMDSP_FAIL_IOCTL", "SPEED:EINVAL"}}, "error: Invalid argument\n");
    expect_failure(stereo16, {{"SIMDSP_FAIL_IOCTL", "GETBLKSIZE:EIO"}}, "error Input/output error\n");
}

TEST(OssConstructor, RateWithinOneHertzIsAcceptedAndReportedAsRequested)
{
    for (const char* offset : {"1", "-1"}) {
        const ChildResult r = run_child(stereo16 + ";info", {{"SIMDSP_RATE_OFFSET", offset}});
        EXPECT_EQ(r.out, "create ok\n");
        EXPECT_NE(r.err.find("\nrate: 44100 Hz\n"), std::string::npos) << r.err;
    }
    expect_failure(stereo16, {{"SIMDSP_RATE_OFFSET", "2"}},
                   "error: Can't set requested rate\nrequested rate: 44100 Hz, actual rate: 44102 Hz\n");
    expect_failure(stereo16, {{"SIMDSP_RATE_OFFSET", "-2"}},
                   "error: Can't set requested rate\nrequested rate: 44100 Hz, actual rate: 44098 Hz\n");
}

TEST(OssConstructor, BlockSizeReadBackMustMatch)
{
    expect_failure(stereo16, {{"SIMDSP_BLKSIZE", "4096"}},
                   "error: Can't set requested buffer size\nrequested size: 8192 bytes, actual size: 4096 bytes\n");
}

TEST(OssRequests, StereoSixteenBitBlockOf2048Frames)
{
    const ChildResult r = run_child(stereo16 + ";delete");
    const std::vector<std::string> expected = {
        "open /dev/dsp flags=0x800 -> 3",
        "ioctl SNDCTL_DSP_SETFRAGMENT 0x2000d -> 0x2000d rc=0",
        "ioctl SNDCTL_DSP_SETFMT 0x10 -> 0x10 rc=0",
        "ioctl SNDCTL_DSP_STEREO 1 -> 1 rc=0",
        "ioctl SNDCTL_DSP_SPEED 44100 -> 44100 rc=0",
        "ioctl SNDCTL_DSP_GETBLKSIZE 8192 -> 8192 rc=0",
        "close 3",
    };
    auto log = r.log_lines();
    ASSERT_EQ(log.size(), expected.size()) << r.log;
    // The descriptor number is the child's business.
    const std::string fd = log[0].substr(log[0].rfind(' ') + 1);
    for (size_t i = 0; i < expected.size(); ++i) {
        std::string e = expected[i];
        if (i == 0 || i + 1 == expected.size())
            e = e.substr(0, e.size() - 1) + fd;
        EXPECT_EQ(log[i], e);
    }
    EXPECT_EQ(r.err, "");
}

TEST(OssRequests, MonoEightBitBlockOf128FramesAndPlayback)
{
    const ChildResult r = run_child("create /dev/dsp 0 1 0 1 8000 128");
    const auto log = r.log_lines();
    ASSERT_EQ(log.size(), 7u) << r.log;
    EXPECT_EQ(log[0].substr(0, 28), "open /dev/dsp flags=0x801 ->");
    EXPECT_EQ(log[1], "ioctl SNDCTL_DSP_SETFRAGMENT 0x20007 -> 0x20007 rc=0");
    EXPECT_EQ(log[2], "ioctl SNDCTL_DSP_SETFMT 0x40 -> 0x40 rc=0");
    EXPECT_EQ(log[3], "ioctl SNDCTL_DSP_STEREO 0 -> 0 rc=0");
    EXPECT_EQ(log[4], "ioctl SNDCTL_DSP_SPEED 8000 -> 8000 rc=0");
    EXPECT_EQ(log[5], "ioctl SNDCTL_DSP_GETBLKSIZE 128 -> 128 rc=0");
}

TEST(OssData, BlocksArriveWholeInDeviceFormat)
{
    TempDir dir;
    write_file(dir / "l", le16(ramp(3000, 3)));
    write_file(dir / "r", le16(ramp(3000, -5)));
    const std::map<std::string, std::string> signal = {
        {"SIMDSP_LEFT", "file:" + (dir / "l")}, {"SIMDSP_RIGHT", "file:" + (dir / "r")}};
    const ChildResult r = run_child(stereo16 + ";read 2048;read 2048;frames;seek", signal);
    EXPECT_EQ(r.out, "create ok\nread 2048\nread 2048\nframes -1\nseek -1\n");
    const auto s = samples_of(r.dump);
    ASSERT_EQ(s.size(), 2u * 4096);
    for (int i = 0; i < 4096; ++i) {
        ASSERT_EQ(s[2 * i], static_cast<int16_t>((i % 3000) * 3)) << "frame " << i;
        ASSERT_EQ(s[2 * i + 1], static_cast<int16_t>((i % 3000) * -5)) << "frame " << i;
    }
    // frames and seek made no call on the device.
    EXPECT_EQ(r.log_lines().size(), 6u + 2u + 1u) << r.log;

    // Mono 8-bit: the high byte of each sample.
    const ChildResult m = run_child("create /dev/dsp 0 0 0 1 8000 128;read 128", {{"SIMDSP_LEFT", "dc:-1000"}});
    EXPECT_EQ(m.dump, std::string(128, static_cast<char>(-4)));
}

TEST(OssData, ReadsAndWritesInPiecesMoveWholeBlocks)
{
    TempDir dir;
    write_file(dir / "l", le16(ramp(5000, 7)));
    // Pieces that split frames, and an interruption every third call.
    const std::map<std::string, std::string> pieces = {
        {"SIMDSP_LEFT", "file:" + (dir / "l")}, {"SIMDSP_RIGHT", "dc:-3"},
        {"SIMDSP_SHORT", "1001"}, {"SIMDSP_EINTR", "3"}};
    const ChildResult r = run_child(stereo16 + ";read 2048;read 2048;read 2048", pieces);
    EXPECT_EQ(r.out, "create ok\nread 2048\nread 2048\nread 2048\n");
    EXPECT_EQ(r.err, "");
    const auto s = samples_of(r.dump);
    ASSERT_EQ(s.size(), 2u * 6144);
    for (int i = 0; i < 6144; ++i) {
        ASSERT_EQ(s[2 * i], static_cast<int16_t>((i % 5000) * 7)) << "frame " << i;
        ASSERT_EQ(s[2 * i + 1], -3) << "frame " << i;
    }
    EXPECT_NE(r.log.find("read 8192 -> 1001\n"), std::string::npos);
    EXPECT_NE(r.log.find("-> -1 errno=EINTR\n"), std::string::npos);

    const ChildResult w = run_child("create /dev/dsp 0 1 1 2 44100 2048;write 2048;write 2048", pieces);
    EXPECT_EQ(w.out, "create ok\nwrite 2048\nwrite 2048\n");
    ASSERT_EQ(w.played.size(), 2u * 8192);
    for (size_t j = 0; j < w.played.size(); ++j)
        ASSERT_EQ(static_cast<unsigned char>(w.played[j]), pattern_byte(j)) << "byte " << j;
}

TEST(OssData, ErrorInMidStreamFailsThatBlockOnly)
{
    const ChildResult r = run_child(stereo16 + ";read 2048;read 2048;read 2048;read 2048",
                                    {{"SIMDSP_FAIL_READ", "3:EIO"}});
    EXPECT_EQ(r.out, "create ok\nread 2048\nread 2048\nread -1\nread 2048\n");
    EXPECT_EQ(r.err, "error: Input/output error\n");

    const ChildResult w = run_child("create /dev/dsp 0 1 1 2 44100 2048;write 2048;write 2048;write 2048",
                                    {{"SIMDSP_FAIL_WRITE", "2:ENOSPC"}});
    EXPECT_EQ(w.out, "create ok\nwrite 2048\nwrite -1\nwrite 2048\n");
    EXPECT_EQ(w.err, "error: No space left on device\n");
}

TEST(OssData, EndOfDataInsideABlockIsAnError)
{
    // 1000 bytes arrive, then the device has nothing more.
    const ChildResult r = run_child(stereo16 + ";read 2048;read 2048",
                                    {{"SIMDSP_SHORT", "1000"}, {"SIMDSP_FAIL_READ", "2:EOF"}});
    EXPECT_EQ(r.out, "create ok\nread -1\nread -1\n");
    EXPECT_EQ(r.err, "error: Input/output error\nerror: Input/output error\n");

    const ChildResult w = run_child("create /dev/dsp 0 1 1 2 44100 2048;write 2048",
                                    {{"SIMDSP_FAIL_WRITE", "1:EOF"}});
    EXPECT_EQ(w.out, "create ok\nwrite -1\n");
    EXPECT_EQ(w.err, "error: Input/output error\n");
}
