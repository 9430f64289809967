// The size of a window in pixels, as the server has it. Xlib only.
#pragma once

#include <X11/Xlib.h>

inline void read_window_size(Display* display, Window window, unsigned int& width,
                             unsigned int& height)
{
    Window root;
    int x, y;
    unsigned int border, depth;
    XGetGeometry(display, window, &root, &x, &y, &width, &height, &border, &depth);
}
