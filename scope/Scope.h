// The XY scope view: left against right, radius compressed to
// 10^(zoom/20) * log2(1 + r), drawn into a 1-bit bitmap of the window's size
// and copied to the window in two colours.
#pragma once

#include "common/BlockInputs.h"
#include "scope/LinearMap.h"

#include <X11/Xlib.h>
#include <cstdint>
#include <memory>

class Scope {
public:
    Display* display;
    Window window;
    double zoom;            // dB
    bool initialised;
    unsigned int width;     // pixels
    unsigned int height;
    Pixmap bitmap;          // depth 1, the last block's trace
    GC window_gc;           // no graphics exposures: its copies come from the bitmap
    GC bitmap_gc;           // foreground 1: the trace
    GC clear_gc;            // foreground 0: on the bitmap
    LinearMap x_map;        // -1 .. 1 -> 0 .. width
    LinearMap y_map;        // -1 .. 1 -> height .. 0
    std::unique_ptr<XPoint[]> points;   // Sampler::length points, allocated once by init
    // Rectangles (window coordinates, within the window; empty: width 0)
    // that copies can be kept to with the same pixels on the window:
    XRectangle trace_extent;    // holds every set bit of the bitmap
    XRectangle shown_extent;    // outside it the window shows the background
    XRectangle window_clip;     // the clip window_gc has

    Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

    bool init(Display* display, Window window);
    void resize(bool copy);
    void copy_to_window(XRectangle clip);
    // Takes the block's inputs from block_inputs.
    bool draw_block(const int32_t* block, bool copy);
    void set_zoom(double zoom);
    // Copies what may have changed on the window after a block.
    void copy_block();

    // Fills points with the n frames of block (no X calls); in gives the
    // channel means and the DC switch.
    void compute_points(const int32_t* block, unsigned int n, const BlockInputs& in);
};

extern Scope scope;
