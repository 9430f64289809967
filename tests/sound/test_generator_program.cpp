// The running program's generator through a private sound server: the
// program records pulse:SINK.monitor and plays its generator to pulse:SINK,
// while parec records the same monitor. From that recording, by the
// definitions: the sine's frequency, level and THD+N in both channels; the
// key o in the Generator window switches it off and on with a quiet
// stretch between and no step larger than the sine's own.
#include "gui/test_analyser_support.h"
#include "sound_server.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>

using namespace harness;
using namespace analyser_test;

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double rate = 44100.0;

std::vector<double> channel_of(const std::string& raw, int c)
{
    std::vector<double> x(raw.size() / 4);
    for (size_t i = 0; i < x.size(); ++i) {
        int16_t v;
        std::memcpy(&v, raw.data() + 4 * i + 2 * c, 2);
        x[i] = v / 32768.0;
    }
    return x;
}

std::complex<double> dft_at(const std::vector<double>& x, double f, size_t from, size_t n)
{
    std::complex<double> sum = 0.0;
    for (size_t i = 0; i < n; ++i)
        sum += x[from + i] * std::polar(1.0, -2.0 * pi * f * double(i) / rate);
    return sum;
}

// First index from `from` on where |x| reaches level, or x.size().
size_t first_above(const std::vector<double>& x, size_t from, double level)
{
    while (from < x.size() && std::fabs(x[from]) < level)
        ++from;
    return from;
}


// One run: the program's generator on, sound for 4 s, then o in the
// Generator window off and, 1 s later, on; what parec heard and the
// program's standard error.
void run_loop(std::string& raw, std::string& err)
{
    soundtest::SoundServer pa;
    ASSERT_TRUE(pa.start()) << pa.error;
    const std::string sink = soundtest::sink, heard = pa.dir + "/heard.raw";
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    pid_t rec = soundtest::spawn({"/usr/bin/parec", "--server=unix:" + pa.socket, "--device=" + sink + ".monitor",
                                  "--raw", "--format=s16le", "--rate=44100", "--channels=2", "--latency-msec=20",
                                  "--file-format=raw", heard},
                                 pa.env(), pa.dir + "/parec.log");
    Program prog(server,
                 {"-device", "pulse:" + sink + ".monitor", "-xrm", "Zentaphon.generatorOn: True", "-xrm",
                  "Zentaphon.generatorDevice: pulse:" + sink, "-xrm", "Zentaphon.generatorFrequency: 997", "-xrm",
                  "Zentaphon.generatorLevel: -3"},
                 {{"PULSE_SERVER", "unix:" + pa.socket}, {"XDG_RUNTIME_DIR", pa.run}});
    ASSERT_TRUE(prog.started()) << prog.error();
    SaveOnFailure evidence(server);
    evidence.add("stderr", prog);
    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
    ASSERT_TRUE(prog.wait_stderr("name: pulse:" + sink + "\n")) << prog.stderr_text();
    // (A fresh server's sink starts after a while.)
    soundtest::sleep_ms(4000);
    ASSERT_TRUE(move_pointer(dpy, win.spectrum.area[0], 300, 100));
    ASSERT_TRUE(key(dpy, XK_o));
    const Window shell = wait_for_window(dpy, "Zentaphon: Generator");
    ASSERT_TRUE(shell) << dump_tree(dpy, server.root());
    ASSERT_TRUE(wait_viewable(dpy, shell));
    ASSERT_TRUE(move_pointer(dpy, shell, 20, 10));
    ASSERT_TRUE(key(dpy, XK_o));
    soundtest::sleep_ms(1000);
    ASSERT_TRUE(key(dpy, XK_o));
    soundtest::sleep_ms(1500);
    soundtest::stop_process(rec);
    err = prog.stderr_text();
    raw = soundtest::read_file(heard);
}

}  // namespace

