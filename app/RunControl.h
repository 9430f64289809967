// The run control: the two run flags, starting and stopping the sampler
// with the work procedure that feeds the running views, and the ends of
// the program (quit, a lost display).
#pragma once

#include <X11/Intrinsic.h>

extern XtWorkProcId work_proc_id;   // meaningful only while the sampler runs
extern bool analyser_running;
extern bool scope_running;

// Starts or stops the sampler and the work procedure to match the run
// flags, then brings the control window's toggles up to date.
void update_sampling();
// Stops the sampler (closing the streams), clears both run flags and tells
// the views that sampling stopped; the toggles are the caller's.
void stop_sampling();
// Reads one block and hands it to the running views and the open ones of
// the table. True (remove me) once
// reading has failed and sampling has stopped.
Boolean sample_work_proc(XtPointer client_data);
// A view's Run toggle turned on or off: its flag, its window shown when on.
void run_view(bool& running, bool on, void (*show_window)());
// A view's window closed through the window manager: its Run toggle off,
// its flag cleared; the other view keeps running.
void stop_view(Widget run_toggle, bool& running);
// Stops the sampler if it runs, destroys the application context and ends
// the process with status 0.
[[noreturn]] void quit();
void quit_callback(Widget w, XtPointer client_data, XtPointer call_data);
// Xlib's handler of a lost display connection: stops sampling (closing the
// streams), says so in one line and ends the process with status 1.
int display_lost(Display* display);
