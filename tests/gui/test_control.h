// Helpers shared by the tests of the control window and the run control:
// the program with its three windows laid out side by side, the widgets of
// the control window, the simulated device's request log and the looks of
// the toggles.
#pragma once

#include "gui/harness/GuiHarness.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace control_test {

using namespace harness;

// Widget windows below the control window's shell (see the harness).
namespace path = harness::control_path;

// Where the view windows are put so that none covers another.
constexpr int analyser_x = 0, analyser_y = 400;
constexpr int scope_x = 700, scope_y = 0;

inline std::vector<std::string> read_lines(const std::string& file)
{
    std::vector<std::string> lines;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

inline bool starts_with(const std::string& s, const std::string& prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

inline size_t count_prefix(const std::vector<std::string>& lines, const std::string& prefix)
{
    return size_t(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& l) { return starts_with(l, prefix); }));
}

// The eight lines a start prints for the sound device, written out from
// their definition: 16-bit stereo at the given rate and block length.
inline std::string device_report(const std::string& mode, int rate, int frames)
{
    std::ostringstream ms;
    ms << frames * 1000.0 / rate;  // six significant digits, as a stream prints
    std::ostringstream r;
    r << "driver: oss\n"
      << "name: /dev/dsp\n"
      << "type: device\n"
      << "mode: " << mode << "\n"
      << "format: signed 16 bits\n"
      << "channels: 2\n"
      << "rate: " << rate << " Hz\n"
      << "buffer size: " << frames << " frames, " << frames * 4 << " bytes, " << ms.str()
      << " ms\n";
    return r.str();
}

// Pixels of the label text ("yellow" foreground): a toggle drawn
// insensitive shows its text stippled, with fewer of them.
inline size_t text_pixels(Display* dpy, Window w)
{
    Image img = capture(dpy, w);
    return img.empty() ? 0 : img.count(colour(dpy, "yellow"));
}

// The running program with its three windows found and moved apart.
class Zentaphon {
public:
    Zentaphon(XServer& server, std::vector<std::string> args, Env env, Launch launch = {})
        : dpy_(server.display()), prog_(server, std::move(args), std::move(env), std::move(launch))
    {
    }

    // Waits for the three windows and moves the views off the control
    // window: below it the analyser, to its right the scope.
    bool open()
    {
        if (!prog_.started())
            return false;
        const MainWindows w = wait_for_main_windows(dpy_);
        control = w.control;
        analyser = w.analyser;
        scope = w.scope;
        if (!w.ok())
            return false;
        if (!place_window(dpy_, analyser, analyser_x, analyser_y) ||
            !place_window(dpy_, scope, scope_x, scope_y))
            return false;
        display0 = child_by_path(dpy_, analyser, {0, 0});
        drawing = child_by_path(dpy_, scope, {0, 0});
        // The control window, uncovered, has drawn its toggles again.
        return display0 && drawing && wait_until([&] {
            for (const auto& p : {path::soundcard, path::diskfile, path::analyser_run,
                                  path::scope_run, path::peak_search})
                if (text_pixels(dpy_, widget(p)) < 20)
                    return false;
            return true;
        });
    }

    Window widget(const std::vector<int>& p) const { return child_by_path(dpy_, control, p); }

    Program& prog() { return prog_; }

    Window control = 0, analyser = 0, scope = 0;
    Window display0 = 0, drawing = 0;

private:
    Display* dpy_;
    Program prog_;
};

// A toggle is set when its indicator shows the select colour.
inline bool is_set(Display* dpy, Window toggle)
{
    return shows_colour(dpy, toggle, colour(dpy, "red"));
}

// Clicks a toggle that acts at once and waits until it shows set; every
// event sent before it has then been handled and drawn.
inline bool set_and_wait(Display* dpy, Window toggle)
{
    return click_centre(dpy, toggle) && wait_until([&] { return is_set(dpy, toggle); });
}

inline bool same_image(const Image& a, const Image& b)
{
    return !a.empty() && a == b;
}

// A widget without the rim where the keyboard focus is shown, which moves
// to whatever was clicked last.
constexpr int focus_rim = 2;

inline Image face(Display* dpy, Window w)
{
    const int r = focus_rim;
    Image img = capture(dpy, w);
    if (img.width() <= 2 * r || img.height() <= 2 * r)
        return Image();
    return img.crop(Rect{r, r, img.width() - 2 * r, img.height() - 2 * r});
}

// The face once two looks in a row agree: a picture that is not in the
// middle of being drawn, to compare later ones with.
inline Image settled_face(Display* dpy, Window w)
{
    Image last = face(dpy, w);
    wait_until([&] {
        Image now = face(dpy, w);
        const bool same = same_image(now, last);
        last = now;
        return same;
    });
    return last;
}

}  // namespace control_test
