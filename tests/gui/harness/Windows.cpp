// Finding windows, synthetic input and the window manager's part.
#include "gui/harness/GuiHarness.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

namespace harness {

namespace {

bool has_xtest(Display* dpy)
{
    int ev, err, major, minor;
    return XTestQueryExtension(dpy, &ev, &err, &major, &minor);
}

bool to_root(Display* dpy, Window w, int x, int y, int& rx, int& ry)
{
    XErrorTrap trap(dpy);
    Window child;
    Bool same = XTranslateCoordinates(dpy, w, DefaultRootWindow(dpy), x, y, &rx, &ry, &child);
    return !trap.failed() && same;
}

void walk(Display* dpy, Window w, std::vector<int>& path, std::vector<WindowInfo>& out)
{
    WindowInfo info = window_info(dpy, w);
    if (info.window == 0)
        return;
    info.path = path;
    out.push_back(info);
    std::vector<Window> kids = widget_children(dpy, w);
    for (size_t i = 0; i < kids.size(); ++i) {
        path.push_back(int(i));
        walk(dpy, kids[i], path, out);
        path.pop_back();
    }
}

void set_wm_state(Display* dpy, Window w, long state)
{
    Atom wm_state = XInternAtom(dpy, "WM_STATE", False);
    long data[2] = {state, long(None)};
    XChangeProperty(dpy, w, wm_state, wm_state, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(data), 2);
}

}  // namespace

bool wait_until(const std::function<bool()>& cond, double timeout)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(long(timeout * 1000));
    for (;;) {
        if (cond())
            return true;
        if (Clock::now() >= deadline)
            return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string window_name(Display* dpy, Window w)
{
    XErrorTrap trap(dpy);
    XTextProperty prop{};
    std::string name;
    if (XGetWMName(dpy, w, &prop) && prop.value) {
        name.assign(reinterpret_cast<const char*>(prop.value), prop.nitems);
        XFree(prop.value);
    }
    return trap.failed() ? std::string() : name;
}

std::vector<Window> children(Display* dpy, Window w)
{
    XErrorTrap trap(dpy);
    Window root, parent, *kids = nullptr;
    unsigned n = 0;
    std::vector<Window> out;
    if (XQueryTree(dpy, w, &root, &parent, &kids, &n)) {
        out.assign(kids, kids + n);
        if (kids)
            XFree(kids);
    }
    if (trap.failed())
        out.clear();
    return out;
}

std::vector<Window> widget_children(Display* dpy, Window w)
{
    std::vector<Window> out = children(dpy, w);
    std::reverse(out.begin(), out.end());
    return out;
}

std::vector<Window> top_levels(Display* dpy)
{
    return children(dpy, DefaultRootWindow(dpy));
}

bool is_viewable(Display* dpy, Window w)
{
    XErrorTrap trap(dpy);
    XWindowAttributes a;
    if (!XGetWindowAttributes(dpy, w, &a) || trap.failed())
        return false;
    return a.map_state == IsViewable;
}

Window find_top_level(Display* dpy, const std::string& title)
{
    std::vector<Window> tops = top_levels(dpy);
    for (auto it = tops.rbegin(); it != tops.rend(); ++it)
        if (is_viewable(dpy, *it) && window_name(dpy, *it) == title)
            return *it;
    return 0;
}

Window wait_for_window(Display* dpy, const std::string& title, double timeout)
{
    Window found = 0;
    wait_until([&] { return (found = find_top_level(dpy, title)) != 0; }, timeout);
    return found;
}

bool wait_for_window_gone(Display* dpy, const std::string& title, double timeout)
{
    return wait_until([&] { return find_top_level(dpy, title) == 0; }, timeout);
}

bool wait_viewable(Display* dpy, Window w, double timeout)
{
    return wait_until([&] { return is_viewable(dpy, w); }, timeout);
}

bool wait_unviewable(Display* dpy, Window w, double timeout)
{
    return wait_until([&] { return !is_viewable(dpy, w); }, timeout);
}

Window child_by_path(Display* dpy, Window w, const std::vector<int>& path)
{
    for (int index : path) {
        std::vector<Window> kids = widget_children(dpy, w);
        int n = int(kids.size());
        int i = index < 0 ? n + index : index;
        if (i < 0 || i >= n)
            return 0;
        w = kids[size_t(i)];
    }
    return w;
}

WindowInfo window_info(Display* dpy, Window w)
{
    WindowInfo info;
    XErrorTrap trap(dpy);
    XWindowAttributes a;
    if (!XGetWindowAttributes(dpy, w, &a) || trap.failed())
        return info;
    Window root, parent, *kids = nullptr;
    unsigned n = 0;
    if (XQueryTree(dpy, w, &root, &parent, &kids, &n) && kids)
        XFree(kids);
    int rx = 0, ry = 0;
    to_root(dpy, w, 0, 0, rx, ry);
    if (trap.failed())
        return info;
    info.window = w;
    info.parent = parent;
    info.x = a.x;
    info.y = a.y;
    info.root_x = rx;
    info.root_y = ry;
    info.width = a.width;
    info.height = a.height;
    info.border = a.border_width;
    info.map_state = a.map_state;
    info.input_only = a.c_class == InputOnly;
    info.name = window_name(dpy, w);
    return info;
}

std::vector<WindowInfo> list_tree(Display* dpy, Window w)
{
    std::vector<WindowInfo> out;
    std::vector<int> path;
    walk(dpy, w, path, out);
    return out;
}

std::string dump_tree(Display* dpy, Window w)
{
    static const char* const states[] = {"unmapped", "unviewable", "viewable"};
    std::ostringstream text;
    for (const WindowInfo& info : list_tree(dpy, w)) {
        text << std::string(info.path.size() * 2, ' ') << "[";
        for (size_t i = 0; i < info.path.size(); ++i)
            text << (i ? "," : "") << info.path[i];
        char line[160];
        std::snprintf(line, sizeof line, "] 0x%lx %dx%d+%d+%d root %d,%d border %d %s%s",
                      info.window, info.width, info.height, info.x, info.y, info.root_x,
                      info.root_y, info.border,
                      info.map_state >= 0 && info.map_state <= 2 ? states[info.map_state] : "?",
                      info.input_only ? " input-only" : "");
        text << line;
        if (!info.name.empty())
            text << " \"" << info.name << "\"";
        text << "\n";
    }
    return text.str();
}

std::vector<WindowInfo> find_descendants(Display* dpy, Window w,
                                         const std::function<bool(const WindowInfo&)>& pred)
{
    std::vector<WindowInfo> out;
    for (WindowInfo& info : list_tree(dpy, w))
        if (pred(info))
            out.push_back(std::move(info));
    return out;
}

Window find_descendant(Display* dpy, Window w, const std::function<bool(const WindowInfo&)>& pred)
{
    for (const WindowInfo& info : list_tree(dpy, w))
        if (pred(info))
            return info.window;
    return 0;
}

bool move_pointer(Display* dpy, Window w, int x, int y)
{
    int rx, ry;
    if (!has_xtest(dpy) || !to_root(dpy, w, x, y, rx, ry))
        return false;
    XTestFakeMotionEvent(dpy, DefaultScreen(dpy), rx, ry, CurrentTime);
    XSync(dpy, False);
    return true;
}

bool press(Display* dpy, Window w, int x, int y, unsigned button)
{
    if (!move_pointer(dpy, w, x, y))
        return false;
    XTestFakeButtonEvent(dpy, button, True, CurrentTime);
    XSync(dpy, False);
    return true;
}

bool release(Display* dpy, Window w, int x, int y, unsigned button)
{
    if (!move_pointer(dpy, w, x, y))
        return false;
    XTestFakeButtonEvent(dpy, button, False, CurrentTime);
    XSync(dpy, False);
    return true;
}

bool click(Display* dpy, Window w, int x, int y, unsigned button)
{
    return press(dpy, w, x, y, button) && release(dpy, w, x, y, button);
}

bool click_centre(Display* dpy, Window w)
{
    WindowInfo info = window_info(dpy, w);
    if (info.window == 0)
        return false;
    return click(dpy, w, info.width / 2, info.height / 2);
}

bool drag(Display* dpy, Window w, int x0, int y0, int x1, int y1, int steps, unsigned button)
{
    if (!press(dpy, w, x0, y0, button))
        return false;
    if (steps < 1)
        steps = 1;
    for (int i = 1; i <= steps; ++i) {
        int x = x0 + (x1 - x0) * i / steps;
        int y = y0 + (y1 - y0) * i / steps;
        if (!move_pointer(dpy, w, x, y)) {
            XTestFakeButtonEvent(dpy, button, False, CurrentTime);
            XSync(dpy, False);
            return false;
        }
    }
    return release(dpy, w, x1, y1, button);
}

bool key(Display* dpy, unsigned long keysym)
{
    if (!has_xtest(dpy))
        return false;
    KeyCode code = XKeysymToKeycode(dpy, KeySym(keysym));
    if (code == 0)
        return false;
    XTestFakeKeyEvent(dpy, code, True, CurrentTime);
    XSync(dpy, False);
    XTestFakeKeyEvent(dpy, code, False, CurrentTime);
    XSync(dpy, False);
    return true;
}

bool send_delete_window(Display* dpy, Window shell)
{
    XErrorTrap trap(dpy);
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = shell;
    ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = long(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    Status sent = XSendEvent(dpy, shell, False, NoEventMask, &ev);
    return sent && !trap.failed();
}

bool iconify(Display* dpy, Window top)
{
    XErrorTrap trap(dpy);
    XUnmapWindow(dpy, top);
    set_wm_state(dpy, top, IconicState);
    return !trap.failed();
}

bool deiconify(Display* dpy, Window top)
{
    XErrorTrap trap(dpy);
    set_wm_state(dpy, top, NormalState);
    XMapWindow(dpy, top);
    return !trap.failed();
}

Window top_level_of(Display* dpy, Window w)
{
    const Window root = DefaultRootWindow(dpy);
    for (;;) {
        XErrorTrap trap(dpy);
        Window r, parent, *kids = nullptr;
        unsigned n = 0;
        Status ok = XQueryTree(dpy, w, &r, &parent, &kids, &n);
        if (kids)
            XFree(kids);
        if (!ok || trap.failed())
            return 0;
        if (parent == root || parent == 0)
            return w;
        w = parent;
    }
}

bool raise_window(Display* dpy, Window w)
{
    Window top = top_level_of(dpy, w);
    if (top == 0)
        return false;
    XErrorTrap trap(dpy);
    XRaiseWindow(dpy, top);
    return !trap.failed();
}

bool move_window(Display* dpy, Window w, int x, int y)
{
    Window top = top_level_of(dpy, w);
    if (top == 0)
        return false;
    XErrorTrap trap(dpy);
    XMoveWindow(dpy, top, x, y);
    return !trap.failed();
}

Cover::Cover(Display* dpy, Window target, int margin) : dpy_(dpy)
{
    WindowInfo info = window_info(dpy, target);
    if (info.window == 0)
        return;
    XErrorTrap trap(dpy);
    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.background_pixel = BlackPixel(dpy, DefaultScreen(dpy));
    const int edge = info.border + margin;
    window_ = XCreateWindow(dpy, DefaultRootWindow(dpy), info.root_x - edge, info.root_y - edge,
                            unsigned(info.width + 2 * edge), unsigned(info.height + 2 * edge), 0,
                            CopyFromParent, InputOutput, CopyFromParent,
                            CWOverrideRedirect | CWBackPixel, &attrs);
    XMapRaised(dpy, window_);
    if (trap.failed()) {
        window_ = 0;
        return;
    }
    wait_viewable(dpy, window_, default_timeout);
}

Cover::~Cover()
{
    remove();
}

void Cover::remove()
{
    if (!window_)
        return;
    XErrorTrap trap(dpy_);
    XDestroyWindow(dpy_, window_);
    trap.failed();
    window_ = 0;
}

}  // namespace harness
