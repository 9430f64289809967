// What a new user reads: advice after the failures that are usually a slip
// of the command line, and an error dialog that stays usable however many
// lines arrive.
#include "gui/test_analyser_support.h"

#include <sys/stat.h>

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
         "channels at 44100 Hz with 16 bits, as made by: sox in.wav -r 44100 -c 2 -b 16 out.wav, or -resolution 32\n"},
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

// Every glyph pixel of text in rgb, somewhere in img.
static bool shows_line(const Image& img, Glyphs& g, const std::string& text, uint32_t rgb)
{
    const auto& px = g.pixels(text);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (std::all_of(px.begin(), px.end(), [&](auto p) {
                    const int u = x + p.first, v = y + p.second;
                    return u >= 0 && v >= 0 && u < img.width() && v < img.height() && img.at(u, v) == rgb;
                }))
                return !px.empty();
    return false;
}

// Start-up's lines, in the error dialog too: a saved line that is no setting
// quoted in 80 bytes, control bytes escaped; the program's own line for a
// Boolean that is none and for alpha beyond its scale (and no warning of
// the scale's); a saved file that cannot be read. A block length too short
// adds its hint at each start.
TEST(UserMessages, StartUpLinesAreShortPlainAndInTheDialog)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    Glyphs glyphs(dpy);
    TempDir dir;
    ASSERT_TRUE(mkdir(dir.file("c").c_str(), 0700) == 0 && mkdir(dir.file("c/zentaphon").c_str(), 0700) == 0);
    ASSERT_TRUE(dir.write("c/zentaphon/Zentaphon", "Zentaphon.zoom: 12\nZentaphon.bad: \x1b[2J\a" + std::string(5 << 20, 'x')));
    ASSERT_TRUE(dir.write("d", ""));   // a file where a directory should be
    const std::string boolean = "error: resource dbfs: \"maybe\" is not a Boolean, using False",
                      alpha = "error: alpha -7 is not between 0 and 50, using 20",
                      unreadable = "error: cannot read the saved settings d/zentaphon/Zentaphon: Not a directory";
    const uint32_t ink = colour(dpy, "yellow");
    for (const std::string config : {"c", "d"}) {
        std::vector<std::string> args = {"-length", "64", "-xrm", "Zentaphon.errorDialog: True"};
        if (config == "c")
            args.insert(args.end(), {"-xrm", "Zentaphon.alpha: -7", "-xrm", "Zentaphon.dbfs: maybe"});
        Program prog(server, args, {{"XDG_CONFIG_HOME", config}}, Launch{"", "", dir.path()});
        Windows win = open_windows(dpy);
        const Window dialog = wait_for_window(dpy, "Zentaphon: Error");
        ASSERT_TRUE(win.ok() && dialog && place_window(dpy, dialog, 0, 760)) << dump_tree(dpy, server.root());
        const std::string err = prog.stderr_text();
        Image img;
        if (config == "d") {
            EXPECT_EQ(err, unreadable + "\n");
            EXPECT_TRUE(wait_until([&] { return shows_line(img = capture(dpy, dialog), glyphs, unreadable, ink); }));
            break;
        }
        EXPECT_EQ(err.find("error: c/zentaphon/Zentaphon line 2: \"Zentaphon.bad: \\x1b[2J\\x07" + std::string(60, 'x') +
                           "...\" is no saved setting, skipped\n"), 0u) << err;
        EXPECT_NE(err.find(boolean + "\n" + alpha + "\n"), std::string::npos) << err;
        EXPECT_TRUE(count_of(err, "error: ") == 3 && count_of(err, "Warning: ") == 1) << err;   // the toolkit's about "maybe"
        EXPECT_TRUE(wait_until([&] { return shows_line(img = capture(dpy, dialog), glyphs, boolean, ink); }));
        for (int run = 1; run <= 2; ++run) {
            ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
            EXPECT_TRUE(wait_until([&] {
                return count_of(prog.stderr_text(), "error: illegal sample length (must be a 2^n)\n"
                                                    "hint: the block length is a power of two from 128 to 65536\n") == run;
            })) << prog.stderr_text();
        }
    }
}
