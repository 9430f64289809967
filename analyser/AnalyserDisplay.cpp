// Drawing of an analyser: bars, grid and labels. A full draw repaints a
// rectangle; an incremental draw after a block touches only the bar pixels
// that changed, then the grid, and the labels every quarter of a second.
#include "analyser/Analyser.h"

#include "analyser/LogAxis.h"
#include "analyser/Readings.h"

#include "app/AppResources.h"
#include "common/WindowSize.h"
#include "sampler/Sampler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

// The pixel of referenceColor; an unknown colour name gives one line and
// cyan.
static unsigned long reference_colour(Display* display, Window window)
{
    XWindowAttributes attributes;
    XGetWindowAttributes(display, window, &attributes);
    const char* name = app_resources.referencecolor ? app_resources.referencecolor : "cyan";
    XColor exact, shown;
    if (XAllocNamedColor(display, attributes.colormap, name, &shown, &exact))
        return shown.pixel;
    std::fprintf(stderr, "error: referenceColor \"%s\" is no colour, using cyan\n", name);
    if (XAllocNamedColor(display, attributes.colormap, "cyan", &shown, &exact))
        return shown.pixel;
    return WhitePixel(display, DefaultScreen(display));
}

bool Analyser::init(Display* d, Window w)
{
    if (initialised)
        return false;
    initialised = true;
    display = d;
    window = w;
    gc = XCreateGC(display, window, 0, nullptr);
    read_window_size(display, window, width, height);
    if (XFontStruct* font = app_resources.gridfont) {
        XSetFont(display, gc, font->fid);
        font_width = font->max_bounds.rbearing - font->min_bounds.lbearing;
        font_height = font->max_bounds.ascent + font->max_bounds.descent;
    }
    reference_pixel = reference_colour(display, window);
    setup_arrays();
    build_maps();
    compute_gauss();
    markers[0] = 0;
    markers[1] = static_cast<uint16_t>(width - 1);
    return true;
}

void Analyser::resize(bool redraw)
{
    if (!initialised)
        return;
    double f0 = marker_frequency(markers[0]);
    double f1 = marker_frequency(markers[1]);
    read_window_size(display, window, width, height);
    for (unsigned int k = 0; k < num_fft; ++k)
        bar_y[k] = db2sy(level[k]);
    build_maps();
    markers[0] = marker_column(f0);
    markers[1] = marker_column(f1);
    if (redraw) {
        XRectangle all = {0, 0, static_cast<unsigned short>(width), static_cast<unsigned short>(height)};
        draw(all, true);
    }
}

// A marker's frequency: on the linear axis that of its column's component,
// on the logarithmic one the column's own.
double Analyser::marker_frequency(unsigned int sx) const
{
    if (logarithmic())
        return LogAxis(width, num_fft, axis_half_rate(sampler.rate), dbfs).frequency(sx);
    return fc2f(sx2fc(sx));
}

uint16_t Analyser::marker_column(double f) const
{
    if (logarithmic())
        return static_cast<uint16_t>(LogAxis(width, num_fft, axis_half_rate(sampler.rate), dbfs).column(f));
    return static_cast<uint16_t>(fc2sx(f2fc(f)));
}

void Analyser::set_log_scale(bool on)
{
    if (on == log_scale)
        return;
    const double f0 = initialised ? marker_frequency(markers[0]) : 0.0;
    const double f1 = initialised ? marker_frequency(markers[1]) : 0.0;
    log_scale = on;
    if (!initialised)
        return;
    build_maps();
    markers[0] = marker_column(f0);
    markers[1] = marker_column(f1);
    XRectangle all = {0, 0, static_cast<unsigned short>(width), static_cast<unsigned short>(height)};
    XSetClipMask(display, gc, None);
    if (peak_search)
        draw_peak_label(false);
    draw(all, true);
}

// The whole window drawn afresh, the peak label as last drawn erased first.
static void redraw_all(Analyser& a)
{
    XRectangle all = {0, 0, static_cast<unsigned short>(a.width), static_cast<unsigned short>(a.height)};
    XSetClipMask(a.display, a.gc, None);
    if (a.peak_search)
        a.draw_peak_label(false);
    a.draw(all, true);
}

// The levels shown so far stay until the next block brings them in the new
// mode; the markers keep their frequencies.
void Analyser::set_dbfs(bool on)
{
    if (on == dbfs)
        return;
    const double f0 = initialised ? marker_frequency(markers[0]) : 0.0;
    const double f1 = initialised ? marker_frequency(markers[1]) : 0.0;
    if (initialised && peak_search) {
        XSetClipMask(display, gc, None);
        draw_peak_label(false);
    }
    dbfs = on;
    if (!initialised)
        return;
    build_maps();
    markers[0] = marker_column(f0);
    markers[1] = marker_column(f1);
    redraw_all(*this);
}

