// Real sound through a real sound server: the test starts a private
// PulseAudio server with a null sink, plays a 1 kHz tone into it with pacat,
// and records the sink's monitor through the server's OSS emulation
// (libpulsedsp.so, preloaded into a child run of this program, which drives
// the sampler in sound-card mode on /dev/dsp). Some hundred whole blocks
// must arrive without an "error:" line, and they must carry the tone.
//
// The server is private to the test: its own runtime directory, home and
// socket in a temporary directory, no default configuration (-n) but a
// script of its own (-F), no idle exit, in the foreground, stopped by its
// process id at the end. As root, PulseAudio only warns ("not intended to be
// run as root") when it is told --system=false; --use-pid-file=no keeps it
// from looking for another instance. Debian's padsp script is not used: it
// rewrites the preload path, so LD_PRELOAD names the library itself.
#include "sampler/Sampler.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <glob.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sound_server.h"

namespace {

using namespace soundtest;

constexpr int rate = 44100;
constexpr unsigned int length = 2048;
constexpr int blocks = 100;
constexpr double tone_hz = 1000.0;
constexpr double tone_level[2] = {0.5, 0.25};  // of full scale, left and right

// Power of a Hann-windowed channel at frequency hz, by direct summation.
double power_at(const std::vector<int32_t>& block, size_t channel, double hz)
{
    const size_t n = block.size() / 2;
    const double pi = 3.14159265358979323846;
    double re = 0, im = 0;
    for (size_t i = 0; i < n; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * pi * i / n);
        const double x = w * block[2 * i + channel] / 2147483648.0;
        const double a = 2 * pi * hz * i / rate;
        re += x * std::cos(a);
        im -= x * std::sin(a);
    }
    return re * re + im * im;
}

// Plays a tone of seconds into the sink.
bool play_tone(SoundServer& pa, double seconds)
{
    const size_t frames = static_cast<size_t>(seconds * rate);
    std::string raw(frames * 4, '\0');
    const double pi = 3.14159265358979323846;
    for (size_t i = 0; i < frames; ++i) {
        const double v = 32767 * std::sin(2 * pi * tone_hz * i / rate);
        const int16_t left = static_cast<int16_t>(std::lrint(tone_level[0] * v));
        const int16_t right = static_cast<int16_t>(std::lrint(tone_level[1] * v));
        std::memcpy(&raw[4 * i], &left, 2);
        std::memcpy(&raw[4 * i + 2], &right, 2);
    }
    return pa.play_raw(raw);
}

