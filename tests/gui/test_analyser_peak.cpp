// Peak search in the real program: the "Peak Search" toggle, the two
// markers that button 1 moves in both displays, the label of the highest
// peak between them, and markers that keep their frequencies through a
// resize. Everything happens after a disk-file run has ended, so the
// levels stand still and each picture is known exactly.
#include "gui/test_analyser_support.h"

using namespace harness;
using namespace analyser_test;

namespace {

// What one drawing area shows, followed step by step as the user acts.
struct Area {
    Window window = 0;
    Scene scene;
    Peak peak;
    Glyphs* glyphs = nullptr;

    void peak_search(bool on)
    {
        // The markers keep their places while peak search is off.
        if (on) {
            scene.markers = true;
            peak.search(scene);
            peak.label(scene, *glyphs);
        } else {
            scene.markers = false;
            if (scene.peak_label)
                scene.erased.push_back(Scene::Old{scene.label, scene.label_x, scene.label_y});
            scene.peak_label = false;
        }
    }
    // Button 1 at column x: the nearer marker goes there (a tie moves the
    // first), the peak is searched afresh between the markers.
    void press(int x)
    {
        if (!scene.markers)
            return;
        const int nx = std::max(0, std::min(scene.axis.width - 1, x));
        const int d0 = std::abs(scene.marker[0] - nx), d1 = std::abs(scene.marker[1] - nx);
        scene.marker[d0 > d1 ? 1 : 0] = nx;
        peak.search(scene);
        peak.label(scene, *glyphs);
    }
    // The harness's drag: a press, then `steps` evenly spaced motions.
    void drag(int x0, int x1, int steps)
    {
        press(x0);
        for (int i = 1; i <= steps; ++i)
            press(x0 + (x1 - x0) * i / steps);
    }
    // A new size: the markers keep their components' frequencies, and a
    // full draw leaves no trace of earlier labels.
    void resize(int width, int height)
    {
        const Axis old = scene.axis;
        LD f[2];
        for (int i = 0; i < 2; ++i)
            f[i] = old.fc2f(old.sx2fc(scene.marker[i]));
        scene.axis.width = width;
        scene.axis.height = height;
        for (int i = 0; i < 2; ++i)
            scene.marker[i] = scene.axis.fc2sx(scene.axis.f2fc(f[i]));
        scene.erased.clear();
        scene.labels = Picture::Text::Exact;
        if (scene.peak_label) {
            scene.peak_label = false;
            peak.label(scene, *glyphs);
        }
    }
};

}  // namespace

