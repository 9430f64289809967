// A sound server that stops answering, and a program that is late: the
// window keeps answering, every wait ends within its deadline, stalled
// streams are left alone so that Quit is quick, and data lost while the
// program was late is reported as the time it covers.
#include "gui/test_analyser_support.h"
#include "sampler/Sampler.h"
#include "sound_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sys/socket.h>
#include <sys/un.h>

using namespace harness;
using namespace analyser_test;

namespace {

double now_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

int count_of(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// One program on a display of its own, with its Run set.
struct Running {
    std::string what;
    XServer x;
    std::unique_ptr<Program> prog;
    Windows win;

    Running(const std::string& name, const std::vector<std::string>& args, const Env& env) : what(name)
    {
        if (x.ok())
            prog = std::make_unique<Program>(x, args, env);
    }
    Display* dpy() { return x.display(); }
    bool open()
    {
        if (!prog || !prog->started())
            return false;
        win = open_windows(dpy());
        return win.ok();
    }
    bool run() { return click_centre(dpy(), win.controls.analyser_run); }
    bool running() { return is_set(dpy(), win.controls.analyser_run); }
    // Clicks Peak Search; answered() tells when the click shows.
    bool was = false;
    bool poke()
    {
        was = is_set(dpy(), win.controls.peak_search);
        return click_centre(dpy(), win.controls.peak_search);
    }
    bool answered() { return is_set(dpy(), win.controls.peak_search) != was; }
    double answer_in()
    {
        const double t = now_s();
        return poke() && wait_until([&] { return answered(); }, 5) ? now_s() - t : -1;
    }
};

// A 16-bit stereo 44100 Hz WAV file of seconds of silence.
std::string silent_wav(int seconds)
{
    const uint32_t data = uint32_t(seconds) * 44100 * 4;
    std::string s = "RIFF";
    put_le(s, 36 + data, 4);
    s += "WAVEfmt ";
    for (uint32_t v : {16u, 1u | 2u << 16, 44100u, 44100u * 4, 4u | 16u << 16})
        put_le(s, v, 4);
    s += "data";
    put_le(s, data, 4);
    return s + std::string(data, '\0');
}

}  // namespace

// The server stops for 10 s under four runs at once: recording and playing,
// through the server's own protocol and through ALSA's plugin for it. Each
// window answers a click within 3 s of the stop, each run ends with at most
// two lines, Quit during the stall exits within 3 s, and Run works again
// once the server goes on. A server that takes the connection but never
// answers fails the opening within its deadline, and Quit while it opens
// is as quick.
TEST(Stalls, AStoppedServerNeverHoldsTheWindow)
{
    soundtest::SoundServer pa;
    ASSERT_TRUE(pa.start()) << pa.error;
    TempDir dir;
    const std::string wav = dir.file("long.wav"), conf = dir.file("asound.conf");
    ASSERT_TRUE(write_file(wav, silent_wav(40)));
    ASSERT_TRUE(write_file(conf, "pcm.zp { type pulse }\n"));
    const Env env = {{"PULSE_SERVER", "unix:" + pa.socket}, {"XDG_RUNTIME_DIR", pa.run}, {"ALSA_CONFIG_PATH", conf}};

    // Listens, but never accepts or answers.
    const std::string mute = dir.file("mute.sock");
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", mute.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 8), 0);

    std::vector<std::unique_ptr<Running>> runs;
    runs.push_back(std::make_unique<Running>("pulse recording", std::vector<std::string>{"-device", "pulse"}, env));
    runs.push_back(std::make_unique<Running>("alsa recording", std::vector<std::string>{"-device", "alsa:zp"}, env));
    runs.push_back(std::make_unique<Running>(
        "pulse playing", std::vector<std::string>{"-diskfile", "-filename", wav, "-device", "pulse"}, env));
    runs.push_back(std::make_unique<Running>(
        "alsa playing", std::vector<std::string>{"-diskfile", "-filename", wav, "-device", "alsa:zp"}, env));
    Running silent("mute server", {"-device", "pulse"}, {{"PULSE_SERVER", "unix:" + mute}});
    Running quitting("mute server, quit", {"-device", "pulse"}, {{"PULSE_SERVER", "unix:" + mute}});
    for (auto& r : runs) {
        ASSERT_TRUE(r->open()) << r->what;
        ASSERT_TRUE(r->run()) << r->what;
    }
    for (auto& r : runs)
        ASSERT_TRUE(wait_until([&] { return r->running() && count_of(r->prog->stderr_text(), "rate:") == 1; }, 15))
            << r->what << ": " << r->prog->stderr_text();
    soundtest::sleep_ms(1500);

    // The runs that went on quit while the server stands still; the alsa
    // player quits at once.
    kill(pa.server, SIGSTOP);
    const double stopped = now_s();
    ASSERT_TRUE(send_delete_window(runs[3]->dpy(), runs[3]->win.control));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(runs[size_t(i)]->poke());
    std::vector<double> answer(3, -1);
    double exited = -1;
    wait_until(
        [&] {
            for (size_t i = 0; i < 3; ++i)
                if (answer[i] < 0 && runs[i]->answered())
                    answer[i] = now_s() - stopped;
            if (exited < 0 && !runs[3]->prog->running())
                exited = now_s() - stopped;
            return exited >= 0 && *std::min_element(answer.begin(), answer.end()) >= 0;
        },
        8);
    EXPECT_GE(exited, 0);
    EXPECT_LT(exited, 3.0);
    EXPECT_EQ(runs[3]->prog->exit_status(), 0);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_GE(answer[i], 0) << runs[i]->what;
        EXPECT_LT(answer[i], 3.0) << runs[i]->what;
    }
    for (int i = 0; i < 3; ++i) {
        Running& r = *runs[size_t(i)];
        EXPECT_TRUE(wait_until([&] { return !r.running(); }, 8)) << r.what;
        const std::string err = r.prog->stderr_text();
        EXPECT_GE(count_of(err, "error:"), 1) << r.what << ": " << err;
        EXPECT_LE(count_of(err, "\nerror:") + count_of(err, "\nwarning:"), 2) << r.what << ": " << err;
        EXPECT_NE(err.find("nothing for 2546 ms\n"), std::string::npos) << r.what << ": " << err;
    }

