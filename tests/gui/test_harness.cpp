// The GUI test harness itself, tried on windows this test makes, on small
// shell commands and on xev, so that a fault in a GUI test can be told from
// a fault in the harness.
#include "gui/harness/GuiHarness.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <unistd.h>

using namespace harness;

namespace {

// Waits for the next event of a type on a window of the test's connection.
bool next_event(Display* dpy, Window w, int type, XEvent& ev)
{
    return wait_until([&] {
        XSync(dpy, False);
        return XCheckTypedWindowEvent(dpy, w, type, &ev) == True;
    });
}

unsigned long alloc_pixel(Display* dpy, const char* name)
{
    XColor screen, exact;
    XAllocNamedColor(dpy, DefaultColormap(dpy, DefaultScreen(dpy)), name, &screen, &exact);
    return screen.pixel;
}

} // namespace

TEST(HarnessServer, StartsPrivateServersOfItsOwn)
{
    XServer a;
    ASSERT_TRUE(a.ok()) << a.error();
    EXPECT_EQ(a.error(), "");
    ASSERT_EQ(a.name().substr(0, 1), ":");
    const char* user = std::getenv("DISPLAY");
    if (user) {
        EXPECT_NE(a.name(), user);
    }
    Display* dpy = a.display();
    EXPECT_EQ(DisplayWidth(dpy, DefaultScreen(dpy)), 1600);
    EXPECT_EQ(DisplayHeight(dpy, DefaultScreen(dpy)), 1200);
    EXPECT_EQ(DefaultDepth(dpy, DefaultScreen(dpy)), 24);
    EXPECT_EQ(a.root(), DefaultRootWindow(dpy));
    EXPECT_TRUE(top_levels(dpy).empty() ||
                find_top_level(dpy, "Zentaphon: Control") == 0);

    XServer b(640, 480);
    ASSERT_TRUE(b.ok()) << b.error();
    EXPECT_NE(a.name(), b.name());
    EXPECT_EQ(DisplayWidth(b.display(), DefaultScreen(b.display())), 640);
}

TEST(HarnessServer, GoesAwayWithItsObject)
{
    std::string name;
    {
        XServer s;
        ASSERT_TRUE(s.ok()) << s.error();
        name = s.name();
    }
    // The lock file goes once the server has shut down.
    std::string lock = "/tmp/.X" + name.substr(1) + "-lock";
    EXPECT_TRUE(wait_until([&] { return access(lock.c_str(), F_OK) != 0; }));
}

TEST(HarnessColours, ResolvesNamesThroughTheServer)
{
    XServer s;
    ASSERT_TRUE(s.ok()) << s.error();
    Display* dpy = s.display();
    // Values of the X colour database.
    EXPECT_EQ(colour(dpy, "firebrick1"), 0xFF3030u);
    EXPECT_EQ(colour(dpy, "gray20"), 0x333333u);
    EXPECT_EQ(colour(dpy, "steelblue"), 0x4682B4u);
    EXPECT_EQ(colour(dpy, "red"), 0xFF0000u);
    EXPECT_EQ(colour(dpy, "#123456"), 0x123456u);
    EXPECT_EQ(colour(dpy, "no such colour"), no_colour);
    EXPECT_EQ(pixel_to_rgb(dpy, alloc_pixel(dpy, "yellow")), 0xFFFF00u);
}

TEST(HarnessImage, CountsCropsAndKeepsPngFiles)
{
    Image img(10, 6, 0x000000);
    for (int y = 1; y < 4; ++y)
        for (int x = 2; x < 7; ++x)
            img.set(x, y, 0xABCDEF);
    img.set(9, 5, 0x010203);
    EXPECT_EQ(img.count(0xABCDEF), 15u);
    EXPECT_EQ(img.count(0xABCDEF, Rect{0, 0, 4, 2}), 2u);
    EXPECT_EQ(img.count(0xABCDEF, Rect{-5, -5, 100, 100}), 15u);
    EXPECT_EQ(img.count_other(0x000000, img.bounds()), 16u);
    EXPECT_TRUE(img.contains(0x010203));
    EXPECT_FALSE(img.contains(0x010204));
    auto h = img.histogram();
    EXPECT_EQ(h.size(), 3u);
    EXPECT_EQ(h[0x000000], 44u);
    Image part = img.crop(Rect{2, 1, 5, 3});
    EXPECT_EQ(part.width(), 5);
    EXPECT_EQ(part.height(), 3);
    EXPECT_EQ(part.count(0xABCDEF), 15u);

    TempDir dir;
    ASSERT_TRUE(img.save_png(dir.file("a.png")));
    Image back = Image::load_png(dir.file("a.png"));
    ASSERT_EQ(back.width(), 10);
    ASSERT_EQ(back.height(), 6);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 10; ++x)
            ASSERT_EQ(back.at(x, y), img.at(x, y)) << x << "," << y;
    EXPECT_TRUE(Image::load_png(dir.file("missing.png")).empty());
    EXPECT_FALSE(Image().save_png(dir.file("empty.png")));
}

