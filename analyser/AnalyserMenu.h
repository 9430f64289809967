// The measuring options of both analysers: their start from the settings,
// the button-3 popup menu of the drawing areas, the export key "s" and the
// key "m" that shows the measurements.
#pragma once

#include <X11/Intrinsic.h>

// Averaging (blocks, 1 = off), frequency scale ("log" in any case, or
// linear) and peak level, on both analysers: from the settings at start-up
// and from the menu.
void set_analysers_averaging(int blocks);
void set_analysers_frequency_scale(String scale);
void set_analysers_peak_level(Boolean on);

// Button 3 posts the menu, the key s exports, and each view's key opens
// it, in this drawing area.
void add_analyser_menu(Widget area);
