// The measuring options of both analysers: their start from the settings,
// the button-3 popup menu of the drawing areas, the export key "s" and the
// key "m" that shows the measurements.
#pragma once

#include <X11/Intrinsic.h>

// Averaging, frequency scale and peak level from app_resources, on both
// analysers.
void apply_measuring_resources();

// Button 3 posts the menu, the key s exports, in this drawing area.
void add_analyser_menu(Widget area);