TEST(HarnessEvidence, NamesFilesAfterTheTest)
{
    TempDir dir;
    const char* old = std::getenv("ZEN_FAILURE_DIR");
    std::string saved = old ? old : "";
    setenv("ZEN_FAILURE_DIR", dir.path().c_str(), 1);
    EXPECT_EQ(failure_path("shot", "png"),
              dir.path() + "/HarnessEvidence.NamesFilesAfterTheTest-shot.png");
    std::string path = save_failure_image(Image(3, 2, 0x00FF00), "shot");
    EXPECT_EQ(path, dir.path() + "/HarnessEvidence.NamesFilesAfterTheTest-shot.png");
    EXPECT_EQ(Image::load_png(path).count(0x00FF00), 6u);
    {
        XServer s;
        ASSERT_TRUE(s.ok()) << s.error();
        SaveOnFailure evidence(s);
        evidence.add("img", Image(1, 1));
    }
    // A passing test leaves nothing but what it saved itself.
    int files = 0;
    if (DIR* d = opendir(dir.path().c_str())) {
        while (dirent* e = readdir(d))
            files += e->d_name[0] != '.';
        closedir(d);
    }
    EXPECT_EQ(files, 1);
    if (old)
        setenv("ZEN_FAILURE_DIR", saved.c_str(), 1);
    else
        unsetenv("ZEN_FAILURE_DIR");
}

// A top-level with three children, the first with a child of its own,
// made and shown by the test's own connection.
class HarnessWindows : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.ok()) << server.error();
        dpy = server.display();
        XSetWindowAttributes attrs{};
        attrs.background_pixel = alloc_pixel(dpy, "firebrick1");
        attrs.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                           StructureNotifyMask | VisibilityChangeMask | KeyPressMask;
        top = XCreateWindow(dpy, server.root(), 50, 60, 200, 100, 0, CopyFromParent, InputOutput,
                            CopyFromParent, CWBackPixel | CWEventMask, &attrs);
        XStoreName(dpy, top, "Harness Probe");
        unsigned long grey = alloc_pixel(dpy, "gray20");
        // Last to first, as Xt realizes the children of a composite.
        kids[2] = XCreateSimpleWindow(dpy, top, 100, 10, 50, 20, 0, 0, grey);
        kids[1] = XCreateSimpleWindow(dpy, top, 50, 10, 40, 20, 1, 0, grey);
        kids[0] = XCreateSimpleWindow(dpy, top, 10, 10, 30, 20, 0, 0, grey);
        grandchild = XCreateSimpleWindow(dpy, kids[0], 2, 3, 5, 6, 0, 0,
                                         alloc_pixel(dpy, "yellow"));
        XMapSubwindows(dpy, kids[0]);
        XMapSubwindows(dpy, top);
        XMapWindow(dpy, top);
        XSync(dpy, False);
    }

    XServer server;
    Display* dpy = nullptr;
    Window top = 0, grandchild = 0;
    Window kids[3] = {0, 0, 0};
};

