// The whole program as a new user meets it: zentaphon on the simulated
// sound device and on a disk file, both views live, every control of the
// control window worked, the view windows closed and shown again, the end
// of a file, "Help" and "Quit"; and the icon of every window.
#include "gui/harness/GuiHarness.h"

#include <X11/Xutil.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace harness;

namespace {

const char* const help_title = "Zentaphon: Help";

// Widget windows of the control window: control_path in the harness.
// From the dialog shells: the form dialog, then its children.
const std::vector<int> display0_path = {0, 0};
const std::vector<int> display1_path = {0, 1};
const std::vector<int> scope_area_path = {0, 0};
const std::vector<int> help_close_path = {0, 0};
const std::vector<int> help_vbar_path = {0, 1, 1};   // the text's vertical scroll bar

// Where the test puts the windows, as a window manager would, so that none
// covers another: the control window stays at the origin.
constexpr int analyser_x = 360, analyser_y = 0;
constexpr int scope_x = 0, scope_y = 530;
constexpr int help_x = 700, help_y = 560;

// The default block length and the file streams' frame size.
constexpr int block_frames = 2048;
constexpr int frame_bytes = 4;

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

long file_size(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? static_cast<long>(in.tellg()) : -1;
}

size_t count_lines_starting(const std::string& text, const std::string& start)
{
    size_t n = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, start.size(), start) == 0)
            ++n;
    return n;
}

void put_le(std::string& s, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        s += static_cast<char>((v >> (8 * i)) & 0xff);
}

// A canonical 44-byte-header WAV file, 16-bit stereo at 44100 Hz: a sine on
// the left channel, silence on the right.
std::string wav_left_sine(int frames, double freq, double amplitude)
{
    std::string s = "RIFF";
    put_le(s, 36 + frames * frame_bytes, 4);
    s += "WAVEfmt ";
    put_le(s, 16, 4);
    put_le(s, 1, 2);
    put_le(s, 2, 2);
    put_le(s, 44100, 4);
    put_le(s, 44100 * frame_bytes, 4);
    put_le(s, frame_bytes, 2);
    put_le(s, 16, 2);
    s += "data";
    put_le(s, frames * frame_bytes, 4);
    for (int i = 0; i < frames; ++i) {
        const double pi = 3.14159265358979323846;
        double v = amplitude * 32767.0 * std::sin(2.0 * pi * freq * i / 44100.0);
        put_le(s, static_cast<uint16_t>(static_cast<int16_t>(std::lround(v))), 2);
        put_le(s, 0, 2);
    }
    return s;
}

// The longest run of one colour along a row (horizontal) or a column: the
// slider of a scroll bar, which Motif draws in the widgets' background
// colour, while arrows and shadows give only short runs of it.
struct SliderRun {
    int start = -1, length = 0;
    int centre() const { return start + length / 2; }
};

SliderRun longest_run(const Image& img, uint32_t rgb, bool horizontal)
{
    SliderRun best;
    const int along = horizontal ? img.width() : img.height();
    const int across = (horizontal ? img.height() : img.width()) / 2;
    int start = -1;
    for (int i = 0; i <= along; ++i) {
        bool in = i < along &&
                  (horizontal ? img.at(i, across) : img.at(across, i)) == rgb;
        if (in && start < 0)
            start = i;
        if (!in && start >= 0) {
            if (i - start > best.length)
                best = SliderRun{start, i - start};
            start = -1;
        }
    }
    return best;
}

// Pixels of one colour in the upper nine tenths of an analyser display:
// the bars, without the bottom rows that an empty spectrum fills as well.
size_t bar_pixels(const Image& img, uint32_t rgb)
{
    return img.count(rgb, Rect{0, 0, img.width(), img.height() * 9 / 10});
}

// How far the scope's trace reaches from the centre, in pixels (-1 for no
// trace at all).
int trace_reach(const Image& img, uint32_t rgb)
{
    int reach = -1;
    const int cx = img.width() / 2, cy = img.height() / 2;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (img.at(x, y) == rgb)
                reach = std::max({reach, std::abs(x - cx), std::abs(y - cy)});
    return reach;
}

class WholeProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.ok()) << server.error();
        dpy = server.display();
        data = colour(dpy, "firebrick1");
        marker = colour(dpy, "yellow");
        select = colour(dpy, "red");
        widget_bg = colour(dpy, "steelblue");
        log_path = files.file("simdsp.log");
        play_path = files.file("played.raw");
    }

    // Starts zentaphon on the simulated device with a stereo test signal
    // and waits for its three windows.
    void start(std::vector<std::string> args)
    {
        prog = std::make_unique<Program>(
            server, std::move(args),
            Env{{"LD_PRELOAD", ZEN_SIMDSP},
                {"SIMDSP_PACE", "realtime"},
                // 1 kHz and 5 kHz on the left, a slightly detuned 1 kHz on
                // the right: a wide, changing trace in the scope.
                {"SIMDSP_LEFT", "sine:1000:-12dB+sine:5000:-30dB"},
                {"SIMDSP_RIGHT", "sine:1010:-12dB:90"},
                {"SIMDSP_LOG", log_path},
                {"SIMDSP_PLAY_FILE", play_path}});
        ASSERT_TRUE(prog->started()) << prog->error();
        const MainWindows w = wait_for_main_windows(dpy);
        control = w.control;
        analyser = w.analyser;
        scope = w.scope;
        ASSERT_NE(control, 0u) << prog->describe() << "\n" << prog->stderr_text();
        ASSERT_NE(analyser, 0u);
        ASSERT_NE(scope, 0u);
        place(analyser, analyser_x, analyser_y);
        place(scope, scope_x, scope_y);
    }

    Window in_control(const std::vector<int>& path)
    {
        Window w = child_by_path(dpy, control, path);
        EXPECT_NE(w, 0u) << dump_tree(dpy, control);
        return w;
    }

    void place(Window shell, int x, int y)
    {
        EXPECT_TRUE(place_window(dpy, shell, x, y)) << window_name(dpy, shell);
    }

    bool is_set(const std::vector<int>& toggle) { return shows_colour(dpy, in_control(toggle), select); }

    bool wait_set(const std::vector<int>& toggle, bool set)
    {
        return wait_until([&] { return is_set(toggle) == set; });
    }

    std::string log() { return read_file(log_path); }
    size_t opens() { return count_lines_starting(log(), "open "); }
    size_t closes() { return count_lines_starting(log(), "close "); }

    // Drags a scale's slider with button 1 to a column of its scroll bar
    // (beyond either end for the end of the range).
    void move_scale(const std::vector<int>& bar_path, int to_x)
    {
        Window bar = in_control(bar_path);
        Image img = capture(dpy, bar);
        SliderRun slider = longest_run(img, widget_bg, true);
        ASSERT_GT(slider.length, 4) << "no slider in the scale";
        ASSERT_TRUE(drag(dpy, bar, slider.centre(), img.height() / 2, to_x, img.height() / 2));
    }
    void scale_to_minimum(const std::vector<int>& bar_path) { move_scale(bar_path, -60); }
    void scale_to_maximum(const std::vector<int>& bar_path)
    {
        move_scale(bar_path, window_info(dpy, in_control(bar_path)).width + 60);
    }

    Image picture(Window shell, const std::vector<int>& path)
    {
        return capture(dpy, child_by_path(dpy, shell, path));
    }

    // Waits until the scope has shown `n` pictures that differ from the one
    // before: at least that many blocks have been drawn.
    bool scope_changes(int n)
    {
        Image last = picture(scope, scope_area_path);
        int seen = 0;
        return wait_until([&] {
            Image now = picture(scope, scope_area_path);
            if (!now.empty() && now != last) {
                ++seen;
                last = now;
            }
            return seen >= n;
        });
    }

    XServer server;
    TempDir files;
    Display* dpy = nullptr;
    std::unique_ptr<Program> prog;
    Window control = 0, analyser = 0, scope = 0;
    uint32_t data = 0, marker = 0, select = 0, widget_bg = 0;
    std::string log_path, play_path;
};

} // namespace

