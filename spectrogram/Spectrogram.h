// One spectrogram display: the levels of every block as a column of
// colours, time running left to right, frequency bottom to top.
//
// The drawing area is a scale strip at the left (frequency labels, and at
// its top the time of the newest block in seconds since the start) and the
// plot, one pixel column per block, the newest at the right edge.
// The plot lives in a pixmap used as a ring: a block writes its column
// into the slot of the kept history's newest column (one image request)
// and the window is brought up to date by two copies. Exposes copy from
// the pixmap; resizes and a change of the frequency scale paint it afresh
// from the history. Needs a TrueColor visual (pixels from the masks).
#pragma once

#include "spectrogram/SpectrogramHistory.h"
#include "spectrogram/SpectrogramRows.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cstdint>
#include <vector>

class Spectrogram {
public:
    Spectrogram() = default;
    Spectrogram(const Spectrogram&) = delete;
    Spectrogram& operator=(const Spectrogram&) = delete;

    // At the area's first expose: size, GC, pixmap and history of
    // num_fft components per block. pixels: the 256 colours.
    bool init(Display* display, Window window, const unsigned long* pixels, unsigned int num_fft,
              bool log_scale);
    bool initialised() const { return display_ != nullptr; }

    // One block: level holds num_fft levels in dB (after averaging, before
    // decay), time the seconds at the block's end. With draw false only
    // the history takes it; the next expose repaints. Levels of another
    // length than the history's are not taken.
    void add_block(const double* level, unsigned int num_fft, double lowerdb, double upperdb, double time,
                   bool draw);
    // Follows the area's new size, keeping the newest columns that fit.
    void resize();
    void set_log_scale(bool on);
    // The whole area (scale, plot, time) into to: the window for exposes,
    // a pixmap of the area's size for an export.
    void draw(Drawable to);

    unsigned int width() const { return width_; }
    unsigned int height() const { return height_; }
    Display* display() const { return display_; }
    Window window() const { return window_; }

    // Width of the scale strip for a font cell width, pixels: room for the
    // time ("9999.9 s", 8 cells) above the labels (4 cells) and ticks.
    static unsigned int strip_width(int font_width) { return 8 * static_cast<unsigned int>(font_width) + 5; }

private:
    void make_buffers();        // pixmap and column image of the current size
    void paint_history();       // every kept column into the pixmap
    void put_column(unsigned int slot);
    void draw_plot(Drawable to);
    void draw_scale(Drawable to);
    void draw_time(Drawable to);

    Display* display_ = nullptr;
    Window window_ = 0;
    GC gc_ = nullptr;
    Visual* visual_ = nullptr;
    unsigned int depth_ = 0;
    Pixmap pixmap_ = 0;
    XImage* column_image_ = nullptr;
    const unsigned long* pixels_ = nullptr;
    unsigned int width_ = 0, height_ = 0, strip_ = 0, plot_width_ = 0;
    int font_width_ = 0, font_ascent_ = 0, font_descent_ = 0;
    bool log_scale_ = false;
    bool stale_ = false;        // the pixmap lacks blocks taken without drawing
    double time_ = -1.0;        // seconds at the end of the newest block; < 0 none yet
    unsigned int num_fft_ = 0;
    SpectrogramRows rows_;
    SpectrogramHistory history_;
    std::vector<uint8_t> row_values_;   // one column's colour indices, top row first
};
