// What a new user reads: advice after the failures that are usually a slip
// of the command line, and an error dialog that stays usable however many
// lines arrive.
#include "gui/test_analyser_support.h"

using namespace harness;
using namespace analyser_test;

// Each start says what is wrong and adds its line of advice once: a device
// name of no known form, a WAV file of another format, a file played at
// another rate, a PULSE_SERVER where no server runs.
TEST(UserMessages, HintsFollowTheirFailureOnce)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    TempDir dir;
    const std::string mono = dir.file("mono.wav"), good = dir.file("good.wav"), none = "unix:" + dir.file("none");
    // A canonical header for 1 channel at 22050 Hz, 16 bits, and 4 frames.
    std::string header = "RIFF" + std::string("\x2c\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x22\x56\0\0\x44\xac\0\0\x02\0\x10\0data\x08\0\0\0", 40);
    ASSERT_TRUE(write_file(mono, header + std::string(8, '\0')));
    ASSERT_TRUE(write_file(good, wav_bytes(std::vector<StereoBlock>(4, {silent_block(), silent_block()}))));
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-device", "bogus"},
         "error: Unknown name for pcm interface\nhint: -device takes default, /dev/dsp (or another OSS device "
         "/dev/...), pulse, pulse:SOURCE, alsa:NAME or demo\n"},
        {{"-device", "demo", "-diskfile", "-file", mono},
         "error: Male formed header\nhint: " + mono + " holds 1 channel at 22050 Hz with 16 bits; it must be 2 "
         "channels at 44100 Hz with 16 bits, as made by: sox in.wav -r 44100 -c 2 -b 16 out.wav\n"},
        {{"-device", "demo", "-diskfile", "-file", good, "-rate", "48000"},
         "warning: the file is at 44100 Hz and plays at 48000 Hz: it will sound at the wrong speed and pitch "
         "(-rate 44100 plays it right)\n"},
        {{"-device", "pulse"},
         "error: Can't open pulse: no sound server answers at PULSE_SERVER=\"" + none + "\" (Connection refused)\n"},
    };
    for (const auto& [args, expected] : cases) {
        Program prog(server, args, {{"PULSE_SERVER", none}});
        ASSERT_TRUE(prog.started()) << prog.error();
        Windows win = open_windows(server.display());
        ASSERT_TRUE(win.ok()) << dump_tree(server.display(), server.root());
        for (int run = 1; run <= 2; ++run) {
            ASSERT_TRUE(click_centre(server.display(), win.controls.analyser_run));
            ASSERT_TRUE(wait_until([&] { return count_of(prog.stderr_text(), expected) == run; })) << prog.stderr_text();
            ASSERT_TRUE(wait_until([&] { return !is_set(server.display(), win.controls.analyser_run); }));
        }
        if (args[1] == "demo" && args.back() == "48000")   // the played file's report comes first
            EXPECT_EQ(count_of(prog.stderr_text(), "warning:"), 2) << prog.stderr_text();
        else
            EXPECT_EQ(prog.stderr_text(), expected + expected);
    }
}

// Six hundred failed starts, each an "error: " line: the dialog keeps to a
// 1024-pixel screen and its OK button, in the middle at its foot, takes it
// down.
TEST(UserMessages, ErrorDialogFitsTheScreenAfterAFlood)
{
    XServer server(1280, 1024);
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    Program prog(server, {"-device", "bogus", "-xrm", "Zentaphon.errorDialog: True"});
    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok() && click_centre(dpy, win.controls.analyser_run)) << dump_tree(dpy, server.root());
    const Window dialog = wait_for_window(dpy, "Zentaphon: Error");
    ASSERT_TRUE(dialog && place_window(dpy, dialog, 400, 0));
    for (int i = 2; i <= 600; ++i) {
        ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
        ASSERT_TRUE(i % 50 || wait_until([&] { return count_of(prog.stderr_text(), "error:") == i; }));
    }
    ASSERT_TRUE(wait_until([&] { return count_of(prog.stderr_text(), "error:") == 600; })) << prog.stderr_text();
    usleep(500000);
    XSync(dpy, False);
    const WindowInfo info = window_info(dpy, dialog);
    EXPECT_TRUE(info.y >= 0 && info.height > 100 && info.y + info.height <= 1024) << info.y << " " << info.height;
    ASSERT_TRUE(click(dpy, dialog, info.width / 2, info.height - 25));
    EXPECT_TRUE(wait_until([&] { return !is_viewable(dpy, dialog); }));
    EXPECT_TRUE(prog.running());
}
