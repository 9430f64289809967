// The analyser window in the running program: closing it as a window
// manager does stops the view (and the sampling, unless the scope runs),
// setting Run again shows it with its old contents, and while it is fully
// covered or iconified the analysers go on computing but draw nothing,
// which the program's own X requests show (RECORD).
#include "gui/program_on_file.h"

using namespace harness;
using namespace analyser_test;

namespace {

// The simulated device records a full-scale sine at component 100 on the
// left and silence on the right, in real time.
Env tone_device(const DeviceLog& log)
{
    return {{"LD_PRELOAD", ZEN_SIMDSP},
            {"SIMDSP_LEFT", "sine:2153.3203125:1.0"},
            {"SIMDSP_RIGHT", "silence"},
            {"SIMDSP_LOG", log.path}};
}

// What the two displays show while that tone runs: every block is the
// same (whole periods), so the levels are those of one block.
Scene tone_scene(Picture::Text labels)
{
    Track t;
    t.block(Reference().raw_db(StereoBlock{tone_block({{100, 1.0}}), silent_block()}, Mix::Left), true, 0);
    return scene_of(t, labels);
}

Scene silent_scene(Picture::Text labels)
{
    Scene s;
    s.labels = labels;
    return s;
}

}  // namespace

TEST(AnalyserWindow, ClosingStopsTheViewAndRunShowsItAgain)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    TempDir dir;
    DeviceLog log{dir.file("dsp.log")};
    const std::string missing = dir.file("missing.wav");
    Program prog(server, {"-filename", missing}, tone_device(log));
    ASSERT_TRUE(prog.started()) << prog.error();
    SaveOnFailure evidence(server);
    evidence.add("stderr", prog);

    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    ASSERT_EQ(win.spectrum.area.size(), 2u);
    const Window left = win.spectrum.area[0], right = win.spectrum.area[1];
    const Controls& c = win.controls;
    Palette pal(dpy);
    Glyphs glyphs(dpy);
    ASSERT_TRUE(glyphs.ok());
    const Picture tone = paint(tone_scene(Picture::Text::Maybe), glyphs);
    const Picture silent = paint(silent_scene(Picture::Text::Maybe), glyphs);
    Image img;

    ASSERT_TRUE(click_centre(dpy, c.analyser_run));
    EXPECT_EQ(wait_picture(dpy, left, tone, pal, &img), "");
    evidence.add("running", img);
    EXPECT_EQ(wait_picture(dpy, right, silent, pal), "");
    EXPECT_TRUE(is_set(dpy, c.analyser_run));

    // Closed as a window manager closes it: the window goes, its Run
    // toggle is unset and, with the scope idle, the device is closed.
    ASSERT_TRUE(send_delete_window(dpy, win.analyser));
    EXPECT_TRUE(wait_unviewable(dpy, win.analyser));
    EXPECT_TRUE(wait_until([&] { return log.closes() == 1; })) << log.text();
    EXPECT_TRUE(wait_until([&] { return !is_set(dpy, c.analyser_run); }));

    // Run again, with a source that cannot be opened: the window comes back
    // with what it showed when it was closed, drawn afresh by its exposes,
    // while the toggle springs back and nothing is sampled.
    ASSERT_TRUE(click_centre(dpy, c.diskfile));
    ASSERT_TRUE(wait_until([&] { return is_set(dpy, c.diskfile); }));
    const int reads = log.reads();
    ASSERT_TRUE(click_centre(dpy, c.analyser_run));
    ASSERT_TRUE(wait_viewable(dpy, win.analyser));
    EXPECT_TRUE(prog.wait_stderr("error: Can't open " + missing + ": No such file or directory\n"))
        << prog.stderr_text();
    EXPECT_TRUE(wait_until([&] { return log.closes() == 2; })) << log.text();
    EXPECT_TRUE(wait_until([&] { return !is_set(dpy, c.analyser_run); }));
    // Shown where it was, clear of the control window.
    EXPECT_EQ(window_info(dpy, win.analyser).root_y, analyser_y);
    EXPECT_EQ(wait_picture(dpy, left, paint(tone_scene(Picture::Text::Exact), glyphs), pal, &img), "");
    evidence.add("shown-again", img);
    EXPECT_EQ(wait_picture(dpy, right, paint(silent_scene(Picture::Text::Exact), glyphs), pal), "");
    EXPECT_EQ(log.reads(), reads);

    // With the scope running, closing the analyser leaves the sampling on.
    ASSERT_TRUE(click_centre(dpy, c.soundcard));
    ASSERT_TRUE(wait_until([&] { return is_set(dpy, c.soundcard); }));
    ASSERT_TRUE(click_centre(dpy, c.scope_run));
    ASSERT_TRUE(wait_until([&] { return is_set(dpy, c.scope_run); }));
    ASSERT_TRUE(click_centre(dpy, c.analyser_run));
    EXPECT_TRUE(wait_until([&] { return is_set(dpy, c.analyser_run); }));
    EXPECT_EQ(wait_picture(dpy, left, tone, pal), "");
    ASSERT_TRUE(send_delete_window(dpy, win.analyser));
    EXPECT_TRUE(wait_unviewable(dpy, win.analyser));
    EXPECT_TRUE(wait_until([&] { return !is_set(dpy, c.analyser_run); }));
    const int later = log.reads();
    EXPECT_TRUE(wait_until([&] { return log.reads() >= later + 3; })) << log.text();
    EXPECT_TRUE(is_set(dpy, c.scope_run));
    EXPECT_EQ(log.closes(), 2);

    // The scope's Run off: nothing runs, the device is closed.
    ASSERT_TRUE(click_centre(dpy, c.scope_run));
    EXPECT_TRUE(wait_until([&] { return log.closes() == 3; })) << log.text();
    EXPECT_TRUE(prog.running()) << prog.describe();
}