    // Opening against a server that never answers.
    ASSERT_TRUE(silent.open() && quitting.open());
    ASSERT_TRUE(silent.run() && quitting.run());
    const double clicked = now_s();
    soundtest::sleep_ms(300);
    ASSERT_TRUE(send_delete_window(quitting.dpy(), quitting.win.control) && silent.poke());
    double quit_at = -1, answer_at = -1;
    wait_until(
        [&] {
            if (quit_at < 0 && !quitting.prog->running())
                quit_at = now_s() - clicked;
            if (answer_at < 0 && silent.answered())
                answer_at = now_s() - clicked;
            return quit_at >= 0 && answer_at >= 0;
        },
        8);
    EXPECT_GE(quit_at, 0);
    EXPECT_LT(quit_at, 3.0);
    EXPECT_GE(answer_at, 0);
    EXPECT_LT(answer_at, 3.0);
    EXPECT_TRUE(silent.prog->wait_stderr("error:"));
    EXPECT_EQ(silent.prog->stderr_text(), "error: Can't open pulse: the sound server answered nothing for 2546 ms\n");
    EXPECT_FALSE(silent.running());
    close(listener);

    // The server goes on: Run works again.
    const double rest = 10.0 - (now_s() - stopped);
    if (rest > 0)
        soundtest::sleep_ms(long(rest * 1000));
    kill(pa.server, SIGCONT);
    for (int i = 0; i < 3; ++i) {
        Running& r = *runs[size_t(i)];
        ASSERT_TRUE(r.run()) << r.what;
        soundtest::sleep_ms(3000);
        EXPECT_TRUE(r.running()) << r.what << ": " << r.prog->stderr_text();
        EXPECT_EQ(count_of(r.prog->stderr_text(), "rate:"), 2) << r.what << ": " << r.prog->stderr_text();
    }

    // The server goes for good: one line each, through ALSA too.
    std::vector<int> lines;
    for (int i = 0; i < 3; ++i)
        lines.push_back(count_of(runs[size_t(i)]->prog->stderr_text(), "\n"));
    kill(pa.server, SIGKILL);
    soundtest::stop_process(pa.server);
    for (int i = 0; i < 3; ++i) {
        Running& r = *runs[size_t(i)];
        EXPECT_TRUE(wait_until([&] { return !r.running(); }, 8)) << r.what;
        soundtest::sleep_ms(300);
        const std::string err = r.prog->stderr_text();
        EXPECT_EQ(count_of(err, "\n"), lines[size_t(i)] + 1) << r.what << ": " << err;
        EXPECT_NE(err.find(" has gone: "), std::string::npos) << r.what << ": " << err;
    }
}

