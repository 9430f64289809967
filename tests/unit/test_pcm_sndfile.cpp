// Files through libsndfile: which names reach it, 24-bit, float, mono and
// many-channel WAVs written byte by byte here, FLAC made by the flac tool,
// AIFF and Ogg, a FIFO whose writer pauses; and the sampler at 32 bits.
#include "test_pcm_child.h"

#include "pcm/DemoSignal.h"
#include "pcm/PCMCDR.h"
#include "pcm/PCMSndfile.h"
#include "pcm/PCMWAV.h"
#include "sampler/Sampler.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

using namespace pcmtest;

namespace {

void put(std::string& s, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        s += static_cast<char>((v >> (8 * i)) & 0xff);
}

// A RIFF WAVE file: a format chunk of tag (1 integer, 3 float, 0xFFFE
// extensible), an optional LIST chunk before the data, and the data bytes.
std::string riff_wav(int tag, int channels, int rate, int bits, const std::string& data, bool list_chunk = false)
{
    std::string fmt;
    put(fmt, static_cast<uint64_t>(tag), 2);
    put(fmt, static_cast<uint64_t>(channels), 2);
    put(fmt, static_cast<uint64_t>(rate), 4);
    put(fmt, static_cast<uint64_t>(rate * channels * bits / 8), 4);
    put(fmt, static_cast<uint64_t>(channels * bits / 8), 2);
    put(fmt, static_cast<uint64_t>(bits), 2);
    if (tag == 0xFFFE) {
        put(fmt, 22, 2);
        put(fmt, static_cast<uint64_t>(bits), 2);
        put(fmt, 3, 4);   // front left and right
        fmt += std::string("\x01\x00\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 16);
    }
    std::string body = "WAVEfmt ";
    put(body, fmt.size(), 4);
    body += fmt;
    if (list_chunk) {
        body += "LIST";
        put(body, 14, 4);
        body += std::string("INFOISFT\x02\0\0\0z\0", 14);
    }
    body += "data";
    put(body, data.size(), 4);
    body += data;
    std::string file = "RIFF";
    put(file, body.size(), 4);
    return file + body;
}

std::string le24(const std::vector<int32_t>& samples)
{
    std::string s;
    for (int32_t v : samples)
        put(s, static_cast<uint32_t>(v), 3);
    return s;
}

std::string le_float(const std::vector<float>& samples)
{
    std::string s;
    for (float v : samples) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        put(s, bits, 4);
    }
    return s;
}

struct Opened {
    PCM* pcm = nullptr;
    std::string err;
};

Opened open_file(const std::string& name, int format)
{
    Opened o;
    testing::internal::CaptureStderr();
    o.pcm = create_pcm(name.c_str(), PCM::File, PCM::Read, format, 2, PCM::file_rate);
    o.err = testing::internal::GetCapturedStderr();
    return o;
}

// Every frame of the stream, read in blocks of 1000 frames.
template <typename Sample>
std::vector<Sample> read_all(PCM& pcm)
{
    std::vector<Sample> all, block(2000);
    for (;;) {
        const int64_t n = pcm.read(block.data(), 1000);
        EXPECT_GE(n, 0);
        if (n <= 0)
            return all;
        all.insert(all.end(), block.begin(), block.begin() + 2 * n);
    }
}

// Pseudo-random 16-bit stereo noise with a tone, the same for every seed.
std::vector<int16_t> test_signal(size_t frames, unsigned seed)
{
    std::vector<int16_t> v(2 * frames);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < v.size(); ++i) {
        x = x * 1664525u + 1013904223u;
        const double tone = 20000.0 * std::sin(2 * M_PI * 997.0 * static_cast<double>(i / 2) / 44100.0);
        v[i] = static_cast<int16_t>(tone + static_cast<int16_t>(x >> 16) / 8);
    }
    return v;
}

