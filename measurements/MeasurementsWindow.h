// The "Measurements" dialog: the readout of the current measurements, one
// column per channel, drawn in the grid font.
#pragma once

#include "measurements/Measurement.h"

#include <X11/Intrinsic.h>

extern Widget measurements_dialog;

// Creates the dialog on first use, then manages it or maps and raises it.
void show_measurements_window();
// Managed: the measurements are taken while it is.
bool measurements_window_open();
// New values for the readout; the rows that changed are drawn while the
// window is visible.
void show_measures(const Measures& m);
