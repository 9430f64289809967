// The generator played to a private sound server's null sink, topped up
// without waiting, while parec records the sink's monitor: the recording
// carries the sine at its frequency and level with no more than the
// dither's noise, in both channels, with no gap (a gap would raise THD+N).
#include "generator/GeneratorOutput.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sound_server.h"

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double rate = 44100.0;

// Channel c of interleaved 16-bit stereo at full scale +-1, from frame from on, n frames.
std::vector<double> channel_of(const std::string& raw, int c, size_t from, size_t n)
{
    std::vector<double> x(n);
    for (size_t i = 0; i < n; ++i) {
        int16_t v;
        std::memcpy(&v, raw.data() + 4 * (from + i) + 2 * c, 2);
        x[i] = v / 32768.0;
    }
    return x;
}

std::complex<double> dft_at(const std::vector<double>& x, double f, size_t from, size_t n, size_t start)
{
    std::complex<double> sum = 0.0;
    for (size_t i = 0; i < n; ++i)
        sum += x[from + i] * std::polar(1.0, -2.0 * pi * f * double(start + i) / rate);
    return sum;
}

}  // namespace

TEST(GeneratorOutput, SineThroughTheSoundServerAtItsFrequencyLevelAndPurity)
{
    soundtest::SoundServer pa;
    ASSERT_TRUE(pa.start()) << pa.error;
    setenv("PULSE_SERVER", ("unix:" + pa.socket).c_str(), 1);
    const std::string heard = pa.dir + "/heard.raw";
    pid_t rec = soundtest::spawn({"/usr/bin/parec", "--server=unix:" + pa.socket,
                                  "--device=" + std::string(soundtest::sink) + ".monitor", "--raw",
                                  "--format=s16le", "--rate=44100", "--channels=2", "--latency-msec=20",
                                  "--file-format=raw", heard},
                                 pa.env(), pa.dir + "/parec.log");
    GeneratorOutput out;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(out.open(("pulse:" + std::string(soundtest::sink)).c_str(), int(rate), 16, 2048));
    GeneratorSettings s;
    s.signal = GeneratorSignal::Sine;
    s.frequency = 997.0;
    s.level_db = -3.0;
    out.generator().set(s);
    out.generator().switch_on(true);
    // Topped up every 10 ms, as blocks would come, until the server plays
    // (a fresh server's sink starts after a while), then for 4 s more.
    // (Beyond the server's buffer of six blocks: it plays.)
    for (int i = 0; i < 1000 && out.frames_written() <= 8 * 2048; ++i) {
        ASSERT_TRUE(out.top_up());
        soundtest::sleep_ms(10);
    }
    const unsigned long long flowing = out.frames_written();
    for (int i = 0; i < 400; ++i) {
        ASSERT_TRUE(out.top_up());
        soundtest::sleep_ms(10);
    }
    out.close();
    const std::string err = testing::internal::GetCapturedStderr();
    soundtest::sleep_ms(200);
    soundtest::stop_process(rec);
    EXPECT_NE(err.find("driver: pulse\nname: pulse:zen_null\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("error"), std::string::npos) << err;
    EXPECT_EQ(err.find("underrun"), std::string::npos) << err;
    EXPECT_GT(double(out.frames_written() - flowing), 3.5 * rate) << err;

    const std::string raw = soundtest::read_file(heard);
    // The sine, found as the first frame well above silence, then 1 s (997
    // whole periods) starting 0.5 s after it.
    size_t first = 0;
    while (4 * (first + 1) <= raw.size() && std::fabs(channel_of(raw, 0, first, 1)[0]) < 0.1)
        ++first;
    const size_t from = first + size_t(rate / 2), n = size_t(rate);
    ASSERT_GE(raw.size(), 4 * (from + n)) << "recorded " << raw.size() / 4 << " frames";
    for (int c = 0; c < 2; ++c) {
        const std::vector<double> x = channel_of(raw, c, from, n);
        const std::complex<double> line = dft_at(x, 997.0, 0, n, 0);
        EXPECT_NEAR(20.0 * std::log10(2.0 * std::abs(line) / double(n)), -3.0, 0.05) << "channel " << c;
        double residual = 0.0, signal = 0.0;
        for (size_t i = 0; i < n; ++i) {
            const double fitted = 2.0 / double(n) * (line * std::polar(1.0, 2.0 * pi * 997.0 * double(i) / rate)).real();
            residual += (x[i] - fitted) * (x[i] - fitted);
            signal += fitted * fitted;
        }
        EXPECT_LT(10.0 * std::log10(residual / signal), -88.0) << "channel " << c;
        // The phase advance over the second half: the frequency within 0.01 Hz.
        const double advance = std::arg(dft_at(x, 997.0, n / 2, n / 2, n / 2) / dft_at(x, 997.0, 0, n / 2, 0));
        EXPECT_LT(std::fabs(advance), 2.0 * pi * 0.01 * 0.5) << "channel " << c;
    }
}

// A stopped server takes nothing: topping up writes nothing and never
// waits (20 top-ups well inside the 3 s a window may freeze), and once the
// server goes on, the output flows again.
TEST(GeneratorOutput, AStoppedServerNeverHoldsTheTopUp)
{
    soundtest::SoundServer pa;
    ASSERT_TRUE(pa.start()) << pa.error;
    setenv("PULSE_SERVER", ("unix:" + pa.socket).c_str(), 1);
    GeneratorOutput out;
    testing::internal::CaptureStderr();
    const bool opened = out.open(("pulse:" + std::string(soundtest::sink)).c_str(), int(rate), 16, 2048);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(opened) << err;
    out.generator().switch_on(true);
    for (int i = 0; i < 1000 && out.frames_written() <= 8 * 2048; ++i) {
        ASSERT_TRUE(out.top_up());
        soundtest::sleep_ms(10);
    }
    ASSERT_GT(out.frames_written(), 8u * 2048u);
    kill(pa.server, SIGSTOP);
    soundtest::sleep_ms(300);   // what it had queued is asked for, and not sent
    const unsigned long long before = out.frames_written();
    timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(out.top_up());
    clock_gettime(CLOCK_MONOTONIC, &t1);
    const double took = double(t1.tv_sec - t0.tv_sec) + 1e-9 * double(t1.tv_nsec - t0.tv_nsec);
    EXPECT_LT(took, 3.0);
    const unsigned long long stopped = out.frames_written() - before;
    kill(pa.server, SIGCONT);
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(out.top_up());
        soundtest::sleep_ms(10);
    }
    EXPECT_GT(out.frames_written() - before - stopped, 2u * 2048u);
    testing::internal::CaptureStderr();
    out.close();
    testing::internal::GetCapturedStderr();
}