bool have_program(const char* name)
{
    return system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

// .wav and .cdr keep their own readers at 16 bits, by the last four
// characters exactly; at 32 bits every WAV goes to libsndfile, as do the
// other formats by the text after the last dot in any case.
TEST(SndfileFactory, NamesChooseTheReader)
{
    TempDir dir;
    const std::string wav = riff_wav(1, 2, 44100, 16, le16({1, 2, 3, 4}));
    for (const char* name : {"a.wav", "b.WAV", "c.flac"})
        write_file(dir / name, wav);
    write_file(dir / "d.cdr", "");
    struct Case {
        const char* name;
        int format;
        const char* kind;   // "wav", "cdr", "sndfile", or "" for no stream
    };
    for (const Case& c : {Case{"a.wav", PCM::S16, "wav"}, Case{"a.wav", PCM::S32, "sndfile"},
                          Case{"b.WAV", PCM::S16, ""}, Case{"b.WAV", PCM::S32, "sndfile"},
                          Case{"d.cdr", PCM::S16, "cdr"}, Case{"d.cdr", PCM::S32, "sndfile"},
                          Case{"c.flac", PCM::S16, "sndfile"}}) {
        SCOPED_TRACE(std::string(c.name) + " at format " + std::to_string(c.format));
        Opened o = open_file(dir / c.name, c.format);
        const std::string kind = dynamic_cast<PCMWAV*>(o.pcm)       ? "wav"
                                 : dynamic_cast<PCMCDR*>(o.pcm)     ? "cdr"
                                 : dynamic_cast<PCMSndfile*>(o.pcm) ? "sndfile"
                                                                    : "";
        EXPECT_EQ(kind, c.kind) << o.err;
        if (!*c.kind) {
            EXPECT_EQ(o.err, "error: Unknown name for pcm interface\n");
        }
        delete o.pcm;
    }
    for (const char* name : {"x.FLAC", "x.Ogg", "x.oga", "x.opus", "x.aiff", "x.AIF", "x.w64", "x.rf64", "x.caf",
                             "x.au", "dir.d/x.flac"})
        EXPECT_TRUE(is_sndfile_suffix(name)) << name;
    for (const char* name : {".flac", "dir/.au", "x.flac.txt", "x.mp4", "flac", "x.wav", "x."})
        EXPECT_FALSE(is_sndfile_suffix(name)) << name;
    // The file streams' own checks come first.
    testing::internal::CaptureStderr();
    EXPECT_EQ(create_pcm((dir / "c.flac").c_str(), PCM::File, PCM::Read, PCM::S8, 2, 44100), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: Illegal format (resolution)\n");
}

// A 24-bit WAVE_FORMAT_EXTENSIBLE file with a LIST chunk: at 32 bits each
// sample is the 24-bit value times 256; the 16-bit reader refuses it.
TEST(SndfileRead, TwentyFourBitsArriveWhole)
{
    TempDir dir;
    const std::vector<int32_t> samples = {0, 1, -1, 8388607, -8388608, 123456, -654321, 4660};
    const std::string f = dir / "t24.wav";
    write_file(f, riff_wav(0xFFFE, 2, 48000, 24, le24(samples), true));
    Opened o = open_file(f, PCM::S32);
    ASSERT_NE(o.pcm, nullptr) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.pcm->frames(), 4);
    EXPECT_EQ(o.pcm->rate, 48000) << "the file's own rate";
    std::vector<int32_t> got = read_all<int32_t>(*o.pcm);
    ASSERT_EQ(got.size(), samples.size());
    for (size_t i = 0; i < samples.size(); ++i)
        EXPECT_EQ(got[i], samples[i] * 256) << i;
    // Rewound, the same frames again.
    EXPECT_EQ(o.pcm->seek(0, SEEK_SET), 0);
    EXPECT_EQ(read_all<int32_t>(*o.pcm), got);
    testing::internal::CaptureStderr();
    o.pcm->print_info();
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("driver: sndfile\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\nformat: signed 32 bits\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\nrate: 48000 Hz\n"), std::string::npos) << report;
    delete o.pcm;

    Opened refused = open_file(f, PCM::S16);
    EXPECT_EQ(refused.pcm, nullptr);
    EXPECT_EQ(refused.err.rfind("error: ", 0), 0u) << refused.err;
}

