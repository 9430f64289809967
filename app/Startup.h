// Program start: toolkit initialisation, settings, the shell globals.
#pragma once

#include "common/Text.h"

#include <X11/Intrinsic.h>

extern XtAppContext app_context;
extern Widget toplevel;
extern Widget main_window;
extern Atom wm_delete_window;
extern const char* program_name;

// Writes the usage line to standard error and exits with status 1.
[[noreturn]] void usage();

// Start-up steps 1 to 4: keeps argv[0], initialises the toolkit with the
// class "Zentaphon", the options and the fallback resources, rejects stray
// arguments with usage(), reads the settings into app_resources.
void initialize_settings(int& argc, char** argv);

// Runs every start-up step before the main loop. Does not return on a
// stray argument (usage) or when the display cannot be opened.
void start_up(int& argc, char** argv);
