#include "analyser/AnalyserPens.h"

#include "app/AppResources.h"

void AnalyserPens::create(Display* display, Window window, Font font, unsigned long reference)
{
    display_ = display;
    const unsigned long pixels[Count] = {app_resources.backgroundcolor, app_resources.datacolor,
                                         app_resources.majorgridcolor, app_resources.minorgridcolor,
                                         app_resources.markercolor, reference};
    for (int c = 0; c < Count; ++c) {
        XGCValues values;
        values.foreground = pixels[c];
        values.graphics_exposures = False;     // nothing is ever copied with them
        unsigned long mask = GCForeground | GCGraphicsExposures;
        if (font) {
            values.font = font;
            mask |= GCFont;
        }
        gc_[c] = XCreateGC(display, window, mask, &values);
        applied_[c] = Clip{};
    }
    wanted_ = Clip{};
}

bool AnalyserPens::same(const Clip& a, const Clip& b)
{
    if (a.on != b.on)
        return false;
    return !a.on || (a.rect.x == b.rect.x && a.rect.y == b.rect.y && a.rect.width == b.rect.width &&
                     a.rect.height == b.rect.height);
}

void AnalyserPens::apply(Colour colour)
{
    if (wanted_.on) {
        XRectangle r = wanted_.rect;
        XSetClipRectangles(display_, gc_[colour], 0, 0, &r, 1, Unsorted);
    } else {
        XSetClipMask(display_, gc_[colour], None);
    }
    applied_[colour] = wanted_;
}

void AnalyserPens::clip(const XRectangle& rect)
{
    wanted_.on = true;
    wanted_.rect = rect;
    apply(Background);
}

void AnalyserPens::unclip()
{
    wanted_ = Clip{};
    apply(Background);
}

GC AnalyserPens::operator()(Colour colour)
{
    if (!same(applied_[colour], wanted_))
        apply(colour);
    return gc_[colour];
}
