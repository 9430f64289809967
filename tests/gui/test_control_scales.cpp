// The three scales of the control window: the settings alpha, decay and
// zoom set where their sliders start and what the views do, and dragging a
// slider hands every value it passes to the view at once.
#include "gui/test_control.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

using namespace harness;
using namespace control_test;

namespace {

// A scale's slider as its scroll bar shows it, read along the middle row:
// the slider's left edge is the first pixel in the lightest colour of the
// bar (the slider's lit left side; the trough's own lit border lies at its
// right and bottom), the trough is the row's most common colour.
struct Slider {
    int left = -1;            // -1: no slider drawn
    int trough_before = 0;    // trough pixels left of the slider
    int trough_after = 0;     // and right of it
    bool at_low_end() const { return left >= 0 && trough_before == 0; }
    bool at_high_end() const { return left >= 0 && trough_after == 0; }
};

Slider read_slider(const Image& bar)
{
    Slider s;
    if (bar.empty())
        return s;
    auto brightness = [](uint32_t c) { return ((c >> 16) & 255) + ((c >> 8) & 255) + (c & 255); };
    uint32_t light = bar.at(0, 0);
    for (int y = 0; y < bar.height(); ++y)
        for (int x = 0; x < bar.width(); ++x)
            if (brightness(bar.at(x, y)) > brightness(light))
                light = bar.at(x, y);
    const int y = bar.height() / 2;
    const Rect row{0, y, bar.width(), 1};
    uint32_t trough = 0;
    size_t most = 0;
    for (const auto& [rgb, n] : bar.histogram(row))
        if (n > most) {
            most = n;
            trough = rgb;
        }
    // A bar not drawn yet is all one colour; a drawn one shows at least the
    // trough, the light and the dark shadows.
    if (bar.histogram(row).size() < 3 || trough == light)
        return s;
    for (int x = 0; x < bar.width(); ++x)
        if (bar.at(x, y) == light) {
            s.left = x;
            break;
        }
    if (s.left < 0)
        return s;
    for (int x = 0; x < bar.width(); ++x)
        if (bar.at(x, y) == trough)
            ++(x < s.left ? s.trough_before : s.trough_after);
    return s;
}

// Read inside the rim where the keyboard focus shows, in white, once the
// scale has been used; the left edge in the scroll bar's coordinates.
Slider read_slider(Display* dpy, Window bar)
{
    Slider s = read_slider(face(dpy, bar));
    if (s.left >= 0)
        s.left += focus_rim;
    return s;
}

int slider_left(Display* dpy, Window bar)
{
    return read_slider(dpy, bar).left;
}

struct Scale {
    const char* name;
    std::vector<int> path;
    double maximum;  // the scale runs from 0 to this, in the units shown
};

const Scale alpha{"Alpha", path::alpha, 50.0};
const Scale decay{"Decay", path::decay, 120.0};
const Scale zoom{"Zoom", path::zoom, 30.0};

// Where a slider sits at the two ends of its scale.
struct Ends {
    int low = -1, high = -1;
    // Where it sits for a value v.
    double at(double v, double maximum) const { return low + (high - low) * v / maximum; }
};

int middle(Display* dpy, Window bar)
{
    return window_info(dpy, bar).height / 2;
}

// Takes the slider with button 1 and lets go of it far beyond one end of
// its trough; true once it shows at that end.
bool drag_to_end(Display* dpy, Window bar, bool high)
{
    const int x = slider_left(dpy, bar), y = middle(dpy, bar);
    const int beyond = high ? window_info(dpy, bar).width + 150 : -150;
    return x >= 0 && drag(dpy, bar, x + 4, y, beyond, y, 8) && wait_until([&] {
               Slider s = read_slider(dpy, bar);
               return high ? s.at_high_end() : s.at_low_end();
           });
}

// Radius in pixels at which the scope shows a signal of radius r (full
// scale 1) with a zoom in dB, in a window of 300 pixels: the distance
// becomes 10^(zoom/20) log2(1 + r) of the half width.
double scope_radius(double r, double zoom_db)
{
    return 150.0 * std::pow(10.0, zoom_db / 20.0) * std::log2(1.0 + r);
}

// Half the extent of the trace, the mean of both axes; -1 without one.
double trace_radius(Display* dpy, Window drawing)
{
    const Image img = capture(dpy, drawing);
    const uint32_t trace = colour(dpy, "firebrick1");
    int x0 = img.width(), x1 = -1, y0 = img.height(), y1 = -1;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (img.at(x, y) == trace) {
                x0 = std::min(x0, x), x1 = std::max(x1, x);
                y0 = std::min(y0, y), y1 = std::max(y1, y);
            }
    return x1 < 0 ? -1.0 : ((x1 - x0) + (y1 - y0)) / 4.0;
}

size_t reads(const std::string& log)
{
    return count_prefix(read_lines(log), "read ");
}

} // namespace

