// The measurements of the running analyser: measured while the
// "Measurements" window is open or the log is on, shown and logged about
// four times a second (every max(1, rint(blocks per second / 4)) blocks of
// the analyser's run), exported with the spectrum.
#pragma once

#include "app/Views.h"
#include "measurements/Measurement.h"

#include <cstdio>

// With every block the analysers get; the block's count is the sampler's
// block number, so a block that does not follow the last one begins a run
// of the analyser. The log opens (truncated) at the first run and is
// appended to by the later ones; its time counts the stream's seconds from
// that first start, the time between runs and of missed blocks included.
void measure_block(const Block& block);
// True: every block the analysers get counts, for the runs' starts, and
// is measured while the window is open or the log is on.
bool measurements_take_blocks();

// The values shown now; measured is false before the first update.
const Measures& current_measures();

// The current values as CSV, the header and one update's lines, for the
// export; false when the stream failed.
bool write_measurements_csv(std::FILE* f, const void* unused);
// That CSV as the analyser's export's part "-measurements.csv".
bool measurements_export_part(ExportPart& part);
