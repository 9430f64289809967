// xdrive: a small remote control for an X display without a window manager.
//
//   xdrive wait TITLE [SECONDS]        wait until a top-level window with
//                                      that title is viewable
//   xdrive size TITLE                  print its width and height
//   xdrive move TITLE X Y              move it to X, Y on the screen
//   xdrive click TITLE PATH [X Y]      click mouse button 1 in a widget
//                                      window of it, at its centre or at
//                                      X, Y within it
//   xdrive shot X Y WIDTH HEIGHT FILE  write that part of the screen as PNG
//
// PATH is a list of child indices, such as 0,0,1,0,1: at each level the
// children in the order the toolkit created them (the reverse of the
// server's stacking order, since Xt realizes them last to first). The
// display is $DISPLAY. Exit status 0 on success, 1 with a message on
// standard error otherwise.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <png.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

Display* dpy;

[[noreturn]] void fail(const std::string& message)
{
    std::fprintf(stderr, "xdrive: %s\n", message.c_str());
    std::exit(1);
}

int number(const char* text)
{
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0')
        fail(std::string("not a number: ") + text);
    return static_cast<int>(v);
}

// Children in creation order: XQueryTree lists them bottom to top.
std::vector<Window> widget_children(Window w)
{
    Window root, parent, *kids = nullptr;
    unsigned int n = 0;
    std::vector<Window> out;
    if (XQueryTree(dpy, w, &root, &parent, &kids, &n)) {
        for (unsigned int i = n; i-- > 0;)
            out.push_back(kids[i]);
        XFree(kids);
    }
    return out;
}

bool viewable(Window w)
{
    XWindowAttributes a;
    return XGetWindowAttributes(dpy, w, &a) && a.map_state == IsViewable;
}

Window find_top_level(const std::string& title)
{
    for (Window w : widget_children(DefaultRootWindow(dpy))) {
        char* name = nullptr;
        bool match = false;
        if (XFetchName(dpy, w, &name) && name) {
            match = title == name;
            XFree(name);
        }
        if (match && viewable(w))
            return w;
    }
    return 0;
}

Window wait_for(const std::string& title, double seconds)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (Window w = find_top_level(title))
            return w;
        if (std::chrono::steady_clock::now() > until)
            fail("no window \"" + title + "\"");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

Window by_path(Window w, const std::string& path)
{
    size_t at = 0;
    while (at < path.size()) {
        size_t comma = path.find(',', at);
        std::string part = path.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        int i = number(part.c_str());
        std::vector<Window> kids = widget_children(w);
        if (i < 0 || i >= static_cast<int>(kids.size()))
            fail("no widget window at " + path);
        w = kids[i];
        at = comma == std::string::npos ? path.size() : comma + 1;
    }
    return w;
}

void pointer_to(Window w, int x, int y)
{
    int rx, ry;
    Window child;
    XTranslateCoordinates(dpy, w, DefaultRootWindow(dpy), x, y, &rx, &ry, &child);
    XTestFakeMotionEvent(dpy, DefaultScreen(dpy), rx, ry, CurrentTime);
    XSync(dpy, False);
}

void button(bool down)
{
    XTestFakeButtonEvent(dpy, 1, down, CurrentTime);
    XSync(dpy, False);
}

void check_xtest()
{
    int event_base, error_base, major, minor;
    if (!XTestQueryExtension(dpy, &event_base, &error_base, &major, &minor))
        fail("the display has no XTEST extension");
}

void click(Window w, int x, int y)
{
    check_xtest();
    pointer_to(w, x, y);
    button(true);
    button(false);
}

void shot(int x, int y, int width, int height, const char* file)
{
    XImage* img = XGetImage(dpy, DefaultRootWindow(dpy), x, y, width, height, AllPlanes, ZPixmap);
    if (!img)
        fail("cannot read the screen");
    Visual* visual = DefaultVisual(dpy, DefaultScreen(dpy));
    if (visual->c_class != TrueColor)
        fail("the screen is not TrueColor");
    auto channel = [](unsigned long pixel, unsigned long mask) {
        int shift = 0;
        while (mask && !(mask & 1)) {
            mask >>= 1;
            ++shift;
        }
        return static_cast<png_byte>(((pixel >> shift) & mask) * 255 / (mask ? mask : 1));
    };
    std::vector<png_byte> rows(static_cast<size_t>(width) * height * 3);
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c) {
            unsigned long p = XGetPixel(img, c, r);
            png_byte* out = &rows[(static_cast<size_t>(r) * width + c) * 3];
            out[0] = channel(p, visual->red_mask);
            out[1] = channel(p, visual->green_mask);
            out[2] = channel(p, visual->blue_mask);
        }
    XDestroyImage(img);

    FILE* f = std::fopen(file, "wb");
    if (!f)
        fail(std::string("cannot write ") + file);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        std::fclose(f);
        fail(std::string("cannot write ") + file);
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int r = 0; r < height; ++r)
        png_write_row(png, &rows[static_cast<size_t>(r) * width * 3]);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(f) != 0)
        fail(std::string("cannot write ") + file);
}

[[noreturn]] void usage()
{
    fail("usage: xdrive wait TITLE [SECONDS] | size TITLE | move TITLE X Y |"
         " click TITLE PATH [X Y] | shot X Y WIDTH HEIGHT FILE");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        usage();
    const std::string command = argv[1];
    dpy = XOpenDisplay(nullptr);
    if (!dpy)
        fail("cannot open the display");

    if (command == "wait" && (argc == 3 || argc == 4)) {
        wait_for(argv[2], argc == 4 ? std::atof(argv[3]) : 30.0);
    } else if (command == "size" && argc == 3) {
        XWindowAttributes a;
        XGetWindowAttributes(dpy, wait_for(argv[2], 30.0), &a);
        std::printf("%d %d\n", a.width, a.height);
    } else if (command == "move" && argc == 5) {
        Window w = wait_for(argv[2], 30.0);
        XMoveWindow(dpy, w, number(argv[3]), number(argv[4]));
        XSync(dpy, False);
    } else if (command == "click" && (argc == 4 || argc == 6)) {
        Window w = by_path(wait_for(argv[2], 30.0), argv[3]);
        XWindowAttributes a;
        XGetWindowAttributes(dpy, w, &a);
        int x = argc == 6 ? number(argv[4]) : a.width / 2;
        int y = argc == 6 ? number(argv[5]) : a.height / 2;
        click(w, x, y);
    } else if (command == "shot" && argc == 7) {
        shot(number(argv[2]), number(argv[3]), number(argv[4]), number(argv[5]), argv[6]);
    } else {
        usage();
    }
    XCloseDisplay(dpy);
    return 0;
}