// Float samples are scaled by 2^31 (or 2^15), rounded to the nearest and
// clipped; a mono file gives both channels alike.
TEST(SndfileRead, FloatsAreScaledRoundedAndClipped)
{
    TempDir dir;
    const float tiny = std::ldexp(3.0f, -33), tiny16 = std::ldexp(3.0f, -17);
    const std::vector<float> in = {0.5f, -1.0f, 1.5f, -2.0f, 1.0f / 3.0f, tiny, tiny16, 1.0f};
    // At 16 bits a .wav goes to the 16-bit reader: the same floats in CAF.
    const std::string f = dir / "float.wav", caf = dir / "float.caf";
    write_file(f, riff_wav(3, 1, 44100, 32, le_float(in)));
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 1;
    info.format = SF_FORMAT_CAF | SF_FORMAT_FLOAT;
    SNDFILE* out = sf_open(caf.c_str(), SFM_WRITE, &info);
    ASSERT_NE(out, nullptr) << sf_strerror(nullptr);
    ASSERT_EQ(sf_writef_float(out, in.data(), static_cast<sf_count_t>(in.size())), static_cast<sf_count_t>(in.size()));
    sf_close(out);
    // 1/3 as a float is 11184811 / 2^25; 3 * 2^-33 scales to 0.75 and 3 * 2^-17 to 3 * 2^14.
    const std::vector<int32_t> want32 = {1073741824, INT32_MIN, INT32_MAX, INT32_MIN, 11184811 * 64, 1, 49152,
                                         INT32_MAX};
    const std::vector<int16_t> want16 = {16384, -32768, 32767, -32768, 10923, 0, 1, 32767};
    for (int format : {PCM::S32, PCM::S16}) {
        SCOPED_TRACE(format);
        Opened o = open_file(format == PCM::S32 ? f : caf, format);
        ASSERT_NE(o.pcm, nullptr) << o.err;
        for (size_t i = 0; i < in.size(); ++i) {
            int32_t pair32[2] = {};
            int16_t pair16[2] = {};
            ASSERT_EQ(o.pcm->read(format == PCM::S32 ? static_cast<void*>(pair32) : pair16, 1), 1);
            if (format == PCM::S32) {
                EXPECT_EQ(pair32[0], want32[i]) << i;
                EXPECT_EQ(pair32[1], want32[i]) << i;
            } else {
                EXPECT_EQ(pair16[0], want16[i]) << i;
                EXPECT_EQ(pair16[1], want16[i]) << i;
            }
        }
        int32_t rest[2];
        EXPECT_EQ(o.pcm->read(rest, 1), 0);
        delete o.pcm;
    }
}

// Of more than two channels the first two, with one line saying so.
TEST(SndfileRead, MoreChannelsGiveTheFirstTwo)
{
    TempDir dir;
    const std::string f = dir / "three.wav";
    write_file(f, riff_wav(1, 3, 44100, 16, le16({1, 2, 3, -4, -5, -6})));
    Opened o = open_file(f, PCM::S32);
    ASSERT_NE(o.pcm, nullptr) << o.err;
    EXPECT_EQ(o.err, "warning: " + f + " has 3 channels: the first two are played and analysed\n");
    EXPECT_EQ(read_all<int32_t>(*o.pcm), (std::vector<int32_t>{65536, 131072, -4 * 65536, -5 * 65536}));
    delete o.pcm;
}