TEST_F(HarnessWindows, FindsWindowsByTitleAndPath)
{
    EXPECT_EQ(wait_for_window(dpy, "Harness Probe"), top);
    EXPECT_EQ(wait_for_window(dpy, "Harness", 0.2), 0u);
    EXPECT_EQ(window_name(dpy, top), "Harness Probe");
    EXPECT_EQ(child_by_path(dpy, top, {}), top);
    EXPECT_EQ(child_by_path(dpy, top, {0}), kids[0]);
    EXPECT_EQ(child_by_path(dpy, top, {1}), kids[1]);
    EXPECT_EQ(child_by_path(dpy, top, {-1}), kids[2]);
    EXPECT_EQ(child_by_path(dpy, top, {0, 0}), grandchild);
    EXPECT_EQ(child_by_path(dpy, top, {3}), 0u);
    EXPECT_EQ(child_by_path(dpy, top, {1, 0}), 0u);
    EXPECT_EQ(child_by_path(dpy, server.root(), {0}), top);
    EXPECT_EQ(children(dpy, top), (std::vector<Window>{kids[2], kids[1], kids[0]}));
    EXPECT_EQ(widget_children(dpy, top), (std::vector<Window>{kids[0], kids[1], kids[2]}));

    WindowInfo info = window_info(dpy, grandchild);
    EXPECT_EQ(info.x, 2);
    EXPECT_EQ(info.y, 3);
    EXPECT_EQ(info.width, 5);
    EXPECT_EQ(info.height, 6);
    EXPECT_EQ(info.root_x, 50 + 10 + 2);
    EXPECT_EQ(info.root_y, 60 + 10 + 3);
    EXPECT_EQ(info.map_state, IsViewable);
    EXPECT_EQ(window_info(dpy, kids[1]).border, 1);

    std::vector<WindowInfo> tree = list_tree(dpy, top);
    ASSERT_EQ(tree.size(), 5u);
    EXPECT_EQ(tree[0].window, top);
    EXPECT_TRUE(tree[0].path.empty());
    EXPECT_EQ(tree[2].window, grandchild);
    EXPECT_EQ(tree[2].path, (std::vector<int>{0, 0}));
    EXPECT_EQ(tree[4].path, (std::vector<int>{2}));

    EXPECT_EQ(find_descendant(dpy, top, [](const WindowInfo& w) { return w.width == 40; }),
              kids[1]);
    EXPECT_EQ(find_descendant(dpy, top, [](const WindowInfo& w) { return w.width == 41; }), 0u);
    EXPECT_EQ(find_descendants(dpy, top, [](const WindowInfo& w) { return w.height == 20; }).size(),
              3u);

    std::string dump = dump_tree(dpy, top);
    EXPECT_NE(dump.find("200x100+50+60"), std::string::npos) << dump;
    EXPECT_NE(dump.find("\"Harness Probe\""), std::string::npos) << dump;
    EXPECT_NE(dump.find("    [0,0] "), std::string::npos) << dump;

    XUnmapWindow(dpy, top);
    EXPECT_TRUE(wait_for_window_gone(dpy, "Harness Probe"));
    EXPECT_TRUE(wait_unviewable(dpy, kids[0]));
    EXPECT_FALSE(is_viewable(dpy, top));
    EXPECT_EQ(find_top_level(dpy, "Harness Probe"), 0u);
    EXPECT_FALSE(is_viewable(dpy, 0x7fffff));
    EXPECT_EQ(window_info(dpy, 0x7fffff).window, 0u);
}

TEST_F(HarnessWindows, ReadsPixels)
{
    ASSERT_NE(wait_for_window(dpy, "Harness Probe"), 0u);
    const uint32_t red = colour(dpy, "firebrick1"), grey = colour(dpy, "gray20"),
                   yellow = colour(dpy, "yellow");
    Image img;
    ASSERT_TRUE(wait_until([&] {
        img = capture(dpy, top);
        return img.count(yellow) == 30;
    }));
    SaveOnFailure evidence(server);
    evidence.add("probe", img);
    EXPECT_EQ(img.width(), 200);
    EXPECT_EQ(img.height(), 100);
    // Three grey children (one with a black border) and the yellow grandchild.
    EXPECT_EQ(img.count(grey), size_t(30 * 20 - 30 + 40 * 20 + 50 * 20));
    EXPECT_EQ(img.count(0x000000), size_t(42 * 22 - 40 * 20));
    EXPECT_EQ(img.count(red), size_t(200 * 100 - 30 * 20 - 42 * 22 - 50 * 20));
    EXPECT_EQ(img.at(0, 0), red);
    EXPECT_EQ(img.at(12, 13), yellow);
    EXPECT_EQ(img.at(10, 10), grey);

    Image part = capture(dpy, top, Rect{0, 0, 20, 20});
    EXPECT_EQ(part.width(), 20);
    EXPECT_EQ(part.count(yellow), 30u);
    EXPECT_TRUE(shows_colour(dpy, kids[0], yellow));
    EXPECT_FALSE(shows_colour(dpy, kids[2], yellow));

    XUnmapWindow(dpy, top);
    XSync(dpy, False);
    EXPECT_TRUE(capture(dpy, top).empty());
    EXPECT_TRUE(capture(dpy, 0x7fffff).empty());
}

