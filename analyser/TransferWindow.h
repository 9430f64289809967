// The "Transfer" dialog: the transfer function of the right channel against
// the left, computed from every block while sampling runs and the window is
// open (whichever view runs), at no cost while it is closed.
#pragma once

#include "analyser/Transfer.h"

#include <X11/Intrinsic.h>
#include <cstdint>

extern Widget transfer_dialog;
extern bool transfer_open;      // managed: the work procedure feeds it
extern Transfer transfer;

// Creates the dialog at the first call, shows and raises it; the averages
// start afresh.
void show_transfer_window();

// From the settings at start-up: the frame length (a power of two; any
// other is reported and 16384 taken) and the delay ("auto" in any case,
// or 0 .. 65536 samples; anything else is reported and 0 taken).
void set_transfer_length(int samples);
void set_transfer_delay(String text);

// The block just read (frames stereo pairs); first: the first block of a
// sampling start. Draws when a frame was averaged and the window shows.
void transfer_process_block(const int32_t* block, unsigned int frames, bool first);

// Writes zentaphon-YYYYMMDD-HHMMSS-transfer.csv and .png into
// exportDirectory and names them in one line; false after an "error: " line.
bool export_transfer();