TEST_F(WholeProgram, NewUserWalksThroughEverything)
{
    // A three-second disk file for the second half of the walk.
    const int file_frames = 3 * 44100;
    const std::string wav = files.file("tone.wav");
    ASSERT_TRUE(files.write("tone.wav", wav_left_sine(file_frames, 441.0, 0.25)));

    ASSERT_NO_FATAL_FAILURE(start({"-filename", wav}));
    SaveOnFailure evidence(server);
    evidence.add("stderr", *prog);

    // At start: all three windows, the sound card chosen, nothing running,
    // the device not even opened.
    EXPECT_TRUE(wait_set(control_path::soundcard, true));
    EXPECT_FALSE(is_set(control_path::diskfile));
    EXPECT_FALSE(is_set(control_path::analyser_run));
    EXPECT_FALSE(is_set(control_path::scope_run));
    EXPECT_EQ(opens(), 0u) << log();
    Image left0 = picture(analyser, display0_path);
    Image right0 = picture(analyser, display1_path);
    ASSERT_FALSE(left0.empty());
    ASSERT_FALSE(right0.empty());
    EXPECT_EQ(bar_pixels(left0, data), 0u) << "bars before anything ran";
    EXPECT_EQ(picture(scope, scope_area_path).count(data), 0u) << "a trace before anything ran";

    // Analyser "Run": the device is opened for recording and reported, the
    // spectrum comes alive in both displays.
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::analyser_run)));
    EXPECT_TRUE(wait_set(control_path::analyser_run, true));
    EXPECT_TRUE(prog->wait_stderr("mode: read\n")) << prog->stderr_text();
    EXPECT_TRUE(wait_until([&] { return opens() == 1; })) << log();
    EXPECT_NE(log().find("flags=0x800 "), std::string::npos) << log();
    EXPECT_TRUE(wait_until([&] {
        return bar_pixels(picture(analyser, display0_path), data) > 300 &&
               bar_pixels(picture(analyser, display1_path), data) > 300;
    })) << "no spectrum came up";
    // The left display shows the left channel, with its 5 kHz tone, the
    // right display the right channel, without it: compare the columns
    // around 5 kHz (the frequency axis runs linearly up to 22050 Hz).
    {
        Image l = picture(analyser, display0_path), r = picture(analyser, display1_path);
        Rect band{l.width() * 4000 / 22050, 0, l.width() * 2000 / 22050, l.height() * 9 / 10};
        size_t left_band = l.count(data, band), right_band = r.count(data, band);
        EXPECT_GT(left_band, right_band + 50)
            << "left " << left_band << ", right " << right_band << " bar pixels around 5 kHz";
        evidence.add("analyser-left", l);
        evidence.add("analyser-right", r);
    }
    // While anything runs, the source cannot be changed: "Diskfile" takes
    // no click (seen once the click after it has been handled).
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::diskfile)));

    // Scope "Run": the trace appears and moves; the device is not opened
    // a second time.
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::scope_run)));
    EXPECT_TRUE(wait_set(control_path::scope_run, true));
    EXPECT_TRUE(is_set(control_path::soundcard));
    EXPECT_FALSE(is_set(control_path::diskfile));
    EXPECT_TRUE(wait_until([&] { return picture(scope, scope_area_path).count(data) > 200; }))
        << "no trace came up";
    EXPECT_TRUE(scope_changes(3)) << "the trace does not change";
    EXPECT_EQ(opens(), 1u) << log();
    EXPECT_EQ(closes(), 0u) << log();

    // "Decay" to 0 and "Alpha" to 0: a rectangular window smears the tones
    // over the whole spectrum, and with no decay the smear is held.
    const size_t bars_before = bar_pixels(picture(analyser, display0_path), data);
    ASSERT_NO_FATAL_FAILURE(scale_to_minimum(control_path::decay));
    ASSERT_NO_FATAL_FAILURE(scale_to_minimum(control_path::alpha));
    size_t smeared = 0;
    EXPECT_TRUE(wait_until([&] {
        smeared = bar_pixels(picture(analyser, display0_path), data);
        return smeared > 3 * bars_before;
    })) << bars_before << " bar pixels before, " << smeared << " with alpha 0";
    // "Alpha" at its maximum: the window is narrow again, but the levels
    // may not fall while the decay is 0.
    ASSERT_NO_FATAL_FAILURE(scale_to_maximum(control_path::alpha));
    EXPECT_TRUE(scope_changes(10));
    const size_t held = bar_pixels(picture(analyser, display0_path), data);
    EXPECT_GE(held, smeared * 9 / 10) << "levels fell with a decay of 0";
    // "Decay" at its maximum lets them fall back.
    ASSERT_NO_FATAL_FAILURE(scale_to_maximum(control_path::decay));
    size_t fallen = 0;
    EXPECT_TRUE(wait_until([&] {
        fallen = bar_pixels(picture(analyser, display0_path), data);
        return fallen < 2 * bars_before;
    })) << bars_before << " bar pixels at first, still " << fallen;

    // "Zoom" to 0 dB shrinks the trace; back where it was, it grows again.
    {
        Window zoom_bar = in_control(control_path::zoom);
        const int zoom_home = longest_run(capture(dpy, zoom_bar), widget_bg, true).centre();
        const int reach_before = trace_reach(picture(scope, scope_area_path), data);
        ASSERT_GT(reach_before, 20);
        ASSERT_NO_FATAL_FAILURE(scale_to_minimum(control_path::zoom));
        int reach = 0;
        EXPECT_TRUE(wait_until([&] {
            reach = trace_reach(picture(scope, scope_area_path), data);
            return reach > 0 && reach < reach_before * 4 / 5;
        })) << "reach " << reach_before << " before, " << reach << " at zoom 0";
        ASSERT_NO_FATAL_FAILURE(move_scale(control_path::zoom, zoom_home));
        EXPECT_TRUE(wait_until([&] {
            reach = trace_reach(picture(scope, scope_area_path), data);
            return std::abs(reach - reach_before) <= reach_before / 10;
        })) << "reach " << reach_before << " at first, " << reach << " back at that zoom";
    }

    // "Peak Search" on: two yellow markers over the full height of each
    // display; off: they are gone again.
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::peak_search)));
    EXPECT_TRUE(wait_set(control_path::peak_search, true));
    for (const auto* path : {&display0_path, &display1_path}) {
        size_t yellow = 0;
        EXPECT_TRUE(wait_until([&] {
            Image img = picture(analyser, *path);
            yellow = img.count(marker);
            return yellow >= size_t(2 * img.height() * 9 / 10);
        })) << "only " << yellow << " marker pixels";
    }
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::peak_search)));
    EXPECT_TRUE(wait_set(control_path::peak_search, false));
    EXPECT_TRUE(wait_until([&] {
        return picture(analyser, display0_path).count(marker) == 0 &&
               picture(analyser, display1_path).count(marker) == 0;
    })) << "markers left behind";

    // "Help" opens the help window; "Close" closes it.
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::help)));
    Window help = wait_for_window(dpy, help_title);
    ASSERT_NE(help, 0u);
    place(help, help_x, help_y);
    ASSERT_TRUE(click_centre(dpy, child_by_path(dpy, help, help_close_path)));
    EXPECT_TRUE(wait_for_window_gone(dpy, help_title));

    // Closing the analyser window as a window manager does: its Run goes
    // off, the scope samples on.
    ASSERT_TRUE(send_delete_window(dpy, analyser));
    EXPECT_TRUE(wait_for_window_gone(dpy, analyser_title));
    EXPECT_TRUE(wait_set(control_path::analyser_run, false));
    EXPECT_TRUE(scope_changes(3)) << "the scope stopped with the analyser";
    EXPECT_EQ(closes(), 0u) << log();
    // Its Run brings it back, with a live spectrum.
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::analyser_run)));
    EXPECT_EQ(wait_for_window(dpy, analyser_title), analyser);
    place(analyser, analyser_x, analyser_y);
    EXPECT_TRUE(wait_set(control_path::analyser_run, true));
    {
        Image before = picture(analyser, display1_path);
        EXPECT_TRUE(wait_until([&] {
            Image now = picture(analyser, display1_path);
            return bar_pixels(now, data) > 300 && now != before;
        })) << "the spectrum is not live after showing the window again";
    }

    // The same for the scope window, while the analyser runs.
    ASSERT_TRUE(send_delete_window(dpy, scope));
    EXPECT_TRUE(wait_for_window_gone(dpy, scope_title));
    EXPECT_TRUE(wait_set(control_path::scope_run, false));
    {
        Image before = picture(analyser, display1_path);
        EXPECT_TRUE(wait_until([&] { return picture(analyser, display1_path) != before; }))
            << "the analyser stopped with the scope";
    }
    EXPECT_EQ(closes(), 0u) << log();
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::scope_run)));
    EXPECT_EQ(wait_for_window(dpy, scope_title), scope);
    place(scope, scope_x, scope_y);
    EXPECT_TRUE(wait_set(control_path::scope_run, true));
    EXPECT_TRUE(scope_changes(3)) << "the trace is not live after showing the window again";

    // Both Run off: sampling stops and the device is closed.
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::analyser_run)));
    EXPECT_TRUE(wait_set(control_path::analyser_run, false));
    EXPECT_TRUE(scope_changes(2)) << "the scope stopped with the analyser";
    EXPECT_EQ(closes(), 0u) << "closed while the scope still runs\n" << log();
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::scope_run)));
    EXPECT_TRUE(wait_set(control_path::scope_run, false));
    EXPECT_TRUE(wait_until([&] { return closes() == 1; })) << log();
    EXPECT_EQ(opens(), 1u) << log();
    // The windows keep their last pictures.
    EXPECT_GT(bar_pixels(picture(analyser, display0_path), data), 300u);
    EXPECT_GT(picture(scope, scope_area_path).count(data), 200u);

    // The disk file: "Diskfile", then both Run. The file plays through the
    // device to its end, which switches both views off.
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::diskfile)));
    EXPECT_TRUE(wait_set(control_path::diskfile, true));
    EXPECT_TRUE(wait_set(control_path::soundcard, false));
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::scope_run)));
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::analyser_run)));
    EXPECT_TRUE(prog->wait_stderr("mode: write\n")) << prog->stderr_text();
    EXPECT_TRUE(wait_until([&] { return opens() == 2; })) << log();
    EXPECT_NE(log().find("flags=0x801 "), std::string::npos) << log();
    EXPECT_TRUE(wait_until([&] { return closes() == 2; }, 60)) << "the file did not end\n" << log();
    EXPECT_TRUE(wait_set(control_path::analyser_run, false));
    EXPECT_TRUE(wait_set(control_path::scope_run, false));
    // Every whole block of the file was played, the partial last one not.
    EXPECT_EQ(file_size(play_path), long(file_frames / block_frames * block_frames * frame_bytes));
    // Both views show the file, not the device's signal: a tone on the
    // left only is a horizontal line through the scope's centre, and an
    // empty right-channel spectrum.
    {
        Image s = picture(scope, scope_area_path);
        evidence.add("scope-file", s);
        const int cy = s.height() / 2;
        size_t on_line = s.count(data, Rect{0, cy - 1, s.width(), 3});
        EXPECT_GT(on_line, size_t(s.width() / 4));
        EXPECT_EQ(s.count(data), on_line) << "trace off the horizontal line";
        Image r = picture(analyser, display1_path);
        evidence.add("analyser-right-file", r);
        EXPECT_EQ(bar_pixels(r, data), 0u) << "bars for a silent right channel";
        EXPECT_GT(bar_pixels(picture(analyser, display0_path), data), 100u);
    }
    // The source can be chosen again.
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::soundcard)));
    EXPECT_TRUE(wait_set(control_path::soundcard, true));
    EXPECT_TRUE(wait_set(control_path::diskfile, false));

    // "Quit".
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::quit)));
    ASSERT_TRUE(prog->wait_exit()) << prog->describe();
    EXPECT_EQ(prog->exit_status(), 0) << prog->describe();
    EXPECT_EQ(prog->stderr_text().find("error"), std::string::npos) << prog->stderr_text();
    EXPECT_EQ(count_lines_starting(prog->stderr_text(), "driver: oss"), 2u) << prog->stderr_text();
    EXPECT_EQ(opens(), closes()) << log();
    EXPECT_TRUE(wait_for_window_gone(dpy, control_title));
}

