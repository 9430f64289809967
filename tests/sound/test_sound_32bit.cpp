// 32-bit samples through a private sound server whose null sink holds
// s32le at 44100 Hz (no resampler, no conversion in the path): a tone with
// a harmonic 120 dB below, recorded at -resolution 32 through the server's
// own client and through ALSA's plugin for it, and a 24-bit file with a
// harmonic 125 dB below played to the sink while it is analysed. The
// harmonic distortion is computed here from its definition: the tones sit
// on whole components of the block, whose DFT sees them without leakage.
#include "pcm/PCM.h"
#include "sampler/Sampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <string>
#include <vector>

#include "sound_server.h"

namespace {

using namespace soundtest;

constexpr int rate = 44100;
constexpr unsigned length = 16384;
constexpr unsigned bin = 372;                 // 1001.3 Hz: 372 whole periods a block
constexpr double pi = 3.14159265358979323846;

// Component k of channel c of the block, by direct summation.
std::complex<double> component(const int32_t* block, int c, unsigned k)
{
    std::complex<double> sum = 0;
    for (unsigned i = 0; i < length; ++i) {
        const double a = -2 * pi * static_cast<double>((static_cast<unsigned long long>(k) * i) % length) / length;
        sum += static_cast<double>(block[2 * i + static_cast<unsigned>(c)]) * std::polar(1.0, a);
    }
    return sum;
}

// The third harmonic against the fundamental, in dB.
double thd3_db(const int32_t* block, int c)
{
    return 20 * std::log10(std::abs(component(block, c, 3 * bin)) / std::abs(component(block, c, bin)));
}

// A tone of level (fraction of full scale) with its third harmonic
// harmonic_db below, at frame i.
double tone(size_t i, double level, double harmonic_db)
{
    const double t = 2 * pi * bin * static_cast<double>(i % length) / length;
    return level * (std::sin(t) + std::pow(10.0, harmonic_db / 20) * std::sin(3 * t));
}

struct PulseEnvironment {
    std::string old;
    bool had = false;
    explicit PulseEnvironment(const SoundServer& pa)
    {
        const char* v = getenv("PULSE_SERVER");
        had = v != nullptr;
        old = v ? v : "";
        setenv("PULSE_SERVER", ("unix:" + pa.socket).c_str(), 1);
    }
    ~PulseEnvironment()
    {
        if (had)
            setenv("PULSE_SERVER", old.c_str(), 1);
        else
            unsetenv("PULSE_SERVER");
    }
};

// The last of a few blocks of a recording at 32 bits from device.
std::vector<int32_t> record(const char* device, std::string& err)
{
    Sampler s{};
    s.source = Sampler::Soundcard;
    s.rate = rate;
    s.length = length;
    s.resolution = 32;
    s.device = device;
    testing::internal::CaptureStderr();
    std::vector<int32_t> block;
    if (s.start()) {
        for (int b = 0; b < 6; ++b)
            s.read_block();
        block.assign(s.buffer.get(), s.buffer.get() + 2 * length);
        s.stop();
    }
    err = testing::internal::GetCapturedStderr();
    return block;
}

} // namespace