TEST(SoundServer, SamplerRecordsAToneThroughTheServersOssEmulation)
{
    SoundServer pa;
    ASSERT_TRUE(pa.start()) << pa.error;
    ASSERT_TRUE(play_tone(pa, 30)) << pa.error;

    // The child: this program again, with the OSS emulation preloaded.
    std::vector<std::string> env = pa.env();
    env.push_back("LD_PRELOAD=" + pulsedsp);
    env.push_back("ZEN_SOUND_CHILD=" + pa.dir + "/blocks");
    const std::string child_out = pa.dir + "/child.out", child_err = pa.dir + "/child.err";
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child == 0) {
        const int out = open(child_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(child_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> ev;
        for (std::string& s : env)
            ev.push_back(&s[0]);
        ev.push_back(nullptr);
        char self[] = "/proc/self/exe";
        char* argv[] = {self, nullptr};
        execve(self, argv, ev.data());
        _exit(127);
    }
    // A hundred blocks take under five seconds of sound; a minute is plenty.
    bool exited = false;
    const int status = wait_for(child, 60000, &exited);
    if (!exited)
        stop_process(child);
    const std::string out = read_file(child_out), err = read_file(child_err);
    ASSERT_TRUE(exited) << "the sampler hung on the sound server\n" << out << err;
    ASSERT_EQ(status, 0) << out << err;

    EXPECT_EQ(err.find("error:"), std::string::npos) << err;
    EXPECT_EQ(err,
              "driver: oss\n"
              "name: /dev/dsp\n"
              "type: device\n"
              "mode: read\n"
              "format: signed 16 bits\n"
              "channels: 2\n"
              "rate: 44100 Hz\n"
              "buffer size: 2048 frames, 8192 bytes, 46.4399 ms\n");
    EXPECT_EQ(out, "start 1\nblocks 100 count=99\nstop\n");

    // The blocks, widened: every element a 16-bit sample times 65536.
    const std::string dump = read_file(pa.dir + "/blocks");
    ASSERT_EQ(dump.size(), static_cast<size_t>(blocks) * length * 2 * 4);
    std::vector<int32_t> all(dump.size() / 4);
    std::memcpy(all.data(), dump.data(), dump.size());
    size_t low_bits = 0;
    for (int32_t v : all)
        low_bits += (v & 0xffff) != 0;
    EXPECT_EQ(low_bits, 0u);

    // After the first few blocks the tone is there on both channels, at the
    // level played (the right channel 6 dB below the left) and far above
    // every other frequency looked at. A block that lost samples on the way
    // (the server's buffers are small, the machine may be busy) still
    // carries the tone but less cleanly, so only most blocks must be clean.
    const double others[] = {250, 500, 700, 1300, 1500, 2000, 3000, 5000, 8000, 12000, 16000};
    const int settle = 10;
    int carried = 0, clean = 0;
    std::string report;
    for (int b = 0; b < blocks; ++b) {
        std::vector<int32_t> block(all.begin() + b * length * 2, all.begin() + (b + 1) * length * 2);
        bool carries = true, is_clean = true;
        std::string figures;
        for (size_t ch = 0; ch < 2; ++ch) {
            // A Hann-windowed sine of amplitude A gives |X| = A n / 4 at its frequency.
            const double expected = std::pow(tone_level[ch] * length / 4, 2);
            const double tone = power_at(block, ch, tone_hz);
            double rest = 0;
            for (double hz : others)
                rest = std::max(rest, power_at(block, ch, hz));
            const double level_db = 10 * std::log10(tone / expected);
            const double margin_db = 10 * std::log10(tone / (rest + 1e-300));
            carries = carries && level_db > -12 && level_db < 1 && margin_db > 20;
            is_clean = is_clean && std::fabs(level_db) < 0.5 && margin_db > 60;
            char line[160];
            snprintf(line, sizeof line,
                     " channel %zu: tone %.2f dB of the level played, strongest other %.1f dB "
                     "below it;",
                     ch, level_db, margin_db);
            figures += line;
        }
        if (b >= settle) {
            carried += carries;
            clean += is_clean;
        }
        if (!is_clean || b == blocks - 1)
            report += "block " + std::to_string(b) + ":" + figures + "\n";
    }
    EXPECT_GE(carried, (blocks - settle) * 9 / 10) << report;
    EXPECT_GE(clean, (blocks - settle) * 3 / 4) << report;
}

// ---------------------------------------------------------------- the child

// Records the blocks in sound-card mode and appends them to the file named
// by ZEN_SOUND_CHILD.
int record_blocks(const char* path)
{
    sampler = Sampler{};
    sampler.source = Sampler::Soundcard;
    sampler.rate = rate;
    sampler.length = length;
    sampler.resolution = 16;
    sampler.device = "default";
    sampler.filename = "";
    if (!sampler.start()) {
        printf("start 0\n");
        return 1;
    }
    printf("start 1\n");
    FILE* f = fopen(path, "wb");
    if (!f)
        return 2;
    int whole = 0;
    for (int b = 0; b < blocks; ++b) {
        whole += sampler.read_block() ? 1 : 0;
        fwrite(sampler.buffer.get(), 4, 2 * static_cast<size_t>(length), f);
    }
    fclose(f);
    printf("blocks %d count=%d\n", whole, sampler.count);
    sampler.stop();
    printf("stop\n");
    return 0;
}

int child_hook()
{
    const char* path = getenv("ZEN_SOUND_CHILD");
    if (!path)
        return 0;
    const int rc = record_blocks(path);
    fflush(stdout);
    fflush(stderr);
    _exit(rc);
}

const int child_hook_ran = child_hook();

}  // namespace
