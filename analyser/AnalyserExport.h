// Export of the analysers' spectrum: a CSV file of the levels as displayed
// and a PNG picture of the drawing areas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Writes zentaphon-YYYYMMDD-HHMMSS.csv and .png into exportDirectory and
// names them in one line on standard error; false after one "error: " line.
// With the "Measurements" window open, also zentaphon-...-measurements.csv.
bool export_spectrum();

// Writes a file through a temporary name in the same directory that is
// renamed to path once complete; write_body gets the open stream and says
// whether it succeeded. False after one "error: " line, and no file left
// under either name.
bool write_file_atomically(const char* path, bool (*write_body)(std::FILE* f, const void* data),
                           const void* data);
