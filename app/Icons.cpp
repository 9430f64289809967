// The icon pixmaps, made once at start-up from the built-in XPM data.
#include "app/Icons.h"

#include <X11/Intrinsic.h>
#include <X11/Shell.h>
#include <X11/xpm.h>

#include "app/Startup.h"

Pixmap spectrum_icon_pixmap = None;
Pixmap spectrum_icon_mask = None;
Pixmap scope_icon_pixmap = None;
Pixmap scope_icon_mask = None;

void create_icons()
{
    Display* display = XtDisplay(toplevel);
    Window window = XtWindow(toplevel);

    // A failure leaves a pixmap None and its window without an icon; nothing
    // is reported. Neither icon has a transparent colour, so the masks stay None.
    spectrum_icon_pixmap = spectrum_icon_mask = None;
    XpmCreatePixmapFromData(display, window, const_cast<char**>(spectrum_icon),
                            &spectrum_icon_pixmap, &spectrum_icon_mask, nullptr);
    scope_icon_pixmap = scope_icon_mask = None;
    XpmCreatePixmapFromData(display, window, const_cast<char**>(scope_icon),
                            &scope_icon_pixmap, &scope_icon_mask, nullptr);

    XtVaSetValues(toplevel,
                  XtNiconPixmap, spectrum_icon_pixmap,
                  XtNiconMask, spectrum_icon_mask,
                  nullptr);
}
