// The "Transfer" dialog: the transfer function of the right channel against
// the left, computed from every block while sampling runs and the window is
// open (whichever view runs), at no cost while it is closed.
#pragma once

#include "app/Views.h"
#include "transfer/Transfer.h"

#include <X11/Intrinsic.h>
#include <cstdint>

extern Widget transfer_dialog;
extern bool transfer_open;      // managed: the work procedure feeds it
extern Transfer transfer;

// Creates the dialog at the first call, shows and raises it; the averages
// start afresh.
void show_transfer_window();

bool transfer_window_open();
// Sampling stopped: a delay search that was still collecting ends, with
// one line saying so.
void transfer_sampling_stopped();

// From the settings at start-up: the delay ("auto" in any case, or
// 0 .. 65536 samples; anything else is reported and 0 taken). The frame
// length is transferLength's, checked with the settings.
void transfer_apply_settings();

// Every block read, the first of a sampling start restarting the
// averages. Draws when a frame was averaged and the window shows.
void transfer_take_block(const Block& block);

// Writes zentaphon-YYYYMMDD-HHMMSS-transfer.csv and .png into
// exportDirectory and names them in one line; false after an "error: " line.
bool export_transfer();
