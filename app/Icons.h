// The two 48 x 48 icons, as XPM data and as the pixmaps made at start-up.
#pragma once

#include <X11/Xlib.h>

extern const char* spectrum_icon[];
extern const char* scope_icon[];

extern Pixmap spectrum_icon_pixmap;
extern Pixmap spectrum_icon_mask;
extern Pixmap scope_icon_pixmap;
extern Pixmap scope_icon_mask;

// Makes the four pixmaps on the display of toplevel (None where the XPM
// library fails) and sets the spectrum icon on toplevel.
void create_icons();
