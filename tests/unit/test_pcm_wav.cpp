// The WAV file stream: which files open, what reading returns, and the
// header of a written file before and after the stream is deleted.
#include "pcm/PCMWAV.h"
#include "test_pcm_child.h"

#include <gtest/gtest.h>

using namespace pcmtest;

namespace {

std::string u32(uint32_t v)
{
    std::string s;
    for (int i = 0; i < 4; ++i)
        s += static_cast<char>((v >> (8 * i)) & 0xff);
    return s;
}

std::string u16(uint16_t v)
{
    return std::string{static_cast<char>(v & 0xff), static_cast<char>(v >> 8)};
}

// A "fmt " chunk body of 16 bytes.
std::string fmt_body(int channels, int rate, int bits)
{
    const int align = channels * bits / 8;
    return u16(1) + u16(channels) + u32(rate) + u32(rate * align) + u16(align) + u16(bits);
}

// A canonical file around the given sample bytes.
std::string wav(const std::string& data, int channels = 2, int rate = 44100, int bits = 16)
{
    return "RIFF" + u32(36 + data.size()) + "WAVE" + "fmt " + u32(16) + fmt_body(channels, rate, bits) +
           "data" + u32(data.size()) + data;
}

struct Opened {
    PCM* pcm;
    std::string err;
};

Opened open_wav(const std::string& path, int mode = 0)
{
    testing::internal::CaptureStderr();
    PCM* pcm = create_pcm(path.c_str(), 1, mode, 1, 2, 44100);
    return {pcm, testing::internal::GetCapturedStderr()};
}

// Opening must fail with exactly message and leave no descriptor open.
void expect_rejected(const std::string& path, const std::string& bytes, const std::string& message)
{
    SCOPED_TRACE(message);
    write_file(path, bytes);
    const int before = count_fds();
    const Opened o = open_wav(path);
    EXPECT_EQ(o.pcm, nullptr);
    EXPECT_EQ(o.err, message);
    EXPECT_EQ(count_fds(), before);
    delete o.pcm;
}

} // namespace

TEST(WavRead, SizesAndHeadersThatAreRefused)
{
    TempDir dir;
    const std::string f = dir / "t.wav";
    const std::string small = "error: File too small " + f + "\n";
    const std::string illegal = "error: Illegal size of " + f + "\n";
    const std::string male = "error: Male formed header\n";

    expect_rejected(f, "", small);
    expect_rejected(f, wav("").substr(0, 43), small);
    expect_rejected(f, wav("") + "xy", illegal); // 46 bytes, no header byte read
    expect_rejected(f, "junk" + wav("").substr(4) + "xy", illegal);

    // An extra chunk before or after the data.
    const std::string list = "LIST" + u32(4) + "INFO";
    const std::string frames(40, '\x11');
    expect_rejected(f, "RIFF" + u32(36 + 12 + 40) + "WAVE" + "fmt " + u32(16) + fmt_body(2, 44100, 16) + list +
                           "data" + u32(40) + frames, male);
    expect_rejected(f, "RIFF" + u32(36 + 40 + 12) + "WAVE" + "fmt " + u32(16) + fmt_body(2, 44100, 16) +
                           "data" + u32(40) + frames + list, male);
    expect_rejected(f, wav(frames) + "LIST" + u32(1) + "x", illegal);

    // Formats other than 16-bit stereo at 44100 Hz.
    expect_rejected(f, wav(frames, 2, 48000), male);
    expect_rejected(f, wav(frames, 1, 44100), male);
    expect_rejected(f, wav(frames, 2, 44100, 8), male);
    expect_rejected(f, wav(std::string(42, '\0'), 1, 44100), illegal);

    // Bytes after the data, and sizes beyond the end of the file.
    std::string after = wav(frames);
    after.replace(40, 4, u32(36));
    expect_rejected(f, after, male);
    std::string beyond = wav(frames);
    beyond.replace(4, 4, u32(1000036));
    beyond.replace(40, 4, u32(1000000));
    expect_rejected(f, beyond, male);

    // Each byte of the header matters.
    for (int i = 0; i < 44; ++i) {
        std::string b = wav(frames);
        b[i] = static_cast<char>(b[i] ^ 0x20);
        SCOPED_TRACE(i);
        expect_rejected(f, b, male);
    }
}