// FLAC made by the flac tool from a 16-bit WAV reads the WAV's samples,
// at 16 bits and (shifted) at 32; AIFF and Ogg written by the library open
// and play: AIFF to the bit, Ogg with the tone's level.
TEST(SndfileRead, FlacAiffAndOggFiles)
{
    if (!have_program("flac"))
        GTEST_SKIP() << "flac is not installed (scripts/setup --test)";
    TempDir dir;
    const std::vector<int16_t> signal = test_signal(20000, 7);
    const std::string wav = dir / "s.wav", flac = dir / "s.flac";
    write_file(wav, riff_wav(1, 2, 44100, 16, le16(signal)));
    ASSERT_EQ(system(("flac --silent --force -o '" + flac + "' '" + wav + "'").c_str()), 0);
    Opened o = open_file(flac, PCM::S16);
    ASSERT_NE(o.pcm, nullptr) << o.err;
    EXPECT_EQ(o.pcm->frames(), 20000);
    EXPECT_EQ(read_all<int16_t>(*o.pcm), signal);
    delete o.pcm;
    o = open_file(flac, PCM::S32);
    ASSERT_NE(o.pcm, nullptr) << o.err;
    const std::vector<int32_t> wide = read_all<int32_t>(*o.pcm);
    ASSERT_EQ(wide.size(), signal.size());
    for (size_t i = 0; i < signal.size(); ++i)
        ASSERT_EQ(wide[i], signal[i] * 65536) << i;
    delete o.pcm;

    // 24-bit AIFF and Vorbis written through the library itself.
    std::vector<int> samples(2 * 44100);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int>(std::lrint(0.5 * 2147483647.0 * std::sin(2 * M_PI * 1000.0 * (i / 2) / 44100.0)))
                     & ~0xff;
    for (const char* name : {"t.aiff", "t.ogg"}) {
        SCOPED_TRACE(name);
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 2;
        info.format = name[2] == 'a' ? SF_FORMAT_AIFF | SF_FORMAT_PCM_24 : SF_FORMAT_OGG | SF_FORMAT_VORBIS;
        SNDFILE* out = sf_open((dir / name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(out, nullptr) << sf_strerror(nullptr);
        ASSERT_EQ(sf_writef_int(out, samples.data(), 44100), 44100);
        sf_close(out);
        o = open_file(dir / name, PCM::S32);
        ASSERT_NE(o.pcm, nullptr) << o.err;
        const std::vector<int32_t> back = read_all<int32_t>(*o.pcm);
        ASSERT_EQ(back.size(), samples.size());
        if (name[2] == 'a') {
            for (size_t i = 0; i < samples.size(); ++i)
                ASSERT_EQ(back[i], samples[i]) << i;
        } else {
            // A tone at half of full scale: -9.03 dBFS of rms, lossy coding or not.
            double sum = 0;
            for (size_t i = 8820; i < back.size(); ++i)
                sum += static_cast<double>(back[i]) * back[i];
            const double rms_db = 10 * std::log10(sum / static_cast<double>(back.size() - 8820)) -
                                  20 * std::log10(2147483648.0);
            EXPECT_NEAR(rms_db, 20 * std::log10(0.5 / std::sqrt(2.0)), 0.1);
        }
        delete o.pcm;
    }
}

// A FIFO's writer that sends a header and 2000 frames and then pauses: the
// frames arrive, then the read gives up within its deadline (a timed
// deadline the reads promise), and the stream can still be deleted.
TEST(SndfileRead, FifoWhoseWriterPausesEndsInTime)
{
    TempDir dir;
    const std::string fifo = dir / "p.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::vector<int32_t> samples(2 * 2000);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int32_t>(i) - 1000;
    std::string bytes = riff_wav(1, 2, 44100, 24, le24(samples));
    // The data chunk promises more than is sent.
    bytes[44 - 1] = 0x10;
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        if (fd < 0)
            return;
        if (write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()))
            std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        close(fd);
    });
    Opened o = open_file(fifo, PCM::S32);
    if (!o.pcm) {
        writer.join();
        FAIL() << o.err;
    }
    EXPECT_EQ(o.pcm->frames(), -1);
    std::vector<int32_t> got, block(2 * 128);
    int64_t n;
    double waited = 0;
    do {
        const auto t0 = std::chrono::steady_clock::now();
        n = o.pcm->read(block.data(), 128);
        waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (n > 0)
            got.insert(got.end(), block.begin(), block.begin() + 2 * n);
    } while (n == 128);
    const int error = errno;
    EXPECT_EQ(n, -1);
    EXPECT_EQ(error, ETIMEDOUT);
    EXPECT_LT(waited, stall_limit + 128.0 / 44100 + 0.5);
    EXPECT_GE(waited, stall_limit);
    ASSERT_EQ(got.size(), 2u * 1920);
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], samples[i] * 256) << i;
    delete o.pcm;
    writer.join();
}

