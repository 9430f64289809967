// The drawing of the transfer function: on a logarithmic frequency axis
// from 20 Hz to min(20 kHz, rate / 2), one column per pixel, the magnitude
// (+-24 dB, a line every 6 dB) above, the phase (+-180 degrees) below it
// and the coherence (0 .. 1) in a strip at the bottom, under a line with
// the delay D and the number of frames averaged. Columns whose coherence
// is below coherenceThreshold are drawn in a dimmer colour.
//
// Everything is drawn into a pixmap the size of the area, which exposes
// copy from; a new frame redraws the pixmap once (a few requests: a fill,
// the grid, three sets of segments, the texts) and copies it. Column
// tables and segments are allocated at a resize, never per frame.
#pragma once

#include "analyser/Transfer.h"

#include <X11/Xlib.h>
#include <memory>

class TransferDisplay {
public:
    bool initialised() const { return display_ != nullptr; }
    // GC, colours and the size of window; draws nothing yet.
    void init(Display* display, Window window);
    // The area's size was read again: new pixmap and tables, full draw.
    void resize(const Transfer& t, int rate);
    // Redraws the pixmap from t; copies it to the window when show.
    void draw(const Transfer& t, int rate, bool show);
    // Copies the exposed rectangle from the pixmap.
    void expose(int x, int y, int width, int height);

    Display* display() const { return display_; }
    Pixmap pixmap() const { return pixmap_; }
    unsigned int width() const { return width_; }
    unsigned int height() const { return height_; }

private:
    struct Panel {
        int top, height;
        double high, low;   // values at the top and bottom rows
        int row(double v) const;
    };
    void layout();
    void build_columns(const Transfer& t, int rate);
    void draw_grid(int rate);
    void draw_traces(const Transfer& t);
    void draw_texts(const Transfer& t, int rate);
    void text(int x, int y, const char* s);

    Display* display_ = nullptr;
    Window window_ = 0;
    Pixmap pixmap_ = 0;
    GC gc_ = nullptr;
    unsigned long dim_data_ = 0, dim_marker_ = 0;
    int font_height_ = 13, font_width_ = 6;
    unsigned int width_ = 0, height_ = 0;
    Panel magnitude_{}, phase_{}, coherence_{};
    double f_lo_ = 20.0, f_hi_ = 20000.0;
    unsigned int columns_length_ = 0;      // frame length the tables were built for
    int columns_rate_ = 0;
    // Per column: its central component and the range it covers.
    std::unique_ptr<unsigned int[]> k_, first_, last_;
    std::unique_ptr<XSegment[]> segments_;  // 6 * width: bright and dim of each trace
};