TEST_F(HarnessWindows, ClicksDragsAndTypes)
{
    ASSERT_NE(wait_for_window(dpy, "Harness Probe"), 0u);
    XEvent ev;
    ASSERT_TRUE(next_event(dpy, top, MapNotify, ev));

    ASSERT_TRUE(click(dpy, top, 170, 80));
    ASSERT_TRUE(next_event(dpy, top, ButtonPress, ev));
    EXPECT_EQ(ev.xbutton.x, 170);
    EXPECT_EQ(ev.xbutton.y, 80);
    EXPECT_EQ(ev.xbutton.button, 1u);
    ASSERT_TRUE(next_event(dpy, top, ButtonRelease, ev));
    EXPECT_EQ(ev.xbutton.x, 170);

    // Coordinates are the window's own, also for a child window.
    XSelectInput(dpy, kids[2], ButtonPressMask | ButtonReleaseMask);
    ASSERT_TRUE(click(dpy, kids[2], 5, 6, 3));
    ASSERT_TRUE(next_event(dpy, kids[2], ButtonPress, ev));
    EXPECT_EQ(ev.xbutton.x, 5);
    EXPECT_EQ(ev.xbutton.y, 6);
    EXPECT_EQ(ev.xbutton.button, 3u);
    ASSERT_TRUE(next_event(dpy, kids[2], ButtonRelease, ev));

    XSync(dpy, False);
    while (XCheckWindowEvent(dpy, top, PointerMotionMask, &ev)) {
    }
    ASSERT_TRUE(drag(dpy, top, 10, 90, 190, 50, 4));
    ASSERT_TRUE(next_event(dpy, top, ButtonPress, ev));
    EXPECT_EQ(ev.xbutton.x, 10);
    EXPECT_EQ(ev.xbutton.y, 90);
    // The pointer first moves to the start without a button, then moves
    // in four steps with button 1 down.
    int held = 0;
    XEvent last{};
    while (XCheckTypedWindowEvent(dpy, top, MotionNotify, &ev)) {
        held += (ev.xmotion.state & Button1Mask) != 0;
        last = ev;
    }
    EXPECT_GE(held, 4);
    EXPECT_TRUE(last.xmotion.state & Button1Mask);
    EXPECT_EQ(last.xmotion.x, 190);
    EXPECT_EQ(last.xmotion.y, 50);
    ASSERT_TRUE(next_event(dpy, top, ButtonRelease, ev));
    EXPECT_EQ(ev.xbutton.x, 190);
    EXPECT_EQ(ev.xbutton.y, 50);

    ASSERT_TRUE(move_pointer(dpy, top, 100, 90));
    ASSERT_TRUE(key(dpy, XK_a));
    ASSERT_TRUE(next_event(dpy, top, KeyPress, ev));
    EXPECT_EQ(XLookupKeysym(&ev.xkey, 0), KeySym(XK_a));

    EXPECT_FALSE(click(dpy, 0x7fffff, 1, 1));
}

