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
#include <climits>
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
    XFontStruct* font = app_resources.gridfont;
    reference_pixel = reference_colour(display, window);
    pens.create(display, window, font ? font->fid : 0, reference_pixel);
    gc = pens.background();
    read_window_size(display, window, width, height);
    if (font) {
        font_width = font->max_bounds.rbearing - font->min_bounds.lbearing;
        font_height = font->max_bounds.ascent + font->max_bounds.descent;
    }
    setup_arrays();
    build_maps();
    size_buffers();
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
    size_buffers();
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

// The whole window drawn afresh, the peak label as last drawn erased first.
static void redraw_all(Analyser& a)
{
    XRectangle all = {0, 0, static_cast<unsigned short>(a.width), static_cast<unsigned short>(a.height)};
    a.pens.unclip();
    if (a.peak_search)
        a.draw_peak_label(false);
    a.draw(all, true);
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
    redraw_all(*this);
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
        pens.unclip();
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

// The row of a column where the reference has no level (NaN: beyond the
// frequencies of the table it was loaded from).
static constexpr short reference_gap = SHRT_MIN;

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
                d = std::fmax(d, reference[fc]);   // NaN only where all are
        } else {
            d = reference[sx2fc(sx)];
        }
        reference_points[sx] = XPoint{static_cast<short>(sx), std::isnan(d) ? reference_gap : db2sy(d)};
    }
}