void Analyser::store_reference()
{
    if (initialised)
        set_reference(level.get());
}

void Analyser::set_reference(const double* levels)
{
    if (!initialised)
        return;
    if (!reference)
        reference = std::make_unique<double[]>(num_fft);
    std::copy(levels, levels + num_fft, reference.get());
    reference_shown = true;
    update_reference_points();
    redraw_all(*this);
}

void Analyser::clear_reference()
{
    if (!initialised || !reference_shown)
        return;
    reference_shown = false;
    update_reference_points();
    redraw_all(*this);
}

// Each column's point of the trace: its component's reference level, or
// the highest of its components' where columns have several.
void Analyser::update_reference_points()
{
    if (!reference_shown || !reference || width == 0) {
        reference_points.reset();
        return;
    }
    reference_points = std::make_unique<XPoint[]>(width);
    for (unsigned int sx = 0; sx < width; ++sx) {
        double d;
        if (columned()) {
            d = reference[column_first[sx]];
            for (int fc = column_first[sx] + 1; fc <= column_last[sx]; ++fc)
                d = std::max(d, reference[fc]);
        } else {
            d = reference[sx2fc(sx)];
        }
        reference_points[sx] = XPoint{static_cast<short>(sx), db2sy(d)};
    }
}

// The trace over the columns first .. end - 1, joined to its neighbours;
// after a block only around the columns whose bar changed.
void Analyser::draw_reference(int first, int end, bool full)
{
    if (!reference_points || first >= end)
        return;
    XSetForeground(display, gc, reference_pixel);
    const int last = static_cast<int>(width) - 1;
    auto polyline = [&](int a, int b) {
        a = std::max(a - 1, 0);
        b = std::min(b + 1, last);
        if (a == b)
            XDrawPoint(display, window, gc, reference_points[a].x, reference_points[a].y);
        else
            XDrawLines(display, window, gc, &reference_points[a], b - a + 1, CoordModeOrigin);
    };
    if (full) {
        polyline(first, end - 1);
        return;
    }
    auto changed = [&](int sx) {
        if (columned())
            return column_y[sx] != old_column_y[sx];
        const int fc = sx2fc(static_cast<unsigned int>(sx));
        return bar_y[fc] != old_bar_y[fc];
    };
    for (int sx = first; sx < end; ++sx) {
        if (!changed(sx))
            continue;
        int run_end = sx;
        while (run_end + 1 < end && changed(run_end + 1))
            ++run_end;
        polyline(sx, run_end);
        sx = run_end;
    }
}

void Analyser::set_peak_level(bool on)
{
    if (on == show_peak_level)
        return;
    if (initialised && peak_search) {
        XSetClipMask(display, gc, None);
        draw_peak_label(false);
        show_peak_level = on;
        draw_grid(true);
        draw_peak_label(true);
    }
    show_peak_level = on;
}

// Labels are redrawn after every t-th block, t being a quarter second.
static bool label_block()
{
    double t_real = std::rint(sampler.blocks_per_second * 0.25);
    if (!(t_real > 0.0 && t_real < 9.0e18))
        return false;
    long long t = static_cast<long long>(t_real);
    return sampler.count % t == 0;
}

void Analyser::draw(XRectangle rect, bool full)
{
    XSetClipRectangles(display, gc, 0, 0, &rect, 1, Unsorted);
    if (peak_search)
        draw_peak_label(false);
    XSetForeground(display, gc, app_resources.backgroundcolor);

    // An expose queued before a shrink may reach beyond the recorded width;
    // those columns show no component.
    int first = std::max<int>(rect.x, 0);
    int end = std::min<int>(rect.x + rect.width, static_cast<int>(width));
    int bottom = static_cast<int>(height) - 1;

    if (columned()) {
        draw_columns(first, end, full);
    } else if (full) {
        XFillRectangle(display, window, gc, 0, 0, width, height);
        XSetForeground(display, gc, app_resources.datacolor);
        for (int sx = first; sx < end; ++sx)
            XDrawLine(display, window, gc, sx, bar_y[sx2fc(sx)], sx, bottom);
    } else {
        for (int sx = first; sx < end; ++sx) {   // fallen bars: erase the top
            int fc = sx2fc(sx);
            if (bar_y[fc] > old_bar_y[fc])
                XDrawLine(display, window, gc, sx, old_bar_y[fc], sx, bar_y[fc] - 1);
        }
        XSetForeground(display, gc, app_resources.datacolor);
        for (int sx = first; sx < end; ++sx) {   // risen bars: extend upwards
            int fc = sx2fc(sx);
            if (bar_y[fc] < old_bar_y[fc])
                XDrawLine(display, window, gc, sx, old_bar_y[fc], sx, bar_y[fc]);
        }
    }

    if (reference_shown)
        draw_reference(first, end, full);

    draw_grid(full || label_block());

    if (peak_search) {
        XSetForeground(display, gc, app_resources.markercolor);
        XDrawLine(display, window, gc, markers[0], 0, markers[0], bottom);
        XDrawLine(display, window, gc, markers[1], 0, markers[1], bottom);
        draw_peak_label(true);
    }
}

