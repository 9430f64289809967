#include "transfer/TransferDisplay.h"

#include "analyser/AnalyserExport.h"
#include "app/AppResources.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Halfway between two colours of the default colormap: the dimmer one.
unsigned long blend(Display* d, unsigned long a, unsigned long b)
{
    const Colormap map = DefaultColormap(d, DefaultScreen(d));
    XColor ca{}, cb{};
    ca.pixel = a;
    cb.pixel = b;
    XQueryColor(d, map, &ca);
    XQueryColor(d, map, &cb);
    XColor mix{};
    mix.red = static_cast<unsigned short>((ca.red + cb.red) / 2);
    mix.green = static_cast<unsigned short>((ca.green + cb.green) / 2);
    mix.blue = static_cast<unsigned short>((ca.blue + cb.blue) / 2);
    mix.flags = DoRed | DoGreen | DoBlue;
    return XAllocColor(d, map, &mix) ? mix.pixel : a;
}

enum Trace { Magnitude = 0, Phase = 1, Coherence = 2 };

// The point at the share w of the way from a to b: dB and coherence
// linearly, the phase the short way round.
Transfer::Point between(const Transfer::Point& a, const Transfer::Point& b, double w)
{
    double turn = b.phase_deg - a.phase_deg;
    turn -= 360.0 * std::round(turn / 360.0);
    double phase = a.phase_deg + w * turn;
    if (phase > 180.0)
        phase -= 360.0;
    else if (phase < -180.0)
        phase += 360.0;
    const bool finite = std::isfinite(a.magnitude_db) && std::isfinite(b.magnitude_db);
    return {finite ? a.magnitude_db + w * (b.magnitude_db - a.magnitude_db) : std::min(a.magnitude_db, b.magnitude_db),
            phase, a.coherence + w * (b.coherence - a.coherence)};
}

} // namespace

int TransferPanel::row(double v) const
{
    const double c = std::max(low, std::min(high, v));   // -inf and NaN-free inputs only
    return top + static_cast<int>(std::lround((high - c) / (high - low) * (height - 1)));
}

void TransferDisplay::init(Display* display, Window window)
{
    display_ = display;
    window_ = window;
    gc_ = XCreateGC(display, window, 0, nullptr);
    if (XFontStruct* font = app_resources.gridfont) {
        XSetFont(display, gc_, font->fid);
        font_width_ = font->max_bounds.rbearing - font->min_bounds.lbearing;
        font_height_ = font->max_bounds.ascent + font->max_bounds.descent;
    }
    XSetBackground(display, gc_, app_resources.backgroundcolor);
    dim_data_ = blend(display, app_resources.datacolor, app_resources.backgroundcolor);
    dim_marker_ = blend(display, app_resources.markercolor, app_resources.backgroundcolor);
}

void TransferDisplay::resize(const Transfer& t, int rate)
{
    Window root;
    int x, y;
    unsigned int border;
    XGetGeometry(display_, window_, &root, &x, &y, &width_, &height_, &border, &depth_);
    first_.reset(new unsigned int[width_]);
    last_.reset(new unsigned int[width_]);
    below_.reset(new unsigned int[width_]);
    toward_.reset(new double[width_]);
    for (auto& set : segments_)
        set.reset(new XSegment[6 * static_cast<size_t>(width_)]);
    std::fill(&counts_[0][0], &counts_[0][0] + 12, 0);
    columns_length_ = 0;
    layout();
    stale_ = true;
    expose(t, rate, 0, 0, static_cast<int>(width_), static_cast<int>(height_));
}

TransferLayout transfer_layout(int height, int font_height, double range_db)
{
    const int head = font_height + 4;
    const int rest = std::max(height - head, 12);
    TransferLayout l;
    l.magnitude = {head, rest * 45 / 100 - 3, range_db, -range_db};
    l.phase = {head + rest * 45 / 100, rest * 35 / 100 - 3, 180.0, -180.0};
    l.coherence = {head + rest * 80 / 100, rest - rest * 80 / 100, 1.0, 0.0};
    return l;
}

double magnitude_grid_step(double range_db)
{
    for (double step : {1.0, 2.0, 3.0, 6.0, 10.0, 12.0, 20.0, 30.0})
        if (4 * step >= range_db)
            return step;
    return 60.0;
}

void transfer_columns(const Transfer& t, int rate, unsigned int width, double f_lo, double f_hi,
                      const TransferColumns& out)
{
    const unsigned int length = t.length();
    const double span = std::log(f_hi / f_lo), last_column = std::max(1.0, width - 1.0);
    const double per_hz = static_cast<double>(length) / rate;
    const double top = length / 2;
    for (unsigned int c = 0; c < width; ++c) {
        auto at = [&](double col) { return f_lo * std::exp(span * col / last_column) * per_hz; };
        const double k = std::max(1.0, std::min(top, std::round(at(c))));
        const double a = std::max(1.0, std::ceil(at(c - 0.5))), b = std::min(top, std::floor(at(c + 0.5)));
        // The column's own components, widened to the smoothing band of
        // its central one
        unsigned int first, last;
        t.band(static_cast<unsigned int>(k), first, last);
        out.first[c] = a <= b ? std::min(first, static_cast<unsigned int>(a)) : first;
        out.last[c] = a <= b ? std::max(last, static_cast<unsigned int>(b)) : last;
        // No component of its own: between the two around its centre
        const double kc = at(c), k0 = std::floor(kc);
        const bool between = a > b && k0 >= 1.0 && k0 < top;
        out.below[c] = between ? static_cast<unsigned int>(k0) : 0;
        out.toward[c] = between ? std::log(kc / k0) / std::log((k0 + 1.0) / k0) : 0.0;
    }
}

