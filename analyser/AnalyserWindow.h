// The "Analyser" dialog: one drawing area per displayed spectrum.
#pragma once

#include <X11/Intrinsic.h>

extern Widget analyser_dialog;
extern Widget analyser_areas[2];
extern int analyser_visible;   // shell mapped and not fully obscured

void create_analyser_window();
void analyser_area_callback(Widget w, XtPointer client_data, XtPointer call_data);
