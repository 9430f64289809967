// With the errorDialog setting on, every "error: " line written to standard
// error is also shown in one modeless dialog, "Zentaphon: Error".
#pragma once

// Routes the stdio standard error stream through a copy that still writes
// everything at once to file descriptor 2 and collects the "error: " lines
// for the dialog, shown from the main loop. Does nothing with the setting off.
void install_error_dialog();
