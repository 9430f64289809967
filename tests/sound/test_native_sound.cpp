// The running program on native sound: a private PulseAudio server with a
// null sink, recorded from through the sink's monitor and played to, and
// ALSA PCMs of a test configuration. Checked through the analyser's pixels
// (against the levels worked out by the analyser tests' own reference), the
// samples the server received, and what the user sees when a device is
// missing or goes away.
#include "gui/test_analyser_support.h"
#include "sound_server.h"

#include <gtest/gtest.h>

using namespace harness;
using namespace analyser_test;

namespace {

const std::string monitor = std::string(soundtest::sink) + ".monitor";

// The program's environment for the private server.
Env server_env(const soundtest::SoundServer& pa)
{
    return {{"PULSE_SERVER", "unix:" + pa.socket}, {"XDG_RUNTIME_DIR", pa.run}};
}

// Interleaved little-endian stereo bytes of blocks.
std::string stereo_raw(const std::vector<StereoBlock>& blocks)
{
    std::string out;
    for (const StereoBlock& b : blocks)
        for (int i = 0; i < block_frames; ++i) {
            put_le(out, uint16_t(b.left[size_t(i)]), 2);
            put_le(out, uint16_t(b.right[size_t(i)]), 2);
        }
    return out;
}

// Highest row of column x that shows the bar colour; the height if none.
int bar_top(const Image& img, int x, const Palette& pal)
{
    for (int y = 0; y < img.height(); ++y)
        if (img.at(x, y) == pal.bar)
            return y;
    return img.height();
}

// Sets the analyser's Run and tells whether sampling starts and stays on
// (a failed start springs the toggle back at once).
bool run_starts(Display* dpy, const Windows& win)
{
    if (!click_centre(dpy, win.controls.analyser_run) ||
        !wait_until([&] { return is_set(dpy, win.controls.analyser_run); }))
        return false;
    soundtest::sleep_ms(700);
    return is_set(dpy, win.controls.analyser_run);
}

bool run_springs_back(Display* dpy, const Windows& win)
{
    return click_centre(dpy, win.controls.analyser_run) &&
           wait_until([&] { return !is_set(dpy, win.controls.analyser_run); });
}

}  // namespace

// A tone at component 100 played into the null sink is recorded from its
// monitor: the left display's bar stands at the row of the tone's level,
// the silent right one stays on the bottom row, and the server lists the
// program as its client "Zentaphon".
TEST(NativeSound, RecordsAMonitorAndShowsTheTonesLevel)
{
    soundtest::SoundServer pa;
    ASSERT_TRUE(pa.start()) << pa.error;
    const StereoBlock tone{tone_block({{100, 0.5}}), silent_block()};
    ASSERT_TRUE(pa.play_raw(stereo_raw(std::vector<StereoBlock>(700, tone)))) << pa.error;

    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    Program prog(server, {"-device", "pulse:" + monitor}, server_env(pa));
    ASSERT_TRUE(prog.started()) << prog.error();
    SaveOnFailure evidence(server);
    evidence.add("stderr", prog);
    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    ASSERT_TRUE(run_starts(dpy, win)) << prog.stderr_text();

    // A whole number of periods in every block: the level does not depend
    // on where the block starts in the tone.
    const Palette pal(dpy);
    const int want = Axis{}.row(Reference{}.raw_db(tone, Mix::Left)[100]);
    Image left, right;
    const bool shown = wait_until(
        [&] {
            left = capture(dpy, win.spectrum.area[0]);
            right = capture(dpy, win.spectrum.area[1]);
            return !left.empty() && !right.empty() && bar_top(left, 100, pal) == want &&
                   bar_top(right, 100, pal) == 249;
        },
        15);
    evidence.add("left", left);
    EXPECT_TRUE(shown) << "bar tops " << bar_top(left, 100, pal) << " and " << bar_top(right, 100, pal)
                       << ", want " << want << " and 249";

    const std::string clients = pa.dir + "/clients.txt";
    ASSERT_EQ(pa.pactl({"list", "clients"}, clients), 0);
    EXPECT_NE(soundtest::read_file(clients).find("application.name = \"Zentaphon\""), std::string::npos)
        << soundtest::read_file(clients);
    const std::string err = prog.stderr_text();
    EXPECT_EQ(err.find("error:"), std::string::npos) << err;
    EXPECT_NE(err.find("driver: pulse\nname: pulse:" + monitor + "\n"), std::string::npos) << err;
    EXPECT_NE(err.find("server buffer: fragments of 8192 bytes (46.4399 ms), at most 16384 bytes, from source " +
                       monitor + "\n"),
              std::string::npos)
        << err;
}

