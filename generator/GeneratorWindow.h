// The "Generator" dialog and the generator's part of a run: its output
// opens at the first block of a run from the sound card while the window is
// open or generatorOn is set, is topped up after every block, and closes
// when sampling stops.
#pragma once

#include "app/Views.h"

void show_generator_window();
bool generator_window_open();
bool generator_takes_blocks();
void generator_take_block(const Block& block);
void generator_sampling_stopped();
void generator_apply_settings();