TEST_F(HarnessWindows, ActsAsTheWindowManager)
{
    ASSERT_NE(wait_for_window(dpy, "Harness Probe"), 0u);
    XEvent ev;
    ASSERT_TRUE(next_event(dpy, top, MapNotify, ev));

    ASSERT_TRUE(send_delete_window(dpy, top));
    ASSERT_TRUE(next_event(dpy, top, ClientMessage, ev));
    EXPECT_EQ(ev.xclient.message_type, XInternAtom(dpy, "WM_PROTOCOLS", False));
    EXPECT_EQ(ev.xclient.format, 32);
    EXPECT_EQ(Atom(ev.xclient.data.l[0]), XInternAtom(dpy, "WM_DELETE_WINDOW", False));
    EXPECT_EQ(ev.xclient.data.l[1], long(CurrentTime));
    EXPECT_TRUE(ev.xclient.send_event);

    ASSERT_TRUE(iconify(dpy, top));
    ASSERT_TRUE(next_event(dpy, top, UnmapNotify, ev));
    EXPECT_FALSE(is_viewable(dpy, top));
    Atom wm_state = XInternAtom(dpy, "WM_STATE", False), type;
    int format;
    unsigned long n, after;
    unsigned char* data = nullptr;
    ASSERT_EQ(XGetWindowProperty(dpy, top, wm_state, 0, 2, False, wm_state, &type, &format, &n,
                                 &after, &data),
              Success);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(reinterpret_cast<long*>(data)[0], long(IconicState));
    XFree(data);
    ASSERT_TRUE(deiconify(dpy, top));
    ASSERT_TRUE(next_event(dpy, top, MapNotify, ev));
    EXPECT_TRUE(wait_viewable(dpy, top));

    while (XCheckTypedWindowEvent(dpy, top, VisibilityNotify, &ev)) {
    }
    {
        Cover cover(dpy, kids[1]);
        ASSERT_TRUE(cover.ok());
        WindowInfo c = window_info(dpy, cover.window());
        EXPECT_EQ(c.root_x, 50 + 50);
        EXPECT_EQ(c.width, 40 + 2);
        // Covering a child leaves the top-level partly visible.
        ASSERT_TRUE(next_event(dpy, top, VisibilityNotify, ev));
        EXPECT_EQ(ev.xvisibility.state, VisibilityPartiallyObscured);
    }
    ASSERT_TRUE(next_event(dpy, top, VisibilityNotify, ev));
    EXPECT_EQ(ev.xvisibility.state, VisibilityUnobscured);

    Cover cover(dpy, top, 5);
    ASSERT_TRUE(cover.ok());
    ASSERT_TRUE(next_event(dpy, top, VisibilityNotify, ev));
    EXPECT_EQ(ev.xvisibility.state, VisibilityFullyObscured);
    cover.remove();
    EXPECT_EQ(cover.window(), 0u);
    ASSERT_TRUE(next_event(dpy, top, VisibilityNotify, ev));
    EXPECT_EQ(ev.xvisibility.state, VisibilityUnobscured);
}

TEST_F(HarnessWindows, RaisesAndMovesTopLevels)
{
    ASSERT_NE(wait_for_window(dpy, "Harness Probe"), 0u);
    EXPECT_EQ(top_level_of(dpy, grandchild), top);
    EXPECT_EQ(top_level_of(dpy, top), top);
    EXPECT_EQ(top_level_of(dpy, 0x7fffff), 0u);

    // A second top-level over the first takes the clicks and the pixels.
    const uint32_t yellow = colour(dpy, "yellow");
    Window over = XCreateSimpleWindow(dpy, server.root(), 0, 0, 400, 300, 0, 0,
                                      alloc_pixel(dpy, "steelblue"));
    XMapWindow(dpy, over);
    ASSERT_TRUE(wait_viewable(dpy, over));
    EXPECT_EQ(top_levels(dpy).back(), over);
    EXPECT_TRUE(wait_until([&] { return !shows_colour(dpy, grandchild, yellow); }));

    ASSERT_TRUE(raise_window(dpy, grandchild));
    EXPECT_EQ(top_levels(dpy).back(), top);
    EXPECT_TRUE(wait_until([&] { return shows_colour(dpy, grandchild, yellow); }));

    ASSERT_TRUE(move_window(dpy, kids[0], 700, 500));
    EXPECT_TRUE(wait_until([&] { return window_info(dpy, top).root_x == 700; }));
    EXPECT_EQ(window_info(dpy, grandchild).root_y, 500 + 10 + 3);
    EXPECT_FALSE(raise_window(dpy, 0x7fffff));
}

TEST(HarnessProgram, CapturesOutputAndExitStatus)
{
    XServer s;
    ASSERT_TRUE(s.ok()) << s.error();
    Program p(s, {"-c", "printf 'one\\n' >&2; printf out; printf 'two\\n' >&2; exit 3"}, {},
              Launch{"/bin/sh", "", ""});
    ASSERT_TRUE(p.started()) << p.error();
    ASSERT_TRUE(p.wait_exit());
    EXPECT_TRUE(p.exited());
    EXPECT_FALSE(p.signalled());
    EXPECT_EQ(p.exit_status(), 3);
    EXPECT_EQ(p.describe(), "exit status 3");
    EXPECT_EQ(p.stderr_text(), "one\ntwo\n");
    EXPECT_EQ(p.stdout_text(), "out");
    EXPECT_FALSE(p.running());
}