namespace {

// The slider of the help text's vertical scroll bar: where it starts, how
// long it is, and how much of the trough is left beside it.
struct TextSlider {
    int start = -1, length = 0, trough = 0;
    bool operator==(const TextSlider& o) const
    {
        return start == o.start && length == o.length && trough == o.trough;
    }
};

TextSlider text_slider(Display* dpy, Window bar, uint32_t widget_bg)
{
    Image img = capture(dpy, bar);
    TextSlider s;
    if (img.empty())
        return s;
    SliderRun run = longest_run(img, widget_bg, false);
    s.start = run.start;
    s.length = run.length;
    // The trough shows just below the slider and its shadow, unless the
    // slider reaches the bottom; then just above it.
    const int x = img.width() / 2;
    int probe = run.start + run.length + 3;
    if (probe >= img.height() - 20)
        probe = run.start - 4;
    const uint32_t trough = img.at(x, std::clamp(probe, 0, img.height() - 1));
    s.trough = int(img.count(trough, Rect{x, 0, 1, img.height()}));
    return s;
}

int stacking_index(Display* dpy, Window w)
{
    std::vector<Window> tops = top_levels(dpy);
    auto it = std::find(tops.begin(), tops.end(), w);
    return it == tops.end() ? -1 : int(it - tops.begin());
}

size_t count_help_windows(Display* dpy)
{
    size_t n = 0;
    for (Window w : top_levels(dpy))
        if (window_name(dpy, w) == help_title)
            ++n;
    return n;
}

} // namespace

