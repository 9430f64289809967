// A sound server that stops answering or suspends its source, and a program
// that is late: the window keeps answering, every wait ends by its deadline,
// Quit is quick, and data lost while late is reported as the time it covers.
#include "common/Clock.h"
#include "gui/test_analyser_support.h"
#include "sampler/Sampler.h"
#include "sound_server.h"

#include <gtest/gtest.h>

#include <regex>
#include <sys/socket.h>
#include <sys/un.h>

using namespace harness;
using namespace analyser_test;

namespace {

// One program on a display of its own; a click on Peak Search shows whether
// its window answers.
struct Running {
    XServer x;
    Program prog;
    Windows win;
    bool was = false;
    Running(const std::vector<std::string>& args, const Env& env) : prog(x, args, env) {}
    Display* dpy() { return x.display(); }
    bool open() { return prog.started() && (win = open_windows(dpy())).ok(); }
    bool run() { return click_centre(dpy(), win.controls.analyser_run); }
    bool running() { return is_set(dpy(), win.controls.analyser_run); }
    bool poke() { return (was = is_set(dpy(), win.controls.peak_search), click_centre(dpy(), win.controls.peak_search)); }
    bool answered() { return is_set(dpy(), win.controls.peak_search) != was; }
};

}  // namespace

// The server stops for 10 s under four runs: recording and playing, through
// its own protocol and through ALSA's plugin for it. Each window answers a
// click within 3 s of the stop, each run ends with at most two lines, Quit
// exits within 3 s, and Run works once the server goes on; when it goes for
// good, ALSA's recording says so in one line. A server that never answers
// fails the opening by its deadline, and Quit while it opens is as quick.
TEST(Stalls, AStoppedServerNeverHoldsTheWindow)
{
    soundtest::SoundServer pa;
    ASSERT_TRUE(pa.start()) << pa.error;
    TempDir dir;
    const std::string wav = dir.file("long.wav"), conf = dir.file("asound.conf"), mute = dir.file("mute");
    ASSERT_TRUE(write_file(wav, wav_bytes(std::vector<StereoBlock>(900, {silent_block(), silent_block()}))));
    ASSERT_TRUE(write_file(conf, "pcm.zp { type pulse }\n"));
    const Env env = {{"PULSE_SERVER", "unix:" + pa.socket}, {"XDG_RUNTIME_DIR", pa.run}, {"ALSA_CONFIG_PATH", conf}};
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);  // takes connections, never answers
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", mute.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) | listen(listener, 8), 0);

    std::vector<std::unique_ptr<Running>> runs;
    for (const char* device : {"pulse", "alsa:zp"}) {
        runs.push_back(std::make_unique<Running>(std::vector<std::string>{"-device", device}, env));
        runs.push_back(std::make_unique<Running>(std::vector<std::string>{"-device", device, "-diskfile", "-file", wav}, env));
    }
    Running silent({"-device", "pulse"}, {{"PULSE_SERVER", "unix:" + mute}});
    for (auto& r : runs)
        ASSERT_TRUE(r->open() && r->run());
    for (auto& r : runs)  // started, and past the null sink's first two seconds
        ASSERT_TRUE(wait_until([&] { return r->running() && count_of(r->prog.stderr_text(), "rate:") == 1; }, 15))
            << r->prog.stderr_text();
    soundtest::sleep_ms(1500);

    // The ALSA player quits at the stop, the others are clicked.
    kill(pa.server, SIGSTOP);
    const double stopped = monotonic_seconds();
    ASSERT_TRUE(send_delete_window(runs[3]->dpy(), runs[3]->win.control));
    std::vector<double> took(4, -1);
    ASSERT_TRUE(runs[0]->poke() && runs[1]->poke() && runs[2]->poke());
    wait_until(
        [&] {
            for (size_t i = 0; i < 4; ++i)
                if (took[i] < 0 && (i == 3 ? !runs[i]->prog.running() : runs[i]->answered()))
                    took[i] = monotonic_seconds() - stopped;
            return *std::min_element(took.begin(), took.end()) >= 0;
        },
        8);
    EXPECT_EQ(runs[3]->prog.exit_status(), 0);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(took[i] >= 0 && took[i] < 3.0) << took[i] << " s\n" << runs[i]->prog.stderr_text();
        if (i < 3) {
            EXPECT_TRUE(wait_until([&] { return !runs[i]->running(); }, 8));
            const std::string err = runs[i]->prog.stderr_text();
            EXPECT_TRUE(count_of(err, "\nerror:") + count_of(err, "\nwarning:") <= 2 &&
                        count_of(err, "nothing for 2546 ms\n") == 1)
                << err;
        }
    }

    // Opening against the server that never answers, then Quit while it opens.
    ASSERT_TRUE(silent.open() && silent.run() && silent.poke());
    const double clicked = monotonic_seconds();
    EXPECT_TRUE(wait_until([&] { return silent.answered(); }, 8));
    EXPECT_LT(monotonic_seconds() - clicked, 3.0);
    EXPECT_EQ(silent.prog.stderr_text(), "error: Can't open pulse: the sound server answered nothing for 2546 ms\n");
    ASSERT_TRUE(silent.run());
    soundtest::sleep_ms(300);
    ASSERT_TRUE(send_delete_window(silent.dpy(), silent.win.control));
    EXPECT_TRUE(silent.prog.wait_exit(3.0));
    close(listener);

    soundtest::sleep_ms(std::max(0L, long((10.0 - (monotonic_seconds() - stopped)) * 1000)));
    kill(pa.server, SIGCONT);
    for (size_t i = 0; i < 3; ++i)
        ASSERT_TRUE(runs[i]->run());
    soundtest::sleep_ms(3000);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(runs[i]->running() && count_of(runs[i]->prog.stderr_text(), "rate:") == 2)
            << runs[i]->prog.stderr_text();
    const int lines = count_of(runs[2]->prog.stderr_text(), "\n");
    kill(pa.server, SIGKILL);
    soundtest::stop_process(pa.server);
    EXPECT_TRUE(wait_until([&] { return !runs[2]->running(); }, 8));
    soundtest::sleep_ms(300);
    EXPECT_EQ(count_of(runs[2]->prog.stderr_text(), "\n"), lines + 1) << runs[2]->prog.stderr_text();
    EXPECT_NE(runs[2]->prog.stderr_text().find("error: alsa:zp: the device has gone: "), std::string::npos);
}