TEST(WavRead, FramesComeBackUnconvertedUntilTheEnd)
{
    TempDir dir;
    const std::string f = dir / "t.wav";
    std::vector<int16_t> samples(2000);
    for (int i = 0; i < 2000; ++i)
        samples[i] = static_cast<int16_t>(i * 31 - 30000);
    write_file(f, wav(le16(samples)));

    Opened o = open_wav(f);
    ASSERT_NE(o.pcm, nullptr) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.pcm->frames(), 1000);
    std::vector<int16_t> buf(2 * 2048, 0x5555);
    EXPECT_EQ(o.pcm->read(buf.data(), 2048), 1000);
    EXPECT_EQ(std::vector<int16_t>(buf.begin(), buf.begin() + 2000), samples);
    EXPECT_EQ(o.pcm->read(buf.data(), 2048), 0);
    EXPECT_EQ(o.pcm->seek(10, SEEK_SET), 10);
    EXPECT_EQ(o.pcm->read(buf.data(), 1), 1);
    EXPECT_EQ(buf[0], samples[20]);
    EXPECT_EQ(buf[1], samples[21]);
    delete o.pcm;

    // A header and nothing else.
    write_file(f, wav(""));
    o = open_wav(f);
    ASSERT_NE(o.pcm, nullptr) << o.err;
    EXPECT_EQ(o.pcm->read(buf.data(), 16), 0);
    delete o.pcm;
}

TEST(WavWrite, HeaderIsProvisionalUntilTheStreamIsDeleted)
{
    TempDir dir;
    const std::string f = dir / "out.wav";
    const int before = count_fds();
    Opened o = open_wav(f, 1);
    ASSERT_NE(o.pcm, nullptr) << o.err;
    std::string file = read_file(f);
    ASSERT_EQ(file.size(), 44u);
    EXPECT_EQ(file.substr(4, 4), "\xF8\xFF\xFF\xFF");
    EXPECT_EQ(file.substr(40, 4), "\xD4\xFF\xFF\xFF");

    std::vector<int16_t> samples(20);
    for (int i = 0; i < 20; ++i)
        samples[i] = static_cast<int16_t>(1000 * i - 7);
    const std::vector<int16_t> copy = samples;
    EXPECT_EQ(o.pcm->write(samples.data(), 10), 10);
    EXPECT_EQ(samples, copy);
    file = read_file(f);
    EXPECT_EQ(file.substr(4, 4), "\xF8\xFF\xFF\xFF");
    EXPECT_EQ(file.substr(40, 4), "\xD4\xFF\xFF\xFF");

    delete o.pcm;
    EXPECT_EQ(count_fds(), before);
    file = read_file(f);
    ASSERT_EQ(file.size(), 84u);
    EXPECT_EQ(file, wav(le16(samples)));
    EXPECT_EQ(file.substr(4, 4), u32(76));
    EXPECT_EQ(file.substr(40, 4), u32(40));

    // The finished file reads back.
    o = open_wav(f);
    ASSERT_NE(o.pcm, nullptr) << o.err;
    std::vector<int16_t> back(20);
    EXPECT_EQ(o.pcm->read(back.data(), 10), 10);
    EXPECT_EQ(back, samples);
    delete o.pcm;
}

TEST(WavHeader, MadeForTheStreamAndFileSize)
{
    TempDir dir;
    PCMWAV w((dir / "h.wav").c_str(), 1, 1, 1, 2, 44100, 1);
    WavHeader h;
    w.make_header(h, 84);
    unsigned char raw[44];
    h.to_bytes(raw);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(raw), 44), wav(std::string(40, '\0')).substr(0, 44));
    EXPECT_TRUE(w.check_header(h, 84));
    EXPECT_FALSE(w.check_header(h, 88));
    WavHeader back;
    back.from_bytes(raw);
    EXPECT_TRUE(w.check_header(back, 84));
}