// The demonstration stream at 32 bits: the block holds its 32-bit samples
// as made, not widened, and the report says 32 bits.
TEST(SamplerAt32Bits, DemoBlocksHoldAllTheBits)
{
    Sampler s{};
    s.source = Sampler::Soundcard;
    s.rate = 44100;
    s.length = 256;
    s.resolution = 32;
    s.device = "demo";
    testing::internal::CaptureStderr();
    const bool started = s.start();
    const std::string report = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(started) << report;
    EXPECT_NE(report.find("\nformat: signed 32 bits\n"), std::string::npos) << report;
    for (int b = 0; b < 2; ++b) {
        ASSERT_TRUE(s.read_block());
        long long low_bits = 0;
        for (unsigned i = 0; i < s.length; ++i)
            for (int c = 0; c < 2; ++c) {
                const int32_t v = s.buffer[2 * i + static_cast<unsigned>(c)];
                ASSERT_EQ(v, demo_sample32(c, b * s.length + i, 44100)) << b << " " << i << " " << c;
                low_bits |= v & 0xffff;
            }
        EXPECT_NE(low_bits, 0) << "no bits below the 16 a 16-bit sample has";
    }
    s.stop();
}

// A 24-bit file played at 32 bits: the block is the file's samples times
// 256 (not widened once more), the means are theirs, and at 16 bits the
// same settings are refused by the WAV reader.
TEST(SamplerAt32Bits, DiskFileBlocksAreTheFilesSamples)
{
    TempDir dir;
    const unsigned frames = 128;
    std::vector<int32_t> samples(2 * frames * 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int32_t>((i * 7919) % 16777216) - 8388608;
    const std::string f = dir / "p.wav";
    write_file(f, riff_wav(1, 2, 44100, 24, le24(samples)));
    Sampler s{};
    s.source = Sampler::Diskfile;
    s.rate = 44100;
    s.length = frames;
    s.resolution = 32;
    s.device = "demo";
    s.filename = f.c_str();
    testing::internal::CaptureStderr();
    const bool started = s.start();
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(started) << err;
    for (unsigned b = 0; b < 2; ++b) {
        ASSERT_TRUE(s.read_block());
        long long sum[2] = {0, 0};
        for (unsigned i = 0; i < 2 * frames; ++i) {
            ASSERT_EQ(s.buffer[i], samples[b * 2 * frames + i] * 256) << b << " " << i;
            sum[i % 2] += samples[b * 2 * frames + i] * 256LL;
        }
        EXPECT_EQ(s.dc_left, sum[0] / static_cast<long long>(frames));
        EXPECT_EQ(s.dc_right, sum[1] / static_cast<long long>(frames));
    }
    EXPECT_FALSE(s.read_block()) << "the end of the file ends the run";
    s.stop();

    s.resolution = 16;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(s.start());
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("error: ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

// A file at another rate than the sampler's: the warning names the file's
// own rate and the -rate that plays it right.
TEST(SamplerAt32Bits, FileAtAnotherRateIsWarnedOfWithItsOwnRate)
{
    TempDir dir;
    const std::string f = dir / "r48.wav";
    write_file(f, riff_wav(1, 1, 48000, 16, le16(std::vector<int16_t>(512, 7))));
    Sampler s{};
    s.source = Sampler::Diskfile;
    s.rate = 44100;
    s.length = 128;
    s.resolution = 32;
    s.device = "demo";
    s.filename = f.c_str();
    PCM::hints = true;
    testing::internal::CaptureStderr();
    const bool started = s.start();
    const std::string err = testing::internal::GetCapturedStderr();
    PCM::hints = false;
    ASSERT_TRUE(started) << err;
    EXPECT_NE(err.find("warning: the file is at 48000 Hz and plays at 44100 Hz: it will sound at the wrong speed and "
                       "pitch (-rate 48000 plays it right)\n"),
              std::string::npos)
        << err;
    // Mono: both channels alike.
    ASSERT_TRUE(s.read_block());
    for (unsigned i = 0; i < 2 * s.length; ++i)
        ASSERT_EQ(s.buffer[i], 7 * 65536) << i;
    s.stop();
}
