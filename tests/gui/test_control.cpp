// The run control seen from outside: the two Run toggles of the control
// window start and stop sampling from the simulated sound device, the
// source toggles follow, starts that cannot succeed leave everything as it
// was, and quitting closes the device.
#include "gui/test_control.h"

#include <string>
#include <vector>

using namespace harness;
using namespace control_test;

namespace {

// A tone on a whole number of analyser bins (10 cycles per block of 2048
// frames at 44100 Hz), a tenth of full scale, a quarter period ahead on
// the right: the scope draws a circle, the analyser one bar.
const std::string tone = std::to_string(10 * 44100.0 / 2048);

std::string report(int times)
{
    std::string r;
    for (int i = 0; i < times; ++i)
        r += device_report("read", 44100, 2048);
    return r;
}

// The descriptor an "open /dev/dsp flags=... -> fd" line hands out.
std::string opened_fd(const std::string& line)
{
    size_t at = line.rfind("-> ");
    return at == std::string::npos ? std::string() : line.substr(at + 3);
}

} // namespace

TEST(RunControl, RunTogglesStartAndStopSamplingFromTheSoundcard)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    TempDir tmp;
    const std::string log = tmp.file("dsp.log");
    Zentaphon z(server, {},
                {{"LD_PRELOAD", ZEN_SIMDSP},
                 {"SIMDSP_LEFT", "sine:" + tone + ":0.1"},
                 {"SIMDSP_RIGHT", "sine:" + tone + ":0.1:90"},
                 {"SIMDSP_LOG", log}});
    SaveOnFailure evidence(server);
    evidence.add("stderr", z.prog());
    ASSERT_TRUE(z.open()) << z.prog().describe() << "\n" << z.prog().stderr_text();

    const Window soundcard = z.widget(path::soundcard);
    const Window diskfile = z.widget(path::diskfile);
    const Window analyser_run = z.widget(path::analyser_run);
    const Window scope_run = z.widget(path::scope_run);
    const Window quit = z.widget(path::quit);
    ASSERT_TRUE(soundcard && diskfile && analyser_run && scope_run && quit)
        << dump_tree(dpy, z.control);
    const uint32_t trace = colour(dpy, "firebrick1");

    // Idle after start-up: the device is untouched, the source toggles are
    // sensitive, the "Soundcard" one set.
    ASSERT_TRUE(wait_until([&] { return is_set(dpy, soundcard); }));
    const Image soundcard_idle = settled_face(dpy, soundcard);
    const Image diskfile_idle = settled_face(dpy, diskfile);
    const size_t soundcard_text = text_pixels(dpy, soundcard);
    const size_t diskfile_text = text_pixels(dpy, diskfile);
    ASSERT_GT(soundcard_text, 20u);
    ASSERT_GT(diskfile_text, 20u);
    EXPECT_TRUE(read_lines(log).empty());
    EXPECT_FALSE(is_set(dpy, analyser_run));
    EXPECT_FALSE(is_set(dpy, scope_run));
    const size_t bars_idle = capture(dpy, z.display0).count(trace);

    // The analyser's Run starts sampling: the device's report, the source
    // toggles drawn insensitive, and whole blocks read one after another.
    ASSERT_TRUE(set_and_wait(dpy, analyser_run));
    ASSERT_TRUE(z.prog().wait_stderr(report(1)));
    EXPECT_TRUE(wait_until([&] {
        return text_pixels(dpy, soundcard) < soundcard_text * 3 / 4 &&
               text_pixels(dpy, diskfile) < diskfile_text * 3 / 4;
    })) << "the source toggles stay sensitive while sampling";
    EXPECT_TRUE(wait_until([&] { return count_prefix(read_lines(log), "read ") >= 5; }));
    std::vector<std::string> lines = read_lines(log);
    ASSERT_FALSE(lines.empty());
    ASSERT_TRUE(starts_with(lines[0], "open /dev/dsp flags=0x800 -> ")) << lines[0];
    const std::string first_fd = opened_fd(lines[0]);
    for (const std::string& l : lines) {
        if (starts_with(l, "read ")) {
            EXPECT_EQ(l, "read 8192 -> 8192");
        }
    }
    EXPECT_EQ(count_prefix(lines, "close"), 0u);
    // The tone shows as a bar in the analyser.
    EXPECT_TRUE(wait_until([&] { return capture(dpy, z.display0).count(trace) > bars_idle + 50; }));

    // A click on the insensitive "Diskfile" toggle changes nothing.
    ASSERT_TRUE(click_centre(dpy, diskfile));

    // The scope's Run while the analyser runs: the sampler goes on as it
    // was, and the scope draws the next blocks.
    ASSERT_TRUE(set_and_wait(dpy, scope_run));
    EXPECT_TRUE(wait_until([&] { return capture(dpy, z.drawing).count(trace) > 20; }));
    EXPECT_EQ(count_prefix(read_lines(log), "open "), 1u);
    EXPECT_EQ(z.prog().stderr_text(), report(1));

    // Unsetting the scope's Run while the analyser runs: sampling goes on.
    ASSERT_TRUE(click_centre(dpy, scope_run));
    ASSERT_TRUE(wait_until([&] { return !is_set(dpy, scope_run); }));
    const size_t reads = count_prefix(read_lines(log), "read ");
    EXPECT_TRUE(wait_until([&] { return count_prefix(read_lines(log), "read ") >= reads + 3; }));
    EXPECT_EQ(count_prefix(read_lines(log), "close"), 0u);
    EXPECT_TRUE(is_set(dpy, analyser_run));
    EXPECT_LT(text_pixels(dpy, soundcard), soundcard_text * 3 / 4);

    // Unsetting the analyser's Run, with the scope not running: the device
    // is closed, the source toggles are sensitive again and still show the
    // sound card chosen.
    ASSERT_TRUE(click_centre(dpy, analyser_run));
    EXPECT_TRUE(wait_until([&] {
        lines = read_lines(log);
        return !lines.empty() && lines.back() == "close " + first_fd;
    })) << (lines.empty() ? "" : lines.back());
    EXPECT_TRUE(wait_until([&] {
        return same_image(face(dpy, soundcard), soundcard_idle) &&
               same_image(face(dpy, diskfile), diskfile_idle);
    })) << "the source toggles do not come back as they were before the run";
    EXPECT_FALSE(is_set(dpy, analyser_run));
    EXPECT_FALSE(is_set(dpy, scope_run));
    EXPECT_EQ(count_prefix(read_lines(log), "open "), 1u);

    // A new start opens the device again; "Quit" while it samples closes
    // it and ends the program with status 0.
    ASSERT_TRUE(set_and_wait(dpy, scope_run));
    ASSERT_TRUE(z.prog().wait_stderr(report(2)));
    EXPECT_TRUE(wait_until([&] {
        lines = read_lines(log);
        return count_prefix(lines, "open ") == 2 && lines.back() == "read 8192 -> 8192";
    }));
    std::string second_fd;
    for (const std::string& l : lines) {
        if (starts_with(l, "open "))
            second_fd = opened_fd(l);
    }
    ASSERT_TRUE(click_centre(dpy, quit));
    ASSERT_TRUE(z.prog().wait_exit()) << z.prog().describe();
    EXPECT_EQ(z.prog().exit_status(), 0) << z.prog().describe();
    lines = read_lines(log);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "close " + second_fd);
    EXPECT_EQ(count_prefix(lines, "close "), 2u);
    EXPECT_EQ(z.prog().stderr_text(), report(2));
}