TEST_F(WholeProgram, HelpOpensOneDialogThatComesBackAsItWasLeft)
{
    ASSERT_NO_FATAL_FAILURE(start({}));
    SaveOnFailure evidence(server);
    evidence.add("stderr", *prog);
    EXPECT_EQ(count_help_windows(dpy), 0u) << "a help window before it was asked for";

    // The first press builds it and shows the text from its first line.
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::help)));
    Window help = wait_for_window(dpy, help_title);
    ASSERT_NE(help, 0u);
    place(help, help_x, help_y);
    Window bar = child_by_path(dpy, help, help_vbar_path);
    ASSERT_NE(bar, 0u) << dump_tree(dpy, help);
    // Read once the window has settled: the same slider twice in a row.
    TextSlider first;
    ASSERT_TRUE(wait_until([&] {
        TextSlider before = first;
        first = text_slider(dpy, bar, widget_bg);
        return first.length > 0 && first == before;
    }));
    evidence.add("help-first", capture(dpy, help));
    // The text's 52 lines do not fit the window, but most of them do: the
    // slider covers more than half of the scroll bar and stands at the top,
    // with the rest of the trough below it.
    const double shown = double(first.length) / (first.length + first.trough);
    EXPECT_GT(shown, 0.45) << "the text holds more than its 52 lines";
    EXPECT_LT(shown, 0.9) << "the text holds fewer than its 52 lines";
    {
        Image img = capture(dpy, bar);
        const uint32_t trough = img.at(img.width() / 2, first.start + first.length + 3);
        // At most a pixel's gap between the arrow and the slider's shadow.
        EXPECT_LE(img.count(trough, Rect{img.width() / 2, 0, 1, first.start}), 2u)
            << "the text is not shown from its start";
    }

    // A second press while it is open, hidden under another window: the
    // same window comes to the top, with the same text.
    {
        Cover cover(dpy, help, 10);
        ASSERT_TRUE(cover.ok());
        ASSERT_GT(stacking_index(dpy, cover.window()), stacking_index(dpy, help));
        ASSERT_TRUE(click_centre(dpy, in_control(control_path::help)));
        EXPECT_TRUE(wait_until([&] {
            return stacking_index(dpy, help) > stacking_index(dpy, cover.window());
        })) << "the help window was not raised";
        EXPECT_EQ(count_help_windows(dpy), 1u);
        EXPECT_EQ(find_top_level(dpy, help_title), help);
        TextSlider again;
        EXPECT_TRUE(wait_until([&] {
            again = text_slider(dpy, bar, widget_bg);
            return again == first;
        })) << "slider at " << again.start << ", " << again.length << " long; at first "
            << first.start << ", " << first.length << " long: the text was inserted again?";
    }

    // The user pages down once, then closes it with "Close".
    WindowInfo bar_info = window_info(dpy, bar);
    ASSERT_TRUE(click(dpy, bar, bar_info.width / 2, bar_info.height - 25));
    TextSlider scrolled;
    EXPECT_TRUE(wait_until([&] {
        scrolled = text_slider(dpy, bar, widget_bg);
        return scrolled.start > first.start + 10;
    })) << "the text did not scroll";
    ASSERT_TRUE(click_centre(dpy, child_by_path(dpy, help, help_close_path)));
    EXPECT_TRUE(wait_for_window_gone(dpy, help_title));
    EXPECT_TRUE(prog->running()) << prog->describe();

    // The next press shows the same window again, scrolled where it was
    // left, its text not inserted a second time.
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::help)));
    EXPECT_EQ(wait_for_window(dpy, help_title), help);
    EXPECT_EQ(count_help_windows(dpy), 1u);
    place(help, help_x, help_y);
    TextSlider back;
    EXPECT_TRUE(wait_until([&] {
        back = text_slider(dpy, bar, widget_bg);
        return back == scrolled;
    })) << "slider at " << back.start << ", " << back.length << " long; left at "
        << scrolled.start << ", " << scrolled.length << " long: the text was inserted again"
        << " or the scroll position lost";

    // Closed through the window manager it hides as well, and the next
    // press brings it back.
    ASSERT_TRUE(send_delete_window(dpy, help));
    EXPECT_TRUE(wait_for_window_gone(dpy, help_title));
    EXPECT_TRUE(prog->running()) << prog->describe();
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::help)));
    EXPECT_EQ(wait_for_window(dpy, help_title), help);
    EXPECT_EQ(count_help_windows(dpy), 1u);
    EXPECT_TRUE(wait_until([&] { return text_slider(dpy, bar, widget_bg) == scrolled; }))
        << "the text changed after a close by the window manager";

    ASSERT_TRUE(click_centre(dpy, in_control(control_path::quit)));
    ASSERT_TRUE(prog->wait_exit()) << prog->describe();
    EXPECT_EQ(prog->exit_status(), 0);
    EXPECT_EQ(prog->stderr_text(), "");
}

