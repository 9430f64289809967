// The control window: the source, the two views' controls, help and quit.
#pragma once

#include <X11/Intrinsic.h>

extern Widget control_form;
extern Widget soundcard_toggle;
extern Widget diskfile_toggle;
extern Widget analyser_run_toggle;
extern Widget alpha_scale;
extern Widget decay_scale;
extern Widget peak_search_toggle;
extern Widget scope_run_toggle;
extern Widget zoom_scale;

void create_control_window();
void control_callback(Widget w, XtPointer client_data, XtPointer call_data);
// The source and Run toggles from the run flags and the sampler's source.
void update_toggles();
// The settings alpha, decay and zoom at start-up: the scales and the views
// they steer (the views take the setting itself, not the scale's value).
void start_alpha(float alpha);
void start_decay(float decay);
void start_zoom(float zoom);
void show_analyser_window();
void show_scope_window();
// A scale's value in the units shown: XmNvalue / 10^decimalPoints.
double get_scale_value(Widget scale);
void set_scale_value(Widget scale, double v);