TEST(AnalyserWindow, DrawsNothingWhileCoveredOrIconified)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    TempDir dir;
    DeviceLog log{dir.file("dsp.log")};
    Program prog(server, {}, tone_device(log));
    ASSERT_TRUE(prog.started()) << prog.error();
    SaveOnFailure evidence(server);
    evidence.add("stderr", prog);

    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    ASSERT_EQ(win.spectrum.area.size(), 2u);
    const Window area[2] = {win.spectrum.area[0], win.spectrum.area[1]};
    Palette pal(dpy);
    Glyphs glyphs(dpy);
    ASSERT_TRUE(glyphs.ok());
    Image img;
    ASSERT_EQ(wait_picture(dpy, area[0], paint(silent_scene(Picture::Text::Exact), glyphs), pal), "");

    // Record the program's requests and the visibility and map events it
    // is sent. An expose of one pixel of each area makes each analyser
    // draw once, which tells the graphics context it draws with.
    Recorder rec(server.name(), win.analyser, {VisibilityNotify, UnmapNotify});
    ASSERT_TRUE(rec.ok());
    for (Window a : area)
        XClearArea(dpy, a, 0, 0, 1, 1, True);
    XSync(dpy, False);
    uint32_t gc[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        long at = rec.wait_for([&](const Recorder::Item& it) {
            return it.request && (it.code == X_PolySegment || it.code == X_PolyFillRectangle) && it.a == area[i];
        });
        ASSERT_GE(at, 0) << "no drawing into Display" << i;
        gc[i] = rec.items()[size_t(at)].b;
    }
    // Drawing calls of an analyser after item `from`: each begins by
    // setting its clip rectangle.
    auto draws_after = [&](size_t from, int i) {
        const std::vector<Recorder::Item> items = rec.items();
        int n = 0;
        for (size_t k = from; k < items.size(); ++k)
            n += items[k].request && items[k].code == X_SetClipRectangles && items[k].a == gc[i];
        return n;
    };

    // Running and visible, then fully covered: after the event that tells
    // the program so, at most the block it was reading then is drawn, and
    // perhaps the next, should the event still be on its way through the
    // server's output when the program looks for events between blocks;
    // drawing on while covered would show eight. (Covering it before the
    // run would not do: setting Run raises the window.)
    ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
    EXPECT_EQ(wait_picture(dpy, area[0], paint(tone_scene(Picture::Text::Maybe), glyphs), pal), "");
    {
        Cover cover(dpy, win.analyser);
        ASSERT_TRUE(cover.ok());
        long obscured = rec.wait_for([&](const Recorder::Item& it) {
            return !it.request && it.code == VisibilityNotify && it.a == win.analyser &&
                   it.detail == VisibilityFullyObscured;
        });
        ASSERT_GE(obscured, 0) << "the program was not told that its window is covered";
        const int reads = log.reads();
        EXPECT_TRUE(wait_until([&] { return log.reads() >= reads + 8; })) << log.text();
        rec.wait_for([](const Recorder::Item&) { return false; }, 0.2);
        for (int i = 0; i < 2; ++i)
            EXPECT_LE(draws_after(size_t(obscured), i), 2) << "Display" << i << " drawn while covered";
        // Peak search switched on meanwhile: the change shows once the
        // window is visible again.
        ASSERT_TRUE(click_centre(dpy, win.controls.peak_search));
        ASSERT_TRUE(wait_until([&] { return is_set(dpy, win.controls.peak_search); }));
    }
    // Uncovered, the exposes bring both areas up to date: markers at the
    // edges and the held peak's label, "2161" (component 100) on the left;
    // on the silent right no level rises above the floor, so the label
    // keeps the frequency it started with, 0 Hz, at the bottom.
    Scene left_scene = tone_scene(Picture::Text::Exact);
    Scene right_scene = silent_scene(Picture::Text::Exact);
    for (Scene* s : {&left_scene, &right_scene}) {
        s->markers = true;
        s->marker[0] = 0;
        s->marker[1] = num_fft - 1;
        Peak p;
        p.search(*s);
        p.label(*s, glyphs);
    }
    EXPECT_EQ(left_scene.label, "2161");
    EXPECT_EQ(right_scene.label, "0");
    std::string diff = wait_picture(dpy, area[0], paint(left_scene, glyphs), pal, &img);
    evidence.add("uncovered", img);
    EXPECT_EQ(diff, "");
    EXPECT_EQ(wait_picture(dpy, area[1], paint(right_scene, glyphs), pal, &img), "");
    evidence.add("uncovered-right", img);

    // Visible, every block is drawn: count the drawing calls over a few
    // blocks, then iconify. After the unmap event at most the block that
    // was being read then (and perhaps the next, as above) is still drawn.
    size_t start = rec.items().size();
    int reads = log.reads();
    ASSERT_TRUE(wait_until([&] { return log.reads() >= reads + 4; }));
    rec.wait_for([](const Recorder::Item&) { return false; }, 0.2);
    EXPECT_GE(draws_after(start, 0), 3) << "visible, the analyser draws after each block";
    EXPECT_GE(draws_after(start, 1), 3);
    ASSERT_TRUE(iconify(dpy, win.analyser));
    long unmapped = rec.wait_for([&](const Recorder::Item& it) {
        return !it.request && it.code == UnmapNotify && it.a == win.analyser;
    });
    ASSERT_GE(unmapped, 0) << "the program was not told that its window is unmapped";
    reads = log.reads();
    EXPECT_TRUE(wait_until([&] { return log.reads() >= reads + 8; })) << log.text();
    rec.stop();
    for (int i = 0; i < 2; ++i)
        EXPECT_LE(draws_after(size_t(unmapped), i), 2) << "Display" << i << " drawn while iconified";

    ASSERT_TRUE(deiconify(dpy, win.analyser));
    ASSERT_TRUE(wait_viewable(dpy, win.analyser));
    EXPECT_EQ(wait_picture(dpy, area[0], paint(left_scene, glyphs), pal), "");
    EXPECT_EQ(wait_picture(dpy, area[1], paint(right_scene, glyphs), pal), "");
    EXPECT_TRUE(prog.running()) << prog.describe();
}