namespace {

struct Icon {
    bool hinted = false;   // WM_HINTS names an icon pixmap
    bool masked = false;   // and an icon mask
    Pixmap pixmap = 0;
    unsigned width = 0, height = 0;
    Image image;
};

Icon icon_of(Display* dpy, Window shell)
{
    Icon icon;
    XWMHints* hints = XGetWMHints(dpy, shell);
    if (!hints)
        return icon;
    icon.hinted = (hints->flags & IconPixmapHint) && hints->icon_pixmap != 0;
    icon.masked = (hints->flags & IconMaskHint) && hints->icon_mask != 0;
    icon.pixmap = hints->icon_pixmap;
    XFree(hints);
    if (!icon.hinted)
        return icon;
    XErrorTrap trap(dpy);
    Window root;
    int x, y;
    unsigned border, depth;
    if (!XGetGeometry(dpy, icon.pixmap, &root, &x, &y, &icon.width, &icon.height, &border, &depth))
        return icon;
    XImage* xi = XGetImage(dpy, icon.pixmap, 0, 0, icon.width, icon.height, AllPlanes, ZPixmap);
    if (!xi)
        return icon;
    icon.image = Image(int(icon.width), int(icon.height));
    for (int row = 0; row < int(icon.height); ++row)
        for (int col = 0; col < int(icon.width); ++col)
            icon.image.set(col, row, pixel_to_rgb(dpy, XGetPixel(xi, col, row)));
    XDestroyImage(xi);
    EXPECT_FALSE(trap.failed());
    return icon;
}

constexpr uint32_t icon_background = 0x333333, icon_red = 0xff3030;
constexpr uint32_t icon_light_grey = 0x999999, icon_dark_grey = 0x666666;

// The spectrum icon: red bars rising from the bottom (the bottom five rows
// all red, the peak in column 3 up to row 8), grid lines across rows 12
// (#999999) and 31 (#666666), on #333333.
void expect_spectrum_icon(const Icon& icon, const std::string& whose)
{
    SCOPED_TRACE(whose);
    ASSERT_TRUE(icon.hinted) << "no icon pixmap in WM_HINTS";
    EXPECT_FALSE(icon.masked);
    ASSERT_EQ(icon.width, 48u);
    ASSERT_EQ(icon.height, 48u);
    ASSERT_FALSE(icon.image.empty());
    const Image& img = icon.image;
    EXPECT_EQ(img.count(icon_red, Rect{0, 43, 48, 5}), 5u * 48);
    EXPECT_EQ(img.count(icon_light_grey, Rect{0, 12, 48, 1}), 48u);
    EXPECT_EQ(img.count(icon_dark_grey, Rect{0, 31, 48, 1}), 48u);
    EXPECT_EQ(img.at(3, 8), icon_red);
    EXPECT_NE(img.at(3, 7), icon_red);
    EXPECT_EQ(img.at(0, 0), icon_background);
    EXPECT_EQ(img.histogram().size(), 4u) << "colours other than the icon's four";
}

// The scope icon: a red loop within rows 10 to 39, a thin light-grey
// diagonal from (column 15, row 33) to (column 32, row 16), on #333333.
void expect_scope_icon(const Icon& icon)
{
    SCOPED_TRACE("scope window");
    ASSERT_TRUE(icon.hinted) << "no icon pixmap in WM_HINTS";
    EXPECT_FALSE(icon.masked);
    ASSERT_EQ(icon.width, 48u);
    ASSERT_EQ(icon.height, 48u);
    ASSERT_FALSE(icon.image.empty());
    const Image& img = icon.image;
    EXPECT_EQ(img.at(15, 33), icon_light_grey);
    EXPECT_EQ(img.at(32, 16), icon_light_grey);
    EXPECT_EQ(img.at(0, 0), icon_background);
    EXPECT_EQ(img.at(47, 47), icon_background);
    EXPECT_GT(img.count(icon_red), 100u);
    EXPECT_EQ(img.count(icon_red, Rect{0, 10, 48, 30}), img.count(icon_red))
        << "red outside rows 10 to 39";
    EXPECT_EQ(img.histogram().size(), 3u) << "colours other than the icon's three";
}

} // namespace