// 32-bit samples of a tone at -6 dBFS with its third harmonic 120 dB below
// go into the sink; its monitor, recorded at 32 bits, shows the harmonic
// where it is, through the server's client and through ALSA's plugin.
TEST(ThirtyTwoBits, ARecordingKeepsAHarmonic120dBDown)
{
    SoundServer pa;
    ASSERT_TRUE(pa.start("s32le")) << pa.error;
    std::string raw(static_cast<size_t>(rate) * 30 * 8, '\0');
    for (size_t i = 0; i < raw.size() / 8; ++i) {
        const int32_t v = static_cast<int32_t>(std::lrint(2147483647.0 * tone(i, 0.5, -120)));
        std::memcpy(&raw[8 * i], &v, 4);
        std::memcpy(&raw[8 * i + 4], &v, 4);
    }
    ASSERT_TRUE(pa.play_raw(raw, "s32le")) << pa.error;
    PulseEnvironment env(pa);
    for (const char* device : {"pulse", "alsa:pulse"}) {
        SCOPED_TRACE(device);
        std::string err;
        const std::vector<int32_t> block = record(device, err);
        ASSERT_EQ(block.size(), 2u * length) << err;
        EXPECT_NE(err.find("\nformat: signed 32 bits\n"), std::string::npos) << err;
        EXPECT_EQ(err.find("error"), std::string::npos) << err;
        for (int c = 0; c < 2; ++c) {
            const double fundamental_db =
                20 * std::log10(std::abs(component(block.data(), c, bin)) / (length / 2.0) / 2147483648.0);
            EXPECT_NEAR(fundamental_db, 20 * std::log10(0.5), 0.1) << c;
            EXPECT_NEAR(thd3_db(block.data(), c), -120.0, 2.0) << c;
        }
    }
    // Silence (the tone stopped) reads far below what 16 bits can show.
    stop_process(pa.player);
    sleep_ms(300);
    std::string err;
    const std::vector<int32_t> quiet = record("pulse", err);
    ASSERT_EQ(quiet.size(), 2u * length) << err;
    double sum = 0;
    for (int32_t v : quiet)
        sum += static_cast<double>(v) * v;
    const double rms_dbfs = 10 * std::log10(sum / quiet.size() + 1e-300) - 20 * std::log10(2147483648.0);
    EXPECT_LT(rms_dbfs, -140.0);
}

// A 24-bit WAV of 1 kHz at -1 dBFS with its third harmonic 125 dB below,
// played to the sink at 32 bits while it is analysed: the blocks carry the
// harmonic. At 16 bits the WAV reader refuses the file, with its hint.
TEST(ThirtyTwoBits, ATwentyFourBitFileKeepsAHarmonic125dBDown)
{
    SoundServer pa;
    ASSERT_TRUE(pa.start("s32le")) << pa.error;
    PulseEnvironment env(pa);
    const size_t frames = 4 * length;
    std::string data;
    for (size_t i = 0; i < frames; ++i) {
        const long v = std::lrint(8388607.0 * tone(i, std::pow(10.0, -1.0 / 20), -125));
        for (int c = 0; c < 2; ++c)
            for (int b = 0; b < 3; ++b)
                data += static_cast<char>((static_cast<unsigned long>(v) >> (8 * b)) & 0xff);
    }
    auto le = [](uint32_t v, int n) {
        std::string s;
        for (int i = 0; i < n; ++i)
            s += static_cast<char>((v >> (8 * i)) & 0xff);
        return s;
    };
    const std::string wav = "RIFF" + le(static_cast<uint32_t>(36 + data.size()), 4) + "WAVEfmt " + le(16, 4) +
                            le(1, 2) + le(2, 2) + le(rate, 4) + le(rate * 6, 4) + le(6, 2) + le(24, 2) + "data" +
                            le(static_cast<uint32_t>(data.size()), 4) + data;
    const std::string file = pa.dir + "/tone24.wav";
    ASSERT_TRUE(write_file(file, wav));

    Sampler s{};
    s.source = Sampler::Diskfile;
    s.rate = rate;
    s.length = length;
    s.resolution = 32;
    s.device = "pulse";
    s.filename = file.c_str();
    testing::internal::CaptureStderr();
    const bool started = s.start();
    bool read = started;
    for (int b = 0; read && b < 3; ++b)
        read = s.read_block();
    std::vector<int32_t> block;
    if (read)
        block.assign(s.buffer.get(), s.buffer.get() + 2 * length);
    s.stop();
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(started) << err;
    ASSERT_EQ(block.size(), 2u * length) << err;
    EXPECT_NE(err.find("driver: pulse\n"), std::string::npos) << err;
    EXPECT_NE(err.find("\nformat: signed 32 bits\n"), std::string::npos) << err;
    for (int c = 0; c < 2; ++c)
        EXPECT_NEAR(thd3_db(block.data(), c), -125.0, 1.5) << c;

    s.resolution = 16;
    PCM::hints = true;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(s.start());
    const std::string refused = testing::internal::GetCapturedStderr();
    PCM::hints = false;
    EXPECT_EQ(refused.rfind("error: Male formed header\nhint: " + file + " holds 2 channels at 44100 Hz with 24 bits;",
                            0),
              0u)
        << refused;
}
