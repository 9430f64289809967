// The XY scope view.
#include "scope/Scope.h"

#include "app/AppResources.h"
#include "common/Numeric.h"
#include "common/WindowSize.h"
#include "sampler/Sampler.h"

#include <algorithm>
#include <cmath>
#include <limits>

Scope scope;

Scope::Scope()
    : display(nullptr), window(0), zoom(0.0), initialised(false), width(0), height(0), bitmap(0),
      window_gc(nullptr), bitmap_gc(nullptr), clear_gc(nullptr), trace_extent{},
      shown_extent{}, window_clip{}
{
}

static XRectangle whole_window(const Scope& s)
{
    return XRectangle{0, 0, static_cast<unsigned short>(s.width), static_cast<unsigned short>(s.height)};
}

static bool is_empty(const XRectangle& r)
{
    return r.width == 0 || r.height == 0;
}

static XRectangle bounding(const XRectangle& a, const XRectangle& b)
{
    if (is_empty(a))
        return b;
    if (is_empty(b))
        return a;
    const int x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
    const int x1 = std::max(a.x + a.width, b.x + b.width), y1 = std::max(a.y + a.height, b.y + b.height);
    return XRectangle{static_cast<short>(x0), static_cast<short>(y0), static_cast<unsigned short>(x1 - x0),
                      static_cast<unsigned short>(y1 - y0)};
}