void TransferDisplay::set_range(double db)
{
    range_db_ = db;
    layout();
    stale_ = true;
}

void TransferDisplay::layout()
{
    const TransferLayout l = transfer_layout(static_cast<int>(height_), font_height_, range_db_);
    magnitude_ = l.magnitude;
    phase_ = l.phase;
    coherence_ = l.coherence;
}

void TransferDisplay::build_columns(const Transfer& t, int rate)
{
    f_hi_ = std::min(20000.0, rate / 2.0);
    columns_length_ = t.length();
    columns_rate_ = rate;
    columns_smoothing_ = t.smoothing();
    transfer_columns(t, rate, width_, f_lo_, f_hi_, {first_.get(), last_.get(), below_.get(), toward_.get()});
}

void TransferDisplay::update(const Transfer& t, int rate, bool show)
{
    stale_ = true;
    if (!show || !first_ || t.length() == 0 || rate <= 0)
        return;
    const int old = current_;
    current_ ^= 1;
    compute_traces(t, rate);
    draw_traces(window_, old, true);
    draw_grid(window_);
    XSetForeground(display_, gc_, app_resources.backgroundcolor);
    XFillRectangle(display_, window_, gc_, 0, 0, width_, static_cast<unsigned int>(magnitude_.top));
    draw_texts(window_, t, rate);
    draw_traces(window_, current_, false);
}

void TransferDisplay::expose(const Transfer& t, int rate, int x, int y, int width, int height)
{
    if (!first_)
        return;
    XRectangle clip = {static_cast<short>(x), static_cast<short>(y), static_cast<unsigned short>(width),
                       static_cast<unsigned short>(height)};
    XSetClipRectangles(display_, gc_, 0, 0, &clip, 1, Unsorted);
    draw_all(window_, t, rate);
    XSetClipMask(display_, gc_, None);
}

bool TransferDisplay::picture(const Transfer& t, int rate, unsigned char* rgb)
{
    const Pixmap pixmap = XCreatePixmap(display_, window_, width_, height_, depth_);
    draw_all(pixmap, t, rate);
    const bool ok = read_picture(display_, pixmap, width_, height_, rgb);
    XFreePixmap(display_, pixmap);
    return ok;
}

void TransferDisplay::draw_all(Drawable d, const Transfer& t, int rate)
{
    if (t.length() == 0 || rate <= 0)
        return;
    if (stale_)
        compute_traces(t, rate);
    XSetForeground(display_, gc_, app_resources.backgroundcolor);
    XFillRectangle(display_, d, gc_, 0, 0, width_, height_);
    draw_grid(d);
    draw_texts(d, t, rate);
    draw_traces(d, current_, false);
}

void TransferDisplay::text(Drawable d, int x, int y, const char* s)
{
    XDrawString(display_, d, gc_, x, y, s, static_cast<int>(std::strlen(s)));
}

void TransferDisplay::draw_grid(Drawable d)
{
    const int right = static_cast<int>(width_) - 1;
    const int top = magnitude_.top, bottom = coherence_.top + coherence_.height - 1;
    const double span = std::log(f_hi_ / f_lo_);
    char label[16];
    for (double decade = 10.0; decade < f_hi_; decade *= 10.0)
        for (double step : {1.0, 2.0, 5.0}) {
            const double f = decade * step;
            if (f < f_lo_ || f > f_hi_)
                continue;
            const int x = static_cast<int>(std::lround(right * std::log(f / f_lo_) / span));
            XSetForeground(display_, gc_, step == 1.0 ? app_resources.majorgridcolor : app_resources.minorgridcolor);
            XDrawLine(display_, d, gc_, x, top, x, bottom);
            std::snprintf(label, sizeof label, f >= 1000.0 ? "%.0fk" : "%.0f", f >= 1000.0 ? f / 1000.0 : f);
            // Right of its line, or left of it where the area ends (20k)
            const int length = font_width_ * static_cast<int>(std::strlen(label));
            text(d, x + 3 + length <= right ? x + 3 : x - 3 - length, top + font_height_, label);
        }
    auto lines = [&](const Panel& p, double from, double step, const char* format, double major) {
        for (double v = from; v >= p.low - 1e-9; v -= step) {
            const int y = p.row(v);
            XSetForeground(display_, gc_, v == major ? app_resources.majorgridcolor : app_resources.minorgridcolor);
            XDrawLine(display_, d, gc_, 0, y, right, y);
            if (v == p.high && p.row(v - step) - y < 2 * font_height_ + 4)
                continue;   // no room for the top line's label below it
            std::snprintf(label, sizeof label, format, v);
            text(d, right - font_width_ * static_cast<int>(std::strlen(label)) - 2,
                 v == p.high ? y + font_height_ : y - 2, label);
        }
    };
    const double step = magnitude_grid_step(range_db_);
    lines(magnitude_, std::floor(range_db_ / step + 1e-9) * step, step, "%+.0f dB", 0.0);
    lines(phase_, 180.0, 90.0, "%+.0f", 0.0);
    lines(coherence_, 1.0, 0.5, "%.1f", -1.0);
}