TEST(Scales, SettingsPlaceTheSlidersAndDraggingAppliesEveryValue)
{
    XServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Display* dpy = server.display();
    const std::vector<Scale> scales = {alpha, decay, zoom};
    std::vector<Ends> ends(scales.size());

    // With the default settings the sliders sit at 20.0 of 50.0, 48.0 of
    // 120.0 and 6.0 of 30.0. Dragging each to both ends shows where those
    // are.
    {
        Zentaphon z(server, {}, {});
        SaveOnFailure evidence(server);
        evidence.add("stderr", z.prog());
        ASSERT_TRUE(z.open()) << z.prog().describe() << "\n" << z.prog().stderr_text();
        const double defaults[] = {20.0, 48.0, 6.0};
        for (size_t i = 0; i < scales.size(); ++i) {
            SCOPED_TRACE(scales[i].name);
            const Window bar = z.widget(scales[i].path);
            ASSERT_NE(bar, 0u) << dump_tree(dpy, z.control);
            ASSERT_TRUE(wait_until([&] { return slider_left(dpy, bar) >= 0; }));
            const int start = slider_left(dpy, bar);
            ASSERT_TRUE(drag_to_end(dpy, bar, false));
            ends[i].low = slider_left(dpy, bar);
            ASSERT_TRUE(drag_to_end(dpy, bar, true));
            ends[i].high = slider_left(dpy, bar);
            ASSERT_GT(ends[i].high - ends[i].low, 40);
            EXPECT_NEAR(start, ends[i].at(defaults[i], scales[i].maximum), 1.0);
        }
        ASSERT_TRUE(send_delete_window(dpy, z.control));
        ASSERT_TRUE(z.prog().wait_exit()) << z.prog().describe();
        EXPECT_EQ(z.prog().exit_status(), 0);
        EXPECT_EQ(z.prog().stderr_text(), "");
    }

    // Other settings given with -xrm: the sliders start elsewhere, and the
    // scope draws with the zoom given.
    TempDir tmp;
    const std::string log = tmp.file("dsp.log");
    // Two sines in quadrature, half a bin off the analyser's grid: a
    // circle of radius 0.02 on the scope, a tone that leaks far across the
    // spectrum unless the window tapers (alpha well above 0).
    const double r = 0.02;
    const std::string f = std::to_string(10.5 * 44100 / 2048);
    // (The fallback resources name these settings as "Zentaphon.Alpha" and
    // so on, which a loosely bound "*alpha" does not override.)
    Zentaphon z(server,
                {"-xrm", "Zentaphon.alpha: 40", "-xrm", "Zentaphon.decay: 6", "-xrm",
                 "Zentaphon.zoom: 20"},
                {{"LD_PRELOAD", ZEN_SIMDSP},
                 {"SIMDSP_LEFT", "sine:" + f + ":" + std::to_string(r)},
                 {"SIMDSP_RIGHT", "sine:" + f + ":" + std::to_string(r) + ":90"},
                 {"SIMDSP_LOG", log}});
    SaveOnFailure evidence(server);
    evidence.add("stderr", z.prog());
    ASSERT_TRUE(z.open()) << z.prog().describe() << "\n" << z.prog().stderr_text();
    const Window alpha_bar = z.widget(alpha.path);
    const Window decay_bar = z.widget(decay.path);
    const Window zoom_bar = z.widget(zoom.path);
    const Window analyser_run = z.widget(path::analyser_run);
    const Window scope_run = z.widget(path::scope_run);
    ASSERT_TRUE(alpha_bar && decay_bar && zoom_bar && analyser_run && scope_run);
    ASSERT_TRUE(wait_until([&] {
        return slider_left(dpy, alpha_bar) >= 0 && slider_left(dpy, decay_bar) >= 0 &&
               slider_left(dpy, zoom_bar) >= 0;
    }));
    EXPECT_NEAR(slider_left(dpy, alpha_bar), ends[0].at(40.0, alpha.maximum), 1.0);
    EXPECT_NEAR(slider_left(dpy, decay_bar), ends[1].at(6.0, decay.maximum), 1.0);
    EXPECT_NEAR(slider_left(dpy, zoom_bar), ends[2].at(20.0, zoom.maximum), 1.0);

    ASSERT_TRUE(set_and_wait(dpy, scope_run));
    ASSERT_TRUE(set_and_wait(dpy, analyser_run));
    const double r20 = scope_radius(r, 20.0);
    EXPECT_TRUE(wait_until([&] { return std::fabs(trace_radius(dpy, z.drawing) - r20) <= 1.5; }))
        << "radius " << trace_radius(dpy, z.drawing) << " instead of " << r20;

    // Zoom: while the slider is held and moved down step by step, every
    // step shrinks the circle; beyond the low end it is drawn at 0 dB,
    // beyond the high end, still held, at 30 dB.
    {
        const int y = middle(dpy, zoom_bar);
        const int x = slider_left(dpy, zoom_bar) + 4;
        ASSERT_TRUE(press(dpy, zoom_bar, x, y));
        double last = trace_radius(dpy, z.drawing);
        for (int step = 1; step <= 3; ++step) {
            ASSERT_TRUE(move_pointer(dpy, zoom_bar, x - 11 * step, y));
            EXPECT_TRUE(wait_until([&] { return trace_radius(dpy, z.drawing) < last * 0.85; }))
                << "step " << step << ": the circle stays at radius " << last;
            last = trace_radius(dpy, z.drawing);
        }
        const double r0 = scope_radius(r, 0.0), r30 = scope_radius(r, 30.0);
        ASSERT_TRUE(move_pointer(dpy, zoom_bar, -150, y));
        EXPECT_TRUE(wait_until([&] { return std::fabs(trace_radius(dpy, z.drawing) - r0) <= 1.5; }))
            << "radius " << trace_radius(dpy, z.drawing) << " instead of " << r0;
        ASSERT_TRUE(move_pointer(dpy, zoom_bar, window_info(dpy, zoom_bar).width + 150, y));
        EXPECT_TRUE(wait_until([&] { return std::fabs(trace_radius(dpy, z.drawing) - r30) <= 2; }))
            << "radius " << trace_radius(dpy, z.drawing) << " instead of " << r30;
        ASSERT_TRUE(release(dpy, zoom_bar, window_info(dpy, zoom_bar).width + 150, y));
        EXPECT_TRUE(wait_until([&] { return read_slider(dpy, zoom_bar).at_high_end(); }));
        EXPECT_EQ(slider_left(dpy, zoom_bar), ends[2].high);
    }

    // Alpha: at 50 the window tapers steeply and the tone stays narrow; at
    // 0 (rectangular) it leaks into bars across much of the spectrum. The
    // highest decay lets the bars follow within a few blocks. Bars are
    // counted a few pixels above the floor: the columns whose level stands
    // clearly above the bottom of the range.
    const uint32_t bar_colour = colour(dpy, "firebrick1");
    auto bars = [&] {
        Image img = capture(dpy, z.display0);
        return img.count(bar_colour, Rect{0, img.height() - 6, img.width(), 1});
    };
    auto wait_blocks = [&](size_t n) {
        const size_t from = reads(log);
        return wait_until([&] { return reads(log) >= from + n; });
    };
    ASSERT_TRUE(drag_to_end(dpy, decay_bar, true));
    ASSERT_TRUE(drag_to_end(dpy, alpha_bar, true));
    ASSERT_TRUE(wait_blocks(15));
    const size_t narrow = bars();
    ASSERT_TRUE(drag_to_end(dpy, alpha_bar, false));
    EXPECT_TRUE(wait_until([&] { return bars() > 3 * narrow + 30; }))
        << bars() << " bars with alpha 0, " << narrow << " with alpha 50";
    const size_t wide = bars();

    // Decay: at 0 the levels never fall, so the leaked bars stay when alpha
    // goes back to 50; at 120 dB/s they fall back within 20 blocks, which
    // take a level down by more than 100 dB.
    ASSERT_TRUE(drag_to_end(dpy, decay_bar, false));
    ASSERT_TRUE(drag_to_end(dpy, alpha_bar, true));
    ASSERT_TRUE(wait_blocks(15));
    EXPECT_GT(bars(), (narrow + wide) / 2) << "the bars fell with a decay of 0";
    ASSERT_TRUE(drag_to_end(dpy, decay_bar, true));
    ASSERT_TRUE(wait_blocks(20));
    EXPECT_LT(bars(), narrow + (wide - narrow) / 10) << narrow << " with alpha 50 before";

    // Closing the control window while sampling closes the device and ends
    // the program normally.
    ASSERT_TRUE(send_delete_window(dpy, z.control));
    ASSERT_TRUE(z.prog().wait_exit()) << z.prog().describe();
    EXPECT_EQ(z.prog().exit_status(), 0);
    std::vector<std::string> lines = read_lines(log);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(starts_with(lines.back(), "close ")) << lines.back();
    EXPECT_EQ(count_prefix(lines, "open "), 1u);
    EXPECT_EQ(z.prog().stderr_text(), device_report("read", 44100, 2048));
}