// The sampler records a counter (frame number, low half left, high half
// right) while it is stopped ten times for 300 ms: the server's queue
// overflows each time, and the lost time the warnings add up to matches the
// frames missing from the counter within 10 %. Then the server suspends the
// source for 2 s: one line, and the blocks go on.
TEST(Stalls, DataLostWhileLateIsReportedAsTheTimeItCovers)
{
    soundtest::SoundServer pa;
    ASSERT_TRUE(pa.start()) << pa.error;
    std::string raw;
    for (uint32_t i = 1; i <= 30 * 44100; ++i)
        put_le(raw, i, 4);   // little-endian: the low half left, the high half right
    ASSERT_TRUE(pa.play_raw(raw)) << pa.error;
    TempDir dir;
    const std::string blocks = dir.file("blocks"), err = dir.file("stderr");
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        setenv("PULSE_SERVER", ("unix:" + pa.socket).c_str(), 1);
        FILE* out = fopen(blocks.c_str(), "wb");
        static const std::string device = "pulse:" + std::string(soundtest::sink) + ".monitor";
        sampler.rate = 44100, sampler.length = 2048, sampler.resolution = 16;
        sampler.device = device.c_str();
        if (!freopen(err.c_str(), "w", stderr) || !out || !sampler.start())
            _exit(1);
        for (int i = 0; i < 16 * 44100 / 2048 && sampler.read_block(); ++i)
            fwrite(sampler.buffer.get(), 4, 2 * 2048, out);
        sampler.stop();
        fclose(out);
        fflush(stderr);
        _exit(0);
    }
    soundtest::sleep_ms(2500);
    for (int i = 0; i < 10; ++i) {
        kill(child, SIGSTOP);
        soundtest::sleep_ms(300);
        kill(child, SIGCONT);
        soundtest::sleep_ms(700);
    }
    ASSERT_EQ(pa.pactl({"suspend-sink", soundtest::sink, "1"}, dir.file("pactl.log")), 0);
    soundtest::sleep_ms(2000);
    ASSERT_EQ(pa.pactl({"suspend-sink", soundtest::sink, "0"}, dir.file("pactl.log")), 0);
    EXPECT_EQ(soundtest::wait_for(child, 20000), 0);

    const std::string got = soundtest::read_file(blocks);
    long long missing = 0, previous = 0;
    for (size_t at = 0; at + 8 <= got.size(); at += 8) {
        uint32_t lr[2];
        memcpy(lr, &got[at], 8);
        const long long c = (lr[0] >> 16) | (lr[1] >> 16) << 16;
        missing += previous && c > previous ? c - previous - 1 : 0;
        previous = c ? c : previous;
    }
    const std::string text = soundtest::read_file(err);
    double reported_ms = 0;
    int lines = 0;
    const std::regex line("warning: [^ ]+: overrun, data lost \\(([0-9]+) ms since the last report");
    for (std::sregex_iterator m(text.begin(), text.end(), line), end; m != end; ++m, ++lines)
        reported_ms += std::stod((*m)[1]);
    const double missing_ms = missing * 1000.0 / 44100;
    EXPECT_GT(missing_ms, 1000) << "the stops lost too little to measure";
    EXPECT_NEAR(reported_ms, missing_ms, 0.1 * missing_ms) << text;
    EXPECT_TRUE(lines >= 5 && lines <= 16) << text;   // at most one a second
    EXPECT_EQ(text.find("error:"), std::string::npos) << text;
    EXPECT_EQ(count_of(text, "\nwarning: pulse:" + std::string(soundtest::sink) + ".monitor: the sound server has "
                             "suspended the source " + soundtest::sink + ".monitor; blocks are silence until it resumes\n"),
              1) << text;
}

