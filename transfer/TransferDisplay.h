// The drawing of the transfer function: on a logarithmic frequency axis
// from 20 Hz to min(20 kHz, rate / 2), one column per pixel, the magnitude
// (+-transferRange dB, 24 by default with a line every 6 dB) above, the phase (+-180 degrees) below it
// and the coherence (0 .. 1) in a strip at the bottom, under a line with
// the delay D and the number of frames averaged. Columns whose coherence
// is below coherenceThreshold are drawn in a dimmer colour.
//
// Incremental like the analyser: after a frame the old traces are drawn
// over in the background colour, the grid, its labels and the texts again,
// then the new traces; an expose draws its rectangle in full. Column tables
// and both sets of segments are allocated at a resize, never per frame.
#pragma once

#include "transfer/Transfer.h"

#include <X11/Xlib.h>
#include <memory>

// A panel of rows: high at row top, low at row top + height - 1, linear
// between, values beyond the range at its edge.
struct TransferPanel {
    int top, height;        // pixels
    double high, low;       // dB, degrees or coherence
    int row(double v) const;
};

// The panels of an area height pixels high under a head line of
// font_height: magnitude (+-range_db) on the upper 45 %, phase (+-180
// degrees) on the next 35 %, coherence (1 .. 0) on the rest, 3 pixels
// apart.
struct TransferLayout {
    TransferPanel magnitude, phase, coherence;
};
TransferLayout transfer_layout(int height, int font_height, double range_db);

// The dB between the magnitude's grid lines for a range of +-range_db:
// the smallest of 1, 2, 3, 6, 10, 12, 20, 30, 60 that makes at most four
// lines either side of 0 dB.
double magnitude_grid_step(double range_db);

// Column c of width columns stands for f_lo * (f_hi / f_lo)^(c / (width
// - 1)) Hz, which is the fractional component kc = that * length / rate.
// It takes its value over the components (k at k * rate / t's length Hz)
// from half a column below to half a column above, widened to the
// smoothing band of its central one: first[c] .. last[c], each within
// 1 .. length / 2. A column that holds no component of its own lies
// between the components below[c] and below[c] + 1 (each with its
// smoothing band), at the share toward[c] (0 .. 1) of the way on the log
// axis, ln(kc / below) / ln((below + 1) / below); below[c] is 0 for the
// others. So the curve runs through the components' centres instead of
// a staircase low on the axis.
struct TransferColumns {
    unsigned int* first;
    unsigned int* last;
    unsigned int* below;
    double* toward;
};
void transfer_columns(const Transfer& t, int rate, unsigned int width, double f_lo, double f_hi,
                      const TransferColumns& out);

class TransferDisplay {
public:
    bool initialised() const { return display_ != nullptr; }
    // GC, colours and the size of window; draws nothing yet.
    void init(Display* display, Window window);
    // The area's size was read again: new tables, traces and a full draw.
    void resize(const Transfer& t, int rate);
    // A new frame (or new settings): the traces computed afresh and, when
    // show, drawn over the old ones; otherwise drawn at the next expose.
    void update(const Transfer& t, int rate, bool show);
    // The magnitude panel's range, +-db: the next draw lays out afresh.
    void set_range(double db);
    double range() const { return range_db_; }
    // Draws the exposed rectangle in full.
    void expose(const Transfer& t, int rate, int x, int y, int width, int height);
    // The whole area drawn afresh into a pixmap and read as RGB bytes
    // (width * height * 3). False after an "error: " line.
    bool picture(const Transfer& t, int rate, unsigned char* rgb);

    Display* display() const { return display_; }
    unsigned int width() const { return width_; }
    unsigned int height() const { return height_; }

private:
    using Panel = TransferPanel;
    void layout();
    void build_columns(const Transfer& t, int rate);
    void compute_traces(const Transfer& t, int rate);
    void draw_all(Drawable d, const Transfer& t, int rate);
    void draw_grid(Drawable d);
    void draw_traces(Drawable d, int set, bool erase);
    void draw_texts(Drawable d, const Transfer& t, int rate);
    void text(Drawable d, int x, int y, const char* s);

    Display* display_ = nullptr;
    Window window_ = 0;
    GC gc_ = nullptr;
    unsigned long dim_data_ = 0, dim_marker_ = 0;
    int font_height_ = 13, font_width_ = 6;
    unsigned int width_ = 0, height_ = 0, depth_ = 0;
    Panel magnitude_{}, phase_{}, coherence_{};
    double f_lo_ = 20.0, f_hi_ = 20000.0;
    unsigned int columns_length_ = 0;      // frame length the tables were built for
    int columns_rate_ = 0;
    int columns_smoothing_ = -1;
    bool stale_ = true;                    // the traces lag the transfer function
    double range_db_ = 24.0;               // the magnitude panel's +- range
    // Per column: the components its value is taken over (its own and the
    // smoothing band of its central one), or those it lies between.
    std::unique_ptr<unsigned int[]> first_, last_, below_;
    std::unique_ptr<double[]> toward_;
    // Two sets (on screen, and the one before) of 6 groups of up to width
    // segments: magnitude, phase, coherence, each bright and dim.
    std::unique_ptr<XSegment[]> segments_[2];
    int counts_[2][6] = {};
    int current_ = 0;
};
