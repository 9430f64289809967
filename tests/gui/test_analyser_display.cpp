// The spectrum display of the real program, read back from its windows:
// the first picture, the bars of known signals against levels worked out
// here from the definition, the decay, a mono display of the sum, exposes
// of parts of a window and a resize.
#include "gui/test_analyser_support.h"

#include "analyser/Analyser.h"
#include "app/AppResources.h"
#include "sampler/Sampler.h"

using namespace harness;
using namespace analyser_test;

namespace {

// A left channel with a full-scale sine at component 100 (2153.3 Hz), a
// silent right channel.
StereoBlock tone100()
{
    return StereoBlock{tone_block({{100, 1.0}}), silent_block()};
}

std::vector<StereoBlock> repeat(const StereoBlock& b, int times)
{
    return std::vector<StereoBlock>(size_t(times), b);
}

// Levels of a disk-file run over these blocks, as the display keeps them.
Track run_levels(const Reference& ref, const std::vector<StereoBlock>& blocks, Mix mix, LD decay)
{
    Track t;
    const LD fall = decay / LD(blocks_per_second);
    for (size_t i = 0; i < blocks.size(); ++i)
        t.block(ref.raw_db(blocks[i], mix), i == 0, fall);
    return t;
}

}  // namespace

// One program in disk-file mode goes through three runs of files that end
// by themselves, so each final picture is known exactly: a steady tone, a
// tone that stops, then silence.
TEST(AnalyserDisplay, ShowsTheLevelsOfKnownSignalsAndTheirDecay)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    TempDir dir;
    const std::string wav = dir.file("signal.wav");
    DeviceLog log{dir.file("dsp.log")};
    const LD decay = 120;  // dB per second: 5.57 dB per block
    ASSERT_TRUE(write_file(wav, wav_bytes(repeat(tone100(), 6))));

    Program prog(server, {"-diskfile", "-filename", wav, "-xrm", "Zentaphon.decay: 120"},
                 {{"LD_PRELOAD", ZEN_SIMDSP},
                  {"SIMDSP_PACE", "fast"},
                  {"SIMDSP_LOG", log.path},
                  {"SIMDSP_PLAY_FILE", dir.file("played.raw")}});
    ASSERT_TRUE(prog.started()) << prog.error();
    SaveOnFailure evidence(server);
    evidence.add("stderr", prog);

    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    ASSERT_EQ(win.spectrum.area.size(), 2u) << dump_tree(dpy, win.analyser);
    const Window left = win.spectrum.area[0], right = win.spectrum.area[1];
    // One column per component, 250 rows each, the left channel on top.
    for (Window a : {left, right}) {
        WindowInfo i = window_info(dpy, a);
        EXPECT_EQ(i.width, num_fft);
        EXPECT_EQ(i.height, 250);
    }
    EXPECT_LT(window_info(dpy, left).root_y, window_info(dpy, right).root_y);

    Palette pal(dpy);
    Glyphs glyphs(dpy);
    ASSERT_TRUE(glyphs.ok());
    Image img;

    // Before any block: background, bars one pixel high on the bottom row,
    // the grid and every label.
    const Picture empty = paint(Scene{}, glyphs);
    for (Window a : {left, right}) {
        std::string diff = wait_picture(dpy, a, empty, pal, &img);
        evidence.add("first-expose", img);
        EXPECT_EQ(diff, "");
    }
    // The frequency lines lie at 2500 Hz steps, the dB lines at 0 to -80.
    img = capture(dpy, left);
    ASSERT_FALSE(img.empty());
    EXPECT_EQ(img.at(116, 100), pal.minor);  // 2500 Hz
    EXPECT_EQ(img.at(232, 100), pal.major);  // 5000 Hz
    EXPECT_EQ(img.at(929, 100), pal.major);  // 20000 Hz
    EXPECT_EQ(img.at(500, 23), pal.major);   // 0 dB
    EXPECT_EQ(img.at(500, 204), pal.minor);  // -80 dB
    EXPECT_EQ(img.at(500, 249), pal.bar);
    EXPECT_EQ(img.at(500, 248), pal.bg);

    const Reference ref;
    int runs = 0;

    // Run 1: six blocks of a steady tone. The left display shows every
    // component's level; the right one nothing but the bottom row.
    {
        ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
        ASSERT_TRUE(wait_run_over(dpy, log, ++runs, win.controls.analyser_run)) << log.text();
        EXPECT_EQ(log.writes(), 6);
        Track t = run_levels(ref, repeat(tone100(), 6), Mix::Left, decay);
        // The reference agrees with the figure of the design: -0.0073 dB,
        // row 23 of 250, for a sine of amplitude 2^31 - 1; the block's
        // 32767 * 65536 is 0.0003 dB lower.
        EXPECT_NEAR(double(t.level[100]), -0.0076, 0.0005);
        EXPECT_EQ(Axis{}.row(t.level[100]), 23);

        std::string diff = wait_picture(dpy, left, paint(scene_of(t, Picture::Text::Maybe), glyphs), pal, &img);
        evidence.add("steady-left", img);
        EXPECT_EQ(diff, "");
        // Row 23 is also the 0 dB line, drawn over the bar's top pixel.
        EXPECT_EQ(img.at(100, 22), pal.bg);
        EXPECT_EQ(img.at(100, 23), pal.major);
        EXPECT_EQ(img.at(100, 24), pal.bar);
        // The skirt of the window's spectrum: tens of columns show bars.
        int tall = 0;
        for (int x = 0; x < num_fft; ++x)
            tall += img.at(x, 240) == pal.bar;
        EXPECT_GT(tall, 40);

        diff = wait_picture(dpy, right, paint(scene_of(Track::silent(), Picture::Text::Maybe), glyphs), pal, &img);
        evidence.add("steady-right", img);
        EXPECT_EQ(diff, "");
    }

    // Run 2: four tone blocks, then four silent ones. Each silent block
    // lets every level fall by decay / blocks per second.
    {
        std::vector<StereoBlock> blocks = repeat(tone100(), 4);
        for (int i = 0; i < 4; ++i)
            blocks.push_back(StereoBlock{silent_block(), silent_block()});
        ASSERT_TRUE(write_file(wav, wav_bytes(blocks)));
        ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
        ASSERT_TRUE(wait_run_over(dpy, log, ++runs, win.controls.analyser_run)) << log.text();
        Track t = run_levels(ref, blocks, Mix::Left, decay);
        const LD fall = decay / LD(blocks_per_second);
        EXPECT_NEAR(double(t.level[100]), double(-0.0076L - 4 * fall), 0.0005);
        std::string diff = wait_picture(dpy, left, paint(scene_of(t, Picture::Text::Maybe), glyphs), pal, &img);
        evidence.add("decayed-left", img);
        EXPECT_EQ(diff, "");
        // 22.3 dB below the top bar: rint(249 * 32.30 / 110) = row 73.
        EXPECT_EQ(img.at(100, 72), pal.bg);
        EXPECT_EQ(img.at(100, 73), pal.bar);
    }

    // Run 3: silence. The first block of a run replaces the levels without
    // decay, so every bar is down at once.
    {
        ASSERT_TRUE(write_file(wav, wav_bytes(repeat(StereoBlock{silent_block(), silent_block()}, 2))));
        ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
        ASSERT_TRUE(wait_run_over(dpy, log, ++runs, win.controls.analyser_run)) << log.text();
        std::string diff =
            wait_picture(dpy, left, paint(scene_of(Track::silent(), Picture::Text::Maybe), glyphs), pal, &img);
        evidence.add("silent-left", img);
        EXPECT_EQ(diff, "");
    }
    EXPECT_TRUE(prog.running()) << prog.describe();
}

