// With the errorDialog setting on, every "error: " line written to standard
// error is also shown in one modeless dialog, "Zentaphon: Error".
#pragma once

// From the start of start-up, before the settings are known: standard
// error goes through the copy below, which keeps the "error: " lines.
void collect_start_up_errors();

// Routes the stdio standard error stream through a copy that still writes
// everything at once to file descriptor 2 and collects the "error: " lines
// for the dialog, shown from the main loop, those collected since
// collect_start_up_errors first. With the setting off, standard error is
// as it was and the collected lines are dropped.
void install_error_dialog();