// The bars of the logarithmic axis, one per column from its top row: the
// same rules as the linear bars, with the columns' own tops.
void Analyser::draw_columns(int first, int end, bool full)
{
    const int bottom = static_cast<int>(height) - 1;
    if (full) {
        XFillRectangle(display, window, gc, 0, 0, width, height);
        XSetForeground(display, gc, app_resources.datacolor);
        for (int sx = first; sx < end; ++sx)
            XDrawLine(display, window, gc, sx, column_y[sx], sx, bottom);
        return;
    }
    for (int sx = first; sx < end; ++sx)     // fallen bars: erase the top
        if (column_y[sx] > old_column_y[sx])
            XDrawLine(display, window, gc, sx, old_column_y[sx], sx, column_y[sx] - 1);
    XSetForeground(display, gc, app_resources.datacolor);
    for (int sx = first; sx < end; ++sx)     // risen bars: extend upwards
        if (column_y[sx] < old_column_y[sx])
            XDrawLine(display, window, gc, sx, old_column_y[sx], sx, column_y[sx]);
}

// Lines at 1, 2 and 5 times each power of ten inside the axis, major at
// the powers of ten, labelled "20", "500", "1k", "20k".
void Analyser::draw_log_grid(bool labels)
{
    const LogAxis axis(width, num_fft, axis_half_rate(sampler.rate), dbfs);
    const int bottom = static_cast<int>(height) - 1;
    char text[16];
    for (double decade = 10.0; decade < axis.f_hi(); decade *= 10.0) {
        for (double step : {1.0, 2.0, 5.0}) {
            const double f = decade * step;
            if (f < axis.f_lo() || f >= axis.f_hi())
                continue;
            const int sx = static_cast<int>(std::floor(axis.position(f) + 0.5));
            XSetForeground(display, gc, step == 1.0 ? app_resources.majorgridcolor
                                                    : app_resources.minorgridcolor);
            XDrawLine(display, window, gc, sx, 0, sx, bottom);
            if (labels) {
                if (f >= 1000.0)
                    std::snprintf(text, sizeof text, "%.0fk", f / 1000.0);
                else
                    std::snprintf(text, sizeof text, "%.0f", f);
                XDrawString(display, window, gc, sx + 3, font_height, text,
                            static_cast<int>(std::strlen(text)));
            }
        }
    }
}

void Analyser::draw_grid(bool labels)
{
    char text[10];
    const int bottom = static_cast<int>(height) - 1;

    if (logarithmic()) {
        draw_log_grid(labels);
    } else if (sampler.rate >= 2) {
        const long long half = sampler.rate / 2;
        for (long long f = 0; f < half; f += 2500) {
            int sx = fc2sx(static_cast<unsigned int>(f2fc(static_cast<double>(f))));
            XSetForeground(display, gc, f % 1000 == 0 ? app_resources.majorgridcolor
                                                       : app_resources.minorgridcolor);
            if (f > 0)
                XDrawLine(display, window, gc, sx, 0, sx, bottom);
            if (labels) {
                std::snprintf(text, sizeof text, "%3.1f", static_cast<double>(f) / 1000.0);
                XDrawString(display, window, gc, sx + 3, font_height, text,
                            static_cast<int>(std::strlen(text)));
            }
        }
    }

    // dB lines every 20 dB from the top of the range down. A range wider
    // than any window can show is drawn for its first lines only.
    const double lower = app_resources.lowerdb;
    double d = std::floor(app_resources.upperdb / 20.0) * 20.0;
    for (int lines = 0; d > lower && lines < 4096; d -= 20.0, ++lines) {
        int y = db2sy(d);
        XSetForeground(display, gc, d == 0.0 ? app_resources.majorgridcolor
                                             : app_resources.minorgridcolor);
        XDrawLine(display, window, gc, 0, y, static_cast<int>(width) - 1, y);
        if (labels) {
            // "%+d" fits the buffer up to eight digits; beyond that an
            // exponent form keeps the label whole instead of cutting it. A
            // calibration of a fraction of a dB shows in one decimal.
            const double shown = shown_level(d);
            if (shown != std::floor(shown) && std::fabs(shown) < 1.0e6)
                std::snprintf(text, sizeof text, "%+.1f", shown);
            else if (std::fabs(shown) < 1.0e8)
                std::snprintf(text, sizeof text, "%+d", static_cast<int>(shown));
            else
                std::snprintf(text, sizeof text, "%+.2g", shown);
            int length = static_cast<int>(std::strlen(text));
            XDrawString(display, window, gc, static_cast<int>(width) - font_width * length - 2, y - 2,
                        text, length);
        }
    }
}
