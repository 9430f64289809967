#include "spectrogram/Spectrogram.h"

#include "spectrogram/SpectrogramPalette.h"
#include "app/AppResources.h"
#include "common/WindowSize.h"
#include "sampler/Sampler.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool Spectrogram::init(Display* display, Window window, const unsigned long* pixels,
                       unsigned int num_fft, bool log_scale)
{
    if (display_)
        return false;
    display_ = display;
    window_ = window;
    pixels_ = pixels;
    num_fft_ = num_fft;
    log_scale_ = log_scale;
    XWindowAttributes attributes;
    XGetWindowAttributes(display, window, &attributes);
    visual_ = attributes.visual;
    depth_ = static_cast<unsigned int>(attributes.depth);
    width_ = static_cast<unsigned int>(attributes.width);
    height_ = static_cast<unsigned int>(attributes.height);

    XGCValues values;
    values.graphics_exposures = False;
    gc_ = XCreateGC(display, window, GCGraphicsExposures, &values);
    if (XFontStruct* font = app_resources.gridfont) {
        XSetFont(display, gc_, font->fid);
        font_width_ = font->max_bounds.rbearing - font->min_bounds.lbearing;
        font_ascent_ = font->max_bounds.ascent;
        font_descent_ = font->max_bounds.descent;
    }
    strip_ = strip_width(font_width_);
    plot_width_ = width_ > strip_ ? width_ - strip_ : 1;
    history_.reset(plot_width_, num_fft);
    rows_.build(height_, num_fft, sampler.rate, log_scale);
    make_buffers();
    paint_history();
    return true;
}

void Spectrogram::make_buffers()
{
    if (pixmap_)
        XFreePixmap(display_, pixmap_);
    if (column_image_)
        XDestroyImage(column_image_);   // frees its data too
    const unsigned int h = height_ > 0 ? height_ : 1;
    pixmap_ = XCreatePixmap(display_, window_, plot_width_, h, depth_);
    column_image_ = XCreateImage(display_, visual_, depth_, ZPixmap, 0, nullptr, 1, h, 32, 0);
    column_image_->data = static_cast<char*>(std::calloc(h, static_cast<size_t>(column_image_->bytes_per_line)));
    row_values_.assign(h, 0);
}

// One column of the plot from the kept indices of ring slot `slot`.
void Spectrogram::put_column(unsigned int slot)
{
    if (!rows_.usable())
        return;
    rows_.column_values(history_.at_slot(slot), row_values_.data());
    for (unsigned int y = 0; y < height_; ++y)
        XPutPixel(column_image_, 0, static_cast<int>(y), pixels_[row_values_[y]]);
    XPutImage(display_, pixmap_, gc_, column_image_, 0, 0, static_cast<int>(slot), 0, 1, height_);
}

void Spectrogram::paint_history()
{
    stale_ = false;
    if (!rows_.usable()) {
        XSetForeground(display_, gc_, app_resources.backgroundcolor);
        XFillRectangle(display_, pixmap_, gc_, 0, 0, plot_width_, height_ > 0 ? height_ : 1);
        return;
    }
    // The whole plot in one image, made for this paint only.
    XImage* image = XCreateImage(display_, visual_, depth_, ZPixmap, 0, nullptr, plot_width_, height_, 32, 0);
    image->data = static_cast<char*>(std::malloc(static_cast<size_t>(image->bytes_per_line) * height_));
    for (unsigned int slot = 0; slot < plot_width_; ++slot) {
        rows_.column_values(history_.at_slot(slot), row_values_.data());
        for (unsigned int y = 0; y < height_; ++y)
            XPutPixel(image, static_cast<int>(slot), static_cast<int>(y), pixels_[row_values_[y]]);
    }
    XPutImage(display_, pixmap_, gc_, image, 0, 0, 0, 0, plot_width_, height_);
    XDestroyImage(image);
}

void Spectrogram::add_block(const double* level, unsigned int num_fft, double lowerdb, double upperdb,
                            double time, bool draw)
{
    if (num_fft != num_fft_)
        return;
    uint8_t* column = history_.push();
    const ColourIndex index(lowerdb, upperdb);
    for (unsigned int k = 0; k < num_fft_; ++k)
        column[k] = index(level[k]);
    time_ = time;
    if (!draw) {
        stale_ = true;
        return;
    }
    put_column(history_.head());
    draw_plot(window_);
    draw_time(window_);
}

void Spectrogram::resize()
{
    if (!display_)
        return;
    unsigned int width, height;
    read_window_size(display_, window_, width, height);
    if (width == width_ && height == height_)
        return;
    width_ = width;
    height_ = height;
    plot_width_ = width_ > strip_ ? width_ - strip_ : 1;
    history_.resize(plot_width_);
    rows_.build(height_, num_fft_, sampler.rate, log_scale_);
    make_buffers();
    paint_history();
}