static bool same(const XRectangle& a, const XRectangle& b)
{
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

// The bitmap holds nothing outside its trace's extent: clearing that clears it.
static void clear_bitmap(Scope& s)
{
    const XRectangle& e = s.trace_extent;
    if (!is_empty(e))
        XFillRectangle(s.display, s.bitmap, s.clear_gc, e.x, e.y, e.width, e.height);
    s.trace_extent = XRectangle{};
}

static void create_bitmap(Scope& s)
{
    s.bitmap = XCreatePixmap(s.display, s.window, s.width, s.height, 1);
    XGCValues values;
    values.foreground = 1;
    s.bitmap_gc = XCreateGC(s.display, s.bitmap, GCForeground, &values);
    values.foreground = 0;
    s.clear_gc = XCreateGC(s.display, s.bitmap, GCForeground, &values);
    // A new pixmap's contents are undefined: clear all of it once.
    s.trace_extent = whole_window(s);
}

// Pixels a polyline through the points can set: the points' bounds, one
// pixel wider on every side, within the window.
static XRectangle trace_bounds(const XPoint* p, unsigned int n, unsigned int width, unsigned int height)
{
    if (n == 0)
        return XRectangle{};
    int x0 = p[0].x, x1 = p[0].x, y0 = p[0].y, y1 = p[0].y;
    for (unsigned int i = 1; i < n; ++i) {
        x0 = std::min<int>(x0, p[i].x);
        x1 = std::max<int>(x1, p[i].x);
        y0 = std::min<int>(y0, p[i].y);
        y1 = std::max<int>(y1, p[i].y);
    }
    x0 = std::max(x0 - 1, 0);
    y0 = std::max(y0 - 1, 0);
    x1 = std::min(x1 + 1, static_cast<int>(width) - 1);
    y1 = std::min(y1 + 1, static_cast<int>(height) - 1);
    if (x1 < x0 || y1 < y0)
        return XRectangle{};
    return XRectangle{static_cast<short>(x0), static_cast<short>(y0), static_cast<unsigned short>(x1 - x0 + 1),
                      static_cast<unsigned short>(y1 - y0 + 1)};
}

static void set_screen_intervals(Scope& s)
{
    s.x_map.set_screen(0, static_cast<short>(s.width));
    s.y_map.set_screen(static_cast<short>(s.height), 0);
}

bool Scope::init(Display* d, Window w)
{
    if (initialised)
        return false;
    initialised = true;
    display = d;
    window = w;
    read_window_size(display, window, width, height);
    XGCValues values;
    values.graphics_exposures = False;
    window_gc = XCreateGC(display, window, GCGraphicsExposures, &values);
    window_clip = XRectangle{};
    shown_extent = whole_window(*this);
    x_map.set_world(-1.0, 1.0);
    y_map.set_world(-1.0, 1.0);
    set_screen_intervals(*this);
    create_bitmap(*this);
    clear_bitmap(*this);
    // Blocks never exceed the sampler's largest length; a setting beyond it
    // never starts sampling, so nothing more is ever drawn.
    unsigned int n = sampler.length < Sampler::max_length ? sampler.length : Sampler::max_length;
    points = std::make_unique<XPoint[]>(n);
    return true;
}

void Scope::resize(bool copy)
{
    if (!initialised)
        return;
    XFreePixmap(display, bitmap);
    XFreeGC(display, bitmap_gc);
    XFreeGC(display, clear_gc);
    read_window_size(display, window, width, height);
    set_screen_intervals(*this);
    create_bitmap(*this);
    clear_bitmap(*this);
    shown_extent = whole_window(*this);
    if (copy)
        copy_to_window(whole_window(*this));
}

void Scope::copy_to_window(XRectangle clip)
{
    XSetClipRectangles(display, window_gc, 0, 0, &clip, 1, Unsorted);
    window_clip = clip;
    XSetForeground(display, window_gc, app_resources.datacolor);
    XSetBackground(display, window_gc, app_resources.backgroundcolor);
    XCopyPlane(display, bitmap, window, window_gc, 0, 0, width, height, 0, 0, 1);
    if (same(clip, whole_window(*this)))
        shown_extent = trace_extent;
    else
        shown_extent = bounding(shown_extent, trace_extent);
}

// Outside the last shown trace and the new one both the window and the
// bitmap show the background: the copy covers only the two.
void Scope::copy_block()
{
    const XRectangle all = whole_window(*this);
    if (!same(window_clip, all)) {
        XRectangle clip = all;
        XSetClipRectangles(display, window_gc, 0, 0, &clip, 1, Unsorted);
        window_clip = all;
    }
    XSetForeground(display, window_gc, app_resources.datacolor);
    XSetBackground(display, window_gc, app_resources.backgroundcolor);
    const XRectangle r = bounding(shown_extent, trace_extent);
    XCopyPlane(display, bitmap, window, window_gc, r.x, r.y, r.width, r.height, r.x, r.y, 1);
    shown_extent = trace_extent;
}

// Pixel coordinate narrowed to an XPoint field. Beyond the 16-bit range a
// point is held at the limit, so that a trace never wraps to the far side.
static short to_coordinate(double v)
{
    constexpr double lo = std::numeric_limits<short>::min();
    constexpr double hi = std::numeric_limits<short>::max();
    if (!(v > lo))
        return static_cast<short>(lo);
    if (v > hi)
        return static_cast<short>(hi);
    return static_cast<short>(v);   // truncates toward zero
}

// Radial gain of the zoom: 10^(zoom/20) / ln 2, so that g * ln(1 + r) is
// 10^(zoom/20) * log2(1 + r). The power of ten is taken as exp(zoom/20 * ln 10).
static double zoom_gain(double zoom)
{
    constexpr double ln_10 = 2.302585092994046;
    constexpr double one_over_ln_2 = 1.4426950408889634;
    return std::exp(zoom * 0.05 * ln_10) * one_over_ln_2;
}

void Scope::compute_points(const int32_t* block, unsigned int n, const BlockInputs& in)
{
    double dx = 0.0, dy = 0.0;
    if (in.dcadjust) {
        dx = in.dc_left / full_scale;
        dy = in.dc_right / full_scale;
    }
    const double g = zoom_gain(zoom);
    for (unsigned int i = 0; i < n; ++i) {
        double x = block[2 * static_cast<std::size_t>(i)] / full_scale - dx;
        double y = block[2 * static_cast<std::size_t>(i) + 1] / full_scale - dy;
        double r = std::hypot(x, y);
        double f = r == 0.0 ? 0.0 : g * std::log(r + 1.0) / r;
        points[i].x = to_coordinate(x * f * x_map.scale + x_map.offset);
        points[i].y = to_coordinate(y * f * y_map.scale + y_map.offset);
    }
}

bool Scope::draw_block(const int32_t* block, bool copy)
{
    if (!initialised)
        return false;
    clear_bitmap(*this);
    compute_points(block, sampler.length, block_inputs);
    XDrawLines(display, bitmap, bitmap_gc, points.get(), static_cast<int>(sampler.length), CoordModeOrigin);
    trace_extent = trace_bounds(points.get(), sampler.length, width, height);
    if (copy)
        copy_block();
    return true;
}

void Scope::set_zoom(double z)
{
    zoom = z;
}
