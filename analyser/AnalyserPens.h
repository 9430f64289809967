// The graphics contexts an analyser draws with: one per colour, so that a
// block's drawing never changes a context's foreground. They share one clip
// (a rectangle, or none), which reaches each context only when it is next
// used and differs from what that context has; the background context takes
// every clip at once, as each draw begins with it.
#pragma once

#include <X11/Xlib.h>

class AnalyserPens {
public:
    enum Colour { Background, Data, MajorGrid, MinorGrid, Marker, Reference, Count };

    // Creates the contexts on the window with the settings' colours, the
    // reference trace's pixel and, when font is not 0, the grid font. Once
    // per analyser.
    void create(Display* display, Window window, Font font, unsigned long reference);
    // The clip of every drawing from now on.
    void clip(const XRectangle& rect);
    void unclip();
    // The context of a colour with the current clip.
    GC operator()(Colour colour);
    GC background() const { return gc_[Background]; }

private:
    struct Clip {
        bool on = false;        // else no clip
        XRectangle rect{};
    };
    static bool same(const Clip& a, const Clip& b);
    void apply(Colour colour);

    Display* display_ = nullptr;
    GC gc_[Count] = {};
    Clip wanted_;
    Clip applied_[Count];
};
