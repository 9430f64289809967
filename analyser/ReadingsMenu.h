// The readings' part of the analyser's popup menu: "Levels in dBFS",
// "Calibrate...", the reference trace, "Freeze" and "Save settings", with
// the keys r (store the reference) and f (freeze). Every choice applies to
// both analysers.
#pragma once

#include <X11/Intrinsic.h>

// Levels in dBFS on both analysers: from the settings at start-up and
// from the menu.
void set_analysers_dbfs(Boolean on);
// The calibration (dB added where a level is shown in dBFS mode) and the
// unit of those levels, on both analysers: from the settings at start-up.
void set_analysers_calibration(float db);
void set_analysers_level_unit(String unit);

// Appends the items to the popup menu.
void add_readings_items(Widget menu);

// The keys r and f; false for any other.
bool readings_key(KeySym key);