// Exposes repaint exactly their rectangle, also one that a shrink has left
// reaching beyond the window; a resize redraws everything at once for the
// new size, every bar rescaled to the new height.
TEST(AnalyserDisplay, RepaintsExposedRectanglesAndFollowsResizes)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    TempDir dir;
    const std::string wav = dir.file("signal.wav");
    DeviceLog log{dir.file("dsp.log")};
    const std::vector<StereoBlock> blocks = repeat(tone100(), 3);
    ASSERT_TRUE(write_file(wav, wav_bytes(blocks)));
    Program prog(server, {"-diskfile", "-filename", wav},
                 {{"LD_PRELOAD", ZEN_SIMDSP}, {"SIMDSP_PACE", "fast"}, {"SIMDSP_LOG", log.path}});
    ASSERT_TRUE(prog.started()) << prog.error();
    SaveOnFailure evidence(server);
    evidence.add("stderr", prog);

    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    ASSERT_EQ(win.spectrum.area.size(), 2u);
    const Window left = win.spectrum.area[0], right = win.spectrum.area[1];
    Palette pal(dpy);
    Glyphs glyphs(dpy);
    ASSERT_TRUE(glyphs.ok());
    Image img;

    ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
    ASSERT_TRUE(wait_run_over(dpy, log, 1, win.controls.analyser_run)) << log.text();
    const Reference ref;
    const Track tone = run_levels(ref, blocks, Mix::Left, 48);
    Scene full = scene_of(tone, Picture::Text::Exact);
    ASSERT_EQ(wait_picture(dpy, left, paint(scene_of(tone, Picture::Text::Maybe), glyphs), pal), "");

    // Paint the window over in a colour of our own, then expose a small
    // rectangle across the bar of component 100, the 2500 Hz line with its
    // label and the 0 and -20 dB lines: that rectangle, and nothing else,
    // comes back as a full draw shows it.
    GC gc = XCreateGC(dpy, left, 0, nullptr);
    XSetForeground(dpy, gc, WhitePixel(dpy, DefaultScreen(dpy)));
    unsigned long magenta = 0;
    {
        XColor c, exact;
        ASSERT_TRUE(XAllocNamedColor(dpy, DefaultColormap(dpy, DefaultScreen(dpy)), "magenta", &c, &exact));
        magenta = c.pixel;
    }
    XSetForeground(dpy, gc, magenta);
    XFillRectangle(dpy, left, gc, 0, 0, num_fft, 250);
    const Rect small{90, 0, 60, 120};
    XClearArea(dpy, left, small.x, small.y, unsigned(small.width), unsigned(small.height), True);
    XSync(dpy, False);
    Picture want(num_fft, 250, Foreign);
    want.overlay(paint(full, glyphs), small);
    std::string diff = wait_picture(dpy, left, want, pal, &img);
    evidence.add("small-expose", img);
    EXPECT_EQ(diff, "");

    // A shrink and an expose of the right-hand part at once: the program
    // takes the shell's new size first, narrows the drawing areas and
    // redraws them; the toolkit clips the expose queued before to the
    // narrower window (AnExposeBeyondTheWidth... below drives the analyser
    // with one that is not clipped).
    XResizeWindow(dpy, win.analyser, 700, 500);
    XClearArea(dpy, left, 800, 0, 225, 250, True);
    XClearArea(dpy, right, 690, 0, 335, 250, True);
    XSync(dpy, False);
    ASSERT_TRUE(wait_until([&] { return window_info(dpy, left).width == 700; })) << dump_tree(dpy, win.analyser);
    Scene narrow = full;
    narrow.axis.width = 700;
    diff = wait_picture(dpy, left, paint(narrow, glyphs), pal, &img);
    evidence.add("narrow-left", img);
    EXPECT_EQ(diff, "");
    Scene narrow_silent = scene_of(Track::silent(), Picture::Text::Exact);
    narrow_silent.axis.width = 700;
    diff = wait_picture(dpy, right, paint(narrow_silent, glyphs), pal, &img);
    evidence.add("narrow-right", img);
    EXPECT_EQ(diff, "");
    EXPECT_TRUE(prog.running()) << prog.describe() << "\n" << prog.stderr_text();

    // Wider and taller: every bar is drawn again from its level for the new
    // height, the columns share the components anew.
    XResizeWindow(dpy, win.analyser, 1300, 700);
    XSync(dpy, False);
    ASSERT_TRUE(wait_until([&] {
        WindowInfo a = window_info(dpy, left), b = window_info(dpy, right);
        return a.width == 1300 && b.width == 1300 && a.height + b.height == 700;
    })) << dump_tree(dpy, win.analyser);
    EXPECT_EQ(window_info(dpy, left).height, 350);
    Scene wide = full;
    wide.axis.width = 1300;
    wide.axis.height = window_info(dpy, left).height;
    diff = wait_picture(dpy, left, paint(wide, glyphs), pal, &img);
    evidence.add("wide-left", img);
    EXPECT_EQ(diff, "");
    // Component 100 now lies at column 127 and its bar's top at
    // rint(349 * 10.0076 / 110) = row 32, which the 0 dB line covers.
    EXPECT_EQ(img.at(127, 31), pal.bg);
    EXPECT_EQ(img.at(127, 32), pal.major);
    EXPECT_EQ(img.at(127, 33), pal.bar);
    Scene wide_silent = scene_of(Track::silent(), Picture::Text::Exact);
    wide_silent.axis.width = 1300;
    wide_silent.axis.height = window_info(dpy, right).height;
    diff = wait_picture(dpy, right, paint(wide_silent, glyphs), pal, &img);
    evidence.add("wide-right", img);
    EXPECT_EQ(diff, "");
    XFreeGC(dpy, gc);
    EXPECT_TRUE(prog.running()) << prog.describe() << "\n" << prog.stderr_text();
}