// Live through the server, the measurement log on standard output: a
// recorded tone at component 100 (2153.3 Hz) with 1 % third harmonic reads
// as the file tests read it, the silent right channel as -inf without a
// fundamental or a correlation.
TEST(NativeSound, LogsTheMeasurementsOfARecordedTone)
{
    soundtest::SoundServer pa;
    ASSERT_TRUE(pa.start()) << pa.error;
    const StereoBlock tone{tone_block({{100, 0.5}, {300, 0.005}}), silent_block()};
    ASSERT_TRUE(pa.play_raw(stereo_raw(std::vector<StereoBlock>(700, tone)))) << pa.error;

    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    Program prog(server, {"-device", "pulse:" + monitor, "-xrm", "Zentaphon.measurementLog: -"}, server_env(pa));
    ASSERT_TRUE(prog.started()) << prog.error();
    SaveOnFailure evidence(server);
    evidence.add("stderr", prog);
    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    ASSERT_TRUE(run_starts(dpy, win)) << prog.stderr_text();

    // Three seconds in, the measurements' frame (0.74 s) past the monitor's
    // first silence.
    std::vector<std::string> lines;
    ASSERT_TRUE(wait_until([&] {
        std::istringstream out(prog.stdout_text());
        lines.clear();
        for (std::string l; std::getline(out, l);)
            lines.push_back(l);
        return lines.size() >= 1 + 2 * 12 && lines.size() % 2 == 1;
    }, 20)) << prog.stdout_text();
    EXPECT_EQ(lines[0], "time_s,channel,rms_dbfs,peak_dbfs,frequency_hz,level_db,thd_pct,thdn_pct,snr_db,"
                        "sinad_db,correlation,dc_pct,crest_db,enob_bits,balance_db,phase_deg");
    double t, rms, peak, f, level, thd;
    char name[8];
    const std::string& left = lines[lines.size() - 2];
    ASSERT_EQ(std::sscanf(left.c_str(), "%lf,%5[a-z],%lf,%lf,%lf,%lf,%lf", &t, name, &rms, &peak, &f, &level, &thd), 7)
        << left;
    EXPECT_STREQ(name, "left");
    const double amplitude_db = 20 * std::log10(0.5 * 32767 * 65536 / 2147483647.0);
    EXPECT_NEAR(rms, amplitude_db, 0.02);
    EXPECT_NEAR(level, amplitude_db, 0.02);
    EXPECT_NEAR(f, 100 * 44100.0 / 2048, 0.5);
    EXPECT_NEAR(thd, 1.00, 0.01);
    EXPECT_EQ(left.back(), ',');
    EXPECT_EQ(lines.back(), lines.back().substr(0, lines.back().find(',')) + ",right,-inf,-inf,,,,,,,,0.000,,,,");
    EXPECT_EQ(prog.stderr_text().find("error:"), std::string::npos) << prog.stderr_text();
}

// Disk-file mode plays the file to the server's default sink: its monitor
// hears the file's samples exactly, but for the server's ramp at the start.
TEST(NativeSound, PlaysAFileToTheServerSampleForSample)
{
    std::vector<StereoBlock> blocks;
    for (int b = 0; b < 30; ++b) {
        StereoBlock s{std::vector<int16_t>(block_frames), std::vector<int16_t>(block_frames)};
        for (int i = 0; i < block_frames; ++i) {
            s.left[size_t(i)] = int16_t(uint16_t((b * block_frames + i) * 40503u + 7));
            s.right[size_t(i)] = int16_t(uint16_t((b * block_frames + i) * 2654435761u >> 7));
        }
        blocks.push_back(s);
    }
    TempDir dir;
    const std::string wav = dir.file("noise.wav"), heard = dir.file("heard.raw");
    ASSERT_TRUE(write_file(wav, wav_bytes(blocks)));
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();

    // A busy machine may let the server's two blocks run dry; the program
    // then says "underrun", and the run is tried again on a fresh server.
    std::string got, err;
    for (int attempt = 0; attempt < 3; ++attempt) {
        soundtest::SoundServer pa;
        ASSERT_TRUE(pa.start()) << pa.error;
        unlink(heard.c_str());
        pid_t rec = soundtest::spawn({"/usr/bin/parec", "--server=unix:" + pa.socket, "--device=" + monitor,
                                      "--raw", "--format=s16le", "--rate=44100", "--channels=2",
                                      "--latency-msec=20", "--file-format=raw", heard},
                                     pa.env(), dir.file("parec.log"));
        Program prog(server, {"-diskfile", "-filename", wav, "-device", "pulse"}, server_env(pa));
        ASSERT_TRUE(prog.started()) << prog.error();
        SaveOnFailure evidence(server);
        evidence.add("stderr", prog);
        Windows win = open_windows(dpy);
        ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
        ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
        // 30 blocks are 1.4 s of sound; the run ends by itself at the file's end.
        EXPECT_TRUE(wait_until([&] { return prog.stderr_text().find("driver: pulse") != std::string::npos; }));
        EXPECT_TRUE(wait_until([&] { return !is_set(dpy, win.controls.analyser_run); }, 15));
        soundtest::sleep_ms(500);
        soundtest::stop_process(rec);
        got = soundtest::read_file(heard);
        err = prog.stderr_text();
        if (err.find("underrun") == std::string::npos)
            break;
    }

    const std::string played = stereo_raw(blocks);
    const size_t skip = 4 * 1024;  // the start, which the server ramps in
    const size_t at = got.find(played.substr(skip, 4096));
    ASSERT_NE(at, std::string::npos) << got.size() << " bytes heard";
    EXPECT_TRUE(got.compare(at, played.size() - skip, played, skip, std::string::npos) == 0)
        << "the monitor heard other samples than the file's";
    EXPECT_EQ(err.find("error:"), std::string::npos) << err;
    EXPECT_NE(err.find("mode: write\n"), std::string::npos) << err;
}

