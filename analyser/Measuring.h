// The measurements of the running analyser: measured while the
// "Measurements" window is open or the log is on, shown and logged about
// four times a second (every max(1, rint(blocks per second / 4)) blocks of
// the analyser's run), exported with the spectrum.
#pragma once

#include "analyser/Measurement.h"
#include "common/BlockInputs.h"

#include <cstdint>
#include <cstdio>

// The levels' scale: the calibration added to levels shown in dB, and their
// unit; those of dBFS mode when it is on, else 0 dB and "dBFS".
struct ShownLevels {
    double calibration_db;
    const char* unit;
};
ShownLevels shown_levels();

// With every block the analysers get; count is the sampler's block number,
// so a block that does not follow the last one begins a run of the analyser
// (the log is then truncated and its time starts again).
void measure_block(const int32_t* block, int count, const BlockInputs& in);

// The values shown now; measured is false before the first update.
const Measures& current_measures();

// The current values as CSV, the header and one update's lines, for the
// export; false when the stream failed.
bool write_measurements_csv(std::FILE* f, const void* unused);
