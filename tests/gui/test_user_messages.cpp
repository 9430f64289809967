// What a new user reads: a line of advice after the failures that are
// usually a mistake of the command line, and an error dialog that stays
// usable however many lines arrive.
#include "gui/test_analyser_support.h"

#include <X11/keysym.h>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>

using namespace harness;
using namespace analyser_test;

namespace {

int count_of(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// A canonical WAV file of frames of silence in the given format.
std::string wav_of(int channels, int rate, int bits, int frames)
{
    const uint32_t data = uint32_t(frames * channels * bits / 8);
    std::string s = "RIFF";
    put_le(s, 36 + data, 4);
    s += "WAVEfmt ";
    put_le(s, 16, 4);
    put_le(s, 1, 2);
    put_le(s, uint32_t(channels), 2);
    put_le(s, uint32_t(rate), 4);
    put_le(s, uint32_t(rate * channels * bits / 8), 4);
    put_le(s, uint32_t(channels * bits / 8), 2);
    put_le(s, uint32_t(bits), 2);
    s += "data";
    put_le(s, data, 4);
    return s + std::string(data, '\0');
}

}  // namespace

// A device name of no known form, a WAV file of another format, a file
// played at another rate: each start says what is wrong and adds one line
// of advice, once per start. A PULSE_SERVER where no server runs is named.
TEST(UserMessages, HintsFollowTheirFailureOnce)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    TempDir dir;
    const std::string mono = dir.file("mono.wav"), good = dir.file("good.wav");
    ASSERT_TRUE(write_file(mono, wav_of(1, 22050, 16, 22050)));
    ASSERT_TRUE(write_file(good, wav_of(2, 44100, 16, 4 * 2048)));
    const std::string sox = "; it must be 2 channels at 44100 Hz with 16 bits, as made by: "
                            "sox in.wav -r 44100 -c 2 -b 16 out.wav\n";
    struct Case {
        std::vector<std::string> args;
        std::string expected;   // the whole standard error after one Run, or what it holds
        bool whole;
        Env env;
    } cases[] = {
        {{"-device", "bogus"},
         "error: Unknown name for pcm interface\nhint: -device takes default, /dev/dsp (or another OSS device "
         "/dev/...), pulse, pulse:SOURCE, alsa:NAME or demo\n",
         true, {}},
        {{"-device", "demo", "-diskfile", "-filename", mono},
         "error: Male formed header\nhint: " + mono + " holds 1 channel at 22050 Hz with 16 bits" + sox, true, {}},
        {{"-device", "demo", "-diskfile", "-filename", good, "-rate", "48000"},
         "warning: the file is at 44100 Hz and plays at 48000 Hz: it will sound at the wrong speed and pitch "
         "(-rate 44100 plays it right)\n",
         false, {}},
        {{"-device", "pulse"},
         "error: Can't open pulse: no sound server answers at PULSE_SERVER=\"unix:" + dir.file("none") +
             "\" (Connection refused)\n",
         true,
         {{"PULSE_SERVER", "unix:" + dir.file("none")}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args.back());
        Program prog(server, c.args, c.env);
        ASSERT_TRUE(prog.started()) << prog.error();
        Windows win = open_windows(dpy);
        ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
        for (int run = 1; run <= 2; ++run) {
            ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
            ASSERT_TRUE(wait_until([&] { return count_of(prog.stderr_text(), c.expected) == run; }))
                << prog.stderr_text();
            ASSERT_TRUE(wait_until([&] { return !is_set(dpy, win.controls.analyser_run); }));
        }
        if (c.whole)
            EXPECT_EQ(prog.stderr_text(), c.expected + c.expected);
        else
            EXPECT_EQ(count_of(prog.stderr_text(), "warning:"), 2) << prog.stderr_text();
        prog.kill();
    }
}

// Six hundred failed starts, each an "error: " line: the dialog keeps to a
// 1024-pixel screen and its OK button takes it down.
TEST(UserMessages, ErrorDialogFitsTheScreenAfterAFlood)
{
    XServer server(1280, 1024);
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    Program prog(server, {"-device", "bogus", "-xrm", "Zentaphon.errorDialog: True"});
    ASSERT_TRUE(prog.started()) << prog.error();
    SaveOnFailure evidence(server);
    evidence.add("stderr", prog);
    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
    const Window dialog = wait_for_window(dpy, "Zentaphon: Error");
    ASSERT_NE(dialog, 0u) << dump_tree(dpy, server.root());
    ASSERT_TRUE(place_window(dpy, dialog, 400, 0));
    for (int i = 1; i < 600; ++i) {
        ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
        if (i % 50 == 0) {
            ASSERT_TRUE(wait_until([&] { return count_of(prog.stderr_text(), "error:") == i + 1; }));
        }
    }
    ASSERT_TRUE(wait_until([&] { return count_of(prog.stderr_text(), "error:") == 600; })) << prog.stderr_text();
    for (int i = 0; i < 20; ++i) {
        XSync(dpy, False);
        usleep(50000);
    }
    const WindowInfo info = window_info(dpy, dialog);
    EXPECT_GT(info.height, 100);
    EXPECT_LE(info.y + info.height, 1024) << info.y << " + " << info.height;
    EXPECT_GE(info.y, 0);

    // OK, the only push button, is at the bottom of the dialog, in the
    // middle.
    Image img = capture(dpy, dialog);
    evidence.add("dialog", img);
    ASSERT_TRUE(click(dpy, dialog, info.width / 2, info.height - 25));
    EXPECT_TRUE(wait_until([&] { return !is_viewable(dpy, dialog); }));
    EXPECT_TRUE(prog.running());
}

// A FIFO whose writer pauses ends the run within the deadline, with a line
// that says so rather than ending as the file's end would.
TEST(UserMessages, AFifoWhoseWriterPausesEndsTheRunWithALine)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    TempDir dir;
    const std::string fifo = dir.file("pipe.cdr");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Program prog(server, {"-device", "demo", "-diskfile", "-filename", fifo});
    ASSERT_TRUE(prog.started()) << prog.error();
    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
    int fd = -1;
    ASSERT_TRUE(wait_until([&] { return (fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }));
    const std::string blocks(3 * 2048 * 4, '\x11');
    ASSERT_EQ(write(fd, blocks.data(), blocks.size()), ssize_t(blocks.size()));
    ASSERT_TRUE(prog.wait_stderr("driver: demo"));
    const auto paused = std::chrono::steady_clock::now();
    EXPECT_TRUE(wait_until([&] { return !is_set(dpy, win.controls.analyser_run); }, 10));
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - paused).count();
    EXPECT_GT(took, 2.0);
    EXPECT_LT(took, 4.0);
    close(fd);
    const std::string err = prog.stderr_text();
    EXPECT_EQ(err.substr(err.find("error:")), "error: Can't read " + fifo + ": nothing arrived for 2546 ms\n") << err;
}