// A source the server suspends gives one line; the run goes on with
// silence until the source resumes.
TEST(Stalls, ASuspendedSourceGoesOnAsSilence)
{
    soundtest::SoundServer pa;
    ASSERT_TRUE(pa.start()) << pa.error;
    Running r("suspended", {"-device", "pulse:" + std::string(soundtest::sink) + ".monitor"},
              {{"PULSE_SERVER", "unix:" + pa.socket}, {"XDG_RUNTIME_DIR", pa.run}});
    ASSERT_TRUE(r.open() && r.run());
    ASSERT_TRUE(wait_until([&] { return r.running() && r.prog->stderr_text().find("rate:") != std::string::npos; }));
    soundtest::sleep_ms(1500);
    TempDir dir;
    ASSERT_EQ(pa.pactl({"suspend-sink", soundtest::sink, "1"}, dir.file("pactl.log")), 0);
    EXPECT_TRUE(r.prog->wait_stderr("warning:")) << r.prog->stderr_text();
    soundtest::sleep_ms(3000);
    EXPECT_TRUE(r.running());
    ASSERT_EQ(pa.pactl({"suspend-sink", soundtest::sink, "0"}, dir.file("pactl.log")), 0);
    soundtest::sleep_ms(1500);
    EXPECT_TRUE(r.running());
    const std::string err = r.prog->stderr_text();
    EXPECT_EQ(err.substr(err.find("warning:")), "warning: pulse:" + std::string(soundtest::sink) +
                                                     ".monitor: the sound server has suspended the source " +
                                                     soundtest::sink + ".monitor; blocks are silence until it resumes\n")
        << err;
    const double before = now_s();
    EXPECT_GE(r.answer_in(), 0);
    EXPECT_LT(now_s() - before, 1.0);
}

// The sampler records a counter (the frame number, low half left, high half
// right) while it is stopped ten times for 300 ms: the server's queue
// overflows each time, and the lost time the warnings add up to matches the
// frames missing from the counter within 10 %.
TEST(Stalls, DataLostWhileLateIsReportedAsTheTimeItCovers)
{
    soundtest::SoundServer pa;
    ASSERT_TRUE(pa.start()) << pa.error;
    const int seconds = 30;
    std::string raw;
    for (uint32_t i = 1; i <= uint32_t(seconds * 44100); ++i) {
        put_le(raw, i & 0xffff, 2);
        put_le(raw, i >> 16, 2);
    }
    ASSERT_TRUE(pa.play_raw(raw)) << pa.error;

    TempDir dir;
    const std::string blocks = dir.file("blocks"), err = dir.file("stderr");
    const unsigned length = 2048;
    const int reads = 14 * 44100 / int(length);
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        setenv("PULSE_SERVER", ("unix:" + pa.socket).c_str(), 1);
        freopen(err.c_str(), "w", stderr);
        FILE* out = fopen(blocks.c_str(), "wb");
        static const std::string device = "pulse:" + std::string(soundtest::sink) + ".monitor";
        sampler.source = Sampler::Soundcard;
        sampler.rate = 44100;
        sampler.length = length;
        sampler.resolution = 16;
        sampler.device = device.c_str();
        if (!out || !sampler.start())
            _exit(1);
        for (int i = 0; i < reads && sampler.read_block(); ++i)
            fwrite(sampler.buffer.get(), 4, 2 * length, out);
        sampler.stop();
        fclose(out);
        fflush(stderr);
        _exit(0);
    }
    ASSERT_GT(child, 0);
    soundtest::sleep_ms(2500);
    for (int i = 0; i < 10; ++i) {
        kill(child, SIGSTOP);
        soundtest::sleep_ms(300);
        kill(child, SIGCONT);
        soundtest::sleep_ms(700);
    }
    EXPECT_EQ(soundtest::wait_for(child, 20000), 0);

    // The frames missing between counter values that arrived.
    const std::string got = soundtest::read_file(blocks);
    std::vector<int32_t> v(got.size() / 4);
    memcpy(v.data(), got.data(), v.size() * 4);
    long long missing = 0, previous = 0;
    for (size_t f = 0; f + 1 < v.size(); f += 2) {
        const long long c = (uint32_t(v[f]) >> 16) | (uint32_t(v[f + 1]) >> 16) << 16;
        if (c == 0)
            continue;
        if (previous && c > previous)
            missing += c - previous - 1;
        previous = c;
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
    EXPECT_GE(lines, 5) << text;
    EXPECT_LE(lines, 10) << text;
    EXPECT_EQ(text.find("error:"), std::string::npos) << text;
}
