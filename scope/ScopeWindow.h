// The "Scope" dialog with its single "Drawing" area.
#pragma once

#include <X11/Intrinsic.h>

extern Widget scope_dialog;
extern Widget scope_drawing;
extern int scope_visible;   // shell mapped and not fully obscured

void create_scope_window();
void scope_area_callback(Widget w, XtPointer client_data, XtPointer call_data);