// In dBFS mode at 16384 frames the analyser starts as wide as the 1600-pixel
// screen, not 8193 pixels: a tone on component 5400 (14534.9 Hz) stands at
// its place on the axis from 0 Hz at the first column to 22050 Hz at the
// last, at its level, and the 20 kHz grid line is on the screen. The
// default mode keeps a column per component (2049 at 4096 frames), and
// analyserWidth sets the width in either mode.
class AnalyserStartWidth : public ProgramOnFile {};

TEST_F(AnalyserStartWidth, DbfsStartsWithinTheScreenAndAnalyserWidthSetsIt)
{
    const int n = 16384, k = 5400, screen = DisplayWidth(dpy, DefaultScreen(dpy));
    const LD f = LD(k) * sample_rate / n, pi = std::acos(LD(-1));
    std::vector<StereoBlock> blocks(3 * n / block_frames, StereoBlock{silent_block(), silent_block()});
    for (int i = 0; i < 3 * n; ++i)   // on both channels: their mean in mono
        blocks[size_t(i / block_frames)].left[size_t(i % block_frames)] =
            blocks[size_t(i / block_frames)].right[size_t(i % block_frames)] =
                int16_t(std::lrint(16383.5L * std::sin(2 * pi * f * i / sample_rate)));
    ASSERT_TRUE(write_file(file(), wav_bytes(blocks)));
    ASSERT_NO_FATAL_FAILURE(launch({"-mono", "-length", "16384", "-xrm", "Zentaphon.dbfs: True"}));
    EXPECT_EQ(window_info(dpy, win.spectrum.area[0]).width, screen);
    EXPECT_LE(window_info(dpy, win.analyser).width, screen);
    ASSERT_TRUE(place_window(dpy, win.analyser, 0, analyser_y));
    ASSERT_NO_FATAL_FAILURE(play_file());

    const Image img = capture(dpy, win.spectrum.area[0]);
    evidence->add("dbfs", img);
    ASSERT_EQ(img.width(), screen);
    const Palette pal(dpy);
    auto top_of = [&](int x) {
        int y = 0;
        while (y < img.height() && img.at(x, y) != pal.bar)
            ++y;
        return y;
    };
    int tallest = 0;
    for (int x = 1; x < img.width(); ++x)
        tallest = top_of(x) < top_of(tallest) ? x : tallest;
    EXPECT_NEAR(tallest, double((screen - 1) * f / (sample_rate / 2)), 1);
    EXPECT_NEAR(top_of(tallest), Axis{}.row(20 * std::log10(0.5L)), 1);
    const int grid = int(std::lround((screen - 1) * 20000.0L / (sample_rate / 2)));
    EXPECT_TRUE(img.at(grid - 1, 100) == pal.major || img.at(grid, 100) == pal.major || img.at(grid + 1, 100) == pal.major);
    prog->kill();

    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{"-length", "4096"}, 2049},
        {{"-length", "4096", "-xrm", "Zentaphon.analyserWidth: 700"}, 700},
        {{"-mono", "-length", "16384", "-xrm", "Zentaphon.dbfs: True", "-xrm", "Zentaphon.analyserWidth: 1900"}, 1900},
    };
    for (const auto& [args, width] : cases) {
        ASSERT_NO_FATAL_FAILURE(launch(args));
        EXPECT_EQ(window_info(dpy, win.spectrum.area[0]).width, width) << args.back();
        EXPECT_EQ(prog->stderr_text(), "");
        prog->kill();
    }
}