// With -mono there is one drawing area, and it shows the sum of both
// channels: two tones from the simulated device, one in each channel.
TEST(AnalyserDisplay, MonoShowsTheSumOfBothChannels)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    TempDir dir;
    DeviceLog log{dir.file("dsp.log")};
    // Components 100 and 300 of a 2048-frame block at 44100 Hz.
    Program prog(server, {"-mono"},
                 {{"LD_PRELOAD", ZEN_SIMDSP},
                  {"SIMDSP_LEFT", "sine:2153.3203125:0.4"},
                  {"SIMDSP_RIGHT", "sine:6459.9609375:0.3"},
                  {"SIMDSP_LOG", log.path}});
    ASSERT_TRUE(prog.started()) << prog.error();
    SaveOnFailure evidence(server);
    evidence.add("stderr", prog);

    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    ASSERT_EQ(win.spectrum.area.size(), 1u) << dump_tree(dpy, win.analyser);
    const Window area = win.spectrum.area[0];
    EXPECT_EQ(window_info(dpy, area).width, num_fft);
    EXPECT_EQ(window_info(dpy, area).height, 250);
    Palette pal(dpy);
    Glyphs glyphs(dpy);
    ASSERT_TRUE(glyphs.ok());

    ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
    // The device repeats the same block (whole periods of both tones), so
    // the levels stand still from the first block on.
    const StereoBlock block{tone_block({{100, 0.4}}), tone_block({{300, 0.3}})};
    Track t;
    t.block(Reference().raw_db(block, Mix::Mono), true, 0);
    // The mean of both channels: each tone at half its own level.
    EXPECT_NEAR(double(t.level[100]), 20 * std::log10(0.2), 0.01);
    EXPECT_NEAR(double(t.level[300]), 20 * std::log10(0.15), 0.01);
    Image img;
    std::string diff = wait_picture(dpy, area, paint(scene_of(t, Picture::Text::Maybe), glyphs), pal, &img);
    evidence.add("mono", img);
    EXPECT_EQ(diff, "");
    EXPECT_GT(log.reads(), 0);

    ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
    EXPECT_TRUE(wait_until([&] { return log.closes() == 1; })) << log.text();
    EXPECT_TRUE(prog.running()) << prog.describe();
}