void Spectrogram::set_log_scale(bool on)
{
    if (!display_ || on == log_scale_) {
        log_scale_ = on;
        return;
    }
    log_scale_ = on;
    rows_.build(height_, num_fft_, sampler.rate, log_scale_);
    paint_history();
}

void Spectrogram::draw(Drawable to)
{
    if (!display_)
        return;
    if (stale_)
        paint_history();
    draw_scale(to);
    draw_plot(to);
    draw_time(to);
}

// The ring in time order: the slots after the newest (the older part) at
// the left of the plot, then slots 0 to the newest.
void Spectrogram::draw_plot(Drawable to)
{
    const unsigned int head = history_.head();
    const int left = static_cast<int>(strip_);
    if (head + 1 < plot_width_)
        XCopyArea(display_, pixmap_, to, gc_, static_cast<int>(head + 1), 0, plot_width_ - 1 - head, height_,
                  left, 0);
    XCopyArea(display_, pixmap_, to, gc_, 0, 0, head + 1, height_,
              left + static_cast<int>(plot_width_ - 1 - head), 0);
}

// The frequency grid's labels at their rows, each with a short tick at the
// plot's edge: every 2500 Hz in kHz on the linear scale, 1-2-5 per decade
// on the logarithmic one. The labels keep below the time's row; one that
// would run into the one below it is left out.
void Spectrogram::draw_scale(Drawable to)
{
    XSetForeground(display_, gc_, app_resources.backgroundcolor);
    XFillRectangle(display_, to, gc_, 0, 0, strip_, height_ > 0 ? height_ : 1);
    if (!rows_.usable())
        return;
    const double f_hi = sampler.rate / 2.0;
    const int bottom = static_cast<int>(height_) - 1;
    int free_below = bottom + 1 + font_ascent_;   // labels must stay above this row
    const int highest_base = 2 * font_ascent_ + font_descent_ + 1;   // below the time's row
    const int left = static_cast<int>(strip_) - 4 * font_width_ - 4;  // 4 cells before the ticks
    auto label = [&](double f, bool major, const char* text) {
        const int y = bottom - static_cast<int>(std::lround(rows_.position(f)));
        XSetForeground(display_, gc_, major ? app_resources.majorgridcolor : app_resources.minorgridcolor);
        XDrawLine(display_, to, gc_, static_cast<int>(strip_) - 3, y, static_cast<int>(strip_) - 1, y);
        int base = y + font_ascent_ / 2;
        if (base > bottom - font_descent_)
            base = bottom - font_descent_;
        if (base < highest_base)
            base = highest_base;
        if (base + font_descent_ >= free_below)
            return;
        XDrawString(display_, to, gc_, left, base, text, static_cast<int>(std::strlen(text)));
        free_below = base - font_ascent_;
    };
    char text[16];
    if (!log_scale_) {
        for (long f = 0; f < f_hi; f += 2500) {
            std::snprintf(text, sizeof text, "%3.1f", static_cast<double>(f) / 1000.0);
            label(static_cast<double>(f), f % 1000 == 0, text);
        }
        return;
    }
    for (double decade = 10.0; decade < f_hi; decade *= 10.0)
        for (double step : {1.0, 2.0, 5.0}) {
            const double f = decade * step;
            if (f < rows_.f_lo() || f >= f_hi)
                continue;
            if (f >= 1000.0)
                std::snprintf(text, sizeof text, "%.0fk", f / 1000.0);
            else
                std::snprintf(text, sizeof text, "%.0f", f);
            label(f, step == 1.0, text);
        }
}

// "12.3 s" at the top of the scale strip, where it covers no block,
// right-aligned with the labels on the background colour; padded to 8
// cells, so that a shorter time (after a new start) leaves nothing of a
// longer one. From 10000 s on in whole seconds, to stay within the strip.
void Spectrogram::draw_time(Drawable to)
{
    if (time_ < 0.0)
        return;
    constexpr int cells = 8;
    char time[24], text[32];
    int length = std::snprintf(time, sizeof time, "%.1f s", time_);
    if (length > cells)
        length = std::snprintf(time, sizeof time, "%.0f s", time_);
    if (length <= 0 || length >= static_cast<int>(sizeof time))
        return;
    length = std::snprintf(text, sizeof text, "%*s", cells, time);
    XSetForeground(display_, gc_, app_resources.majorgridcolor);
    XSetBackground(display_, gc_, app_resources.backgroundcolor);
    XDrawImageString(display_, to, gc_, static_cast<int>(strip_) - 4 - length * font_width_, font_ascent_ + 1,
                     text, length);
}