// Six recordings through ALSA's plugin for the server, started a little
// apart so that the server stops each at another point of its block: each
// run ends at its second read that waits to the deadline, as through the
// server's own protocol (5.1 s, not 7.7 s, of a window barely answering),
// with one line for the stall and one for the end. The plugin can hand out
// the rest of a block once the wait has run out; that read is the stall.
TEST(Stalls, AnALSAStallEndsTheRunAtItsSecondWait)
{
    soundtest::SoundServer pa;
    ASSERT_TRUE(pa.start()) << pa.error;
    TempDir dir;
    const std::string conf = dir.file("asound.conf");
    ASSERT_TRUE(write_file(conf, "pcm.zp { type pulse }\n"));
    std::vector<pid_t> children;
    for (int i = 0; i < 6; ++i) {
        fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            setenv("PULSE_SERVER", ("unix:" + pa.socket).c_str(), 1);
            setenv("XDG_RUNTIME_DIR", pa.run.c_str(), 1);
            setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
            sampler.rate = 44100, sampler.length = 2048, sampler.resolution = 16;
            sampler.device = "alsa:zp";
            if (!freopen(dir.file("stderr" + std::to_string(i)).c_str(), "w", stderr) || !sampler.start())
                _exit(1);
            // Per read after the first: w (waited to the deadline), . (in time), and x for the end.
            std::string reads;
            bool more = sampler.read_block();
            write_file(dir.file("started" + std::to_string(i)), "");
            while (more && reads.size() < 1000) {
                const double started = monotonic_seconds();
                more = sampler.read_block();
                reads += monotonic_seconds() - started >= stall_limit ? 'w' : '.';
            }
            write_file(dir.file("reads" + std::to_string(i)), reads + (more ? "" : "x"));
            fflush(stderr);
            PCM::exiting = true;
            _exit(0);
        }
        children.push_back(child);
        soundtest::sleep_ms(170);
    }
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(wait_until([&] { return soundtest::exists(dir.file("started" + std::to_string(i))); }, 15));
    soundtest::sleep_ms(1000);
    kill(pa.server, SIGSTOP);
    for (const pid_t child : children)
        EXPECT_EQ(soundtest::wait_for(child, 15000), 0);
    kill(pa.server, SIGCONT);
    for (int i = 0; i < 6; ++i) {
        const std::string reads = soundtest::read_file(dir.file("reads" + std::to_string(i)));
        const std::string err = soundtest::read_file(dir.file("stderr" + std::to_string(i)));
        const size_t first = reads.find('w');
        ASSERT_NE(first, std::string::npos) << reads;
        EXPECT_EQ(reads.substr(first), "wwx") << reads << "\n" << err;
        EXPECT_EQ(count_of(err, "error: alsa:zp: the device sent nothing for 2546 ms\n"), 1) << err;
        EXPECT_EQ(count_of(err, "error: the sound device alsa:zp stopped working: 2 reads in a row failed"), 1) << err;
    }
}
