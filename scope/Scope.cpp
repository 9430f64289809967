// The XY scope view.
#include "scope/Scope.h"

#include "app/AppResources.h"
#include "common/Numeric.h"
#include "common/WindowSize.h"
#include "sampler/Sampler.h"

#include <cmath>
#include <limits>

Scope scope;

Scope::Scope()
    : display(nullptr), window(0), zoom(0.0), initialised(false), width(0), height(0), bitmap(0),
      window_gc(nullptr), bitmap_gc(nullptr)
{
}

static void clear_bitmap(Scope& s)
{
    XSetForeground(s.display, s.bitmap_gc, 0);
    XFillRectangle(s.display, s.bitmap, s.bitmap_gc, 0, 0, s.width, s.height);
}

static void create_bitmap(Scope& s)
{
    s.bitmap = XCreatePixmap(s.display, s.window, s.width, s.height, 1);
    s.bitmap_gc = XCreateGC(s.display, s.bitmap, 0, nullptr);
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
    window_gc = XCreateGC(display, window, 0, nullptr);
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
    read_window_size(display, window, width, height);
    set_screen_intervals(*this);
    create_bitmap(*this);
    clear_bitmap(*this);
    if (copy) {
        XRectangle all = {0, 0, static_cast<unsigned short>(width), static_cast<unsigned short>(height)};
        copy_to_window(all);
    }
}

void Scope::copy_to_window(XRectangle clip)
{
    XSetClipRectangles(display, window_gc, 0, 0, &clip, 1, Unsorted);
    XSetForeground(display, window_gc, app_resources.datacolor);
    XSetBackground(display, window_gc, app_resources.backgroundcolor);
    XCopyPlane(display, bitmap, window, window_gc, 0, 0, width, height, 0, 0, 1);
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
    XSetForeground(display, bitmap_gc, 1);
    XDrawLines(display, bitmap, bitmap_gc, points.get(), static_cast<int>(sampler.length), CoordModeOrigin);
    if (copy) {
        XRectangle all = {0, 0, static_cast<unsigned short>(width), static_cast<unsigned short>(height)};
        copy_to_window(all);
    }
    return true;
}

void Scope::set_zoom(double z)
{
    zoom = z;
}