// The trace over the columns first .. end - 1, joined to its neighbours;
// after a block only around the columns whose bar changed.
void Analyser::draw_reference(int first, int end, bool full)
{
    if (!reference_points || first >= end)
        return;
    GC pen = pens(AnalyserPens::Reference);
    const int last = static_cast<int>(width) - 1;
    // Each run of columns with a level as a polyline, a lone one as a point.
    auto polyline = [&](int a, int b) {
        a = std::max(a - 1, 0);
        b = std::min(b + 1, last);
        for (int s = a; s <= b; ++s) {
            if (reference_points[s].y == reference_gap)
                continue;
            int e = s;
            while (e < b && reference_points[e + 1].y != reference_gap)
                ++e;
            if (s == e)
                XDrawPoint(display, window, pen, reference_points[s].x, reference_points[s].y);
            else
                XDrawLines(display, window, pen, &reference_points[s], e - s + 1, CoordModeOrigin);
            s = e;
        }
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
        pens.unclip();
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

// One segment per column (a bar, or the part of one that changed), and
// room for the grid's lines.
void Analyser::size_buffers()
{
    if (segment_capacity < width) {
        segments = std::make_unique<XSegment[]>(width);
        segment_capacity = width;
    }
}

void Analyser::draw_segments(AnalyserPens::Colour colour, unsigned int count)
{
    if (count > 0)
        XDrawSegments(display, window, pens(colour), segments.get(), static_cast<int>(count));
}

static XSegment column_segment(int sx, int top, int bottom)
{
    return XSegment{static_cast<short>(sx), static_cast<short>(top), static_cast<short>(sx),
                    static_cast<short>(bottom)};
}

void Analyser::draw(XRectangle rect, bool full)
{
    pens.clip(rect);
    if (peak_search)
        draw_peak_label(false);

    // An expose queued before a shrink may reach beyond the recorded width;
    // those columns show no component.
    int first = std::max<int>(rect.x, 0);
    int end = std::min<int>(rect.x + rect.width, static_cast<int>(width));
    int bottom = static_cast<int>(height) - 1;

    if (columned()) {
        draw_columns(first, end, full);
    } else if (full) {
        XFillRectangle(display, window, pens(AnalyserPens::Background), 0, 0, width, height);
        unsigned int n = 0;
        for (int sx = first; sx < end; ++sx)
            segments[n++] = column_segment(sx, bar_y[sx2fc(sx)], bottom);
        draw_segments(AnalyserPens::Data, n);
    } else {
        unsigned int n = 0;
        for (int sx = first; sx < end; ++sx) {   // fallen bars: erase the top
            int fc = sx2fc(sx);
            if (bar_y[fc] > old_bar_y[fc])
                segments[n++] = column_segment(sx, old_bar_y[fc], bar_y[fc] - 1);
        }
        draw_segments(AnalyserPens::Background, n);
        n = 0;
        for (int sx = first; sx < end; ++sx) {   // risen bars: extend upwards
            int fc = sx2fc(sx);
            if (bar_y[fc] < old_bar_y[fc])
                segments[n++] = column_segment(sx, old_bar_y[fc], bar_y[fc]);
        }
        draw_segments(AnalyserPens::Data, n);
    }

    if (reference_shown)
        draw_reference(first, end, full);

    draw_grid(full || label_block());

    if (peak_search) {
        GC marker = pens(AnalyserPens::Marker);
        XDrawLine(display, window, marker, markers[0], 0, markers[0], bottom);
        XDrawLine(display, window, marker, markers[1], 0, markers[1], bottom);
        draw_peak_label(true);
    }
}

// The bars of the logarithmic axis, one per column from its top row: the
// same rules as the linear bars, with the columns' own tops.
void Analyser::draw_columns(int first, int end, bool full)
{
    const int bottom = static_cast<int>(height) - 1;
    unsigned int n = 0;
    if (full) {
        XFillRectangle(display, window, pens(AnalyserPens::Background), 0, 0, width, height);
        for (int sx = first; sx < end; ++sx)
            segments[n++] = column_segment(sx, column_y[sx], bottom);
        draw_segments(AnalyserPens::Data, n);
        return;
    }
    for (int sx = first; sx < end; ++sx)     // fallen bars: erase the top
        if (column_y[sx] > old_column_y[sx])
            segments[n++] = column_segment(sx, old_column_y[sx], column_y[sx] - 1);
    draw_segments(AnalyserPens::Background, n);
    n = 0;
    for (int sx = first; sx < end; ++sx)     // risen bars: extend upwards
        if (column_y[sx] < old_column_y[sx])
            segments[n++] = column_segment(sx, old_column_y[sx], column_y[sx]);
    draw_segments(AnalyserPens::Data, n);
}

// Lines at 1, 2 and 5 times each power of ten inside the axis, major at
// the powers of ten, labelled "20", "500", "1k", "20k".
void Analyser::collect_log_grid()
{
    const LogAxis axis(width, num_fft, axis_half_rate(sampler.rate), dbfs);
    for (double decade = 10.0; decade < axis.f_hi(); decade *= 10.0) {
        for (double step : {1.0, 2.0, 5.0}) {
            const double f = decade * step;
            if (f < axis.f_lo() || f >= axis.f_hi())
                continue;
            const int sx = static_cast<int>(std::floor(axis.position(f) + 0.5));
            GridLine line{};
            line.at = static_cast<int16_t>(sx);
            line.vertical = true;
            line.major = step == 1.0;
            line.drawn = true;
            line.label = GridLine::LogHz;
            line.value = f;
            grid_lines.push_back(line);
        }
    }
}

// The grid's lines in the order they are drawn: frequency lines from 0 Hz
// up, then level lines every 20 dB from the top of the range down; with
// labels, each line's label too.
void Analyser::collect_grid(bool labels)
{
    grid_lines.clear();
    if (logarithmic()) {
        collect_log_grid();
    } else if (sampler.rate >= 2) {
        const long long half = sampler.rate / 2;
        for (long long f = 0; f < half; f += 2500) {
            GridLine line{};
            line.at = static_cast<int16_t>(fc2sx(static_cast<unsigned int>(f2fc(static_cast<double>(f)))));
            line.vertical = true;
            line.major = f % 1000 == 0;
            line.drawn = f > 0;
            line.label = GridLine::Hz;
            line.value = static_cast<double>(f);
            grid_lines.push_back(line);
        }
    }
    // A range wider than any window can show is drawn for its first lines only.
    const double lower = app_resources.lowerdb;
    double d = std::floor(app_resources.upperdb / 20.0) * 20.0;
    for (int lines = 0; d > lower && lines < 4096; d -= 20.0, ++lines) {
        GridLine line{};
        line.at = db2sy(d);
        line.major = d == 0.0;
        line.drawn = true;
        line.label = GridLine::Db;
        line.value = d;
        grid_lines.push_back(line);
    }
    if (labels)
        for (GridLine& line : grid_lines)
            lay_out_label(line);
}

// Frequency labels 3 pixels right of their line, one font height from the
// top; level labels right-aligned 2 pixels from the right edge, their
// baseline 2 pixels above their line.
void Analyser::lay_out_label(GridLine& line) const
{
    char* text = line.text;
    if (line.label == GridLine::Db) {
        // "%+d" fits ten bytes up to eight digits; beyond that an exponent
        // form keeps the label whole instead of cutting it. A calibration of
        // a fraction of a dB shows in one decimal.
        const double shown = shown_level(line.value);
        if (shown != std::floor(shown) && std::fabs(shown) < 1.0e6)
            std::snprintf(text, 10, "%+.1f", shown);
        else if (std::fabs(shown) < 1.0e8)
            std::snprintf(text, 10, "%+d", static_cast<int>(shown));
        else
            std::snprintf(text, 10, "%+.2g", shown);
        line.length = static_cast<int>(std::strlen(text));
        line.text_x = static_cast<int>(width) - font_width * line.length - 2;
        line.text_y = line.at - 2;
        return;
    }
    if (line.label == GridLine::Hz)
        std::snprintf(text, 10, "%3.1f", line.value / 1000.0);
    else if (line.value >= 1000.0)
        std::snprintf(text, sizeof line.text, "%.0fk", line.value / 1000.0);
    else
        std::snprintf(text, sizeof line.text, "%.0f", line.value);
    line.length = static_cast<int>(std::strlen(text));
    line.text_x = line.at + 3;
    line.text_y = font_height;
}

// Each line and then its label, in their colour, one after the other.
void Analyser::draw_grid_in_order(bool labels)
{
    const int right = static_cast<int>(width) - 1;
    const int bottom = static_cast<int>(height) - 1;
    for (const GridLine& line : grid_lines) {
        GC pen = pens(line.major ? AnalyserPens::MajorGrid : AnalyserPens::MinorGrid);
        if (line.drawn) {
            if (line.vertical)
                XDrawLine(display, window, pen, line.at, 0, line.at, bottom);
            else
                XDrawLine(display, window, pen, 0, line.at, right, line.at);
        }
        if (labels)
            XDrawString(display, window, pen, line.text_x, line.text_y, line.text, line.length);
    }
}

// The lines alone, one request per colour and direction: vertical before
// horizontal, so that every crossing keeps the horizontal line's colour,
// and of two lines on one column or row only the later, whose colour it
// keeps. Lines whose columns or rows do not grow in drawing order are
// left to the drawing in order; false then, and nothing drawn.
bool Analyser::draw_grid_grouped()
{
    const std::size_t count = grid_lines.size();
    for (std::size_t i = 1; i < count; ++i) {
        const GridLine& a = grid_lines[i - 1];
        const GridLine& b = grid_lines[i];
        if (a.vertical == b.vertical && b.at < a.at)
            return false;
    }
    if (count > segment_capacity)
        return false;
    const int right = static_cast<int>(width) - 1;
    const int bottom = static_cast<int>(height) - 1;
    for (bool vertical : {true, false}) {
        for (bool major : {false, true}) {
            unsigned int n = 0;
            for (std::size_t i = 0; i < count; ++i) {
                const GridLine& line = grid_lines[i];
                if (line.vertical != vertical || line.major != major || !line.drawn)
                    continue;
                if (i + 1 < count && grid_lines[i + 1].vertical == vertical &&
                    grid_lines[i + 1].at == line.at && grid_lines[i + 1].drawn)
                    continue;   // drawn over by the next
                segments[n++] = vertical ? XSegment{line.at, 0, line.at, static_cast<short>(bottom)}
                                         : XSegment{0, line.at, static_cast<short>(right), line.at};
            }
            draw_segments(major ? AnalyserPens::MajorGrid : AnalyserPens::MinorGrid, n);
        }
    }
    return true;
}

namespace {

// Where a label's ink can be, from the font's extreme metrics, a pixel
// wider on every side; inclusive.
struct Box {
    int x0, y0, x1, y1;
};

Box ink_box(const XFontStruct& font, int x, int y, int length)
{
    const int advance = std::max<int>(font.max_bounds.width, font.max_bounds.rbearing);
    return Box{x + std::min<int>(0, font.min_bounds.lbearing) - 1, y - font.max_bounds.ascent - 1,
               x + length * std::max(advance, 0) + 1, y + font.max_bounds.descent + 1};
}

} // namespace

// True when the labels may be drawn after all the lines and by colour with
// the same pixels: no label meets a line drawn after it, nor a label of the
// other colour. (Lines before a label are under it either way.)
bool Analyser::labels_apart() const
{
    const XFontStruct* font = app_resources.gridfont;
    const std::size_t count = grid_lines.size();
    if (!font || count > 64)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        const GridLine& a = grid_lines[i];
        const Box box = ink_box(*font, a.text_x, a.text_y, a.length);
        for (std::size_t j = i + 1; j < count; ++j) {
            const GridLine& b = grid_lines[j];
            if (b.drawn && (b.vertical ? box.x0 <= b.at && b.at <= box.x1 : box.y0 <= b.at && b.at <= box.y1))
                return false;
            if (b.major == a.major)
                continue;
            const Box other = ink_box(*font, b.text_x, b.text_y, b.length);
            if (box.x0 <= other.x1 && other.x0 <= box.x1 && box.y0 <= other.y1 && other.y0 <= box.y1)
                return false;
        }
    }
    return true;
}

// The labels after all the lines, the minor ones, then the major ones.
void Analyser::draw_labels_grouped()
{
    for (bool major : {false, true}) {
        GC pen = pens(major ? AnalyserPens::MajorGrid : AnalyserPens::MinorGrid);
        for (const GridLine& line : grid_lines)
            if (line.major == major)
                XDrawString(display, window, pen, line.text_x, line.text_y, line.text, line.length);
    }
}

void Analyser::draw_grid(bool labels)
{
    collect_grid(labels);
    const bool grouped = (!labels || labels_apart()) && draw_grid_grouped();
    if (!grouped)
        draw_grid_in_order(labels);
    else if (labels)
        draw_labels_grouped();
}