TEST(AnalyserPeak, MarkersFollowButtonOneAndTheLabelNamesTheHighestPeak)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    TempDir dir;
    const std::string wav = dir.file("tones.wav");
    DeviceLog log{dir.file("dsp.log")};
    // Left: components 116 (2506 Hz) and 700, right: 300 and 900; the
    // first of each pair the higher.
    const StereoBlock block{tone_block({{116, 0.6}, {700, 0.3}}), tone_block({{300, 0.6}, {900, 0.3}})};
    ASSERT_TRUE(write_file(wav, wav_bytes(std::vector<StereoBlock>(3, block))));
    Program prog(server, {"-diskfile", "-filename", wav},
                 {{"LD_PRELOAD", ZEN_SIMDSP}, {"SIMDSP_PACE", "fast"}, {"SIMDSP_LOG", log.path}});
    ASSERT_TRUE(prog.started()) << prog.error();
    SaveOnFailure evidence(server);
    evidence.add("stderr", prog);

    Windows win = open_windows(dpy);
    ASSERT_TRUE(win.ok()) << dump_tree(dpy, server.root());
    ASSERT_EQ(win.spectrum.area.size(), 2u);
    Palette pal(dpy);
    Glyphs glyphs(dpy);
    ASSERT_TRUE(glyphs.ok());

    ASSERT_TRUE(click_centre(dpy, win.controls.analyser_run));
    ASSERT_TRUE(wait_run_over(dpy, log, 1, win.controls.analyser_run)) << log.text();

    const Reference ref;
    Area areas[2];
    const Mix mixes[2] = {Mix::Left, Mix::Right};
    for (int i = 0; i < 2; ++i) {
        Area& a = areas[i];
        a.window = win.spectrum.area[size_t(i)];
        a.glyphs = &glyphs;
        Track t;
        for (int b = 0; b < 3; ++b)
            t.block(ref.raw_db(block, mixes[i]), b == 0, 48 / LD(blocks_per_second));
        a.scene.level = t.level;
        a.scene.labels = Picture::Text::Maybe;
        a.scene.marker[0] = 0;  // where the first expose puts them
        a.scene.marker[1] = num_fft - 1;
    }
    const Window d0 = areas[0].window, d1 = areas[1].window;

    auto check = [&](const char* step) {
        for (int i = 0; i < 2; ++i) {
            Image img;
            std::string diff = wait_picture(dpy, areas[i].window, paint(areas[i].scene, glyphs), pal, &img);
            evidence.add(std::string(step) + "-display" + std::to_string(i), img);
            EXPECT_EQ(diff, "") << "step " << step << ", Display" << i;
        }
    };
    check("before");
    for (const Area& a : areas)
        EXPECT_FALSE(capture(dpy, a.window).contains(pal.marker));

    // On: markers at both edges, the label of the highest peak centred
    // above it; component 116 of 1025 is labelled "2506".
    ASSERT_TRUE(click_centre(dpy, win.controls.peak_search));
    for (Area& a : areas)
        a.peak_search(true);
    EXPECT_EQ(areas[0].scene.label, "2506");
    EXPECT_EQ(areas[1].scene.label, "6464");
    check("on");
    {
        Image img = capture(dpy, d0);
        ASSERT_FALSE(img.empty());
        EXPECT_EQ(img.count(pal.marker, Rect{0, 0, 1, 250}), 250u);
        EXPECT_EQ(img.count(pal.marker, Rect{1024, 0, 1, 250}), 250u);
    }

    // A press exactly halfway between the markers moves the first one, in
    // both displays; the peak is searched afresh between the markers.
    ASSERT_TRUE(press(dpy, d0, 512, 100));
    ASSERT_TRUE(release(dpy, d0, 512, 100));
    for (Area& a : areas)
        a.press(512);
    EXPECT_EQ(areas[0].scene.marker[0], 512);
    EXPECT_EQ(areas[0].scene.label, "15069");
    EXPECT_EQ(areas[1].scene.label, "19371");
    check("halfway");

    // A press in the lower display moves the markers of both. Between 760
    // and 1024 the left channel has nothing above the floor: its label
    // keeps the old frequency and drops to 6 rows above the bottom.
    ASSERT_TRUE(press(dpy, d1, 760, 100));
    ASSERT_TRUE(release(dpy, d1, 760, 100));
    for (Area& a : areas)
        a.press(760);
    EXPECT_EQ(areas[0].scene.label, "15069");
    EXPECT_EQ(areas[0].scene.label_y, 243);
    check("floor");

    // Resized, the markers keep their frequencies, not their columns, and
    // the label follows its peak.
    XResizeWindow(dpy, win.analyser, 1300, 700);
    XSync(dpy, False);
    ASSERT_TRUE(wait_until([&] {
        WindowInfo a = window_info(dpy, d0), b = window_info(dpy, d1);
        return a.width == 1300 && b.width == 1300 && a.height + b.height == 700;
    })) << dump_tree(dpy, win.analyser);
    for (int i = 0; i < 2; ++i) {
        WindowInfo info = window_info(dpy, areas[i].window);
        areas[i].resize(info.width, info.height);
    }
    EXPECT_EQ(areas[0].scene.marker[0], 964);
    EXPECT_EQ(areas[0].scene.marker[1], 1299);
    check("resized");
    XResizeWindow(dpy, win.analyser, num_fft, 500);
    XSync(dpy, False);
    ASSERT_TRUE(wait_until([&] { return window_info(dpy, d0).width == num_fft && window_info(dpy, d0).height == 250; }))
        << dump_tree(dpy, win.analyser);
    for (Area& a : areas)
        a.resize(num_fft, 250);
    EXPECT_EQ(areas[0].scene.marker[0], 760);
    check("back");

    // Dragging to the left out of the window takes the first marker along
    // and leaves it on column 0; dragging the second one out to the right
    // leaves it on the last column.
    ASSERT_TRUE(drag(dpy, d0, 760, 120, -50, 120, 10));
    for (Area& a : areas)
        a.drag(760, -50, 10);
    EXPECT_EQ(areas[0].scene.marker[0], 0);
    EXPECT_EQ(areas[0].scene.label, "2506");
    check("dragged-left");
    ASSERT_TRUE(drag(dpy, d1, 900, 120, 1200, 120, 10));
    for (Area& a : areas)
        a.drag(900, 1200, 10);
    EXPECT_EQ(areas[1].scene.marker[1], 1024);
    check("dragged-right");

    // Off: no markers, no label, the grid whole again.
    ASSERT_TRUE(click_centre(dpy, win.controls.peak_search));
    for (Area& a : areas)
        a.peak_search(false);
    check("off");
    for (const Area& a : areas)
        EXPECT_FALSE(capture(dpy, a.window).contains(pal.marker));

    // With peak search off, button 1 does nothing.
    ASSERT_TRUE(click(dpy, d0, 300, 100));
    check("ignored");
    for (const Area& a : areas)
        EXPECT_FALSE(capture(dpy, a.window).contains(pal.marker));
    EXPECT_TRUE(prog.running()) << prog.describe();
}
