// The "Spectrogram" dialog: one drawing area per shown channel (left above
// right in stereo, the sum in mono), fed with the analysers' levels of
// every block while it is open and the analyser runs.
#pragma once

#include "app/Views.h"
#include "spectrogram/Spectrogram.h"

#include <X11/Intrinsic.h>
#include <memory>

extern Widget spectrogram_dialog;
extern Widget spectrogram_areas[2];
extern int spectrogram_visible;   // shell mapped and not fully obscured
extern Spectrogram spectrograms[2];

// Creates the dialog at the first call and shows or raises it; on a
// display whose visual is not TrueColor one "error: " line and nothing
// else.
void show_spectrogram_window();
bool spectrogram_open();
// After the analysers have had the block, with their levels.
void spectrogram_take_block(const Block& block);
// The analysers' frequency scale changed: the rows follow.
void spectrogram_set_log_scale(bool on);
// The picture of the areas, left above right, as width x height RGB bytes
// (3 a pixel, rows top down), for the export; false after one "error: "
// line.
bool read_spectrogram_picture(unsigned int& width, unsigned int& height, std::unique_ptr<unsigned char[]>& rgb);
// That picture as the analyser's export's part "-spectrogram.png".
bool spectrogram_export_part(ExportPart& part);