namespace {

// A start that cannot succeed, tried `attempts` times with one Run toggle.
struct FailingStart {
    std::vector<std::string> args;
    Env env;
    bool scope;           // the scope's Run toggle, else the analyser's
    std::string message;  // the one line each attempt writes
    int attempts;
};

// Sets the Run toggle, which springs back: the message on standard
// error, the toggle off again, the view's window still open, the source
// toggles sensitive as before. Returns the device log; the program has
// then ended through its control window's close button.
std::vector<std::string> try_failing_start(XServer& server, const FailingStart& c)
{
    Display* dpy = server.display();
    TempDir tmp;
    const std::string log = tmp.file("dsp.log");
    Env env = {{"LD_PRELOAD", ZEN_SIMDSP}, {"SIMDSP_LOG", log}};
    env.insert(env.end(), c.env.begin(), c.env.end());
    Zentaphon z(server, c.args, env);
    SaveOnFailure evidence(server);
    evidence.add("stderr", z.prog());
    if (!z.open()) {
        ADD_FAILURE() << z.prog().describe() << "\n" << z.prog().stderr_text();
        return {};
    }
    const Window soundcard = z.widget(path::soundcard);
    const Window diskfile = z.widget(path::diskfile);
    const Window run = z.widget(c.scope ? path::scope_run : path::analyser_run);
    const Window peak_search = z.widget(path::peak_search);
    const Window view = c.scope ? z.scope : z.analyser;
    if (!soundcard || !diskfile || !run || !peak_search) {
        ADD_FAILURE() << dump_tree(dpy, z.control);
        return {};
    }
    EXPECT_TRUE(wait_until([&] { return is_set(dpy, soundcard) || is_set(dpy, diskfile); }));
    const Image soundcard_idle = settled_face(dpy, soundcard);
    const Image diskfile_idle = settled_face(dpy, diskfile);

    std::string expected;
    for (int attempt = 1; attempt <= c.attempts; ++attempt) {
        expected += c.message;
        EXPECT_TRUE(click_centre(dpy, run));
        EXPECT_TRUE(z.prog().wait_stderr(expected)) << z.prog().stderr_text();
        // "Peak Search" changes state after the Run toggle's click has been
        // handled; once it shows that, the Run toggle shows its own state.
        EXPECT_TRUE(click_centre(dpy, peak_search));
        const bool peak_on = attempt % 2 == 1;
        EXPECT_TRUE(wait_until([&] { return is_set(dpy, peak_search) == peak_on; }));
        EXPECT_FALSE(is_set(dpy, run)) << "the Run toggle stays set after a failed start";
        EXPECT_TRUE(is_viewable(dpy, view));
        EXPECT_TRUE(same_image(face(dpy, soundcard), soundcard_idle));
        EXPECT_TRUE(same_image(face(dpy, diskfile), diskfile_idle));
        EXPECT_TRUE(z.prog().running()) << z.prog().describe();
        EXPECT_EQ(z.prog().stderr_text(), expected);
    }

    EXPECT_TRUE(send_delete_window(dpy, z.control));
    EXPECT_TRUE(z.prog().wait_exit()) << z.prog().describe();
    EXPECT_EQ(z.prog().exit_status(), 0) << z.prog().describe();
    EXPECT_EQ(z.prog().stderr_text(), expected);
    return read_lines(log);
}

} // namespace