void TransferDisplay::compute_traces(const Transfer& t, int rate)
{
    stale_ = false;
    int* count = counts_[current_];
    std::fill(count, count + 6, 0);
    if (t.frames() == 0 || width_ < 2)
        return;
    if (columns_length_ != t.length() || columns_rate_ != rate || columns_smoothing_ != t.smoothing())
        build_columns(t, rate);
    const bool coherent = t.frames() >= 2;
    const double threshold = app_resources.coherencethreshold;
    const size_t w = width_;
    XSegment* segments = segments_[current_].get();
    int prev[3] = {};
    double prev_phase = 0.0;
    Transfer::Point p{};
    Transfer::Point p0{}, p1{};
    unsigned int cached_below = 0;
    for (unsigned int c = 0; c < width_; ++c) {
        if (below_[c] > 0) {
            // Between two components: on the log axis from one to the next
            if (below_[c] != cached_below) {
                cached_below = below_[c];
                p0 = t.at(cached_below);
                p1 = t.at(cached_below + 1);
            }
            p = between(p0, p1, toward_[c]);
        } else if (c == 0 || below_[c - 1] > 0 || first_[c] != first_[c - 1] || last_[c] != last_[c - 1]) {
            // Low on the axis, neighbouring columns share their components.
            p = t.over(first_[c], last_[c]);
        }
        const int rows[3] = {magnitude_.row(std::max(p.magnitude_db, -1e9)), phase_.row(p.phase_deg),
                             coherence_.row(p.coherence)};
        const int dim = coherent && p.coherence < threshold ? 1 : 0;
        for (int trace = Magnitude; trace <= Coherence; ++trace) {
            if (c == 0 || (trace == Coherence && !coherent))
                continue;
            if (trace == Phase && std::fabs(p.phase_deg - prev_phase) > 180.0)
                continue;   // wrapped round: no line across the panel
            const int group = 2 * trace + dim;
            XSegment* last = count[group] > 0 ? &segments[group * w + static_cast<size_t>(count[group] - 1)] : nullptr;
            const short y = static_cast<short>(rows[trace]);
            if (last && last->y1 == y && last->y2 == y && prev[trace] == y && last->x2 == static_cast<short>(c - 1))
                last->x2 = static_cast<short>(c);   // a level run stays one segment
            else
                segments[group * w + static_cast<size_t>(count[group]++)] = {
                    static_cast<short>(c - 1), static_cast<short>(prev[trace]), static_cast<short>(c), y};
        }
        std::copy(rows, rows + 3, prev);
        prev_phase = p.phase_deg;
    }
}

void TransferDisplay::draw_traces(Drawable d, int set, bool erase)
{
    const unsigned long colours[6] = {app_resources.datacolor, dim_data_, app_resources.datacolor,
                                      dim_data_, app_resources.markercolor, dim_marker_};
    if (erase)
        XSetForeground(display_, gc_, app_resources.backgroundcolor);
    for (int group = 0; group < 6; ++group)
        if (counts_[set][group] > 0) {
            if (!erase)
                XSetForeground(display_, gc_, colours[group]);
            XDrawSegments(display_, d, gc_, &segments_[set][group * static_cast<size_t>(width_)],
                          counts_[set][group]);
        }
}

void TransferDisplay::draw_texts(Drawable d, const Transfer& t, int rate)
{
    char line[160];
    char smoothing[24] = "none";
    if (t.smoothing() > 0)
        std::snprintf(smoothing, sizeof smoothing, "1/%d oct", t.smoothing());
    char averaging[24] = "accumulate";
    if (t.averaging() > 0)
        std::snprintf(averaging, sizeof averaging, "averaging %d", t.averaging());
    std::snprintf(line, sizeof line, "delay %u samples (%.3f ms)   frames %lu   %s   smoothing %s%s", t.delay(),
                  t.delay() * 1000.0 / rate, t.frames(), averaging, smoothing,
                  t.finding() ? "   finding the delay..." : "");
    XSetForeground(display_, gc_, app_resources.markercolor);
    text(d, 3, font_height_, line);
    XSetForeground(display_, gc_, app_resources.majorgridcolor);
    text(d, 3, magnitude_.top + 2 * font_height_, "magnitude");
    text(d, 3, phase_.top + font_height_, "phase");
    // On its own background, as it changes in place.
    const char* coherence = t.frames() >= 2 ? "coherence  " : "coherence -";
    XDrawImageString(display_, d, gc_, 3, coherence_.top + font_height_, coherence,
                     static_cast<int>(std::strlen(coherence)));
}