TEST(HarnessProgram, GivesThePrivateDisplayAndAQuietEnvironment)
{
    XServer s;
    ASSERT_TRUE(s.ok()) << s.error();
    setenv("XENVIRONMENT", "/nonexistent/resources", 1);
    setenv("XAPPLRESDIR", "/nonexistent", 1);
    Program p(s,
              {"-c", "printf '%s|%s|%s|%s|%s|%s' \"$DISPLAY\" \"$HOME\" \"$(pwd)\" "
                     "\"${XENVIRONMENT-unset}\" \"${XAPPLRESDIR-unset}\" \"$EXTRA\" >&2; "
                     "tr '\\0' ' ' </proc/$$/cmdline"},
              {{"EXTRA", "yes"}, {"XAPPLRESDIR", "/given"}}, Launch{"/bin/sh", "my-name", ""});
    unsetenv("XENVIRONMENT");
    unsetenv("XAPPLRESDIR");
    ASSERT_TRUE(p.started()) << p.error();
    ASSERT_TRUE(p.wait_exit());
    EXPECT_EQ(p.exit_status(), 0);
    EXPECT_EQ(p.stderr_text(),
              s.name() + "|" + p.dir() + "|" + p.dir() + "|unset|/given|yes");
    EXPECT_EQ(p.stdout_text().substr(0, 8), "my-name ");
}

TEST(HarnessProgram, WaitsWithTimeoutsAndKills)
{
    XServer s;
    ASSERT_TRUE(s.ok()) << s.error();
    Program p(s, {"-c", "sleep 0.3; echo ready >&2; exec sleep 600"}, {},
              Launch{"/bin/sh", "", ""});
    ASSERT_TRUE(p.started()) << p.error();
    EXPECT_TRUE(p.running());
    EXPECT_EQ(p.describe(), "running");
    EXPECT_TRUE(p.wait_stderr("ready"));
    EXPECT_FALSE(p.wait_exit(0.2));
    EXPECT_EQ(p.exit_status(), -1);
    p.kill(SIGTERM);
    EXPECT_FALSE(p.running());
    EXPECT_TRUE(p.signalled());
    EXPECT_EQ(p.term_signal(), SIGTERM);
    EXPECT_EQ(p.describe(), "killed by signal 15");

    Program missing(s, {}, {}, Launch{"/nonexistent/program", "", ""});
    EXPECT_FALSE(missing.started());
    EXPECT_NE(missing.error().find("/nonexistent/program"), std::string::npos);
}

TEST(HarnessProgram, DrivesARealClient)
{
    XServer s;
    ASSERT_TRUE(s.ok()) << s.error();
    Display* dpy = s.display();
    Program xev(s, {"-geometry", "300x200+20+30"}, {}, Launch{"/usr/bin/xev", "", ""});
    if (!xev.started())
        GTEST_SKIP() << "xev is not installed: " << xev.error();
    SaveOnFailure evidence(s);
    evidence.add("xev", xev);
    Window w = wait_for_window(dpy, "Event Tester");
    ASSERT_NE(w, 0u) << xev.describe();
    ASSERT_TRUE(click(dpy, w, 250, 150));
    EXPECT_TRUE(wait_until([&] {
        return xev.stdout_text().find("ButtonRelease event") != std::string::npos;
    }));
    std::string out = xev.stdout_text();
    size_t at = out.find("ButtonPress event");
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(out.find("(250,150)", at), std::string::npos);
    ASSERT_TRUE(send_delete_window(dpy, w));
    ASSERT_TRUE(xev.wait_exit()) << xev.describe();
    EXPECT_EQ(xev.exit_status(), 0);
}

TEST(HarnessForked, RunsCodeInAChildOnThePrivateDisplay)
{
    XServer s;
    ASSERT_TRUE(s.ok()) << s.error();
    ChildResult r = run_forked(
        s,
        [](std::string& out) {
            Display* d = XOpenDisplay(nullptr);
            out = std::string(getenv("DISPLAY")) + "|" + (d ? "open" : "closed") + "|" +
                  getenv("EXTRA");
            std::fprintf(stderr, "to stderr\n");
        },
        {{"EXTRA", "x"}});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.output, s.name() + "|open|x");
    EXPECT_EQ(r.err, "to stderr\n");

    r = run_forked(s, [](std::string& out) {
        out = "lost";
        std::exit(4);
    });
    EXPECT_EQ(r.exit_status, 4);
    EXPECT_EQ(r.output, "");

    r = run_forked(s, [](std::string&) { sleep(600); }, {}, 0.3);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.exit_status, -1);
    EXPECT_EQ(r.term_signal, SIGKILL);
}