TEST(GeneratorProgram, PlaysTheSineThroughTheLoopAndTheKeySwitchesIt)
{
    // A busy machine may keep the program from the output for longer than
    // its queue; the server then reports an underrun, and the run is tried
    // again on a fresh server.
    std::string raw, err;
    for (int attempt = 0; attempt < 3; ++attempt) {
        ASSERT_NO_FATAL_FAILURE(run_loop(raw, err));
        if (err.find("underrun") == std::string::npos)
            break;
        std::printf("attempt %d: underrun\n", attempt + 1);
    }
    EXPECT_EQ(err.find("error:"), std::string::npos) << err;
    EXPECT_EQ(err.find("underrun"), std::string::npos) << err;

    const std::vector<double> left = channel_of(raw, 0), right = channel_of(raw, 1);
    const size_t start = first_above(left, 0, 0.1);
    const size_t from = start + size_t(rate / 2), n = size_t(rate);   // 997 whole periods
    ASSERT_GE(left.size(), from + n) << "recorded " << left.size() << " frames";
    for (const std::vector<double>* x : {&left, &right}) {
        const std::complex<double> line = dft_at(*x, 997.0, from, n);
        EXPECT_NEAR(20.0 * std::log10(2.0 * std::abs(line) / double(n)), -3.0, 0.05);
        double residual = 0.0, signal = 0.0;
        for (size_t i = 0; i < n; ++i) {
            const double fitted = 2.0 / double(n) * (line * std::polar(1.0, 2.0 * pi * 997.0 * double(i) / rate)).real();
            residual += ((*x)[from + i] - fitted) * ((*x)[from + i] - fitted);
            signal += fitted * fitted;
        }
        EXPECT_LT(10.0 * std::log10(residual / signal), -88.0);
        const std::complex<double> a = dft_at(*x, 997.0, from, n / 2), b = dft_at(*x, 997.0, from + n / 2, n / 2);
        // 997 Hz x 0.5 s is 498.5 periods: half a turn between the halves.
        EXPECT_LT(std::fabs(std::arg(-b / a)), 2.0 * pi * 0.01 * 0.5);
    }
    // The quiet stretch after the sine's start: at least 0.5 s of silence
    // (the switch off), then the sine again.
    size_t quiet_from = start, quiet_length = 0;
    for (size_t i = start, run = 0; i < left.size(); ++i) {
        run = std::fabs(left[i]) < 1e-3 ? run + 1 : 0;
        if (run > quiet_length) {
            quiet_length = run;
            quiet_from = i + 1 - run;
        }
    }
    EXPECT_GT(double(quiet_length), 0.5 * rate);
    ASSERT_LT(first_above(left, quiet_from, 0.5), left.size()) << "the sine did not come back";
    // No step larger than the sine's own (its largest, plus the dither's two LSB).
    const double own = 2.0 * std::pow(10.0, -3.0 / 20.0) * std::sin(pi * 997.0 / rate) + 3.0 / 32768.0;
    double step = 0.0;
    for (size_t i = start + 1; i < left.size(); ++i)
        step = std::max(step, std::fabs(left[i] - left[i - 1]));
    EXPECT_LE(step, own);
}

// In disk-file mode the device plays the file: the generator switched on by
// generatorOn says so once, however many blocks the run takes, and plays
// nothing.
TEST(GeneratorProgram, SaysOnceThatTheDiskFileHasTheDevice)
{
    TempDir dir;
    const std::string wav = dir.file("silence.wav");
    ASSERT_TRUE(write_file(wav, wav_bytes(std::vector<StereoBlock>(40, StereoBlock{silent_block(), silent_block()}))));
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    Program prog(server, {"-diskfile", "-filename", wav, "-device", "demo", "-xrm", "Zentaphon.generatorOn: True"}, {});
    ASSERT_TRUE(prog.started()) << prog.error();
    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
    ASSERT_TRUE(wait_until([&] { return is_set(dpy, win.controls.analyser_run); }));
    // The run ends at the file's end.
    EXPECT_TRUE(wait_until([&] { return !is_set(dpy, win.controls.analyser_run); }, 15));
    const std::string err = prog.stderr_text();
    const std::string line = "warning: the generator plays only while sampling from the sound card; "
                             "in disk-file mode the device plays the file\n";
    const size_t at = err.find(line);
    ASSERT_NE(at, std::string::npos) << err;
    EXPECT_EQ(err.find(line, at + 1), std::string::npos) << err;
    // One stream for writing: the device playing the file.
    const size_t write = err.find("mode: write\n");
    ASSERT_NE(write, std::string::npos) << err;
    EXPECT_EQ(err.find("mode: write\n", write + 1), std::string::npos) << err;
}
