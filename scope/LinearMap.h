// A linear map from a world interval to a screen interval (pixels). The
// screen interval may run backwards.
#pragma once

struct LinearMap {
    double world_lo = 0.0;
    double world_hi = 0.0;
    short screen_lo = 0;
    short screen_hi = 0;
    double scale = 0.0;     // pixels per world unit
    double offset = 0.0;    // pixel of world value 0
    bool world_set = false;
    bool screen_set = false;

    void set_world(double lo, double hi);
    void set_screen(short lo, short hi);
    double map(double w) const { return w * scale + offset; }

private:
    void recompute();
};
