// The measuring settings saved by the user: "Save settings" writes them as
// resource lines "Zentaphon.name: value" to $XDG_CONFIG_HOME/zentaphon/
// Zentaphon (~/.config/... without it); start-up merges that file into the
// resource database beneath every entry as specific as its own or more.
#pragma once

#include <X11/Xlib.h>

// The saved file's path; empty when neither XDG_CONFIG_HOME nor HOME is set.
const char* saved_settings_path();

// Writes the file through a temporary name and names it in one line; false
// after one "error: " line.
bool save_settings();

// Merges the file's lines into the display's resource database without
// overriding entries as specific or more (an -xrm "Zentaphon.name" line
// wins, "*name" loses). A line that is no saved setting gives one "error: "
// line (quoting its first 80 bytes, controls escaped) and is skipped; no
// file is no error, a file that cannot be read or is no regular file (never
// waited on) one line.
void merge_saved_settings(Display* display);
