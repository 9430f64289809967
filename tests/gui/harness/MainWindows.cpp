// The program's three windows: waiting for them and placing them.
#include "gui/harness/GuiHarness.h"

namespace harness {

MainWindows wait_for_main_windows(Display* dpy, double timeout)
{
    MainWindows w;
    w.control = wait_for_window(dpy, control_title, timeout);
    if (!w.control)
        return w;
    w.analyser = wait_for_window(dpy, analyser_title, timeout);
    if (!w.analyser)
        return w;
    w.scope = wait_for_window(dpy, scope_title, timeout);
    return w;
}

bool place_window(Display* dpy, Window w, int x, int y, double timeout)
{
    const Window top = top_level_of(dpy, w);
    if (!top || !move_window(dpy, top, x, y))
        return false;
    // The move reaches the program as a configure event; it is done once
    // the window stands where it was put.
    return wait_until(
        [&] {
            const WindowInfo i = window_info(dpy, top);
            return i.root_x == x && i.root_y == y;
        },
        timeout);
}

}  // namespace harness