// A range far down the scale: the dB lines lie at -999999940, -960 and
// -980 dB, whose labels do not fit nine characters. They are shown whole
// in exponent form rather than cut to a wrong number.
TEST(AnalyserDisplay, FarOffRangeShowsWholeLabels)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    Program prog(server, {"-xrm", "Zentaphon.upperdb: -999999936", "-xrm", "Zentaphon.lowerdb: -1000000000"});
    ASSERT_TRUE(prog.started()) << prog.error();
    SaveOnFailure evidence(server);
    evidence.add("stderr", prog);

    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    Palette pal(dpy);
    Glyphs glyphs(dpy);
    ASSERT_TRUE(glyphs.ok());
    Scene s;
    s.axis.upper = -999999936;
    s.axis.lower = -1000000000;
    s.level.assign(num_fft, s.axis.lower);
    // The first line: rint(249 * 4 / 64) = row 16.
    EXPECT_EQ(s.axis.row(-999999940), 16);
    Image img;
    for (Window a : win.spectrum.area) {
        std::string diff = wait_picture(dpy, a, paint(s, glyphs), pal, &img);
        evidence.add("far-range", img);
        EXPECT_EQ(diff, "");
    }
    // The label above that line reads "-1e+09".
    Picture only(num_fft, 250, Bg);
    only.text(glyphs, num_fft - 6 * glyphs.cell_width() - 2, 14, "-1e+09", Minor, Picture::Text::Exact);
    EXPECT_EQ(only.differences(img, pal, Rect{num_fft - 60, 0, 60, 15}), "");
    EXPECT_TRUE(prog.running()) << prog.describe();
}

