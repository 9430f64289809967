// The CDR file stream: big-endian frames converted in place, both ways.
#include "pcm/PCMCDR.h"
#include "test_pcm_child.h"

#include <gtest/gtest.h>

using namespace pcmtest;

namespace {

PCM* open_cdr(const std::string& path, int mode, std::string& err, int channels = 2, int rate = 44100,
              int format = 1, int size = 1)
{
    testing::internal::CaptureStderr();
    PCM* pcm = create_pcm(path.c_str(), 1, mode, format, channels, rate, size);
    err = testing::internal::GetCapturedStderr();
    return pcm;
}

} // namespace

TEST(CdrRead, SamplesAreConvertedToHostOrder)
{
    TempDir dir;
    const std::string f = dir / "a.cdr";
    write_file(f, std::string("\x12\x34\xFF\xFE\x80\x00\x7F\xFF", 8));
    std::string err;
    PCM* pcm = open_cdr(f, 0, err);
    ASSERT_NE(pcm, nullptr) << err;
    EXPECT_EQ(pcm->frames(), 2);
    int16_t buf[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(pcm->read(buf, 4), 2);
    EXPECT_EQ(buf[0], 4660);
    EXPECT_EQ(buf[1], -2);
    EXPECT_EQ(buf[2], -32768);
    EXPECT_EQ(buf[3], 32767);
    EXPECT_EQ(buf[4], 9) << "only the frames read are converted";
    EXPECT_EQ(pcm->read(buf, 4), 0);
    EXPECT_EQ(pcm->seek(1, SEEK_SET), 1);
    EXPECT_EQ(pcm->read(buf, 1), 1);
    EXPECT_EQ(buf[0], -32768);
    delete pcm;

    write_file(f, "");
    pcm = open_cdr(f, 0, err);
    ASSERT_NE(pcm, nullptr) << err;
    EXPECT_EQ(pcm->read(buf, 1), 0);
    delete pcm;

    write_file(f, std::string(176400, '\0'));
    pcm = open_cdr(f, 0, err);
    ASSERT_NE(pcm, nullptr) << err;
    EXPECT_EQ(pcm->frames(), 44100);
    delete pcm;
}

TEST(CdrWrite, CallersBlockIsLeftBigEndian)
{
    TempDir dir;
    const std::string f = dir / "b.cdr";
    std::string err;
    PCM* pcm = open_cdr(f, 1, err);
    ASSERT_NE(pcm, nullptr) << err;
    int16_t frame[4] = {4660, -2, 77, 77};
    EXPECT_EQ(pcm->write(frame, 1), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(frame), 4), "\x12\x34\xFF\xFE");
    EXPECT_EQ(frame[2], 77) << "only the frames written are converted";
    delete pcm;
    EXPECT_EQ(read_file(f), "\x12\x34\xFF\xFE");
}

TEST(CdrOpen, RefusedParametersAndFiles)
{
    TempDir dir;
    const std::string f = dir / "c.cdr";
    const int before = count_fds();
    std::string err;
    struct Case {
        int channels, rate, format, size;
        const char* message;
    };
    for (const Case& c : {Case{4, 44100, 1, 1, "error: Illegal number of channels\n"},
                          Case{2, 44100, 0, 1, "error: Illegal format (resolution)\n"},
                          Case{2, 48000, 1, 1, "error: Illegal rate\n"},
                          Case{2, 44100, 1, 2, "error: Illegal buffer size\n"}}) {
        EXPECT_EQ(open_cdr(f, 1, err, c.channels, c.rate, c.format, c.size), nullptr);
        EXPECT_EQ(err, c.message);
        EXPECT_FALSE(exists(f)) << "file created before the checks";
    }
    write_file(f, std::string(6, '\0'));
    EXPECT_EQ(open_cdr(f, 0, err), nullptr);
    EXPECT_EQ(err, "error: Illegal size of " + f + "\n");
    EXPECT_EQ(count_fds(), before);
}

TEST(CdrSwap, ReversesEachSampleOfTheFramesGiven)
{
    TempDir dir;
    PCMCDR cdr((dir / "s.cdr").c_str(), 1, 1, 1, 2, 44100, 1);
    unsigned char b[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    cdr.swap_bytes(b, 2);
    const unsigned char expected[10] = {2, 1, 4, 3, 6, 5, 8, 7, 9, 10};
    EXPECT_EQ(memcmp(b, expected, 10), 0);
}