// A device that is not there, or that goes away, gives one line; the Run
// toggle springs back and Run works again once the device is there.
TEST(NativeSound, MissingAndLostDevicesGiveOneLineAndRunAgainWorks)
{
    soundtest::SoundServer pa;
    ASSERT_TRUE(pa.start()) << pa.error;
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    TempDir dir;

    // An ALSA PCM that the configuration does not name, until it does.
    {
        const std::string conf = dir.file("asound.conf");
        ASSERT_TRUE(write_file(conf, "pcm.quiet { type null }\n"));
        Env env = server_env(pa);
        env.push_back({"ALSA_CONFIG_PATH", conf});
        Program prog(server, {"-device", "alsa:later"}, env);
        ASSERT_TRUE(prog.started()) << prog.error();
        Windows win = open_windows(dpy);
        ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
        ASSERT_TRUE(run_springs_back(dpy, win));
        ASSERT_TRUE(prog.wait_stderr("error:"));
        EXPECT_EQ(prog.stderr_text(), "error: Can't open alsa:later: No such file or directory\n");
        ASSERT_TRUE(write_file(conf, "pcm.quiet { type null }\npcm.later { type null }\n"));
        EXPECT_TRUE(run_starts(dpy, win)) << prog.stderr_text();
        EXPECT_EQ(count_of(prog.stderr_text(), "error:"), 1) << prog.stderr_text();
        EXPECT_NE(prog.stderr_text().find("driver: alsa\nname: alsa:later\n"), std::string::npos);
    }
    // A source the server does not have, until a sink of that name comes.
    {
        Program prog(server, {"-device", "pulse:later.monitor"}, server_env(pa));
        ASSERT_TRUE(prog.started()) << prog.error();
        Windows win = open_windows(dpy);
        ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
        ASSERT_TRUE(run_springs_back(dpy, win));
        ASSERT_TRUE(prog.wait_stderr("error:"));
        EXPECT_EQ(prog.stderr_text(), "error: Can't open pulse:later.monitor: No such entity\n");
        ASSERT_EQ(pa.pactl({"load-module", "module-null-sink", "sink_name=later"}, dir.file("load.log")), 0);
        EXPECT_TRUE(run_starts(dpy, win)) << prog.stderr_text();
        EXPECT_EQ(count_of(prog.stderr_text(), "error:"), 1) << prog.stderr_text();
    }
    // The server goes away while the program records from it, and comes back.
    {
        Program prog(server, {"-device", "pulse"}, server_env(pa));
        ASSERT_TRUE(prog.started()) << prog.error();
        Windows win = open_windows(dpy);
        ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
        ASSERT_TRUE(click_centre(dpy, win.controls.scope_run));
        ASSERT_TRUE(run_starts(dpy, win)) << prog.stderr_text();
        kill(pa.server, SIGKILL);  // the server dies
        soundtest::stop_process(pa.server);
        EXPECT_TRUE(wait_until([&] {
            return !is_set(dpy, win.controls.analyser_run) && !is_set(dpy, win.controls.scope_run);
        }));
        soundtest::sleep_ms(500);
        EXPECT_EQ(count_of(prog.stderr_text(), "error:"), 1) << prog.stderr_text();
        EXPECT_NE(prog.stderr_text().find("error: pulse: the sound server has gone: "), std::string::npos)
            << prog.stderr_text();
        ASSERT_TRUE(pa.launch()) << pa.error;
        EXPECT_TRUE(run_starts(dpy, win)) << prog.stderr_text();
        EXPECT_EQ(count_of(prog.stderr_text(), "driver: pulse"), 2) << prog.stderr_text();
        EXPECT_TRUE(prog.running());
    }
}
