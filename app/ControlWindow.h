// The control window and the run control behind the two Run toggles.
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
extern XtWorkProcId work_proc_id;
extern bool analyser_running;
extern bool scope_running;

void create_control_window();
void control_callback(Widget w, XtPointer client_data, XtPointer call_data);
Boolean sample_work_proc(XtPointer client_data);
void update_toggles();
void update_sampling();
void quit_callback(Widget w, XtPointer client_data, XtPointer call_data);
// Xlib's handler of a lost display connection: stops sampling (closing the
// streams), says so in one line and ends the process with status 1.
int display_lost(Display* display);
void apply_resources();
// Manages a dialog, or maps and raises its shell when it is managed already.
void show_dialog(Widget dialog);
void show_analyser_window();
void show_scope_window();
// A scale's value in the units shown: XmNvalue / 10^decimalPoints.
double get_scale_value(Widget scale);
void set_scale_value(Widget scale, double v);