// An expose rectangle reaching beyond the width the analyser last recorded
// (one queued before a shrink, should it ever get through unclipped) draws
// the columns that exist and skips the rest. Driven in a child process on
// a plain window of its own, so that the rectangle reaches the analyser as
// it is.
TEST(AnalyserDisplay, AnExposeBeyondTheWidthDrawsOnlyTheColumnsThatExist)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    ChildResult r = run_forked(server, [](std::string& out) {
        Display* dpy = XOpenDisplay(nullptr);
        if (!dpy) {
            out = "no display";
            return;
        }
        const int screen = DefaultScreen(dpy);
        Window w = XCreateSimpleWindow(dpy, RootWindow(dpy, screen), 0, 0, 700, 250, 0, 0, 0);
        XMapWindow(dpy, w);
        XSync(dpy, False);
        wait_viewable(dpy, w);
        auto pixel = [&](const char* name) {
            XColor c, exact;
            XAllocNamedColor(dpy, DefaultColormap(dpy, screen), name, &c, &exact);
            return c.pixel;
        };
        sampler.rate = sample_rate;
        sampler.length = block_frames;
        sampler.blocks_per_second = blocks_per_second;
        sampler.count = 0;
        app_resources.upperdb = 10;
        app_resources.lowerdb = -100;
        app_resources.backgroundcolor = pixel("gray20");
        app_resources.datacolor = pixel("firebrick1");
        app_resources.majorgridcolor = pixel("gray60");
        app_resources.minorgridcolor = pixel("gray40");
        app_resources.markercolor = pixel("yellow");
        app_resources.gridfont = XLoadQueryFont(dpy, "fixed");
        Analyser& a = analysers[0];
        a.set_alpha(20);
        if (!a.init(dpy, w) || a.width != 700) {
            out = "init failed";
            return;
        }
        GC gc = XCreateGC(dpy, w, 0, nullptr);
        XSetForeground(dpy, gc, pixel("magenta"));
        XFillRectangle(dpy, w, gc, 0, 0, 700, 250);
        a.draw(XRectangle{690, 0, 335, 250}, true);
        a.draw(XRectangle{800, 0, 225, 250}, true);
        XSync(dpy, False);

        Palette pal(dpy);
        Glyphs glyphs(dpy);
        Scene s;
        s.axis.width = 700;
        Picture want(700, 250, Foreign);
        want.overlay(paint(s, glyphs), Rect{690, 0, 10, 250});
        Image img = capture(dpy, w);
        std::string diff = want.differences(img, pal);
        out = diff.empty() ? "same" : diff;
    });
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.term_signal, 0) << r.err;
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.output, "same") << r.err;
}