TEST_F(WholeProgram, EveryWindowCarriesItsIcon)
{
    ASSERT_NO_FATAL_FAILURE(start({}));
    SaveOnFailure evidence(server);
    evidence.add("stderr", *prog);
    ASSERT_TRUE(click_centre(dpy, in_control(control_path::help)));
    Window help = wait_for_window(dpy, help_title);
    ASSERT_NE(help, 0u);

    const Icon control_icon = icon_of(dpy, control);
    const Icon analyser_icon = icon_of(dpy, analyser);
    const Icon help_icon = icon_of(dpy, help);
    const Icon scope_icon = icon_of(dpy, scope);
    for (const auto& [label, icon] : {std::pair{"icon-control", &control_icon},
                                      std::pair{"icon-analyser", &analyser_icon},
                                      std::pair{"icon-help", &help_icon},
                                      std::pair{"icon-scope", &scope_icon}})
        if (!icon->image.empty())
            evidence.add(label, icon->image);

    expect_spectrum_icon(control_icon, "control window");
    expect_spectrum_icon(analyser_icon, "analyser window");
    expect_spectrum_icon(help_icon, "help window");
    expect_scope_icon(scope_icon);
    EXPECT_TRUE(analyser_icon.image == control_icon.image);
    EXPECT_TRUE(help_icon.image == control_icon.image);

    ASSERT_TRUE(send_delete_window(dpy, control));
    ASSERT_TRUE(prog->wait_exit()) << prog->describe();
    EXPECT_EQ(prog->exit_status(), 0);
}