TEST(RunControl, SettingsItCannotSampleWithFailTheStart)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();

    // The block length and the resolution are checked before the device is
    // opened; 32 bits pass that check but the device refuses them before
    // opening, in either source mode, and the file is not opened then.
    {
        SCOPED_TRACE("length 1000");
        auto log = try_failing_start(
            server, {{"-length", "1000"}, {}, false,
                     "error: illegal sample length (must be a 2^n)\n", 2});
        EXPECT_TRUE(log.empty()) << log.front();
    }
    {
        SCOPED_TRACE("resolution 24");
        auto log = try_failing_start(
            server, {{"-resolution", "24"}, {}, true,
                     "error: illegal sample resolution (must 16 or 32)\n", 1});
        EXPECT_TRUE(log.empty()) << log.front();
    }
    {
        SCOPED_TRACE("resolution 32, disk file");
        auto log = try_failing_start(
            server, {{"-resolution", "32", "-diskfile", "-filename", "nosuch.wav"}, {}, false,
                     "error: Illegal format (resolution)\n", 1});
        EXPECT_TRUE(log.empty()) << log.front();
    }
}

TEST(RunControl, SourcesThatCannotBeOpenedFailTheStart)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    const std::string busy = "error: Can't open /dev/dsp: Device or resource busy\n";
    {
        SCOPED_TRACE("busy device");
        auto log = try_failing_start(server, {{}, {{"SIMDSP_FAIL_OPEN", "EBUSY"}}, true, busy, 1});
        EXPECT_EQ(log, std::vector<std::string>{"open /dev/dsp flags=0x800 -> -1 errno=EBUSY"});
    }
    {
        // The device for playing is opened first; when it fails, the
        // (missing) file is never tried, so its message does not appear.
        SCOPED_TRACE("busy device, disk file");
        auto log = try_failing_start(server, {{"-diskfile", "-filename", "nosuch.wav"},
                                              {{"SIMDSP_FAIL_OPEN", "EBUSY"}}, false, busy, 1});
        EXPECT_EQ(log, std::vector<std::string>{"open /dev/dsp flags=0x801 -> -1 errno=EBUSY"});
    }
    {
        // A missing file: the device opened for playing is closed again,
        // nothing is played; a second try goes the same way.
        SCOPED_TRACE("missing file");
        auto log = try_failing_start(
            server, {{"-diskfile", "-filename", "nosuch.wav"}, {}, true,
                     "error: Can't open nosuch.wav: No such file or directory\n", 2});
        EXPECT_EQ(count_prefix(log, "open /dev/dsp flags=0x801 -> "), 2u);
        EXPECT_EQ(count_prefix(log, "open "), 2u);
        EXPECT_EQ(count_prefix(log, "write"), 0u);
        EXPECT_EQ(count_prefix(log, "read"), 0u);
        std::string fd;
        for (const std::string& l : log) {
            if (starts_with(l, "open ")) {
                EXPECT_EQ(fd, "") << "opened again before it was closed";
                fd = opened_fd(l);
            } else if (starts_with(l, "close ")) {
                EXPECT_EQ(l, "close " + fd);
                fd.clear();
            }
        }
        EXPECT_EQ(fd, "") << "the device was left open";
    }
}
